// The identity of a drive from arbitrary INQUIRY data: a drive is constructed
// (which identifies it), then GetIdentity, GetVendorProduct, GetRevision,
// GetErrorText and CheckSense are asked. The simulated drive of this target
// answers INQUIRY with the input bytes as they stand, through the
// pass-through path or the command library path.
//
// Input: drive letter, host adapter, target, LUN, a flag byte (bit 0: command
// library path; bit 1: INQUIRY fails with the next byte as sense key; bit 2:
// the library leaves the request pending until it is waited for), then the
// INQUIRY answer (the drive returns as many bytes as there are, at most the
// 128 asked for; the pass-through path reports the rest as the residual, and
// an answer shorter than the identification's 36 bytes identifies nothing).
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drive/CDDrive.h"
#include "fuzz/FuzzForm.h"
#include "platform/Transport.h"

namespace {

struct Answer {
  bool fail = false;
  uint8_t senseKey = 0;
  bool pending = false;
  std::vector<uint8_t> inquiry;
};

Answer current;

// Fills `buffer` as the drive would and returns the sense triple's key.
uint8_t Respond(const std::array<uint8_t, 12>& cdb, uint8_t* buffer, uint32_t length) {
  if (cdb[0] != 0x12) return 0x05;
  if (current.fail) return current.senseKey;
  const size_t n = std::min<size_t>({length, cdb[4], current.inquiry.size()});
  if (n > 0) std::memcpy(buffer, current.inquiry.data(), n);
  return 0;
}

class InquiryLibrary final : public platform::AspiLibrary {
 public:
  bool HasEntry(const std::string&) override { return true; }
  uint32_t GetSupportInfo() override { return 0x0101; }
  void SendCommand(platform::AspiRequest& request) override {
    request.status = platform::kSrbPending;
    if (!current.pending) Complete(request);
  }
  bool WaitForCompletion(platform::AspiRequest& request, uint32_t) override {
    if (request.status == platform::kSrbPending) Complete(request);
    return true;
  }

 private:
  static void Complete(platform::AspiRequest& request) {
    std::array<uint8_t, 12> cdb{};
    std::copy_n(request.cdb.begin(), 12, cdb.begin());
    const uint8_t key = Respond(cdb, request.buffer, request.bufferLength);
    request.senseArea[0] = key != 0 ? 0x70 : 0x00;
    request.senseArea[2] = key;
    request.status = platform::kSrbCompleted;
  }
};

class InquiryTransport final : public platform::DriveTransport, public platform::CommandLibraryPath {
 public:
  bool passThrough = true;
  bool UsesPassThrough() override { return passThrough; }
  bool IsSimulated() const override { return true; }
  std::vector<platform::DeviceInfo> EnumerateDrives() override { return {}; }
  int Open(const platform::DeviceInfo&, platform::DeviceHandle& handle) override {
    handle = 3;
    return 0;
  }
  bool FiltersCommands(platform::DeviceHandle) const override { return false; }
  platform::HoldOutcome LockExclusive(platform::DeviceHandle) override { return {}; }
  void UnlockExclusive(platform::DeviceHandle) override {}
  platform::CommandOutcome Execute(platform::DeviceHandle, const platform::Cdb& cdb,
                                   platform::Direction, uint8_t* buffer, uint32_t length,
                                   unsigned) override {
    platform::CommandOutcome outcome;
    outcome.transportOk = true;
    const uint8_t key = Respond(cdb, buffer, length);
    if (key != 0) {
      outcome.status = 2;
      outcome.sense[0] = 0x70;
      outcome.sense[2] = key;
    } else {
      outcome.residual = length - static_cast<uint32_t>(std::min<size_t>({length, cdb[4], current.inquiry.size()}));
    }
    return outcome;
  }
  void Close(platform::DeviceHandle) override {}
  std::unique_ptr<platform::AspiLibrary> LoadAspiLibrary(const std::string&) override {
    return std::make_unique<InquiryLibrary>();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using fuzzing::Check;
  if (size < 5) return 0;
  const uint8_t letter = data[0], host = data[1], target = data[2], lun = data[3], flags = data[4];
  data += 5;
  size -= 5;
  current = Answer{};
  current.fail = (flags & 2) != 0 && size > 0 && data[0] != 0;
  current.senseKey = size > 0 ? data[0] : 0;
  current.pending = (flags & 4) != 0;
  current.inquiry.assign(data, data + std::min<size_t>(size, 128));

  InquiryTransport transport;
  transport.passThrough = (flags & 1) == 0;
  const bool tooShort = transport.passThrough && current.inquiry.size() < 36;
  CDDrive::ResetClassState();
  CDDrive::SetTransport(&transport);
  CDDrive::SetCommandLibrary(&transport);
  {
    CDDrive drive(letter, host, target, lun);
    if (CDDrive::GetOpenResult() == CDDrive::kOpened) {
      Check(!current.fail, "a failed INQUIRY opened the drive");
      Check(!tooShort, "an INQUIRY too short for the identification opened the drive");
      const std::string identity = drive.GetIdentity();
      const std::string vendorProduct = drive.GetVendorProduct();
      const std::string revision = drive.GetRevision();
      Check(vendorProduct.size() == 24, "vendor and product not 24 characters");
      Check(revision.size() == 4, "revision not 4 characters");
      char prefix[32];
      std::snprintf(prefix, sizeof prefix, "%d-%d-%d ", host, target, lun);
      Check(identity.rfind(prefix, 0) == 0, "identity does not start with the address");
      const size_t part = std::strlen(prefix) + (letter != 0 ? 1 : 0) + 2;
      Check(identity.size() == part + 28, "identity not address, letter and 28 characters");
      Check(identity.compare(part - 2, 2, ": ") == 0, "no separator before the inquiry part");
      Check(identity.find('\0') == std::string::npos, "zero byte in the identity");
      Check(vendorProduct == identity.substr(part, 24), "vendor and product not the inquiry part's first 24");
      Check(revision == identity.substr(part + 24, 4), "revision not the inquiry part's last 4");
      Check(drive.CheckSense(0, 0, 0), "sense left after a good INQUIRY");
    } else {
      Check(current.fail || tooShort, "a good INQUIRY did not open the drive");
      Check(drive.Identity == "0", "a failed identification did not leave \"0\"");
      Check(drive.GetVendorProduct() == std::string(24, ' '), "no identity: vendor and product not blanks");
      Check(drive.GetRevision() == "    ", "no identity: revision not blanks");
    }
    Check(drive.GetErrorText().size() >= 18, "error text too short");
  }
  CDDrive::SetTransport(nullptr);
  CDDrive::ResetClassState();
  return 0;
}
