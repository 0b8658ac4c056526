// The desktop binding of the scripted test programs on Windows: message
// boxes are printed to standard output and answered Yes (OK), the restart is
// printed instead of requested, and once the window is up its state is
// printed and the program ends, in the words of the Qt binding's printout.
#include <windows.h>

#include <cstdio>

#include "app/Desktop.h"
#include "app/win/TFlashForm.h"
#include "tests/support/PrintingServices.h"

namespace app {

namespace {

class ScriptedDesktop final : public Desktop {
 public:
  platform::MessageBoxes& Boxes() override { return boxes_; }
  platform::SystemRestart& Restart() override { return restart_; }

  void WindowShown(TFlashForm& form) override {
    std::printf("CAPTION %s\n", form.CaptionText().c_str());
    std::printf("LABEL %s\n", form.LabelText().c_str());
    std::printf("BUTTON %s %s\n", form.ButtonText().c_str(), form.ButtonEnabled() ? "enabled" : "disabled");
    const std::vector<std::string> items = form.ComboItems();
    for (size_t i = 0; i < items.size(); ++i) std::printf("COMBO %d %s\n", static_cast<int>(i), items[i].c_str());
    std::printf("SELECTED %d\n", form.ComboItemIndex());
    std::fflush(stdout);
    PostQuitMessage(0);
  }

 private:
  platform::PrintingBoxes boxes_;
  platform::PrintingRestart restart_;
};

}  // namespace

std::unique_ptr<Desktop> MakeDesktop() { return std::make_unique<ScriptedDesktop>(); }

}  // namespace app
