#include "pack/TerminalForm.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ostream>

#include "platform/StopSignals.h"

namespace pack {

const char* const kInterruptRefusedText =
    "flashutil-pack: the drive is being written: interrupting now could leave it without working firmware; "
    "the flash goes on\n";

namespace {

constexpr int kBarWidth = 40;

bool WarnsOfRevision(platform::BoxKind kind, const std::string& text) {
  return kind == platform::BoxKind::Warning || text.rfind("\nWARNING !!!", 0) == 0;
}

}  // namespace

std::string TrimmedBoxText(const std::string& text) {
  const size_t first = text.find_first_not_of('\n');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of('\n') - first + 1);
}

// --- TerminalView ---------------------------------------------------------------

TerminalView::TerminalView(std::ostream& out, bool bar, std::string programPath)
    : out_(out), bar_(bar), program_(std::move(programPath)) {}

void TerminalView::EndBar() {
  if (!barDrawn_) return;
  out_ << '\n' << std::flush;
  barDrawn_ = false;
}

void TerminalView::SetStatus(const std::string& text) {
  status_ = text;
  EndBar();
  out_ << text << '\n' << std::flush;
}

void TerminalView::ProgressSetRange(int minimum, int maximum) {
  minimum_ = minimum;
  maximum_ = std::max(minimum, maximum);
  position_ = std::clamp(position_, minimum_, maximum_);
  shownPercent_ = -1;
}

// The bar is redrawn, or a line printed, when the percentage changes; the
// return to the start at the end of a run is not shown.
void TerminalView::ProgressSetPosition(int position) {
  position_ = std::clamp(position, minimum_, maximum_);
  if (position_ == minimum_ || maximum_ == minimum_) return;
  const int percent = static_cast<int>(100LL * (position_ - minimum_) / (maximum_ - minimum_));
  if (percent == shownPercent_) return;
  shownPercent_ = percent;
  if (!bar_) {
    out_ << "progress " << percent << "%\n" << std::flush;
    return;
  }
  const int filled = percent * kBarWidth / 100;
  out_ << "\r[" << std::string(static_cast<size_t>(filled), '#')
       << std::string(static_cast<size_t>(kBarWidth - filled), '.') << "] " << percent << "%" << std::flush;
  barDrawn_ = true;
}

void TerminalView::ComboInsert(int index, const std::string& text) {
  if (index < 0 || index > ComboCount()) return;
  items_.insert(items_.begin() + index, text);
}

void TerminalView::ComboDelete(int index) {
  if (index < 0 || index >= ComboCount()) return;
  items_.erase(items_.begin() + index);
  if (index_ >= ComboCount()) index_ = -1;
}

// --- TerminalBoxes --------------------------------------------------------------

TerminalBoxes::TerminalBoxes(std::ostream& out, std::ostream& err, TerminalView& view, const Answers& answers)
    : out_(out), err_(err), view_(view), answers_(answers) {}

platform::BoxAnswer TerminalBoxes::Show(platform::BoxKind kind, const std::string&, const std::string& text,
                                        platform::BoxButtons buttons) {
  view_.EndBar();
  if (buttons == platform::BoxButtons::Ok) {
    if (kind == platform::BoxKind::Error) {
      lastError_ = TrimmedBoxText(text);
      if (holding_) {
        held_ += lastError_ + '\n';
      } else {
        err_ << lastError_ << '\n' << std::flush;
      }
    } else {
      out_ << TrimmedBoxText(text) << '\n' << std::flush;
    }
    return platform::BoxAnswer::Ok;
  }
  const Question question = next_;
  if (question == Question::Restart) {
    // The program never restarts the machine: the offer becomes a closing line.
    return platform::BoxAnswer::No;
  }
  // A check asks nothing: it says what the flash would do instead.
  if (!(answers_.check && question == Question::Revision)) out_ << TrimmedBoxText(text) << '\n' << std::flush;
  bool yes = false;
  if (question == Question::Revision && (answers_.yes || answers_.check)) {
    yes = AnswerRevision(kind, text);
  } else if (answers_.yes || answers_.check) {
    out_ << (answers_.check ? "yes (--check)\n" : "yes (--yes)\n") << std::flush;
    yes = true;
  } else if (answers_.interactive) {
    yes = Ask();
  }
  if (question == Question::Revision) {
    revisionYes_ = yes;
    next_ = Question::Restart;
  }
  return yes ? platform::BoxAnswer::Yes : platform::BoxAnswer::No;
}

void TerminalBoxes::ReleaseErrors(bool print) {
  if (print && !held_.empty()) err_ << held_ << std::flush;
  held_.clear();
  holding_ = false;
}

void TerminalBoxes::ExpectRevisions(const std::string& drive, const std::string& image) {
  driveRevision_ = drive;
  imageVersion_ = image;
}

bool TerminalBoxes::AnswerRevision(platform::BoxKind kind, const std::string& text) {
  const bool same = !imageVersion_.empty() && driveRevision_ == imageVersion_;
  if (same && !answers_.reflash) {
    // Nothing to do is no failure: a script or a service that runs the
    // flash again finds the drive done.
    upToDate_ = true;
    return false;
  }
  if (!same && WarnsOfRevision(kind, text) && !answers_.allowDowngrade) {
    err_ << "flashutil-pack: the drive's firmware is newer than this image: give --allow-downgrade as well to "
            "flash it\n"
         << std::flush;
    refusedDowngrade_ = true;
    return false;
  }
  if (answers_.check) {
    wouldFlash_ = true;
    return false;
  }
  out_ << "yes (--yes)\n" << std::flush;
  return true;
}

// y/N on the terminal: Yes only for "y" or "yes"; a Ctrl-C or the end of
// the input is No.
bool TerminalBoxes::Ask() {
  out_ << "[y/N] " << std::flush;
  std::string line;
  for (;;) {
    if (platform::StopRequested()) {
      out_ << '\n' << std::flush;
      return false;
    }
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&input, 1, 100);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    line += c;
  }
  std::transform(line.begin(), line.end(), line.begin(), [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
  return line == "y" || line == "yes";
}

// --- StopGuardOnTerminal ---------------------------------------------------------

namespace {

// The guard of the flash that runs now, for the thread that takes the signals.
std::atomic<StopGuardOnTerminal*> current{nullptr};
std::atomic<int> stopSignal{0};

void WriteToStandardError(const std::string& text) {
  const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
  (void)written;  // a terminal that went away takes nothing, and the flash goes on
}

}  // namespace

std::string HeldSignalText(const std::string& signal) {
  return "flashutil-pack: " + signal +
         ": the drive is being written: ending now could leave it without working firmware; the flash goes on, "
         "and the program ends after it\n";
}

StopGuardOnTerminal::StopGuardOnTerminal() {
  current = this;
  stopSignal = 0;
  platform::WatchStopSignals([](int signal) {
    StopGuardOnTerminal* guard = current.load();
    // Once the flash is over the program is ending: its outcome stands.
    if (guard != nullptr) guard->OnSignal(signal);
  });
}

StopGuardOnTerminal::~StopGuardOnTerminal() { current = nullptr; }

int StopGuardOnTerminal::StopSignal() const { return guard_.Requested() ? stopSignal.load() : 0; }

void StopGuardOnTerminal::OnSignal(int signal) {
  if (signal == SIGTSTP) {
    if (guard_.Suspend()) {
      platform::ActAsDefault(SIGTSTP);
      guard_.Resume();
    } else {
      WriteToStandardError(kInterruptRefusedText);
    }
    return;
  }
  const std::string name = platform::SignalName(signal);
  if (guard_.Request(name) == platform::StopGuard::Taken::Stop) {
    int none = 0;
    stopSignal.compare_exchange_strong(none, signal);
    return;
  }
  WriteToStandardError(signal == SIGINT ? std::string(kInterruptRefusedText) : HeldSignalText(name));
}

}  // namespace pack
