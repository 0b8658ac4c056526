// The start-up workflow (FormCreate): the mode decision, and in flash mode
// the warning, drive detection, the identity checks and the drive box.
#pragma once

#include <string>

class FlashFormCore;

namespace platform {
class FormView;
}

namespace app {

class StartUp {
 public:
  explicit StartUp(FlashFormCore& form);
  void Run();

 private:
  void ResetFlagsAndBuffers();
  void TakePackageTexts();
  bool Warn();
  bool DetectDrives(std::string& report);
  bool ListFittingDrives(std::string& report);
  void SelectFirstDrive();
  void Refuse(const std::string& report);

  FlashFormCore& form_;
  platform::FormView& view_;
};

}  // namespace app
