// A transport in front of another that passes every call on to it; test
// doubles and benchmarks derive from it and change the calls they are about.
#pragma once

#include <vector>

#include "platform/Transport.h"

namespace testing_support {

class ForwardingTransport : public platform::DriveTransport {
 public:
  explicit ForwardingTransport(platform::DriveTransport& inner) : inner_(inner) {}

  bool IsSimulated() const override { return inner_.IsSimulated(); }
  std::vector<platform::DeviceInfo> EnumerateDrives() override { return inner_.EnumerateDrives(); }
  int Open(const platform::DeviceInfo& device, platform::DeviceHandle& handle) override {
    return inner_.Open(device, handle);
  }
  platform::CommandOutcome Execute(platform::DeviceHandle handle, const platform::Cdb& cdb,
                                   platform::Direction direction, uint8_t* buffer, uint32_t length,
                                   unsigned timeoutSeconds) override {
    return inner_.Execute(handle, cdb, direction, buffer, length, timeoutSeconds);
  }
  void Close(platform::DeviceHandle handle) override { inner_.Close(handle); }
  bool FiltersCommands(platform::DeviceHandle handle) const override { return inner_.FiltersCommands(handle); }
  platform::HoldOutcome LockExclusive(platform::DeviceHandle handle) override { return inner_.LockExclusive(handle); }
  void UnlockExclusive(platform::DeviceHandle handle) override { inner_.UnlockExclusive(handle); }

 private:
  platform::DriveTransport& inner_;
};

}  // namespace testing_support
