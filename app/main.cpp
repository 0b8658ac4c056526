// Entry point: application object, title, main form (running FormCreate
// before the window is shown), message loop, result 0.
#include <QApplication>
#include <QMessageBox>
#include <exception>
#include <memory>

#include "app/TFlashForm.h"
#include "drive/CDDrive.h"
#include "package/Package.h"
#include "platform/Services.h"
#include "platform/qt/Logind.h"
#include "platform/qt/QtServices.h"

#if defined(FLASHUTIL_SCRIPTED_DIALOGS)
#include "app/ScriptedRun.h"
#endif

#if defined(FLASHUTIL_TRANSPORT_SIM)
#include "platform/sim/SimTransport.h"
#else
#include "platform/linux/SgTransport.h"
#endif

FlashFormCore* FlashForm = nullptr;

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  try {
    QApplication::setApplicationName(QString::fromLatin1(platform::ApplicationTitle));
    QApplication::setApplicationVersion(QStringLiteral(FLASHUTIL_VERSION));
    // No display name: Qt would append it to every window title.
    QGuiApplication::setApplicationDisplayName(QString());

#if defined(FLASHUTIL_SCRIPTED_DIALOGS)
    scripted::PrintingBoxes boxes;
    scripted::PrintingRestart restart;
#else
    platform::QtMessageBoxes boxes;
    platform::LogindRestart restart;
#endif
    platform::QtCursor cursor;
    platform::LogindInhibitor inhibitor;
    platform::Services& services = platform::GetServices();
    services.boxes = &boxes;
    services.cursor = &cursor;
    services.restart = &restart;
    services.inhibitor = &inhibitor;

#if defined(FLASHUTIL_TRANSPORT_SIM)
    // The simulated drives report the image's revision once they are flashed.
    const package::PackageView embedded(package::EmbeddedPackage());
    std::unique_ptr<platform::DriveTransport> transport = platform::sim::MakeDefaultSimTransport(
        package::PackageView::SlotText(embedded.Version(), 4));
#else
    std::unique_ptr<platform::DriveTransport> transport = platform::linux_sg::MakeSgTransport();
#endif
    CDDrive::SetTransport(transport.get());

    int result = 0;
    {
      TFlashForm form(package::EmbeddedPackage());
      FlashForm = &form;
      form.FormCreate();
      if (!form.QuitRequested()) {
        form.show();
#if defined(FLASHUTIL_SCRIPTED_DIALOGS)
        scripted::ReportWindowAndQuit(form);
#endif
        result = QApplication::exec();
      }
      FlashForm = nullptr;
    }
    CDDrive::SetTransport(nullptr);
    services = platform::Services{};
    (void)result;
  } catch (const std::exception& error) {
    QMessageBox::critical(nullptr, QString::fromLatin1(platform::ApplicationTitle),
                          QString::fromLocal8Bit(error.what()));
  }
  return 0;
}
