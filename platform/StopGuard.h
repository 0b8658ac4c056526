// The one rule for requests to stop a flash (platform/Services.h,
// StopRequests), for every front end: a request that comes before the
// flash writes to the drive stops it; one that comes during its critical
// section is held off, written into the flash's transcript when it comes,
// and handed back at the section's end. Requests may come from any thread
// (a thread that takes signals, the window's thread); the flash asks from
// its own.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/Services.h"

namespace platform {

class StopGuard final : public StopRequests {
 public:
  // What became of a request.
  enum class Taken {
    Stop,  // no critical section runs: the flash (if one is preparing) ends with nothing written
    Held,  // the drive is being written: held off until the flash is over
  };

  // A request to stop; `cause` names it ("SIGTERM", "window closed", ...).
  Taken Request(const std::string& cause);
  // Whether the drive is being written now.
  bool Writing() const;
  // The first request that came, to be honoured once the flash is over;
  // empty when none came.
  std::string Pending() const;

  // A suspension (Ctrl-Z) is allowed only outside the critical section:
  // true when it may go ahead, and the critical section cannot begin until
  // Resume(); false while the drive is being written.
  bool Suspend();
  void Resume();

  // StopRequests.
  bool Requested() const override;
  std::string Cause() const override;
  bool BeginWriting(Transcript* transcript) override;
  std::string EndWriting() override;

 private:
  mutable std::mutex mutex_;
  std::condition_variable resumed_;
  bool writing_ = false;
  bool suspended_ = false;
  std::string stopCause_;  // the first request taken as a stop
  std::string heldCause_;  // the first request held off by the critical section that runs or ran last
  std::string firstCause_;
  Transcript* transcript_ = nullptr;
};

}  // namespace platform
