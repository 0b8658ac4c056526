#include "platform/qt/QtServices.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QAbstractEventDispatcher>
#include <QEvent>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <exception>
#include <thread>

namespace platform {

namespace {

// Drops the user's input to every window of the program.
class InputDropper final : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::MouseMove:
      case QEvent::Wheel:
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::ShortcutOverride:
      case QEvent::Shortcut:
      case QEvent::ContextMenu:
      case QEvent::TouchBegin:
      case QEvent::TouchUpdate:
      case QEvent::TouchEnd:
      case QEvent::TabletPress:
      case QEvent::TabletRelease:
      case QEvent::InputMethod:
      case QEvent::Drop:
      case QEvent::Close:
        return true;
      default:
        return false;
    }
  }
};

}  // namespace

void QtBlockingCalls::Run(const std::function<void()>& call) {
  QCoreApplication* application = QCoreApplication::instance();
  // Without an application, or on another thread than the window's, there
  // is no window to keep alive.
  if (application == nullptr || QThread::currentThread() != application->thread()) {
    call();
    return;
  }
  std::atomic<bool> done{false};
  std::exception_ptr failure;
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  InputDropper dropper;
  application->installEventFilter(&dropper);
  std::thread worker([&] {
    try {
      call();
    } catch (...) {
      failure = std::current_exception();
    }
    done.store(true);
    if (dispatcher != nullptr) dispatcher->wakeUp();
  });
  // The wake-up ends the wait as soon as the call is over; the timer is there
  // should the dispatcher not be woken.
  QTimer tick;
  tick.start(50);
  while (!done.load()) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  worker.join();
  application->removeEventFilter(&dropper);
  if (failure) std::rethrow_exception(failure);
}

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
