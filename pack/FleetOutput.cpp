#include "pack/FleetOutput.h"

#include <algorithm>
#include <ostream>

namespace pack {

namespace {

constexpr int kBarWidth = 30;

// "progress 40%", as the terminal view prints a step without a bar.
bool ProgressPercent(const std::string& line, int& percent) {
  const std::string head = "progress ";
  if (line.rfind(head, 0) != 0 || line.size() < head.size() + 2 || line.back() != '%') return false;
  const std::string digits = line.substr(head.size(), line.size() - head.size() - 1);
  if (digits.empty() || digits.size() > 3 || !std::all_of(digits.begin(), digits.end(), ::isdigit)) return false;
  percent = std::stoi(digits);
  return true;
}

}  // namespace

ProgressBoard::ProgressBoard(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}

ProgressBoard::~ProgressBoard() {
  const std::lock_guard<std::mutex> lock(mutex_);
  Erase();
  out_ << std::flush;
}

size_t ProgressBoard::AddDrive(const std::string& name) {
  const std::lock_guard<std::mutex> lock(mutex_);
  names_.push_back(name);
  percent_.push_back(-1);
  return names_.size() - 1;
}

void ProgressBoard::Line(const std::string& text) {
  const std::lock_guard<std::mutex> lock(mutex_);
  Erase();
  out_ << text << '\n';
  prompting_ = false;
  Draw();
  out_ << std::flush;
}

void ProgressBoard::Prompt(const std::string& text) {
  const std::lock_guard<std::mutex> lock(mutex_);
  Erase();
  out_ << text << std::flush;
  prompting_ = true;
}

void ProgressBoard::Progress(size_t slot, int percent) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (slot >= percent_.size() || percent_[slot] == percent) return;
  percent_[slot] = percent;
  if (prompting_) return;
  if (!terminal_) {
    if (percent >= 0) out_ << names_[slot] << ": progress " << percent << "%\n" << std::flush;
    return;
  }
  Erase();
  Draw();
  out_ << std::flush;
}

// Up to the first progress line, and everything below it cleared.
void ProgressBoard::Erase() {
  if (!terminal_ || drawn_ == 0) return;
  out_ << "\x1b[" << drawn_ << "A\r\x1b[J";
  drawn_ = 0;
}

void ProgressBoard::Draw() {
  if (!terminal_) return;
  for (size_t slot = 0; slot < names_.size(); ++slot) {
    const int percent = percent_[slot];
    if (percent < 0) continue;
    const int filled = percent * kBarWidth / 100;
    out_ << names_[slot] << " [" << std::string(static_cast<size_t>(filled), '#')
         << std::string(static_cast<size_t>(kBarWidth - filled), '.') << "] " << percent << "%\n";
    ++drawn_;
  }
}

DriveLines::DriveLines(ProgressBoard& board, size_t slot, std::string prefix)
    : board_(&board), slot_(slot), prefix_(std::move(prefix)) {}

DriveLines::DriveLines(std::ostream& errors, std::mutex& lock, std::string prefix)
    : errors_(&errors), lock_(&lock), prefix_(std::move(prefix)) {}

DriveLines::~DriveLines() {
  if (!line_.empty()) Hand(line_);
  if (board_ != nullptr) board_->Progress(slot_, -1);
}

int DriveLines::sync() {
  if (line_.empty()) return 0;
  if (board_ != nullptr) {
    board_->Prompt(prefix_ + line_);
  } else {
    const std::lock_guard<std::mutex> lock(*lock_);
    *errors_ << prefix_ << line_ << std::flush;
  }
  line_.clear();
  return 0;
}

DriveLines::int_type DriveLines::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char character = traits_type::to_char_type(c);
  if (character == '\n') {
    Hand(line_);
    line_.clear();
  } else if (character != '\r') {
    line_ += character;
  }
  return c;
}

void DriveLines::Hand(const std::string& line) {
  int percent = 0;
  if (board_ != nullptr && ProgressPercent(line, percent)) {
    board_->Progress(slot_, percent);
  } else if (board_ != nullptr) {
    board_->Line(prefix_ + line);
  } else {
    const std::lock_guard<std::mutex> lock(*lock_);
    *errors_ << prefix_ << line << '\n' << std::flush;
  }
}

}  // namespace pack
