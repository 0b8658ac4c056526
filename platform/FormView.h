// The main window as the workflow sees it: the caption and the label, the
// drive (or model) box, the file list, the status line, the progress bar and
// the button, the quit request, and what the window's application object
// knows of the running program. The Qt window implements it (app/TFlashForm),
// and so does the tests' in-memory form.
#pragma once

#include <string>

namespace platform {

// The status line and the progress bar: what long work reports its progress on.
class ProgressView {
 public:
  virtual ~ProgressView() = default;

  // Status line: the caption of GroupBox2, repainted at once.
  virtual void SetStatus(const std::string& text) = 0;
  virtual std::string GetStatus() const = 0;

  // ProgressBar. The position stays within the range.
  virtual void ProgressSetRange(int minimum, int maximum) = 0;
  virtual void ProgressSetPosition(int position) = 0;
  virtual void ProgressSetStep(int step) = 0;
  virtual void ProgressStepBy(int delta) = 0;
};

class FormView : public ProgressView {
 public:
  // Window caption and SelectDriveLabel.
  virtual void SetCaption(const std::string& text) = 0;
  virtual void SetSelectDriveLabel(const std::string& text) = 0;

  // ComboBox.
  virtual void ComboAdd(const std::string& text) = 0;
  virtual void ComboInsert(int index, const std::string& text) = 0;
  virtual void ComboDelete(int index) = 0;
  virtual int ComboCount() const = 0;
  virtual int ComboItemIndex() const = 0;         // -1 when no entry is selected
  virtual void ComboSetItemIndex(int index) = 0;  // -1 clears the selection
  virtual void ComboUpdate() = 0;                 // repaint now

  // FileListBox1.
  virtual void FileListSetVisible(bool visible) = 0;
  virtual void FileListSetDirectory(const std::string& directory) = 0;
  // Sets the mask and re-reads the directory; the selection is cleared.
  virtual void FileListSetMask(const std::string& mask) = 0;
  virtual std::string FileListSelectedName() const = 0;  // empty when nothing is selected
  virtual std::string FileListSelectedPath() const = 0;  // full path, empty when none

  // FlashButton.
  virtual void SetFlashButtonCaption(const std::string& text) = 0;
  virtual void SetFlashButtonEnabled(bool enabled) = 0;

  // Quit request: posts a quit with exit code 0 to the message loop;
  // with closeForm the form is asked to close as well.
  virtual void RequestQuit(bool closeForm) = 0;

  // The running program's file and the process's working directory.
  virtual std::string ProgramFilePath() const = 0;
  virtual std::string CurrentDirectory() const = 0;
};

}  // namespace platform
