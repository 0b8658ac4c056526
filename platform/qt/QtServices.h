// Desktop implementations of the platform services on Qt Widgets.
#pragma once

#include "platform/Services.h"

namespace platform {

// Modal boxes, shown on the window's thread whichever thread asks. Where
// the window is gone (its display went away during a flash) the text goes to
// standard error and a question is answered No; once a request to stop is
// taken, no box is shown and a question is answered No.
class QtMessageBoxes final : public MessageBoxes {
 public:
  BoxAnswer Show(BoxKind kind, const std::string& caption, const std::string& text,
                 BoxButtons buttons) override;
};

// The cursor of the program's windows, set on the window's thread.
class QtCursor final : public Cursor {
 public:
  void SetHourglass() override;
  void SetDefault() override;

 private:
  bool overridden_ = false;
};

// Runs a blocking call on a thread of its own while the window's thread
// goes on with the toolkit's events: paints, timers and the window system's
// protocol messages, among them the desktop's ping that tells a live window
// from a hung one. Input that arrives meanwhile (mouse, keys, touch) is
// dropped, not kept for later: a click on FLASH during a flash must not
// start another one when the flash is over. Only a modal box (a question the
// call asks on the window's thread) takes its clicks and keys. A close
// request is not dropped: it reaches the window, which decides. An exception from one
// of the window's events meanwhile waits for the call's end, and then
// reaches the caller (the call's own exception first).
class QtBlockingCalls final : public BlockingCalls {
 public:
  void Run(const std::function<void()>& call) override;
};

}  // namespace platform
