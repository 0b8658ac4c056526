// The desktop's lock on the end of the user's session: while it is held, a
// logout waits (the desktop asks the user, naming the reason) and so does a
// suspend the desktop itself would start. systemd-logind has no lock on a
// logout; the desktop portal has (GNOME, KDE and others), and GNOME's own
// session manager where no portal runs. Neither is there on every desktop:
// without them the flash goes on as it always did.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Services.h"

namespace platform {

class DesktopInhibitor final : public SleepInhibitor {
 public:
  ~DesktopInhibitor() override;
  // The window the lock is taken for, so that the desktop can name it: the
  // portal's window identifier ("x11:1c00007"; empty: none) and the X11
  // window (0: none).
  void SetWindow(const std::string& portalWindow, uint32_t xid);
  bool Acquire(const std::string& who, const std::string& why) override;
  void Release() override;

 private:
  bool AcquireFromPortal(const std::string& why);
  bool AcquireFromSessionManager(const std::string& who, const std::string& why);

  std::string portalWindow_;
  uint32_t xid_ = 0;
  std::string portalRequest_;  // the portal's request object while its lock is held
  uint32_t cookie_ = 0;        // GNOME's cookie while its lock is held (never 0)
};

// Several locks taken and let go as one: each is taken (true when any was),
// and each is let go, the last taken first.
class SleepInhibitors final : public SleepInhibitor {
 public:
  explicit SleepInhibitors(std::vector<SleepInhibitor*> inhibitors) : inhibitors_(std::move(inhibitors)) {}
  bool Acquire(const std::string& who, const std::string& why) override;
  void Release() override;

 private:
  std::vector<SleepInhibitor*> inhibitors_;
};

}  // namespace platform
