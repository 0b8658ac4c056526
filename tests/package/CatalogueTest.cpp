// Builder mode: the INI model catalogue, the model box, the file mask and
// the choice of a BIN file.
#include <gtest/gtest.h>

#include <array>
#include <memory>

#include "package/Catalogue.h"
#include "platform/Files.h"
#include "platform/ProfileFile.h"
#include "platform/Services.h"
#include "tests/package/WorkDir.h"
#include "tests/support/CraftedPackage.h"
#include "tests/support/TestDoubles.h"
#include "tests/support/TestForm.h"
#if defined(_WIN32)
#include "platform/win/WinServices.h"
#endif

using package_tests::Section;
using package_tests::TempDir;
using package_tests::WriteFile;
using package_tests::WriteText;
using testing_support::TestForm;
using namespace std::string_literals;

namespace {

const std::string kTitle = " Flash Utility V1.049 ";

// Catalogue files and the values the system's profile reader reads from
// them. The same table runs against every reader of a platform: on Windows
// the system's own reader and IniFile, elsewhere IniFile.
struct ProfileCase {
  const char* name;
  std::string text;
  // Section, key and the value read with the default "FAIL".
  std::vector<std::array<std::string, 3>> reads;
};

const std::vector<ProfileCase>& ProfileCases() {
  static const std::vector<ProfileCase> cases = {
      {"quotes", "[S]\nA=\"quoted\"\nB='single'\nC=\"half\nD= \"  spaced  \" \nE=\"a\"b\"\nF=\"\"\n"
                 "G=\"\nH='mixed\"\nI=\"\"\"\"\n",
       {{"S", "A", "quoted"}, {"S", "B", "single"}, {"S", "C", "\"half"}, {"S", "D", "  spaced  "},
        {"S", "E", "a\"b"}, {"S", "F", ""}, {"S", "G", "\""}, {"S", "H", "'mixed\""}, {"S", "I", "\"\""}}},
      {"colon", "[S]\nA:colon\nB = x:y\n", {{"S", "A", "FAIL"}, {"S", "A:colon", "FAIL"}, {"S", "B", "x:y"}}},
      {"duplicate sections", "[S]\nA=1\n[T]\nX=1\n[s]\nA=2\nB=2\n",
       {{"S", "A", "1"}, {"S", "B", "FAIL"}, {"T", "X", "1"}}},
      {"duplicate keys", "[S]\nA=first\nA=second\na=third\nB\nB=later\nC =\nC=later\n",
       {{"S", "A", "first"}, {"S", "B", "FAIL"}, {"S", "C", ""}}},
      {"zero bytes", "[S\0x]\nA=be\0fore\nB=after\nC=a \0\nD=\"x\0\"\nE\0=e\nF \0=f\n[T]\nG=g\n\0"s,
       {{"S", "A", "be"}, {"S", "B", "after"}, {"S", "C", "a "}, {"S", "D", "\"x"}, {"S", "E", "e"},
        {"S", "F", "FAIL"}, {"T", "G", "g"}}},
      {"long lines", "[S]\nA=" + std::string(300, 'x') + "\nB=" + std::string(4000, 'y') + "C=spill\nC=c\n",
       {{"S", "A", std::string(255, 'x')}, {"S", "B", std::string(255, 'y')}, {"S", "C", "c"}}},
      {"line ends", "[S]\r\nA=crlf\r\nB = val \r\n\r\n[T]\rC=cr\rD=d\r",
       {{"S", "A", "crlf"}, {"S", "B", "val"}, {"T", "C", "cr"}, {"T", "D", "d"}}},
      {"blanks around names", "  [ S ]  \n  A  =  v  \n\tB\t=\t\v'w'\f\n[T]\nC = x y \n",
       {{"s", "a", "v"}, {"S", "B", "w"}, {"T", "C", "x y"}}},
      {"headers", "top=1\n[S]\nA=1\n[U\nE=e\n[A]B]\nK=ab\n[V]x\nF=f\n[W]\n=novalue\nG==eq\n",
       {{"", "top", "1"}, {"S", "E", "e"}, {"U", "E", "FAIL"}, {"A]B", "K", "ab"}, {"A", "K", "FAIL"},
        {"V", "F", "f"}, {"W", "G", "=eq"}}},
      {"comments", "[S]\n;A=comment\nA=real\n#B=hash\nC=val ; comment\nD=;x\n",
       {{"S", "A", "real"}, {"S", ";A", "comment"}, {"S", "#B", "hash"}, {"S", "C", "val ; comment"},
        {"S", "D", ";x"}}},
      // (With the mark, the system's reader converts the text to the ANSI code page.)
      {"byte-order mark", "\xEF\xBB\xBF[S]\nA=bom\n", {{"S", "A", "bom"}}},
  };
  return cases;
}

std::vector<std::pair<std::string, platform::ProfileReader*>> ProfileReaders() {
  static platform::IniFileReader portable;
#if defined(_WIN32)
  static platform::win::SystemProfileReader system;
  return {{"GetPrivateProfileStringA", &system}, {"IniFile", &portable}};
#else
  return {{"IniFile", &portable}};
#endif
}

TEST(ProfileReading, EveryReaderReadsTheSameValues) {
  TempDir dir;
  for (const ProfileCase& c : ProfileCases()) {
    const std::string path = dir / (std::string("case-") + std::to_string(&c - ProfileCases().data()) + ".ini");
    WriteText(path, c.text);
    for (const auto& [readerName, reader] : ProfileReaders()) {
      const std::unique_ptr<platform::ProfileFile> file = reader->Open(path);
      ASSERT_TRUE(file) << readerName << ": " << c.name;
      for (const auto& [section, key, expected] : c.reads) {
        EXPECT_EQ(file->Get(section, key, "FAIL"), expected)
            << readerName << ": " << c.name << " [" << section << "] " << key;
      }
    }
  }
  for (const auto& [readerName, reader] : ProfileReaders()) {
    EXPECT_FALSE(reader->Open(dir / "missing.ini")) << readerName;
    EXPECT_FALSE(reader->Open(dir.Path().string())) << readerName << ": a directory is no file";
  }
}

class CatalogueTest : public ::testing::Test {
 protected:
  CatalogueTest() : package(testing_support::CraftBuilderPackage()), form(package.data()) {
    form.programFile = dir / "BUILDER.EXE";
    form.currentDirectory = dir.Path().string();
  }

  std::string IniPath() const { return dir / "BUILDER.INI"; }
  void WriteIni(const std::string& text) { WriteText(IniPath(), text); }
  void Touch(const std::string& name) { WriteFile(dir / name, {1, 2, 3}); }
  std::vector<std::string> BoxTexts() const { return services.boxes.Texts(); }

  std::string ThreeModels() const {
    return Section(0, "QRD-73318K", "VOX-TEL QRD-73318K", "Q100-Q149", "Q*.BIN") +
           Section(1, "DVD-ROM MVK-417", "VOX-TEL DVD-ROM MVK-417", "K100-K299", "K*.BIN", "VoxTEL-DS",
                   "FLASH-ALL") +
           Section(2, "CRW-5232S", "VOX-TEL CRW-5232S", "S100-S199", "S*.BIN;s*.bin");
  }

  testing_support::ServicesScope services;
  TempDir dir;
  std::vector<uint8_t> package;
  TestForm form;
};

TEST(IniPath, ExtensionReplacedOrAppended) {
  EXPECT_EQ(package::IniPathFor("/opt/tools/BUILDER.EXE"), "/opt/tools/BUILDER.INI");
  EXPECT_EQ(package::IniPathFor("/opt/tools/flashutil-sim"), "/opt/tools/flashutil-sim.INI");
  EXPECT_EQ(package::IniPathFor("/opt/tools.d/flashutil"), "/opt/tools.d/flashutil.INI");
  EXPECT_EQ(package::IniPathFor("/opt/a.b.exe"), "/opt/a.b.INI");
}

#if defined(_WIN32)
// In the double-byte code pages the second byte of a character may be 0x5C,
// "\": Big5 \xB3\x5C is 許 and \xA5\x5C is 功 (950), Shift-JIS \x83\x5C is ソ
// (932). Paths are taken apart and put together by characters of the code
// page; in a single-byte one (1252) every 0x5C is a separator.
TEST(IniPath, PathsAreSplitAndJoinedByCharactersOfTheCodePage) {
  const struct {
    unsigned codePage;
    std::string path, directory, name;
  } splits[] = {
      {950, "C:\\tools\\\xB3\x5C", "C:\\tools", "\xB3\x5C"},
      {950, "C:\\tools\\\xB3\x5C\\ABCD.BIN", "C:\\tools\\\xB3\x5C", "ABCD.BIN"},
      {950, "C:\\tools\\\xA5\x5C\xB3\x5C.bin", "C:\\tools", "\xA5\x5C\xB3\x5C.bin"},
      {950, "C:/tools/\xB3\x5C/a.bin", "C:/tools/\xB3\x5C", "a.bin"},
      {932, "C:\\\x83\x5C\\\x83\x5C.BIN", "C:\\\x83\x5C", "\x83\x5C.BIN"},
      {932, "\x83\x5C", "", "\x83\x5C"},
      {1252, "C:\\tools\\\xB3\x5Cx", "C:\\tools\\\xB3", "x"},
      {950, "C:\\tools\\ab\xB3", "C:\\tools", "ab\xB3"},  // a lead byte at the end stands alone
  };
  for (const auto& c : splits) {
    SCOPED_TRACE(std::to_string(c.codePage) + " " + c.path);
    EXPECT_EQ(platform::PathDirectory(c.path, c.codePage), c.directory);
    EXPECT_EQ(platform::PathFileName(c.path, c.codePage), c.name);
  }

  const struct {
    unsigned codePage;
    std::string directory, name, joined;
  } joins[] = {
      {950, "C:\\tools\\\xB3\x5C", "ABCD.EXE", "C:\\tools\\\xB3\x5C\\ABCD.EXE"},
      {950, "C:\\tools\\\xB3\x5C\\", "ABCD.EXE", "C:\\tools\\\xB3\x5C\\ABCD.EXE"},
      {950, "C:\\tools\\", "*", "C:\\tools\\*"},
      {932, "C:\\\x83\x5C", "*", "C:\\\x83\x5C\\*"},
      {1252, "C:\\\x83\x5C", "*", "C:\\\x83\x5C*"},
  };
  for (const auto& c : joins) {
    SCOPED_TRACE(std::to_string(c.codePage) + " " + c.directory);
    EXPECT_EQ(platform::PathJoin(c.directory, c.name, c.codePage), c.joined);
  }

  // The catalogue beside the program: the extension of the file name, never
  // a dot of the folder's.
  EXPECT_EQ(platform::PathWithExtension("C:\\\xB3\x5C\\FLASH.EXE", ".INI", 950), "C:\\\xB3\x5C\\FLASH.INI");
  EXPECT_EQ(platform::PathWithExtension("C:\\a.b\\\xB3\x5C", ".INI", 950), "C:\\a.b\\\xB3\x5C.INI");
  EXPECT_EQ(platform::PathWithExtension("C:\\a.b\\\x83\x5C", ".INI", 932), "C:\\a.b\\\x83\x5C.INI");
  EXPECT_EQ(platform::PathWithExtension("C:\\a.b\\\x83\x5C.x", ".INI", 932), "C:\\a.b\\\x83\x5C.INI");
  // In 1252 the name is ".x", whose dot is its first character.
  EXPECT_EQ(platform::PathWithExtension("C:\\a.b\\\x83\x5C.x", ".INI", 1252), "C:\\a.b\\\x83\x5C.x.INI");
}
#endif

TEST_F(CatalogueTest, ThreeModelsLoadAndTheFirstIsSelected) {
  WriteIni(ThreeModels() + "[OTHER]\nModel=X\n");
  Touch("Q150.BIN");
  Touch("Q151.bin");
  Touch("K300.BIN");
  form.FormCreate();

  EXPECT_TRUE(form.BuildMode);
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_EQ(form.quitRequests, 0);
  EXPECT_EQ(form.WorkDir, dir.Path().string());
  EXPECT_EQ(form.fileListDirectory, dir.Path().string());
  EXPECT_EQ(form.comboItems, (std::vector<std::string>{"Q100-Q149 VOX-TEL QRD-73318K",
                                                       "K100-K299 VOX-TEL DVD-ROM MVK-417",
                                                       "S100-S199 VOX-TEL CRW-5232S"}));
  EXPECT_EQ(form.comboIndex, 0);
  EXPECT_EQ(form.caption, kTitle + "Q100-Q149 [Buiding]");
  EXPECT_EQ(form.fileListMask, "Q*.BIN");
  EXPECT_EQ(form.fileListFiles, (std::vector<std::string>{"Q150.BIN", "Q151.bin"}));
  EXPECT_TRUE(form.fileListVisible);
  EXPECT_EQ(form.label, "Select Model: ");
  EXPECT_EQ(form.buttonCaption, "Build");
  EXPECT_FALSE(form.buttonEnabled);
  ASSERT_EQ(form.ModelList->size(), 3u);
  EXPECT_EQ((*form.ModelList)[1], "DVD-ROM MVK-417");
  EXPECT_EQ((*form.InquiryList)[1], "VOX-TEL DVD-ROM MVK-417 ");
  EXPECT_EQ((*form.NoteList)[1], "FLASH-ALL");
  EXPECT_EQ((*form.BINMaskList)[2], "S*.BIN;s*.bin");
}

TEST_F(CatalogueTest, SingleSectionAndSectionAfterAGapIsNotRead) {
  WriteIni(Section(0, "QRD-73318K", "VOX-TEL QRD-73318K", "Q100-Q149", "Q*.BIN") +
           Section(2, "CRW-5232S", "VOX-TEL CRW-5232S", "S100-S199", "S*.BIN"));
  form.FormCreate();
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_EQ(form.comboItems.size(), 1u);
  EXPECT_EQ(form.ModelList->size(), 1u);
  EXPECT_EQ(form.comboIndex, 0);
  EXPECT_EQ(form.quitRequests, 0);
}

TEST_F(CatalogueTest, MissingKeyAfterGoodSectionsIsAnErrorThatQuits) {
  std::string broken = Section(3, "X", "VOX-TEL X", "X100-X199", "X*.BIN");
  broken.erase(broken.find("Note="));
  WriteIni(ThreeModels() + broken);
  form.FormCreate();
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{IniPath() + " > Session MODEL03 error!"}));
  EXPECT_EQ(form.quitRequests, 1);
  EXPECT_FALSE(form.closeRequested);  // the quit message only
  // The set-up stops: no "Build" button.
  EXPECT_EQ(form.buttonCaption, "FLASH");
  EXPECT_NE(form.label, "Select Model: ");
}

TEST_F(CatalogueTest, FailValueCountsAsMissing) {
  // FAIL as the Model value ends the catalogue quietly...
  WriteIni(ThreeModels() + Section(3, "FAIL", "VOX-TEL X", "X100-X199", "X*.BIN"));
  EXPECT_TRUE(form.RetriveINI());
  EXPECT_EQ(form.ModelList->size(), 3u);
  EXPECT_TRUE(BoxTexts().empty());

  // ...as another value it is an error, like a missing key.
  TestForm second(package.data());
  second.programFile = form.programFile;
  second.currentDirectory = form.currentDirectory;
  WriteIni(Section(0, "QRD-73318K", "VOX-TEL QRD-73318K", "Q100-Q149", "Q*.BIN") +
           Section(1, "K", "VOX-TEL K", "K100-K299", "K*.BIN", "FAIL"));
  EXPECT_FALSE(second.RetriveINI());
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{IniPath() + " > Session MODEL01 error!"}));
  EXPECT_EQ(second.quitRequests, 1);

  // The comparison is exact and case-sensitive: "fail" is an ordinary value.
  TestForm third(package.data());
  third.programFile = form.programFile;
  WriteIni(Section(0, "fail", "VOX-TEL QRD-73318K", "Q100-Q149", "Q*.BIN", "Fail", "fail"));
  EXPECT_TRUE(third.RetriveINI());
  EXPECT_EQ((*third.ModelList)[0], "fail");
}

TEST_F(CatalogueTest, EmptyCatalogueAndMissingFile) {
  form.FormCreate();
  // A folder of the catalogue's name is no catalogue either.
  std::filesystem::create_directory(IniPath());
  TestForm folder(package.data());
  folder.programFile = form.programFile;
  folder.currentDirectory = form.currentDirectory;
  folder.FormCreate();
  std::filesystem::remove(IniPath());
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Can't load " + IniPath(), "Can't load " + IniPath()}));
  EXPECT_EQ(form.quitRequests, 1);
  EXPECT_EQ(folder.quitRequests, 1);
  EXPECT_FALSE(form.closeRequested);

  services.boxes.shown.clear();
  TestForm second(package.data());
  second.programFile = form.programFile;
  second.currentDirectory = form.currentDirectory;
  WriteIni("[MODEL01]\nModel=X\n");
  second.FormCreate();
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{IniPath() + " > Session MODEL00 error!"}));
  EXPECT_EQ(second.quitRequests, 1);
}

TEST_F(CatalogueTest, HundredSectionsAreAllReadAndNoMore) {
  std::string ini;
  for (int k = 0; k <= 100; ++k) {
    std::string n = std::to_string(k);
    ini += Section(k, "M" + n, "VOX-TEL M" + n, "A100-A199", "*.BIN");
  }
  // Section(100, ...) is named MODEL100: never read.
  WriteIni(ini);
  form.FormCreate();
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_EQ(form.comboItems.size(), 100u);
  EXPECT_EQ(form.ModelList->size(), 100u);
  EXPECT_EQ(form.ModelList->back(), "M99");
  EXPECT_EQ(form.comboItems.back(), "A100-A199 VOX-TEL M99");
}

TEST_F(CatalogueTest, NamesMatchWithoutCaseAndValuesAreTrimmed) {
  WriteIni(
      "; comment\r\n[model00]\r\nMODEL =  QRD-73318K  \r\ninquiry=VOX-TEL QRD-73318K\r\n"
      "fw-range = Q100-Q149\r\nbinmask=q*.bin\r\n  VENDOR=VoxTEL-DS\r\n\tnote=VoxTEL\r\n"
      "Model=second occurrence\r\n");
  form.FormCreate();
  EXPECT_TRUE(BoxTexts().empty());
  ASSERT_EQ(form.comboItems.size(), 1u);
  EXPECT_EQ(form.comboItems[0], "Q100-Q149 VOX-TEL QRD-73318K");
  EXPECT_EQ((*form.ModelList)[0], "QRD-73318K");
  EXPECT_EQ((*form.VendorList)[0], "VoxTEL-DS");
  EXPECT_EQ((*form.NoteList)[0], "VoxTEL");
  EXPECT_EQ(form.fileListMask, "q*.bin");
}

TEST_F(CatalogueTest, SemicolonsInValuesAndLongLinesAreKept) {
  // Only a line that starts with ";" is a comment; a long line does not
  // spill over into a line of its own.
  WriteIni("[MODEL00]\n; Model=commented out\nModel=QRD-73318K\nInquiry=VOX-TEL QRD-73318K\n"
           "FW-Range=Q100-Q149\nBINMask=Q*.BIN ; K*.BIN\n"
           "Note=VoxTEL ;" + std::string(186, 'x') + "Vendor=Spill\nVendor=VoxTEL-DS\n");
  Touch("Q150.BIN");
  Touch("K300.BIN");
  form.FormCreate();
  EXPECT_TRUE(BoxTexts().empty());
  ASSERT_EQ(form.comboItems.size(), 1u);
  EXPECT_EQ((*form.ModelList)[0], "QRD-73318K");
  EXPECT_EQ((*form.BINMaskList)[0], "Q*.BIN ; K*.BIN");
  EXPECT_EQ(form.fileListFiles, (std::vector<std::string>{"K300.BIN", "Q150.BIN"}));
  EXPECT_EQ((*form.NoteList)[0], "VoxTEL ;" + std::string(16, 'x'));
  EXPECT_EQ((*form.VendorList)[0], "VoxTEL-DS");
}

TEST_F(CatalogueTest, ValuesAreNormalisedAfterTheComboTextIsMade) {
  const std::string longModel = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";  // 26 characters
  const std::string longInquiry = "VOX-TEL ABCDEFGHIJKLMNOPQRSTU";
  WriteIni(Section(0, longModel, longInquiry, "Q100-Q149", "Q*.BIN", longModel, longModel) +
           Section(1, "CRW-5232S", "VOX-TEL CRW-5232S", "S100-S199", "S*.BIN"));
  form.FormCreate();
  EXPECT_EQ(form.comboItems[0], "Q100-Q149 " + longInquiry);  // as read
  EXPECT_EQ((*form.ModelList)[0], longModel.substr(0, 24));
  EXPECT_EQ((*form.VendorList)[0], longModel.substr(0, 24));
  EXPECT_EQ((*form.NoteList)[0], longModel.substr(0, 24));
  EXPECT_EQ((*form.InquiryList)[0], longInquiry.substr(0, 24));
  // An 18-character Inquiry: shown as is, kept with six blanks appended.
  EXPECT_EQ(form.comboItems[1], "S100-S199 VOX-TEL CRW-5232S");
  EXPECT_EQ((*form.InquiryList)[1], "VOX-TEL CRW-5232S       ");
  EXPECT_EQ((*form.InquiryList)[1].size(), 24u);
}

TEST_F(CatalogueTest, ModelChangeSetsMaskCaptionAndDisablesBuild) {
  // "?" stands for any one character.
  WriteIni(ThreeModels() + Section(3, "Two masks", "VOX-TEL TWO", "T100-T199", "Q1?0.BIN; K*.BIN"));
  for (const char* name : {"Q150.BIN", "Q1500.BIN", "K300.BIN", "s150.bin", "S151.BIN", "S150.TXT", "X.BIN"}) {
    Touch(name);
  }
  form.FormCreate();
  ASSERT_TRUE(form.ClickFile("Q150.BIN"));
  EXPECT_EQ(form.BINFileName, "Q150.BIN");
  EXPECT_TRUE(form.buttonEnabled);

  form.ComboSetItemIndex(2);
  form.ComboBoxChange();
  EXPECT_EQ(form.caption, kTitle + "S100-S199 [Buiding]");
  EXPECT_EQ(form.fileListMask, "S*.BIN;s*.bin");
  EXPECT_EQ(form.fileListFiles, (std::vector<std::string>{"S151.BIN", "s150.bin"}));
  EXPECT_EQ(form.fileListSelected, -1);
  EXPECT_FALSE(form.buttonEnabled);
  EXPECT_EQ(form.BINFileName, "Q150.BIN");  // kept until the next click

  form.ComboSetItemIndex(3);
  form.ComboBoxChange();
  EXPECT_EQ(form.fileListFiles, (std::vector<std::string>{"K300.BIN", "Q150.BIN"}));

  ASSERT_TRUE(form.ClickFile("K300.BIN"));
  EXPECT_EQ(form.BINFileName, "K300.BIN");
  EXPECT_TRUE(form.buttonEnabled);
}

TEST_F(CatalogueTest, TypedTextSelectsNoModelAndCannotBuild) {
  WriteIni(ThreeModels());
  Touch("Q150.BIN");
  form.FormCreate();
  ASSERT_TRUE(form.ClickFile("Q150.BIN"));
  form.TypeComboText();
  EXPECT_FALSE(form.buttonEnabled);
  EXPECT_EQ(form.caption, kTitle + "Q100-Q149 [Buiding]");
  // A click in the list enables the button again, but nothing is built.
  ASSERT_TRUE(form.ClickFile("Q150.BIN"));
  form.FlashButtonClick();
  ASSERT_EQ(BoxTexts().size(), 1u);
  EXPECT_NE(BoxTexts()[0].find("select a model"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "Q150.EXE"));
}

}  // namespace
