// Services for test programs: message boxes printed to standard output and
// answered Yes (OK), and a restart that is printed instead of requested.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Services.h"
#include "platform/Transcript.h"

namespace platform {

// Prints "BOX <kind>|<caption>|<YesNo or OK>", the text and "END BOX".
class PrintingBoxes final : public MessageBoxes {
 public:
  BoxAnswer Show(BoxKind kind, const std::string& caption, const std::string& text,
                 BoxButtons buttons) override {
    std::printf("BOX %s|%s|%s\n%s\nEND BOX\n", BoxKindName(kind), caption.c_str(),
                buttons == BoxButtons::YesNo ? "YesNo" : "OK", text.c_str());
    std::fflush(stdout);
    // A test looks at the system while the box is up: the shell command in
    // FLASHUTIL_TEST_BOX_HOOK runs before the box is answered, with its
    // text in BOX_TEXT, and prints to the same output.
#if !defined(_WIN32)
    if (const char* hook = std::getenv("FLASHUTIL_TEST_BOX_HOOK"); hook != nullptr && *hook != 0) {
      ::setenv("BOX_TEXT", text.c_str(), 1);
      const int status = std::system(hook);
      (void)status;
      std::fflush(stdout);
    }
#endif
    return buttons == BoxButtons::YesNo ? BoxAnswer::Yes : BoxAnswer::Ok;
  }
};

class PrintingRestart final : public SystemRestart {
 public:
  void RequestReboot() override {
    std::printf("REBOOT\n");
    std::fflush(stdout);
  }
};

}  // namespace platform
