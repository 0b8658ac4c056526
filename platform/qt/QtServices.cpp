#include "platform/qt/QtServices.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>

namespace platform {

BoxAnswer QtMessageBoxes::Show(BoxKind kind, const std::string& caption, const std::string& text,
                               BoxButtons buttons) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  switch (kind) {
    case BoxKind::Warning:
      icon = QMessageBox::Warning;
      break;
    case BoxKind::Error:
      icon = QMessageBox::Critical;
      break;
    case BoxKind::Confirmation:
      icon = QMessageBox::Question;
      break;
    case BoxKind::Plain:
      break;
  }
  QMessageBox box(icon, QString::fromStdString(caption), QString::fromLocal8Bit(text.c_str()),
                  QMessageBox::NoButton, QApplication::activeWindow());
  // A box shown while the hourglass is up must still show the arrow over itself.
  QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
  BoxAnswer answer = BoxAnswer::Closed;
  if (buttons == BoxButtons::YesNo) {
    QPushButton* yes = box.addButton(QStringLiteral("&Yes"), QMessageBox::YesRole);
    QPushButton* no = box.addButton(QStringLiteral("&No"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    box.exec();
    if (box.clickedButton() == yes) answer = BoxAnswer::Yes;
    else answer = BoxAnswer::No;
  } else {
    QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
    answer = BoxAnswer::Ok;
  }
  QGuiApplication::restoreOverrideCursor();
  return answer;
}

void QtCursor::SetHourglass() {
  if (overridden_) return;
  QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  overridden_ = true;
}

void QtCursor::SetDefault() {
  if (!overridden_) return;
  QGuiApplication::restoreOverrideCursor();
  overridden_ = false;
}

}  // namespace platform
