#include "platform/qt/QtServices.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QAbstractEventDispatcher>
#include <QEvent>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <optional>
#include <thread>

#include "platform/qt/WindowThread.h"

namespace platform {

namespace {

// Drops the user's input to every window of the program but a modal box
// (a question or a failure of a flash that runs beside the window), which
// must take its answer. A close request is not input: the window decides
// what becomes of it.
class InputDropper final : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
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
        return !InModalBox(watched);
      default:
        return false;
    }
  }

 private:
  static bool InModalBox(QObject* watched) {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) return false;
    if (QWidget* widget = qobject_cast<QWidget*>(watched)) return widget == modal || modal->isAncestorOf(widget);
    // Input reaches a window before its widgets.
    return watched == static_cast<QObject*>(modal->windowHandle());
  }
};

// The text of a box on standard error, for a box that has no window to be shown in.
void PrintBox(const std::string& caption, const std::string& text, BoxButtons buttons) {
  const size_t first = text.find_first_not_of('\n');
  const std::string shown = first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of('\n') - first + 1);
  const std::string line =
      "flashutil: " + caption + ": " + shown + (buttons == BoxButtons::YesNo ? "\n(answered No)" : "") + "\n";
  const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
  (void)written;
}

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
  // An exception from one of the window's events must not leave the call
  // running without its window: the call is waited for (it may be a flash
  // writing the drive, and it may need the window's thread meanwhile), and
  // the first exception reaches the caller once it is over.
  std::exception_ptr pumpFailure;
  while (!done.load()) {
    try {
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    } catch (...) {
      if (!pumpFailure) pumpFailure = std::current_exception();
    }
  }
  worker.join();
  application->removeEventFilter(&dropper);
  if (failure) std::rethrow_exception(failure);
  if (pumpFailure) std::rethrow_exception(pumpFailure);
}

namespace {

BoxAnswer ShowOnWindowThread(BoxKind kind, const std::string& caption, const std::string& text, BoxButtons buttons) {
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

}  // namespace

BoxAnswer QtMessageBoxes::Show(BoxKind kind, const std::string& caption, const std::string& text,
                               BoxButtons buttons) {
  const BoxAnswer unanswered = buttons == BoxButtons::YesNo ? BoxAnswer::No : BoxAnswer::Ok;
  if (!WindowThreadLost()) {
    // Once a request to stop is taken (a signal, the window's close), no box
    // stands in the way of the program's end: a question is answered No.
    if (StopRequested()) return unanswered;
    const std::optional<BoxAnswer> answer = ResultOnWindowThread<BoxAnswer>(
        [kind, caption, text, buttons] { return ShowOnWindowThread(kind, caption, text, buttons); });
    if (answer) return *answer;
  }
  // The window is gone: the box's text goes to standard error, and a question is answered No.
  PrintBox(caption, text, buttons);
  return unanswered;
}

void QtCursor::SetHourglass() {
  RunOnWindowThread([this] {
    if (overridden_) return;
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    overridden_ = true;
  });
}

void QtCursor::SetDefault() {
  RunOnWindowThread([this] {
    if (!overridden_) return;
    QGuiApplication::restoreOverrideCursor();
    overridden_ = false;
  });
}

}  // namespace platform
