// CDDrives: discovery on both access methods, slots without gaps, the limit
// of 24 drives, Select bounds and destruction in reverse order.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "drive/CDDrive.h"
#include "drive/CDDrives.h"
#include "platform/sim/SimTransport.h"
#include "tests/support/TestDoubles.h"

using platform::sim::DriveConfig;
using platform::sim::SimTransport;

namespace {

DriveConfig At(uint8_t host, uint8_t target = 0, const std::string& revision = "Q120") {
  DriveConfig config;
  config.host = host;
  config.target = target;
  config.revision = revision;
  return config;
}

class CDDrivesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CDDrive::SetTransport(&sim);
    CDDrive::SetCommandLibrary(&sim);
  }

  testing_support::ServicesScope services;
  SimTransport sim;
};

TEST_F(CDDrivesTest, PassThroughDrivesAreListedInAddressOrderAndTheFirstIsCurrent) {
  sim.AddDrive(At(2, 0, "R002"));
  sim.AddDrive(At(0, 1, "R001"));
  sim.AddDrive(At(0, 0, "R000"));
  CDDrives drives;
  ASSERT_EQ(drives.GetCount(), 3);
  EXPECT_EQ(drives.Slots[0]->GetRevision(), "R000");
  EXPECT_EQ(drives.Slots[1]->GetRevision(), "R001");
  EXPECT_EQ(drives.Slots[2]->GetRevision(), "R002");
  EXPECT_EQ(drives.Slots[1]->Identity.substr(0, 9), "0-1-0  : ");
  EXPECT_EQ(drives.Current, drives.Slots[0]);
  EXPECT_EQ(drives.Index, 0);
  EXPECT_EQ(CDDrive::OpenCount, 3);
}

TEST_F(CDDrivesTest, DrivesThatDifferOnlyInTheirChannelAreEachOpened) {
  sim.AddDrive(At(0, 0, "R000"));
  DriveConfig second = At(0, 0, "R100");
  second.channel = 1;
  sim.AddDrive(second);
  CDDrives drives;
  ASSERT_EQ(drives.GetCount(), 2);
  EXPECT_EQ(drives.Slots[0]->GetRevision(), "R000");
  EXPECT_EQ(drives.Slots[1]->GetRevision(), "R100");
  EXPECT_EQ(sim.OpenOrder(), (std::vector<int>{0, 1}));
}

TEST_F(CDDrivesTest, DriveThatFailsLeavesNoGap) {
  sim.AddDrive(At(0, 0, "R000"));
  DriveConfig locked = At(1);
  locked.openError = EACCES;
  sim.AddDrive(locked);
  DriveConfig silent = At(2);
  silent.answersInquiry = false;
  sim.AddDrive(silent);
  sim.AddDrive(At(3, 0, "R003"));
  CDDrives drives;
  ASSERT_EQ(drives.GetCount(), 2);
  EXPECT_EQ(drives.Slots[0]->GetRevision(), "R000");
  EXPECT_EQ(drives.Slots[1]->GetRevision(), "R003");
  EXPECT_EQ(drives.Slots[2], nullptr);
  EXPECT_EQ(CDDrive::OpenCount, 2);
  EXPECT_EQ(sim.Drive(1).OpenHandles() + sim.Drive(2).OpenHandles(), 0u);
}

// A drive whose SCSI generic node is missing or may not be opened is tried
// on its block node, with no message when that works. A busy node is not
// passed by: another program holds the drive, and the user is told. What
// the transport says the user can do about the open's code comes on a line
// below the open failure's message (here for EACCES).
TEST_F(CDDrivesTest, EachDriveFallsBackToItsBlockNodeButNotPastABusyOne) {
  struct Case {
    int sgError, blockError;
    std::string opened;                // the node the drive is reached through; empty: dropped
    std::vector<std::string> boxes;   // what the user sees
  };
  const std::string busy = "SenseCode: 00 00 00, 00, Error: 16, " + std::string(std::strerror(EBUSY));
  const std::string denied = "SenseCode: 00 00 00, 00, Error: 13, " + std::string(std::strerror(EACCES));
  const std::vector<Case> cases = {
      {ENOENT, 0, "/dev/sim-sr1", {}},
      {EACCES, 0, "/dev/sim-sr1", {}},
      {EBUSY, 0, "", {"Error opening: 16, Drive: /dev/sim-sg1", busy}},
      {ENOENT, EACCES, "", {"Error opening: 13, Drive: /dev/sim-sr1\nAsk for the rights.", denied}},
      {EACCES, ENOENT, "", {"Error opening: 13, Drive: /dev/sim-sg1\nAsk for the rights.", denied}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.sgError) + "/" + std::to_string(c.blockError));
    testing_support::ServicesScope scope;
    SimTransport local;
    local.SetOpenRemedy(EACCES, "Ask for the rights.");
    CDDrive::SetTransport(&local);
    local.AddDrive(At(0, 0, "R000"));
    DriveConfig config = At(1, 0, "R100");
    config.node = "/dev/sim-sg1";
    config.blockNode = "/dev/sim-sr1";
    config.openError = c.sgError;
    config.blockOpenError = c.blockError;
    local.AddDrive(config);
    local.AddDrive(At(2, 0, "R200"));
    CDDrives drives;
    EXPECT_EQ(scope.boxes.Texts(), c.boxes);
    ASSERT_EQ(drives.GetCount(), c.opened.empty() ? 2 : 3);
    EXPECT_EQ(drives.Slots[drives.GetCount() - 1u]->GetRevision(), "R200");  // the others are listed
    if (!c.opened.empty()) {
      EXPECT_EQ(drives.Slots[1]->GetNode(), c.opened);
      EXPECT_EQ(drives.Slots[1]->Identity, "1-0-0  : VOX-TEL QRD-73318K      R100");
      EXPECT_TRUE(local.Log()[1].viaBlockNode);
    }
    CDDrive::SetTransport(nullptr);
  }
}

TEST_F(CDDrivesTest, LibraryWalkProbesFortyAddressesInOrder) {
  sim.SetPassThrough(false);
  sim.AddDrive(At(2, 0, "R200"));
  sim.AddDrive(At(0, 1, "R001"));
  sim.AddDrive(At(0, 2, "R002"));   // target 2 is never probed
  sim.AddDrive(At(20, 0, "R200"));  // nor host adapter 20
  CDDrives drives;
  ASSERT_EQ(drives.GetCount(), 2);
  EXPECT_EQ(drives.Slots[0]->Identity, "0-1-0  : VOX-TEL QRD-73318K      R001");
  EXPECT_EQ(drives.Slots[1]->Identity, "2-0-0  : VOX-TEL QRD-73318K      R200");
  EXPECT_EQ(drives.Slots[0]->DriveLetter, ' ');

  for (const auto& command : sim.Log()) {
    ASSERT_EQ(command.opcode(), 0x12);
    ASSERT_TRUE(command.viaLibrary);
  }
  EXPECT_EQ(sim.Log().size(), 40u);
  EXPECT_EQ(sim.Drive(2).Commands().size(), 0u);
  EXPECT_EQ(sim.Drive(3).Commands().size(), 0u);
}

TEST_F(CDDrivesTest, LibraryWalkWithoutTheLibraryShowsTheLoadDialogFortyTimes) {
  sim.SetPassThrough(false);
  sim.Library().loadFails = true;
  sim.AddDrive(At(0));
  CDDrives drives;
  EXPECT_EQ(drives.GetCount(), 0);
  EXPECT_EQ(drives.Current, nullptr);
  EXPECT_EQ(services.boxes.shown.size(), 40u);
  EXPECT_EQ(sim.LibraryLoadAttempts(), 40u);
  for (const auto& box : services.boxes.shown) EXPECT_EQ(box.kind, platform::BoxKind::Error);
}

TEST_F(CDDrivesTest, EmptyListSelectsNothing) {
  CDDrives drives;
  EXPECT_EQ(drives.GetCount(), 0);
  EXPECT_FALSE(drives.Select(0));
  EXPECT_EQ(drives.Current, nullptr);
  EXPECT_EQ(sim.EnumerateCalls(), 1u);
}

TEST_F(CDDrivesTest, SelectKeepsWithinTheList) {
  for (uint8_t host = 0; host < 3; ++host) sim.AddDrive(At(host));
  CDDrives drives;
  ASSERT_EQ(drives.GetCount(), 3);
  EXPECT_FALSE(drives.Select(-1));
  EXPECT_FALSE(drives.Select(3));
  EXPECT_EQ(drives.Index, 0);
  EXPECT_EQ(drives.Current, drives.Slots[0]);
  EXPECT_TRUE(drives.Select(2));
  EXPECT_EQ(drives.Index, 2);
  EXPECT_EQ(drives.Current, drives.Slots[2]);
  EXPECT_FALSE(drives.Select(3));
  EXPECT_EQ(drives.Current, drives.Slots[2]);
}

TEST_F(CDDrivesTest, PassThroughDiscoveryStopsAtTwentyFourDrives) {
  for (uint8_t host = 0; host < 30; ++host) sim.AddDrive(At(host));
  CDDrives drives;
  EXPECT_EQ(drives.GetCount(), CDDrives::kMaxDrives);
  EXPECT_EQ(sim.OpenOrder().size(), 24u);  // no drive beyond the 24th is even opened
  EXPECT_EQ(drives.Slots[23]->HostAdapter, 23);
  EXPECT_EQ(CDDrive::OpenCount, 24);
}

TEST_F(CDDrivesTest, LibraryDiscoveryStopsAtTwentyFourDrives) {
  sim.SetPassThrough(false);
  for (uint8_t host = 0; host < 20; ++host) {
    sim.AddDrive(At(host, 0));
    sim.AddDrive(At(host, 1));
  }
  CDDrives drives;
  EXPECT_EQ(drives.GetCount(), CDDrives::kMaxDrives);
  EXPECT_EQ(sim.Log().size(), 24u);
  EXPECT_EQ(drives.Slots[23]->HostAdapter, 11);
  EXPECT_EQ(drives.Slots[23]->Target, 1);
}

TEST_F(CDDrivesTest, DestructionRunsInReverseOrderOfDiscovery) {
  for (uint8_t host = 0; host < 3; ++host) sim.AddDrive(At(host));
  {
    CDDrives drives;
    ASSERT_EQ(drives.GetCount(), 3);
    EXPECT_EQ(sim.OpenOrder(), (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(sim.CloseOrder().empty());
  }
  EXPECT_EQ(sim.CloseOrder(), (std::vector<int>{2, 1, 0}));
  EXPECT_EQ(CDDrive::OpenCount, 0);
}

TEST_F(CDDrivesTest, LibraryListLeavesTheLibraryLoaded) {
  sim.SetPassThrough(false);
  sim.AddDrive(At(0));
  sim.AddDrive(At(1));
  {
    CDDrives drives;
    EXPECT_EQ(CDDrive::OpenCount, 2);
  }
  EXPECT_EQ(CDDrive::OpenCount, 0);
  EXPECT_NE(CDDrive::AspiLibrary, nullptr);
}

}  // namespace
