// A main form without a window: the view state is kept in plain members so
// that tests, benchmarks and fuzz targets can drive every handler and look at
// what the user would see. It needs neither a window toolkit nor a test framework.
#pragma once

#include <string>
#include <vector>

#include "app/FlashFormCore.h"
#include "platform/FormView.h"
#include "tests/support/RunLog.h"

namespace testing_support {

class TestForm : public platform::FormView, public FlashFormCore {
 public:
  explicit TestForm(const uint8_t* package) : FlashFormCore(package, *this) {}

  // What the window shows.
  std::string caption;
  std::string label;
  std::vector<std::string> comboItems;
  int comboIndex = -1;
  int comboUpdates = 0;
  bool fileListVisible = true;
  std::string fileListDirectory;
  std::string fileListMask;
  std::vector<std::string> fileListFiles;  // as listed after the last mask change
  int fileListSelected = -1;
  std::string status;
  int progressMin = 0, progressMax = 100, progressPosition = 0, progressStep = 10;
  std::string buttonCaption = "FLASH";
  bool buttonEnabled = true;
  int quitRequests = 0;
  bool closeRequested = false;
  std::string programFile;       // empty: the real one
  std::string currentDirectory;  // empty: the real one
  // When not empty, the file list matches its mask against these names
  // instead of reading the directory (no disk access at all).
  std::vector<std::string> fixedFileNames;
  // When set, every change of the status line, the progress bar and the
  // drive box entries goes into this log.
  RunLog* log = nullptr;

  // Simulates a click on file `name` of the list (it must be listed).
  bool ClickFile(const std::string& name);
  // Simulates the user typing text into the box: no entry is selected.
  void TypeComboText();

  bool FlashButtonEnabled() const { return buttonEnabled; }

  // platform::FormView.
  void SetCaption(const std::string& text) override { caption = text; }
  void SetSelectDriveLabel(const std::string& text) override { label = text; }
  void ComboAdd(const std::string& text) override { comboItems.push_back(text); }
  void ComboInsert(int index, const std::string& text) override;
  void ComboDelete(int index) override;
  int ComboCount() const override { return static_cast<int>(comboItems.size()); }
  int ComboItemIndex() const override { return comboIndex; }
  void ComboSetItemIndex(int index) override;
  void ComboUpdate() override {
    ++comboUpdates;
    Log(kComboRepaintLine);
  }
  void FileListSetVisible(bool visible) override { fileListVisible = visible; }
  void FileListSetDirectory(const std::string& directory) override;
  void FileListSetMask(const std::string& mask) override;
  std::string FileListSelectedName() const override;
  std::string FileListSelectedPath() const override;
  void SetStatus(const std::string& text) override {
    status = text;
    Log(StatusLine(text));
  }
  std::string GetStatus() const override { return status; }
  void ProgressSetRange(int minimum, int maximum) override;
  void ProgressSetPosition(int position) override;
  void ProgressSetStep(int step) override {
    progressStep = step;
    Log(ProgressStepLine(step));
  }
  void ProgressStepBy(int delta) override { ProgressSetPosition(progressPosition + delta); }
  void SetFlashButtonCaption(const std::string& text) override { buttonCaption = text; }
  void SetFlashButtonEnabled(bool enabled) override { buttonEnabled = enabled; }
  void RequestQuit(bool closeForm) override { ++quitRequests; closeRequested = closeRequested || closeForm; }
  std::string ProgramFilePath() const override;
  std::string CurrentDirectory() const override;

 private:
  void Refill();
  void Log(const std::string& line) {
    if (log != nullptr) log->push_back(line);
  }
};

}  // namespace testing_support
