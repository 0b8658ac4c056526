// The flash sequence behind the FLASH button, end to end on simulated drives:
// prompts, preparation, profile, blocks, entry critical, checks, flash start,
// refreshed entry, restart offer, and the inhibitor around the flash.
#include <cstring>

#include "flash/ProfileTable.h"
#include "tests/flash/FlashFixture.h"

namespace flash_tests {
namespace {

using platform::BoxKind;

const std::string kPrompt = "\nUpdate Firmware Q120 to Q150 ?\n";
const std::string kRestart = "The system needs to be restarted for the changes to take effect ?";
const std::string kWriteProfile = "Write profile to drive's DRAM... ";
const std::string kWriteBin = "Write BIN to drive's DRAM... ";
const std::string kEntryCritical = "Drive entry critical... ";
const std::string kVerify = "Read back and Verify drive's DRAM... ";
const std::string kInProgress = "Don't turn off the system, Flash is in progress...";
const std::string kCompleted = "Flash Completed.";

std::array<uint8_t, 4> FlashIdFor(ImageClass kind) {
  if (kind == ImageClass::LongId) return {0xBF, 0xD6, 0x00, 0x01};
  return {0xDA, 0xC8, 0x00, 0x00};
}

uint32_t Offset(const LoggedCommand& c) { return uint32_t{c.cdb[3]} << 16 | uint32_t{c.cdb[4]} << 8 | c.cdb[5]; }

// An inhibitor that notes how far the run had come when it was taken and released.
class RecordingInhibitor final : public platform::SleepInhibitor {
 public:
  RecordingInhibitor(const SimTransport& transport, const testing_support::ScriptedBoxes& boxes)
      : transport_(transport), boxes_(boxes) {}
  bool Acquire(const std::string&, const std::string&) override {
    acquiredAtCommand = transport_.Log().size();
    held = true;
    return true;
  }
  void Release() override {
    if (!held) return;
    held = false;
    releasedAtCommand = transport_.Log().size();
    releasedAtBox = boxes_.shown.size();
  }
  bool held = false;
  size_t acquiredAtCommand = SIZE_MAX, releasedAtCommand = SIZE_MAX, releasedAtBox = SIZE_MAX;

 private:
  const SimTransport& transport_;
  const testing_support::ScriptedBoxes& boxes_;
};

class EndToEndTest : public FlashFixture, public ::testing::WithParamInterface<ImageClass> {};

TEST_P(EndToEndTest, FlashesTheImageIntoTheDrive) {
  const ImageClass kind = GetParam();
  SimDrive& drive = AddDrive(FittingDrive(FlashIdFor(kind)));
  Create(CraftImage(kind));
  RecordingInhibitor inhibitor(transport, services.boxes);
  platform::GetServices().inhibitor = &inhibitor;
  const int updatesBefore = form->comboUpdates;
  std::vector<bool> heldAtBox;
  services.boxes.onShow = [&] { heldAtBox.push_back(drive.HeldExclusively()); };

  Click();

  // What the drive received and programmed.
  ASSERT_EQ(drive.FlashStartCount(), 1u);
  EXPECT_EQ(drive.LastFlashControl(), 0x80);
  EXPECT_TRUE(std::equal(drive.Flash().begin(), drive.Flash().end(), Bin()));
  EXPECT_EQ(drive.EntryCriticalCount(), kind == ImageClass::ShortId ? 1u : 0u);
  EXPECT_EQ(drive.ProfileRecordWrites(), kind == ImageClass::NoProfile ? 0u : 1u);
  if (kind == ImageClass::ShortId) {
    std::vector<uint8_t> record = Bytes({0xDA, 0xC8, 0x01, 0x3A});
    record.insert(record.end(), flash::ProfileData(), flash::ProfileData() + 314);
    EXPECT_EQ(drive.ProfileRecord(), record);  // still intact behind the BIN
  }

  // The command sequence.
  std::vector<uint8_t> expected = {0x1B, 0x00, 0x4E, 0x4E, 0x1B};
  if (kind != ImageClass::NoProfile) expected.insert(expected.end(), {0xDF, 0x3B});
  expected.insert(expected.end(), 32, 0x3B);
  if (kind == ImageClass::ShortId) expected.insert(expected.end(), {0x3B, 0x3C});
  expected.insert(expected.end(), 32, 0x3C);
  expected.insert(expected.end(), {0x3B, 0x12});
  ASSERT_EQ(Opcodes(), expected);
  const size_t firstBlock = kind == ImageClass::NoProfile ? 5 : 7;
  const size_t firstRead = firstBlock + 32 + (kind == ImageClass::ShortId ? 2 : 0);
  for (uint32_t k = 0; k < 32; ++k) {
    const LoggedCommand& write = transport.Log()[firstBlock + k];
    EXPECT_EQ(Offset(write), k * 0x4000);
    EXPECT_EQ(write.cdb[9], 0x00);
    EXPECT_EQ(write.dataOut, BinBytes(k * 0x4000, 0x4000));
    EXPECT_EQ(write.timeoutSeconds, 60u);
    EXPECT_EQ(Offset(transport.Log()[firstRead + k]), k * 0x4000);
  }
  const LoggedCommand& start = transport.Log()[transport.Log().size() - 2];
  EXPECT_EQ(start.timeoutSeconds, 180u);
  EXPECT_EQ(CDDrive::TimeOut, 60);
  // The drive is held exclusively from the first command to its last, and
  // let go before the restart is offered.
  for (size_t i = 0; i < transport.Log().size(); ++i) EXPECT_TRUE(transport.Log()[i].exclusive) << i;
  EXPECT_EQ(heldAtBox, (std::vector<bool>{false, false}));
  EXPECT_FALSE(drive.HeldExclusively());

  // What the user saw.
  std::vector<std::string> statuses = {kWriteBin, kVerify, kInProgress, kCompleted};
  if (kind != ImageClass::NoProfile) statuses.insert(statuses.begin(), kWriteProfile);
  if (kind == ImageClass::ShortId) statuses.insert(statuses.end() - 3, kEntryCritical);
  EXPECT_EQ(form->statusHistory, statuses);
  ASSERT_EQ(services.boxes.shown.size(), 2u);
  EXPECT_EQ(services.boxes.shown[0].kind, BoxKind::Confirmation);
  EXPECT_EQ(services.boxes.shown[0].text, kPrompt);
  EXPECT_EQ(services.boxes.shown[1].kind, BoxKind::Confirmation);
  EXPECT_EQ(services.boxes.shown[1].text, kRestart);
  EXPECT_EQ(services.restart.reboots, 0);
  ASSERT_EQ(form->comboItems.size(), 1u);
  EXPECT_EQ(form->comboItems[0].substr(form->comboItems[0].size() - 4), "Q150");
  EXPECT_EQ(form->comboIndex, 0);
  EXPECT_EQ(form->comboUpdates, updatesBefore + 1);
  EXPECT_EQ(form->progressPosition, 0);
  EXPECT_EQ(form->progressMax, 200);
  EXPECT_EQ(services.cursor.events, (std::vector<std::string>{"hourglass", "default"}));

  // The inhibitor covers every write and is let go before the restart question.
  EXPECT_EQ(inhibitor.acquiredAtCommand, 5u);
  EXPECT_EQ(inhibitor.releasedAtCommand, expected.size() - 1);  // after the flash start, before INQUIRY
  EXPECT_EQ(inhibitor.releasedAtBox, 1u);
  EXPECT_FALSE(inhibitor.held);
}

INSTANTIATE_TEST_SUITE_P(Images, EndToEndTest,
                         ::testing::Values(ImageClass::NoProfile, ImageClass::ShortId, ImageClass::LongId),
                         [](const auto& info) { return std::string(Name(info.param)); });

class FlashSequenceTest : public FlashFixture {};

TEST_F(FlashSequenceTest, RestartOnYesWithTheDefaultCursor) {
  AddDrive();
  Create(CraftImage(ImageClass::NoProfile));
  Click(true, true);
  EXPECT_EQ(services.restart.reboots, 1);
  EXPECT_EQ(services.cursor.events, (std::vector<std::string>{"hourglass", "default", "default"}));
  EXPECT_EQ(form->status, kCompleted);
  EXPECT_EQ(services.inhibitor.acquired, 1);
  EXPECT_EQ(services.inhibitor.released, 1);
  EXPECT_EQ(services.inhibitor.who, platform::ApplicationTitle);
  EXPECT_EQ(services.inhibitor.why, "Updating drive firmware");
}

TEST_F(FlashSequenceTest, NoAtThePromptSendsNothing) {
  SimDrive& drive = AddDrive();
  Create(CraftImage(ImageClass::ShortId));
  Click(false);
  EXPECT_TRUE(transport.Log().empty());
  EXPECT_EQ(services.boxes.shown.size(), 1u);
  EXPECT_TRUE(services.cursor.events.empty());
  EXPECT_EQ(services.inhibitor.acquired, 0);
  EXPECT_EQ(drive.FlashStartCount(), 0u);
}

TEST_F(FlashSequenceTest, BuilderModeOnlyBuilds) {
  AddDrive();
  package = testing_support::CraftBuilderPackage();
  form = std::make_unique<testing_support::TestForm>(package.data());
  form->BuildMode = true;
  form->FlashButtonClick();
  EXPECT_TRUE(transport.Log().empty());
  for (const std::string& text : services.boxes.Texts()) EXPECT_EQ(text.find("Update Firmware"), std::string::npos);
  EXPECT_EQ(services.cursor.events, (std::vector<std::string>{"hourglass", "default"}));
  EXPECT_EQ(services.inhibitor.acquired, 0);
}

struct PromptCase {
  const char* name;
  std::string fwRange;
  std::string driveRevision;
  BoxKind kind;
  bool warningText;
};

class PromptTest : public FlashFixture, public ::testing::WithParamInterface<PromptCase> {};

TEST_P(PromptTest, TextAndKindFollowTheRevisions) {
  const PromptCase& c = GetParam();
  DriveConfig config = FittingDrive();
  config.revision = c.driveRevision;
  AddDrive(config);
  testing_support::PackageTexts texts;
  texts.fwRange = c.fwRange;
  Create(CraftImage(ImageClass::NoProfile, texts));
  Click(false);
  ASSERT_EQ(services.boxes.shown.size(), 1u);
  const std::string r = c.driveRevision;
  const std::string update = "\nUpdate Firmware " + r + " to Q150 ?\n";
  const std::string warning =
      "\nWARNING !!!\n\nYour drive Firmware " + r + " is aready the most updated !\n" + update;
  EXPECT_EQ(services.boxes.shown[0].text, c.warningText ? warning : update);
  EXPECT_EQ(services.boxes.shown[0].kind, c.kind);
}

INSTANTIATE_TEST_SUITE_P(
    Revisions, PromptTest,
    ::testing::Values(PromptCase{"UnsetRangeNewerDrive", "---------", "Q200", BoxKind::Warning, false},
                      PromptCase{"UnsetRangeOlderDrive", "---------", "Q120", BoxKind::Confirmation, false},
                      PromptCase{"EqualRevision", "Q100-Q199", "Q150", BoxKind::Confirmation, true},
                      PromptCase{"NewerDrive", "Q100-Q199", "Q160", BoxKind::Warning, true},
                      PromptCase{"OlderDrive", "Q100-Q199", "Q149", BoxKind::Confirmation, false},
                      // Unsigned byte order: a lower-case letter is above every digit and capital.
                      PromptCase{"LowerCaseRevision", "---------", "q100", BoxKind::Warning, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashSequenceTest, FlashAllNoteSelectsTheWholeFlashStart) {
  DriveConfig config = FittingDrive();
  config.revisionAfterFlash.reset();
  SimDrive& drive = AddDrive(config);
  for (const auto& [note, control] : std::vector<std::pair<std::string, uint8_t>>{
           {"FLASH-ALL", 0xA0}, {"FLASH-ALL parts", 0xA0}, {"flash-all", 0x80}, {"FLASH-AL", 0x80}}) {
    SCOPED_TRACE(note);
    transport.ClearLog();
    testing_support::PackageTexts texts;
    texts.note = note;
    Create(CraftImage(ImageClass::NoProfile, texts));
    Click();
    EXPECT_EQ(drive.LastFlashControl(), control);
    EXPECT_EQ(form->FlashAll, control == 0xA0);
    form.reset();
  }
}

TEST_F(FlashSequenceTest, PollingEndsWhenTheDriveIsNoLongerBecomingReady) {
  SimDrive& drive = AddDrive();
  Create(CraftImage(ImageClass::NoProfile));
  // The test is on the last command of a poll, STOP PLAY/SCAN.
  drive.FailOpcode(0x4E, Fault::Sense(0x02, 0x04, 0x01), 1);
  drive.FailOpcode(0x4E, Fault::Sense(0x02, 0x04, 0x01), 2);
  Click();
  EXPECT_EQ(services.clock.sleeps, 3);
  EXPECT_EQ(services.clock.totalMs, 90u);
  EXPECT_EQ(drive.CountOpcode(0x00), 3u);
  EXPECT_EQ(form->status, kCompleted);
}

TEST_F(FlashSequenceTest, PollingGivesUpAfterFiveHundredPolls) {
  SimDrive& drive = AddDrive();
  Create(CraftImage(ImageClass::NoProfile));
  drive.SetNeverReady();
  drive.FailOpcode(0x4E, Fault::Sense(0x02, 0x04, 0x01), 1, true);
  Click();
  EXPECT_EQ(services.clock.sleeps, 500);
  EXPECT_EQ(services.clock.totalMs, 15000u);
  EXPECT_EQ(drive.CountOpcode(0x00), 500u);
  EXPECT_EQ(drive.CountOpcode(0x4E), 501u);
  // The preparation commands' failures never end the run.
  EXPECT_EQ(form->status, kCompleted);
  EXPECT_EQ(drive.FlashStartCount(), 1u);
}

TEST_F(FlashSequenceTest, ShortImageSendsItsLastBlockWhole) {
  SimDrive& drive = AddDrive();
  const uint32_t length = 262144 + 100;
  Create(CraftImage(ImageClass::NoProfile, {}, length));
  Click();
  const uint32_t blocks = 17;
  EXPECT_EQ(drive.CountOpcode(0x3B), blocks + 1);
  EXPECT_EQ(drive.CountOpcode(0x3C), blocks);
  const LoggedCommand& last = drive.Commands()[5 + blocks - 1];
  EXPECT_EQ(Offset(last), 0x40000u);
  EXPECT_EQ(last.length, 0x4000u);
  EXPECT_EQ(last.dataOut, BinBytes(0x40000, 0x4000));
  EXPECT_TRUE(std::equal(Bin(), Bin() + blocks * 0x4000, drive.Dram().begin()));
  EXPECT_EQ(form->status, kCompleted);
  // The progress bar's range is the image length; the blocks step through it.
  EXPECT_NE(std::find(form->progressHistory.begin(), form->progressHistory.end(), 16 * 0x4000),
            form->progressHistory.end());
}

TEST_F(FlashSequenceTest, LastBlockOfAFullAreaStaysInsideIt) {
  SimDrive& drive = AddDrive();
  Create(CraftImage(ImageClass::NoProfile, {}, 524288 - 1));
  Click();
  EXPECT_EQ(drive.CountOpcode(0x3C), 32u);
  EXPECT_EQ(form->status, kCompleted);
}

TEST_F(FlashSequenceTest, FlashGoesOnWithoutAnInhibitor) {
  SimDrive& drive = AddDrive();
  Create(CraftImage(ImageClass::LongId));
  services.inhibitor.available = false;
  Click();
  EXPECT_EQ(drive.FlashStartCount(), 1u);
  EXPECT_EQ(form->status, kCompleted);
  EXPECT_EQ(services.inhibitor.acquired, 0);
  platform::GetServices().inhibitor = nullptr;
  Click();
  EXPECT_EQ(drive.FlashStartCount(), 2u);
}

TEST_F(FlashSequenceTest, EmptyOrOversizedImageIsNeverFlashed) {
  SimDrive& drive = AddDrive();
  for (uint32_t length : {0u, 524288u + 1}) {
    SCOPED_TRACE(length);
    Create(CraftImage(ImageClass::NoProfile, {}, length));
    form->BinLength = length;
    services.boxes.shown.clear();
    Click();
    EXPECT_TRUE(transport.Log().empty());
    ASSERT_EQ(services.boxes.shown.size(), 1u);
    EXPECT_EQ(services.boxes.shown[0].kind, BoxKind::Error);
    EXPECT_EQ(drive.FlashStartCount(), 0u);
    form.reset();
  }
}

// What cannot work is refused with nothing sent to the drive: a drive that
// only takes the system's safe commands before the prompt, a drive that
// cannot be held exclusively after it. Once the cause is gone, FLASH works.
struct Refusal {
  const char* name;
  std::function<void(DriveConfig&)> configure;
  std::function<void(SimTransport&, SimDrive&)> cause;  // after start-up
  std::function<void(SimTransport&, SimDrive&)> cure;
  bool prompted;
  std::string message;
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class RefusalTest : public FlashFixture, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, NothingIsSent) {
  const Refusal& refusal = GetParam();
  DriveConfig config = FittingDrive();
  config.node = "/dev/sim-sg3";
  config.blockNode = "/dev/sim-sr1";
  refusal.configure(config);
  SimDrive& drive = AddDrive(config);
  Create(CraftImage(ImageClass::ShortId));
  refusal.cause(transport, drive);
  transport.ClearLog();
  Click();

  std::vector<std::string> expected;
  if (refusal.prompted) expected.push_back(kPrompt);
  expected.push_back(refusal.message);
  EXPECT_EQ(services.boxes.Texts(), expected);
  EXPECT_EQ(services.boxes.shown.back().kind, BoxKind::Error);
  EXPECT_TRUE(transport.Log().empty());
  EXPECT_FALSE(drive.HeldExclusively());
  EXPECT_EQ(services.inhibitor.acquired, 0);
  EXPECT_TRUE(services.cursor.events.empty());
  EXPECT_EQ(form->status, "");

  refusal.cure(transport, drive);
  services.boxes.shown.clear();
  Click();
  EXPECT_EQ(form->status, kCompleted);
  EXPECT_EQ(drive.FlashStartCount(), 1u);
}

platform::DeviceHandle otherProgram = platform::kNoHandle;  // another program's descriptor of the drive
const std::string kNotTouched = "\n\nThe drive has not been touched.\n";
const std::string kBusy = "A mounted disc, a burning program or a player may hold it. Unmount or eject the disc and "
                          "close those programs, then press FLASH again.";

INSTANTIATE_TEST_SUITE_P(
    Causes, RefusalTest,
    ::testing::Values(
        Refusal{"AnotherProgramHoldsTheSgNode", [](DriveConfig&) {},
                [](SimTransport& t, SimDrive& d) { ASSERT_EQ(t.Open(d.Device(), otherProgram), 0); },
                [](SimTransport& t, SimDrive&) { t.Close(otherProgram); }, true,
                "\nAnother program is using the drive: /dev/sim-sg3 is busy.\n\n" + kBusy + kNotTouched},
        Refusal{"DiscMounted", [](DriveConfig& c) { c.mounted = true; }, [](SimTransport&, SimDrive&) {},
                [](SimTransport&, SimDrive& d) { d.Config().mounted = false; }, true,
                "\nAnother program is using the drive: /dev/sim-sr1 is busy.\n\n" + kBusy + kNotTouched},
        Refusal{"BlockNodeNotClaimable", [](DriveConfig& c) { c.blockOpenError = EACCES; },
                [](SimTransport&, SimDrive&) {}, [](SimTransport&, SimDrive& d) { d.Config().blockOpenError = 0; },
                true, "\nThe drive cannot be held for the flash: /dev/sim-sr1: " + std::string(std::strerror(EACCES)) + kNotTouched},
        Refusal{"OnlyTheBlockNodeWithoutRawIo",
                [](DriveConfig& c) {
                  c.openError = ENOENT;
                  c.filtersOnBlockNode = true;
                },
                [](SimTransport&, SimDrive&) {}, [](SimTransport&, SimDrive& d) { d.Config().filtersOnBlockNode = false; },
                false,
                "\nThe drive cannot be flashed through /dev/sim-sr1: there the system passes only a few safe commands "
                "to a program without the CAP_SYS_RAWIO capability, and refuses the commands of a flash.\n\nTo flash "
                "it, do one of these and start this program again:\n- load the sg module (sudo modprobe sg);\n- log "
                "in at the machine's seat, or join the drive's group (usually cdrom: sudo usermod -aG cdrom $USER, "
                "then log in again);\n- run this program as root." +
                    kNotTouched}),
    [](const auto& info) { return std::string(info.param.name); });

class ThrowingFlashTest : public FlashFixtureT<testing_support::ThrowingTransport> {};

// The window runs its events through Dispatch: an exception in the middle of
// a flash is shown, and the drive and the inhibitor are let go.
TEST_F(ThrowingFlashTest, ExceptionIsShownAndLetsGoOfTheDrive) {
  SimDrive& drive = AddDrive();
  Create(CraftImage(ImageClass::NoProfile));
  transport.throwAt = 20;
  services.boxes.AnswerYes();
  form->Dispatch(&FlashFormCore::FlashButtonClick);
  ASSERT_EQ(services.boxes.shown.size(), 2u);
  EXPECT_EQ(services.boxes.shown[1].kind, BoxKind::Error);
  EXPECT_EQ(services.boxes.shown[1].caption, platform::ApplicationTitle);
  EXPECT_EQ(services.boxes.shown[1].text, "out of memory");
  EXPECT_FALSE(drive.HeldExclusively());
  EXPECT_EQ(services.inhibitor.released, 1);
  EXPECT_FALSE(services.cursor.hourglass);
  services.boxes.shown.clear();
  Click();
  EXPECT_EQ(form->status, kCompleted);
}

TEST_F(FlashSequenceTest, SecondRunAfterAFailureStartsAfresh) {
  SimDrive& drive = AddDrive(FittingDrive({0x12, 0x34, 0, 0}));
  Create(CraftImage(ImageClass::ShortId));
  drive.FailOpcode(0x3C, Fault::Sense(0x05, 0x24, 0x00));
  Click();
  EXPECT_EQ(form->status, kVerify + ", Read Fail! ");
  EXPECT_FALSE(form->ProfileMatched);  // FF FF 00 00 was written and nothing verified
  EXPECT_EQ(drive.ProfileRecord(), Bytes({0xFF, 0xFF, 0x00, 0x00}));
  Click();
  EXPECT_EQ(form->status, kCompleted);
  EXPECT_EQ(drive.FlashStartCount(), 1u);
  EXPECT_EQ(services.inhibitor.acquired, 2);
  EXPECT_EQ(services.inhibitor.released, 2);
}

// A program with stand-in profiles must not send them to a real drive.
class StandInTest : public FlashFixtureT<RealLookingTransport> {};

TEST_F(StandInTest, ProfileImageIsRefusedOnARealDrive) {
  if (!flash::ProfileDataIsStandIn()) GTEST_SKIP() << "built with the drive maker's profile data";
  SimDrive& drive = AddDrive();
  for (ImageClass kind : {ImageClass::ShortId, ImageClass::LongId}) {
    SCOPED_TRACE(Name(kind));
    Create(CraftImage(kind));
    Click();
    EXPECT_TRUE(transport.Log().empty());
    ASSERT_EQ(services.boxes.shown.size(), 1u);
    EXPECT_EQ(services.boxes.shown[0].kind, BoxKind::Error);
    EXPECT_NE(services.boxes.shown[0].text.find("stand-in"), std::string::npos);
    EXPECT_EQ(drive.ProfileRecordWrites(), 0u);
    EXPECT_EQ(services.inhibitor.acquired, 0);
    form.reset();
  }
}

TEST_F(StandInTest, ImageWithoutProfileFlashesARealDrive) {
  SimDrive& drive = AddDrive();
  Create(CraftImage(ImageClass::NoProfile));
  Click();
  EXPECT_EQ(drive.FlashStartCount(), 1u);
  EXPECT_EQ(form->status, kCompleted);
}

}  // namespace
}  // namespace flash_tests
