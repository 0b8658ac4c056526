// The vendor flash operations beyond what a whole run sends (the E2 writes,
// the disc probe, the size guard), and the failure of every operation for
// every kind of fault, including those without sense data.
#include <cerrno>
#include <cstring>

#include "tests/flash/FlashFixture.h"

namespace flash_tests {
namespace {

class FlashCommandsTest : public FlashFixture {
 protected:
  void SetUp() override {
    FlashFixture::SetUp();
    drive = &AddDrive();
    Create(CraftImage(ImageClass::NoProfile));
  }
  const LoggedCommand& Last() const { return transport.Log().back(); }
  SimDrive* drive = nullptr;
};

// Nothing larger than the transfer buffer is copied into it or sent (the
// commands themselves are pinned by the logs of whole runs).
TEST_F(FlashCommandsTest, BlocksLargerThanTheTransferBufferAreRefused) {
  std::vector<uint8_t> tooLong(0x4001, 0x5A);
  EXPECT_FALSE(form->WriteBuffer(0, tooLong.data(), 0x00, 0x4001));
  EXPECT_EQ(form->CommandBlock[0], 0x3B);
  EXPECT_FALSE(form->ReadBuffer(0, tooLong.data(), 0x4001));
  EXPECT_EQ(form->CommandBlock[0], 0x3C);
  EXPECT_TRUE(transport.Log().empty());
  EXPECT_EQ(services.boxes.Texts(), (std::vector<std::string>{"Write Buffer> data does not fit the transfer buffer",
                                                              "Read Buffer> data does not fit the transfer buffer"}));
  EXPECT_EQ(tooLong, std::vector<uint8_t>(0x4001, 0x5A));
}

// A read that brings only part of its data fails, and the caller's buffer
// never sees what the transfer buffer still held from the command before.
TEST_F(FlashCommandsTest, ShortReadFailsAndSaysHowManyBytesAreMissing) {
  std::vector<uint8_t> data(0x4000, 0xEE);
  for (uint32_t delivered : {0u, 0x3000u, 0x3FFFu}) {
    SCOPED_TRACE(delivered);
    services.boxes.shown.clear();
    drive->FailCommand(1, Fault::Short(delivered));
    EXPECT_FALSE(form->ReadBuffer(0x4000, data.data(), 0x4000));
    EXPECT_EQ(Last().residual, 0x4000 - delivered);
    EXPECT_EQ(data, std::vector<uint8_t>(0x4000, 0xEE));
    const uint32_t missing = 0x4000 - delivered;
    EXPECT_EQ(services.boxes.Texts(),
              std::vector<std::string>{"Read Buffer> 00 00 00. 00, 0000\nThe drive sent " + std::to_string(delivered) +
                                       " of the 16384 bytes: " + std::to_string(missing) +
                                       (missing == 1 ? " byte is" : " bytes are") + " missing."});
  }
  // Nobody reads the flash start's answer: however short, the drive took it.
  services.boxes.shown.clear();
  drive->FailCommand(1, Fault::Short(4));
  EXPECT_TRUE(form->WriteBuffer(0, nullptr, 0x80, 0));
  EXPECT_EQ(Last().residual, 12u);
  EXPECT_EQ(drive->FlashStartCount(), 1u);
  EXPECT_TRUE(services.boxes.shown.empty());
}

TEST_F(FlashCommandsTest, E2WritesOneByteAfterTheOther) {
  const uint8_t e2[] = {0x11, 0x22, 0x33};
  ASSERT_TRUE(form->WriteE2(e2, 0xFFFF, 3));  // the address wraps to 0x0000
  EXPECT_TRUE(form->WriteE2(e2, 0, 0));       // nothing to write
  const auto in = platform::Direction::In;
  EXPECT_TRUE(testing_support::SameLog(log, {Command({0xDF, 0x0A, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0x11, 0, 0}, in, 0),
                                             Command({0xDF, 0x0A, 0, 0, 0, 0, 0, 0x00, 0x00, 0x22, 0, 0}, in, 0),
                                             Command({0xDF, 0x0A, 0, 0, 0, 0, 0, 0x00, 0x01, 0x33, 0, 0}, in, 0)}));
  EXPECT_EQ(drive->E2()[0xFFFF], 0x11);
  EXPECT_EQ(drive->E2()[0x0001], 0x33);
}

TEST_F(FlashCommandsTest, WriteE2StopsAtTheFirstFailedByte) {
  drive->FailCommand(2, Fault::Sense(0x05, 0x24, 0x00));
  const uint8_t erased = drive->E2()[0x0102];
  const uint8_t e2[] = {1, 2, 3, 4};
  EXPECT_FALSE(form->WriteE2(e2, 0x0100, 4));
  EXPECT_EQ(transport.Log().size(), 2u);
  EXPECT_EQ(drive->E2()[0x0100], 1);
  EXPECT_EQ(drive->E2()[0x0101], erased);
  EXPECT_EQ(drive->E2()[0x0102], erased);
  EXPECT_EQ(services.boxes.Texts(), std::vector<std::string>{"Write E2> 05 24 00. 02, 0000"});
}

TEST_F(FlashCommandsTest, CheckDiscIsTrueOnlyForMediumNotPresent) {
  EXPECT_TRUE(form->CheckDisc());
  EXPECT_EQ(CdbOf(Last()), Bytes({0xBE, 0, 0, 0, 0, 0x10, 0, 0, 0x01, 0x10, 0, 0}));
  EXPECT_EQ(Last().length, 8u);
  EXPECT_EQ(Last().direction, platform::Direction::In);

  // A probe refused without sense says nothing about a disc; so does another sense.
  drive->FailCommand(1, Fault::Transport(EPERM));
  EXPECT_FALSE(form->CheckDisc());
  drive->FailCommand(1, Fault::Sense(0x22, 0x3A, 0x00));  // incorrect-length bit set
  EXPECT_FALSE(form->CheckDisc());

  drive->Config().discPresent = true;
  EXPECT_FALSE(form->CheckDisc());
  EXPECT_TRUE(services.boxes.shown.empty());
}

// Every flash operation fails, with its own prefix, on every kind of fault:
// the ones without sense data must not pass for success.
struct FaultCase {
  const char* name;
  Fault fault;
  std::string systemLine;  // the system's words for the error, on a line of its own
};

class FlashCommandFaultTest : public FlashCommandsTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FlashCommandFaultTest, EveryOperationReportsTheFailure) {
  const Fault fault = GetParam().fault;
  std::vector<uint8_t> block = BinBytes(0, 0x4000);
  std::vector<uint8_t> readBack(0x4000, 0x5C);
  const uint8_t e2[] = {0x42};
  const uint8_t erased = drive->E2()[0x10];
  struct Operation {
    const char* prefix;
    std::function<bool()> run;
  };
  const std::vector<Operation> operations = {
      {"Write Buffer> ", [&] { return form->WriteBuffer(0, block.data(), 0x00, 0x4000); }},
      {"Write Buffer> ", [&] { return form->WriteBuffer(0, nullptr, 0x80, 0); }},
      {"Read Buffer> ", [&] { return form->ReadBuffer(0, readBack.data(), 0x4000); }},
      {"Entry critical> ", [&] { return form->EntryCritical(); }},
      {"Write E2> ", [&] { return form->WriteE2(e2, 0x10, 1); }},
  };
  for (const Operation& operation : operations) {
    SCOPED_TRACE(operation.prefix);
    services.boxes.shown.clear();
    drive->FailCommand(1, fault);
    EXPECT_FALSE(operation.run());
    ASSERT_EQ(services.boxes.shown.size(), 1u);
    EXPECT_EQ(services.boxes.shown[0].buttons, platform::BoxButtons::Ok);
    EXPECT_EQ(services.boxes.shown[0].text,
              operation.prefix + form->CurrentDrive->GetErrorText() + GetParam().systemLine);
  }
  // A failed read leaves the caller's buffer alone, and nothing reached the drive.
  EXPECT_EQ(readBack, std::vector<uint8_t>(0x4000, 0x5C));
  EXPECT_EQ(drive->FlashStartCount(), 0u);
  EXPECT_EQ(drive->EntryCriticalCount(), 0u);
  EXPECT_EQ(drive->E2()[0x10], erased);
}

INSTANTIATE_TEST_SUITE_P(Faults, FlashCommandFaultTest,
                         ::testing::Values(FaultCase{"Sense", Fault::Sense(0x05, 0x24, 0x00), ""},
                                           FaultCase{"RefusedByKernel", Fault::Transport(EPERM),
                                                     SystemLine(EPERM)},
                                           FaultCase{"Busy", Fault::Busy(), ""},
                                           FaultCase{"TimeOut", Fault::TimeOut(), SystemLine(ETIMEDOUT)},
                                           FaultCase{"Aborted", Fault::Aborted(), SystemLine(EINTR)}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace flash_tests
