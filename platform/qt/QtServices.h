// Desktop implementations of the platform services on Qt Widgets.
#pragma once

#include "platform/Services.h"

namespace platform {

class QtMessageBoxes final : public MessageBoxes {
 public:
  BoxAnswer Show(BoxKind kind, const std::string& caption, const std::string& text,
                 BoxButtons buttons) override;
};

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
// from a hung one. Input that arrives meanwhile (mouse, keys, touch, a close
// request) is dropped, not kept for later: a click on FLASH during a flash
// must not start another one when the flash is over.
class QtBlockingCalls final : public BlockingCalls {
 public:
  void Run(const std::function<void()>& call) override;
};

}  // namespace platform
