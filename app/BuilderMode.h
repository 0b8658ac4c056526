// The builder's side of the form: the model catalogue in the model box, the
// BIN file list, and the build of a new flash program.
#pragma once

#include <string>

class FlashFormCore;

namespace platform {
class FormView;
}

namespace app {

class BuilderMode {
 public:
  explicit BuilderMode(FlashFormCore& form);

  // The builder-mode part of FormCreate.
  void SetUp();
  // Loads the catalogue beside the program into the six lists and the model
  // box; a missing or broken catalogue is reported and ends the program.
  bool RetriveINI();
  // The builder-mode part of ComboBoxChange: the model's file mask and caption.
  void ModelChange();
  // FileListBox1Click: the chosen BIN file.
  void FileClick();
  // NewBuildFlashProgram: the chosen model and BIN file into a new program.
  void Build();

 private:
  bool Quit(const std::string& message);

  FlashFormCore& form_;
  platform::FormView& view_;
};

}  // namespace app
