// Failures of the flash sequence: every row of the failure table with its
// message and status line, and a sweep that injects every kind of fault into
// every command of a complete run in turn.
#include <cerrno>
#include <functional>

#include "tests/flash/FlashFixture.h"

namespace flash_tests {
namespace {

using platform::sim::Cdb;

const std::string kWriteProfile = "Write profile to drive's DRAM... ";
const std::string kWriteBin = "Write BIN to drive's DRAM... ";
const std::string kEntryCritical = "Drive entry critical... ";
const std::string kVerify = "Read back and Verify drive's DRAM... ";
const std::string kCompleted = "Flash Completed.";

uint32_t Offset(const Cdb& c) { return uint32_t{c[3]} << 16 | uint32_t{c[4]} << 8 | c[5]; }
uint32_t FieldLength(const Cdb& c) { return uint32_t{c[6]} << 16 | uint32_t{c[7]} << 8 | c[8]; }

bool IsProfileWrite(const Cdb& c) { return c[0] == 0x3B && c[9] == 0x7F && FieldLength(c) > 0; }
bool IsEntryCritical(const Cdb& c) { return c[0] == 0x3B && c[9] == 0x7F && FieldLength(c) == 0; }
bool IsBlockWrite(const Cdb& c) { return c[0] == 0x3B && c[9] == 0x00; }
bool IsFlashStart(const Cdb& c) { return c[0] == 0x3B && (c[9] == 0x80 || c[9] == 0xA0); }
bool IsProfileRead(const Cdb& c) { return c[0] == 0x3C && Offset(c) == 0x80000; }
bool IsBlockRead(const Cdb& c) { return c[0] == 0x3C && Offset(c) < 0x80000; }
bool IsFlashIdRead(const Cdb& c) { return c[0] == 0xDF && c[1] == 0x11; }

struct Row {
  const char* name;
  ImageClass kind;
  std::function<bool(const Cdb&)> target;
  Fault fault;
  std::string prefix;  // message prefix before the error text; empty: `message` as it stands
  std::string message;  // whole message; empty with an empty prefix: no message at all
  std::string status;
  std::string lines = {};  // what follows the error text on lines of their own
};

class FailureTableTest : public FlashFixture, public ::testing::WithParamInterface<Row> {};

TEST_P(FailureTableTest, GivesItsMessageAndStatusLine) {
  const Row& row = GetParam();
  SimDrive& drive = AddDrive(FittingDrive(row.kind == ImageClass::LongId ? std::array<uint8_t, 4>{0xBF, 0xD6, 0, 1}
                                                                        : std::array<uint8_t, 4>{0xDA, 0xC8, 0, 0}));
  Create(CraftImage(row.kind));
  drive.FailWhen(row.target, row.fault);
  const std::vector<std::string> comboBefore = form->comboItems;
  // Until the failure has been dismissed the drive may be busy with what it
  // was sent: it stays held, and the system may not sleep or shut down.
  std::vector<std::pair<bool, bool>> heldAtBox;
  services.boxes.onShow = [&] { heldAtBox.emplace_back(services.inhibitor.held, drive.HeldExclusively()); };
  Click(true, true);
  services.boxes.onShow = nullptr;

  std::vector<std::string> expected = {"\nUpdate Firmware Q120 to Q150 ?\n"};
  if (!row.prefix.empty()) expected.push_back(row.prefix + form->CurrentDrive->GetErrorText() + row.lines);
  if (!row.message.empty()) expected.push_back(row.message);
  EXPECT_EQ(services.boxes.Texts(), expected);  // and no restart offer
  ASSERT_EQ(heldAtBox.size(), 2u);
  EXPECT_EQ(heldAtBox[0], std::make_pair(false, false));  // the prompt comes first
  EXPECT_EQ(heldAtBox[1], std::make_pair(true, true));
  EXPECT_FALSE(drive.HeldExclusively());
  EXPECT_EQ(form->status, row.status);
  EXPECT_EQ(form->statusHistory.back(), row.status);
  // The run stopped at the failing command.
  ASSERT_FALSE(transport.Log().empty());
  EXPECT_TRUE(row.target(transport.Log().back().cdb)) << "ran on after the failure";
  EXPECT_EQ(drive.FlashStartCount(), 0u);
  EXPECT_EQ(form->comboItems, comboBefore);
  EXPECT_EQ(form->progressPosition, 0);
  EXPECT_EQ(services.cursor.events, (std::vector<std::string>{"hourglass", "default"}));
  EXPECT_EQ(services.restart.reboots, 0);
  EXPECT_EQ(services.inhibitor.acquired, 1);
  EXPECT_EQ(services.inhibitor.released, 1);
  EXPECT_FALSE(services.inhibitor.held);
}

const Fault kSense = Fault::Sense(0x03, 0x0C, 0x00);

INSTANTIATE_TEST_SUITE_P(
    Rows, FailureTableTest,
    ::testing::Values(
        Row{"FlashIdRead", ImageClass::ShortId, IsFlashIdRead, kSense, "Read Flash ID> ", "", kWriteProfile + ", Fail! "},
        Row{"ProfileWrite", ImageClass::LongId, IsProfileWrite, kSense, "Write Profile> ", "", kWriteProfile + ", Fail! "},
        Row{"BlockWrite", ImageClass::NoProfile, [](const Cdb& c) { return IsBlockWrite(c) && Offset(c) == 0x10000; },
            kSense, "Write Buffer> ", "", kWriteBin + ", Fail! "},
        Row{"EntryCritical", ImageClass::ShortId, IsEntryCritical, kSense, "Entry critical> ", "",
            kEntryCritical + ", Fail! "},
        Row{"ProfileRead", ImageClass::ShortId, IsProfileRead, kSense, "Read Profile> ", "",
            kVerify + ", Valid Profile Fail!"},
        Row{"ProfileDiffers", ImageClass::ShortId, IsProfileRead, Fault::CorruptByte(200, 0x80), "",
            "Compared profile error!", kVerify + ", Valid Profile Fail!"},
        Row{"BlockRead", ImageClass::LongId, [](const Cdb& c) { return IsBlockRead(c) && Offset(c) == 0x8000; }, kSense,
            "Read Buffer> ", "", kVerify + ", Read Fail! "},
        Row{"BlockDiffers", ImageClass::NoProfile,
            [](const Cdb& c) { return IsBlockRead(c) && Offset(c) == 0x7C000; }, Fault::CorruptByte(0x3FFF, 0x01), "",
            "Compare BIN and DRAM fail!", kVerify + ", Compare BIN and DRAM Fail! "},
        Row{"FlashStart", ImageClass::ShortId, IsFlashStart, kSense, "Write Buffer> ", "", "Flash Fail."},
        Row{"FlashStartRefusedBySystem", ImageClass::NoProfile, IsFlashStart, Fault::Transport(EIO), "Write Buffer> ",
            "", "Flash Fail.", SystemLine(EIO)},
        // Data that arrives short fails before anything looks at it: the rest
        // of the buffer would hold an earlier command's bytes.
        Row{"ShortFlashId", ImageClass::LongId, IsFlashIdRead, Fault::Short(3), "Read Flash ID> ", "",
            kWriteProfile + ", Fail! ", "\nThe drive sent 3 of the 128 bytes: 125 bytes are missing."},
        Row{"ShortProfileRead", ImageClass::ShortId, IsProfileRead, Fault::Short(0), "Read Profile> ", "",
            kVerify + ", Valid Profile Fail!", "\nThe drive sent 0 of the 318 bytes: 318 bytes are missing."},
        Row{"ShortBlockRead", ImageClass::NoProfile,
            [](const Cdb& c) { return IsBlockRead(c) && Offset(c) == 0x7C000; }, Fault::Short(0x3FFF), "Read Buffer> ",
            "", kVerify + ", Read Fail! ", "\nThe drive sent 16383 of the 16384 bytes: 1 byte is missing."}),
    [](const auto& info) { return std::string(info.param.name); });

class FlashFailureTest : public FlashFixture {};

TEST_F(FlashFailureTest, FailedFlashStartKeepsTheLongTimeOut) {
  SimDrive& drive = AddDrive();
  Create(CraftImage(ImageClass::NoProfile));
  drive.FailWhen(IsFlashStart, Fault::TimeOut());
  Click();
  EXPECT_EQ(form->status, "Flash Fail.");
  EXPECT_EQ(transport.Log().back().timeoutSeconds, 180u);
  EXPECT_EQ(CDDrive::TimeOut, 180);
  EXPECT_EQ(form->progressMax, 200);
  EXPECT_EQ(form->progressPosition, 0);
}

// The long-ID record is checked in the kept copy only: a copy that no longer
// matches the table stops the run without a message.
TEST_F(FlashFailureTest, LongProfileCopyThatDiffersStopsSilently) {
  SimDrive& drive = AddDrive(FittingDrive({0xBF, 0xB6, 0x00, 0x02}));
  Create(CraftImage(ImageClass::LongId));
  // Spoil the kept copy while the blocks are written (the hook never faults a command).
  drive.FailWhen(
      [this](const Cdb& c) {
        if (IsBlockWrite(c) && Offset(c) == 0x40000 && form->WorkBuffer != nullptr) form->WorkBuffer[6 + 100] ^= 0xFF;
        return false;
      },
      Fault::Busy());
  Click(true, true);
  EXPECT_EQ(services.boxes.Texts(), std::vector<std::string>{"\nUpdate Firmware Q120 to Q150 ?\n"});
  EXPECT_EQ(form->status, kVerify + ", Valid Profile Fail!");
  EXPECT_TRUE(IsBlockWrite(transport.Log().back().cdb));
  EXPECT_EQ(drive.FlashStartCount(), 0u);
  EXPECT_EQ(services.inhibitor.released, 1);
  EXPECT_FALSE(services.inhibitor.held);
}

// --- The sweep ---------------------------------------------------------------

struct RunResult {
  std::vector<LoggedCommand> log;
  std::vector<std::string> boxes;
  std::string status;
  std::vector<std::string> comboBefore, comboAfter;
  std::string errorText;
  unsigned flashStarts = 0;
  bool flashHoldsImage = false;
  int acquired = 0, released = 0;
  bool held = false;
};

std::array<uint8_t, 4> FlashIdFor(ImageClass kind) {
  if (kind == ImageClass::LongId) return {0xBF, 0xD6, 0x00, 0x01};
  return {0xDA, 0xC8, 0x00, 0x00};
}

// One complete run on a fresh drive, with `fault` armed on command `number` (0: none).
RunResult RunOnce(ImageClass kind, const std::vector<uint8_t>& package, uint32_t number, const Fault& fault) {
  testing_support::ServicesScope services;
  SimTransport transport;
  CDDrive::SetTransport(&transport);
  SimDrive& drive = transport.AddDrive(FittingDrive(FlashIdFor(kind)));
  RunResult result;
  {
    testing_support::TestForm form(package.data());
    services.boxes.AnswerYes();
    form.FormCreate();
    if (form.CurrentDrive == nullptr) {
      ADD_FAILURE() << "no fitting drive";
      CDDrive::SetTransport(nullptr);
      return result;
    }
    services.boxes.shown.clear();
    transport.ClearLog();
    result.comboBefore = form.comboItems;
    if (number > 0) drive.FailCommand(number, fault);
    services.boxes.AnswerYes();
    services.boxes.AnswerNo();
    form.FlashButtonClick();
    result.log = transport.Log();
    result.boxes = services.boxes.Texts();
    result.status = form.status;
    result.comboAfter = form.comboItems;
    result.errorText = form.CurrentDrive->GetErrorText();
    result.flashStarts = drive.FlashStartCount();
    const uint8_t* bin = package.data() + package::kBinAreaOffset;
    result.flashHoldsImage = std::equal(drive.Flash().begin(), drive.Flash().end(), bin);
    result.acquired = services.inhibitor.acquired;
    result.released = services.inhibitor.released;
    result.held = services.inhibitor.held;
  }
  CDDrive::SetTransport(nullptr);
  return result;
}

// What a fault on a command of this kind must lead to.
struct Expected {
  bool stops = false;
  std::string prefix;   // failure message: prefix + error text (+ the lines below it)
  std::string message;  // or this whole message
  std::string status;
};

enum class Effect { Fails, Corrupts, CutsShort };

Expected ExpectedFor(const Cdb& c, Effect effect) {
  if (effect == Effect::Corrupts) {
    // Only the data that is compared can show a corruption.
    if (IsProfileRead(c)) return {true, "", "Compared profile error!", kVerify + ", Valid Profile Fail!"};
    if (IsBlockRead(c)) return {true, "", "Compare BIN and DRAM fail!", kVerify + ", Compare BIN and DRAM Fail! "};
    return {};
  }
  if (effect == Effect::CutsShort) {
    // Only data that is read must arrive whole; the flash start's answer is
    // not read, and a short INQUIRY only leaves "0" in the entry.
    if (IsFlashIdRead(c)) return {true, "Read Flash ID> ", "", kWriteProfile + ", Fail! "};
    if (IsProfileRead(c)) return {true, "Read Profile> ", "", kVerify + ", Valid Profile Fail!"};
    if (IsBlockRead(c)) return {true, "Read Buffer> ", "", kVerify + ", Read Fail! "};
    return {};
  }
  if (IsFlashIdRead(c)) return {true, "Read Flash ID> ", "", kWriteProfile + ", Fail! "};
  if (IsProfileWrite(c)) return {true, "Write Profile> ", "", kWriteProfile + ", Fail! "};
  if (IsBlockWrite(c)) return {true, "Write Buffer> ", "", kWriteBin + ", Fail! "};
  if (IsEntryCritical(c)) return {true, "Entry critical> ", "", kEntryCritical + ", Fail! "};
  if (IsProfileRead(c)) return {true, "Read Profile> ", "", kVerify + ", Valid Profile Fail!"};
  if (IsBlockRead(c)) return {true, "Read Buffer> ", "", kVerify + ", Read Fail! "};
  if (IsFlashStart(c)) return {true, "Write Buffer> ", "", "Flash Fail."};
  return {};  // preparation commands and the closing INQUIRY never end the run
}

struct SweepFault {
  const char* name;
  Fault fault;
  Effect effect;
  std::string systemLine;  // the system's words for the error, on a line of its own
};

class FaultSweepTest : public ::testing::TestWithParam<ImageClass> {};

TEST_P(FaultSweepTest, EveryCommandFailsInTurnWithEveryKindOfFault) {
  const ImageClass kind = GetParam();
  const std::vector<uint8_t> package = CraftImage(kind);
  const RunResult reference = RunOnce(kind, package, 0, Fault{});
  ASSERT_EQ(reference.status, kCompleted);
  const size_t count = reference.log.size();
  ASSERT_GT(count, 64u);

  constexpr uint32_t kDelivered = 12;  // fewer than an identification needs
  const SweepFault faults[] = {
      {"sense", Fault::Sense(0x04, 0x44, 0x00), Effect::Fails, ""},
      {"transport", Fault::Transport(EPERM), Effect::Fails, SystemLine(EPERM)},
      {"busy", Fault::Busy(), Effect::Fails, ""},
      {"timeout", Fault::TimeOut(), Effect::Fails, SystemLine(ETIMEDOUT)},
      {"corrupt", Fault::CorruptByte(1, 0x10), Effect::Corrupts, ""},
      {"short", Fault::Short(kDelivered), Effect::CutsShort, ""},
  };
  for (uint32_t number = 1; number <= count; ++number) {
    const Cdb& cdb = reference.log[number - 1].cdb;
    const uint32_t length = reference.log[number - 1].length;
    for (const SweepFault& f : faults) {
      SCOPED_TRACE(std::string(Name(kind)) + " command " + std::to_string(number) + " (opcode " +
                   std::to_string(cdb[0]) + ") " + f.name);
      const RunResult run = RunOnce(kind, package, number, f.fault);
      const Expected expected = ExpectedFor(cdb, f.effect);
      const bool corrupt = f.effect == Effect::Corrupts;
      // Never "Flash Completed." without a flash start the drive accepted.
      EXPECT_EQ(run.status == kCompleted, run.flashStarts == 1);
      EXPECT_EQ(run.acquired, 1);
      EXPECT_EQ(run.released, 1);
      EXPECT_FALSE(run.held);
      if (expected.stops) {
        EXPECT_EQ(run.log.size(), number) << "the run went on after the failing command";
        ASSERT_EQ(run.boxes.size(), 2u);
        std::string lines = f.systemLine;
        if (f.effect == Effect::CutsShort) {
          lines += "\nThe drive sent " + std::to_string(kDelivered) + " of the " + std::to_string(length) +
                   " bytes: " + std::to_string(length - kDelivered) + " bytes are missing.";
        }
        EXPECT_EQ(run.boxes[1], expected.prefix.empty() ? expected.message : expected.prefix + run.errorText + lines);
        EXPECT_EQ(run.status, expected.status);
        EXPECT_EQ(run.flashStarts, 0u);
        EXPECT_EQ(run.comboAfter, run.comboBefore);
      } else {
        EXPECT_EQ(run.status, kCompleted);
        EXPECT_EQ(run.flashStarts, 1u);
        EXPECT_TRUE(run.flashHoldsImage);
        ASSERT_EQ(run.boxes.size(), 2u);
        EXPECT_EQ(run.boxes[1], "The system needs to be restarted for the changes to take effect ?");
        if (!corrupt) {
          EXPECT_EQ(run.log.size(), count);
        }
        // An INQUIRY that fails after the flash, or comes back too short to
        // identify the drive, leaves "0" in the entry.
        if (!corrupt) {
          EXPECT_EQ(run.comboAfter[0] == "0", cdb[0] == 0x12);
        }
        if (cdb[0] != 0x12) {
          EXPECT_EQ(run.comboAfter[0].substr(run.comboAfter[0].size() - 4), "Q150");
        }
      }
      if (::testing::Test::HasFatalFailure() || ::testing::Test::HasNonfatalFailure()) return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Images, FaultSweepTest,
                         ::testing::Values(ImageClass::NoProfile, ImageClass::ShortId, ImageClass::LongId),
                         [](const auto& info) { return std::string(Name(info.param)); });

}  // namespace
}  // namespace flash_tests
