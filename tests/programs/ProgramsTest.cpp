// The built programs: the key-word marks exactly one package, the builder's;
// a flash program built from the real builder executable differs from it
// only in the package's identity record and image; the program files need
// no shared library beyond Qt and the C/C++ runtime.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include "package/Package.h"
#include "platform/Services.h"
#include "tests/package/WorkDir.h"
#include "tests/support/TestDoubles.h"
#include "tests/support/TestForm.h"

using package::kBinAreaOffset;
using package::kKeyWordSize;
using package::kPackageSize;
using package::PackageView;
using package_tests::CountOccurrences;
using package_tests::ReadFile;
using package_tests::TempDir;
using testing_support::TestForm;

namespace {

const std::string kKeyWord(FLASHUTIL_KEYWORD, kKeyWordSize);  // with its zero byte
const uint8_t* KeyWordBytes() { return reinterpret_cast<const uint8_t*>(kKeyWord.data()); }

// The package that starts at `at` in a program file.
std::vector<uint8_t> PackageAt(const std::vector<uint8_t>& file, size_t at) {
  return std::vector<uint8_t>(file.begin() + static_cast<long>(at),
                              file.begin() + static_cast<long>(at + kPackageSize));
}

size_t FindKeyWord(const std::vector<uint8_t>& file) {
  return static_cast<size_t>(std::search(file.begin(), file.end(), KeyWordBytes(), KeyWordBytes() + kKeyWordSize) -
                             file.begin());
}

// What a shell command printed on its standard output; its exit status must be 0.
std::string Output(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << command;
  }
  return output;
}

// Every flash program is a copy of the builder's program file, so what that
// file needs and carries, each of them needs and carries. It names no shared
// library but Qt's and the C/C++ runtime's (sg3_utils and inih are linked in),
// and a release build carries no debug information (nor a link to any).
TEST(Programs, ProgramFilesNeedOnlyQtAndTheRuntime) {
  const std::set<std::string> allowed = {"libQt6Core.so.6", "libQt6Gui.so.6", "libQt6Widgets.so.6",
                                         "libQt6DBus.so.6", "libstdc++.so.6", "libgcc_s.so.1",
                                         "libc.so.6",       "libm.so.6"};
  for (const char* path : {FLASHUTIL_PROGRAM, FLASHUTIL_SIM_PROGRAM}) {
    SCOPED_TRACE(path);
    std::istringstream dynamic(Output(std::string("readelf --dynamic --wide '") + path + "'"));
    std::set<std::string> needed;
    for (std::string line; std::getline(dynamic, line);) {
      const size_t open = line.find("(NEEDED)") != std::string::npos ? line.find('[') : std::string::npos;
      if (open != std::string::npos) needed.insert(line.substr(open + 1, line.find(']', open) - open - 1));
    }
    EXPECT_TRUE(needed.count("libQt6Widgets.so.6"));
    for (const std::string& library : needed) {
      const bool sanitizer = library.rfind("libasan.so", 0) == 0 || library.rfind("libubsan.so", 0) == 0;
      EXPECT_TRUE(allowed.count(library) || (FLASHUTIL_SANITIZE && sanitizer)) << library;
    }
    if (FLASHUTIL_RELEASE_BUILD) {
      const std::string sections = Output(std::string("readelf --section-headers --wide '") + path + "'");
      for (const char* name : {".debug_", ".zdebug", ".gnu_debuglink", ".gnu_debugaltlink"}) {
        EXPECT_EQ(sections.find(name), std::string::npos) << name;
      }
    }
  }
}

TEST(Programs, KeyWordMarksOnlyTheBuilderPackage) {
  for (const char* path : {FLASHUTIL_PROGRAM, FLASHUTIL_SIM_PROGRAM}) {
    SCOPED_TRACE(path);
    const std::vector<uint8_t> file = ReadFile(path);
    ASSERT_GT(file.size(), kPackageSize);
    EXPECT_EQ(CountOccurrences(file, KeyWordBytes(), kKeyWordSize), 1u);
    const size_t at = FindKeyWord(file);
    ASSERT_LE(at + kPackageSize, file.size());
    const PackageView view(file.data() + at);
    EXPECT_TRUE(view.IsBuilder());
    EXPECT_EQ(0, std::memcmp(view.BinArea(), "OBEL", 4));
  }
}

// cmake --install puts the programs (as built), the desktop entry, the icon
// it names and the sample catalogue with its BIN files in place, and the
// installed entry passes desktop-file-validate without a remark.
TEST(Programs, InstallHasTheProgramsTheEntryItsIconAndTheSamples) {
  TempDir dir;
  const std::string prefix = dir / "prefix";
  Output(std::string("'") + FLASHUTIL_CMAKE + "' --install '" FLASHUTIL_BINARY_DIR "' --prefix '" + prefix +
         "' >/dev/null");
  EXPECT_EQ(ReadFile(prefix + "/bin/flashutil"), ReadFile(FLASHUTIL_PROGRAM));
  EXPECT_EQ(ReadFile(prefix + "/bin/flashutil-sim"), ReadFile(FLASHUTIL_SIM_PROGRAM));

  const std::string entry = prefix + "/share/applications/flashutil.desktop";
  ASSERT_TRUE(std::filesystem::exists(entry));
  EXPECT_EQ(Output("desktop-file-validate '" + entry + "' 2>&1"), "");
  const std::vector<uint8_t> bytes = ReadFile(entry);
  std::istringstream lines(std::string(bytes.begin(), bytes.end()));
  std::string exec, icon;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Exec=", 0) == 0) exec = line.substr(5, line.find(' ', 5) - 5);  // the program's name
    if (line.rfind("Icon=", 0) == 0) icon = line.substr(5);
  }
  EXPECT_TRUE(std::filesystem::exists(prefix + "/bin/" + exec)) << exec;
  EXPECT_TRUE(std::filesystem::exists(prefix + "/share/icons/hicolor/scalable/apps/" + icon + ".svg")) << icon;

  for (const char* name : {"FLASHUTIL.INI", "K300.BIN", "Q150.BIN", "S150.BIN"}) {
    EXPECT_EQ(ReadFile(prefix + "/share/flashutil/samples/" + name),
              ReadFile(std::string(FLASHUTIL_SOURCE_DIR "/samples/") + name))
        << name;
  }
}

struct Sample {
  int entry;
  const char* bin;
  const char* model;
  const char* inquiry;  // blank-filled to 24
  const char* fwRange;
  const char* note;
  bool shortId, longId;
};

const Sample kSamples[] = {
    {0, "Q150.BIN", "QRD-73318K", "VOX-TEL QRD-73318K      ", "Q100-Q149", "VoxTEL", false, false},
    {1, "K300.BIN", "DVD-ROM MVK-417", "VOX-TEL DVD-ROM MVK-417 ", "K100-K299", "FLASH-ALL", false, true},
    {2, "S150.BIN", "CRW-5232S", "VOX-TEL CRW-5232S       ", "S100-S199", "VoxTEL", true, false},
};

// Builds a flash program from the built builder with the sample catalogue
// and each sample BIN file, then reads the result back.
TEST(Programs, FlashProgramBuiltFromTheBuilderExecutable) {
  testing_support::ServicesScope services;
  TempDir dir;
  const std::string source = FLASHUTIL_SOURCE_DIR "/samples/";
  std::filesystem::copy_file(source + "FLASHUTIL.INI", dir / "flashutil-sim.INI");
  for (const Sample& s : kSamples) std::filesystem::copy_file(source + s.bin, dir / s.bin);

  const std::vector<uint8_t> builder = ReadFile(FLASHUTIL_SIM_PROGRAM);
  const size_t at = FindKeyWord(builder);
  ASSERT_LT(at, builder.size());
  // The form works with the builder's own package, as the running program does.
  const std::vector<uint8_t> package = PackageAt(builder, at);
  TestForm form(package.data());
  // The catalogue beside a copy named like the program; the program file
  // itself is the one in the build tree.
  form.programFile = dir / "flashutil-sim";
  form.currentDirectory = dir.Path().string();
  form.FormCreate();
  ASSERT_TRUE(services.boxes.Texts().empty());
  ASSERT_EQ(form.comboItems.size(), 3u);
  form.programFile = FLASHUTIL_SIM_PROGRAM;

  for (const Sample& s : kSamples) {
    SCOPED_TRACE(s.bin);
    const size_t boxes = services.boxes.shown.size();
    form.ComboSetItemIndex(s.entry);
    form.ComboBoxChange();
    ASSERT_TRUE(form.ClickFile(s.bin));
    form.NewBuildFlashProgram();
    ASSERT_EQ(services.boxes.shown.size(), boxes);
    const std::string name = std::string(s.bin, 4) + ".EXE";
    EXPECT_EQ(form.status, "Build " + name + " complete!");

    const std::vector<uint8_t> output = ReadFile(dir / name);
    const std::vector<uint8_t> bin = ReadFile(dir / s.bin);
    ASSERT_EQ(output.size(), builder.size());
    // Outside the identity record and the image, the bytes are the builder's.
    const size_t recordStart = at + kKeyWordSize;
    const size_t imageStart = at + kBinAreaOffset;
    EXPECT_TRUE(std::equal(output.begin(), output.begin() + static_cast<long>(recordStart), builder.begin()));
    EXPECT_TRUE(std::equal(output.begin() + static_cast<long>(imageStart + bin.size()), output.end(),
                           builder.begin() + static_cast<long>(imageStart + bin.size())));
    EXPECT_TRUE(std::equal(bin.begin(), bin.end(), output.begin() + static_cast<long>(imageStart)));
    EXPECT_EQ(CountOccurrences(output, KeyWordBytes(), kKeyWordSize), 1u);
    EXPECT_EQ(FindKeyWord(output), at);

    struct stat info {};
    ASSERT_EQ(::stat((dir / name).c_str(), &info), 0);
    EXPECT_NE(info.st_mode & 0100, 0u) << "the built program can be run";

    // Its package reads back as a flash program with the new identity.
    const std::vector<uint8_t> built = PackageAt(output, at);
    const PackageView view(built.data());
    EXPECT_FALSE(view.IsBuilder());
    EXPECT_EQ(PackageView::SlotText(view.ModelSlot()), s.model);
    EXPECT_EQ(PackageView::SlotText(view.InquirySlot()), s.inquiry);
    EXPECT_EQ(PackageView::SlotText(view.FWRangeSlot()), s.fwRange);
    EXPECT_EQ(PackageView::SlotText(view.VendorSlot()), "VoxTEL-DS");
    EXPECT_EQ(PackageView::SlotText(view.NoteSlot()), s.note);
    EXPECT_EQ(std::string(view.Version(), 5), std::string(s.bin, 5));
    EXPECT_EQ(view.BinLength(), bin.size());

    TestForm flash(built.data());
    flash.CheckNewFormatBIN();
    EXPECT_EQ(flash.ShortIdProfile, s.shortId);
    EXPECT_EQ(flash.LongIdProfile, s.longId);
    EXPECT_EQ(flash.BinLength, 524288u);

    // Started, it is a flash program: it warns about its drive and range
    // (declined here, so no drive is touched).
    flash.FormCreate();
    EXPECT_FALSE(flash.BuildMode);
    EXPECT_EQ(flash.quitRequests, 1);
    ASSERT_EQ(services.boxes.shown.size(), boxes + 1);
    EXPECT_EQ(services.boxes.shown.back().kind, platform::BoxKind::Warning);
    const std::string warning = services.boxes.shown.back().text;
    EXPECT_NE(warning.find(std::string("VoxTEL-DS ") + s.model + " drive with firmware:" + s.fwRange),
              std::string::npos)
        << warning;
  }
}

// A flash package written at build time by mkpackage is the package that the
// builder writes for the same catalogue entry and BIN file.
TEST(Programs, BuildTimePackageEqualsTheBuildersPackage) {
  testing_support::ServicesScope services;
  TempDir dir;
  const std::string samples = FLASHUTIL_SOURCE_DIR "/samples/";
  std::filesystem::copy_file(samples + "FLASHUTIL.INI", dir / "flashutil-sim.INI");
  std::filesystem::copy_file(samples + "K300.BIN", dir / "K300.BIN");

  const std::string command = std::string("'") + FLASHUTIL_MKPACKAGE + "' --keyword '" + FLASHUTIL_KEYWORD +
                              "' --out '" + (dir / "k300.pkg") + "' --bin '" + (dir / "K300.BIN") +
                              "' --model 'DVD-ROM MVK-417' --inquiry 'VOX-TEL DVD-ROM MVK-417'"
                              " --fw-range K100-K299 --vendor VoxTEL-DS --note FLASH-ALL";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::vector<uint8_t> made = ReadFile(dir / "k300.pkg");
  ASSERT_EQ(made.size(), kPackageSize);

  const std::vector<uint8_t> builder = ReadFile(FLASHUTIL_SIM_PROGRAM);
  const size_t at = FindKeyWord(builder);
  ASSERT_LT(at, builder.size());
  const std::vector<uint8_t> package = PackageAt(builder, at);
  TestForm form(package.data());
  form.programFile = dir / "flashutil-sim";
  form.currentDirectory = dir.Path().string();
  form.FormCreate();
  form.programFile = FLASHUTIL_SIM_PROGRAM;
  form.ComboSetItemIndex(1);
  form.ComboBoxChange();
  ASSERT_TRUE(form.ClickFile("K300.BIN"));
  form.NewBuildFlashProgram();
  ASSERT_TRUE(services.boxes.Texts().empty());
  const std::vector<uint8_t> output = ReadFile(dir / "K300.EXE");
  ASSERT_EQ(output.size(), builder.size());
  EXPECT_TRUE(std::equal(made.begin(), made.end(), output.begin() + static_cast<long>(at)));

  // Images the builder refuses are refused at build time as well.
  std::filesystem::resize_file(dir / "K300.BIN", 0);
  EXPECT_NE(std::system((command + " 2>/dev/null").c_str()), 0);
  std::filesystem::resize_file(dir / "K300.BIN", 524289);
  EXPECT_NE(std::system((command + " 2>/dev/null").c_str()), 0);
}

}  // namespace

namespace {

// Runs a program in `dir` with the offscreen platform and returns what it printed.
std::string RunProgram(const std::filesystem::path& dir, const std::string& program) {
  return Output("cd '" + dir.string() + "' && QT_QPA_PLATFORM=offscreen timeout 60 ./" + program + " 2>/dev/null");
}

// A flash program built by the real (scripted) builder from the sample
// catalogue runs as a program of its own: flash mode, the new identity, and
// exactly the simulated drive that fits, as the build-time flash program does.
TEST(Programs, BuiltFlashProgramRunsInFlashModeWithItsNewIdentity) {
  testing_support::ServicesScope services;
  TempDir temp;
  // In a folder whose name is not UTF-8: the builder finds its catalogue by
  // the bytes of its own path.
  const std::filesystem::path work = temp.Path() / "b\xffilder";
  ASSERT_TRUE(std::filesystem::create_directory(work));
  const auto in = [&work](const std::string& name) { return (work / name).string(); };
  const std::string source = FLASHUTIL_SOURCE_DIR "/samples/";
  std::filesystem::copy_file(FLASHUTIL_SIM_SCRIPTED_PROGRAM, in("builder"));
  std::filesystem::copy_file(source + "FLASHUTIL.INI", in("builder.INI"));
  std::filesystem::copy_file(source + "Q150.BIN", in("Q150.BIN"));

  // The builder as a program: builder mode on the sample catalogue.
  const std::string builderOutput = RunProgram(work, "builder");
  EXPECT_NE(builderOutput.find("LABEL Select Model: \n"), std::string::npos) << builderOutput;
  EXPECT_NE(builderOutput.find("COMBO 0 Q100-Q149 VOX-TEL QRD-73318K\n"), std::string::npos);

  const std::vector<uint8_t> builder = ReadFile(FLASHUTIL_SIM_SCRIPTED_PROGRAM);
  const size_t at = FindKeyWord(builder);
  ASSERT_LT(at, builder.size());
  const std::vector<uint8_t> package = PackageAt(builder, at);
  TestForm form(package.data());
  form.programFile = in("builder");
  form.currentDirectory = work.string();
  form.FormCreate();
  ASSERT_TRUE(form.ClickFile("Q150.BIN"));
  form.NewBuildFlashProgram();
  ASSERT_EQ(form.status, "Build Q150.EXE complete!");

  const std::string expected = [] {
    std::vector<uint8_t> bytes = ReadFile(FLASHUTIL_SOURCE_DIR "/tests/app/expected/q150-startup.txt");
    return std::string(bytes.begin(), bytes.end());
  }();
  EXPECT_EQ(RunProgram(work, "Q150.EXE"), expected);
  // It takes no argument, and Qt's own options have no effect: a platform
  // that does not exist would end it before its window.
  EXPECT_EQ(RunProgram(work, "Q150.EXE -platform no-such-platform -style no-such-style -reverse "
                             "-qwindowtitle Argument Q150.BIN"),
            expected);
}

}  // namespace
