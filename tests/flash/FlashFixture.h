// A form in flash mode over a crafted package and one simulated drive, with
// the platform services replaced by doubles that write one log of the run;
// and the log a whole run must leave, written out from the command tables
// and the order of the flash sequence.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drive/CDDrive.h"
#include "flash/ProfileTable.h"
#include "platform/sim/SimTransport.h"
#include "tests/support/CraftedPackage.h"
#include "tests/support/Replay.h"
#include "tests/support/TestDoubles.h"
#include "tests/support/TestForm.h"

namespace flash_tests {

using platform::sim::DriveConfig;
using platform::sim::Fault;
using platform::sim::LoggedCommand;
using platform::sim::SimDrive;
using platform::sim::SimTransport;

// The three kinds of image the flash procedure knows.
enum class ImageClass { NoProfile, ShortId, LongId };

inline const char* Name(ImageClass kind) {
  switch (kind) {
    case ImageClass::NoProfile: return "NoProfile";
    case ImageClass::ShortId: return "ShortId";
    case ImageClass::LongId: return "LongId";
  }
  return "?";
}

inline std::vector<uint8_t> CraftImage(ImageClass kind, testing_support::PackageTexts texts = {},
                                       uint32_t binLength = 524288) {
  std::vector<uint8_t> p = testing_support::CraftPackage(texts, binLength);
  if (kind == ImageClass::ShortId) testing_support::PutSignature(p, 0x1100);
  if (kind == ImageClass::LongId) testing_support::PutSignature(p, 0x4000, "DVD-ROM MVK-417");
  return p;
}

// A drive that fits the crafted package's default texts (revision Q120 in Q100-Q149).
inline DriveConfig FittingDrive(std::array<uint8_t, 4> flashId = {0xDA, 0xC8, 0x00, 0x00}) {
  DriveConfig config;
  config.vendor = "VOX-TEL ";
  config.product = "QRD-73318K      ";
  config.revision = "Q120";
  config.flashId = flashId;
  config.revisionAfterFlash = "Q150";
  return config;
}

// A transport whose drives pass for real ones.
class RealLookingTransport : public SimTransport {
 public:
  bool IsSimulated() const override { return false; }
};

template <typename Transport = SimTransport>
class FlashFixtureT : public ::testing::Test {
 protected:
  void SetUp() override { CDDrive::SetTransport(&recorder); }
  void TearDown() override {
    form.reset();
    CDDrive::SetTransport(nullptr);
    ReplayTranscripts();
  }

  // Every flash of the test left a transcript, which replays with its
  // package to the same texts and commands; each is replayed before the
  // package changes. The services and the drive layer are put back as the
  // fixture set them.
  void ReplayTranscripts() {
    const std::vector<std::string> texts = services.transcripts.Texts();
    if (HasFatalFailure() || !replays || replayed_ == texts.size()) return;
    const platform::Services installed = platform::GetServices();
    EXPECT_TRUE(testing_support::MatchLog(
        log, std::vector<std::string>(texts.begin() + static_cast<long>(replayed_), texts.end())));
    EXPECT_TRUE(testing_support::AllReplay(
        package, std::vector<std::string>(texts.begin() + static_cast<long>(replayed_), texts.end())));
    replayed_ = texts.size();
    platform::GetServices() = installed;
    CDDrive::SetTransport(&recorder);
  }

  SimDrive& AddDrive(DriveConfig config = FittingDrive()) { return transport.AddDrive(std::move(config)); }

  // Runs the start-up (answering Yes to the warning) and forgets what it showed and sent.
  void Create(std::vector<uint8_t> bytes) {
    form.reset();
    ReplayTranscripts();
    package = std::move(bytes);
    form = std::make_unique<testing_support::TestForm>(package.data());
    form->log = &log;
    services.boxes.AnswerYes();
    form->FormCreate();
    ASSERT_NE(form->CurrentDrive, nullptr) << "no fitting drive";
    services.boxes.shown.clear();
    log.clear();
    transport.ClearLog();
    for (size_t i = 0; i < transport.DriveCount(); ++i) transport.Drive(i).ClearLog();
  }

  // Clicks FLASH, answering the revision prompt and the restart offer.
  void Click(bool update = true, bool restart = false) {
    // Answers left over from an earlier run that ended early are dropped.
    services.boxes.ClearScript();
    services.boxes.Answer(update ? platform::BoxAnswer::Yes : platform::BoxAnswer::No);
    services.boxes.Answer(restart ? platform::BoxAnswer::Yes : platform::BoxAnswer::No);
    form->FlashButtonClick();
  }

  const uint8_t* Bin() const { return package.data() + package::kBinAreaOffset; }
  std::vector<uint8_t> BinBytes(uint32_t from, uint32_t count) const {
    return std::vector<uint8_t>(Bin() + from, Bin() + from + count);
  }

  std::vector<uint8_t> Opcodes() const {
    std::vector<uint8_t> ops;
    for (const LoggedCommand& c : transport.Log()) ops.push_back(c.opcode());
    return ops;
  }

  testing_support::ServicesScope services;
  testing_support::RunLog& log = services.log;  // the whole run, in order
  Transport transport;
  testing_support::RecordingTransport recorder{transport, log};
  std::vector<uint8_t> package;
  std::unique_ptr<testing_support::TestForm> form;
  // False where the test changes what no transcript holds: the program's
  // memory in the middle of a run, or a drive that passes for a real one (a
  // replay's drive is simulated).
  bool replays = true;

 private:
  size_t replayed_ = 0;
};

using FlashFixture = FlashFixtureT<SimTransport>;

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> bytes;
  for (int v : values) bytes.push_back(static_cast<uint8_t>(v));
  return bytes;
}

// The line a failure message carries for the system's error: the simulated
// drives report C library codes, with the C library's words for them.
inline std::string SystemLine(int code) { return "\n" + std::string(std::strerror(code)); }

inline std::vector<uint8_t> CdbOf(const LoggedCommand& c) { return std::vector<uint8_t>(c.cdb.begin(), c.cdb.end()); }

// --- The log of a run, written out ------------------------------------------

const std::string kPrompt = "\nUpdate Firmware Q120 to Q150 ?\n";
const std::string kRestart = "The system needs to be restarted for the changes to take effect ?";
const std::string kWriteProfile = "Write profile to drive's DRAM... ";
const std::string kWriteBin = "Write BIN to drive's DRAM... ";
const std::string kEntryCritical = "Drive entry critical... ";
const std::string kVerify = "Read back and Verify drive's DRAM... ";
const std::string kInProgress = "Don't turn off the system, Flash is in progress...";
const std::string kCompleted = "Flash Completed.";
const std::string kSimulatedRestart = "\nThis program flashes simulated drives: the system has not been restarted.\n";

// A command line of the log from the command's bytes as the tables give them.
inline std::string Command(std::initializer_list<uint32_t> bytes, platform::Direction direction, uint32_t length,
                           unsigned timeoutSeconds = 60, const std::vector<uint8_t>& data = {}) {
  platform::Cdb cdb{};
  std::transform(bytes.begin(), bytes.end(), cdb.begin(), [](uint32_t b) { return static_cast<uint8_t>(b); });
  return testing_support::CommandLine(cdb, direction, length, timeoutSeconds, data.empty() ? nullptr : data.data());
}

// The drive's error text after a command that left no sense: its status and
// the system's error code (whose number differs from system to system).
inline std::string NoSenseText(uint8_t status, int error) {
  char text[32];
  std::snprintf(text, sizeof text, "00 00 00. %02X, %04X", status, static_cast<unsigned>(error));
  return text;
}

// A message box from the flash operations: plain, with OK.
inline std::string Message(const std::string& text) {
  return testing_support::BoxLine(platform::BoxKind::Plain, platform::ApplicationTitle, text, platform::BoxButtons::Ok);
}
inline std::string Question(const std::string& text, platform::BoxKind kind = platform::BoxKind::Confirmation) {
  return testing_support::BoxLine(kind, platform::BoxCaption(kind), text, platform::BoxButtons::YesNo);
}

// What a whole run is asked to do: the image, its class, and the answers.
struct FlashPlan {
  ImageClass kind = ImageClass::NoProfile;
  const uint8_t* bin = nullptr;
  uint32_t binLength = 524288;
  bool flashAll = false;
  bool restart = false;  // the answer to the restart offer
  bool simulated = true;  // the drives are simulated: Yes there restarts nothing
  std::string identity = "0-0-0  : VOX-TEL QRD-73318K      Q150";  // the refreshed entry
};

// The profile records of the drives that FittingDrive makes for each image
// class: flash ID DA C8 for a short-ID image, BF D6 00 01 for a long-ID one.
inline std::vector<uint8_t> ProfileRecordFor(ImageClass kind) {
  const bool longId = kind == ImageClass::LongId;
  std::vector<uint8_t> record = longId ? Bytes({0xBF, 0xD6, 0x00, 0x01, 0x05, 0x00}) : Bytes({0xDA, 0xC8, 0x01, 0x3A});
  const uint32_t offset = longId ? 0x02FE : 0x0000, size = longId ? 1280 : 314;
  record.insert(record.end(), flash::ProfileData() + offset, flash::ProfileData() + offset + size);
  return record;
}

inline std::array<uint8_t, 4> FlashIdFor(ImageClass kind) {
  if (kind == ImageClass::LongId) return {0xBF, 0xD6, 0x00, 0x01};
  return {0xDA, 0xC8, 0x00, 0x00};
}

// The log of a complete run: the prompt answered Yes, the drive held, brought
// to rest (one poll), the profile, the blocks, entry critical, the checks,
// the flash start, the refreshed entry, the drive let go and the restart offer.
inline testing_support::RunLog ExpectedFlash(const FlashPlan& plan) {
  using namespace testing_support;
  const auto in = platform::Direction::In;
  const auto out = platform::Direction::Out;
  const int length = static_cast<int>(plan.binLength);
  RunLog log = {Question(kPrompt), kHoldLine};
  log.push_back(Command({0x1B, 0, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0}, in, 0));  // load
  log.push_back(SleepLine(30));
  log.push_back(Command({0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, in, 0));  // test unit ready
  log.push_back(Command({0x4E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, in, 0));  // stop play/scan
  log.push_back(Command({0x4E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, in, 0));
  log.push_back(Command({0x1B, 0, 0, 0, 0x00, 0, 0, 0, 0, 0, 0, 0}, in, 0));  // stop
  log.insert(log.end(), {ProgressRangeLine(0, length), ProgressStepLine(16384), kHourglassLine, kInhibitLine});
  if (plan.kind != ImageClass::NoProfile) {
    const std::vector<uint8_t> record = ProfileRecordFor(plan.kind);
    const uint32_t n = static_cast<uint32_t>(record.size());
    log.push_back(StatusLine(kWriteProfile));
    log.push_back(Command({0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, in, 128));
    log.push_back(Command({0x3B, 0x05, 0x01, plan.kind == ImageClass::LongId ? 0x00u : 0x08u, 0, 0, 0, n >> 8, n & 0xFF,
                           0x7F, 0, 0},
                          out, n, 60, record));
  }
  log.insert(log.end(), {StatusLine(kWriteBin), ProgressLine(0)});
  for (uint32_t at = 0; at < plan.binLength; at += 0x4000) {
    const std::vector<uint8_t> block(plan.bin + at, plan.bin + at + 0x4000);
    log.push_back(Command({0x3B, 0x05, 0x01, at >> 16, (at >> 8) & 0xFF, at & 0xFF, 0x00, 0x40, 0x00, 0x00, 0, 0}, out,
                          0x4000, 60, block));
    log.push_back(ProgressLine(static_cast<int>(at + 0x4000)));
  }
  if (plan.kind == ImageClass::ShortId) {
    log.push_back(StatusLine(kEntryCritical));
    log.push_back(Command({0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0x7F, 0, 0}, in, 0));
  }
  log.push_back(StatusLine(kVerify));
  if (plan.kind == ImageClass::ShortId) log.push_back(Command({0x3C, 0x01, 0x01, 0x08, 0, 0, 0, 0x01, 0x3E, 0, 0, 0}, in, 318));
  log.push_back(ProgressLine(0));
  for (uint32_t at = 0; at < plan.binLength; at += 0x4000) {
    log.push_back(Command({0x3C, 0x01, 0x01, at >> 16, (at >> 8) & 0xFF, at & 0xFF, 0x00, 0x40, 0x00, 0, 0, 0}, in, 0x4000));
    log.push_back(ProgressLine(static_cast<int>(at + 0x4000)));
  }
  // What led to the flash start is on the disk before the drive starts programming.
  log.insert(log.end(), {StatusLine(kInProgress), ProgressRangeLine(0, 200), ProgressLine(198), ProgressStepLine(0),
                         kTranscriptSyncLine});
  log.push_back(Command({0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, plan.flashAll ? 0xA0u : 0x80u, 0, 0}, in, 16, 180));
  log.insert(log.end(), {ProgressLine(200), StatusLine(kCompleted)});
  log.push_back(Command({0x12, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0}, in, 128));  // INQUIRY
  // The lock is let go once the drive's new identity is read.
  log.insert(log.end(), {ComboInsertLine(0, plan.identity), ComboDeleteLine(1), ComboSelectLine(0), kComboRepaintLine,
                         kInhibitReleaseLine, kLetGoLine, Question(kRestart)});
  if (plan.restart) log.insert(log.end(), {kDefaultCursorLine, plan.simulated ? Message(kSimulatedRestart) : kRestartLine});
  log.insert(log.end(), {kDefaultCursorLine, ProgressLine(0)});
  return log;
}

// Where the `number`th command (from 1) stands in a log.
inline size_t LineOfCommand(const testing_support::RunLog& log, size_t number) {
  size_t line = 0;
  for (; line < log.size(); ++line) {
    if (log[line][0] == '>' && --number == 0) break;
  }
  return line;
}

// The log of a run that fails at the command of line `line` of the whole
// run's log: the same up to that command, then what the failure shows (its
// message and status line) while the drive is still held, then the end of
// every run.
inline testing_support::RunLog ExpectedFailure(const testing_support::RunLog& whole, size_t line,
                                               const testing_support::RunLog& shown) {
  testing_support::RunLog log(whole.begin(), whole.begin() + static_cast<long>(line) + 1);
  log.insert(log.end(), shown.begin(), shown.end());
  log.insert(log.end(), {testing_support::kInhibitReleaseLine, testing_support::kLetGoLine,
                         testing_support::kDefaultCursorLine, testing_support::ProgressLine(0)});
  return log;
}

}  // namespace flash_tests
