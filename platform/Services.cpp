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

ServiceContext& DefaultServiceContext() {
  static ServiceContext context;
  return context;
}

Services& GetServices() { return DefaultServiceContext().services; }

BoxAnswer ShowBox(ServiceContext& context, BoxKind kind, const std::string& text, BoxButtons buttons) {
  MessageBoxes* boxes = context.services.boxes;
  const std::string caption = BoxCaption(kind);
  Transcript* transcript = context.ActiveTranscript();
  if (transcript != nullptr) transcript->Box(kind, caption, text, buttons);
  const BoxAnswer answer = boxes != nullptr ? boxes->Show(kind, caption, text, buttons)
                                            : (buttons == BoxButtons::YesNo ? BoxAnswer::No : BoxAnswer::Ok);
  if (transcript != nullptr) transcript->BoxAnswered(answer);
  return answer;
}

BoxAnswer ShowBox(BoxKind kind, const std::string& text, BoxButtons buttons) {
  return ShowBox(DefaultServiceContext(), kind, text, buttons);
}

bool AskWarningYesNo(ServiceContext& context, const std::string& text) {
  return ShowBox(context, BoxKind::Warning, text, BoxButtons::YesNo) == BoxAnswer::Yes;
}

bool AskWarningYesNo(const std::string& text) { return AskWarningYesNo(DefaultServiceContext(), text); }

bool AskConfirmationYesNo(ServiceContext& context, const std::string& text) {
  return ShowBox(context, BoxKind::Confirmation, text, BoxButtons::YesNo) == BoxAnswer::Yes;
}

bool AskConfirmationYesNo(const std::string& text) { return AskConfirmationYesNo(DefaultServiceContext(), text); }

void ShowError(ServiceContext& context, const std::string& text) {
  ShowBox(context, BoxKind::Error, text, BoxButtons::Ok);
}

void ShowError(const std::string& text) { ShowError(DefaultServiceContext(), text); }

void ShowMessage(ServiceContext& context, const std::string& text) {
  ShowBox(context, BoxKind::Plain, text, BoxButtons::Ok);
}

void ShowMessage(const std::string& text) { ShowMessage(DefaultServiceContext(), text); }

void ShowException(const std::string& text) {
  if (MessageBoxes* boxes = GetServices().boxes) boxes->Show(BoxKind::Error, ApplicationTitle, text, BoxButtons::Ok);
}

void SetHourglassCursor(ServiceContext& context) {
  if (Cursor* cursor = context.services.cursor) cursor->SetHourglass();
}

void SetHourglassCursor() { SetHourglassCursor(DefaultServiceContext()); }

void SetDefaultCursor(ServiceContext& context) {
  if (Cursor* cursor = context.services.cursor) cursor->SetDefault();
}

void SetDefaultCursor() { SetDefaultCursor(DefaultServiceContext()); }

void SleepMs(ServiceContext& context, unsigned milliseconds) {
  // Never destroyed: a flash may still wait between its polls while the
  // program's end destroys what it made (a window whose display went away
  // lets its flash go on to its end from there).
  static RealClock& realClock = *new RealClock;
  Clock* clock = context.services.clock;
  (clock != nullptr ? clock : &realClock)->SleepMs(milliseconds);
}

void SleepMs(unsigned milliseconds) { SleepMs(DefaultServiceContext(), milliseconds); }

bool StopRequested(ServiceContext& context) {
  const StopRequests* stop = context.services.stop;
  return stop != nullptr && stop->Requested();
}

bool StopRequested() { return StopRequested(DefaultServiceContext()); }

std::string StopCause(ServiceContext& context) {
  const StopRequests* stop = context.services.stop;
  return stop != nullptr ? stop->Cause() : std::string();
}

std::string StopCause() { return StopCause(DefaultServiceContext()); }

bool BeginWriting(ServiceContext& context, Transcript* transcript) {
  StopRequests* stop = context.services.stop;
  return stop == nullptr || stop->BeginWriting(transcript);
}

bool BeginWriting(Transcript* transcript) { return BeginWriting(DefaultServiceContext(), transcript); }

std::string EndWriting(ServiceContext& context) {
  StopRequests* stop = context.services.stop;
  return stop != nullptr ? stop->EndWriting() : std::string();
}

std::string EndWriting() { return EndWriting(DefaultServiceContext()); }

void RunBlocking(ServiceContext& context, const std::function<void()>& call) {
  if (BlockingCalls* blocking = context.services.blocking) {
    blocking->Run(call);
  } else {
    call();
  }
}

void RunBlocking(const std::function<void()>& call) { RunBlocking(DefaultServiceContext(), call); }

}  // namespace platform
