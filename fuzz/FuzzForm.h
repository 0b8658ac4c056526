// A main form without a window for the fuzz targets. The file list matches
// the mask against a fixed set of names instead of reading a directory, so
// that every run is fast and does not depend on the disk.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/FlashFormCore.h"
#include "platform/FileMask.h"

namespace fuzzing {

// Stops the run with a message: a broken invariant is a finding like a crash.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}
inline void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

class FuzzForm : public FlashFormCore {
 public:
  explicit FuzzForm(const uint8_t* package) : FlashFormCore(package) {}

  std::string programFile = "/nonexistent/flashutil";
  std::string currentDirectory = "/nonexistent";
  std::string status;
  std::vector<std::string> comboItems;
  int comboIndex = -1;
  std::vector<std::string> candidates = {"Q150.BIN", "q150.bin", "K300.BIN", "S150.BIN", "ABCD1234.BIN",
                                         "A.B", "README", ".BIN", "x;y.bin", "*"};
  std::vector<std::string> files;
  int selectedFile = -1;
  int progressMin = 0, progressMax = 100, progressPosition = 0;
  bool buttonEnabled = true;
  int quitRequests = 0;

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
  void FileListSetDirectory(const std::string&) override {}
  void FileListSetMask(const std::string& mask) override {
    files.clear();
    for (const std::string& name : candidates) {
      if (platform::MatchMask(mask, name)) files.push_back(name);
    }
    selectedFile = -1;
  }
  std::string FileListSelectedName() const override {
    return selectedFile >= 0 ? files[static_cast<size_t>(selectedFile)] : std::string();
  }
  std::string FileListSelectedPath() const override {
    const std::string name = FileListSelectedName();
    return name.empty() ? name : currentDirectory + "/" + name;
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

}  // namespace fuzzing
