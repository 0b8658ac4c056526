// The desktop binding of the scripted test programs: message boxes are
// printed to standard output and answered Yes (OK), the restart is printed
// instead of requested, and once the window is up its state is printed and
// the program ends. Built with FLASHUTIL_SCRIPTED_FLASH, the binding also
// presses FLASH, prints every status line as the window shows it, and prints
// the window again when the run is over.
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
#include <cstdio>

#include "app/Desktop.h"
#include "app/TFlashForm.h"
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

class ScriptedDesktop final : public Desktop {
 public:
  platform::MessageBoxes& Boxes() override { return boxes_; }
  platform::SystemRestart& Restart() override { return restart_; }

  void WindowShown(TFlashForm& form) override {
    QTimer::singleShot(0, &form, [&form] {
      std::printf("CAPTION %s\n", form.windowTitle().toLocal8Bit().constData());
      std::printf("LABEL %s\n", form.SelectDriveLabel->text().toLocal8Bit().constData());
      std::printf("BUTTON %s %s\n", form.FlashButton->text().toLocal8Bit().constData(),
                  form.FlashButton->isEnabled() ? "enabled" : "disabled");
      ReportDriveBox(form);
      std::fflush(stdout);
#if defined(FLASHUTIL_SCRIPTED_FLASH)
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
#endif
      QCoreApplication::exit(0);
    });
  }

 private:
  platform::PrintingBoxes boxes_;
  platform::PrintingRestart restart_;
};

}  // namespace

std::unique_ptr<Desktop> MakeDesktop() { return std::make_unique<ScriptedDesktop>(); }

}  // namespace app
