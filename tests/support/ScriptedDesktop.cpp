// The desktop binding of the scripted test programs: message boxes are
// printed to standard output and answered Yes (OK), the restart is printed
// instead of requested, and once the window is up its state is printed and
// the program ends. Built with FLASHUTIL_SCRIPTED_FLASH, or with
// FLASHUTIL_TEST_PRESS_FLASH set in its environment, the binding also
// presses FLASH, prints every status line as the window shows it, and prints
// the window again when the run is over. FLASHUTIL_TEST_FLASH_START_MS makes
// each flash start take that many milliseconds longer, as a slow drive's
// does, so that a test can act while the drive programs its flash.
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QWindow>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/Desktop.h"
#include "app/TFlashForm.h"
#include "flash/CommandBlocks.h"
#include "tests/support/ForwardingTransport.h"
#include "tests/support/PrintingServices.h"

namespace app {

namespace {

void ReportDriveBox(TFlashForm& form) {
  for (int i = 0; i < form.ComboBox->count(); ++i) {
    std::printf("COMBO %d %s\n", i, form.ComboBox->itemText(i).toLocal8Bit().constData());
  }
  std::printf("SELECTED %d\n", form.ComboItemIndex());
}

// Prints the status line (the caption of GroupBox2) each time it is painted
// with a new text: the window repaints it at once after every change.
class StatusPrinter final : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      const QString title = static_cast<QGroupBox*>(watched)->title();
      if (title != shown_) {
        shown_ = title;
        std::printf("STATUS %s\n", title.toLocal8Bit().constData());
        std::fflush(stdout);
      }
    }
    return false;
  }

 private:
  QString shown_;
};

// The drives, each flash start of theirs answered `delay` later.
class SlowFlashStart final : public testing_support::ForwardingTransport {
 public:
  SlowFlashStart(std::unique_ptr<platform::DriveTransport> inner, std::chrono::milliseconds delay)
      : ForwardingTransport(*inner), inner_(std::move(inner)), delay_(delay) {}
  platform::CommandOutcome Execute(platform::DeviceHandle handle, const platform::Cdb& cdb,
                                   platform::Direction direction, uint8_t* buffer, uint32_t length,
                                   unsigned timeoutSeconds) override {
    const bool flashStart = cdb[0] == flash::kWriteBuffer &&
                            (cdb[9] == flash::kControlFlashStart || cdb[9] == flash::kControlFlashStartAll);
    if (flashStart) std::this_thread::sleep_for(delay_);
    return ForwardingTransport::Execute(handle, cdb, direction, buffer, length, timeoutSeconds);
  }

 private:
  std::unique_ptr<platform::DriveTransport> inner_;
  std::chrono::milliseconds delay_;
};

bool PressesFlash() {
#if defined(FLASHUTIL_SCRIPTED_FLASH)
  return true;
#else
  const char* press = std::getenv("FLASHUTIL_TEST_PRESS_FLASH");
  return press != nullptr && *press != 0;
#endif
}

class ScriptedDesktop final : public Desktop {
 public:
  platform::MessageBoxes& Boxes() override { return boxes_; }
  platform::SystemRestart& Restart() override { return restart_; }

  std::unique_ptr<platform::DriveTransport> Drives(std::unique_ptr<platform::DriveTransport> transport) override {
    const char* delay = std::getenv("FLASHUTIL_TEST_FLASH_START_MS");
    if (delay == nullptr || std::atoi(delay) <= 0) return transport;
    return std::make_unique<SlowFlashStart>(std::move(transport), std::chrono::milliseconds(std::atoi(delay)));
  }

  void WindowShown(TFlashForm& form) override {
    QTimer::singleShot(0, &form, [&form] {
      std::printf("CAPTION %s\n", form.windowTitle().toLocal8Bit().constData());
      std::printf("LABEL %s\n", form.SelectDriveLabel->text().toLocal8Bit().constData());
      std::printf("BUTTON %s %s\n", form.FlashButton->text().toLocal8Bit().constData(),
                  form.FlashButton->isEnabled() ? "enabled" : "disabled");
      ReportDriveBox(form);
      std::fflush(stdout);
      if (PressesFlash()) PressFlash(form);
      QCoreApplication::exit(0);
    });
  }

 private:
  // Presses FLASH, printing each status line as it is painted, and then the window.
  static void PressFlash(TFlashForm& form) {
    // A window that is not exposed yet is not painted, and its status line
    // would go unseen.
    for (int wait = 0; wait < 500 && !form.windowHandle()->isExposed(); ++wait) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      QThread::msleep(10);
    }
    StatusPrinter status;
    form.GroupBox2->installEventFilter(&status);
    std::printf("PRESS %s\n", form.FlashButton->text().toLocal8Bit().constData());
    std::fflush(stdout);
    form.FlashButton->click();
    form.GroupBox2->removeEventFilter(&status);
    ReportDriveBox(form);
    std::printf("STATUS LINE %s\nPROGRESS %d of %d\n", form.GetStatus().c_str(), form.ProgressBar->value(),
                form.ProgressBar->maximum());
    std::fflush(stdout);
  }

  platform::PrintingBoxes boxes_;
  platform::PrintingRestart restart_;
};

}  // namespace

std::unique_ptr<Desktop> MakeDesktop() { return std::make_unique<ScriptedDesktop>(); }

}  // namespace app
