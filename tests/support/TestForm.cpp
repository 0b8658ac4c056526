#include "tests/support/TestForm.h"

#include <algorithm>
#include <filesystem>

#include "platform/FileMask.h"
#include "platform/Files.h"

namespace testing_support {

bool TestForm::ClickFile(const std::string& name) {
  auto it = std::find(fileListFiles.begin(), fileListFiles.end(), name);
  if (it == fileListFiles.end()) return false;
  fileListSelected = static_cast<int>(it - fileListFiles.begin());
  FileListBox1Click();
  return true;
}

void TestForm::TypeComboText() {
  comboIndex = -1;
  ComboBoxChange();
}

void TestForm::ComboInsert(int index, const std::string& text) {
  Log(ComboInsertLine(index, text));
  index = std::clamp(index, 0, ComboCount());
  comboItems.insert(comboItems.begin() + index, text);
}

void TestForm::ComboDelete(int index) {
  Log(ComboDeleteLine(index));
  if (index < 0 || index >= ComboCount()) return;
  comboItems.erase(comboItems.begin() + index);
  if (comboIndex >= ComboCount()) comboIndex = ComboCount() - 1;
}

void TestForm::ComboSetItemIndex(int index) {
  Log(ComboSelectLine(index));
  comboIndex = index >= 0 && index < ComboCount() ? index : -1;
}

void TestForm::FileListSetDirectory(const std::string& directory) {
  fileListDirectory = directory;
  Refill();
}

void TestForm::FileListSetMask(const std::string& mask) {
  fileListMask = mask;
  Refill();
}

void TestForm::Refill() {
  fileListFiles.clear();
  if (!fixedFileNames.empty()) {
    for (const std::string& name : fixedFileNames) {
      if (platform::MatchMask(fileListMask, name)) fileListFiles.push_back(name);
    }
  } else if (!fileListDirectory.empty()) {
    fileListFiles = platform::ListFiles(fileListDirectory, fileListMask);
  }
  fileListSelected = -1;
}

std::string TestForm::FileListSelectedName() const {
  return fileListSelected >= 0 ? fileListFiles[static_cast<size_t>(fileListSelected)] : std::string();
}

std::string TestForm::FileListSelectedPath() const {
  std::string name = FileListSelectedName();
  return name.empty() ? name : platform::PathJoin(fileListDirectory, name);
}

void TestForm::ProgressSetRange(int minimum, int maximum) {
  Log(ProgressRangeLine(minimum, maximum));
  progressMin = minimum;
  progressMax = maximum;
  progressPosition = std::clamp(progressPosition, minimum, std::max(minimum, maximum));
}

void TestForm::ProgressSetPosition(int position) {
  Log(ProgressLine(position));
  // Like a progress bar, the position stays within its range.
  progressPosition = std::clamp(position, progressMin, std::max(progressMin, progressMax));
}

std::string TestForm::ProgramFilePath() const {
  return programFile.empty() ? platform::RunningProgramPath() : programFile;
}

std::string TestForm::CurrentDirectory() const {
  return currentDirectory.empty() ? platform::WorkingDirectory() : currentDirectory;
}

}  // namespace testing_support
