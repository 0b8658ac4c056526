// systemd-logind over D-Bus: the forced restart after a flash, and the
// inhibitor lock that keeps the system from sleeping or shutting down while
// a flash runs.
#pragma once

#include "platform/Services.h"

namespace platform {

class LogindRestart final : public SystemRestart {
 public:
  void RequestReboot() override;
};

class LogindInhibitor final : public SleepInhibitor {
 public:
  ~LogindInhibitor() override;
  bool Acquire(const std::string& who, const std::string& why) override;
  void Release() override;

 private:
  int fd_ = -1;  // the lock is held while this descriptor is open
};

}  // namespace platform
