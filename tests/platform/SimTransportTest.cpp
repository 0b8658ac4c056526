// The simulated drive's protocol, fault injection and logs, driven directly
// through the transport interface.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <numeric>
#include <vector>

#include "platform/sim/SimTransport.h"

using platform::CommandOutcome;
using platform::DeviceHandle;
using platform::Direction;
using platform::sim::Cdb;
using platform::sim::DriveConfig;
using platform::sim::Fault;
using platform::sim::SimDrive;
using platform::sim::SimTransport;

namespace {

class SimTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DriveConfig config;
    config.flashId = {0xBF, 0xD6, 0x00, 0x01};
    drive = &sim.AddDrive(config);
    ASSERT_EQ(sim.Open(drive->Device(), handle), 0);
  }

  CommandOutcome Send(const Cdb& cdb, Direction direction, std::vector<uint8_t>& data) {
    return sim.Execute(handle, cdb, direction, data.empty() ? nullptr : data.data(),
                       static_cast<uint32_t>(data.size()), 60);
  }
  CommandOutcome Send(const Cdb& cdb) {
    std::vector<uint8_t> none;
    return Send(cdb, Direction::In, none);
  }
  static Cdb WriteBuffer(uint32_t offset, uint32_t length, uint8_t control) {
    return {0x3B, 0x05, 0x01, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset),
            uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), control, 0, 0};
  }
  static Cdb ReadBuffer(uint32_t offset, uint32_t length) {
    return {0x3C, 0x01, 0x01, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset),
            uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), 0, 0, 0};
  }
  static void ExpectSense(const CommandOutcome& outcome, uint8_t key, uint8_t asc, uint8_t ascq) {
    EXPECT_TRUE(outcome.transportOk);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.sense[0], 0x70);
    EXPECT_EQ(outcome.sense[2], key);
    EXPECT_EQ(outcome.sense[12], asc);
    EXPECT_EQ(outcome.sense[13], ascq);
  }
  static void ExpectGood(const CommandOutcome& outcome) {
    EXPECT_TRUE(outcome.transportOk);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.sense[2], 0);
  }

  SimTransport sim;
  SimDrive* drive = nullptr;
  DeviceHandle handle = platform::kNoHandle;
};

TEST_F(SimTransportTest, BlocksLandAtTheirOffsetAndReadBack) {
  std::vector<uint8_t> block(0x4000);
  std::iota(block.begin(), block.end(), uint8_t{7});
  ExpectGood(Send(WriteBuffer(0x7C000, 0x4000, 0x00), Direction::Out, block));
  EXPECT_TRUE(std::equal(block.begin(), block.end(), drive->Dram().begin() + 0x7C000));
  EXPECT_EQ(sim.Log().back().dataOut, block);

  std::vector<uint8_t> back(0x4000);
  ExpectGood(Send(ReadBuffer(0x7C000, 0x4000), Direction::In, back));
  EXPECT_EQ(back, block);
}

TEST_F(SimTransportTest, BadWriteBufferFieldsAreRefused) {
  std::vector<uint8_t> block(0x4000, 1);
  ExpectSense(Send(WriteBuffer(0x8C001, 0x4000, 0x00), Direction::Out, block), 5, 0x24, 0);  // past DRAM
  ExpectSense(Send(WriteBuffer(0, 0x2000, 0x00), Direction::Out, block), 5, 0x24, 0);  // length differs
  ExpectSense(Send(WriteBuffer(0, 0x4000, 0x00), Direction::In, block), 5, 0x24, 0);   // wrong direction
  ExpectSense(Send(WriteBuffer(0, 0x4000, 0x12), Direction::Out, block), 5, 0x24, 0);  // unknown control
  EXPECT_EQ(std::count(drive->Dram().begin(), drive->Dram().end(), 1), 0);
  ExpectSense(Send({0x3B, 0x02, 0x01, 0, 0, 0, 0, 0x40, 0, 0, 0, 0}, Direction::Out, block), 5, 0x24, 0);
}

TEST_F(SimTransportTest, ProfileRecordEntryCriticalAndFlashStart) {
  std::vector<uint8_t> record = {0xDA, 0xC8, 0x01, 0x3A, 0x55, 0x66};
  ExpectGood(Send(WriteBuffer(0x80000, 6, 0x7F), Direction::Out, record));
  EXPECT_EQ(drive->ProfileRecordOffset(), 0x80000u);
  EXPECT_EQ(drive->ProfileRecord(), record);
  ExpectGood(Send(WriteBuffer(0, 6, 0x7F), Direction::Out, record));  // long form, at 0
  EXPECT_EQ(drive->ProfileRecordOffset(), 0u);
  EXPECT_EQ(drive->ProfileRecordWrites(), 2u);

  ExpectGood(Send(WriteBuffer(0, 0, 0x7F)));
  EXPECT_EQ(drive->EntryCriticalCount(), 1u);
  EXPECT_FALSE(drive->Flashed());

  std::vector<uint8_t> answer(16, 0xEE);
  ExpectGood(Send(WriteBuffer(0, 0, 0xA0), Direction::In, answer));
  EXPECT_EQ(answer, std::vector<uint8_t>(16, 0));
  EXPECT_EQ(drive->LastFlashControl(), 0xA0);
  EXPECT_TRUE(std::equal(drive->Flash().begin(), drive->Flash().end(), drive->Dram().begin()));
  EXPECT_EQ(drive->CurrentRevision(), "Q120");  // no new revision configured
}

TEST_F(SimTransportTest, RevisionAfterFlashShowsInInquiry) {
  sim.SetRevisionAfterFlash("Q3");
  std::vector<uint8_t> answer(16);
  Send(WriteBuffer(0, 0, 0x80), Direction::In, answer);
  std::vector<uint8_t> inquiry(128);
  ExpectGood(Send({0x12, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0}, Direction::In, inquiry));
  EXPECT_EQ(std::string(inquiry.begin() + 32, inquiry.begin() + 36), "Q3  ");
  EXPECT_EQ(inquiry[0], 5);
}

TEST_F(SimTransportTest, FlashIdAndE2Writes) {
  std::vector<uint8_t> id(128, 0xEE);
  ExpectGood(Send({0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Direction::In, id));
  EXPECT_EQ(id[0], 0xBF);
  EXPECT_EQ(id[1], 0xD6);
  EXPECT_EQ(id[3], 0x01);
  EXPECT_EQ(id[4], 0x00);
  ExpectGood(Send({0xDF, 0x0A, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0x5A, 0, 0}));
  EXPECT_EQ(drive->E2()[0xFFFF], 0x5A);
  ExpectSense(Send({0xDF, 0x33, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 5, 0x24, 0);
}

TEST_F(SimTransportTest, ReadinessAndDisc) {
  drive->Config().becomingReadyPolls = 2;
  const Cdb tur{};
  const Cdb stopPlay{0x4E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ExpectSense(Send(tur), 2, 0x04, 0x01);
  // While it is becoming ready the drive answers the next command so too.
  ExpectSense(Send(stopPlay), 2, 0x04, 0x01);
  ExpectSense(Send(tur), 2, 0x04, 0x01);
  ExpectSense(Send(tur), 2, 0x3A, 0x00);  // ready, but no disc
  std::vector<uint8_t> sector(8);
  ExpectSense(Send({0xBE, 0, 0, 0, 0, 0x10, 0, 0, 1, 0x10, 0, 0}, Direction::In, sector), 2, 0x3A, 0);
  drive->Config().discPresent = true;
  ExpectGood(Send(tur));
  ExpectGood(Send({0xBE, 0, 0, 0, 0, 0x10, 0, 0, 1, 0x10, 0, 0}, Direction::In, sector));
  drive->SetNeverReady();
  for (int i = 0; i < 600; ++i) ASSERT_EQ(Send(tur).sense[12], 0x04);
  ExpectSense(Send(stopPlay), 2, 0x04, 0x01);
  ExpectGood(Send({0x1B, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}));
  drive->SetNeverReady(false);
  ExpectGood(Send(tur));
  ExpectGood(Send(stopPlay));
  ExpectSense(Send({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 5, 0x20, 0);
}

TEST_F(SimTransportTest, FaultsCountFromArmingAndKeepTheDriveUntouched) {
  const Cdb tur{};
  drive->Config().discPresent = true;
  drive->FailCommand(2, Fault::Transport(EPERM));
  ExpectGood(Send(tur));
  CommandOutcome failed = Send(WriteBuffer(0, 0, 0x7F));
  EXPECT_FALSE(failed.transportOk);
  EXPECT_EQ(failed.sysError, EPERM);
  EXPECT_EQ(failed.sense[2], 0);
  EXPECT_EQ(drive->EntryCriticalCount(), 0u);
  EXPECT_TRUE(sim.Log().back().faulted);
  ExpectGood(Send(tur));  // fired once
  EXPECT_EQ(drive->ArmedFaults(), 0u);

  drive->FailOpcode(0x3C, Fault::CorruptByte(5, 0x80), 2);
  std::vector<uint8_t> back(16);
  ExpectGood(Send(ReadBuffer(0, 16), Direction::In, back));
  EXPECT_EQ(back[5], 0x00);
  ExpectGood(Send(tur));
  ExpectGood(Send(ReadBuffer(0, 16), Direction::In, back));
  EXPECT_EQ(back[5], 0x80);

  drive->FailOpcode(0x00, Fault::Busy(), 1, true);
  for (int i = 0; i < 3; ++i) {
    CommandOutcome busy = Send(tur);
    EXPECT_TRUE(busy.transportOk);
    EXPECT_EQ(busy.status, 8);
    EXPECT_EQ(busy.sense[2], 0);
  }
  drive->ClearFaults();
  CommandOutcome timedOut;
  drive->FailCommand(1, Fault::TimeOut());
  timedOut = Send(tur);
  EXPECT_FALSE(timedOut.transportOk);
  EXPECT_TRUE(timedOut.timedOut);
  EXPECT_EQ(timedOut.sense[2], 0);
  drive->FailCommand(1, Fault::Sense(0x03, 0x0C, 0x00));
  ExpectSense(Send(tur), 3, 0x0C, 0);

  // A short transfer brings the first bytes; the rest of the buffer keeps
  // what it held, and the residual says how much that is.
  for (uint32_t i = 0; i < 16; ++i) drive->Dram()[i] = static_cast<uint8_t>(0xA0 + i);
  std::fill(back.begin(), back.end(), 0x11);
  drive->FailOpcode(0x3C, Fault::Short(6));
  CommandOutcome cut = Send(ReadBuffer(0, 16), Direction::In, back);
  ExpectGood(cut);
  EXPECT_EQ(cut.residual, 10u);
  EXPECT_EQ(back, (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                        0x11, 0x11, 0x11}));
  EXPECT_TRUE(sim.Log().back().faulted);
  // Without a data-in phase there is nothing to cut short; INQUIRY sends no
  // more than its answer.
  drive->FailCommand(1, Fault::Short(0));
  ExpectGood(Send(tur));
  EXPECT_EQ(sim.Log().back().residual, 0u);
  EXPECT_FALSE(sim.Log().back().faulted);
  std::vector<uint8_t> inquiry(128);
  EXPECT_EQ(Send({0x12, 0, 0, 0, 128, 0, 0, 0, 0, 0, 0, 0}, Direction::In, inquiry).residual, 32u);
}

// Nodes, exclusive access and the command filter as Linux has them.
TEST(SimNodesTest, BlockNodeExclusiveAccessAndTheCommandFilter) {
  SimTransport sim;
  DriveConfig config;
  config.node = "/dev/sim-sg0";
  config.blockNode = "/dev/sim-sr0";
  config.filtersOnBlockNode = true;
  SimDrive& drive = sim.AddDrive(config);
  platform::DeviceInfo block = drive.Device();
  EXPECT_EQ(block.blockDevice, "/dev/sim-sr0");
  block.node = block.blockDevice;
  DeviceHandle viaGeneric = platform::kNoHandle, viaBlock = platform::kNoHandle, other = platform::kNoHandle;
  ASSERT_EQ(sim.Open(drive.Device(), viaGeneric), 0);
  ASSERT_EQ(sim.Open(block, viaBlock), 0);

  // The filter: only on the block node, only for a flash's commands.
  EXPECT_FALSE(sim.FiltersCommands(viaGeneric));
  EXPECT_TRUE(sim.FiltersCommands(viaBlock));
  std::vector<uint8_t> data(16);
  for (const Cdb& refused : {Cdb{0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 16, 0, 0, 0}, Cdb{0xDF, 0x11}}) {
    const CommandOutcome outcome = sim.Execute(viaBlock, refused, Direction::Out, data.data(), 16, 60);
    EXPECT_FALSE(outcome.transportOk);
    EXPECT_EQ(outcome.sysError, EPERM);
  }
  EXPECT_EQ(drive.Dram()[0], 0);
  EXPECT_TRUE(sim.Execute(viaBlock, Cdb{0x12, 0, 0, 0, 16}, Direction::In, data.data(), 16, 60).transportOk);
  EXPECT_TRUE(sim.Execute(viaGeneric, Cdb{0xDF, 0x11}, Direction::In, data.data(), 16, 60).transportOk);

  // Held exclusively, the SCSI generic node opens for nobody else; it cannot
  // be held while someone else has it open, nor while a disc is mounted.
  ASSERT_EQ(sim.Open(drive.Device(), other), 0);
  platform::HoldOutcome held = sim.LockExclusive(viaGeneric);
  EXPECT_EQ(held.sysError, EBUSY);
  EXPECT_TRUE(held.inUse);
  EXPECT_EQ(held.node, "/dev/sim-sg0");
  sim.Close(other);
  drive.Config().mounted = true;
  held = sim.LockExclusive(viaGeneric);
  EXPECT_TRUE(held.inUse);
  EXPECT_EQ(held.node, "/dev/sim-sr0");
  drive.Config().mounted = false;
  ASSERT_EQ(sim.LockExclusive(viaGeneric).sysError, 0);
  EXPECT_TRUE(drive.HeldExclusively());
  EXPECT_EQ(sim.Open(drive.Device(), other), EBUSY);
  ASSERT_EQ(sim.Open(block, other), 0);  // the block node still opens without a claim
  sim.Close(other);
  sim.UnlockExclusive(viaGeneric);
  EXPECT_FALSE(drive.HeldExclusively());
  ASSERT_EQ(sim.Open(drive.Device(), other), 0);
}

TEST_F(SimTransportTest, LogCountsOpcodesAndHandles) {
  Send(Cdb{});
  Send(Cdb{});
  Send({0x4E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(sim.CountOpcode(0x00), 2u);
  EXPECT_EQ(drive->CountOpcode(0x4E), 1u);
  EXPECT_EQ(sim.Log().back().timeoutSeconds, 60u);
  sim.Close(handle);
  CommandOutcome stale = Send(Cdb{});
  EXPECT_FALSE(stale.transportOk);
  EXPECT_EQ(stale.sysError, EBADF);
  EXPECT_EQ(sim.CloseOrder(), (std::vector<int>{0}));
  EXPECT_EQ(drive->OpenHandles(), 0u);
}

TEST(SimLibraryTest, RequestsCompleteOnWaitAndTimedOutOnesNever) {
  SimTransport sim;
  sim.SetPassThrough(false);
  DriveConfig config;
  config.host = 1;
  config.discPresent = true;  // the requests below are TEST UNIT READY
  sim.AddDrive(config);
  EXPECT_FALSE(sim.UsesPassThrough());
  auto library = sim.LoadAspiLibrary("WNASPI32.DLL");
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(library->GetSupportInfo(), 0x0102u);

  platform::AspiRequest request;
  request.hostAdapter = 1;
  request.flags = platform::kSrbDirIn | platform::kSrbEventNotify;
  request.senseLength = 14;
  library->SendCommand(request);
  EXPECT_EQ(request.status, platform::kSrbPending);
  EXPECT_TRUE(library->WaitForCompletion(request, 1000));
  EXPECT_EQ(request.status, platform::kSrbCompleted);

  sim.Drive(0).FailCommand(1, Fault::TimeOut());
  library->SendCommand(request);
  EXPECT_FALSE(library->WaitForCompletion(request, 2000));
  EXPECT_EQ(request.status, platform::kSrbPending);
  EXPECT_FALSE(library->WaitForCompletion(request, 3000));  // abandoned: never completes
  EXPECT_EQ(request.status, platform::kSrbPending);

  request.hostAdapter = 0;
  library->SendCommand(request);
  EXPECT_EQ(request.status, platform::sim::kSrbNoDevice);
  request.hostAdapter = 2;
  library->SendCommand(request);
  EXPECT_EQ(request.status, platform::sim::kSrbInvalidHostAdapter);
  EXPECT_EQ(sim.CompletionWaits(), (std::vector<uint32_t>{1000, 2000, 3000}));

  library.reset();
  EXPECT_EQ(sim.LibrariesReleased(), 1u);
}

TEST(SimLibraryTest, LibraryMayOutliveTheTransport) {
  std::unique_ptr<platform::AspiLibrary> library;
  {
    SimTransport sim;
    library = sim.LoadAspiLibrary("WNASPI32.DLL");
  }
  platform::AspiRequest request;
  library->SendCommand(request);
  EXPECT_EQ(request.status, platform::sim::kSrbInvalidHostAdapter);
  library.reset();
}

TEST(SimDefaultSetTest, FiveDrivesOnHostAdaptersZeroToFour) {
  auto sim = platform::sim::MakeDefaultSimTransport("Q300");
  std::vector<platform::DeviceInfo> found = sim->EnumerateDrives();
  ASSERT_EQ(found.size(), 5u);
  const char* revisions[] = {"Q120", "Q205", "3.11", "K200", "S120"};
  for (size_t i = 0; i < found.size(); ++i) {
    EXPECT_EQ(found[i].host, i);
    EXPECT_EQ(found[i].target, 0);
    EXPECT_EQ(found[i].node, "/dev/sim-sg" + std::to_string(i));
    EXPECT_EQ(sim->Drive(i).CurrentRevision(), revisions[i]);
    EXPECT_EQ(sim->Drive(i).Config().revisionAfterFlash, std::optional<std::string>("Q300"));
  }
  EXPECT_EQ(sim->Drive(2).Config().vendor, "ACME    ");
  EXPECT_EQ(sim->Drive(3).Config().product, "DVD-ROM MVK-417 ");
  EXPECT_EQ(sim->Drive(3).Config().flashId, (std::array<uint8_t, 4>{0xBF, 0xD6, 0x00, 0x01}));
  EXPECT_EQ(sim->Drive(4).Config().flashId, (std::array<uint8_t, 4>{0xDA, 0xC8, 0x00, 0x00}));
  EXPECT_TRUE(sim->IsSimulated());
  EXPECT_TRUE(sim->UsesPassThrough());
}

}  // namespace
