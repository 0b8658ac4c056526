// The firmware package as the program reads it: the mode test, the package
// texts that start-up formats (FormCreate) and compares with the drives
// (CheckCondition), the image classification (CheckNewFormatBIN) and, when
// the first input byte asks for it, a whole flash of the package's image
// into a simulated drive.
//
// Input: one flag byte, then the first 152 package bytes (key-word, identity
// record, BinLength), then the bytes at the places of the BIN area that are
// read one by one: 4 at 0 (mode test), 24 at 0x1100, 40 at 0x4000 and 32 at
// 0x14000 (the classification probes), then 24 bytes of INQUIRY vendor and
// product identification and 4 bytes of flash-chip ID for the first
// simulated drive. Missing package bytes leave the base package as it is.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drive/CDDrive.h"
#include "fuzz/FuzzForm.h"
#include "package/Package.h"
#include "platform/Services.h"
#include "platform/sim/SimTransport.h"

namespace {

using package::kBinAreaOffset;

class YesBoxes final : public platform::MessageBoxes {
 public:
  platform::BoxAnswer Show(platform::BoxKind, const std::string&, const std::string&,
                           platform::BoxButtons buttons) override {
    return buttons == platform::BoxButtons::YesNo ? platform::BoxAnswer::Yes : platform::BoxAnswer::Ok;
  }
};
class NoWaitClock final : public platform::Clock {
 public:
  void SleepMs(unsigned) override {}
};
class NoRestart final : public platform::SystemRestart {
 public:
  void RequestReboot() override {}
};

// An empty identity record and a patterned image, for the input to overwrite.
std::vector<uint8_t> BasePackage() {
  std::vector<uint8_t> image(package::kBinAreaSize);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>((i * 167) ^ (i >> 8));
  return package::MakePackage("", package::Identity{}, image.data(), image.size());
}

struct World {
  std::vector<uint8_t> base = BasePackage();
  std::vector<uint8_t> package;
  std::unique_ptr<platform::sim::SimTransport> transport = std::make_unique<platform::sim::SimTransport>();
  YesBoxes boxes;
  NoWaitClock clock;
  NoRestart restart;

  World() {
    platform::sim::DriveConfig first;  // vendor and product from the input
    first.revision = "Q120";
    transport->AddDrive(first);
    platform::sim::DriveConfig second;
    second.host = 1;
    second.vendor = "ACME    ";
    second.product = "CDRW-5200       ";
    second.revision = "3.11";
    transport->AddDrive(second);
    platform::Services& services = platform::GetServices();
    services.boxes = &boxes;
    services.clock = &clock;
    services.restart = &restart;
  }
};

World& GetWorld() {
  static World world;
  return world;
}

// Copies up to `count` input bytes to `offset` of the package.
void Place(std::vector<uint8_t>& package, size_t offset, const uint8_t*& data, size_t& size, size_t count) {
  const size_t n = std::min(count, size);
  std::memcpy(package.data() + offset, data, n);
  data += n;
  size -= n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using fuzzing::Check;
  if (size == 0) return 0;
  World& world = GetWorld();
  const uint8_t flags = data[0];
  ++data;
  --size;

  world.package = world.base;
  std::vector<uint8_t>& p = world.package;
  Place(p, 0, data, size, kBinAreaOffset);
  Place(p, kBinAreaOffset, data, size, 4);
  Place(p, kBinAreaOffset + 0x1100, data, size, 24);
  Place(p, kBinAreaOffset + 0x4000, data, size, 40);
  Place(p, kBinAreaOffset + 0x14000, data, size, 32);
  std::string identification(reinterpret_cast<const char*>(data), std::min<size_t>(size, 24));
  data += identification.size();
  size -= identification.size();
  platform::sim::DriveConfig& first = world.transport->Drive(0).Config();
  first.vendor = identification.substr(0, std::min<size_t>(8, identification.size()));
  first.product = identification.size() > 8 ? identification.substr(8) : "";
  first.flashId = {};
  std::memcpy(first.flashId.data(), data, std::min<size_t>(size, first.flashId.size()));

  // The package as its readers see it.
  const package::PackageView view(p.data());
  for (size_t offset : {package::kModelOffset, package::kInquiryOffset, package::kFWRangeOffset,
                        package::kVendorOffset, package::kNoteOffset}) {
    Check(package::PackageView::SlotText(reinterpret_cast<const char*>(p.data() + offset)).size() <=
              package::kSlotSize,
          "slot text wider than its slot");
  }
  Check(package::PackageView::SlotText(view.Version(), package::kVersionSize).size() <= package::kVersionSize,
        "version wider than its field");

  CDDrive::ResetClassState();
  CDDrive::SetTransport(world.transport.get());
  world.transport->ClearLog();
  {
    fuzzing::FuzzForm form(p.data());
    form.FormCreate();
    Check(form.BuildMode == view.IsBuilder(), "mode test differs from the package");
    if (!form.BuildMode) {
      Check(form.FWRange.size() == 9 && form.FWLow.size() == 4 && form.FWHigh.size() == 4 &&
                form.Inquiry.size() == 24,
            "package texts not formatted to their widths");
      if (form.CurrentDrive != nullptr) {
        Check(form.BinLength == view.BinLength(), "BinLength not taken from the package");
        Check(!(form.ShortIdProfile && form.LongIdProfile), "both profile flags set");
        Check(form.ComboCount() >= 1 && form.ComboItemIndex() == 0, "no fitting drive selected");
        if ((flags & 1) != 0) {
          form.FlashButtonClick();
          if (form.GetStatus() == "Flash Completed.") {
            // Whatever the image class, a completed flash put the image in the drive.
            const auto& flash = world.transport->Drive(form.CurrentDrive->HostAdapter).Flash();
            const size_t n = std::min<size_t>(view.BinLength(), flash.size());
            Check(std::memcmp(flash.data(), view.BinArea(), n) == 0,
                  "completed flash without the image in the drive");
          }
        }
      }
    }
    form.FormDestroy();
  }
  CDDrive::SetTransport(nullptr);
  return 0;
}
