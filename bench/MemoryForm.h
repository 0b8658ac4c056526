// A main form without a window, for the benchmarks that measure the workflow
// itself: the view state is kept in plain members and costs next to nothing,
// so what is measured is the work behind the handlers.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "app/FlashFormCore.h"
#include "platform/FileMask.h"

namespace bench {

class MemoryForm : public FlashFormCore {
 public:
  explicit MemoryForm(const uint8_t* package) : FlashFormCore(package) {}

  std::string programFile;
  std::string currentDirectory;
  std::string status;
  std::vector<std::string> comboItems;
  int comboIndex = -1;
  std::string fileDirectory;
  std::vector<std::string> files;
  int selectedFile = -1;
  int progressMin = 0, progressMax = 100, progressPosition = 0;
  bool buttonEnabled = true;
  int quitRequests = 0;

  // Selects the listed file `name` and runs the click handler.
  bool ClickFile(const std::string& name) {
    auto it = std::find(files.begin(), files.end(), name);
    if (it == files.end()) return false;
    selectedFile = static_cast<int>(it - files.begin());
    FileListBox1Click();
    return true;
  }

  void SetCaption(const std::string&) override {}
  std::string GetCaption() const override { return {}; }
  void SetSelectDriveLabel(const std::string&) override {}
  void ComboClear() override { comboItems.clear(); comboIndex = -1; }
  void ComboAdd(const std::string& text) override { comboItems.push_back(text); }
  void ComboInsert(int index, const std::string& text) override {
    comboItems.insert(comboItems.begin() + std::clamp(index, 0, ComboCount()), text);
  }
  void ComboDelete(int index) override {
    if (index >= 0 && index < ComboCount()) comboItems.erase(comboItems.begin() + index);
  }
  int ComboCount() const override { return static_cast<int>(comboItems.size()); }
  std::string ComboItem(int index) const override {
    return index >= 0 && index < ComboCount() ? comboItems[static_cast<size_t>(index)] : std::string();
  }
  int ComboItemIndex() const override { return comboIndex; }
  void ComboSetItemIndex(int index) override { comboIndex = index < ComboCount() ? index : -1; }
  void ComboUpdate() override {}
  void FileListSetVisible(bool) override {}
  void FileListSetDirectory(const std::string& directory) override { fileDirectory = directory; }
  void FileListSetMask(const std::string& mask) override {
    files = platform::ListFiles(fileDirectory, mask);
    selectedFile = -1;
  }
  std::string FileListSelectedName() const override {
    return selectedFile >= 0 ? files[static_cast<size_t>(selectedFile)] : std::string();
  }
  std::string FileListSelectedPath() const override {
    const std::string name = FileListSelectedName();
    return name.empty() ? name : fileDirectory + "/" + name;
  }
  void SetStatus(const std::string& text) override { status = text; }
  std::string GetStatus() const override { return status; }
  void ProgressSetRange(int minimum, int maximum) override {
    progressMin = minimum;
    progressMax = maximum;
  }
  void ProgressSetPosition(int position) override {
    progressPosition = std::clamp(position, progressMin, std::max(progressMin, progressMax));
  }
  void ProgressSetStep(int) override {}
  void ProgressStepBy(int delta) override { ProgressSetPosition(progressPosition + delta); }
  int ProgressPosition() const override { return progressPosition; }
  int ProgressMaximum() const override { return progressMax; }
  void SetFlashButtonCaption(const std::string&) override {}
  void SetFlashButtonEnabled(bool enabled) override { buttonEnabled = enabled; }
  bool FlashButtonEnabled() const override { return buttonEnabled; }
  void RequestQuit(bool) override { ++quitRequests; }
  std::string ProgramFilePath() const override { return programFile; }
  std::string CurrentDirectory() const override { return currentDirectory; }
};

}  // namespace bench
