// The main form's view and message boxes on a terminal, for flashing from the
// command line with the window's own code: the status line is printed as a
// line, the progress bar drawn on a terminal (a line per step otherwise), the
// error boxes go to standard error and the others to standard output, and
// Yes/No questions are asked as y/N or answered by the command line. Ctrl-C
// asks the flash to stop; it is taken only until the first write to the drive.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "platform/FormView.h"
#include "platform/Services.h"

namespace pack {

// How the questions of a flash are answered.
struct Answers {
  bool yes = false;             // --yes: every question is answered Yes
  bool allowDowngrade = false;  // --allow-downgrade: also where the drive's firmware is as new or newer
  bool interactive = false;     // standard input is a terminal: questions are asked there
};

class TerminalView final : public platform::FormView {
 public:
  // `bar`: standard output is a terminal, the progress is drawn as a bar.
  TerminalView(std::ostream& out, bool bar, std::string programPath);

  void SetStatus(const std::string& text) override;
  std::string GetStatus() const override { return status_; }
  void ProgressSetRange(int minimum, int maximum) override;
  void ProgressSetPosition(int position) override;
  void ProgressSetStep(int) override {}
  void ProgressStepBy(int delta) override { ProgressSetPosition(position_ + delta); }

  void SetCaption(const std::string&) override {}
  void SetSelectDriveLabel(const std::string&) override {}
  void ComboAdd(const std::string& text) override { items_.push_back(text); }
  void ComboInsert(int index, const std::string& text) override;
  void ComboDelete(int index) override;
  int ComboCount() const override { return static_cast<int>(items_.size()); }
  int ComboItemIndex() const override { return index_; }
  void ComboSetItemIndex(int index) override { index_ = index >= 0 && index < ComboCount() ? index : -1; }
  void ComboUpdate() override {}
  void FileListSetVisible(bool) override {}
  void FileListSetDirectory(const std::string&) override {}
  void FileListSetMask(const std::string&) override {}
  std::string FileListSelectedName() const override { return {}; }
  std::string FileListSelectedPath() const override { return {}; }
  void SetFlashButtonCaption(const std::string&) override {}
  void SetFlashButtonEnabled(bool) override {}
  void RequestQuit(bool) override { quit_ = true; }
  std::string ProgramFilePath() const override { return program_; }
  std::string CurrentDirectory() const override { return {}; }

  const std::vector<std::string>& Items() const { return items_; }
  bool QuitRequested() const { return quit_; }
  // Ends a bar that is drawn, so that the next text starts on a line of its own.
  void EndBar();

 private:
  std::ostream& out_;
  bool bar_;
  std::string program_;
  std::string status_;
  int minimum_ = 0, maximum_ = 100, position_ = 0;
  int shownPercent_ = -1;
  bool barDrawn_ = false;
  std::vector<std::string> items_;
  int index_ = -1;
  bool quit_ = false;
};

class TerminalBoxes final : public platform::MessageBoxes {
 public:
  // Which question comes next: the start-up warning, the revision question
  // of the flash, and after the flash the restart offer.
  enum class Question { StartUp, Revision, Restart };

  TerminalBoxes(std::ostream& out, std::ostream& err, TerminalView& view, const Answers& answers);
  platform::BoxAnswer Show(platform::BoxKind kind, const std::string& caption, const std::string& text,
                           platform::BoxButtons buttons) override;

  void Expect(Question question) { next_ = question; }
  bool RevisionAnsweredYes() const { return revisionYes_; }
  bool RefusedDowngrade() const { return refusedDowngrade_; }
  // The restart offer came, answered No: the caller ends with the closing line.
  bool RestartOffered() const { return restartOffered_; }
  const std::string& LastError() const { return lastError_; }

 private:
  bool Ask();

  std::ostream& out_;
  std::ostream& err_;
  TerminalView& view_;
  Answers answers_;
  Question next_ = Question::StartUp;
  bool revisionYes_ = false;
  bool refusedDowngrade_ = false;
  bool restartOffered_ = false;
  std::string lastError_;
};

// Ctrl-C while a flash runs, from its construction to its destruction:
// before the first write it asks the flash to stop; from then on it is
// refused with a line on standard error that says why. (SIGINT is taken by a
// thread of its own, so that it never interrupts a drive command.)
class InterruptGuard final : public platform::StopRequests {
 public:
  InterruptGuard();
  ~InterruptGuard() override;
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  bool Requested() const override;
  bool BeginWriting() override;
};

// A box's text as a terminal shows it: without the line breaks around it,
// which are its margins in the window.
std::string TrimmedBoxText(const std::string& text);

// The line printed at a Ctrl-C once the drive is being written.
extern const char* const kInterruptRefusedText;

}  // namespace pack
