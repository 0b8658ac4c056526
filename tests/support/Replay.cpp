#include "tests/support/Replay.h"

#include <algorithm>

#include "drive/CDDrive.h"
#include "flash/FlashRun.h"
#include "platform/Transcript.h"
#include "platform/sim/ReplayTransport.h"
#include "tests/support/TestDoubles.h"
#include "tests/support/TestForm.h"

namespace testing_support {

namespace {

const char* const kDoesNotFit = "the recorded drive does not fit the package";

}  // namespace

::testing::AssertionResult Replays(const std::vector<uint8_t>& package, const std::string& transcript) {
  const platform::TranscriptReadResult read = platform::ReadTranscript(transcript);
  if (!read.transcript) return ::testing::AssertionFailure() << "the transcript is refused: " << read.error;
  const platform::ParsedTranscript& recorded = *read.transcript;

  std::vector<std::string> replayed;
  {
    ServicesScope services;
    platform::sim::ReplayTransport transport(recorded);
    platform::sim::ReplayBoxes boxes(recorded);
    platform::sim::ReplayClock clock;
    platform::sim::ReplayStops stops(transport);
    platform::Services& installed = platform::GetServices();
    installed.boxes = &boxes;
    installed.clock = &clock;
    installed.stop = &stops;
    CDDrive::SetTransport(&transport);
    // A recording made through the command library replays through it.
    platform::sim::ReplayLibraryPath library(transport);
    if (transport.ThroughLibrary()) CDDrive::SetCommandLibrary(&library);
    {
      TestForm form(package.data());
      form.FormCreate();
      if (form.CurrentDrive == nullptr) {
        CDDrive::SetTransport(nullptr);
        CDDrive::SetCommandLibrary(nullptr);
        return ::testing::AssertionFailure() << kDoesNotFit;
      }
      transport.BeginFlash();
      boxes.BeginFlash();
      CDDrive::ReportErrors = transport.ErrorsShown();
      form.Dispatch(&FlashFormCore::FlashButtonClick);
    }
    CDDrive::SetTransport(nullptr);
    CDDrive::SetCommandLibrary(nullptr);
    replayed = services.transcripts.Texts();
  }
  if (replayed.size() != 1) return ::testing::AssertionFailure() << replayed.size() << " transcripts from one replay";
  const platform::TranscriptReadResult again = platform::ReadTranscript(replayed[0]);
  if (!again.transcript) return ::testing::AssertionFailure() << "the replay's transcript is refused: " << again.error;
  const std::optional<platform::sim::ReplayDifference> difference =
      platform::sim::CompareReplay(recorded, *again.transcript, flash::SimulatedRestartText());
  if (!difference) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the replay parts from the recording at line " << difference->line
                                       << ":\n  recorded: " << platform::sim::ShortRecord(difference->recorded, 200)
                                       << "\n  replayed: " << platform::sim::ShortRecord(difference->replayed, 200);
}

::testing::AssertionResult AllReplay(const std::vector<uint8_t>& package, const std::vector<std::string>& transcripts) {
  for (size_t i = 0; i < transcripts.size(); ++i) {
    ::testing::AssertionResult result = Replays(package, transcripts[i]);
    // A drive flashed again within one test may have left the package's
    // range with its new revision: the start-up of a replay does not list it.
    if (!result && i > 0 && std::string(result.message()) == kDoesNotFit) continue;
    if (!result) return ::testing::AssertionFailure() << "transcript " << i + 1 << ": " << result.message();
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult MatchLog(const std::vector<std::string>& log, const std::vector<std::string>& transcripts) {
  const auto shown = [](const std::string& line) {
    return line.rfind("> ", 0) == 0 || line.rfind("box ", 0) == 0 || line.rfind("status ", 0) == 0 ||
           line.rfind("combo insert ", 0) == 0;
  };
  std::vector<std::string> seen;
  for (const std::string& line : log) {
    if (shown(line)) seen.push_back(line);
  }
  size_t at = 0;
  for (size_t t = 0; t < transcripts.size(); ++t) {
    const platform::TranscriptReadResult read = platform::ReadTranscript(transcripts[t]);
    if (!read.transcript) return ::testing::AssertionFailure() << "transcript " << t << ": " << read.error;
    std::vector<std::string> recorded;
    for (const platform::TranscriptRecord& record : read.transcript->records) {
      if (shown(record.text)) recorded.push_back(record.text);
    }
    if (recorded.empty()) continue;
    const auto found = std::search(seen.begin() + static_cast<long>(at), seen.end(), recorded.begin(), recorded.end());
    if (found == seen.end()) {
      ::testing::AssertionResult failure = ::testing::AssertionFailure();
      failure << "transcript " << t << " is not what the run log saw during its flash; it holds:";
      for (const std::string& line : recorded) failure << "\n  " << line.substr(0, 120);
      return failure;
    }
    at = static_cast<size_t>(found - seen.begin()) + recorded.size();
  }
  return ::testing::AssertionSuccess();
}

}  // namespace testing_support
