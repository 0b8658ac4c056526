// Platform services that the workflow needs from the desktop: modal message
// boxes, the screen cursor, a sleep, the system restart, a sleep/shutdown
// inhibitor and the profile reader of INI files. Everything goes through small interfaces so that the whole
// workflow runs in tests with scripted answers and without waiting.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

class ProfileReader;    // platform/ProfileFile.h
class TranscriptStore;  // platform/Transcript.h
class Transcript;       // platform/Transcript.h

enum class BoxKind {
  Warning,       // caption "Warning", warning icon
  Error,         // caption "Error", error icon
  Confirmation,  // caption "Confirm", question icon
  Plain,         // caption is the application title, no icon
};

enum class BoxButtons { YesNo, Ok };

enum class BoxAnswer { Yes, No, Ok, Closed };

// The caption that a box of the given kind carries.
std::string BoxCaption(BoxKind kind);

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // Shows a modal box and returns when the user has answered.
  virtual BoxAnswer Show(BoxKind kind, const std::string& caption,
                         const std::string& text, BoxButtons buttons) = 0;
};

class Cursor {
 public:
  virtual ~Cursor() = default;
  virtual void SetHourglass() = 0;
  virtual void SetDefault() = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual void SleepMs(unsigned milliseconds) = 0;
};

// Asks the operating system for a forced restart. The outcome is not examined.
class SystemRestart {
 public:
  virtual ~SystemRestart() = default;
  virtual void RequestReboot() = 0;
};

// Keeps the system from suspending or shutting down while a flash runs.
class SleepInhibitor {
 public:
  virtual ~SleepInhibitor() = default;
  // Takes the lock; returns false when it could not be taken (the flash goes on).
  virtual bool Acquire(const std::string& who, const std::string& why) = 0;
  // Releases the lock if it is held. Safe to call when nothing is held.
  virtual void Release() = 0;
};

// Runs a call that blocks until a drive answers or a wait has passed. The
// desktop bindings run it on a thread of its own while the window's thread
// goes on answering the desktop's "are you alive?" checks and repainting,
// and takes no user input meanwhile (no click, no key, no close): the caller
// still gets control back only when the call is over, as if it had run
// itself. An exception thrown by the call reaches the caller.
class BlockingCalls {
 public:
  virtual ~BlockingCalls() = default;
  virtual void Run(const std::function<void()>& call) = 0;
};

// Requests to stop a flash: Ctrl-C and the other signals that end a
// program on a terminal, a terminal that went away, the window's close, the
// end of the session, a display that went away. One rule holds for every
// front end. Before the flash writes to the drive a request ends it with
// nothing written: the flash asks Requested() while it prepares and
// BeginWriting() right before its first write. From then on, its critical
// section, every request is held off: the flash runs to its end, each
// request is written into the flash's transcript as it comes, and
// EndWriting() (once the flash start has answered and the drive's refreshed
// identity is read, or a failure has been shown) tells the flash which
// request came meanwhile, to be honoured once the flash is over.
class StopRequests {
 public:
  virtual ~StopRequests() = default;
  // True when a request to stop came before the critical section.
  virtual bool Requested() const = 0;
  // What asked to stop ("SIGINT", "SIGTERM", "window closed", ...), for the
  // transcript's stop line; empty when nothing did.
  virtual std::string Cause() const = 0;
  // True when the run may write to the drive: its critical section begins,
  // and each request from now on is held off and written into `transcript`
  // (null: none) as it comes. False when a request to stop came first: the
  // run ends.
  virtual bool BeginWriting(Transcript* transcript) = 0;
  // The critical section is over: the first request held off during it,
  // empty when none came.
  virtual std::string EndWriting() = 0;
};

// The application title, shown on plain boxes and the exception box.
extern const char* const ApplicationTitle;

// A set of services. The entry point installs the desktop implementations
// into the default context; tests install doubles. Unset members fall back to
// implementations that do nothing (boxes answer No / OK).
struct Services {
  MessageBoxes* boxes = nullptr;
  Cursor* cursor = nullptr;
  Clock* clock = nullptr;
  SystemRestart* restart = nullptr;
  SleepInhibitor* inhibitor = nullptr;
  ProfileReader* profiles = nullptr;  // unset: platform::IniFileReader
  BlockingCalls* blocking = nullptr;  // unset: the call runs on the caller's thread
  StopRequests* stop = nullptr;       // unset: nothing asks a flash to stop
  TranscriptStore* transcripts = nullptr;  // unset: flashes leave no transcript
  bool commandLine = false;  // the flash runs in flashutil-pack: its transcript says so
};

// What one flash works with of the platform: its services and the
// transcript it writes. The process has one (DefaultServiceContext()), which
// the window and a single command-line flash use; flashes that run side by
// side have one each, so that none of them sees another's boxes, requests
// to stop or transcript.
class ServiceContext {
 public:
  Services services;
  // The transcript of the flash that runs in this context now, or null.
  Transcript* ActiveTranscript() const { return transcript_.load(); }
  void SetActiveTranscript(Transcript* transcript) { transcript_.store(transcript); }

 private:
  std::atomic<Transcript*> transcript_{nullptr};
};

ServiceContext& DefaultServiceContext();
// The services of the default context.
Services& GetServices();

// Convenience wrappers over a context's services (without one: the default
// context's), with the caption of the kind. A box goes into the context's
// transcript with its answer.
BoxAnswer ShowBox(ServiceContext& context, BoxKind kind, const std::string& text, BoxButtons buttons);
BoxAnswer ShowBox(BoxKind kind, const std::string& text, BoxButtons buttons);
bool AskWarningYesNo(ServiceContext& context, const std::string& text);       // true on Yes
bool AskWarningYesNo(const std::string& text);
bool AskConfirmationYesNo(ServiceContext& context, const std::string& text);  // true on Yes
bool AskConfirmationYesNo(const std::string& text);
void ShowError(ServiceContext& context, const std::string& text);             // error box, OK
void ShowError(const std::string& text);
void ShowMessage(ServiceContext& context, const std::string& text);           // plain box, OK
void ShowMessage(const std::string& text);
// The box of an exception that nothing else handled: error icon, caption
// the application title, the exception's message, OK.
void ShowException(const std::string& text);

void SetHourglassCursor(ServiceContext& context);
void SetHourglassCursor();
void SetDefaultCursor(ServiceContext& context);
void SetDefaultCursor();
void SleepMs(ServiceContext& context, unsigned milliseconds);
void SleepMs(unsigned milliseconds);
// Through the services' stop; without it no stop is ever requested, and
// nothing is held off.
bool StopRequested(ServiceContext& context);
bool StopRequested();
std::string StopCause(ServiceContext& context);
std::string StopCause();
bool BeginWriting(ServiceContext& context, Transcript* transcript);
bool BeginWriting(Transcript* transcript);
std::string EndWriting(ServiceContext& context);
std::string EndWriting();
// Runs `call` through the services' blocking calls (see BlockingCalls).
void RunBlocking(ServiceContext& context, const std::function<void()>& call);
void RunBlocking(const std::function<void()>& call);

}  // namespace platform
