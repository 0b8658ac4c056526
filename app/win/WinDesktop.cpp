// The desktop binding of the Windows programs: the system's message boxes,
// owned by the main window once it is shown, and the restart through
// ExitWindowsEx.
#include "app/Desktop.h"
#include "app/win/TFlashForm.h"
#include "platform/win/WinServices.h"

namespace app {

namespace {

class WinDesktop final : public Desktop {
 public:
  platform::MessageBoxes& Boxes() override { return boxes_; }
  platform::SystemRestart& Restart() override { return restart_; }
  void WindowShown(TFlashForm& form) override { boxes_.SetOwner(form.Handle()); }

 private:
  platform::win::WinMessageBoxes boxes_;
  platform::win::WinRestart restart_;
};

}  // namespace

std::unique_ptr<Desktop> MakeDesktop() { return std::make_unique<WinDesktop>(); }

}  // namespace app
