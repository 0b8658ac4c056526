// Start-up workflow: mode decision, warning, detection, listing and reports,
// driven with scripted boxes and simulated drives.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "drive/CDDrive.h"
#include "drive/CDDrives.h"
#include "platform/sim/SimTransport.h"
#include "tests/support/CraftedPackage.h"
#include "tests/support/TestDoubles.h"
#include "tests/support/TestForm.h"

using platform::BoxButtons;
using platform::BoxKind;
using platform::sim::DriveConfig;
using platform::sim::SimTransport;
using testing_support::CraftPackage;
using testing_support::PackageTexts;
using testing_support::TestForm;

namespace {

const std::string kTitle = " Flash Utility V1.049 ";

DriveConfig Drive(uint8_t host, const std::string& vendor, const std::string& product,
                  const std::string& revision) {
  DriveConfig config;
  config.host = host;
  config.vendor = vendor;
  config.product = product;
  config.revision = revision;
  return config;
}

class FormCreateTest : public ::testing::Test {
 protected:
  void SetUp() override { CDDrive::SetTransport(&transport); }
  void TearDown() override { CDDrive::SetTransport(nullptr); }

  void AddDrive(uint8_t host, const std::string& vendor, const std::string& product,
                const std::string& revision) {
    transport.AddDrive(Drive(host, vendor, product, revision));
  }

  size_t InquiryCount() const { return transport.CountOpcode(0x12); }

  testing_support::ServicesScope services;
  SimTransport transport;
};

std::string PlainWarning() {
  return "\nWARNING:\n\nThis flash utility only supports VoxTEL-DS QRD-73318K drive. "
         "\nPlease REMOVE disc and close all applications before run this utility!"
         "\nDon't turn off the system while flash is in progress! \n\nDo you wish to continue?\n";
}

TEST_F(FormCreateTest, BuilderTagStartsTheBuilderWithoutWarningOrDrives) {
  AddDrive(0, "VOX-TEL ", "QRD-73318K      ", "Q120");
  std::vector<uint8_t> package = testing_support::CraftBuilderPackage();
  TestForm form(package.data());
  form.FormCreate();
  EXPECT_TRUE(form.BuildMode);
  EXPECT_EQ(form.Drives, nullptr);
  EXPECT_EQ(transport.EnumerateCalls(), 0u);
  EXPECT_TRUE(transport.Log().empty());
  for (const auto& box : services.boxes.shown) EXPECT_NE(box.kind, BoxKind::Warning);
}

TEST_F(FormCreateTest, LowerCaseTagIsNotTheBuilder) {
  std::vector<uint8_t> package = CraftPackage();
  std::memcpy(package.data() + package::kBinAreaOffset, "obel", 4);
  TestForm form(package.data());
  form.FormCreate();
  EXPECT_FALSE(form.BuildMode);
  ASSERT_FALSE(services.boxes.shown.empty());
  EXPECT_EQ(services.boxes.shown[0].kind, BoxKind::Warning);
}

TEST_F(FormCreateTest, DecliningTheWarningQuitsWithoutTouchingADrive) {
  AddDrive(0, "VOX-TEL ", "QRD-73318K      ", "Q120");
  PackageTexts texts;
  texts.fwRange = "----------";
  std::vector<uint8_t> package = CraftPackage(texts);
  TestForm form(package.data());
  services.boxes.AnswerNo();
  form.FormCreate();

  ASSERT_EQ(services.boxes.shown.size(), 1u);
  const auto& box = services.boxes.shown[0];
  EXPECT_EQ(box.kind, BoxKind::Warning);
  EXPECT_EQ(box.caption, "Warning");
  EXPECT_EQ(box.buttons, BoxButtons::YesNo);
  EXPECT_EQ(box.text, PlainWarning());
  EXPECT_EQ(form.quitRequests, 1);
  EXPECT_TRUE(form.closeRequested);
  EXPECT_EQ(form.Drives, nullptr);
  EXPECT_EQ(transport.EnumerateCalls(), 0u);
  EXPECT_TRUE(transport.OpenOrder().empty());
  EXPECT_TRUE(transport.Log().empty());
  EXPECT_EQ(form.label, "Select the VoxTEL-DS drive you want to update:");
  EXPECT_EQ(form.caption, kTitle);
}

TEST_F(FormCreateTest, NoDriveAtAllReportsCantFindAndQuits) {
  std::vector<uint8_t> package = CraftPackage();
  TestForm form(package.data());
  services.boxes.AnswerYes();
  form.FormCreate();

  ASSERT_EQ(services.boxes.shown.size(), 2u);
  const auto& report = services.boxes.shown[1];
  EXPECT_EQ(report.kind, BoxKind::Error);
  EXPECT_EQ(report.caption, "Error");
  EXPECT_EQ(report.buttons, BoxButtons::Ok);
  EXPECT_EQ(report.text,
            "\nERROR:\n\nCan't found QRD-73318K firmware: Q100-Q149 drive !\n"
            "\nThis flash utility only supports QRD-73318K firmware: Q100-Q149\n"
            "\nCan't find ATAPI Drive !\n");
  EXPECT_EQ(form.quitRequests, 1);
  EXPECT_EQ(form.comboIndex, -1);
  EXPECT_NE(form.Drives, nullptr);  // kept until the form is destroyed
  EXPECT_EQ(form.TransferBuffer, nullptr);
}

TEST_F(FormCreateTest, NoDriveFitsListsEveryDriveInOrder) {
  AddDrive(0, "ACME    ", "CDRW-5200       ", "3.11");
  AddDrive(1, "VOX-TEL ", "QRD-73318K      ", "Q205");
  std::vector<uint8_t> package = CraftPackage();
  TestForm form(package.data());
  services.boxes.AnswerYes();
  form.FormCreate();

  ASSERT_EQ(services.boxes.shown.size(), 2u);
  EXPECT_EQ(services.boxes.shown[1].kind, BoxKind::Error);
  EXPECT_EQ(services.boxes.shown[1].text,
            "\nERROR:\n\nCan't found QRD-73318K firmware: Q100-Q149 drive !\n"
            "\nThis flash utility only supports QRD-73318K firmware: Q100-Q149\n"
            "\nDetected drives:\n" + std::string(59, '-') + "\n"
            "0-0-0  : ACME    CDRW-5200       3.11\n"
            "1-0-0  : VOX-TEL QRD-73318K      Q205\n");
  EXPECT_EQ(form.quitRequests, 1);
  EXPECT_TRUE(form.comboItems.empty());
}

TEST_F(FormCreateTest, OnlyTheThirdOfThreeDrivesFits) {
  AddDrive(0, "ACME    ", "CDRW-5200       ", "3.11");
  AddDrive(1, "VOX-TEL ", "QRD-73318K      ", "Q205");
  AddDrive(2, "VOX-TEL ", "QRD-73318K      ", "Q120");
  std::vector<uint8_t> package = CraftPackage();
  TestForm form(package.data());
  services.boxes.AnswerYes();
  form.FormCreate();

  EXPECT_EQ(services.boxes.shown.size(), 1u);  // the warning only: the report is dropped
  EXPECT_EQ(form.quitRequests, 0);
  ASSERT_EQ(form.comboItems, std::vector<std::string>{"2-0-0  : VOX-TEL QRD-73318K      Q120"});
  EXPECT_EQ(form.comboIndex, 0);
  EXPECT_EQ(form.DriveIndex[0], 2);
  ASSERT_NE(form.Drives, nullptr);
  EXPECT_EQ(form.CurrentDrive, form.Drives->Slots[2]);
  EXPECT_EQ(form.Drives->Current, form.Drives->Slots[2]);
  ASSERT_NE(form.TransferBuffer, nullptr);
  EXPECT_EQ(form.TransferBuffer, CDDrive::GetDataBuffer());
  EXPECT_EQ(CDDrive::DataLength, 16384u);
  EXPECT_FALSE(form.fileListVisible);
  EXPECT_EQ(form.caption, "VoxTEL-DS" + kTitle + "QRD-73318K");
  EXPECT_EQ(form.label, "Select the VoxTEL-DS drive you want to update:");
  EXPECT_EQ(form.BinLength, 524288u);  // the classification ran
  // One INQUIRY per drive when it was opened, and a fresh one for each text shown.
  EXPECT_EQ(InquiryCount(), 6u);
}

TEST_F(FormCreateTest, ShortRangeIsRightAlignedInWarningAndReport) {
  PackageTexts texts;
  texts.fwRange = "Q1-Q2";
  std::vector<uint8_t> package = CraftPackage(texts);
  TestForm form(package.data());
  services.boxes.AnswerYes();
  form.FormCreate();

  EXPECT_EQ(form.FWRange, "    Q1-Q2");
  ASSERT_EQ(services.boxes.shown.size(), 2u);
  EXPECT_EQ(services.boxes.shown[0].text,
            "\nWARNING:\n\nThis flash utility only supports VoxTEL-DS QRD-73318K drive with firmware:"
            "    Q1-Q2\nPlease REMOVE disc and close all applications before run this utility! "
            "\nDon't turn off the system while the flash is in progress!\n\nDo you wish to continue?\n");
  EXPECT_EQ(services.boxes.shown[1].text,
            "\nERROR:\n\nCan't found QRD-73318K firmware:     Q1-Q2 drive !\n"
            "\nThis flash utility only supports QRD-73318K firmware:     Q1-Q2\n"
            "\nCan't find ATAPI Drive !\n");
}

TEST_F(FormCreateTest, UnrestrictedPackageUsesTheShortTexts) {
  PackageTexts texts;
  texts.fwRange = "-XXXX-YYY";  // "-" at characters 0 and 5
  std::vector<uint8_t> package = CraftPackage(texts);
  TestForm form(package.data());
  services.boxes.AnswerYes();
  form.FormCreate();
  ASSERT_EQ(services.boxes.shown.size(), 2u);
  EXPECT_EQ(services.boxes.shown[0].text, PlainWarning());
  EXPECT_EQ(services.boxes.shown[1].text,
            "\nERROR:\n\nCan't found QRD-73318K drive !\n"
            "\nThis flash utility only supports QRD-73318K\n"
            "\nCan't find ATAPI Drive !\n");
}

TEST_F(FormCreateTest, WildcardInquiryAcceptsEveryDrive) {
  AddDrive(0, "ACME    ", "CDRW-5200       ", "3.11");
  AddDrive(1, "VOX-TEL ", "QRD-73318K      ", "Z999");
  PackageTexts texts;
  texts.inquiry = "--";
  std::vector<uint8_t> package = CraftPackage(texts);
  TestForm form(package.data());
  services.boxes.AnswerYes();
  form.FormCreate();
  EXPECT_EQ(form.comboItems.size(), 2u);
  EXPECT_EQ(form.DriveIndex[0], 0);
  EXPECT_EQ(form.DriveIndex[1], 1);
}

TEST_F(FormCreateTest, MoreThanTwentyFittingDrivesListTwenty) {
  for (int i = 0; i < 23; ++i) AddDrive(static_cast<uint8_t>(i), "VOX-TEL ", "QRD-73318K      ", "Q120");
  std::vector<uint8_t> package = CraftPackage();
  TestForm form(package.data());
  services.boxes.AnswerYes();
  form.FormCreate();
  EXPECT_EQ(form.Drives->GetCount(), 23);
  EXPECT_EQ(form.comboItems.size(), 20u);
  EXPECT_EQ(form.DriveIndex[19], 19);
  EXPECT_EQ(form.quitRequests, 0);
}

TEST_F(FormCreateTest, ChangingTheEntrySelectsItsDriveAndTypedTextKeepsTheCurrentOne) {
  AddDrive(0, "VOX-TEL ", "QRD-73318K      ", "Q120");
  AddDrive(1, "ACME    ", "CDRW-5200       ", "3.11");
  AddDrive(2, "VOX-TEL ", "QRD-73318K      ", "Q130");
  std::vector<uint8_t> package = CraftPackage();
  TestForm form(package.data());
  services.boxes.AnswerYes();
  form.FormCreate();
  ASSERT_EQ(form.comboItems.size(), 2u);
  EXPECT_EQ(form.CurrentDrive, form.Drives->Slots[0]);

  form.comboIndex = 1;
  form.ComboBoxChange();
  EXPECT_EQ(form.CurrentDrive, form.Drives->Slots[2]);

  form.TypeComboText();
  EXPECT_EQ(form.CurrentDrive, form.Drives->Slots[2]);
}

// --- The identity and firmware-range checks ---------------------------------

class CheckConditionTest : public FormCreateTest {
 protected:
  // Runs detection with one drive and tells whether it was listed.
  bool Fits(const PackageTexts& texts, const std::string& vendor, const std::string& product,
            const std::string& revision) {
    AddDrive(0, vendor, product, revision);
    std::vector<uint8_t> package = CraftPackage(texts);
    TestForm form(package.data());
    services.boxes.AnswerYes();
    form.FormCreate();
    return form.ComboCount() == 1;
  }
};

TEST_F(CheckConditionTest, BoundsAreInclusiveInUnsignedByteOrder) {
  EXPECT_TRUE(Fits({}, "VOX-TEL ", "QRD-73318K      ", "Q100"));
}
TEST_F(CheckConditionTest, UpperBoundFits) { EXPECT_TRUE(Fits({}, "VOX-TEL ", "QRD-73318K      ", "Q149")); }
TEST_F(CheckConditionTest, OneAboveUpperBoundDoesNotFit) {
  EXPECT_FALSE(Fits({}, "VOX-TEL ", "QRD-73318K      ", "Q14:"));
}
TEST_F(CheckConditionTest, LowerCaseRevisionSortsAfterUpperCase) {
  EXPECT_FALSE(Fits({}, "VOX-TEL ", "QRD-73318K      ", "q120"));
}
TEST_F(CheckConditionTest, HighBitRevisionSortsLast) {
  EXPECT_FALSE(Fits({}, "VOX-TEL ", "QRD-73318K      ", "Q1\xE0" "0"));
}
TEST_F(CheckConditionTest, IdentificationIsCaseSensitive) {
  EXPECT_FALSE(Fits({}, "Vox-Tel ", "QRD-73318K      ", "Q120"));
}
TEST_F(CheckConditionTest, ShortInquiryNeedsBlanksInTheRest) {
  EXPECT_FALSE(Fits({}, "VOX-TEL ", "QRD-73318K-X    ", "Q120"));
}
TEST_F(CheckConditionTest, WildcardInquiryIgnoresTheRange) {
  PackageTexts texts;
  texts.inquiry = "--anything";
  EXPECT_TRUE(Fits(texts, "ACME    ", "CDRW-5200       ", "0000"));
}
TEST_F(CheckConditionTest, UnrestrictedRangeAcceptsAnyRevision) {
  PackageTexts texts;
  texts.fwRange = "-----";
  texts.fwRange += "-";
  EXPECT_TRUE(Fits(texts, "VOX-TEL ", "QRD-73318K      ", "ZZZZ"));
}

}  // namespace
