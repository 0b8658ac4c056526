// What flashing several drives with one command shows: each drive's lines
// prefixed with its node, written whole however many drives write at once,
// and on a terminal one progress line per drive, kept below the other lines
// and redrawn in place; elsewhere each drive's progress is a line of its own.
#pragma once

#include <iosfwd>
#include <mutex>
#include <streambuf>
#include <string>
#include <vector>

namespace pack {

class ProgressBoard {
 public:
  // `terminal`: `out` is a terminal, on which the progress lines are drawn.
  ProgressBoard(std::ostream& out, bool terminal);
  ~ProgressBoard();
  ProgressBoard(const ProgressBoard&) = delete;
  ProgressBoard& operator=(const ProgressBoard&) = delete;

  // A drive's progress line from now on, named `name`; its slot.
  size_t AddDrive(const std::string& name);
  // A whole line, above the progress lines.
  void Line(const std::string& text);
  // The drive's progress in percent, -1 once it is over (its line goes).
  void Progress(size_t slot, int percent);
  // A question's prompt, left open for the answer typed after it: the
  // progress lines are drawn again below the next whole line.
  void Prompt(const std::string& text);

 private:
  void Erase();
  void Draw();

  std::mutex mutex_;
  std::ostream& out_;
  bool terminal_;
  std::vector<std::string> names_;
  std::vector<int> percent_;
  size_t drawn_ = 0;  // progress lines on the screen below the last line
  bool prompting_ = false;  // a prompt waits for its answer on the last line
};

// The lines a drive's form prints, each prefixed with the drive's node and
// handed on whole: a progress line ("progress 40%") to the board's
// progress, the others as lines (to `errors` instead, for standard error).
class DriveLines final : public std::streambuf {
 public:
  DriveLines(ProgressBoard& board, size_t slot, std::string prefix);
  // Lines for standard error: written whole, prefixed, under `lock`.
  DriveLines(std::ostream& errors, std::mutex& lock, std::string prefix);
  ~DriveLines() override;

 protected:
  int_type overflow(int_type c) override;
  // A prompt without its line end ("[y/N] ") is shown as it is flushed.
  int sync() override;

 private:
  void Hand(const std::string& line);

  ProgressBoard* board_ = nullptr;
  size_t slot_ = 0;
  std::ostream* errors_ = nullptr;
  std::mutex* lock_ = nullptr;
  std::string prefix_;
  std::string line_;
};

}  // namespace pack
