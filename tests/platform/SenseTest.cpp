// Sense normalisation, one function for every back-end, and the back-ends'
// outcomes: SG_IO's classification on Linux, pass-through's on Windows (run
// under Wine), each with a drive that answers in descriptor format.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/Sense.h"
#include "tests/flash/FlashFixture.h"
#if defined(_WIN32)
#include <windows.h>

#include "platform/win/WinTransport.h"
#else
#include <scsi/sg_pt.h>

#include "platform/linux/SenseData.h"

using platform::linux_sg::ClassifyOutcome;
using platform::linux_sg::RawResult;
#endif

using platform::NormaliseSense;
using platform::SenseArea;

namespace {

SenseArea Normalise(const std::vector<uint8_t>& bytes) { return NormaliseSense(bytes.data(), bytes.size()); }

// Descriptor-format sense: header plus the given descriptors.
std::vector<uint8_t> Descriptor(uint8_t code, uint8_t key, uint8_t asc, uint8_t ascq,
                                const std::vector<uint8_t>& descriptors = {}) {
  std::vector<uint8_t> d(8 + descriptors.size(), 0);
  d[0] = code;
  d[1] = key;
  d[2] = asc;
  d[3] = ascq;
  d[7] = static_cast<uint8_t>(descriptors.size());
  std::copy(descriptors.begin(), descriptors.end(), d.begin() + 8);
  return d;
}

}  // namespace

TEST(Sense, FixedFormatIsKeptAsItStands) {
  // ATAPI drives set the valid bit: 0xF0. Medium not present.
  std::vector<uint8_t> atapi(18, 0);
  atapi[0] = 0xF0;
  atapi[2] = 0x02;
  atapi[7] = 10;
  atapi[12] = 0x3A;
  const SenseArea s = Normalise(atapi);
  EXPECT_EQ(s[0], 0xF0);
  EXPECT_EQ(s[2], 0x02);
  EXPECT_EQ(s[12], 0x3A);
  EXPECT_EQ(s[13], 0x00);

  // Byte 2 stays whole: ILI bit with sense key 0.
  std::vector<uint8_t> ili(18, 0);
  ili[0] = 0x70;
  ili[2] = 0x20;
  EXPECT_EQ(Normalise(ili)[2], 0x20);
}

TEST(Sense, NoDataGivesZeros) {
  EXPECT_EQ(NormaliseSense(nullptr, 0), SenseArea{});
  const uint8_t junk[4] = {0x70, 5, 5, 5};
  EXPECT_EQ(NormaliseSense(junk, 0), SenseArea{});
}

TEST(Sense, ShortOrLongFixedDataNeverReadsPastWhatCameBack) {
  // Only 8 bytes came back: ASC and ASCQ positions stay zero, not stale.
  std::vector<uint8_t> buffer(32, 0xEE);
  buffer[0] = 0x70;
  buffer[2] = 0x06;
  const SenseArea s = NormaliseSense(buffer.data(), 8);
  EXPECT_EQ(s[2], 0x06);
  EXPECT_EQ(s[12], 0x00);
  EXPECT_EQ(s[13], 0x00);
  // More than the area holds is cut at 32 bytes.
  std::vector<uint8_t> big(252, 0x11);
  big[0] = 0x70;
  const SenseArea t = Normalise(big);
  EXPECT_EQ(t[31], 0x11);
}

TEST(Sense, DescriptorFormatMovesKeyAscAscqToFixedPositions) {
  // Read as fixed format, this unit attention would read as "no sense".
  const SenseArea s = Normalise(Descriptor(0x72, 0x06, 0x3F, 0x16));
  EXPECT_EQ(s[0], 0x70);
  EXPECT_EQ(s[2], 0x06);
  EXPECT_EQ(s[7], 10);
  EXPECT_EQ(s[12], 0x3F);
  EXPECT_EQ(s[13], 0x16);

  const SenseArea d = Normalise(Descriptor(0x73, 0x05, 0x24, 0x00));
  EXPECT_EQ(d[0], 0x71);  // deferred error stays deferred
  EXPECT_EQ(d[2], 0x05);
  EXPECT_EQ(d[12], 0x24);

  // The valid bit in byte 0 is ignored when the response code is read.
  EXPECT_EQ(Normalise(Descriptor(0xF2, 0x02, 0x3A, 0x00))[12], 0x3A);
  // Only the low nibble of byte 1 is the key.
  EXPECT_EQ(Normalise(Descriptor(0x72, 0xF3, 0x11, 0x00))[2], 0x03);
}

TEST(Sense, DescriptorBitsAndFieldsGoWhereFixedFormatKeepsThem) {
  // Stream commands descriptor: filemark, EOM and ILI into byte 2.
  EXPECT_EQ(Normalise(Descriptor(0x72, 0x00, 0, 0, {0x04, 0x02, 0x00, 0xE0}))[2], 0xE0);
  // Block commands descriptor: only ILI exists there.
  EXPECT_EQ(Normalise(Descriptor(0x72, 0x03, 0x11, 0, {0x05, 0x02, 0x00, 0xE0}))[2], 0x23);

  // Information (valid, fits in 32 bits), command-specific and
  // sense-key-specific descriptors.
  const SenseArea s = Normalise(Descriptor(
      0x72, 0x05, 0x24, 0x00,
      {0x00, 0x0A, 0x80, 0x00, 0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78,   //
       0x01, 0x0A, 0x00, 0x00, 0, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD,   //
       0x02, 0x06, 0x00, 0x00, 0xCF, 0x00, 0x02, 0x00, 0x00, 0x00}));
  EXPECT_EQ(s[0], 0xF0);
  EXPECT_EQ((std::vector<uint8_t>{s[3], s[4], s[5], s[6]}), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ((std::vector<uint8_t>{s[8], s[9], s[10], s[11]}), (std::vector<uint8_t>{0xAA, 0xBB, 0xCC, 0xDD}));
  EXPECT_EQ((std::vector<uint8_t>{s[15], s[16], s[17]}), (std::vector<uint8_t>{0xCF, 0x00, 0x02}));

  // An information value beyond 32 bits has no fixed-format place.
  const SenseArea big = Normalise(Descriptor(0x72, 0x03, 0x11, 0x00,
                                             {0x00, 0x0A, 0x80, 0x00, 0, 0, 0, 1, 0, 0, 0, 5}));
  EXPECT_EQ(big[0], 0x70);
  EXPECT_EQ(big[6], 0x00);
}

TEST(Sense, TruncatedDescriptorDataIsReadOnlyAsFarAsItGoes) {
  // Header cut after the key: ASC and ASCQ unknown, so zero.
  const std::vector<uint8_t> cut = {0x72, 0x04};
  const SenseArea s = Normalise(cut);
  EXPECT_EQ(s[2], 0x04);
  EXPECT_EQ(s[12], 0);

  // Additional length claims more than came back, and a descriptor runs past
  // the end: the valid part counts, nothing else is read.
  std::vector<uint8_t> d = Descriptor(0x72, 0x00, 0, 0, {0x04, 0x02, 0x00, 0x80, 0x04, 0x7F});
  d[7] = 200;
  EXPECT_EQ(Normalise(d)[2], 0x80);

  // The device's buffer holds a whole information descriptor, but only its
  // first four bytes arrived: what lies past them is not the device's
  // answer and is not read, whatever the additional length says.
  const std::vector<uint8_t> area =
      Descriptor(0x72, 0x03, 0x11, 0x00, {0x00, 0x0A, 0x80, 0x00, 0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78});
  const SenseArea partly = NormaliseSense(area.data(), 12);
  EXPECT_EQ(partly[0], 0x70);
  for (size_t at = 3; at < 7; ++at) EXPECT_EQ(partly[at], 0) << at;
  const SenseArea whole = NormaliseSense(area.data(), area.size());
  EXPECT_EQ(whole[0], 0xF0);
  EXPECT_EQ(whole[6], 0x78);
}

#if defined(_WIN32)
// Pass-through: the sense area as the driver left it, the count it filled,
// and the bytes transferred.
TEST(PassThroughOutcome, SenseComesOutInFixedFormatAndTheResidualFromTheCount) {
  const std::vector<uint8_t> descriptor = Descriptor(0x72, 0x02, 0x04, 0x01);
  std::vector<uint8_t> area(32, 0);
  std::copy(descriptor.begin(), descriptor.end(), area.begin());
  const auto o = platform::win::PassThroughOutcome(true, 0, 0x02, area.data(), 8, 2048, 2048);
  EXPECT_TRUE(o.transportOk);
  EXPECT_EQ(o.status, 0x02);
  EXPECT_EQ(o.sense[0], 0x70);
  EXPECT_EQ(o.sense[2], 0x02);
  EXPECT_EQ(o.sense[12], 0x04);
  EXPECT_EQ(o.sense[13], 0x01);
  EXPECT_EQ(o.residual, 0u);

  // Fixed format as it stands; bytes past the count the driver filled are not read.
  std::vector<uint8_t> fixed(32, 0xEE);
  fixed[0] = 0xF0;
  fixed[2] = 0x05;
  fixed[7] = 10;
  fixed[12] = 0x24;
  fixed[13] = 0x00;
  const auto f = platform::win::PassThroughOutcome(true, 0, 0x02, fixed.data(), 18, 16, 4);
  EXPECT_EQ(f.sense[2], 0x05);
  EXPECT_EQ(f.sense[12], 0x24);
  EXPECT_EQ(f.sense[18], 0x00);
  EXPECT_EQ(f.residual, 12u);

  // A failed call: the system's code, nothing transferred; a time-out says so.
  const auto failed = platform::win::PassThroughOutcome(false, ERROR_SEM_TIMEOUT, 0, area.data(), 0, 16, 16);
  EXPECT_FALSE(failed.transportOk);
  EXPECT_TRUE(failed.timedOut);
  EXPECT_EQ(failed.sysError, ERROR_SEM_TIMEOUT);
  EXPECT_EQ(failed.residual, 16u);
  EXPECT_EQ(failed.sense, SenseArea{});
  EXPECT_FALSE(platform::win::PassThroughOutcome(false, ERROR_ACCESS_DENIED, 0, nullptr, 0, 0, 0).timedOut);
}
#endif

// Simulated drives that answer in descriptor format (every sense they give
// is rewritten so), with each command's result passed through the back-end
// of the system the tests run on, as a real drive's would be.
class DescriptorFormatDrives : public flash_tests::RealLookingTransport {
 public:
  platform::CommandOutcome Execute(platform::DeviceHandle handle, const platform::Cdb& cdb,
                                   platform::Direction direction, uint8_t* buffer, uint32_t length,
                                   unsigned timeoutSeconds) override {
    const platform::CommandOutcome sim =
        RealLookingTransport::Execute(handle, cdb, direction, buffer, length, timeoutSeconds);
    std::vector<uint8_t> sense;
    if (sim.sense[0] != 0) sense = Descriptor(0x72, sim.sense[2] & 0x0F, sim.sense[12], sim.sense[13]);
#if defined(_WIN32)
    return platform::win::PassThroughOutcome(sim.transportOk, static_cast<uint32_t>(sim.sysError), sim.status,
                                             sense.data(), sense.size(), length, length - sim.residual);
#else
    RawResult raw;
    raw.length = length;
    if (!sim.transportOk) {
      raw.doResult = -sim.sysError;
      return ClassifyOutcome(raw);
    }
    raw.category = !sense.empty() ? SCSI_PT_RESULT_SENSE : sim.status != 0 ? SCSI_PT_RESULT_STATUS : 0;
    raw.scsiStatus = sim.status;
    raw.sense = sense.data();
    raw.senseLength = sense.size();
    raw.residual = static_cast<int>(sim.residual);
    return ClassifyOutcome(raw);
#endif
  }
};

class DescriptorFormatDriveTest : public flash_tests::FlashFixtureT<DescriptorFormatDrives> {};

// "Becoming ready" in descriptor format keeps the poll before a flash going,
// and a failure's text shows the drive's key, ASC and ASCQ.
TEST_F(DescriptorFormatDriveTest, BecomingReadyKeepsThePollGoingAndFailuresShowTheirSense) {
  using flash_tests::Fault;
  flash_tests::SimDrive& drive = AddDrive();
  Create(flash_tests::CraftImage(flash_tests::ImageClass::NoProfile));
  drive.FailOpcode(0x4E, Fault::Sense(0x02, 0x04, 0x01), 1);
  drive.FailOpcode(0x4E, Fault::Sense(0x02, 0x04, 0x01), 2);
  drive.FailOpcode(0x4E, Fault::Sense(0x02, 0x04, 0x00), 3);
  Click();
  EXPECT_EQ(services.clock.sleeps, 3);
  EXPECT_EQ(drive.CountOpcode(0x00), 3u);
  EXPECT_EQ(form->status, flash_tests::kCompleted);

  services.boxes.shown.clear();
  drive.FailOpcode(0x3B, Fault::Sense(0x03, 0x0C, 0x00), 1);
  Click();
  ASSERT_EQ(services.boxes.shown.size(), 2u);  // the prompt, and the failure
  EXPECT_EQ(services.boxes.shown[1].text, "Write Buffer> 03 0C 00. 02, 0000");
}

#if !defined(_WIN32)
TEST(SgOutcome, GoodCommand) {
  RawResult raw;
  const auto o = ClassifyOutcome(raw);
  EXPECT_TRUE(o.transportOk);
  EXPECT_FALSE(o.timedOut);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.sysError, 0);
  EXPECT_EQ(o.sense, SenseArea{});
}

TEST(SgOutcome, CheckConditionCarriesStatusAndNormalisedSense) {
  const std::vector<uint8_t> sense = Descriptor(0x72, 0x05, 0x20, 0x00);
  RawResult raw;
  raw.category = SCSI_PT_RESULT_SENSE;
  raw.scsiStatus = 0x02;
  raw.sense = sense.data();
  raw.senseLength = sense.size();
  const auto o = ClassifyOutcome(raw);
  EXPECT_TRUE(o.transportOk);
  EXPECT_EQ(o.status, 0x02);
  EXPECT_EQ(o.sense[2], 0x05);
  EXPECT_EQ(o.sense[12], 0x20);
  EXPECT_EQ(o.sysError, 0);

  raw = RawResult{};
  raw.category = SCSI_PT_RESULT_STATUS;
  raw.scsiStatus = 0x08;  // BUSY, no sense
  const auto busy = ClassifyOutcome(raw);
  EXPECT_TRUE(busy.transportOk);
  EXPECT_EQ(busy.status, 0x08);
}

TEST(SgOutcome, RefusedIoctlIsATransportFailureWithoutSense) {
  // The block layer's command filter: EPERM, nothing reached the drive.
  RawResult raw;
  raw.doResult = -EPERM;
  const auto o = ClassifyOutcome(raw);
  EXPECT_FALSE(o.transportOk);
  EXPECT_EQ(o.sysError, EPERM);
  EXPECT_EQ(o.sense, SenseArea{});
  EXPECT_FALSE(o.timedOut);

  raw = RawResult{};
  raw.category = SCSI_PT_RESULT_OS_ERR;
  raw.osError = ENODEV;
  EXPECT_EQ(ClassifyOutcome(raw).sysError, ENODEV);
  EXPECT_FALSE(ClassifyOutcome(raw).transportOk);

  raw = RawResult{};
  raw.doResult = SCSI_PT_DO_BAD_PARAMS;
  EXPECT_FALSE(ClassifyOutcome(raw).transportOk);
  EXPECT_EQ(ClassifyOutcome(raw).sysError, EINVAL);
}

TEST(SgOutcome, HostErrorsAndTimeOutsFailEvenWithoutErrno) {
  RawResult raw;
  raw.category = SCSI_PT_RESULT_TRANSPORT_ERR;
  raw.hostStatus = platform::linux_sg::kDidTimeOut;
  const auto timedOut = ClassifyOutcome(raw);
  EXPECT_FALSE(timedOut.transportOk);
  EXPECT_TRUE(timedOut.timedOut);
  EXPECT_EQ(timedOut.sysError, ETIMEDOUT);

  raw.hostStatus = 0x01;  // DID_NO_CONNECT
  const auto gone = ClassifyOutcome(raw);
  EXPECT_FALSE(gone.transportOk);
  EXPECT_FALSE(gone.timedOut);
  EXPECT_EQ(gone.sysError, EIO);

  raw.hostStatus = 0;  // a driver error (driver byte) with a clean host byte
  EXPECT_FALSE(ClassifyOutcome(raw).transportOk);
  EXPECT_NE(ClassifyOutcome(raw).sysError, 0);
}

// The residual is the untransferred part of the data phase, never more; a
// call that did not reach the device moved nothing.
TEST(SgOutcome, ResidualStaysWithinTheDataPhase) {
  struct Case {
    int doResult, category, residual;
    uint32_t expected;
  };
  const Case cases[] = {
      {0, SCSI_PT_RESULT_GOOD, 0, 0},          {0, SCSI_PT_RESULT_GOOD, 4096, 4096},
      {0, SCSI_PT_RESULT_GOOD, 99999, 16384},  {0, SCSI_PT_RESULT_GOOD, -5, 0},
      {0, SCSI_PT_RESULT_SENSE, 16384, 16384}, {-EPERM, 0, 0, 16384},
      {0, SCSI_PT_RESULT_OS_ERR, 0, 16384},    {SCSI_PT_DO_BAD_PARAMS, 0, 0, 16384},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.doResult) + " " + std::to_string(c.category) + " " + std::to_string(c.residual));
    RawResult raw;
    raw.doResult = c.doResult;
    raw.category = c.category;
    raw.osError = c.category == SCSI_PT_RESULT_OS_ERR ? EIO : 0;
    raw.length = 16384;
    raw.residual = c.residual;
    EXPECT_EQ(ClassifyOutcome(raw).residual, c.expected);
  }
}
#endif
