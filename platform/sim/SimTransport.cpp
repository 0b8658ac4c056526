// PLACEHOLDER: replaced by the simulated drives.
#include "platform/sim/SimTransport.h"

namespace platform::sim {

class SimTransport : public DriveTransport {
 public:
  bool UsesPassThrough() override { return true; }
  bool IsSimulated() const override { return true; }
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

std::unique_ptr<DriveTransport> MakeDefaultSimTransport() { return std::make_unique<SimTransport>(); }

}  // namespace platform::sim
