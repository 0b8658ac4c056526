// Start-up workflow: mode decision, warning, detection, listing and reports,
// driven with scripted boxes and simulated drives.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "drive/CDDrive.h"
#include "drive/CDDrives.h"
#include "platform/sim/SimTransport.h"
#include "tests/support/CraftedPackage.h"
#include "tests/support/ForwardingTransport.h"
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
const std::string kSimulated = " (simulated drives)";

// The same drives, shown as a transport to the system's drives would show them.
class SystemDrives final : public testing_support::ForwardingTransport {
 public:
  using ForwardingTransport::ForwardingTransport;
  bool IsSimulated() const override { return false; }
};

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
  SystemDrives system(transport);
  CDDrive::SetTransport(&system);
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

// Where no drive can be listed and discovery tells why, a line under the
// report's last one names the cause and what to do.
TEST_F(FormCreateTest, NoDriveListedNamesTheCauseWhereItIsKnown) {
  const auto withFacts = [](bool known, unsigned optical, unsigned withoutNode, bool generic) {
    platform::DiscoveryFacts facts;
    facts.known = known;
    facts.opticalDevices = optical;
    facts.withoutNode = withoutNode;
    facts.genericDriver = generic;
    return facts;
  };
  const auto refusing = [](int error, int blockError, const std::string& group) {
    DriveConfig config = Drive(0, "VOX-TEL ", "QRD-73318K      ", "Q120");
    config.node = "/dev/sg1";
    config.openError = error;
    if (blockError != 0) {
      config.blockNode = "/dev/sr0";
      config.blockOpenError = blockError;
    }
    config.nodeGroup = group;
    return config;
  };
  struct Case {
    const char* what;
    platform::DiscoveryFacts facts;
    std::vector<DriveConfig> drives;
    std::string line;  // after "\nCan't find ATAPI Drive !\n"
  };
  const Case cases[] = {
      {"nothing known", withFacts(false, 0, 0, true), {}, ""},
      {"no optical drive", withFacts(true, 0, 0, false), {}, "No optical drive was found on this computer.\n"},
      {"no node, no sg", withFacts(true, 1, 1, false), {},
       "The sg module is not loaded: load it (sudo modprobe sg) and start again.\n"},
      {"no node, sg there", withFacts(true, 1, 1, true), {}, ""},
      {"refused", withFacts(true, 1, 0, true), {refusing(EACCES, 0, "cdrom")},
       "No access to /dev/sg1: add yourself to the group that owns it (cdrom) and log in again, or run as root.\n"},
      {"not permitted, group unknown", withFacts(false, 0, 0, true), {refusing(EPERM, 0, "")},
       "No access to /dev/sg1: run as root.\n"},
      {"root's own", withFacts(true, 1, 0, true), {refusing(EACCES, 0, "root")},
       "No access to /dev/sg1: run as root.\n"},
      {"only the block node, refused", withFacts(true, 1, 0, false), {refusing(ENOENT, EACCES, "disk")},
       "No access to /dev/sr0: add yourself to the group that owns it (disk) and log in again, or run as root.\n"},
      {"busy", withFacts(true, 1, 0, true), {refusing(EBUSY, 0, "cdrom")}, ""},
      // A refusal whose remedy the transport knows (Windows: the drive letter's
      // device opens for administrators only; its error code is no errno).
      {"refused, with the transport's remedy", withFacts(true, 1, 0, true), {refusing(5, 0, "")},
       "No access to /dev/sg1: Run the program as administrator.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimTransport local;
    CDDrive::SetTransport(&local);
    local.SetDiscovery(c.facts);
    local.SetOpenRemedy(5, "Run the program as administrator.");
    for (const DriveConfig& drive : c.drives) local.AddDrive(drive);
    std::vector<uint8_t> package = CraftPackage();
    TestForm form(package.data());
    services.boxes.AnswerYes();
    const size_t before = services.boxes.shown.size();
    form.FormCreate();
    ASSERT_GT(services.boxes.shown.size(), before + 1);
    EXPECT_EQ(services.boxes.shown.back().kind, BoxKind::Error);
    EXPECT_EQ(services.boxes.shown.back().text,
              "\nERROR:\n\nCan't found QRD-73318K firmware: Q100-Q149 drive !\n"
              "\nThis flash utility only supports QRD-73318K firmware: Q100-Q149\n"
              "\nCan't find ATAPI Drive !\n" + c.line);
    EXPECT_EQ(form.quitRequests, 1);
    form.FormDestroy();
    CDDrive::SetTransport(&transport);
  }
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
  // Simulated drives are named after every caption.
  EXPECT_EQ(form.caption, "VoxTEL-DS" + kTitle + "QRD-73318K" + kSimulated);
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

struct FitCase {
  const char* name;
  std::string inquiry;  // the package's Inquiry slot
  std::string fwRange;  // and its FW-Range slot
  std::string vendor, product, revision;  // what the drive reports
  bool fits;
};

const std::string kQrd = "VOX-TEL QRD-73318K";
const std::string kVox = "VOX-TEL ";
const std::string kQrdProduct = "QRD-73318K      ";

class CheckConditionTest : public FormCreateTest, public ::testing::WithParamInterface<FitCase> {};

// Runs detection with one drive: it is listed exactly when it fits.
TEST_P(CheckConditionTest, DriveIsListedWhenItFits) {
  const FitCase& c = GetParam();
  AddDrive(0, c.vendor, c.product, c.revision);
  PackageTexts texts;
  texts.inquiry = c.inquiry;
  texts.fwRange = c.fwRange;
  std::vector<uint8_t> package = CraftPackage(texts);
  TestForm form(package.data());
  services.boxes.AnswerYes();
  form.FormCreate();
  EXPECT_EQ(form.ComboCount() == 1, c.fits);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CheckConditionTest,
    ::testing::Values(
        // Both bounds inclusive, in the order of unsigned bytes.
        FitCase{"LowerBound", kQrd, "Q100-Q149", kVox, kQrdProduct, "Q100", true},
        FitCase{"UpperBound", kQrd, "Q100-Q149", kVox, kQrdProduct, "Q149", true},
        FitCase{"BelowLowerBound", kQrd, "Q100-Q149", kVox, kQrdProduct, "Q0ZZ", false},
        FitCase{"OneAboveUpperBound", kQrd, "Q100-Q149", kVox, kQrdProduct, "Q14:", false},
        FitCase{"EqualBounds", kQrd, "Q120-Q120", kVox, kQrdProduct, "Q120", true},
        FitCase{"AboveEqualBounds", kQrd, "Q120-Q120", kVox, kQrdProduct, "Q121", false},
        FitCase{"LowerCaseSortsAfterUpperCase", kQrd, "Q100-Q149", kVox, kQrdProduct, "q120", false},
        // A byte with its high bit set sorts after every ASCII character; as
        // a signed character it would sort before them.
        FitCase{"HighBitAboveTheRange", kQrd, "Q100-Q149", kVox, kQrdProduct, "Q1\xE0" "0", false},
        FitCase{"HighBitLowerBound", kQrd, "Q1\x90" "0-Q1\xF0" "0", kVox, kQrdProduct, "Q150", false},
        FitCase{"HighBitWithinTheRange", kQrd, "Q100-Q1\xF0" "0", kVox, kQrdProduct, "Q1\xE0" "0", true},
        // The upper bound is the slot from its sixth character: "Z" of a
        // six-character slot, not "ZZZZ" of the range right-aligned to nine.
        FitCase{"ShortRangeSlot", kQrd, "A-ZZZZ", kVox, kQrdProduct, "B000", false},
        // "--" accepts every drive, whatever its revision; one dash does not.
        FitCase{"DashesAtInquiryCharactersZeroAndOne", "--anything", "Q100-Q149", "ACME    ", "CDRW-5200       ",
                "0000", true},
        FitCase{"DashAtInquiryCharacterZeroOnly", "-OX-TEL QRD-73318K", "Q100-Q149", "ACME    ",
                "CDRW-5200       ", "Q120", false},
        FitCase{"DashAtInquiryCharacterOneOnly", "V-X-TEL QRD-73318K", "Q100-Q149", "ACME    ",
                "CDRW-5200       ", "Q120", false},
        // "-" at characters 0 and 5 of the range lifts the restriction; at one of them it does not.
        FitCase{"DashesAtRangeCharactersZeroAndFive", kQrd, "-100--149", kVox, kQrdProduct, "ZZZZ", true},
        FitCase{"DashAtRangeCharacterZeroOnly", kQrd, "-100-Q149", kVox, kQrdProduct, "ZZZZ", false},
        FitCase{"DashAtRangeCharacterFiveOnly", kQrd, "Q100--149", kVox, kQrdProduct, "Q120", false},
        // The identification: all 24 bytes, case-sensitive, blanks like any other byte.
        FitCase{"IdentificationIsCaseSensitive", kQrd, "Q100-Q149", "Vox-Tel ", kQrdProduct, "Q120", false},
        FitCase{"ShortInquiryNeedsBlanksInTheRest", kQrd, "Q100-Q149", kVox, "QRD-73318K-X    ", "Q120", false},
        FitCase{"LastIdentificationByte", kQrd, "Q100-Q149", kVox, "QRD-73318K     X", "Q120", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
