#include "platform/linux/SenseData.h"

#include <scsi/sg_lib.h>
#include <scsi/sg_pt.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace platform::linux_sg {

namespace {

constexpr uint8_t kFixedCurrent = 0x70;
constexpr uint8_t kFixedDeferred = 0x71;
constexpr uint8_t kDescriptorCurrent = 0x72;
constexpr uint8_t kDescriptorDeferred = 0x73;

// Descriptor types (SPC) read here by their number.
constexpr int kSenseKeySpecificDescriptor = 0x02;
constexpr int kBlockCommandsDescriptor = 0x05;

constexpr uint8_t kIliBit = 0x20;

constexpr size_t kHeaderLength = 8;

void PutBe32(uint8_t* out, uint64_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// Descriptor-format sense in a buffer of its own, cut to the descriptors that
// came back whole: sg_lib's readers trust the additional length and each
// descriptor's own length, and would read past what the device returned.
class WholeDescriptors {
 public:
  WholeDescriptors(const uint8_t* sense, size_t length) {
    const size_t n = std::min(length, bytes_.size());
    std::memcpy(bytes_.data(), sense, n);
    bytes_[0] &= 0x7F;  // the valid bit is not part of the response code
    length_ = n;
    if (n < kHeaderLength) return;
    const size_t end = std::min(n, kHeaderLength + bytes_[7]);
    size_t at = kHeaderLength;
    while (at + 2 <= end && at + 2 + bytes_[at + 1] <= end) at += 2 + bytes_[at + 1];
    bytes_[7] = static_cast<uint8_t>(at - kHeaderLength);
    length_ = at;
  }
  const uint8_t* Data() const { return bytes_.data(); }
  int Length() const { return static_cast<int>(length_); }
  // The first descriptor of that type whose own length is at least `minimum`.
  const uint8_t* Find(int type, uint8_t minimum) const {
    const uint8_t* descriptor = sg_scsi_sense_desc_find(Data(), Length(), type);
    return descriptor != nullptr && descriptor[1] >= minimum ? descriptor : nullptr;
  }

 private:
  std::array<uint8_t, kHeaderLength + 255> bytes_{};
  size_t length_ = 0;
};

SenseArea FromDescriptorFormat(const uint8_t* d, size_t length) {
  const WholeDescriptors sense(d, length);
  sg_scsi_sense_hdr header{};
  sg_scsi_normalize_sense(sense.Data(), sense.Length(), &header);
  SenseArea fixed{};
  fixed[0] = header.response_code == kDescriptorDeferred ? kFixedDeferred : kFixedCurrent;
  fixed[2] = header.sense_key;
  fixed[7] = 10;  // bytes 8 to 17 follow
  fixed[12] = header.asc;
  fixed[13] = header.ascq;

  bool filemark = false, eom = false, ili = false;
  sg_get_sense_filemark_eom_ili(sense.Data(), sense.Length(), &filemark, &eom, &ili);
  // sg_lib reads ILI only from the stream commands descriptor; the block commands descriptor carries it too.
  if (const uint8_t* block = sense.Find(kBlockCommandsDescriptor, 2)) ili = ili || (block[3] & kIliBit) != 0;
  fixed[2] |= static_cast<uint8_t>((filemark ? 0x80 : 0) | (eom ? 0x40 : 0) | (ili ? kIliBit : 0));

  // The information and command-specific fields have a fixed-format place
  // only when their value fits in 32 bits.
  uint64_t value = 0;
  const bool valid = sg_get_sense_info_fld(sense.Data(), sense.Length(), &value);
  if (value <= 0xFFFFFFFFu) {
    PutBe32(&fixed[3], value);
    if (valid) fixed[0] |= 0x80;
  }
  if (sg_get_sense_cmd_spec_fld(sense.Data(), sense.Length(), &value) && value <= 0xFFFFFFFFu) {
    PutBe32(&fixed[8], value);
  }
  // sg_lib has no reader for the sense-key-specific bytes as they stand.
  if (const uint8_t* specific = sense.Find(kSenseKeySpecificDescriptor, 5)) std::memcpy(&fixed[15], specific + 4, 3);
  return fixed;
}

}  // namespace

SenseArea NormaliseSense(const uint8_t* sense, size_t length) {
  SenseArea fixed{};
  if (sense == nullptr || length == 0) {
    return fixed;
  }
  const uint8_t responseCode = sense[0] & 0x7F;
  if (responseCode == kDescriptorCurrent || responseCode == kDescriptorDeferred) {
    return FromDescriptorFormat(sense, length);
  }
  std::memcpy(fixed.data(), sense, std::min(length, fixed.size()));
  return fixed;
}

CommandOutcome ClassifyOutcome(const RawResult& raw) {
  CommandOutcome outcome;
  outcome.residual = raw.length;

  if (raw.doResult < 0) {
    // The ioctl (or the library's preparation) failed: nothing reached the
    // device, so there is no status and no sense.
    outcome.sysError = -raw.doResult;
    outcome.timedOut = outcome.sysError == ETIMEDOUT;
    return outcome;
  }
  if (raw.doResult > 0) {
    // The library refused the request before sending it.
    outcome.timedOut = raw.doResult == SCSI_PT_DO_TIMEOUT;
    outcome.sysError = outcome.timedOut ? ETIMEDOUT : EINVAL;
    return outcome;
  }
  if (raw.category == SCSI_PT_RESULT_OS_ERR) {
    outcome.sysError = raw.osError != 0 ? raw.osError : EIO;
    outcome.timedOut = outcome.sysError == ETIMEDOUT;
    return outcome;
  }

  outcome.status = static_cast<uint8_t>(raw.scsiStatus & 0xFF);
  outcome.sense = NormaliseSense(raw.sense, raw.senseLength);
  outcome.residual = raw.residual <= 0 ? 0 : std::min(static_cast<uint32_t>(raw.residual), raw.length);
  if (raw.category == SCSI_PT_RESULT_TRANSPORT_ERR) {
    // Host or driver error: the command may not have completed at the device.
    outcome.timedOut = raw.hostStatus == kDidTimeOut;
    outcome.sysError = outcome.timedOut ? ETIMEDOUT : EIO;
    return outcome;
  }
  outcome.transportOk = true;
  return outcome;
}

}  // namespace platform::linux_sg
