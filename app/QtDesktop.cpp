// The desktop binding of the programs: Qt message boxes and the restart
// through systemd-logind.
#include "app/Desktop.h"
#include "platform/qt/Logind.h"
#include "platform/qt/QtServices.h"

namespace app {

namespace {

class QtDesktop final : public Desktop {
 public:
  platform::MessageBoxes& Boxes() override { return boxes_; }
  platform::SystemRestart& Restart() override { return restart_; }
  void WindowShown(TFlashForm&) override {}

 private:
  platform::QtMessageBoxes boxes_;
  platform::LogindRestart restart_;
};

}  // namespace

std::unique_ptr<Desktop> MakeDesktop() { return std::make_unique<QtDesktop>(); }

}  // namespace app
