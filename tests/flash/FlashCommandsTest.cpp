// The vendor flash commands: command blocks, data phases, and the failure of
// every operation for every kind of fault, including those without sense data.
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

TEST_F(FlashCommandsTest, WriteBufferSendsOneBlockAtItsOffset) {
  std::vector<uint8_t> block = BinBytes(0x7C000, 0x4000);
  ASSERT_TRUE(form->WriteBuffer(0x7C000, block.data(), 0x00, 0x4000));
  ASSERT_EQ(transport.Log().size(), 1u);
  EXPECT_EQ(CdbOf(Last()), Bytes({0x3B, 0x05, 0x01, 0x07, 0xC0, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Last().direction, platform::Direction::Out);
  EXPECT_EQ(Last().length, 0x4000u);
  EXPECT_EQ(Last().dataOut, block);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), drive->Dram().begin() + 0x7C000));
  EXPECT_EQ(form->CommandBlock[0], 0x3B);
  EXPECT_TRUE(services.boxes.shown.empty());
}

TEST_F(FlashCommandsTest, FlashStartTakesSixteenBytesInAndIgnoresTheData) {
  ASSERT_TRUE(form->WriteBuffer(0, nullptr, 0x80, 0));
  EXPECT_EQ(CdbOf(Last()), Bytes({0x3B, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00}));
  EXPECT_EQ(Last().direction, platform::Direction::In);
  EXPECT_EQ(Last().length, 16u);
  ASSERT_TRUE(form->WriteBuffer(0, nullptr, 0xA0, 0));
  EXPECT_EQ(Last().cdb[9], 0xA0);
  EXPECT_EQ(Last().length, 16u);
  EXPECT_EQ(drive->FlashStartCount(), 2u);
}

TEST_F(FlashCommandsTest, ReadBufferCopiesTheDramOut) {
  for (uint32_t i = 0; i < 0x4000; ++i) drive->Dram()[0x4000 + i] = static_cast<uint8_t>(i * 3);
  std::vector<uint8_t> data(0x4000, 0xEE);
  ASSERT_TRUE(form->ReadBuffer(0x4000, data.data(), 0x4000));
  EXPECT_EQ(CdbOf(Last()), Bytes({0x3C, 0x01, 0x01, 0x00, 0x40, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Last().direction, platform::Direction::In);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), drive->Dram().begin() + 0x4000));
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

TEST_F(FlashCommandsTest, EntryCriticalAndE2Writes) {
  ASSERT_TRUE(form->EntryCritical());
  EXPECT_EQ(CdbOf(Last()), Bytes({0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0x7F, 0, 0}));
  EXPECT_EQ(Last().length, 0u);
  EXPECT_EQ(drive->EntryCriticalCount(), 1u);

  transport.ClearLog();
  const uint8_t e2[] = {0x11, 0x22, 0x33};
  ASSERT_TRUE(form->WriteE2(e2, 0xFFFF, 3));  // the address wraps to 0x0000
  ASSERT_EQ(transport.Log().size(), 3u);
  EXPECT_EQ(CdbOf(transport.Log()[0]), Bytes({0xDF, 0x0A, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0x11, 0, 0}));
  EXPECT_EQ(CdbOf(transport.Log()[1]), Bytes({0xDF, 0x0A, 0, 0, 0, 0, 0, 0x00, 0x00, 0x22, 0, 0}));
  EXPECT_EQ(CdbOf(transport.Log()[2]), Bytes({0xDF, 0x0A, 0, 0, 0, 0, 0, 0x00, 0x01, 0x33, 0, 0}));
  EXPECT_EQ(drive->E2()[0xFFFF], 0x11);
  EXPECT_EQ(drive->E2()[0x0001], 0x33);

  transport.ClearLog();
  EXPECT_TRUE(form->WriteE2(e2, 0, 0));
  EXPECT_TRUE(transport.Log().empty());
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

TEST_F(FlashCommandsTest, ErrorTextCarriesSenseStatusAndSystemError) {
  drive->FailCommand(1, Fault::Sense(0x05, 0x24, 0x00));
  EXPECT_FALSE(form->EntryCritical());
  EXPECT_EQ(services.boxes.Texts().back(), "Entry critical> 05 24 00. 02, 0000");

  drive->FailCommand(1, Fault::Busy());
  EXPECT_FALSE(form->EntryCritical());
  EXPECT_EQ(services.boxes.Texts().back(), "Entry critical> 00 00 00. 08, 0000");
}

}  // namespace
}  // namespace flash_tests
