// The package layout as read in place, the mode test and the classification
// of the image by its signatures, on crafted packages.
#include <gtest/gtest.h>

#include <cstring>

#include "package/Package.h"
#include "tests/support/CraftedPackage.h"
#include "tests/support/TestDoubles.h"
#include "tests/support/TestForm.h"

using package::PackageView;
using testing_support::CraftPackage;
using testing_support::PutSignature;
using testing_support::TestForm;

namespace {

struct Classification {
  bool shortId;
  bool longId;
  uint32_t binLength;
};

Classification Classify(const std::vector<uint8_t>& package, bool presetFlags = false) {
  TestForm form(package.data());
  form.ShortIdProfile = presetFlags;
  form.LongIdProfile = presetFlags;
  form.CheckNewFormatBIN();
  return {form.ShortIdProfile, form.LongIdProfile, form.BinLength};
}

// The layout written out here byte by byte, with the format's offsets and
// lengths rather than the code's constants: the writer must produce these
// bytes and the reader must find every field in them, so that reader and
// writer cannot move a field together.
TEST(PackageLayout, WriterAndReaderFollowTheLayoutWrittenOut) {
  std::vector<uint8_t> image(524288);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 11));
  const package::Identity identity{"QRD-73318K", "VOX-TEL CRW-5232S", "Q100-Q149", "VoxTEL-DS",
                                   "FLASH-ALL note",  "Q150.",             0x00070304};
  std::vector<uint8_t> expected(524440, 0);
  const auto put = [&expected](size_t offset, const std::string& bytes) {
    std::copy(bytes.begin(), bytes.end(), expected.begin() + static_cast<long>(offset));
  };
  put(0, std::string("KEYWORD-FOR-TS\0", 15));
  put(15, "QRD-73318K");
  put(40, "VOX-TEL CRW-5232S");
  put(65, "Q100-Q149");
  put(90, "VoxTEL-DS");
  put(115, "FLASH-ALL note");
  put(140, "Q150.");
  put(148, "\x04\x03\x07");  // 0x00070304, little-endian
  std::copy(image.begin(), image.end(), expected.begin() + 152);

  const std::vector<uint8_t> made = package::MakePackage("KEYWORD-FOR-TS", identity, image.data(), image.size());
  ASSERT_EQ(made.size(), 524440u);
  EXPECT_EQ(std::vector<uint8_t>(made.begin(), made.begin() + 152),
            std::vector<uint8_t>(expected.begin(), expected.begin() + 152));
  EXPECT_TRUE(std::equal(made.begin() + 152, made.end(), expected.begin() + 152));

  // Readers stop at a slot's zero byte, whatever follows it in the slot.
  for (size_t slot : {15, 40, 65, 90, 115}) std::fill_n(expected.begin() + static_cast<long>(slot) + 20, 5, '#');
  const PackageView view(expected.data());
  EXPECT_EQ(view.KeyWord(), expected.data());
  EXPECT_EQ(PackageView::SlotText(view.ModelSlot()), "QRD-73318K");
  EXPECT_EQ(PackageView::SlotText(view.InquirySlot()), "VOX-TEL CRW-5232S");
  EXPECT_EQ(PackageView::SlotText(view.FWRangeSlot()), "Q100-Q149");
  EXPECT_EQ(PackageView::SlotText(view.VendorSlot()), "VoxTEL-DS");
  EXPECT_EQ(PackageView::SlotText(view.NoteSlot()), "FLASH-ALL note");
  EXPECT_TRUE(view.IsFlashAll());
  EXPECT_EQ(std::string(view.Version(), 5), "Q150.");
  EXPECT_EQ(view.BinLength(), 0x00070304u);
  EXPECT_EQ(view.BinArea(), expected.data() + 152);
}

TEST(PackageLayout, SlotTextStopsAtZeroAndNeverPassesTheWidth) {
  const char full[30] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ12";  // no zero within 25 bytes
  EXPECT_EQ(PackageView::SlotText(full), std::string(full, 25));
  EXPECT_EQ(PackageView::SlotText(full, 4), "ABCD");
  const char shortText[25] = "AB\0CD";
  EXPECT_EQ(PackageView::SlotText(shortText), "AB");
}

TEST(PackageLayout, BuilderTagIsCaseSensitive) {
  std::vector<uint8_t> p = CraftPackage();
  std::memcpy(p.data() + package::kBinAreaOffset, "OBEL", 4);
  EXPECT_TRUE(PackageView(p.data()).IsBuilder());
  std::memcpy(p.data() + package::kBinAreaOffset, "obel", 4);
  EXPECT_FALSE(PackageView(p.data()).IsBuilder());
  std::memcpy(p.data() + package::kBinAreaOffset, "OBEl", 4);
  EXPECT_FALSE(PackageView(p.data()).IsBuilder());
  std::memcpy(p.data() + package::kBinAreaOffset, "XOBEL", 5);
  EXPECT_FALSE(PackageView(p.data()).IsBuilder());
}

// The whole-flash write: the Note's first nine bytes, case-sensitive.
TEST(PackageLayout, FlashAllIsTheNotesFirstNineBytes) {
  for (const auto& [note, all] : std::vector<std::pair<std::string, bool>>{
           {"FLASH-ALL", true}, {"FLASH-ALL parts", true}, {"flash-all", false}, {"FLASH-AL", false}}) {
    testing_support::PackageTexts texts;
    texts.note = note;
    EXPECT_EQ(PackageView(CraftPackage(texts).data()).IsFlashAll(), all) << note;
  }
}

TEST(Classification, NoSignatureClearsBothFlagsAndCopiesBinLength) {
  Classification c = Classify(CraftPackage({}, 262144), /*presetFlags=*/true);
  EXPECT_FALSE(c.shortId);
  EXPECT_FALSE(c.longId);
  EXPECT_EQ(c.binLength, 262144u);
}

TEST(Classification, LongIdModelTextsAtTheFirstTwoProbesIgnoreCase) {
  for (const char* text : {"DVD-ROM MVK-417", "dvd-rom mvk-417", "DVD-ROM MVR-552", "Dvd-Rom Mvr-552"}) {
    std::vector<uint8_t> p = CraftPackage();
    PutSignature(p, 0x4000, text);
    EXPECT_TRUE(Classify(p).longId) << text << " at 0x4000";
    EXPECT_FALSE(Classify(p).shortId);
    p = CraftPackage();
    PutSignature(p, 0x4008, text);
    EXPECT_TRUE(Classify(p).longId) << text << " at 0x4008";
  }
}

TEST(Classification, ComboIsComparedOverFiveBytesOnly) {
  std::vector<uint8_t> p = CraftPackage();
  PutSignature(p, 0x14000, "COMBO-DRIVE 52X");
  EXPECT_TRUE(Classify(p).longId);
  p = CraftPackage();
  PutSignature(p, 0x14000, "combo");
  EXPECT_TRUE(Classify(p).longId);
  p = CraftPackage();
  PutSignature(p, 0x14000, std::string("COMB\0", 5));
  EXPECT_FALSE(Classify(p).longId);
  // The 16-byte text must match over all 16 bytes.
  p = CraftPackage();
  PutSignature(p, 0x14000, "DVD-ROM MVR-553X");
  EXPECT_TRUE(Classify(p).longId);
  p = CraftPackage();
  PutSignature(p, 0x14000, "DVD-ROM MVR-553Y");
  EXPECT_FALSE(Classify(p).longId);
}

TEST(Classification, ComparisonDoesNotStopAtAZeroByte) {
  // A comparison that stopped at the first zero would take these for a match.
  std::vector<uint8_t> p = CraftPackage();
  PutSignature(p, 0x4000, std::string("DVD-ROM\0\0\0\0\0\0\0\0", 15));
  EXPECT_FALSE(Classify(p).longId);
  p = CraftPackage();
  PutSignature(p, 0x4000, std::string("DVD-ROM MVK-41\0", 15));
  EXPECT_FALSE(Classify(p).longId);
}

TEST(Classification, FirstSignatureDecidesEvenWithoutAMatchingText) {
  std::vector<uint8_t> p = CraftPackage();
  PutSignature(p, 0x4000, "CD-RW CRW-5232S");
  PutSignature(p, 0x4008, "DVD-ROM MVK-417");
  PutSignature(p, 0x14000, "COMBO");
  PutSignature(p, 0x1100);
  Classification c = Classify(p);
  EXPECT_FALSE(c.longId);
  EXPECT_FALSE(c.shortId);

  // A signature at 0x4008 comes before 0x14000 and 0x1100.
  p = CraftPackage();
  PutSignature(p, 0x4008, "NOT A MODEL TEXT");
  PutSignature(p, 0x14000, "COMBO");
  PutSignature(p, 0x1100);
  c = Classify(p);
  EXPECT_FALSE(c.longId);
  EXPECT_FALSE(c.shortId);

  // Long wins over short: at most one flag is set.
  p = CraftPackage();
  PutSignature(p, 0x14000, "COMBO");
  PutSignature(p, 0x1100);
  c = Classify(p);
  EXPECT_TRUE(c.longId);
  EXPECT_FALSE(c.shortId);
}

TEST(Classification, ShortIdSignatureAloneAndReversedBytes) {
  std::vector<uint8_t> p = CraftPackage();
  PutSignature(p, 0x1100);
  Classification c = Classify(p);
  EXPECT_TRUE(c.shortId);
  EXPECT_FALSE(c.longId);

  // 0x80 0x05 is not the signature.
  p = CraftPackage();
  p[package::kBinAreaOffset + 0x1100] = 0x80;
  p[package::kBinAreaOffset + 0x1101] = 0x05;
  EXPECT_FALSE(Classify(p).shortId);
}

TEST(Classification, ProbesReadTheAreaRegardlessOfBinLength) {
  std::vector<uint8_t> p = CraftPackage({}, 4096);
  PutSignature(p, 0x14000, "COMBO");
  Classification c = Classify(p);
  EXPECT_TRUE(c.longId);
  EXPECT_EQ(c.binLength, 4096u);
}

}  // namespace
