// The signals that end or stop a program on a terminal, taken on a thread of
// the program's own rather than where they land: SIGINT (Ctrl-C), SIGTERM
// (kill, timeout, the end of a session), SIGHUP (a closed terminal, a
// dropped connection), SIGQUIT (Ctrl-\) and SIGTSTP (Ctrl-Z). They are
// blocked in the thread that starts the watch and in every thread it starts
// later, so that none of them cuts a system call short (a drive command
// above all) or ends the process from under a flash. SIGPIPE is ignored: a
// write to a closed pipe fails with EPIPE, and the program goes on.
// POSIX systems only.
#pragma once

#include <functional>
#include <string>

namespace platform {

using StopSignalHandler = std::function<void(int signal)>;

// Starts taking the signals and hands each to `handler`, on the watching
// thread. Call it before the program starts any thread of its own (threads
// take the mask of the thread that starts them). A later call only replaces
// the handler.
void WatchStopSignals(StopSignalHandler handler);

// "SIGTERM" and the like.
std::string SignalName(int signal);

// What the signal does to a program that does not take it: ends the
// process (SIGTSTP: stops it until it is continued, then returns).
void ActAsDefault(int signal);

// The signals watched, for the exit status 128 + signal and for tests.
inline constexpr int kWatchedSignalCount = 5;
const int* WatchedSignals();

}  // namespace platform
