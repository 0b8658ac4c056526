// The simulated drive's protocol, fault injection and logs, driven directly
// through the transport interface; the transcripts a replayed drive is read
// from, and the replayed drive itself.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "platform/Transcript.h"
#include "platform/sim/ReplayTransport.h"
#include "platform/sim/SimTransport.h"
#include "tests/package/WorkDir.h"

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

// --- Transcripts ----------------------------------------------------------------

namespace {

// A short transcript with a record of every kind, one a line.
std::vector<std::string> TranscriptLines() {
  return {
      "flashutil transcript 1",                                                                 // 1
      std::string("program ") + platform::ProgramVersion(),                                     // 2
      "started 2026-12-07T22:14:08Z",                                                           // 3
      "package \"VOX-TEL\" \"QRD-73318K\" \"Q150\" 524288 sha256 " + std::string(64, 'a'),        // 4
      "drive \"/dev/sim-sg0\" 0:0:0:0 \"0-0-0  : VOX-TEL QRD-73318K      Q120\"",                // 5
      "@0.000100 filters no",                                                                   // 6
      "@0.000412 box Confirmation \"Confirm\" Yes/No: \\nUpdate Firmware Q120 to Q150 ?\\n",      // 7
      "@1.204000 answer Yes",                                                                   // 8
      "@1.204100 hold ok",                                                                      // 9
      "@1.204187 > 1B 00 00 00 03 00 00 00 00 00 00 00  in 0  60 s",                            // 10
      "@1.204612 < 425 us  ok  errno 0  status 00  sense -  residual 0",                        // 11
      "@1.300000 status \"Write BIN to drive's DRAM... \"",                                     // 12
      "@1.300100 > 3B 05 01 00 00 00 00 00 04 00 00 00  out 4  60 s  data 0123456789abcdef",    // 13
      "@1.301100 < 1000 us  ok  errno 0  status 00  sense -  residual 0",                       // 14
      "@2.100000 > 3C 01 01 00 00 00 00 00 04 00 00 00  in 4  60 s",                            // 15
      "@2.101000 < 1000 us  ok  errno 0  status 00  sense -  residual 0  data AAECAw==",         // 16
      "@9.000000 combo insert 0 \"0-0-0  : VOX-TEL QRD-73318K      Q150\"",                     // 17
      "@9.100000 end",                                                                          // 18
  };
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// The transcript with line `number` (from 1) replaced.
std::string WithLine(size_t number, const std::string& line) {
  std::vector<std::string> lines = TranscriptLines();
  lines[number - 1] = line;
  return Joined(lines);
}

std::string WithoutLine(size_t number) {
  std::vector<std::string> lines = TranscriptLines();
  lines.erase(lines.begin() + static_cast<long>(number - 1));
  return Joined(lines);
}

}  // namespace

TEST(TranscriptTest, ReadsEveryKindOfRecordAsWritten) {
  const platform::TranscriptReadResult read = platform::ReadTranscript(Joined(TranscriptLines()));
  ASSERT_TRUE(read.transcript) << read.error;
  const platform::ParsedTranscript& t = *read.transcript;
  EXPECT_EQ(t.header.driveIdentity, "0-0-0  : VOX-TEL QRD-73318K      Q120");
  EXPECT_EQ(t.header.imageLength, 524288u);
  ASSERT_EQ(t.records.size(), 13u);
  EXPECT_FALSE(t.records[0].filters);
  EXPECT_EQ(t.records[1].shown, "\nUpdate Firmware Q120 to Q150 ?\n");
  EXPECT_EQ(t.records[2].answer, platform::BoxAnswer::Yes);
  EXPECT_EQ(t.records[3].hold.sysError, 0);
  EXPECT_EQ(t.records[7].dataDigest, "0123456789abcdef");
  EXPECT_EQ(t.records[10].dataIn, (std::vector<uint8_t>{0, 1, 2, 3}));
  EXPECT_EQ(t.records[11].line, 17u);
  EXPECT_FALSE(t.records[10].library);
  EXPECT_EQ(t.header.foundIdentity, "");
  const platform::TranscriptReadResult found = platform::ReadTranscript(
      WithLine(5, "drive \"/dev/sim-sg0\" 0:0:0:0 \"0\" found \"0-0-0  : VOX-TEL QRD-73318K      Q120\""));
  ASSERT_TRUE(found.transcript) << found.error;
  EXPECT_EQ(found.transcript->header.driveIdentity, "0");
  EXPECT_EQ(found.transcript->header.foundIdentity, "0-0-0  : VOX-TEL QRD-73318K      Q120");
  // What the writer writes, the reader reads back.
  const platform::TranscriptReadResult library = platform::ReadTranscript(WithLine(
      16, "@2.101000 < 1000 us  ok  errno 0  status 02  sense -  residual 0  library 04 11  data AAECAw=="));
  ASSERT_TRUE(library.transcript) << library.error;
  EXPECT_EQ(library.transcript->records[10].library, (platform::LibraryStatus{0x04, 0x11}));
  EXPECT_EQ(library.transcript->records[10].dataIn, (std::vector<uint8_t>{0, 1, 2, 3}));
  const platform::HoldOutcome busy{16, true, "/dev/sim-sr0"};
  const std::string held = platform::ReadTranscript(WithLine(9, "@1.204100 " + platform::HoldLine(busy))).error;
  EXPECT_EQ(held, "");
  EXPECT_EQ(platform::ReadTranscript(WithLine(6, "@0.000100 " + platform::FiltersLine(true))).error, "");
  // A stop, with what asked for it or without, and a request held off.
  for (const auto& [line, kind, cause] : std::vector<std::tuple<std::string, platform::TranscriptRecord::Kind, std::string>>{
           {platform::StopShownLine(""), platform::TranscriptRecord::Kind::Stop, ""},
           {platform::StopShownLine("window closed"), platform::TranscriptRecord::Kind::Stop, "window closed"},
           {platform::HeldShownLine("SIGTERM"), platform::TranscriptRecord::Kind::Held, "SIGTERM"}}) {
    const platform::TranscriptReadResult stop = platform::ReadTranscript(WithLine(12, "@1.300000 " + line));
    ASSERT_TRUE(stop.transcript) << stop.error;
    EXPECT_EQ(stop.transcript->records[6].kind, kind) << line;
    EXPECT_EQ(stop.transcript->records[6].shown, cause) << line;
  }
  // A request held off while a command ran (the flash start) is read after
  // the command's answer.
  std::vector<std::string> lines = TranscriptLines();
  lines.insert(lines.begin() + 10, "@1.204300 " + platform::HeldShownLine("SIGHUP"));
  const platform::TranscriptReadResult meanwhile = platform::ReadTranscript(Joined(lines));
  ASSERT_TRUE(meanwhile.transcript) << meanwhile.error;
  EXPECT_EQ(meanwhile.transcript->records[4].kind, platform::TranscriptRecord::Kind::Request);
  EXPECT_EQ(meanwhile.transcript->records[5].kind, platform::TranscriptRecord::Kind::Answer);
  EXPECT_EQ(meanwhile.transcript->records[6].kind, platform::TranscriptRecord::Kind::Held);
  EXPECT_EQ(meanwhile.transcript->records[6].line, 11u);

  // The digest of data sent to a drive, which a replay matches: 64-bit
  // FNV-1a over the 8-byte words (least significant byte first) and then
  // each byte after the last word, for every length of that tail. The
  // values were worked out apart from the program (byte i is 37 i + 1).
  const std::pair<size_t, const char*> digests[] = {
      {0, "cbf29ce484222325"},  {16, "f7fd6a18a39b3e7f"}, {17, "fed975de00caa82a"}, {18, "d62ba43b585c1454"},
      {19, "483cdfd724775bbd"}, {20, "36cbd792f6d07567"}, {21, "ecd4d0b96437abe6"}, {22, "a54a97054a992204"},
      {23, "76e0c8fdc2350f11"}};
  for (const auto& [length, digest] : digests) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(i * 37 + 1);
    EXPECT_EQ(platform::DataDigest(data.data(), data.size()), digest) << length;
  }
}

// Each bad transcript is refused, naming its line.
TEST(TranscriptTest, RefusesBadTranscriptsNamingTheLine) {
  const std::string good = Joined(TranscriptLines());
  const struct {
    const char* name;
    std::string text;
    std::string error;  // the beginning of the refusal
  } cases[] = {
      {"empty", "", "line 1: the transcript ends inside its header"},
      {"cut in the header", good.substr(0, good.find("started")), "line 3: the transcript ends inside its header"},
      {"not a transcript", "hello\n", "line 1: this is not a flashutil transcript"},
      {"cut before end", good.substr(0, good.rfind("@9.100000")), "line 18: the transcript ends without its \"end\""},
      {"cut in a line", good.substr(0, good.find("residual 0\n@1.300000")), "line 11: the transcript ends in the middle of a line"},
      {"other version", WithLine(2, "program 0.9.9.9"), "line 2: the transcript was written by version 0.9.9.9 "},
      {"started", WithLine(3, "started yesterday"), "line 3: "},
      {"package", WithLine(4, "package VOX-TEL QRD Q150 524288"), "line 4: "},
      {"package digest", WithLine(4, "package \"V\" \"M\" \"Q150\" 524288 sha256 abc"), "line 4: "},
      {"drive", WithLine(5, "drive \"/dev/sim-sg0\" 0:0:0 \"x\""), "line 5: "},
      {"time", WithLine(10, "@1.2 > 1B 00 00 00 03 00 00 00 00 00 00 00  in 0  60 s"), "line 10: \"1.2\" is not a time"},
      {"no time", WithLine(10, "> 1B 00 00 00 03 00 00 00 00 00 00 00  in 0  60 s"), "line 10: a record must start"},
      {"unknown record", WithLine(12, "@1.300000 beep"), "line 12: \"beep\" is not a record"},
      {"request direction", WithLine(10, "@1.204187 > 1B 00 00 00 03 00 00 00 00 00 00 00  sideways 0  60 s"),
       "line 10: the direction must be in or out"},
      {"request byte", WithLine(10, "@1.204187 > 1B 00 00 00 03 00 00 00 00 00 00 0G  in 0  60 s"),
       "line 10: \"0G\" is not a command byte"},
      {"request bytes", WithLine(10, "@1.204187 > 1B 00 00  in 0  60 s"), "line 10: a command request must have"},
      {"digest on data in", WithLine(15, "@2.100000 > 3C 01 01 00 00 00 00 00 04 00 00 00  in 4  60 s  data 0123456789abcdef"),
       "line 15: only data sent to the drive has a digest"},
      {"answer verdict", WithLine(11, "@1.204612 < 425 us  fine  errno 0  status 00  sense -  residual 0"),
       "line 11: the verdict must be"},
      {"answer status", WithLine(11, "@1.204612 < 425 us  ok  errno 0  status 0G  sense -  residual 0"),
       "line 11: \"0G\" is not a status byte"},
      {"answer sense", WithLine(11, "@1.204612 < 425 us  ok  errno 0  status 02  sense 7000  residual 0"),
       "line 11: the sense must be 32 bytes"},
      {"answer data", WithLine(16, "@2.101000 < 1000 us  ok  errno 0  status 00  sense -  residual 0  data AAE*Aw=="),
       "line 16: the data from the drive must be in base64"},
      {"answer more data", WithLine(16, "@2.101000 < 1000 us  ok  errno 0  status 00  sense -  residual 0  data AAECAwQ="),
       "line 16: the answer brings more data"},
      {"answer residual", WithLine(16, "@2.101000 < 1000 us  ok  errno 0  status 00  sense -  residual 5"),
       "line 16: the answer's residual is larger than its command's length"},
      {"answer residual of no data", WithLine(11, "@1.204612 < 425 us  ok  errno 0  status 00  sense -  residual 1"),
       "line 11: the answer's residual is larger than its command's length"},
      {"drive found", WithLine(5, "drive \"/dev/sim-sg0\" 0:0:0:0 \"0\" found"),
       "line 5: the fifth line must end with the drive's entry in quotes, and may add"},
      {"answer library status", WithLine(11, "@1.204612 < 425 us  ok  errno 0  status 00  sense -  residual 0  library 4 00"),
       "line 11: the library's request and host adapter status must be two bytes in hex"},
      {"answer library cut short", WithLine(16, "@2.101000 < 1000 us  ok  errno 0  status 00  sense -  residual 0  library 01"),
       "line 16: the library's request and host adapter status must be two bytes in hex"},
      {"answer without request", WithoutLine(10), "line 10: an answer without its command request"},
      {"request without answer", WithoutLine(11), "line 11: a command request must be followed by its answer"},
      {"box kind", WithLine(7, "@0.000412 box Question \"Confirm\" Yes/No: x"), "line 7: a box must name its kind"},
      {"bare box", WithLine(7, "@0.000412 box"), "line 7: a box must name its kind"},
      {"box caption", WithLine(7, "@0.000412 box Error Confirm Yes/No: x"), "line 7: a box must have its caption"},
      {"box buttons", WithLine(7, "@0.000412 box Error \"Confirm\" Maybe: x"), "line 7: a box must name its buttons"},
      {"box text", WithLine(7, "@0.000412 box Error \"Confirm\" OK: a\\qb"), "line 7: the box's text has a byte"},
      {"box answer", WithLine(8, "@1.204000 answer Maybe"), "line 8: an answer must be Yes, No, OK or Closed"},
      {"answer without box", WithoutLine(7), "line 7: an answer without its box"},
      {"box without answer", WithoutLine(8), "line 8: a box must be followed by the user's answer"},
      {"status", WithLine(12, "@1.300000 status Write BIN"), "line 12: a status line must have its text in quotes"},
      {"combo", WithLine(17, "@9.000000 combo insert first \"x\""), "line 17: a drive box entry must be"},
      {"hold", WithLine(9, "@1.204100 hold maybe"), "line 9: a hold must be"},
      {"hold without node", WithLine(9, "@1.204100 hold errno 16 busy"), "line 9: a hold must be"},
      {"filters", WithLine(6, "@0.000100 filters perhaps"), "line 6: \"filters\" must be followed by yes or no"},
      {"stop", WithLine(12, "@1.300000 stop now!"), "line 12: \"stop\" must be followed by what asked to stop"},
      {"held", WithLine(12, "@1.300000 held"), "line 12: \"held\" must be followed by what asked to stop"},
      {"held twice blank", WithLine(12, "@1.300000 held  SIGTERM"), "line 12: \"held\" must be followed by"},
      {"end", WithLine(18, "@9.100000 end now"), "line 18: \"end\" or \"end exception\""},
      {"after end", good + "@9.200000 status \"x\"\n", "line 19: a record after the transcript's end"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::TranscriptReadResult read = platform::ReadTranscript(c.text);
    EXPECT_FALSE(read.transcript);
    EXPECT_EQ(read.error.rfind(c.error, 0), 0u) << read.error;
  }
}

// The replayed drive answers the start-up's INQUIRY with the recorded
// identity, then the recorded commands as recorded; the first other command
// fails, and every one after it, and says where.
TEST(TranscriptTest, ReplayedDriveAnswersAsRecordedUntilACommandDiffers) {
  const platform::TranscriptReadResult read = platform::ReadTranscript(Joined(TranscriptLines()));
  ASSERT_TRUE(read.transcript) << read.error;
  platform::sim::ReplayTransport replay(*read.transcript);
  const std::vector<platform::DeviceInfo> drives = replay.EnumerateDrives();
  ASSERT_EQ(drives.size(), 1u);
  EXPECT_EQ(drives[0].node, "/dev/sim-sg0");
  DeviceHandle handle = platform::kNoHandle;
  ASSERT_EQ(replay.Open(drives[0], handle), 0);
  std::vector<uint8_t> inquiry(128, 0xEE);
  CommandOutcome outcome = replay.Execute(handle, Cdb{0x12, 0, 0, 0, 128}, Direction::In, inquiry.data(), 128, 60);
  EXPECT_TRUE(outcome.transportOk);
  EXPECT_EQ(std::string(inquiry.begin() + 8, inquiry.begin() + 36), "VOX-TEL QRD-73318K      Q120");

  replay.BeginFlash();
  EXPECT_FALSE(replay.FiltersCommands(handle));
  EXPECT_EQ(replay.LockExclusive(handle).sysError, 0);
  EXPECT_TRUE(replay.Execute(handle, Cdb{0x1B, 0, 0, 0, 0x03}, Direction::In, nullptr, 0, 60).transportOk);
  // Data other than the recorded: its digest differs.
  std::vector<uint8_t> data{9, 9, 9, 9};
  outcome = replay.Execute(handle, Cdb{0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 4}, Direction::Out, data.data(), 4, 60);
  EXPECT_FALSE(outcome.transportOk);
  EXPECT_EQ(outcome.sysError, platform::sim::kReplayDiverged);
  ASSERT_TRUE(replay.Divergence());
  EXPECT_EQ(replay.Divergence()->line, 13u);
  EXPECT_EQ(replay.Divergence()->recorded, "> 3B 05 01 00 00 00 00 00 04 00 00 00  out 4  60 s  data 0123456789abcdef");
  // The recorded read after it is not answered either.
  std::vector<uint8_t> read4(4, 0xEE);
  EXPECT_FALSE(replay.Execute(handle, Cdb{0x3C, 0x01, 0x01, 0, 0, 0, 0, 0, 4}, Direction::In, read4.data(), 4, 60).transportOk);
  EXPECT_EQ(read4, std::vector<uint8_t>(4, 0xEE));
  EXPECT_EQ(replay.Divergence()->line, 13u);
}

// The comparison of a replay with its recording: the times and durations do
// not count, nor a drive held where the recording (the command library's
// path) held none; any other record does, named by its recorded line.
TEST(TranscriptTest, ReplayIsComparedRecordByRecord) {
  const auto parsed = [](const std::string& text) {
    platform::TranscriptReadResult read = platform::ReadTranscript(text);
    EXPECT_TRUE(read.transcript) << read.error;
    return read.transcript.value_or(platform::ParsedTranscript{});
  };
  const platform::ParsedTranscript recorded = parsed(Joined(TranscriptLines()));
  EXPECT_FALSE(platform::sim::CompareReplay(recorded, recorded));
  EXPECT_FALSE(platform::sim::CompareReplay(
      recorded, parsed(WithLine(11, "@7.000000 < 99 us  ok  errno 0  status 00  sense -  residual 0"))));
  EXPECT_FALSE(platform::sim::CompareReplay(parsed(WithoutLine(9)), recorded));
  const platform::HoldOutcome busy{16, true, "/dev/sim-sg0"};
  const auto held = platform::sim::CompareReplay(parsed(WithoutLine(9)), parsed(WithLine(9, "@1.204100 " + platform::HoldLine(busy))));
  ASSERT_TRUE(held);
  EXPECT_EQ(held->line, 9u);
  const auto status = platform::sim::CompareReplay(recorded, parsed(WithLine(12, "@1.300000 status \"Write BIN\"")));
  ASSERT_TRUE(status);
  EXPECT_EQ(status->line, 12u);
  EXPECT_EQ(status->recorded, "status \"Write BIN to drive's DRAM... \"");
  EXPECT_EQ(status->replayed, "status \"Write BIN\"");
  const auto data = platform::sim::CompareReplay(
      recorded, parsed(WithLine(16, "@2.101000 < 1000 us  ok  errno 0  status 00  sense -  residual 0  data AAECBA==")));
  ASSERT_TRUE(data);
  EXPECT_EQ(data->line, 16u);
  // A replay that ends before the drive's entry is refreshed.
  const auto shorter = platform::sim::CompareReplay(recorded, parsed(WithoutLine(17)));
  ASSERT_TRUE(shorter);
  EXPECT_EQ(shorter->line, 17u);
  EXPECT_EQ(shorter->replayed, "end");
}

// Only the bytes that arrived are written into the buffer; a recorded
// time-out comes back as one, at once.
TEST(TranscriptTest, ReplayedDriveBringsOnlyTheRecordedBytes) {
  std::vector<uint8_t> sent{0xAB, 0xCD, 0xEF, 0x01};
  std::vector<std::string> lines = TranscriptLines();
  lines[10] = "@1.204612 < 60000000 us  timeout  errno 62  status 00  sense -  residual 0";
  lines[12] = "@1.300100 > 3B 05 01 00 00 00 00 00 04 00 00 00  out 4  60 s  data " + platform::DataDigest(sent.data(), 4);
  lines[15] = "@2.101000 < 1000 us  ok  errno 0  status 00  sense -  residual 2  data AAE=";
  const platform::TranscriptReadResult read = platform::ReadTranscript(Joined(lines));
  ASSERT_TRUE(read.transcript) << read.error;
  platform::sim::ReplayTransport replay(*read.transcript);
  DeviceHandle handle = platform::kNoHandle;
  ASSERT_EQ(replay.Open(replay.EnumerateDrives()[0], handle), 0);
  replay.BeginFlash();
  CommandOutcome outcome = replay.Execute(handle, Cdb{0x1B, 0, 0, 0, 0x03}, Direction::In, nullptr, 0, 60);
  EXPECT_FALSE(outcome.transportOk);
  EXPECT_TRUE(outcome.timedOut);
  EXPECT_EQ(outcome.sysError, 62);
  EXPECT_TRUE(replay.Execute(handle, Cdb{0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 4}, Direction::Out, sent.data(), 4, 60)
                  .transportOk);
  std::vector<uint8_t> block(4, 0xEE);
  outcome = replay.Execute(handle, Cdb{0x3C, 0x01, 0x01, 0, 0, 0, 0, 0, 4}, Direction::In, block.data(), 4, 60);
  EXPECT_TRUE(outcome.transportOk);
  EXPECT_EQ(outcome.residual, 2u);
  EXPECT_EQ(block, (std::vector<uint8_t>{0x00, 0x01, 0xEE, 0xEE}));
  EXPECT_FALSE(replay.Divergence());
  // Past the recording's end.
  EXPECT_FALSE(replay.Execute(handle, Cdb{0x00}, Direction::In, nullptr, 0, 60).transportOk);
  ASSERT_TRUE(replay.Divergence());
  EXPECT_EQ(replay.Divergence()->line, 18u);
}

#if !defined(_WIN32)
// A transcript goes only into a folder that is the user's alone: a folder,
// not a link, owned by the user the program runs as, that neither its group
// nor others may write (made so, with its missing parents, when missing).
// Any other folder gets no transcript, and the reason names the folder,
// what is wrong and what to do.
TEST(TranscriptTest, StoreWritesOnlyIntoAFolderOfTheUsersAlone) {
  package_tests::TempDir dir;
  // What a link points to: a folder of the user's own, which must stay empty.
  const std::string own = dir / "own";
  ASSERT_EQ(::mkdir(own.c_str(), 0700), 0);
  const auto folder = [](mode_t mode) {
    return [mode](const std::string& path) { return ::mkdir(path.c_str(), 0700) == 0 && ::chmod(path.c_str(), mode) == 0; };
  };
  // Another user's folder: as root one made here and given to nobody;
  // otherwise the root folder, owned by root.
  const bool root = ::geteuid() == 0;
  const std::string theirs = root ? dir / "theirs" : "/";
  struct stat rootInfo {};
  const bool haveTheirs = root || (::stat("/", &rootInfo) == 0 && rootInfo.st_uid != ::geteuid());
  const std::string owner = root ? "65534" : std::to_string(rootInfo.st_uid);
  const std::string chmod = "make it yours alone (chmod 700 ";
  const struct {
    const char* name;
    std::string path;
    std::function<bool(const std::string&)> make;  // puts the case's folder at `path`
    std::string why;                               // empty: a transcript is made
  } cases[] = {
      {"the user's own folder", dir / "good", folder(0700), ""},
      {"one that others may read", dir / "readable", folder(0755), ""},
      {"missing, with missing parents", dir / "state/deeper/flashutil", nullptr, ""},
      {"a link to the user's own folder", dir / "link",
       [&](const std::string& path) { return ::symlink(own.c_str(), path.c_str()) == 0; },
       "is a link: put a folder of your own in its place (mkdir -m 700), or set XDG_STATE_HOME to one"},
      {"a file", dir / "file", [](const std::string& path) { return std::ofstream(path).good(); },
       "is not a folder: remove it, or set XDG_STATE_HOME to a folder of your own"},
      {"writable by others", dir / "open", folder(0777), "is writable by others: " + chmod + dir / "open" + ")"},
      {"writable by others, sticky", dir / "sticky", folder(01777),
       "is writable by others: " + chmod + dir / "sticky" + ")"},
      {"writable by its group", dir / "group", folder(0770), "is writable by its group: " + chmod + dir / "group" + ")"},
      {"another user's", theirs,
       [&](const std::string& path) {
         return !root || (folder(0700)(path) && ::chown(path.c_str(), 65534, 65534) == 0);
       },
       "belongs to user " + owner + ", not to user " + std::to_string(::geteuid()) +
           " who runs the program: set XDG_STATE_HOME to a folder of your own (with sudo, leave out -E)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.path == theirs && !haveTheirs) {
      std::printf("skipped \"another user's\": no folder of another user to try, and no root to make one\n");
      continue;
    }
    if (c.make) {
      ASSERT_TRUE(c.make(c.path)) << std::strerror(errno);
    }
    platform::FolderTranscriptStore store(c.path);
    const std::unique_ptr<platform::TranscriptSink> sink = store.Create("flash-x.txt");
    struct stat info {};
    if (c.why.empty()) {
      ASSERT_NE(sink, nullptr) << store.LastError();
      EXPECT_EQ(store.LastError(), "");
      EXPECT_EQ(store.LastPath(), c.path + "/flash-x.txt");
      ASSERT_EQ(::lstat(store.LastPath().c_str(), &info), 0);
      EXPECT_TRUE(S_ISREG(info.st_mode));
      EXPECT_EQ(info.st_mode & 07777, 0600u);
      // A folder the store made is the user's alone, its parents too.
      if (!c.make) {
        for (const std::string& made : {dir / "state", dir / "state/deeper", c.path}) {
          ASSERT_EQ(::lstat(made.c_str(), &info), 0) << made;
          EXPECT_EQ(info.st_mode & 07777, 0700u) << made;
        }
      }
      continue;
    }
    EXPECT_EQ(sink, nullptr);
    EXPECT_EQ(store.LastPath(), "");
    EXPECT_EQ(store.LastError(), "no transcript: the transcript folder " + c.path + " " + c.why);
    EXPECT_NE(::stat((c.path + "/flash-x.txt").c_str(), &info), 0);
  }
  EXPECT_TRUE(std::filesystem::is_empty(own));
}
#else
// A link in the transcript folder's place (a junction or a symbolic link;
// under Wine one of the host's file system, which the tests' set-up makes
// and names in FLASHUTIL_LINKED_FOLDER) gets no transcript, nor does a file
// there; a missing folder is made.
TEST(TranscriptTest, StoreWritesOnlyIntoAFolder) {
  const char* linked = std::getenv("FLASHUTIL_LINKED_FOLDER");
  package_tests::TempDir dir;
  const std::string file = dir / "file";
  std::ofstream(file).put('x');
  struct Case {
    const char* name;
    std::string path;
    std::string why;  // empty: a transcript is made
  };
  std::vector<Case> cases = {{"missing", dir / "made", ""}, {"a file", file, "is not a folder: remove it"}};
  if (linked != nullptr) {
    cases.push_back({"a link", linked, "is a link: put a folder of your own in its place"});
  } else {
    std::printf("skipped \"a link\": FLASHUTIL_LINKED_FOLDER names no link to a folder\n");
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::FolderTranscriptStore store(c.path);
    std::unique_ptr<platform::TranscriptSink> sink = store.Create("flash-x.txt");
    if (c.why.empty()) {
      ASSERT_NE(sink, nullptr) << store.LastError();
      EXPECT_EQ(store.LastPath(), c.path + "\\flash-x.txt");
      continue;
    }
    EXPECT_EQ(sink, nullptr);
    EXPECT_EQ(store.LastPath(), "");
    EXPECT_EQ(store.LastError(), "no transcript: the transcript folder " + c.path + " " + c.why);
    // What a store that followed the link left behind, so that the next run starts clean.
    sink.reset();
    std::error_code error;
    if (!store.LastPath().empty()) std::filesystem::remove(store.LastPath(), error);
  }
  if (linked != nullptr) {
    EXPECT_TRUE(std::filesystem::is_empty(std::string(linked) + ".target"));
  }
}
#endif
