// Calls to the window's thread from a thread beside it. A flash runs on a
// thread of its own while the window's thread goes on with the window; what
// the flash shows (the status line, the progress bar, the drive box, its
// boxes, the cursor) is done on the window's thread, where the widgets live,
// and the flash waits for it. When the window's thread is gone (the display
// went away and the toolkit is ending the program), the flash must still go
// on to its end: every call then returns at once without running.
#pragma once

#include <functional>
#include <memory>
#include <optional>

namespace platform {

// Runs `call` on the window's thread and returns once it has run (at once
// when called there, or when there is no application object). An exception
// thrown by `call` reaches the caller. False, with `call` not run or not run
// to its end, once the window's thread is lost. `call` is kept until the
// window's thread is done with it, which may be after the caller has gone
// on: it must hold what it works on, not refer to the caller's variables.
bool RunOnWindowThread(std::function<void()> call);

// The same for a call with a result; nothing once the window's thread is lost.
template <typename Result>
std::optional<Result> ResultOnWindowThread(std::function<Result()> call) {
  auto result = std::make_shared<std::optional<Result>>();
  if (!RunOnWindowThread([call = std::move(call), result] { *result = call(); })) return std::nullopt;
  return *result;
}

// From now on no call runs on the window's thread: those waiting return
// false at once, and so do later ones. For the program's end without its
// display; there is no way back.
void LoseWindowThread();
bool WindowThreadLost();

}  // namespace platform
