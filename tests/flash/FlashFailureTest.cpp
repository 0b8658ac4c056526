// Failures of the flash sequence: every row of the failure table with its
// message and status line, and a sweep that injects every kind of fault into
// every command of a complete run in turn. Each run's log is compared with
// the whole run's, cut after the failing command and ended by the failure.
#include <cerrno>
#include <functional>

#include "tests/flash/FlashFixture.h"

namespace flash_tests {
namespace {

using platform::sim::Cdb;
using testing_support::RunLog;
using testing_support::SameLog;
using testing_support::StatusLine;

// The line of the log where the first command beginning with `command` stands.
size_t LineOf(const RunLog& log, const std::string& command) {
  const auto at = std::find_if(log.begin(), log.end(), [&](const std::string& line) { return line.rfind(command, 0) == 0; });
  EXPECT_NE(at, log.end()) << command;
  return static_cast<size_t>(at - log.begin());
}

bool Begins(const Cdb& cdb, const std::string& command) {
  return testing_support::CommandLine(cdb, platform::Direction::In, 0, 0).rfind(command, 0) == 0;
}

struct Row {
  const char* name;
  ImageClass kind;
  std::string command;  // the beginning of the failing command's line
  Fault fault;
  RunLog shown;  // what the failure shows: its message and status line, in order
  unsigned timeOutAfter = 60;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class FailureTableTest : public FlashFixture, public ::testing::WithParamInterface<Row> {};

TEST_P(FailureTableTest, ShowsItsMessageAndStatusLineAndStops) {
  const Row& row = GetParam();
  SimDrive& drive = AddDrive(FittingDrive(FlashIdFor(row.kind)));
  Create(CraftImage(row.kind));
  drive.FailWhen([&row](const Cdb& cdb) { return Begins(cdb, row.command); }, row.fault);
  Click(true, true);

  FlashPlan plan;
  plan.kind = row.kind;
  plan.bin = Bin();
  const RunLog whole = ExpectedFlash(plan);
  EXPECT_TRUE(SameLog(log, ExpectedFailure(whole, LineOf(whole, row.command), row.shown)));
  EXPECT_EQ(drive.FlashStartCount(), 0u);
  EXPECT_EQ(CDDrive::TimeOut, row.timeOutAfter);
}

const Fault kSense = Fault::Sense(0x03, 0x0C, 0x00);
const std::string kSenseText = "03 0C 00. 02, 0000";

INSTANTIATE_TEST_SUITE_P(
    Rows, FailureTableTest,
    ::testing::Values(
        Row{"FlashIdRead", ImageClass::ShortId, "> DF 11", kSense,
            {Message("Read Flash ID> " + kSenseText), StatusLine(kWriteProfile + ", Fail! ")}},
        Row{"ProfileWrite", ImageClass::LongId, "> 3B 05 01 00 00 00 00 05 06 7F", kSense,
            {Message("Write Profile> " + kSenseText), StatusLine(kWriteProfile + ", Fail! ")}},
        Row{"BlockWrite", ImageClass::NoProfile, "> 3B 05 01 01 00 00", kSense,
            {Message("Write Buffer> " + kSenseText), StatusLine(kWriteBin + ", Fail! ")}},
        Row{"EntryCritical", ImageClass::ShortId, "> 3B 05 01 00 00 00 00 00 00 7F", kSense,
            {Message("Entry critical> " + kSenseText), StatusLine(kEntryCritical + ", Fail! ")}},
        Row{"ProfileRead", ImageClass::ShortId, "> 3C 01 01 08", kSense,
            {Message("Read Profile> " + kSenseText), StatusLine(kVerify + ", Valid Profile Fail!")}},
        Row{"ProfileDiffers", ImageClass::ShortId, "> 3C 01 01 08", Fault::CorruptByte(200, 0x80),
            {Message("Compared profile error!"), StatusLine(kVerify + ", Valid Profile Fail!")}},
        Row{"BlockRead", ImageClass::LongId, "> 3C 01 01 00 80 00", kSense,
            {Message("Read Buffer> " + kSenseText), StatusLine(kVerify + ", Read Fail! ")}},
        Row{"BlockDiffers", ImageClass::NoProfile, "> 3C 01 01 07 C0 00", Fault::CorruptByte(0x3FFF, 0x01),
            {StatusLine(kVerify + ", Compare BIN and DRAM Fail! "), Message("Compare BIN and DRAM fail!")}},
        // The long time-out stays in force after a flash start that failed.
        Row{"FlashStart", ImageClass::ShortId, "> 3B 05 01 00 00 00 00 00 00 80", kSense,
            {Message("Write Buffer> " + kSenseText), StatusLine("Flash Fail.")}, 180},
        Row{"FlashStartTimedOut", ImageClass::NoProfile, "> 3B 05 01 00 00 00 00 00 00 80", Fault::TimeOut(),
            {Message("Write Buffer> " + NoSenseText(0, ETIMEDOUT) + SystemLine(ETIMEDOUT)), StatusLine("Flash Fail.")},
            180},
        // Data that arrives short fails before anything looks at it: the rest
        // of the buffer would hold an earlier command's bytes.
        Row{"ShortFlashId", ImageClass::LongId, "> DF 11", Fault::Short(3),
            {Message("Read Flash ID> " + NoSenseText(0, 0) + "\nThe drive sent 3 of the 128 bytes: 125 bytes are missing."),
             StatusLine(kWriteProfile + ", Fail! ")}},
        Row{"ShortProfileRead", ImageClass::ShortId, "> 3C 01 01 08", Fault::Short(0),
            {Message("Read Profile> " + NoSenseText(0, 0) + "\nThe drive sent 0 of the 318 bytes: 318 bytes are missing."),
             StatusLine(kVerify + ", Valid Profile Fail!")}},
        Row{"ShortBlockRead", ImageClass::NoProfile, "> 3C 01 01 07 C0 00", Fault::Short(0x3FFF),
            {Message("Read Buffer> " + NoSenseText(0, 0) + "\nThe drive sent 16383 of the 16384 bytes: 1 byte is missing."),
             StatusLine(kVerify + ", Read Fail! ")}}),
    [](const auto& info) { return std::string(info.param.name); });

class FlashFailureTest : public FlashFixture {};

// The long-ID record is checked in the kept copy only: a copy that no longer
// matches the table stops the run without a message.
TEST_F(FlashFailureTest, LongProfileCopyThatDiffersStopsSilently) {
  SimDrive& drive = AddDrive(FittingDrive(FlashIdFor(ImageClass::LongId)));
  Create(CraftImage(ImageClass::LongId));
  replays = false;
  // Spoil the kept copy while the blocks are written (the hook never faults a command).
  drive.FailWhen(
      [this](const Cdb& c) {
        if (Begins(c, "> 3B 05 01 04 00 00") && form->WorkBuffer != nullptr) form->WorkBuffer[6 + 100] ^= 0xFF;
        return false;
      },
      Fault::Busy());
  Click(true, true);
  FlashPlan plan;
  plan.kind = ImageClass::LongId;
  plan.bin = Bin();
  const RunLog whole = ExpectedFlash(plan);
  EXPECT_TRUE(SameLog(log, ExpectedFailure(whole, LineOf(whole, "> 3B 05 01 07 C0 00") + 1,
                                           {StatusLine(kVerify), StatusLine(kVerify + ", Valid Profile Fail!")})));
  EXPECT_EQ(drive.FlashStartCount(), 0u);
}

// --- The sweep ---------------------------------------------------------------

struct RunResult {
  RunLog log;
  std::vector<LoggedCommand> commands;
  unsigned flashStarts = 0;
  bool flashHoldsImage = false;
};

// Replaying the transcripts is most of the sweep's cost under the address
// sanitizer (some 40 s for each class of image): there every seventh run's
// transcript replays, in the plain build every one.
#if defined(__SANITIZE_ADDRESS__)
constexpr unsigned kReplayEvery = 7;
#else
constexpr unsigned kReplayEvery = 1;
#endif

// One complete run on a fresh drive, with `fault` armed on command `number` (0: none).
RunResult RunOnce(ImageClass kind, const std::vector<uint8_t>& package, uint32_t number, const Fault& fault) {
  testing_support::ServicesScope services;
  SimTransport transport;
  testing_support::RecordingTransport recorder(transport, services.log);
  CDDrive::SetTransport(&recorder);
  SimDrive& drive = transport.AddDrive(FittingDrive(FlashIdFor(kind)));
  RunResult result;
  {
    testing_support::TestForm form(package.data());
    form.log = &services.log;
    services.boxes.AnswerYes();
    form.FormCreate();
    if (form.CurrentDrive == nullptr) {
      ADD_FAILURE() << "no fitting drive";
      CDDrive::SetTransport(nullptr);
      return result;
    }
    services.log.clear();
    transport.ClearLog();
    if (number > 0) drive.FailCommand(number, fault);
    services.boxes.AnswerYes();
    services.boxes.AnswerNo();
    form.FlashButtonClick();
    result.log = services.log;
    result.commands = transport.Log();
    result.flashStarts = drive.FlashStartCount();
    const uint8_t* bin = package.data() + package::kBinAreaOffset;
    result.flashHoldsImage = std::equal(drive.Flash().begin(), drive.Flash().end(), bin);
  }
  CDDrive::SetTransport(nullptr);
  EXPECT_TRUE(testing_support::MatchLog(result.log, services.transcripts.Texts()));
  static unsigned runs = 0;
  if (runs++ % kReplayEvery == 0) {
    EXPECT_TRUE(testing_support::AllReplay(package, services.transcripts.Texts()));
  }
  return result;
}

uint32_t Offset(const Cdb& c) { return uint32_t{c[3]} << 16 | uint32_t{c[4]} << 8 | c[5]; }
uint32_t FieldLength(const Cdb& c) { return uint32_t{c[6]} << 16 | uint32_t{c[7]} << 8 | c[8]; }

bool IsProfileWrite(const Cdb& c) { return c[0] == 0x3B && c[9] == 0x7F && FieldLength(c) > 0; }
bool IsEntryCritical(const Cdb& c) { return c[0] == 0x3B && c[9] == 0x7F && FieldLength(c) == 0; }
bool IsBlockWrite(const Cdb& c) { return c[0] == 0x3B && c[9] == 0x00; }
bool IsFlashStart(const Cdb& c) { return c[0] == 0x3B && (c[9] == 0x80 || c[9] == 0xA0); }
bool IsProfileRead(const Cdb& c) { return c[0] == 0x3C && Offset(c) == 0x80000; }
bool IsBlockRead(const Cdb& c) { return c[0] == 0x3C && Offset(c) < 0x80000; }
bool IsFlashIdRead(const Cdb& c) { return c[0] == 0xDF && c[1] == 0x11; }

enum class Effect { Fails, Corrupts, CutsShort };

// What a fault on a command of this kind shows, in order, when it ends the
// run (with `errorText` after the operation's prefix); nothing when the run
// goes on as if it had not been.
RunLog ShownFor(const Cdb& c, Effect effect, const std::string& errorText) {
  const auto fails = [&](const std::string& prefix, const std::string& status) {
    return RunLog{Message(prefix + errorText), StatusLine(status)};
  };
  if (effect == Effect::Corrupts) {
    // Only the data that is compared can show a corruption.
    if (IsProfileRead(c)) return {Message("Compared profile error!"), StatusLine(kVerify + ", Valid Profile Fail!")};
    if (IsBlockRead(c)) return {StatusLine(kVerify + ", Compare BIN and DRAM Fail! "), Message("Compare BIN and DRAM fail!")};
    return {};
  }
  if (effect == Effect::CutsShort) {
    // Only data that is read must arrive whole; the flash start's answer is
    // not read (and a short INQUIRY only leaves "0" in the entry).
    if (IsFlashIdRead(c)) return fails("Read Flash ID> ", kWriteProfile + ", Fail! ");
    if (IsProfileRead(c)) return fails("Read Profile> ", kVerify + ", Valid Profile Fail!");
    if (IsBlockRead(c)) return fails("Read Buffer> ", kVerify + ", Read Fail! ");
    return {};
  }
  if (IsFlashIdRead(c)) return fails("Read Flash ID> ", kWriteProfile + ", Fail! ");
  if (IsProfileWrite(c)) return fails("Write Profile> ", kWriteProfile + ", Fail! ");
  if (IsBlockWrite(c)) return fails("Write Buffer> ", kWriteBin + ", Fail! ");
  if (IsEntryCritical(c)) return fails("Entry critical> ", kEntryCritical + ", Fail! ");
  if (IsProfileRead(c)) return fails("Read Profile> ", kVerify + ", Valid Profile Fail!");
  if (IsBlockRead(c)) return fails("Read Buffer> ", kVerify + ", Read Fail! ");
  if (IsFlashStart(c)) return fails("Write Buffer> ", "Flash Fail.");
  return {};  // preparation commands and the closing INQUIRY never end the run
}

struct SweepFault {
  const char* name;
  Fault fault;
  Effect effect;
  std::string errorText;  // what follows the operation's prefix in its message
};

class FaultSweepTest : public ::testing::TestWithParam<ImageClass> {};

TEST_P(FaultSweepTest, EveryCommandFailsInTurnWithEveryKindOfFault) {
  const ImageClass kind = GetParam();
  const std::vector<uint8_t> package = CraftImage(kind);
  FlashPlan plan;
  plan.kind = kind;
  plan.bin = package.data() + package::kBinAreaOffset;
  const RunLog whole = ExpectedFlash(plan);
  const RunResult reference = RunOnce(kind, package, 0, Fault{});
  ASSERT_TRUE(SameLog(reference.log, whole));

  // The corrupted byte lies past the flash ID's first four bytes, which
  // choose the profile: a corruption shows only where data is compared.
  constexpr uint32_t kDelivered = 12;  // fewer than an identification needs
  const SweepFault faults[] = {
      {"sense", Fault::Sense(0x04, 0x44, 0x00), Effect::Fails, "04 44 00. 02, 0000"},
      {"transport", Fault::Transport(EPERM), Effect::Fails, NoSenseText(0, EPERM) + SystemLine(EPERM)},
      {"busy", Fault::Busy(), Effect::Fails, NoSenseText(8, 0)},
      {"timeout", Fault::TimeOut(), Effect::Fails, NoSenseText(0, ETIMEDOUT) + SystemLine(ETIMEDOUT)},
      {"corrupt", Fault::CorruptByte(5, 0x10), Effect::Corrupts, ""},
      {"short", Fault::Short(kDelivered), Effect::CutsShort, NoSenseText(0, 0)},
  };
  for (uint32_t number = 1; number <= reference.commands.size(); ++number) {
    const Cdb& cdb = reference.commands[number - 1].cdb;
    const uint32_t length = reference.commands[number - 1].length;
    for (const SweepFault& f : faults) {
      SCOPED_TRACE(std::string(Name(kind)) + " command " + std::to_string(number) + " (opcode " +
                   std::to_string(cdb[0]) + ") " + f.name);
      const RunResult run = RunOnce(kind, package, number, f.fault);
      std::string errorText = f.errorText;
      if (f.effect == Effect::CutsShort) {
        errorText += "\nThe drive sent " + std::to_string(kDelivered) + " of the " + std::to_string(length) +
                     " bytes: " + std::to_string(length - kDelivered) + " bytes are missing.";
      }
      const RunLog shown = ShownFor(cdb, f.effect, errorText);
      RunLog expected = whole;
      if (!shown.empty()) {
        expected = ExpectedFailure(whole, LineOfCommand(whole, number), shown);
      } else if (cdb[0] == 0x12 && f.effect != Effect::Corrupts) {
        // An INQUIRY that fails after the flash, or comes back too short to
        // identify the drive, leaves "0" in the entry.
        FlashPlan failedInquiry = plan;
        failedInquiry.identity = "0";
        expected = ExpectedFlash(failedInquiry);
      }
      EXPECT_TRUE(SameLog(run.log, expected));
      // Never "Flash Completed." without a flash start the drive accepted and an image in its flash.
      EXPECT_EQ(run.flashStarts, shown.empty() ? 1u : 0u);
      EXPECT_EQ(run.flashHoldsImage, shown.empty());
      if (::testing::Test::HasFatalFailure() || ::testing::Test::HasNonfatalFailure()) return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Images, FaultSweepTest,
                         ::testing::Values(ImageClass::NoProfile, ImageClass::ShortId, ImageClass::LongId),
                         [](const auto& info) { return std::string(Name(info.param)); });

}  // namespace
}  // namespace flash_tests
