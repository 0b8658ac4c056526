#include "app/StopDecision.h"

namespace app {

StopAction ActionFor(bool eventRunning, platform::StopGuard::Taken taken) {
  if (!eventRunning) return StopAction::EndNow;
  return taken == platform::StopGuard::Taken::Held ? StopAction::AfterEvent : StopAction::StopEvent;
}

SessionEndAnswer AnswerSessionEnd(platform::StopGuard& guard, bool eventRunning,
                                  const std::function<bool()>& allowsInteraction) {
  SessionEndAnswer answer;
  if (!eventRunning) return answer;
  answer.action = ActionFor(true, guard.Request("logout"));
  answer.cancel = answer.action == StopAction::AfterEvent && allowsInteraction();
  return answer;
}

std::string EndOfFlashLine(const std::string& what, flash::FlashOutcome outcome, const std::string& status,
                           const std::string& transcript) {
  std::string line = "flashutil: " + what;
  if (outcome == flash::FlashOutcome::NothingWritten) {
    line += " before the flash wrote to the drive; nothing was written.";
  } else {
    // Status lines end in blanks where more was to be appended.
    const size_t end = status.find_last_not_of(' ');
    line += " during the flash; the flash went on to its end: " +
            (end == std::string::npos ? std::string() : status.substr(0, end + 1));
  }
  if (!transcript.empty()) line += " Transcript: " + transcript;
  return line + "\n";
}

}  // namespace app
