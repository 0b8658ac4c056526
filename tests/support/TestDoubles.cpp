#include "tests/support/TestDoubles.h"

#include "drive/CDDrive.h"

namespace testing_support {

platform::BoxAnswer ScriptedBoxes::Show(platform::BoxKind kind, const std::string& caption,
                                        const std::string& text, platform::BoxButtons buttons) {
  shown.push_back({kind, caption, text, buttons});
  if (log != nullptr) log->push_back(BoxLine(kind, caption, text, buttons));
  if (buttons == platform::BoxButtons::Ok) return platform::BoxAnswer::Ok;
  if (script_.empty()) return platform::BoxAnswer::No;
  platform::BoxAnswer answer = script_.front();
  script_.pop_front();
  return answer;
}

std::vector<std::string> ScriptedBoxes::Texts() const {
  std::vector<std::string> texts;
  for (const ShownBox& box : shown) texts.push_back(box.text);
  return texts;
}

bool FakeInhibitor::Acquire(const std::string& who_, const std::string& why_) {
  if (!available) return false;
  held = true;
  ++acquired;
  if (log != nullptr) log->push_back(kInhibitLine);
  who = who_;
  why = why_;
  return true;
}

void FakeInhibitor::Release() {
  if (!held) return;
  held = false;
  ++released;
  if (log != nullptr) log->push_back(kInhibitReleaseLine);
}

::testing::AssertionResult SameLog(const RunLog& actual, const RunLog& expected) {
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  if (at == actual.size() && at == expected.size()) return ::testing::AssertionSuccess();
  auto result = ::testing::AssertionFailure();
  result << "the logs part at line " << at << " (" << actual.size() << " lines, " << expected.size()
         << " expected)\n";
  const size_t from = at < 3 ? 0 : at - 3;
  for (size_t i = from; i < at; ++i) result << "    " << actual[i] << "\n";
  for (size_t i = at; i < at + 4 && i < actual.size(); ++i) result << "  - " << actual[i] << "\n";
  for (size_t i = at; i < at + 4 && i < expected.size(); ++i) result << "  + " << expected[i] << "\n";
  return result << "(- what the run did, + what was expected)";
}

namespace {

class RecordingSink final : public platform::TranscriptSink {
 public:
  RecordingSink(std::unique_ptr<platform::TranscriptSink> inner, RunLog* log) : inner_(std::move(inner)), log_(log) {}
  bool WriteLine(const std::string& line) override { return inner_->WriteLine(line); }
  void Sync() override {
    if (log_ != nullptr) log_->push_back(kTranscriptSyncLine);
    inner_->Sync();
  }
  std::string Where() const override { return inner_->Where(); }

 private:
  std::unique_ptr<platform::TranscriptSink> inner_;
  RunLog* log_;
};

}  // namespace

std::unique_ptr<platform::TranscriptSink> RecordingTranscripts::Create(const std::string& name) {
  return std::make_unique<RecordingSink>(memory_.Create(name), log);
}

ServicesScope::ServicesScope() {
  CDDrive::ResetClassState();
  boxes.log = &log;
  clock.log = &log;
  cursor.log = &log;
  restart.log = &log;
  inhibitor.log = &log;
  transcripts.log = &log;
  platform::Services& services = platform::GetServices();
  services.boxes = &boxes;
  services.clock = &clock;
  services.cursor = &cursor;
  services.restart = &restart;
  services.inhibitor = &inhibitor;
  services.transcripts = &transcripts;
}

ServicesScope::~ServicesScope() {
  platform::GetServices() = platform::Services{};
  CDDrive::ResetClassState();
}

}  // namespace testing_support
