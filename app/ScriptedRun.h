// A binding for test programs only: message boxes are printed to standard
// output and answered Yes (OK), the restart is printed instead of requested,
// and once the window is up its state is printed and the program ends. The
// product programs never contain it.
#pragma once

#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "app/TFlashForm.h"
#include "platform/Services.h"

namespace scripted {

inline const char* KindName(platform::BoxKind kind) {
  switch (kind) {
    case platform::BoxKind::Warning:
      return "Warning";
    case platform::BoxKind::Error:
      return "Error";
    case platform::BoxKind::Confirmation:
      return "Confirmation";
    case platform::BoxKind::Plain:
      break;
  }
  return "Plain";
}

class PrintingBoxes final : public platform::MessageBoxes {
 public:
  platform::BoxAnswer Show(platform::BoxKind kind, const std::string& caption, const std::string& text,
                           platform::BoxButtons buttons) override {
    std::printf("BOX %s|%s|%s\n%s\nEND BOX\n", KindName(kind), caption.c_str(),
                buttons == platform::BoxButtons::YesNo ? "YesNo" : "OK", text.c_str());
    std::fflush(stdout);
    return buttons == platform::BoxButtons::YesNo ? platform::BoxAnswer::Yes : platform::BoxAnswer::Ok;
  }
};

class PrintingRestart final : public platform::SystemRestart {
 public:
  void RequestReboot() override {
    std::printf("REBOOT\n");
    std::fflush(stdout);
  }
};

inline void ReportWindowAndQuit(TFlashForm& form) {
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

}  // namespace scripted
