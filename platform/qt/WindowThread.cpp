#include "platform/qt/WindowThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <condition_variable>
#include <exception>
#include <mutex>

namespace platform {

namespace {

std::mutex mutex;
std::condition_variable changed;
bool lost = false;

// One call on its way to the window's thread, shared by the caller and the
// window's thread so that neither depends on the other's lifetime.
struct PendingCall {
  std::function<void()> call;
  bool done = false;
  std::exception_ptr failure;
};

}  // namespace

bool RunOnWindowThread(std::function<void()> call) {
  QCoreApplication* application = QCoreApplication::instance();
  if (WindowThreadLost()) return false;
  if (application == nullptr || QThread::currentThread() == application->thread()) {
    call();
    return true;
  }
  auto pending = std::make_shared<PendingCall>();
  pending->call = std::move(call);
  QMetaObject::invokeMethod(
      application,
      [pending] {
        if (WindowThreadLost()) return;
        std::exception_ptr failure;
        try {
          pending->call();
        } catch (...) {
          failure = std::current_exception();
        }
        {
          const std::lock_guard<std::mutex> lock(mutex);
          pending->done = true;
          pending->failure = failure;
        }
        changed.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait(lock, [&] { return pending->done || lost; });
  if (!pending->done) return false;
  if (pending->failure) std::rethrow_exception(pending->failure);
  return true;
}

void LoseWindowThread() {
  {
    const std::lock_guard<std::mutex> lock(mutex);
    lost = true;
  }
  changed.notify_all();
}

bool WindowThreadLost() {
  const std::lock_guard<std::mutex> lock(mutex);
  return lost;
}

}  // namespace platform
