#include "platform/Services.h"

#include <chrono>
#include <thread>

#include "platform/Transcript.h"

namespace platform {

const char* const ApplicationTitle = "VOXTEL Windows Flash utility";

namespace {

class RealClock final : public Clock {
 public:
  void SleepMs(unsigned milliseconds) override {
    RunBlocking([milliseconds] { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); });
  }
};

}  // namespace

std::string BoxCaption(BoxKind kind) {
  switch (kind) {
    case BoxKind::Warning:
      return "Warning";
    case BoxKind::Error:
      return "Error";
    case BoxKind::Confirmation:
      return "Confirm";
    case BoxKind::Plain:
      break;
  }
  return ApplicationTitle;
}

Services& GetServices() {
  static Services services;
  return services;
}

BoxAnswer ShowBox(BoxKind kind, const std::string& text, BoxButtons buttons) {
  MessageBoxes* boxes = GetServices().boxes;
  const std::string caption = BoxCaption(kind);
  Transcript* transcript = ActiveTranscript();
  if (transcript != nullptr) transcript->Box(kind, caption, text, buttons);
  const BoxAnswer answer = boxes != nullptr ? boxes->Show(kind, caption, text, buttons)
                                            : (buttons == BoxButtons::YesNo ? BoxAnswer::No : BoxAnswer::Ok);
  if (transcript != nullptr) transcript->BoxAnswered(answer);
  return answer;
}

bool AskWarningYesNo(const std::string& text) {
  return ShowBox(BoxKind::Warning, text, BoxButtons::YesNo) == BoxAnswer::Yes;
}

bool AskConfirmationYesNo(const std::string& text) {
  return ShowBox(BoxKind::Confirmation, text, BoxButtons::YesNo) == BoxAnswer::Yes;
}

void ShowError(const std::string& text) { ShowBox(BoxKind::Error, text, BoxButtons::Ok); }

void ShowMessage(const std::string& text) { ShowBox(BoxKind::Plain, text, BoxButtons::Ok); }

void ShowException(const std::string& text) {
  if (MessageBoxes* boxes = GetServices().boxes) boxes->Show(BoxKind::Error, ApplicationTitle, text, BoxButtons::Ok);
}

void SetHourglassCursor() {
  if (Cursor* cursor = GetServices().cursor) cursor->SetHourglass();
}

void SetDefaultCursor() {
  if (Cursor* cursor = GetServices().cursor) cursor->SetDefault();
}

void SleepMs(unsigned milliseconds) {
  // Never destroyed: a flash may still wait between its polls while the
  // program's end destroys what it made (a window whose display went away
  // lets its flash go on to its end from there).
  static RealClock& realClock = *new RealClock;
  Clock* clock = GetServices().clock;
  (clock != nullptr ? clock : &realClock)->SleepMs(milliseconds);
}

bool StopRequested() {
  const StopRequests* stop = GetServices().stop;
  return stop != nullptr && stop->Requested();
}

std::string StopCause() {
  const StopRequests* stop = GetServices().stop;
  return stop != nullptr ? stop->Cause() : std::string();
}

bool BeginWriting(Transcript* transcript) {
  StopRequests* stop = GetServices().stop;
  return stop == nullptr || stop->BeginWriting(transcript);
}

std::string EndWriting() {
  StopRequests* stop = GetServices().stop;
  return stop != nullptr ? stop->EndWriting() : std::string();
}

void RunBlocking(const std::function<void()>& call) {
  if (BlockingCalls* blocking = GetServices().blocking) {
    blocking->Run(call);
  } else {
    call();
  }
}

}  // namespace platform
