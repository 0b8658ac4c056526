#include "platform/StopSignals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <thread>

namespace platform {

namespace {

const int kSignals[kWatchedSignalCount] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

std::mutex handlerMutex;
StopSignalHandler& Handler() {
  static StopSignalHandler handler;
  return handler;
}

sigset_t WatchedSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kSignals) sigaddset(&set, signal);
  return set;
}

void Watch() {
  const sigset_t set = WatchedSet();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    StopSignalHandler handler;
    {
      const std::lock_guard<std::mutex> lock(handlerMutex);
      handler = Handler();
    }
    if (handler) {
      handler(signal);
    } else {
      ActAsDefault(signal);
    }
  }
}

}  // namespace

const int* WatchedSignals() { return kSignals; }

void WatchStopSignals(StopSignalHandler handler) {
  {
    const std::lock_guard<std::mutex> lock(handlerMutex);
    Handler() = std::move(handler);
  }
  static const bool watching = [] {
    const sigset_t set = WatchedSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    std::thread(Watch).detach();
    return true;
  }();
  (void)watching;
}

std::string SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    case SIGQUIT:
      return "SIGQUIT";
    case SIGTSTP:
      return "SIGTSTP";
    default:
      break;
  }
  return "signal " + std::to_string(signal);
}

void ActAsDefault(int signal) {
  if (signal == SIGTSTP) {
    // SIGSTOP cannot be blocked: the whole process stops before kill returns,
    // and goes on when it is continued.
    ::kill(::getpid(), SIGSTOP);
    return;
  }
  // The default action, on the whole process: it ends with the signal's status.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  ::kill(::getpid(), signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  // Blocked elsewhere, the signal is delivered here once unblocked; should it
  // not end the process, end it as the signal would have.
  ::_exit(128 + signal);
}

}  // namespace platform
