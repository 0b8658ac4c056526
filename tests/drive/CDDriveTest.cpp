// CDDrive against simulated drives: identity texts, results of both access
// methods, sense handling, error reports, the data buffer, the time-out and
// the rules for OpenCount and the command library.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drive/CDDrive.h"
#include "platform/sim/SimTransport.h"
#include "tests/support/TestDoubles.h"

using platform::BoxKind;
using platform::sim::DriveConfig;
using platform::sim::Fault;
using platform::sim::SimTransport;

namespace {

const std::string kLoadMessage =
    "Unable to load WNASPI32.DLL !\nYou can down the DLL from ";
const std::string kLoadMessageEnd = "\n and copy the DLL to system directory.\n\n";

DriveConfig At(uint8_t host, uint8_t target = 0) {
  DriveConfig config;
  config.host = host;
  config.target = target;
  return config;
}

class CDDriveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CDDrive::SetTransport(&sim);
    CDDrive::SetCommandLibrary(&sim);
  }

  // Drive `index` of the simulation as discovery returns it, with a drive letter.
  platform::DeviceInfo Found(size_t index, uint8_t letter = ' ') {
    platform::DeviceInfo device = sim.Drive(index).Device();
    device.driveLetter = letter;
    return device;
  }

  // A command without data: TEST UNIT READY.
  static uint32_t TestUnitReady(CDDrive& drive) {
    return drive.SendCommand(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0);
  }

  testing_support::ServicesScope services;
  SimTransport sim;
};

// --- Identity ------------------------------------------------------------------

TEST_F(CDDriveTest, PassThroughIdentityHasAddressLetterAndTheTwentyEightInquiryBytes) {
  sim.AddDrive(At(0));
  CDDrive drive(Found(0, 'E'));
  ASSERT_EQ(CDDrive::GetOpenResult(), CDDrive::kOpened);
  EXPECT_EQ(drive.Identity, "0-0-0 E: VOX-TEL QRD-73318K      Q120");
  EXPECT_EQ(drive.Identity.size(), 37u);
  EXPECT_EQ(drive.GetVendorProduct(), "VOX-TEL QRD-73318K      ");
  EXPECT_EQ(drive.GetRevision(), "Q120");
  EXPECT_TRUE(CDDrive::NtMode);
}

TEST_F(CDDriveTest, LibraryIdentityCarriesTheBlankLetter) {
  sim.SetPassThrough(false);
  DriveConfig config = At(12, 1);
  config.vendor = "ACME    ";
  config.product = "CDRW-5200       ";
  config.revision = "3.11";
  sim.AddDrive(config);
  CDDrive drive(' ', 12, 1, 0);
  ASSERT_EQ(CDDrive::GetOpenResult(), CDDrive::kOpened);
  EXPECT_FALSE(CDDrive::NtMode);
  EXPECT_EQ(drive.Identity, "12-1-0  : ACME    CDRW-5200       3.11");
  EXPECT_EQ(drive.GetVendorProduct(), "ACME    CDRW-5200       ");
  EXPECT_EQ(drive.GetRevision(), "3.11");
}

TEST_F(CDDriveTest, ZeroByteInTheVendorCutsAndRightAlignsTheInquiryPart) {
  DriveConfig config = At(0);
  config.vendor = std::string("ABC\0WXYZ", 8);
  sim.AddDrive(config);
  CDDrive drive(Found(0));
  ASSERT_EQ(CDDrive::GetOpenResult(), CDDrive::kOpened);
  EXPECT_EQ(drive.Identity, "0-0-0  : " + std::string(25, ' ') + "ABC");
  EXPECT_EQ(drive.GetVendorProduct(), std::string(24, ' '));
  EXPECT_EQ(drive.GetRevision(), " ABC");
}

TEST_F(CDDriveTest, FailedIdentifyGivesZeroAndBlankParts) {
  sim.AddDrive(At(0));
  CDDrive drive(Found(0));
  EXPECT_TRUE(drive.GetVendorProduct() != std::string(24, ' '));
  sim.Drive(0).Config().answersInquiry = false;
  EXPECT_EQ(drive.GetIdentity(), "0");
  EXPECT_EQ(drive.Identity, "0");
  EXPECT_EQ(drive.GetVendorProduct(), std::string(24, ' '));
  EXPECT_EQ(drive.GetRevision(), "    ");
}

TEST_F(CDDriveTest, BusyOrShortInquiryDoesNotTakeAnotherDrivesAnswer) {
  sim.AddDrive(At(0));
  DriveConfig other = At(1);
  other.vendor = "ACME    ";
  other.product = "CDRW-5200       ";
  sim.AddDrive(other);
  CDDrive first(Found(0));
  CDDrive second(Found(1));
  // BUSY without sense: the transport call went through, but no data came
  // back; a short answer ends before the revision. Either way the shared
  // INQUIRY buffer still holds (part of) the second drive's answer.
  for (const Fault& fault : {Fault::Busy(), Fault::Short(35), Fault::Short(0)}) {
    ASSERT_EQ(second.GetIdentity(), "1-0-0  : ACME    CDRW-5200       Q120");
    sim.Drive(0).FailOpcode(0x12, fault);
    EXPECT_EQ(first.GetIdentity(), "0");
    EXPECT_EQ(first.GetVendorProduct(), std::string(24, ' '));
  }
  // An answer that holds the identification is enough.
  sim.Drive(0).FailOpcode(0x12, Fault::Short(36));
  EXPECT_EQ(first.GetIdentity(), "0-0-0  : VOX-TEL QRD-73318K      Q120");
}

TEST_F(CDDriveTest, IdentityPartsOfAnUnidentifiedDriveAreBlank) {
  sim.AddDrive(At(0));
  CDDrive drive(Found(0));
  drive.Identity.clear();
  EXPECT_EQ(drive.GetVendorProduct(), std::string(24, ' '));
  EXPECT_EQ(drive.GetRevision(), std::string(4, ' '));
}

TEST_F(CDDriveTest, GetIdentityAsksTheDriveAgain) {
  sim.AddDrive(At(0));
  sim.SetRevisionAfterFlash("Q205");
  CDDrive drive(Found(0));
  std::vector<uint8_t> block(16);
  CDDrive::SetDataBuffer(block.data(), 16);
  ASSERT_EQ(drive.SendCommand(0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 1, 16), 1u);
  EXPECT_EQ(drive.GetRevision(), "Q120");  // nothing sent yet
  EXPECT_EQ(drive.GetIdentity(), "0-0-0  : VOX-TEL QRD-73318K      Q205");
  EXPECT_EQ(drive.GetRevision(), "Q205");
}

TEST_F(CDDriveTest, InquiryGoesIntoInquiryDataAndLeavesTheDataBufferAlone) {
  sim.AddDrive(At(0));
  std::vector<uint8_t> buffer(16384, 0xAA);
  CDDrive drive(Found(0));
  CDDrive::SetDataBuffer(buffer.data(), static_cast<uint32_t>(buffer.size()));
  ASSERT_NE(drive.GetIdentity(), "0");
  EXPECT_EQ(std::vector<uint8_t>(16384, 0xAA), buffer);
  EXPECT_EQ(std::memcmp(CDDrive::InquiryData.data() + 8, "VOX-TEL ", 8), 0);
  EXPECT_FALSE(CDDrive::UseInquiryBuffer);
  const auto& inquiry = sim.Log().back();
  EXPECT_EQ(inquiry.cdb, (platform::sim::Cdb{0x12, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(inquiry.direction, platform::Direction::In);
  EXPECT_EQ(inquiry.length, 128u);
}

// --- Results and sense -----------------------------------------------------------

TEST_F(CDDriveTest, ResultIsOneWithPassThroughAndTheLengthWithTheLibrary) {
  DriveConfig config = At(0);
  config.discPresent = true;
  sim.AddDrive(config);
  {
    CDDrive drive(Found(0));
    EXPECT_EQ(TestUnitReady(drive), 1u);
    EXPECT_EQ(drive.SendCommand(0x3C, 0x01, 0x01, 0, 0, 0, 0, 0, 16, 0, 0, 0, 1, 16), 1u);
  }
  sim.SetPassThrough(false);
  CDDrive drive(' ', 0, 0, 0);
  ASSERT_FALSE(CDDrive::NtMode);
  EXPECT_EQ(TestUnitReady(drive), 0u);  // success without data yields 0
  EXPECT_EQ(drive.Status, platform::kSrbCompleted);
  EXPECT_TRUE(drive.CheckSense(0, 0, 0));
  EXPECT_TRUE(drive.LastCommandSucceeded());
  EXPECT_EQ(drive.SendCommand(0x3C, 0x01, 0x01, 0, 0, 0, 0, 0, 16, 0, 0, 0, 1, 16), 16u);
}

TEST_F(CDDriveTest, ZeroLengthDataInCommandGoesOutAsDataIn) {
  sim.AddDrive(At(0));
  CDDrive drive(Found(0));
  TestUnitReady(drive);
  EXPECT_EQ(sim.Log().back().direction, platform::Direction::In);
  EXPECT_EQ(sim.Log().back().length, 0u);
  drive.SendCommand(0x1B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  EXPECT_EQ(sim.Log().back().direction, platform::Direction::Out);
}

TEST_F(CDDriveTest, WholeSenseByteTwoDecides) {
  sim.AddDrive(At(0));
  CDDrive drive(Found(0));
  sim.Drive(0).FailCommand(1, Fault::Sense(0x20, 0, 0));  // incorrect length, key 0
  EXPECT_EQ(TestUnitReady(drive), 0u);
  EXPECT_EQ(drive.SenseKey, 0x20);
  EXPECT_FALSE(drive.CheckSense(0, 0, 0));
  EXPECT_FALSE(drive.LastCommandSucceeded());

  sim.Drive(0).FailCommand(1, Fault::Sense(0x22, 0x3A, 0));
  TestUnitReady(drive);
  EXPECT_FALSE(drive.CheckSense(2, 0x3A, 0));
  EXPECT_TRUE(drive.CheckSense(0x22, 0x3A, 0));
}

TEST_F(CDDriveTest, TransportFailureWithoutSenseLooksCleanToTheSenseTest) {
  sim.AddDrive(At(0));
  CDDrive drive(Found(0));
  sim.Drive(0).FailCommand(1, Fault::Transport(EPERM));
  EXPECT_EQ(drive.SendCommand(0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0x7F, 0, 0, 1, 0), 0u);
  EXPECT_FALSE(drive.IoctlSucceeded);
  EXPECT_TRUE(drive.CheckSense(0, 0, 0));
  EXPECT_FALSE(drive.LastCommandSucceeded());
  EXPECT_EQ(drive.LastError, static_cast<uint32_t>(EPERM));
  EXPECT_EQ(drive.GetErrorText(), "00 00 00. 00, 0001");
  EXPECT_EQ(sim.Drive(0).EntryCriticalCount(), 0u);  // the command never reached the drive
}

TEST_F(CDDriveTest, ErrorTextShowsSenseStatusAndSystemError) {
  sim.AddDrive(At(0));
  CDDrive drive(Found(0));
  sim.Drive(0).FailCommand(1, Fault::Sense(0x05, 0x24, 0x00));
  TestUnitReady(drive);
  EXPECT_EQ(drive.GetErrorText(), "05 24 00. 02, 0000");
  // The status fields keep the failed command's values until the next command.
  EXPECT_EQ(drive.Status, 2);
  EXPECT_EQ(drive.PassThroughSense[0], 0x70);
}

struct FaultCase {
  const char* name;
  Fault fault;
  bool succeeds;              // LastCommandSucceeded
  uint32_t passThroughResult; // SendCommand: only the call and the sense bytes decide
  uint8_t libraryStatus;      // SRB status the library path ends with
};

class LastCommandSucceededTest : public CDDriveTest,
                                 public ::testing::WithParamInterface<FaultCase> {};

TEST_P(LastCommandSucceededTest, PassThrough) {
  DriveConfig config = At(0);
  config.discPresent = true;
  sim.AddDrive(config);
  CDDrive drive(Found(0));
  sim.Drive(0).FailCommand(1, GetParam().fault);
  std::vector<uint8_t> buffer(64);
  CDDrive::SetDataBuffer(buffer.data(), 64);
  const uint32_t result = drive.SendCommand(0x3C, 0x01, 0x01, 0, 0, 0, 0, 0, 64, 0, 0, 0, 1, 64);
  EXPECT_EQ(drive.LastCommandSucceeded(), GetParam().succeeds);
  EXPECT_EQ(result, GetParam().passThroughResult);
}

TEST_P(LastCommandSucceededTest, Library) {
  sim.SetPassThrough(false);
  sim.AddDrive(At(0));
  CDDrive drive(' ', 0, 0, 0);
  sim.Drive(0).FailCommand(1, GetParam().fault);
  std::vector<uint8_t> buffer(64);
  CDDrive::SetDataBuffer(buffer.data(), 64);
  const uint32_t result = drive.SendCommand(0x3C, 0x01, 0x01, 0, 0, 0, 0, 0, 64, 0, 0, 0, 1, 64);
  EXPECT_EQ(drive.LastCommandSucceeded(), GetParam().succeeds);
  EXPECT_EQ(drive.Status, GetParam().libraryStatus);
  EXPECT_EQ(result, GetParam().succeeds ? 64u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EachFaultKind, LastCommandSucceededTest,
    ::testing::Values(
        FaultCase{"Good", Fault::CorruptByte(3), true, 1, platform::kSrbCompleted},
        FaultCase{"CheckCondition", Fault::Sense(0x03, 0x11, 0x00), false, 0, platform::kSrbError},
        FaultCase{"TransportError", Fault::Transport(EPERM), false, 0, platform::kSrbError},
        // BUSY without sense passes the sense test and even SendCommand's own test.
        FaultCase{"Busy", Fault::Busy(), false, 1, platform::kSrbError},
        FaultCase{"TimeOut", Fault::TimeOut(), false, 0, platform::kSrbPending},
        FaultCase{"Aborted", Fault::Aborted(), false, 0, platform::kSrbAborted}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST_F(CDDriveTest, LibraryTimeOutLeavesTheRequestPendingForGood) {
  sim.SetPassThrough(false);
  DriveConfig config = At(0);
  config.discPresent = true;
  sim.AddDrive(config);
  CDDrive drive(' ', 0, 0, 0);
  sim.Drive(0).FailCommand(1, Fault::TimeOut());
  EXPECT_EQ(TestUnitReady(drive), 0u);
  EXPECT_EQ(drive.Status, platform::kSrbPending);
  EXPECT_EQ(drive.LastError, static_cast<uint32_t>(ETIMEDOUT));
  // The next command runs normally in the same request block.
  EXPECT_EQ(drive.SendCommand(0x3C, 0x01, 0x01, 0, 0, 0, 0, 0, 4, 0, 0, 0, 1, 4), 4u);
  EXPECT_EQ(drive.Status, platform::kSrbCompleted);
  EXPECT_EQ(drive.LastError, 0u);
}

// --- Error reports -----------------------------------------------------------------

TEST_F(CDDriveTest, FailingCommandsReportOnlyAfterAFailedOpen) {
  sim.AddDrive(At(0));
  DriveConfig locked = At(1);
  locked.node = "/dev/sim-locked";
  locked.openError = EACCES;
  sim.AddDrive(locked);

  CDDrive drive(Found(0));
  EXPECT_EQ(TestUnitReady(drive), 0u);  // no disc: 02/3A/00
  EXPECT_TRUE(services.boxes.shown.empty());
  EXPECT_FALSE(CDDrive::ReportErrors);

  {
    CDDrive refused(Found(1));
    EXPECT_EQ(CDDrive::GetOpenResult(), CDDrive::kOpenFailed);
  }
  ASSERT_EQ(services.boxes.shown.size(), 2u);
  EXPECT_EQ(services.boxes.shown[0].kind, BoxKind::Plain);
  EXPECT_EQ(services.boxes.shown[0].text, "Error opening: 13, Drive: /dev/sim-locked");
  EXPECT_EQ(services.boxes.shown[1].kind, BoxKind::Plain);
  EXPECT_EQ(services.boxes.shown[1].text,
            "SenseCode: 00 00 00, 00, Error: 13, " + std::string(std::strerror(EACCES)));
  EXPECT_TRUE(CDDrive::ReportErrors);
  EXPECT_EQ(CDDrive::OpenCount, 1);

  TestUnitReady(drive);
  ASSERT_EQ(services.boxes.shown.size(), 3u);
  EXPECT_EQ(services.boxes.shown[2].text,
            "SenseCode: 02 3A 00, 02, Error: 0, " + std::string(std::strerror(0)));
  EXPECT_EQ(CDDrive::MessageText, services.boxes.shown[2].text);
}

// --- Construction in library mode ----------------------------------------------------

TEST_F(CDDriveTest, LibraryLoadFailureShowsItsDialogOnEveryConstruction) {
  sim.SetPassThrough(false);
  sim.Library().loadFails = true;
  sim.AddDrive(At(0));
  for (int i = 0; i < 2; ++i) {
    CDDrive drive(' ', 0, 0, 0);
    EXPECT_EQ(CDDrive::GetOpenResult(), CDDrive::kLoadFailed);
  }
  ASSERT_EQ(services.boxes.shown.size(), 2u);
  for (const auto& box : services.boxes.shown) {
    EXPECT_EQ(box.kind, BoxKind::Error);
    EXPECT_EQ(box.buttons, platform::BoxButtons::Ok);
    EXPECT_EQ(box.text.rfind(kLoadMessage, 0), 0u);
    ASSERT_GT(box.text.size(), kLoadMessage.size() + kLoadMessageEnd.size());
    EXPECT_EQ(box.text.substr(box.text.size() - kLoadMessageEnd.size()), kLoadMessageEnd);
  }
  EXPECT_EQ(sim.LibraryNamesAsked(), (std::vector<std::string>{"WNASPI32.DLL", "WNASPI32.DLL"}));
  EXPECT_EQ(CDDrive::AspiLibrary, nullptr);
  EXPECT_EQ(CDDrive::OpenCount, 0);
  EXPECT_TRUE(sim.Log().empty());
}

TEST_F(CDDriveTest, UnusableLibraryIsReleasedWithoutAMessage) {
  sim.SetPassThrough(false);
  sim.AddDrive(At(0));
  struct Case {
    std::vector<std::string> missing;
    uint8_t supportStatus;
    uint8_t expected;
  };
  const Case cases[] = {
      {{"GetASPI32SupportInfo"}, 1, CDDrive::kMissingEntry},
      {{"SendASPI32Command"}, 1, CDDrive::kMissingEntry},
      {{}, 0x04, CDDrive::kBadSupportStatus},
  };
  for (const Case& c : cases) {
    sim.Library().missingEntries = c.missing;
    sim.Library().supportStatus = c.supportStatus;
    CDDrive drive(' ', 0, 0, 0);
    EXPECT_EQ(CDDrive::GetOpenResult(), c.expected);
    EXPECT_EQ(CDDrive::AspiLibrary, nullptr);
  }
  EXPECT_EQ(sim.LibrariesLoaded(), 3u);
  EXPECT_EQ(sim.LibrariesReleased(), 3u);
  EXPECT_EQ(sim.SupportInfoCalls(), 2u);  // not asked when the entry point is missing
  EXPECT_TRUE(services.boxes.shown.empty());
  EXPECT_EQ(CDDrive::OpenCount, 0);
}

TEST_F(CDDriveTest, LibraryStaysLoadedWhileDrivesComeAndGo) {
  sim.SetPassThrough(false);
  sim.AddDrive(At(0));
  sim.AddDrive(At(1));
  auto first = std::make_unique<CDDrive>(' ', 0, 0, 0);
  auto second = std::make_unique<CDDrive>(' ', 1, 0, 0);
  EXPECT_EQ(CDDrive::OpenCount, 2);
  EXPECT_EQ(sim.LibraryLoadAttempts(), 1u);  // decided once, while no drive was open

  // A failed construction is freed without touching the count or the library.
  auto absent = std::make_unique<CDDrive>(' ', 0, 1, 0);
  EXPECT_EQ(CDDrive::GetOpenResult(), CDDrive::kOpenFailed);
  EXPECT_EQ(absent->Status, platform::sim::kSrbNoDevice);
  EXPECT_EQ(absent->Identity, "0");
  absent.reset();
  EXPECT_EQ(CDDrive::OpenCount, 2);

  second.reset();
  first.reset();
  EXPECT_EQ(CDDrive::OpenCount, 0);
  EXPECT_NE(CDDrive::AspiLibrary, nullptr);  // loaded until the process ends
  EXPECT_EQ(sim.LibrariesReleased(), 0u);

  auto failed = std::make_unique<CDDrive>(' ', 7, 0, 0);  // reloads: no drive is open
  EXPECT_EQ(sim.LibraryLoadAttempts(), 2u);
  failed.reset();
  EXPECT_NE(CDDrive::AspiLibrary, nullptr);
}

TEST_F(CDDriveTest, PassThroughCountsOpenHandles) {
  sim.AddDrive(At(0));
  DriveConfig mute = At(1);
  mute.answersInquiry = false;
  sim.AddDrive(mute);

  auto drive = std::make_unique<CDDrive>(Found(0));
  EXPECT_EQ(CDDrive::OpenCount, 1);
  EXPECT_NE(drive->Handle, platform::kNoHandle);

  auto silent = std::make_unique<CDDrive>(Found(1));
  EXPECT_EQ(CDDrive::GetOpenResult(), CDDrive::kOpenFailed);
  EXPECT_EQ(silent->Handle, platform::kNoHandle);
  EXPECT_EQ(sim.Drive(1).OpenHandles(), 0u);  // closed again after the silent INQUIRY
  silent.reset();
  EXPECT_EQ(CDDrive::OpenCount, 1);

  drive.reset();
  EXPECT_EQ(CDDrive::OpenCount, 0);
  EXPECT_EQ(sim.Drive(0).OpenHandles(), 0u);
  EXPECT_EQ(sim.CloseOrder(), (std::vector<int>{1, 0}));
}

// Letting go of the exclusive hold gives the node back: another program may
// open it and hold it itself until this drive's next command or hold opens
// it again, which fails with the open's error while it cannot. The drive
// stays counted throughout.
TEST_F(CDDriveTest, HoldLetGoGivesTheNodeBackUntilTheNextCommand) {
  DriveConfig config = At(0);
  config.discPresent = true;  // TEST UNIT READY answers GOOD
  sim.AddDrive(config);
  auto drive = std::make_unique<CDDrive>(Found(0));
  ASSERT_EQ(drive->LockExclusive().sysError, 0);
  platform::DeviceHandle other = platform::kNoHandle;
  EXPECT_EQ(sim.Open(Found(0), other), EBUSY);

  drive->UnlockExclusive();
  EXPECT_EQ(sim.Drive(0).OpenHandles(), 0u);
  ASSERT_EQ(sim.Open(Found(0), other), 0);
  ASSERT_EQ(sim.LockExclusive(other).sysError, 0);
  // The other program holds it: this drive's command and hold fail on the open.
  const size_t sent = sim.Log().size();
  EXPECT_EQ(TestUnitReady(*drive), 0u);
  EXPECT_EQ(drive->LastError, static_cast<uint32_t>(EBUSY));
  EXPECT_FALSE(drive->LastCommandSucceeded());
  const platform::HoldOutcome refused = drive->LockExclusive();
  EXPECT_EQ(refused.sysError, EBUSY);
  EXPECT_TRUE(refused.inUse);
  EXPECT_EQ(refused.node, Found(0).node);
  EXPECT_EQ(sim.Log().size(), sent);  // nothing reached the drive
  sim.UnlockExclusive(other);
  sim.Close(other);

  // A node that does not open at all: its error.
  sim.Drive(0).Config().openError = EACCES;
  EXPECT_EQ(TestUnitReady(*drive), 0u);
  EXPECT_EQ(drive->LastError, static_cast<uint32_t>(EACCES));
  sim.Drive(0).Config().openError = 0;

  // The next command opens it again and goes to the drive; so does a hold.
  EXPECT_EQ(TestUnitReady(*drive), 1u);
  EXPECT_EQ(sim.Log().size(), sent + 1);
  EXPECT_EQ(sim.Drive(0).OpenHandles(), 1u);
  drive->UnlockExclusive();
  EXPECT_EQ(drive->LockExclusive().sysError, 0);
  EXPECT_TRUE(sim.Drive(0).HeldExclusively());
  EXPECT_EQ(CDDrive::OpenCount, 1);
  drive->UnlockExclusive();
  drive.reset();
  EXPECT_EQ(CDDrive::OpenCount, 0);
  EXPECT_EQ(sim.Drive(0).OpenHandles(), 0u);

  // Reached through its block node (its sg node refused), a drive keeps
  // that node: it keeps no other program out.
  DriveConfig blockOnly = At(1);
  blockOnly.blockNode = "/dev/sim-sr1";
  blockOnly.openError = EACCES;
  sim.AddDrive(blockOnly);
  CDDrive block(Found(1));
  ASSERT_EQ(block.GetNode(), "/dev/sim-sr1");
  ASSERT_EQ(block.LockExclusive().sysError, 0);
  block.UnlockExclusive();
  EXPECT_EQ(sim.Drive(1).OpenHandles(), 1u);
  EXPECT_FALSE(sim.Drive(1).HeldExclusively());
}

TEST_F(CDDriveTest, AccessMethodIsDecidedOnlyWhileNoDriveIsOpen) {
  sim.AddDrive(At(0));
  sim.AddDrive(At(1));
  std::vector<uint8_t> buffer(32);
  auto first = std::make_unique<CDDrive>(Found(0));
  CDDrive::SetDataBuffer(buffer.data(), 32);
  sim.SetPassThrough(false);
  CDDrive second(Found(1));
  EXPECT_TRUE(CDDrive::NtMode);
  EXPECT_EQ(sim.UsesPassThroughCalls(), 1u);
  EXPECT_EQ(CDDrive::GetDataBuffer(), buffer.data());  // the caller's buffer stays
  EXPECT_EQ(CDDrive::OpenCount, 2);
}

// --- Class-wide settings -----------------------------------------------------------------

TEST_F(CDDriveTest, SetDataBufferWithoutBufferRestoresTheDefault) {
  std::vector<uint8_t> buffer(16384);
  CDDrive::SetDataBuffer(buffer.data(), 16384);
  EXPECT_EQ(CDDrive::GetDataBuffer(), buffer.data());
  EXPECT_EQ(CDDrive::DataLength, 16384u);
  CDDrive::SetDataBuffer(nullptr, 99);
  EXPECT_EQ(CDDrive::GetDataBuffer(), CDDrive::DefaultBuffer.data());
  EXPECT_EQ(CDDrive::DataLength, 2352u);
}

TEST_F(CDDriveTest, ConstructionInstallsTheDefaultBuffer) {
  sim.AddDrive(At(0));
  EXPECT_EQ(CDDrive::GetDataBuffer(), nullptr);
  CDDrive drive(Found(0));
  EXPECT_EQ(CDDrive::GetDataBuffer(), CDDrive::DefaultBuffer.data());
  EXPECT_EQ(CDDrive::DataLength, CDDrive::kDefaultBufferSize);
}

TEST_F(CDDriveTest, TimeOutReachesThePassThroughCall) {
  sim.AddDrive(At(0));
  CDDrive drive(Found(0));
  EXPECT_EQ(sim.Log().back().timeoutSeconds, 60u);
  CDDrive::SetTimeOut(180);
  TestUnitReady(drive);
  EXPECT_EQ(sim.Log().back().timeoutSeconds, 180u);
}

TEST_F(CDDriveTest, TimeOutReachesTheLibraryWait) {
  sim.SetPassThrough(false);
  sim.AddDrive(At(0));
  CDDrive drive(' ', 0, 0, 0);
  CDDrive::SetTimeOut(180);
  TestUnitReady(drive);
  EXPECT_EQ(sim.CompletionWaits(), (std::vector<uint32_t>{60000, 180000}));
  const auto& request = drive.AspiRequest;
  EXPECT_EQ(request.flags, platform::kSrbDirIn | platform::kSrbEventNotify);
  EXPECT_EQ(request.senseLength, 14);
  EXPECT_EQ(request.cdbLength, 12);
  drive.SendCommand(0x1B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  EXPECT_EQ(request.flags, platform::kSrbDirOut | platform::kSrbEventNotify);
}

TEST_F(CDDriveTest, NoWaitWhenTheLibraryCompletesAtOnce) {
  sim.SetPassThrough(false);
  sim.Library().completesAtOnce = true;
  sim.AddDrive(At(0));
  CDDrive drive(' ', 0, 0, 0);
  EXPECT_EQ(CDDrive::GetOpenResult(), CDDrive::kOpened);
  EXPECT_TRUE(sim.CompletionWaits().empty());
}

TEST_F(CDDriveTest, ResetClassStateRestoresProgramStart) {
  sim.SetPassThrough(false);
  sim.AddDrive(At(0));
  {
    CDDrive drive(' ', 0, 0, 0);
    CDDrive::SetTimeOut(180);
  }
  CDDrive::ReportErrors = true;
  CDDrive::ResetClassState();
  EXPECT_FALSE(CDDrive::NtMode);
  EXPECT_FALSE(CDDrive::ReportErrors);
  EXPECT_EQ(CDDrive::OpenCount, 0);
  EXPECT_EQ(CDDrive::TimeOut, 60);
  EXPECT_EQ(CDDrive::GetOpenResult(), CDDrive::kOpenFailed);
  EXPECT_EQ(CDDrive::AspiLibrary, nullptr);
  EXPECT_EQ(CDDrive::GetDataBuffer(), nullptr);
  EXPECT_EQ(CDDrive::GetTransport(), nullptr);
  EXPECT_EQ(sim.LibrariesReleased(), 1u);
}

}  // namespace
