// The flash sequence behind the FLASH button, end to end on simulated drives:
// prompts, preparation, profile, blocks, entry critical, checks, flash start,
// refreshed entry, restart offer, and the inhibitor around the flash.
#include <cerrno>
#include <cstring>

#include "flash/ProfileTable.h"
#include "platform/Sha256.h"
#include "platform/Transcript.h"
#include "tests/flash/FlashFixture.h"

namespace flash_tests {
namespace {

using platform::BoxKind;

// A whole run for each class of image, compared with the log written out
// for it: every command byte, data phase and time-out, every box, status
// line and progress change, the cursor, the wait, the inhibitor and the
// refreshed entry, in order.
struct RunCase {
  const char* name;
  ImageClass kind;
  std::string note = "VoxTEL";
  uint32_t binLength = 524288;
  bool restart = false;
};

void PrintTo(const RunCase& c, std::ostream* out) { *out << c.name; }

class EndToEndTest : public FlashFixture, public ::testing::WithParamInterface<RunCase> {};

TEST_P(EndToEndTest, FlashesTheImageIntoTheDrive) {
  const RunCase& c = GetParam();
  SimDrive& drive = AddDrive(FittingDrive(FlashIdFor(c.kind)));
  testing_support::PackageTexts texts;
  texts.note = c.note;
  Create(CraftImage(c.kind, texts, c.binLength));

  Click(true, c.restart);

  FlashPlan plan;
  plan.kind = c.kind;
  plan.bin = Bin();
  plan.binLength = c.binLength;
  plan.flashAll = c.note == "FLASH-ALL";
  plan.restart = c.restart;
  EXPECT_TRUE(testing_support::SameLog(log, ExpectedFlash(plan)));

  // What the drive holds: every block written, and the short-ID record
  // still intact behind the image.
  const uint32_t written = (c.binLength + 0x3FFF) / 0x4000 * 0x4000;
  EXPECT_TRUE(std::equal(Bin(), Bin() + written, drive.Dram().begin()));
  EXPECT_TRUE(std::equal(drive.Flash().begin(), drive.Flash().begin() + written, Bin()));
  if (c.kind == ImageClass::ShortId) {
    EXPECT_EQ(drive.ProfileRecord(), ProfileRecordFor(c.kind));
  }
  // The normal time-out holds for later commands; the entry shows the new revision.
  EXPECT_EQ(CDDrive::TimeOut, 60);
  EXPECT_EQ(form->comboItems, std::vector<std::string>{plan.identity});
  EXPECT_EQ(form->comboIndex, 0);
  EXPECT_EQ(services.inhibitor.who, platform::ApplicationTitle);
  EXPECT_EQ(services.inhibitor.why, "Updating drive firmware");
  // Once the flash is over the program keeps nothing of the drive open:
  // another program may open its node, exclusively too.
  EXPECT_EQ(drive.OpenHandles(), 0u);
  EXPECT_FALSE(drive.HeldExclusively());
}

INSTANTIATE_TEST_SUITE_P(Images, EndToEndTest,
                         ::testing::Values(RunCase{"NoProfile", ImageClass::NoProfile},
                                           RunCase{"ShortId", ImageClass::ShortId},
                                           RunCase{"LongId", ImageClass::LongId},
                                           RunCase{"FlashAllAndRestart", ImageClass::NoProfile, "FLASH-ALL", 524288, true},
                                           // The last block is sent and compared whole, within the area.
                                           RunCase{"HalfImageAndSomeBytes", ImageClass::NoProfile, "VoxTEL", 262144 + 100},
                                           RunCase{"ShortIdOneByteShort", ImageClass::ShortId, "VoxTEL", 524287}),
                         [](const auto& info) { return std::string(info.param.name); });

class FlashSequenceTest : public FlashFixture {};

TEST_F(FlashSequenceTest, NoAtThePromptSendsNothing) {
  AddDrive();
  Create(CraftImage(ImageClass::ShortId));
  Click(false);
  EXPECT_TRUE(testing_support::SameLog(log, {Question(kPrompt)}));
}

TEST_F(FlashSequenceTest, BuilderModeOnlyBuilds) {
  AddDrive();
  package = testing_support::CraftBuilderPackage();
  form = std::make_unique<testing_support::TestForm>(package.data());
  form->BuildMode = true;
  form->FlashButtonClick();  // no model chosen: the build refuses
  EXPECT_TRUE(testing_support::SameLog(
      log, {testing_support::kHourglassLine,
            testing_support::BoxLine(BoxKind::Error, "Error", "Please select a model before building!",
                                     platform::BoxButtons::Ok),
            testing_support::kDefaultCursorLine}));
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
                      // A dash at the first character alone does not lift the restriction.
                      PromptCase{"DashFirstOnlyNewerDrive", "-100-Q199", "Q160", BoxKind::Warning, true},
                      PromptCase{"DashFirstOnlyEqualRevision", "-100-Q199", "Q150", BoxKind::Confirmation, true},
                      // Unsigned byte order: a lower-case letter is above every digit and capital.
                      PromptCase{"LowerCaseRevision", "---------", "q100", BoxKind::Warning, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashSequenceTest, PollingEndsWhenTheDriveIsNoLongerBecomingReady) {
  SimDrive& drive = AddDrive();
  Create(CraftImage(ImageClass::NoProfile));
  // The test is on the last command of a poll, STOP PLAY/SCAN; "not ready,
  // cause not reportable" (02/04/00) is not "becoming ready".
  drive.FailOpcode(0x4E, Fault::Sense(0x02, 0x04, 0x01), 1);
  drive.FailOpcode(0x4E, Fault::Sense(0x02, 0x04, 0x01), 2);
  drive.FailOpcode(0x4E, Fault::Sense(0x02, 0x04, 0x00), 3);
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
  std::string refusedNode;  // the node the hold is refused on, after the prompt; empty: refused before it
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

  testing_support::RunLog expected;
  if (!refusal.refusedNode.empty()) expected = {Question(kPrompt), testing_support::HoldRefusedLine(refusal.refusedNode)};
  expected.push_back(testing_support::BoxLine(BoxKind::Error, "Error", refusal.message, platform::BoxButtons::Ok));
  EXPECT_TRUE(testing_support::SameLog(log, expected));
  EXPECT_FALSE(drive.HeldExclusively());

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
                [](SimTransport& t, SimDrive&) { t.Close(otherProgram); }, "/dev/sim-sg3",
                "\nAnother program is using the drive: /dev/sim-sg3 is busy.\n\n" + kBusy + kNotTouched},
        Refusal{"DiscMounted", [](DriveConfig& c) { c.mounted = true; }, [](SimTransport&, SimDrive&) {},
                [](SimTransport&, SimDrive& d) { d.Config().mounted = false; }, "/dev/sim-sr1",
                "\nAnother program is using the drive: /dev/sim-sr1 is busy.\n\n" + kBusy + kNotTouched},
        Refusal{"BlockNodeNotClaimable", [](DriveConfig& c) { c.blockOpenError = EACCES; },
                [](SimTransport&, SimDrive&) {}, [](SimTransport&, SimDrive& d) { d.Config().blockOpenError = 0; },
                "/dev/sim-sr1", "\nThe drive cannot be held for the flash: /dev/sim-sr1: " + std::string(std::strerror(EACCES)) + kNotTouched},
        Refusal{"OnlyTheBlockNodeWithoutRawIo",
                [](DriveConfig& c) {
                  c.openError = ENOENT;
                  c.filtersOnBlockNode = true;
                },
                [](SimTransport&, SimDrive&) {}, [](SimTransport&, SimDrive& d) { d.Config().filtersOnBlockNode = false; },
                "",
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
  FlashPlan plan;
  plan.bin = Bin();
  const testing_support::RunLog whole = ExpectedFlash(plan);
  testing_support::RunLog expected(whole.begin(), whole.begin() + static_cast<long>(LineOfCommand(whole, 20)) + 1);
  expected.insert(expected.end(), {testing_support::kInhibitReleaseLine, testing_support::kLetGoLine,
                                   testing_support::kDefaultCursorLine,
                                   testing_support::BoxLine(BoxKind::Error, platform::ApplicationTitle, "out of memory",
                                                            platform::BoxButtons::Ok)});
  EXPECT_TRUE(testing_support::SameLog(log, expected));
  EXPECT_FALSE(drive.HeldExclusively());
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

// Each transcript names the image that its flash sent, also when the same
// program flashes another image of the same length right after.
TEST_F(FlashSequenceTest, TranscriptNamesTheImageOfEachFlash) {
  DriveConfig config = FittingDrive();
  config.revisionAfterFlash = "Q121";  // still in the range: the drive fits both images
  AddDrive(config);
  std::vector<std::string> digests;
  for (const uint8_t last : {0x11, 0x22}) {
    std::vector<uint8_t> image = CraftImage(ImageClass::NoProfile);
    image[package::kBinAreaOffset + 524287] = last;
    Create(image);
    Click();
    ASSERT_EQ(form->status, kCompleted);
    digests.push_back(platform::Sha256Hex(Bin(), 524288));
  }
  const std::vector<std::string> texts = services.transcripts.Texts();
  ASSERT_EQ(texts.size(), 2u);
  for (size_t i = 0; i < texts.size(); ++i) {
    const platform::TranscriptReadResult read = platform::ReadTranscript(texts[i]);
    ASSERT_TRUE(read.transcript) << read.error;
    EXPECT_EQ(read.transcript->header.imageSha256, digests[i]) << "flash " << i + 1;
  }
}

// A drive that the start-up could not open makes the program show every
// failed command in a box: during the flash, after the command's answer in
// the transcript, which replays (in TearDown) with those boxes.
TEST_F(FlashSequenceTest, FailedCommandsShownAfterADriveDidNotOpenAreInTheTranscript) {
  DriveConfig locked = FittingDrive();
  locked.openError = EACCES;
  AddDrive(locked);
  AddDrive();
  Create(CraftImage(ImageClass::NoProfile));
  ASSERT_TRUE(CDDrive::ReportErrors);
  Click();
  EXPECT_EQ(form->status, kCompleted);
  const std::vector<std::string> texts = services.transcripts.Texts();
  ASSERT_EQ(texts.size(), 1u);
  const platform::TranscriptReadResult read = platform::ReadTranscript(texts[0]);
  ASSERT_TRUE(read.transcript) << read.error;
  const std::vector<platform::TranscriptRecord>& records = read.transcript->records;
  size_t shown = 0;
  for (size_t i = 1; i < records.size(); ++i) {
    if (records[i].kind != platform::TranscriptRecord::Kind::Box) continue;
    if (records[i].shown.rfind("SenseCode: ", 0) != 0) continue;
    ++shown;
    EXPECT_EQ(records[i - 1].kind, platform::TranscriptRecord::Kind::Answer) << records[i].text;
  }
  EXPECT_GT(shown, 0u);
}

// Through the command library a failed command's message shows the
// library's request status (04), not the drive's SCSI status: the
// transcript keeps it, and the replay goes through the library too and
// shows the same. (The run log sees only the pass-through path's commands.)
TEST_F(FlashSequenceTest, FailureThroughTheCommandLibraryIsReplayedThroughIt) {
  replays = false;
  transport.SetPassThrough(false);
  CDDrive::SetCommandLibrary(&transport);
  SimDrive& drive = AddDrive();
  Create(CraftImage(ImageClass::NoProfile));
  drive.FailOpcode(0x3B, Fault::Sense(0x04, 0x44, 0x00), 3);
  Click();
  EXPECT_EQ(form->status, kWriteBin + ", Fail! ");
  ASSERT_FALSE(services.boxes.shown.empty());
  EXPECT_NE(services.boxes.shown.back().text.find("04 44 00. 04, "), std::string::npos)
      << services.boxes.shown.back().text;
  const std::vector<std::string> texts = services.transcripts.Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_TRUE(testing_support::Replays(package, texts[0]));
}

// A drive whose second INQUIRY at start-up fails is listed as "0" and
// flashed all the same; its transcript names the identity that the first
// INQUIRY found, and replays (in TearDown) with it.
TEST_F(FlashSequenceTest, DriveListedWithoutItsIdentityFlashesAndReplays) {
  SimDrive& drive = AddDrive();
  drive.FailOpcode(0x12, Fault::Sense(0x04, 0x44, 0x00), 2);
  Create(CraftImage(ImageClass::NoProfile));
  ASSERT_EQ(form->comboItems.size(), 1u);
  EXPECT_EQ(form->comboItems[0], "0");
  Click();
  EXPECT_EQ(form->status, kCompleted);
  const std::vector<std::string> texts = services.transcripts.Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_NE(texts[0].find("\"0\" found \"0-0-0  : VOX-TEL QRD-73318K      Q120\"\n"), std::string::npos)
      << texts[0].substr(0, 400);
}

// A program with stand-in profiles must not send them to a real drive.
class StandInTest : public FlashFixtureT<RealLookingTransport> {};

TEST_F(StandInTest, ProfileImageIsRefusedOnARealDrive) {
  if (!flash::ProfileDataIsStandIn()) GTEST_SKIP() << "built with the drive maker's profile data";
  SimDrive& drive = AddDrive();
  replays = false;
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

TEST_F(StandInTest, ImageWithoutProfileFlashesARealDriveAndRestartsTheSystem) {
  SimDrive& drive = AddDrive();
  Create(CraftImage(ImageClass::NoProfile));
  Click(true, true);
  EXPECT_EQ(drive.FlashStartCount(), 1u);
  EXPECT_EQ(form->status, kCompleted);
  // Only here, on drives that pass for the system's, is the restart requested.
  FlashPlan plan;
  plan.bin = Bin();
  plan.restart = true;
  plan.simulated = false;
  EXPECT_TRUE(testing_support::SameLog(log, ExpectedFlash(plan)));
}

}  // namespace
}  // namespace flash_tests
