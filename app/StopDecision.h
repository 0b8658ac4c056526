// What the window does with a request to stop: a signal, its own close, the
// end of the user's session, its display going away. The guard
// (platform::StopGuard) decides what becomes of the flash; these decide what
// becomes of the window and the program around it.
#pragma once

#include <functional>
#include <string>

#include "flash/FlashRun.h"
#include "platform/StopGuard.h"

namespace app {

enum class StopAction {
  EndNow,      // no event of the form runs: the program ends (the window closes) now
  StopEvent,   // the running event has not written to the drive: an open question is answered No, the flash
               // stops at its next look, and the program ends (the window closes) once the event is over
  AfterEvent,  // the drive is being written: the flash goes on to its end, the program ends after it
};

// A request the guard took as `taken`, with an event of the form running or not.
StopAction ActionFor(bool eventRunning, platform::StopGuard::Taken taken);

// The session is ending (a logout). While an event runs it is a request to
// stop, "logout", and the window closes after the event; outside an event
// the program lets the session end, and nothing is recorded (another
// program may still keep the session). While the drive is being written the
// session is asked to cancel its end, where it lets the program ask the
// user (`allowsInteraction`, asked only then).
struct SessionEndAnswer {
  bool cancel = false;  // ask the session to cancel its end
  StopAction action = StopAction::EndNow;
};
SessionEndAnswer AnswerSessionEnd(platform::StopGuard& guard, bool eventRunning,
                                  const std::function<bool()>& allowsInteraction);

// The one line on standard error with which the program ends after a flash
// that a request came during. `what` tells the request ("SIGTERM came", "the
// display went away"); `status` is the flash's last status line;
// `transcript` the flash's transcript (empty: none).
std::string EndOfFlashLine(const std::string& what, flash::FlashOutcome outcome, const std::string& status,
                           const std::string& transcript);

}  // namespace app
