// The desktop binding of the scripted test programs: message boxes are
// printed to standard output and answered Yes (OK), the restart is printed
// instead of requested, and once the window is up its state is printed and
// the program ends.
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "app/Desktop.h"
#include "app/TFlashForm.h"
#include "tests/support/PrintingServices.h"

namespace app {

namespace {

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
      for (int i = 0; i < form.ComboBox->count(); ++i) {
        std::printf("COMBO %d %s\n", i, form.ComboBox->itemText(i).toLocal8Bit().constData());
      }
      std::printf("SELECTED %d\n", form.ComboItemIndex());
      std::fflush(stdout);
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
