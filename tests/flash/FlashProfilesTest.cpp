// Flash profiles: the table and its data, the choice of the profile from the
// flash-chip ID, the two record forms, and the checks of the record.
#include <cstring>
#include <fstream>
#include <iterator>

#include "flash/ProfileTable.h"
#include "tests/flash/FlashFixture.h"

namespace flash_tests {
namespace {

// The profile table written out here, with each profile's place in the data
// and the text it carries, independent of the program's table (from which
// the stand-in data is generated): a wrong entry, size or offset in the
// program's table shows, whatever data the program was built with.
TEST(ProfileTableTest, EntriesOffsetsAndTextsAreThoseOfTheTableWrittenOut) {
  const struct {
    std::array<uint8_t, 6> entry;
    uint32_t offset;
    const char* text;
  } table[] = {
      {{0xDA, 0xC8, 0x01, 0x3A, 0x00, 0x00}, 0x0000, nullptr},
      {{0xBF, 0xB4, 0x01, 0xC4, 0x00, 0x00}, 0x013A, nullptr},
      {{0xBF, 0xD6, 0x05, 0x00, 0x00, 0x01}, 0x02FE, "This profile is for SST39VF020/SST39SF020 V1.2"},
      {{0xBF, 0xB6, 0x05, 0x00, 0x00, 0x01}, 0x02FE, "This profile is for SST39VF020/SST39SF020 V1.2"},
      {{0x37, 0x8C, 0x05, 0x00, 0x00, 0x01}, 0x07FE, "This profile is for AMIC A29002 Top V1.2"},
      {{0xBF, 0xD7, 0x03, 0xE8, 0x00, 0x01}, 0x0CFE, "This profile is for SST39VF040/SST39SF040 V1.0"},
      {{0x37, 0x0D, 0x03, 0x1C, 0x00, 0x01}, 0x10E6, "This profile is for AMIC A290021 Top V1.0"},
      {{0xBF, 0xB6, 0x02, 0xB4, 0x00, 0x02}, 0x1402, "This profile is for SST39SF020 V1.0 in MVR553"},
  };
  static_assert(std::size(table) == flash::kProfileCount);
  for (size_t i = 0; i < flash::kProfileCount; ++i) {
    SCOPED_TRACE("entry " + std::to_string(i));
    const flash::ProfileEntry& e = flash::ProfileTable[i];
    EXPECT_EQ((std::array<uint8_t, 6>{e.id0, e.id1, e.sizeHigh, e.sizeLow, e.id2, e.id3}), table[i].entry);
    EXPECT_EQ(flash::ProfileOffsetOf(i), table[i].offset);
    const uint32_t size = uint32_t{table[i].entry[2]} << 8 | table[i].entry[3];
    if (table[i].text == nullptr) continue;
    const uint8_t* begin = flash::ProfileData() + table[i].offset;
    const uint8_t* end = begin + size;
    EXPECT_NE(std::search(begin, end, table[i].text, table[i].text + std::strlen(table[i].text)), end);
  }
  EXPECT_EQ(flash::kProfileDataSize, 0x1402u + 0x2B4u);
}

TEST(ProfileTableTest, StandInFileIsGeneratedInTheTableLayout) {
  if (!flash::ProfileDataIsStandIn()) GTEST_SKIP() << "built with the drive maker's profile data";
  std::ifstream file(FLASHUTIL_BINARY_DIR "/flash/ProfileData.standin.bin", std::ios::binary);
  ASSERT_TRUE(file) << "stand-in profile data file missing";
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), flash::kProfileDataSize);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash::ProfileData()));
  // The profiles differ from one another, so a profile taken from a wrong offset shows.
  EXPECT_NE(std::memcmp(flash::ProfileData() + 0x02FE + 64, flash::ProfileData() + 0x07FE + 64, 64), 0);
}

struct RecordCase {
  const char* name;
  ImageClass kind;
  std::array<uint8_t, 4> flashId;
  bool matched;
  std::vector<uint8_t> header;  // the record's header (or the whole record without a match)
  uint32_t profileOffset;
  uint32_t profileSize;
  std::vector<uint8_t> writeCdb;
};

class ProfileRecordTest : public FlashFixture, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(ProfileRecordTest, RecordIsBuiltAndWrittenToTheDram) {
  const RecordCase& c = GetParam();
  SimDrive& drive = AddDrive(FittingDrive(c.flashId));
  Create(CraftImage(c.kind));
  std::vector<uint8_t> record(2048, 0xCC);
  ASSERT_TRUE(form->SetupFlashProfile(record.data()));

  std::vector<uint8_t> expected = c.header;
  const uint8_t* data = flash::ProfileData();
  expected.insert(expected.end(), data + c.profileOffset, data + c.profileOffset + c.profileSize);
  EXPECT_EQ(form->ProfileMatched, c.matched);
  EXPECT_EQ(form->ProfileRecordLength, expected.size());
  if (c.matched) {
    EXPECT_EQ(form->ProfileOffset, c.profileOffset);
    EXPECT_EQ(form->ProfileHeaderLength, c.header.size());
  }
  EXPECT_EQ(std::vector<uint8_t>(record.begin(), record.begin() + expected.size()), expected);

  ASSERT_EQ(transport.Log().size(), 2u);
  EXPECT_EQ(CdbOf(transport.Log()[0]), Bytes({0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(transport.Log()[0].length, 128u);
  EXPECT_EQ(transport.Log()[0].direction, platform::Direction::In);
  EXPECT_EQ(CdbOf(transport.Log()[1]), c.writeCdb);
  EXPECT_EQ(transport.Log()[1].direction, platform::Direction::Out);
  EXPECT_EQ(transport.Log()[1].dataOut, expected);
  EXPECT_EQ(drive.ProfileRecord(), expected);
  EXPECT_EQ(*drive.ProfileRecordOffset(), c.kind == ImageClass::LongId ? 0u : 0x80000u);
  EXPECT_TRUE(services.boxes.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, ProfileRecordTest,
    ::testing::Values(
        RecordCase{"ShortDAC8", ImageClass::ShortId, {0xDA, 0xC8, 0x77, 0x77}, true, Bytes({0xDA, 0xC8, 0x01, 0x3A}),
                   0x0000, 314, Bytes({0x3B, 0x05, 0x01, 0x08, 0, 0, 0, 0x01, 0x3E, 0x7F, 0, 0})},
        // The short form compares two ID bytes: BF B6 takes entry 3, never entry 7.
        RecordCase{"ShortBFB6", ImageClass::ShortId, {0xBF, 0xB6, 0x00, 0x02}, true, Bytes({0xBF, 0xB6, 0x05, 0x00}),
                   0x02FE, 1280, Bytes({0x3B, 0x05, 0x01, 0x08, 0, 0, 0, 0x05, 0x04, 0x7F, 0, 0})},
        RecordCase{"ShortBFB4", ImageClass::ShortId, {0xBF, 0xB4, 0, 0}, true, Bytes({0xBF, 0xB4, 0x01, 0xC4}),
                   0x013A, 452, Bytes({0x3B, 0x05, 0x01, 0x08, 0, 0, 0, 0x01, 0xC8, 0x7F, 0, 0})},
        RecordCase{"LongBFD6", ImageClass::LongId, {0xBF, 0xD6, 0x00, 0x01}, true,
                   Bytes({0xBF, 0xD6, 0x00, 0x01, 0x05, 0x00}), 0x02FE, 1280,
                   Bytes({0x3B, 0x05, 0x01, 0x00, 0, 0, 0, 0x05, 0x06, 0x7F, 0, 0})},
        RecordCase{"LongBFB6Rev1", ImageClass::LongId, {0xBF, 0xB6, 0x00, 0x01}, true,
                   Bytes({0xBF, 0xB6, 0x00, 0x01, 0x05, 0x00}), 0x02FE, 1280,
                   Bytes({0x3B, 0x05, 0x01, 0x00, 0, 0, 0, 0x05, 0x06, 0x7F, 0, 0})},
        RecordCase{"LongBFB6Rev2", ImageClass::LongId, {0xBF, 0xB6, 0x00, 0x02}, true,
                   Bytes({0xBF, 0xB6, 0x00, 0x02, 0x02, 0xB4}), 0x1402, 692,
                   Bytes({0x3B, 0x05, 0x01, 0x00, 0, 0, 0, 0x02, 0xBA, 0x7F, 0, 0})},
        RecordCase{"Long370D", ImageClass::LongId, {0x37, 0x0D, 0x00, 0x01}, true,
                   Bytes({0x37, 0x0D, 0x00, 0x01, 0x03, 0x1C}), 0x10E6, 796,
                   Bytes({0x3B, 0x05, 0x01, 0x00, 0, 0, 0, 0x03, 0x22, 0x7F, 0, 0})},
        RecordCase{"LongDAC8ZeroRev", ImageClass::LongId, {0xDA, 0xC8, 0x00, 0x00}, true,
                   Bytes({0xDA, 0xC8, 0x00, 0x00, 0x01, 0x3A}), 0x0000, 314,
                   Bytes({0x3B, 0x05, 0x01, 0x00, 0, 0, 0, 0x01, 0x40, 0x7F, 0, 0})},
        RecordCase{"ShortNoMatch", ImageClass::ShortId, {0x12, 0x34, 0, 0}, false, Bytes({0xFF, 0xFF, 0x00, 0x00}),
                   0, 0, Bytes({0x3B, 0x05, 0x01, 0x08, 0, 0, 0, 0x00, 0x04, 0x7F, 0, 0})},
        // The long form also compares bytes 2-3: a known maker and device code alone is no match.
        RecordCase{"LongOtherRevision", ImageClass::LongId, {0xBF, 0xD6, 0x00, 0x02}, false,
                   Bytes({0xFF, 0xFF, 0x00, 0x00}), 0, 0, Bytes({0x3B, 0x05, 0x01, 0x00, 0, 0, 0, 0x00, 0x04, 0x7F, 0, 0})},
        RecordCase{"LongDAC8NonZeroRev", ImageClass::LongId, {0xDA, 0xC8, 0x00, 0x01}, false,
                   Bytes({0xFF, 0xFF, 0x00, 0x00}), 0, 0, Bytes({0x3B, 0x05, 0x01, 0x00, 0, 0, 0, 0x00, 0x04, 0x7F, 0, 0})}),
    [](const auto& info) { return std::string(info.param.name); });

class ProfileCheckTest : public FlashFixture {
 protected:
  void Prepare(ImageClass kind, std::array<uint8_t, 4> flashId) {
    drive = &AddDrive(FittingDrive(flashId));
    Create(CraftImage(kind));
    ASSERT_TRUE(form->SetupFlashProfile(record.data()));
    transport.ClearLog();
  }
  std::vector<uint8_t> record = std::vector<uint8_t>(2048, 0);
  SimDrive* drive = nullptr;
};

TEST_F(ProfileCheckTest, LongRecordIsComparedWithTheTableWithoutACommand) {
  Prepare(ImageClass::LongId, {0xBF, 0xB6, 0x00, 0x02});
  drive->Dram().assign(drive->Dram().size(), 0);  // the BIN has overwritten the record since
  EXPECT_TRUE(form->ReadVerifyProfile(record.data()));
  record[6 + 691] ^= 0x01;  // the last profile byte of the kept copy
  EXPECT_FALSE(form->ReadVerifyProfile(record.data()));
  record[6 + 691] ^= 0x01;
  record[3] ^= 0x01;  // the header is not part of the comparison
  EXPECT_TRUE(form->ReadVerifyProfile(record.data()));
  EXPECT_TRUE(transport.Log().empty());
  EXPECT_TRUE(services.boxes.shown.empty());
}

}  // namespace
}  // namespace flash_tests
