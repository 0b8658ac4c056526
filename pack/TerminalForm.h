// The main form's view and message boxes on a terminal, for flashing from the
// command line with the window's own code: the status line is printed as a
// line, the progress bar drawn on a terminal (a line per step otherwise), the
// error boxes go to standard error and the others to standard output, and
// Yes/No questions are asked as y/N or answered by the command line. Ctrl-C
// and the other signals that end a program ask the flash to stop; they are
// taken only until the first write to the drive, and held off after it.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "platform/FormView.h"
#include "platform/Services.h"
#include "platform/StopGuard.h"

namespace pack {

// How the questions of a flash are answered.
struct Answers {
  bool yes = false;             // --yes: every question is answered Yes
  bool allowDowngrade = false;  // --allow-downgrade: also where the drive's firmware is newer
  bool reflash = false;         // --reflash: also where the drive has the image's version already
  bool interactive = false;     // standard input is a terminal: questions are asked there
  bool check = false;           // --check: nothing is flashed; the revision question is judged as --yes would
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
  // The drive's firmware revision and the image's version (as the revision
  // question compares them), so that a drive that has the image's version
  // already is told apart from one with a newer one.
  void ExpectRevisions(const std::string& drive, const std::string& image);
  bool RevisionAnsweredYes() const { return revisionYes_; }
  bool RefusedDowngrade() const { return refusedDowngrade_; }
  // With --yes (or --check): the drive has the image's version, and no
  // --reflash asked to flash it again; the question was answered No.
  bool UpToDate() const { return upToDate_; }
  // With --check: --yes would have answered the revision question Yes.
  bool WouldFlash() const { return wouldFlash_; }
  const std::string& LastError() const { return lastError_; }
  // While held, error boxes are kept instead of printed: the start-up's
  // report that no drive fits stands only where no drive is up to date.
  void HoldErrors() { holding_ = true; }
  // Prints the errors kept (`print`), or drops them; and stops holding.
  void ReleaseErrors(bool print);
  // The command line answers the questions (--yes, --check).
  bool Answered() const { return answers_.yes || answers_.check; }

 private:
  bool Ask();
  // The revision question's answer from the command line (--yes, --check).
  bool AnswerRevision(platform::BoxKind kind, const std::string& text);

  std::ostream& out_;
  std::ostream& err_;
  TerminalView& view_;
  Answers answers_;
  Question next_ = Question::StartUp;
  bool revisionYes_ = false;
  bool refusedDowngrade_ = false;
  bool upToDate_ = false;
  bool wouldFlash_ = false;
  std::string driveRevision_, imageVersion_;
  std::string lastError_;
  bool holding_ = false;
  std::string held_;
};

// The requests to stop a flash on a terminal, from the guard's construction
// to its destruction: Ctrl-C, SIGTERM, SIGHUP (the terminal went away) and
// SIGQUIT. Before the first write to the drive each asks the flash to stop;
// from then on it is held off with a line on standard error that says why,
// and the flash goes on to its end. Ctrl-Z stops the program as ever before
// the first write, and is refused like Ctrl-C after it. (The signals are
// taken by a thread of their own, so that none interrupts a drive command.)
class StopGuardOnTerminal final : public platform::StopRequests {
 public:
  StopGuardOnTerminal();
  ~StopGuardOnTerminal() override;
  StopGuardOnTerminal(const StopGuardOnTerminal&) = delete;
  StopGuardOnTerminal& operator=(const StopGuardOnTerminal&) = delete;

  bool Requested() const override { return guard_.Requested(); }
  std::string Cause() const override { return guard_.Cause(); }
  bool BeginWriting(platform::Transcript* transcript) override { return guard_.BeginWriting(transcript); }
  std::string EndWriting() override { return guard_.EndWriting(); }

  // The signal that stopped the flash before it wrote (0: none); the exit
  // status is then 128 + its number.
  int StopSignal() const;
  // The request held off during the flash, honoured by ending once it is over.
  std::string Pending() const { return guard_.Pending(); }

 private:
  void OnSignal(int signal);

  platform::StopGuard guard_;
};

// A box's text as a terminal shows it: without the line breaks around it,
// which are its margins in the window.
std::string TrimmedBoxText(const std::string& text);

// The line printed at a Ctrl-C or Ctrl-Z once the drive is being written.
extern const char* const kInterruptRefusedText;
// The line printed at another signal once the drive is being written ("SIGTERM").
std::string HeldSignalText(const std::string& signal);

}  // namespace pack
