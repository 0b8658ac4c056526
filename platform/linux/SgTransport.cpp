// PLACEHOLDER: replaced by the SG_IO back-end.
#include "platform/linux/SgTransport.h"

namespace platform::linux_sg {

namespace {
class SgTransport : public DriveTransport {
 public:
  bool UsesPassThrough() override { return true; }
  bool IsSimulated() const override { return false; }
  std::vector<DeviceInfo> EnumerateDrives() override { return {}; }
  std::string DevicePath(uint8_t, uint8_t, uint8_t, uint8_t) override { return {}; }
  int Open(uint8_t, uint8_t, uint8_t, uint8_t, DeviceHandle&) override { return 19; }
  CommandOutcome Execute(DeviceHandle, const std::array<uint8_t, 12>&, Direction, uint8_t*, uint32_t,
                         unsigned) override {
    return {};
  }
  void Close(DeviceHandle) override {}
  std::unique_ptr<AspiLibrary> LoadAspiLibrary(const std::string&) override { return nullptr; }
};
}  // namespace

std::unique_ptr<DriveTransport> MakeSgTransport(const std::string&, const std::string&) {
  return std::make_unique<SgTransport>();
}

}  // namespace platform::linux_sg
