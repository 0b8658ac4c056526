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

}  // namespace platform
