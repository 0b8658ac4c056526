// A binding for test programs only: message boxes are printed to standard
// output and answered Yes (OK), the restart is printed instead of requested
// (platform/PrintingServices.h), and once the window is up its state is
// printed and the program ends. The product programs never contain it.
#pragma once

#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "app/TFlashForm.h"
#include "platform/PrintingServices.h"

namespace scripted {

using PrintingBoxes = platform::PrintingBoxes;
using PrintingRestart = platform::PrintingRestart;

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
