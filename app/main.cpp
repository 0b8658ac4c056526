// Entry point: application object, title, main form (running FormCreate
// before the window is shown), message loop, result 0.
#include <QApplication>
#include <QMessageBox>
#include <exception>
#include <memory>

#include "app/Desktop.h"
#include "app/TFlashForm.h"
#include "drive/CDDrive.h"
#include "package/Package.h"
#include "platform/Services.h"
#include "platform/Transcript.h"
#include "platform/qt/Logind.h"
#include "platform/qt/QtServices.h"

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

}  // namespace

int main(int argc, char** argv) {
  // The program takes no argument, and neither does the toolkit: the
  // application object sees only the program's name, so Qt's own options
  // (-platform, -style, -reverse, ...) have no effect either.
  static char fallbackName[] = "flashutil";
  char* arguments[] = {argc > 0 && argv[0] != nullptr ? argv[0] : fallbackName, nullptr};
  int argumentCount = 1;
  QApplication application(argumentCount, arguments);
  try {
    QApplication::setApplicationName(QString::fromLatin1(platform::ApplicationTitle));
    QApplication::setApplicationVersion(QStringLiteral(FLASHUTIL_VERSION));
    // No display name: Qt would append it to every window title.
    QGuiApplication::setApplicationDisplayName(QString());

    std::unique_ptr<app::Desktop> desktop = app::MakeDesktop();
    platform::QtCursor cursor;
    platform::LogindInhibitor inhibitor;
    platform::QtBlockingCalls blocking;
    platform::Services& services = platform::GetServices();
    services.boxes = &desktop->Boxes();
    services.cursor = &cursor;
    // A program on simulated drives has no business restarting the machine
    // it runs on: it gets no restart at all.
    services.restart = kSimulatedDrives ? nullptr : &desktop->Restart();
    services.inhibitor = &inhibitor;
    services.blocking = &blocking;
    // Every flash leaves a transcript in the user's state folder.
    platform::FolderTranscriptStore transcripts;
    services.transcripts = &transcripts;

    std::unique_ptr<platform::DriveTransport> transport = MakeTransport();
    CDDrive::SetTransport(transport.get());
    {
      TFlashForm form(package::EmbeddedPackage());
      // Message boxes, the start-up warning among them, carry the window's icon.
      QApplication::setWindowIcon(form.windowIcon());
      form.FormCreate();
      if (!form.QuitRequested()) {
        form.show();
        desktop->WindowShown(form);
        QApplication::exec();
      }
    }
    CDDrive::SetTransport(nullptr);
    services = platform::Services{};
  } catch (const std::exception& error) {
    QMessageBox::critical(nullptr, QString::fromLatin1(platform::ApplicationTitle),
                          QString::fromLocal8Bit(error.what()));
  }
  return 0;
}
