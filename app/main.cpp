// Entry point: application object, title, main form (running FormCreate
// before the window is shown), message loop, result 0 (128 + the signal's
// number when a signal ended the program). What ends a program from outside
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT, the end of the session, a display that
// went away) follows the one rule of a flash: it stops a flash that has not
// written to the drive yet, and waits for the end of one that has.
#include <QApplication>
#include <QDBusConnection>
#include <QMessageBox>
#include <QSessionManager>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/Desktop.h"
#include "app/ProgramArguments.h"
#include "app/StopDecision.h"
#include "app/TFlashForm.h"
#include "drive/CDDrive.h"
#include "package/Package.h"
#include "platform/Services.h"
#include "platform/StopGuard.h"
#include "platform/StopSignals.h"
#include "platform/Transcript.h"
#include "platform/qt/DesktopInhibitor.h"
#include "platform/qt/Logind.h"
#include "platform/qt/QtServices.h"
#include "platform/qt/WindowThread.h"

#if defined(FLASHUTIL_TRANSPORT_SIM)
#include "platform/sim/SimTransport.h"
#else
#include "platform/linux/SgTransport.h"
#endif

// Read from outside: what flashutil-pack shows of a program file.
#if defined(FLASHUTIL_TRANSPORT_SIM)
FLASHUTIL_DRIVE_ACCESS_RECORD("simulated");
#else
FLASHUTIL_DRIVE_ACCESS_RECORD("system");
#endif

namespace {

#if defined(FLASHUTIL_TRANSPORT_SIM)
constexpr bool kSimulatedDrives = true;
#else
constexpr bool kSimulatedDrives = false;
#endif

std::unique_ptr<platform::DriveTransport> MakeTransport() {
#if defined(FLASHUTIL_TRANSPORT_SIM)
  // The simulated drives report the image's revision once they are flashed.
  const package::PackageView embedded(package::EmbeddedPackage());
  return platform::sim::MakeDefaultSimTransport(package::PackageView::SlotText(embedded.Version(), 4));
#else
  return platform::linux_sg::MakeSgTransport();
#endif
}

// What the program's end needs, for the threads that may end it: the one
// that takes the signals, and the window's thread when the toolkit ends the
// program. Never destroyed: either may come at any moment of the process.
struct Ending {
  platform::StopGuard guard;
  std::mutex mutex;  // over `form`
  TFlashForm* form = nullptr;
  const platform::TranscriptStore* transcripts = nullptr;
};

Ending& TheEnding() {
  static Ending* ending = new Ending;
  return *ending;
}

void WriteError(const std::string& line) {
  const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
  (void)written;  // without a standard error the program ends all the same
}

[[noreturn]] void EndProgram(int status, const std::string& line) {
  WriteError(line);
  std::fflush(nullptr);
  ::_exit(status);
}

// The line that tells how a flash ended that `what` came during.
std::string EndOfFlashLine(const TFlashForm& form, const std::string& what) {
  const platform::TranscriptStore* transcripts = TheEnding().transcripts;
  return app::EndOfFlashLine(what, form.LastFlash, form.GetStatus(),
                             transcripts != nullptr ? transcripts->LastPath() : std::string());
}

// A signal, on the window's thread, as the guard took it.
void TakeSignal(TFlashForm& form, int signal, platform::StopGuard::Taken taken) {
  const int status = 128 + signal;
  const std::string what = platform::SignalName(signal) + " came";
  switch (app::ActionFor(form.EventRunning(), taken)) {
    case app::StopAction::EndNow:
      // Held off by a flash that has ended since: its end is told.
      EndProgram(status, taken == platform::StopGuard::Taken::Held ? EndOfFlashLine(form, what) : std::string());
    case app::StopAction::StopEvent:
      form.AnswerOpenQuestionNo();
      break;
    case app::StopAction::AfterEvent:
      break;
  }
  form.AfterEvent([&form, status, what] {
    EndProgram(status, form.EventIsFlash() ? EndOfFlashLine(form, what) : std::string());
  });
}

// On the thread that takes the signals.
void OnSignal(int signal) {
  Ending& ending = TheEnding();
  if (signal == SIGTSTP) {
    // Stopped while the drive is being written, the program would leave
    // the flash's end to whoever continues it.
    if (ending.guard.Suspend()) {
      platform::ActAsDefault(SIGTSTP);
      ending.guard.Resume();
    } else {
      WriteError("flashutil: the drive is being written: stopping now could leave it without working firmware; the "
                 "flash goes on\n");
    }
    return;
  }
  const std::string name = platform::SignalName(signal);
  const platform::StopGuard::Taken taken = ending.guard.Request(name);
  if (taken == platform::StopGuard::Taken::Held) {
    WriteError("flashutil: " + name +
               ": the drive is being written: ending now could leave it without working firmware; the flash goes "
               "on, and the program ends after it\n");
  }
  const std::lock_guard<std::mutex> lock(ending.mutex);
  // No window yet, or none any more: nothing runs that the signal could cut short.
  if (ending.form == nullptr) EndProgram(128 + signal, std::string());
  TFlashForm* form = ending.form;
  QMetaObject::invokeMethod(form, [form, signal, taken] { TakeSignal(*form, signal, taken); }, Qt::QueuedConnection);
}

// The toolkit ends the program without its display (the X server went away:
// exit(1) from the window's thread; a Wayland compositor: a fatal message).
// A flash beside the window goes on to its end, the lock held, its transcript
// ended; the program then ends with a line that tells how the flash ended,
// with status 0 when it flashed. Nothing else is kept from ending.
void KeepFlashWithoutDisplay() {
  Ending& ending = TheEnding();
  TFlashForm* form = nullptr;
  {
    const std::lock_guard<std::mutex> lock(ending.mutex);
    form = ending.form;
  }
  if (form == nullptr || !form->FlashRunsBeside()) return;
  ending.guard.Request("display lost");
  // The flash's questions are answered No on standard error from now on,
  // and what it shows goes nowhere.
  platform::LoseWindowThread();
  form->WaitForFlashBeside();
  EndProgram(form->LastFlash == flash::FlashOutcome::Completed ? 0 : 1,
             EndOfFlashLine(*form, "the display went away"));
}

QtMessageHandler previousMessageHandler = nullptr;

void OnMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  previousMessageHandler(type, context, message);
  if (type == QtFatalMsg) KeepFlashWithoutDisplay();
}

// Registered once the application object and the D-Bus connections exist,
// so that it runs before their clean-up, whose order is the reverse of
// their making.
void PrepareForTheToolkitsEnd() {
  QDBusConnection::systemBus().isConnected();
  QDBusConnection::sessionBus().isConnected();
  previousMessageHandler = qInstallMessageHandler(OnMessage);
  std::atexit(KeepFlashWithoutDisplay);
}

// The session is ending: held off while the drive is being written.
void AnswerSessionEnd(TFlashForm& form, QSessionManager& manager) {
  const app::SessionEndAnswer answer = app::AnswerSessionEnd(TheEnding().guard, form.EventRunning(),
                                                             [&manager] { return manager.allowsInteraction(); });
  if (answer.cancel) manager.cancel();
  if (answer.action == app::StopAction::StopEvent) form.AnswerOpenQuestionNo();
  if (answer.action != app::StopAction::EndNow) form.CloseAfterEvent();
}

// The portal's window identifier and the X11 window of the form, for the desktop's lock.
void NameTheWindow(platform::DesktopInhibitor& inhibitor, TFlashForm& form) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) return;
  const uint32_t xid = static_cast<uint32_t>(form.winId());
  inhibitor.SetWindow("x11:" + QString::number(xid, 16).toStdString(), xid);
}


// --help and --version answer without a window, and need no display; any
// other argument is refused. -1 when the window opens, otherwise the exit status.
int AnswerArguments(int argc, char** argv) {
  const app::ArgumentsOutcome given =
      app::ReadArguments(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc),
                         argc > 0 && argv[0] != nullptr ? argv[0] : "flashutil",
                         package::PackageView(package::EmbeddedPackage()), FLASHUTIL_VERSION, kSimulatedDrives);
  if (given.openWindow) return -1;
  std::fputs(given.out.c_str(), stdout);
  std::fputs(given.err.c_str(), stderr);
  return std::fflush(stdout) == 0 ? given.status : 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (const int answered = AnswerArguments(argc, argv); answered >= 0) return answered;
  // The window reads no argument, and neither does the toolkit: the
  // application object sees only the program's name.
  static char fallbackName[] = "flashutil";
  char* arguments[] = {argc > 0 && argv[0] != nullptr ? argv[0] : fallbackName, nullptr};
  int argumentCount = 1;
  // Before any thread starts: the signals are taken by a thread of their own.
  platform::WatchStopSignals(OnSignal);
  QApplication application(argumentCount, arguments);
  PrepareForTheToolkitsEnd();
  int status = 0;
  try {
    QApplication::setApplicationName(QString::fromLatin1(platform::ApplicationTitle));
    QApplication::setApplicationVersion(QStringLiteral(FLASHUTIL_VERSION));
    // No display name: Qt would append it to every window title.
    QGuiApplication::setApplicationDisplayName(QString());

    std::unique_ptr<app::Desktop> desktop = app::MakeDesktop();
    platform::QtCursor cursor;
    // logind holds off sleep, shutdown, the lid and the power keys; the
    // desktop holds off the end of the session.
    platform::LogindInhibitor logind;
    platform::DesktopInhibitor desktopLock;
    platform::SleepInhibitors inhibitor({&logind, &desktopLock});
    platform::QtBlockingCalls blocking;
    platform::Services& services = platform::GetServices();
    services.boxes = &desktop->Boxes();
    services.cursor = &cursor;
    // A program on simulated drives has no business restarting the machine
    // it runs on: it gets no restart at all.
    services.restart = kSimulatedDrives ? nullptr : &desktop->Restart();
    services.inhibitor = &inhibitor;
    services.blocking = &blocking;
    Ending& ending = TheEnding();
    services.stop = &ending.guard;
    // Every flash leaves a transcript in the user's state folder.
    platform::FolderTranscriptStore transcripts;
    services.transcripts = &transcripts;
    ending.transcripts = &transcripts;

    std::unique_ptr<platform::DriveTransport> transport = desktop->Drives(MakeTransport());
    CDDrive::SetTransport(transport.get());
    {
      TFlashForm form(package::EmbeddedPackage());
      form.SetStopGuard(&ending.guard);
      {
        const std::lock_guard<std::mutex> lock(ending.mutex);
        ending.form = &form;
      }
      QObject::connect(
          &application, &QGuiApplication::commitDataRequest, &form,
          [&form](QSessionManager& manager) { AnswerSessionEnd(form, manager); }, Qt::DirectConnection);
      // Message boxes, the start-up warning among them, carry the window's icon.
      QApplication::setWindowIcon(form.windowIcon());
      form.FormCreate();
      if (!form.QuitRequested()) {
        form.show();
        NameTheWindow(desktopLock, form);
        desktop->WindowShown(form);
        status = QApplication::exec();
      }
      const std::lock_guard<std::mutex> lock(ending.mutex);
      ending.form = nullptr;
    }
    CDDrive::SetTransport(nullptr);
    ending.transcripts = nullptr;
    services = platform::Services{};
  } catch (const std::exception& error) {
    QMessageBox::critical(nullptr, QString::fromLatin1(platform::ApplicationTitle),
                          QString::fromLocal8Bit(error.what()));
  }
  return status;
}
