// The built programs: the key-word marks exactly one package, the builder's;
// a flash program built from the real builder executable differs from it
// only in the package's identity record and image; the program files need
// no shared library beyond Qt and the C/C++ runtime; and flashutil-pack
// builds the same programs without the window, shows what they carry and
// verifies their images.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#if !defined(_WIN32)
// flashutil-pack-sim on a terminal of its own, the window programs on an X
// server of their own (Linux only).
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>

#include "pack/DriveCommands.h"
#include "pack/TerminalForm.h"
#include "platform/StopSignals.h"
#include "platform/sim/SimTransport.h"
#include "tests/support/RunLog.h"
#endif

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
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

// The programs these tests start leave their flash transcripts beside the
// tests, not in the state folder of the user who runs them.
#ifndef _WIN32
const bool kTestStateFolder = [] {
  const std::string folder = std::string(FLASHUTIL_BINARY_DIR) + "/test-state";
  return ::setenv("XDG_STATE_HOME", folder.c_str(), 1) == 0;
}();
#endif

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

#if !defined(_WIN32)
std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// What a command printed and its exit status.
struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs a shell command; with `errors`, its standard error goes to that file
// and is read back.
Outcome Run(const std::string& command, const std::string& errors = std::string()) {
  Outcome outcome;
  const std::string line = errors.empty() ? command : command + " 2>" + Quoted(errors);
  if (FILE* pipe = popen(line.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.out.append(buffer, n);
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  if (!errors.empty()) {
    std::ifstream in(errors);
    outcome.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::filesystem::remove(errors);
  }
  return outcome;
}

// What a shell command printed on its standard output; its exit status must be 0.
std::string Output(const std::string& command) {
  const Outcome outcome = Run(command);
  EXPECT_EQ(outcome.status, 0) << command;
  return outcome.out;
}

// Runs flashutil-pack with `arguments` in `dir`.
Outcome Pack(const std::filesystem::path& dir, const std::string& arguments) {
  return Run("cd " + Quoted(dir.string()) + " && " + Quoted(FLASHUTIL_PACK) + " " + arguments,
             (dir / "stderr.txt").string());
}

// The builder, the sample catalogue and each sample model as arguments of
// flashutil-pack build.
std::string BuildArguments(const std::string& catalogue, const std::string& model, const std::string& bin) {
  return "build --builder " + Quoted(FLASHUTIL_SIM_PROGRAM) + " --catalogue " + Quoted(catalogue) + " --model " +
         Quoted(model) + " --bin " + Quoted(bin);
}

// (Read from standard input: sha256sum marks a name with a backslash by one before its line.)
std::string Sha256Sum(const std::string& path) { return Output("sha256sum < " + Quoted(path)).substr(0, 64); }
#endif

// Every flash program is a copy of the builder's program file, so what that
// file needs and carries, each of them needs and carries. It names no shared
// library but Qt's and the C/C++ runtime's (sg3_utils and inih are linked in),
// and a release build carries no debug information (nor a link to any).
#if !defined(_WIN32)
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

#endif
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
    // Each names the drives it reaches, outside its package.
    const bool simulated = std::string(path) == FLASHUTIL_SIM_PROGRAM;
    EXPECT_EQ(package::FindDriveAccess(file.data(), file.size()),
              simulated ? package::DriveAccess::Simulated : package::DriveAccess::System);
  }
}

// cmake --install puts the programs (as built), the desktop entry, the icon
// it names and the sample catalogue with its BIN files in place, and the
// installed entry passes desktop-file-validate without a remark.
#if !defined(_WIN32)
TEST(Programs, InstallHasTheProgramsTheEntryItsIconAndTheSamples) {
  TempDir dir;
  const std::string prefix = dir / "prefix";
  Output(std::string("'") + FLASHUTIL_CMAKE + "' --install '" FLASHUTIL_BINARY_DIR "' --prefix '" + prefix +
         "' >/dev/null");
  EXPECT_EQ(ReadFile(prefix + "/bin/flashutil"), ReadFile(FLASHUTIL_PROGRAM));
  EXPECT_EQ(ReadFile(prefix + "/bin/flashutil-sim"), ReadFile(FLASHUTIL_SIM_PROGRAM));
  EXPECT_EQ(ReadFile(prefix + "/bin/flashutil-pack"), ReadFile(FLASHUTIL_PACK));

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

  // The entry names the program, not a vendor of the sample catalogue.
  EXPECT_NE(std::string(bytes.begin(), bytes.end()).find("\nName=flashutil\n"), std::string::npos);

  // Each installed builder has the sample catalogue beside it, under the
  // name it looks for.
  const std::vector<uint8_t> catalogue = ReadFile(FLASHUTIL_SOURCE_DIR "/samples/FLASHUTIL.INI");
  EXPECT_EQ(ReadFile(prefix + "/bin/flashutil.INI"), catalogue);
  EXPECT_EQ(ReadFile(prefix + "/bin/flashutil-sim.INI"), catalogue);

  // Started as the menu starts it, in an empty home folder that is also its
  // working directory, and through a symbolic link from another folder, the
  // installed builder finds that catalogue and lists the sample models. (Its
  // scripted build, in its place, prints what its window shows.)
  std::filesystem::copy_file(FLASHUTIL_SIM_SCRIPTED_PROGRAM, prefix + "/bin/flashutil-sim",
                             std::filesystem::copy_options::overwrite_existing);
  const std::string home = dir / "home";
  std::filesystem::create_directories(home + "/.local/bin");
  std::filesystem::create_symlink(prefix + "/bin/flashutil-sim", home + "/.local/bin/builder");
  for (const std::string& program : {prefix + "/bin/flashutil-sim", home + "/.local/bin/builder"}) {
    SCOPED_TRACE(program);
    const std::string shown = Output("cd " + Quoted(home) + " && HOME=" + Quoted(home) +
                                     " QT_QPA_PLATFORM=offscreen timeout 60 " + Quoted(program) + " 2>/dev/null");
    EXPECT_EQ(shown.find("Can't load"), std::string::npos) << shown;
    EXPECT_NE(shown.find("LABEL Select Model: \n"), std::string::npos) << shown;
    for (const char* model : {"COMBO 0 Q100-Q149 VOX-TEL QRD-73318K\n", "COMBO 1 K100-K299 VOX-TEL DVD-ROM MVK-417\n",
                              "COMBO 2 S100-S199 VOX-TEL CRW-5232S\n"}) {
      EXPECT_NE(shown.find(model), std::string::npos) << model;
    }
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home), std::filesystem::directory_iterator()), 1)
      << "nothing but the link's folder in the home folder";
}

#endif
// The Debian package of this build (cpack): its files and control fields,
// lintian's verdict, and a round trip through the system's package manager.
// Its own CTest entry (label package) runs it; the discovered tests leave
// it out.
#if !defined(_WIN32)
// Every file the package installs, below /usr (directories aside).
const std::set<std::string> kPackageFiles = {
    "/usr/bin/flashutil",
    "/usr/bin/flashutil.INI",
    "/usr/bin/flashutil-pack",
    "/usr/share/applications/flashutil.desktop",
    "/usr/share/metainfo/org.flashutil.flashutil.metainfo.xml",
    "/usr/share/icons/hicolor/scalable/apps/flashutil.svg",
    "/usr/share/icons/hicolor/16x16/apps/flashutil.png",
    "/usr/share/icons/hicolor/24x24/apps/flashutil.png",
    "/usr/share/icons/hicolor/32x32/apps/flashutil.png",
    "/usr/share/icons/hicolor/48x48/apps/flashutil.png",
    "/usr/share/icons/hicolor/64x64/apps/flashutil.png",
    "/usr/share/man/man1/flashutil.1.gz",
    "/usr/share/man/man1/flashutil-pack.1.gz",
    "/usr/share/doc/flashutil/copyright",
    "/usr/share/doc/flashutil/changelog.gz",
    "/usr/share/flashutil/samples/FLASHUTIL.INI",
    "/usr/share/flashutil/samples/K300.BIN",
    "/usr/share/flashutil/samples/Q150.BIN",
    "/usr/share/flashutil/samples/S150.BIN",
};

// The paths of a package's entries (`dpkg-deb -c`), directories with their
// trailing slash.
std::vector<std::string> DebEntries(const std::string& deb) {
  std::istringstream listing(Output("dpkg-deb -c " + Quoted(deb)));
  std::vector<std::string> entries;
  for (std::string line; std::getline(listing, line);) {
    const size_t at = line.find(" ./");
    if (at != std::string::npos) entries.push_back(line.substr(at + 2));
  }
  return entries;
}

// The tags of lintian's warnings; an error fails the test.
std::set<std::string> LintianWarnings(const std::string& deb) {
  const Outcome lintian = Run("lintian --fail-on error " + Quoted(deb), deb + ".lintian-errors");
  EXPECT_EQ(lintian.status, 0) << lintian.out << lintian.err;
  std::istringstream lines(lintian.out);
  std::set<std::string> warnings;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_NE(line.rfind("E: ", 0), 0u) << line;
    if (line.rfind("W: flashutil: ", 0) == 0) warnings.insert(line.substr(14, line.find(' ', 14) - 14));
  }
  return warnings;
}

// The package as built: exactly the files above, below /usr and nowhere
// else (no program on simulated drives), its name, version and the
// dependencies computed from its programs; no lintian error, and each of its
// warnings explained in the docs.
std::string BuildAndCheckDebianPackage(const std::string& folder) {
  Output(Quoted(FLASHUTIL_CPACK) + " -G DEB --config " + Quoted(FLASHUTIL_BINARY_DIR "/CPackConfig.cmake") + " -B " +
         Quoted(folder) + " >/dev/null");
  const std::string deb = folder + "/flashutil_" FLASHUTIL_VERSION "_amd64.deb";
  EXPECT_TRUE(std::filesystem::exists(deb)) << deb;
  std::set<std::string> files;
  for (const std::string& entry : DebEntries(deb)) {
    EXPECT_EQ(entry.rfind("/usr/", 0), 0u) << entry;
    EXPECT_EQ(entry.rfind("/usr/local/", 0), std::string::npos) << entry;
    if (entry.back() != '/') files.insert(entry);
  }
  EXPECT_EQ(files, kPackageFiles);

  EXPECT_EQ(Output("dpkg-deb -f " + Quoted(deb) + " Package Version Architecture"),
            "Package: flashutil\nVersion: " FLASHUTIL_VERSION "\nArchitecture: amd64\n");
  const std::string depends = Output("dpkg-deb -f " + Quoted(deb) + " Depends");
  for (const char* library : {"libc6 (>= ", "libstdc++6 (>= ", "libqt6core6 (>= ", "libqt6gui6 (>= ",
                              "libqt6widgets6 (>= ", "libqt6dbus6 (>= "}) {
    EXPECT_NE(depends.find(library), std::string::npos) << library << " in " << depends;
  }
  EXPECT_EQ(depends.find("sgutils"), std::string::npos) << "sg3_utils is linked in: " << depends;
  // The changelog's newest entry is this version.
  const std::vector<uint8_t> changelog = ReadFile(FLASHUTIL_SOURCE_DIR "/dist/changelog");
  EXPECT_EQ(std::string(changelog.begin(), changelog.end()).rfind("flashutil (" FLASHUTIL_VERSION ") ", 0), 0u);

  const std::vector<uint8_t> page = ReadFile(FLASHUTIL_SOURCE_DIR "/docs/packages.md");
  for (const std::string& tag : LintianWarnings(deb)) {
    EXPECT_NE(std::string(page.begin(), page.end()).find("`" + tag + "`"), std::string::npos)
        << "lintian warns " << tag << ", which docs/packages.md does not explain";
  }
  return deb;
}

// The installed programs and pages: the builder starts as the desktop entry
// starts it, in an empty home folder, and keeps running (its window is up);
// flashutil-pack answers, lists the installed catalogue's models and builds
// a flash program from the installed builder; the manual pages render
// without a warning; the metadata and the copyright file are in place.
void CheckInstalledPackage(const std::filesystem::path& dir) {
  const std::string home = dir / "home";
  std::filesystem::create_directories(home);
  const std::string environment = "cd " + Quoted(home) + " && env -i PATH=/usr/bin:/bin HOME=" + Quoted(home) +
                                  " QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8 ";
  const std::vector<uint8_t> entry = ReadFile("/usr/share/applications/flashutil.desktop");
  const std::string text(entry.begin(), entry.end());
  const size_t exec = text.find("\nExec=") + 6;
  const std::string command = text.substr(exec, text.find('\n', exec) - exec);
  const Outcome builder = Run(environment + "timeout 5 " + command, (dir / "builder-errors").string());
  EXPECT_EQ(builder.status, 124) << "the builder ended by itself: " << builder.err;
  EXPECT_TRUE(std::filesystem::is_empty(home)) << "the builder wrote into the home folder";

  EXPECT_EQ(Output(environment + "flashutil-pack --version"), "flashutil-pack " FLASHUTIL_VERSION "\n");
  EXPECT_EQ(Output(environment + "flashutil-pack models /usr/bin/flashutil.INI"),
            "0 Q100-Q149 VOX-TEL QRD-73318K\n1 K100-K299 VOX-TEL DVD-ROM MVK-417\n2 S100-S199 VOX-TEL CRW-5232S\n");
  const std::string sample = "/usr/share/flashutil/samples/Q150.BIN";
  EXPECT_EQ(Output(environment + "flashutil-pack build --builder /usr/bin/flashutil --catalogue "
                                 "/usr/bin/flashutil.INI --model 0 --bin " + sample),
            home + "/Q150.EXE\n");
  EXPECT_EQ(Run(environment + "flashutil-pack verify Q150.EXE " + sample + " >/dev/null").status, 0);

  for (const char* page : {"flashutil", "flashutil-pack"}) {
    const Outcome man = Run(environment + "MANWIDTH=80 man --warnings -E UTF-8 -l /usr/share/man/man1/" + page + ".1.gz",
                            (dir / "man-warnings").string());
    EXPECT_EQ(man.status, 0) << page;
    EXPECT_EQ(man.err, "") << page;
    EXPECT_NE(man.out.find(std::string("\nNAME\n       ") + page + " "), std::string::npos) << man.out;
  }
  EXPECT_EQ(Run("appstreamcli validate --no-net /usr/share/metainfo/org.flashutil.flashutil.metainfo.xml").status, 0);
  const std::vector<uint8_t> copyright = ReadFile("/usr/share/doc/flashutil/copyright");
  for (const char* line : {"Douglas Gilbert", "2. Redistributions in binary form must reproduce the above copyright notice,"}) {
    EXPECT_NE(std::string(copyright.begin(), copyright.end()).find(line), std::string::npos) << line;
  }
}

// Whether dpkg has the package installed, or its configuration files.
bool PackageKnown() {
  const std::string state = Run("dpkg-query -W -f '${db:Status-Status}' flashutil 2>/dev/null").out;
  return !state.empty() && state != "not-installed";
}

TEST(Package, DebianPackageInstallsRunsAndPurgesWithoutATrace) {
  TempDir dir;
  std::filesystem::permissions(dir.Path(), std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);  // apt reads the package as its own user
  const std::string deb = BuildAndCheckDebianPackage(dir / "deb");
  ASSERT_FALSE(::testing::Test::HasFailure());

  std::string root;  // how to run a command as root
  if (::geteuid() != 0) {
    if (::Run("sudo -n true 2>/dev/null").status != 0) GTEST_SKIP() << "installing needs root or passwordless sudo";
    root = "sudo -n ";
  }
  if (PackageKnown()) {
    GTEST_SKIP() << "a flashutil package is installed already: purge it to run this test";
  }
  // What of the package's folders the system has before.
  std::set<std::string> before;
  for (const std::string& entry : DebEntries(deb)) {
    if (std::filesystem::exists(entry)) before.insert(entry);
  }
  Output(root + "env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "
                "-o Dpkg::Lock::Timeout=120 " + Quoted(deb) + " >/dev/null 2>&1");
  std::istringstream list(Output("dpkg -L flashutil"));
  std::vector<std::string> installed;
  for (std::string path; std::getline(list, path);) installed.push_back(path);
  for (const std::string& file : kPackageFiles) {
    EXPECT_NE(std::find(installed.begin(), installed.end(), file), installed.end()) << file;
    EXPECT_TRUE(std::filesystem::exists(file)) << file;
  }
  CheckInstalledPackage(dir.Path());

  Output(root + "dpkg --purge flashutil >/dev/null");
  for (const std::string& path : installed) {
    if (before.count(path) == 0 && before.count(path + "/") == 0) {
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path))) << path << " is left behind";
    }
  }
  EXPECT_FALSE(PackageKnown()) << "dpkg still knows the package";
}

#endif
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
  std::filesystem::create_directory(dir / "pack");

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

#if !defined(_WIN32)
    struct stat info {};
    ASSERT_EQ(::stat((dir / name).c_str(), &info), 0);
    EXPECT_NE(info.st_mode & 0100, 0u) << "the built program can be run";
#endif

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

#if !defined(_WIN32)
    // flashutil-pack builds the same file for the same model, chosen by its
    // index or its name, and shows and verifies what it carries.
    const std::string model = s.entry == 1 ? std::string(s.model) : std::to_string(s.entry);
    const Outcome packed = Pack(dir.Path(), BuildArguments(dir / "flashutil-sim.INI", model, dir / s.bin) +
                                                " --output-dir pack");
    EXPECT_EQ(packed.status, 0) << packed.err;
    EXPECT_EQ(packed.out, "pack/" + name + "\n");
    EXPECT_EQ(packed.err, "");
    EXPECT_TRUE(ReadFile(dir / ("pack/" + name)) == output);
    const Outcome shown = Pack(dir.Path(), "show " + name);
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out, "Program:  " + name + "\nKind:     flash program\nDrives:   simulated (drives that do not exist; it "
                             "flashes no real drive)\nModel:    " + s.model +
                             "\nInquiry:  " + s.inquiry + "\nFW-Range: " + s.fwRange +
                             "\nVendor:   VoxTEL-DS\nNote:     " + s.note + "\nVersion:  " + std::string(s.bin, 5) +
                             "\nImage:    524288 bytes\nSHA-256:  " + Sha256Sum(dir / s.bin) + "\n");
    const Outcome json = Pack(dir.Path(), "show --json " + name);
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out, "{\"program\": \"" + name + "\", \"kind\": \"flash program\", \"drives\": \"simulated\", \"model\": \"" + s.model +
                            "\", \"inquiry\": \"" + s.inquiry + "\", \"fw_range\": \"" + s.fwRange +
                            "\", \"vendor\": \"VoxTEL-DS\", \"note\": \"" + s.note + "\", \"version\": \"" +
                            std::string(s.bin, 5) + "\", \"image_bytes\": 524288, \"sha256\": \"" +
                            Sha256Sum(dir / s.bin) + "\"}\n");
    const Outcome verifiedJson = Pack(dir.Path(), "verify --json " + name + " " + s.bin);
    EXPECT_EQ(verifiedJson.status, 0) << verifiedJson.err;
    EXPECT_EQ(verifiedJson.out, "{\"program\": \"" + name + "\", \"bin\": \"" + s.bin +
                                    "\", \"carries\": true, \"kind\": \"flash program\", \"image_bytes\": 524288, "
                                    "\"bin_bytes\": 524288, \"first_difference\": null, \"bin_sha256\": \"" +
                                    Sha256Sum(dir / s.bin) + "\"}\n");
    const Outcome verified = Pack(dir.Path(), "verify " + name + " " + s.bin);
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_EQ(verified.out, name + " carries " + s.bin + ": 524288 bytes, SHA-256 " + Sha256Sum(dir / s.bin) + "\n");
    const Outcome other = Pack(dir.Path(), "verify " + name + " " + kSamples[(&s - kSamples + 1) % 3].bin);
    EXPECT_EQ(other.status, 1);
    EXPECT_NE(other.out.find(name + " does not carry "), std::string::npos) << other.out;
#endif

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

#if !defined(_WIN32)
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

#endif
}  // namespace

namespace {

#if !defined(_WIN32)
// Runs a program in `dir` with the offscreen platform and returns what it printed.
std::string RunProgram(const std::filesystem::path& dir, const std::string& program) {
  return Output("cd '" + dir.string() + "' && QT_QPA_PLATFORM=offscreen timeout 60 ./" + program + " 2>/dev/null");
}

#endif
// A flash program built by the real (scripted) builder from the sample
// catalogue runs as a program of its own: flash mode, the new identity, and
// exactly the simulated drive that fits, as the build-time flash program does.
TEST(Programs, BuiltFlashProgramRunsInFlashModeWithItsNewIdentity) {
  testing_support::ServicesScope services;
  TempDir temp;
  // In a folder whose name is not UTF-8: the builder finds its catalogue by
  // the bytes of its own path. (The path is put together as bytes: on
  // Windows, the standard library would turn the name into UTF-8.)
  const std::string workName = temp.Path().string() + "/b\xffilder";
  const std::filesystem::path work(workName);
  ASSERT_TRUE(std::filesystem::create_directory(work));
  const auto in = [&workName](const std::string& name) { return workName + "/" + name; };
  const std::string source = FLASHUTIL_SOURCE_DIR "/samples/";
  std::filesystem::copy_file(FLASHUTIL_SIM_SCRIPTED_PROGRAM, in("builder"));
  std::filesystem::copy_file(source + "FLASHUTIL.INI", in("builder.INI"));
  std::filesystem::copy_file(source + "Q150.BIN", in("Q150.BIN"));

#if !defined(_WIN32)
  // The builder as a program: builder mode on the sample catalogue.
  const std::string builderOutput = RunProgram(work, "builder");
  EXPECT_NE(builderOutput.find("LABEL Select Model: \n"), std::string::npos) << builderOutput;
  EXPECT_NE(builderOutput.find("COMBO 0 Q100-Q149 VOX-TEL QRD-73318K\n"), std::string::npos);
#endif

  const std::vector<uint8_t> builder = ReadFile(FLASHUTIL_SIM_SCRIPTED_PROGRAM);
  const size_t at = FindKeyWord(builder);
  ASSERT_LT(at, builder.size());
  const std::vector<uint8_t> package = PackageAt(builder, at);
  TestForm form(package.data());
  form.programFile = in("builder");
  form.currentDirectory = workName;
  form.FormCreate();
  ASSERT_TRUE(form.ClickFile("Q150.BIN"));
  form.NewBuildFlashProgram();
  ASSERT_EQ(form.status, "Build Q150.EXE complete!");

#if defined(_WIN32)
  // Windows programs draw their windows through Wine's X server: the program
  // runs outside this test (tests/win), from where this test leaves it.
  const char* keep = std::getenv("FLASHUTIL_KEEP_BUILT");
  ASSERT_NE(keep, nullptr);
  std::filesystem::copy_file(in("Q150.EXE"), keep, std::filesystem::copy_options::overwrite_existing);
#else
  const std::string expected = [] {
    std::vector<uint8_t> bytes = ReadFile(FLASHUTIL_SOURCE_DIR "/tests/app/expected/q150-startup.txt");
    return std::string(bytes.begin(), bytes.end());
  }();
  EXPECT_EQ(RunProgram(work, "Q150.EXE"), expected);
  // --help and --version answer without a window and without a display;
  // any other argument, Qt's own options among them, is refused with a line
  // of usage before any window or box.
  const std::string image = Sha256Sum(in("Q150.BIN"));
  const struct {
    std::string arguments;
    int status;
    std::string out;  // its beginning
    std::string err;
  } answers[] = {
      {"builder --version", 0, "flashutil " FLASHUTIL_VERSION "\nDrives: simulated (drives that do not exist)\n", ""},
      {"builder --help", 0, "Usage: builder [--help | --version]\n\nThe builder of flash programs.", ""},
      {"Q150.EXE --version", 0,
       "Q150.EXE: a flash program of flashutil " FLASHUTIL_VERSION "\nFirmware: Q150 for QRD-73318K (VOX-TEL "
       "QRD-73318K, firmware Q100-Q149), 524288 bytes, SHA-256 " + image + "\nDrives: simulated",
       ""},
      {"Q150.EXE -h", 0, "Usage: Q150.EXE [--help | --version]\n\nA flash program. It carries the firmware Q150", ""},
      {"Q150.EXE -platform no-such-platform -reverse Q150.BIN", 2, "",
       "Q150.EXE: unknown argument -platform; usage: Q150.EXE [--help | --version]\n"},
      {"Q150.EXE --version --help", 2, "", "Q150.EXE: unknown argument --version; usage: Q150.EXE [--help | --version]\n"},
  };
  for (const auto& a : answers) {
    SCOPED_TRACE(a.arguments);
    const Outcome outcome = ::Run("cd " + Quoted(workName) + " && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "
                                "FLASHUTIL_TEST_BOX_HOOK='echo BOX >&2' timeout 60 ./" + a.arguments,
                                temp.Path().string() + "/err.txt");
    EXPECT_EQ(outcome.status, a.status);
    EXPECT_EQ(outcome.out.rfind(a.out, 0), 0u) << outcome.out;
    EXPECT_EQ(outcome.err, a.err);
  }
#endif
}

}  // namespace

namespace {

#if !defined(_WIN32)
// Every refusal of flashutil-pack: its exit status and its one line on
// standard error; a refused build writes nothing.
TEST(Programs, PackRefusesWithOneLineAndItsExitStatus) {
  TempDir dir;
  const std::string samples = FLASHUTIL_SOURCE_DIR "/samples/";
  for (const char* name : {"FLASHUTIL.INI", "Q150.BIN", "K300.BIN"}) {
    std::filesystem::copy_file(samples + name, dir / name);
  }
  package_tests::WriteText(dir / "broken.INI", package_tests::Section(0, "A", "B", "Q100-Q149", "Q*.BIN") +
                                                   "[MODEL01]\nModel=C\nInquiry=D\n");
  package_tests::WriteText(dir / "twice.INI", package_tests::Section(0, "QRD-73318K", "X", "Q100-Q149", "Q*.BIN") +
                                                  package_tests::Section(1, "QRD-73318K", "Y", "Q150-Q199", "Q*.BIN"));
  package_tests::WriteFile(dir / "Q000.BIN", {});
  package_tests::WriteFile(dir / "Q999.BIN", std::vector<uint8_t>(524289, 0x5A));
  package_tests::WriteText(dir / "afile", "not a folder");
  std::filesystem::create_directory(dir / "QDIR.BIN");
  std::filesystem::copy_file(samples + "K300.BIN", dir / "\x1b[2JK.BIN");
  const std::string catalogue = dir / "FLASHUTIL.INI";
  const auto build = [&](const std::string& model, const std::string& bin) {
    return BuildArguments(catalogue, model, dir / bin);
  };
  std::filesystem::create_directory(dir / "made");
  ASSERT_EQ(Pack(dir.Path(), build("0", "Q150.BIN") + " --output-dir made").status, 0);
  const std::string flash = dir / "made/Q150.EXE";

  const std::string kSee = "; see flashutil-pack --help";  // after a wrong usage
  const std::string kNotAProgram =
      "not a builder or a flash program of this flashutil: no firmware package in it (a BIN file is the image "
      "itself: flashutil-pack build makes a flash program of it)";
  const std::string kGiveCatalogue = "; give a model catalogue (an INI file with sections MODEL00 to MODEL99)";
  const struct {
    std::string arguments;
    int status;
    std::string error;  // the line on standard error, after "flashutil-pack: "
  } cases[] = {
      {"", 2, "no command given" + kSee},
      {"pack Q150.BIN", 2, "unknown command pack" + kSee},
      {"show", 2, "show takes one PROGRAM" + kSee},
      {"show a b", 2, "show takes one PROGRAM" + kSee},
      {"verify Q150.EXE", 2, "verify takes a PROGRAM and a FILE.BIN" + kSee},
      {"show --model 0 x", 2, "unknown option --model for show" + kSee},
      {build("0", "Q150.BIN") + " --colour red", 2, "unknown option --colour for build" + kSee},
      {build("0", "Q150.BIN") + " --model 1", 2, "--model given twice" + kSee},
      {build("0", "Q150.BIN") + " --output-dir", 2, "--output-dir needs a value" + kSee},
      {build("0", "Q150.BIN") + " extra", 2, "build takes no operand extra" + kSee},
      {"build --builder x --catalogue y --model 0", 2, "build needs --bin" + kSee},
      {"build --builder x --catalogue y --model= --bin z", 2, "build needs --model" + kSee},
      // The same fault, the same status in every command: an input that
      // cannot be used is 2, and its line names the file, the cause and what to give.
      {"show missing.EXE", 2, "missing.EXE: No such file or directory"},
      {"show FLASHUTIL.INI", 2, "FLASHUTIL.INI: " + kNotAProgram},
      {"show Q150.BIN", 2, "Q150.BIN: " + kNotAProgram},
      {"verify missing.EXE Q150.BIN", 2, "missing.EXE: No such file or directory"},
      {"verify " + flash + " missing.BIN", 2, "missing.BIN: No such file or directory"},
      {build("3", "Q150.BIN"), 1, "no model 3 in " + catalogue + ": its models are 0 to 2"},
      {build("QRD", "Q150.BIN"), 1, "no model QRD in " + catalogue},
      {build("0", "K300.BIN"), 1, "K300.BIN does not match the file mask Q*.BIN of model QRD-73318K"},
      {build("0", "Q000.BIN"), 1, "Building fail: Q000.BIN is empty!"},
      {build("0", "Q999.BIN"), 1,
       "Building fail: Q999.BIN has 524289 bytes, more than the 524288 bytes a firmware image may have!"},
      {build("0", "Q404.BIN"), 2,
       "can't read " + (dir / "Q404.BIN") + ": No such file or directory; give the path of the firmware's BIN file"},
      // Found missing before its name is held against the model's mask.
      {build("0", "K404.BIN"), 2,
       "can't read " + (dir / "K404.BIN") + ": No such file or directory; give the path of the firmware's BIN file"},
      {build("0", "Q150.BIN") + " --output-dir afile", 2,
       "the output folder afile is not a folder: give a folder with --output-dir"},
      {build("0", "Q150.BIN") + " --output-dir=missing", 2,
       "the output folder missing does not exist: make it first (mkdir missing), or give another --output-dir"},
      {BuildArguments(dir / "missing.INI", "0", dir / "Q150.BIN"), 2,
       "Can't load " + (dir / "missing.INI") + ": No such file or directory" + kGiveCatalogue},
      {BuildArguments(dir / "broken.INI", "0", dir / "Q150.BIN"), 2,
       (dir / "broken.INI") + " > Session MODEL01 error!; every model section needs its six keys"},
      {BuildArguments(dir / "twice.INI", "QRD-73318K", dir / "Q150.BIN"), 1,
       "model QRD-73318K stands in " + (dir / "twice.INI") + " more than once (0, 1); choose it by its index"},
      {"build --builder " + Quoted(flash) + " --catalogue " + Quoted(catalogue) + " --model 0 --bin Q150.BIN", 2,
       flash + " is a flash program, not a builder: flash programs are built from the builder"},
      // An output that is there already is replaced only when the command says so.
      {build("0", "Q150.BIN") + " --output-dir made", 1, "made/Q150.EXE exists; give --force to replace it"},
      {build("0", "Q150.BIN") + " --force --force", 2, "--force given twice" + kSee},
      {"show --force Q150.EXE", 2, "unknown option --force for show" + kSee},
      {build("0", "Q150.BIN") + " --yes", 2, "unknown option --yes for build" + kSee},
      {"verify --json --json a b", 2, "--json given twice" + kSee},
      // A directory where a file is wanted.
      {build("0", "QDIR.BIN"), 2, (dir / "QDIR.BIN") + " is a directory, not a BIN file"},
      {"show made", 2, "made is a directory, not a program file"},
      {"verify " + Quoted(flash) + " QDIR.BIN", 2, "QDIR.BIN is a directory, not a BIN file"},
      // Control characters of names reach the terminal escaped.
      {build("0", "\x1b[2JK.BIN"), 1, "\\x1b[2JK.BIN does not match the file mask Q*.BIN of model QRD-73318K"},
      {"show " + Quoted("\x1b]0;title\x07"), 2, "\\x1b]0;title\\x07: No such file or directory"},
      // The models of a catalogue.
      {"models", 2, "models takes one FILE.INI" + kSee},
      {"models missing.INI", 2, "Can't load missing.INI: No such file or directory" + kGiveCatalogue},
      {"models broken.INI", 2, "broken.INI > Session MODEL01 error!; every model section needs its six keys"},
      {"models made", 2, "made is a directory, not a catalogue"},
      // Drives and flashing: a question the command line does not answer, a
      // program that is none or is for simulated drives, options of another
      // command, and the simulated drives' options, which only the test
      // program has.
      {"drives a b", 2, "drives takes at most one PROGRAM" + kSee},
      {"drives --drive /dev/sg1", 2, "unknown option --drive for drives" + kSee},
      {"flash", 2, "flash takes one PROGRAM" + kSee},
      {"flash --force " + Quoted(flash), 2, "unknown option --force for flash" + kSee},
      {"flash --reflash " + Quoted(flash), 2, "--reflash goes with --yes" + kSee},
      {"flash --yes --parallel 2 " + Quoted(flash), 2, "--parallel goes with --all" + kSee},
      {"flash --yes --all --parallel 0 " + Quoted(flash), 2, "--parallel takes a number of drives from 1 on" + kSee},
      {"flash --yes --all --parallel x " + Quoted(flash), 2, "--parallel takes a number of drives from 1 on" + kSee},
      {"flash --all --parallel 2 " + Quoted(flash) + " </dev/null", 2,
       "--parallel goes with --yes: the drives' questions cannot all be asked at once" + kSee},
      {"flash --yes --all --drive /dev/sg1 " + Quoted(flash), 2, "--all and --drive exclude each other" + kSee},
      {"flash --all " + Quoted(flash) + " </dev/null", 2,
       "flash asks before it writes to a drive: run it on a terminal, or give --yes"},
      {"flash " + Quoted(flash) + " --drive", 2, "--drive needs a value" + kSee},
      {"flash --allow-downgrade " + Quoted(flash), 2, "--allow-downgrade goes with --yes" + kSee},
      {"flash --yes --simulate corrupt-read-back " + Quoted(flash), 2, "unknown option --simulate for flash" + kSee},
      {"flash " + Quoted(flash) + " </dev/null", 2,
       "flash asks before it writes to a drive: run it on a terminal, or give --yes"},
      {"flash --yes missing.EXE", 2, "missing.EXE: No such file or directory"},
      {"flash --yes FLASHUTIL.INI", 2, "FLASHUTIL.INI: " + kNotAProgram},
      {std::string("flash --yes ") + Quoted(FLASHUTIL_SIM_PROGRAM), 2,
       std::string(FLASHUTIL_SIM_PROGRAM) + " is a builder, not a flash program"},
      {"flash --yes " + Quoted(flash), 2, flash + " is built for simulated drives: it flashes no real drive"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const std::set<std::filesystem::path> before(std::filesystem::directory_iterator(dir.Path()), {});
    const Outcome outcome = Pack(dir.Path(), c.arguments);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "flashutil-pack: " + c.error + "\n");
    EXPECT_EQ(std::set<std::filesystem::path>(std::filesystem::directory_iterator(dir.Path()), {}), before);
  }

  // With --json every refusal is also one JSON object on standard output,
  // with the status and the line's text.
  const struct {
    std::string arguments;
    int status;
    std::string error;
    std::string program;  // the object's "program"
  } jsonRefusals[] = {
      {"flash --json " + Quoted(flash), 2, "--json goes with --yes or --check" + kSee, "null"},
      {"flash --json --check --colour red " + Quoted(flash), 2, "unknown option --colour for flash" + kSee, "null"},
      {"flash --json --yes missing.EXE", 2, "missing.EXE: No such file or directory", "{\"file\": \"missing.EXE\", "
       "\"vendor\": null, \"model\": null, \"version\": null, \"image_sha256\": null}"},
  };
  for (const auto& j : jsonRefusals) {
    SCOPED_TRACE(j.arguments);
    const Outcome outcome = Pack(dir.Path(), j.arguments);
    EXPECT_EQ(outcome.status, j.status);
    EXPECT_EQ(outcome.err, "flashutil-pack: " + j.error + "\n");
    const bool check = j.arguments.find("--check") != std::string::npos;
    EXPECT_EQ(outcome.out, "{\"program\": " + j.program + ", \"check\": " + (check ? "true" : "false") +
                               ", \"simulated\": false, \"status\": 2, \"changed\": false, \"error\": \"" +
                               j.error + "\", \"drives\": []}\n");
  }

  // A builder carries no image; help and version need no command.
  const Outcome builder = Pack(dir.Path(), std::string("verify ") + Quoted(FLASHUTIL_SIM_PROGRAM) + " Q150.BIN");
  EXPECT_EQ(builder.status, 1);
  EXPECT_EQ(builder.out, std::string(FLASHUTIL_SIM_PROGRAM) + " is a builder and carries no image\n");
  // show says which drives a program reaches.
  const Outcome system = Pack(dir.Path(), std::string("show ") + Quoted(FLASHUTIL_PROGRAM));
  EXPECT_NE(system.out.find("\nDrives:   the system's optical drives\n"), std::string::npos) << system.out;
  const Outcome help = Pack(dir.Path(), "show --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: flashutil-pack show [--json] PROGRAM\n", 0), 0u) << help.out;
  EXPECT_EQ(Pack(dir.Path(), "--version").out.rfind("flashutil-pack ", 0), 0u);

  // The models as the builder's window lists them, after the index --model takes.
  const Outcome models = Pack(dir.Path(), "models FLASHUTIL.INI");
  EXPECT_EQ(models.status, 0) << models.err;
  EXPECT_EQ(models.out, "0 Q100-Q149 VOX-TEL QRD-73318K\n1 K100-K299 VOX-TEL DVD-ROM MVK-417\n"
                        "2 S100-S199 VOX-TEL CRW-5232S\n");

  // With --force an existing output is replaced; a script gets the new
  // program's path as its bytes stand, a backslash and a byte that is not
  // UTF-8 too, or as a JSON string with --json (a terminal gets it escaped).
  package_tests::WriteText(dir / "made/Q150.EXE", "old");
  const Outcome forced = Pack(dir.Path(), build("0", "Q150.BIN") + " --output-dir made --force");
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(forced.out, "made/Q150.EXE\n");
  EXPECT_TRUE(ReadFile(dir / "made/Q150.EXE") == ReadFile(flash));
  std::filesystem::copy_file(dir / "Q150.BIN", dir / "Q\x1b[2J.BIN");
  const Outcome escaped = Pack(dir.Path(), build("0", "Q\x1b[2J.BIN") + " --output-dir made");
  EXPECT_EQ(escaped.status, 0) << escaped.err;
  EXPECT_EQ(escaped.out, "made/Q\x1b[2.EXE\n");
  EXPECT_TRUE(std::filesystem::exists(dir / "made/Q\x1b[2.EXE"));
  std::filesystem::copy_file(dir / "Q150.BIN", dir / "Q\\\xff" "1.BIN");
  const Outcome raw = Pack(dir.Path(), build("0", "Q\\\xff" "1.BIN") + " --output-dir made");
  EXPECT_EQ(raw.out, "made/Q\\\xff" "1.EXE\n");
  EXPECT_TRUE(std::filesystem::exists(raw.out.substr(0, raw.out.size() - 1).insert(0, dir.Path().string() + "/")));
  const Outcome json = Pack(dir.Path(), build("0", "Q\\\xff" "1.BIN") + " --output-dir made --force --json");
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out.rfind("{\"program\": \"made/Q\\\\\\u00ff1.EXE\", \"model\": \"QRD-73318K\", \"bin\": ", 0), 0u)
      << json.out;
  EXPECT_NE(json.out.find(", \"image_bytes\": 524288, \"version\": \"Q\\\\\\u00ff1.\", \"sha256\": \"" +
                          Sha256Sum(dir / "Q150.BIN") + "\"}\n"),
            std::string::npos)
      << json.out;

  // Output that cannot be written, to a full disk or a closed pipe (with
  // SIGPIPE ignored, as a script's runner may have it), is an error.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  ASSERT_EQ(::dup2(fds[1], 9), 9);
  ::close(fds[1]);
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  for (const std::string& command : std::vector<std::string>{
           "show " + Quoted(flash), "show --json " + Quoted(flash), "models FLASHUTIL.INI",
           "verify " + Quoted(flash) + " Q150.BIN", "--help", build("0", "Q150.BIN") + " --output-dir made --force"}) {
    for (const auto& [to, reason] : {std::pair<std::string, std::string>{"/dev/full", "No space left on device"},
                                     std::pair<std::string, std::string>{"&9", "Broken pipe"}}) {
      SCOPED_TRACE(command + " >" + to);
      const Outcome failed = Pack(dir.Path(), command + " >" + to);
      EXPECT_EQ(failed.status, 2);
      EXPECT_EQ(failed.err, "flashutil-pack: can't write standard output: " + reason + "\n");
    }
  }
  std::signal(SIGPIPE, previous);
  ::close(9);
}

// Images of lengths around the checksum's block boundaries: the program built
// from each shows its length and the checksum sha256sum gives the BIN file,
// carries exactly that file, and no file that differs in one byte or in
// length. Names are printed as they are where they are UTF-8.
TEST(Programs, PackShowsAndVerifiesImagesOfEveryLength) {
  TempDir dir;
  std::filesystem::copy_file(FLASHUTIL_SOURCE_DIR "/samples/FLASHUTIL.INI", dir / "FLASHUTIL.INI");
  const struct {
    size_t length;
    std::string bin, program;
    std::string shown;  // the program's name as show and verify print it
    std::string json;   // and as their JSON has it
  } cases[] = {
      {1, "Q\xff\xc3\xa4" "1.BIN", "Q\xff\xc3\xa4" "1.EXE", "Q\\xff\xc3\xa4" "1.EXE", "Q\\u00ff\xc3\xa4" "1.EXE"},
      {55, "Q55.BIN", "Q55..EXE", "Q55..EXE", "Q55..EXE"},  {56, "Q56.BIN", "Q56..EXE", "Q56..EXE", "Q56..EXE"},
      {63, "Q63.BIN", "Q63..EXE", "Q63..EXE", "Q63..EXE"},  {64, "Q64.BIN", "Q64..EXE", "Q64..EXE", "Q64..EXE"},
      {119, "Q119.BIN", "Q119.EXE", "Q119.EXE", "Q119.EXE"}, {120, "Q120.BIN", "Q120.EXE", "Q120.EXE", "Q120.EXE"},
      {524287, "Q524287.BIN", "Q524.EXE", "Q524.EXE", "Q524.EXE"},
      {2, "Q\"\\2.BIN", "Q\"\\2.EXE", "Q\"\\x5c2.EXE", "Q\\\"\\\\2.EXE"},
  };
  for (const auto& c : cases) {
    const size_t length = c.length;
    const std::string& bin = c.bin;
    const std::string& program = c.program;
    SCOPED_TRACE(length);
    std::vector<uint8_t> image = package_tests::MakeBin(length, static_cast<uint8_t>(length));
    package_tests::WriteFile(dir / bin, image);
    const Outcome built = Pack(dir.Path(), BuildArguments(dir / "FLASHUTIL.INI", "0", dir / bin));
    ASSERT_EQ(built.status, 0) << built.err;
    // The new program's path as its bytes stand (standard output is no terminal).
    EXPECT_EQ(built.out, (dir / program) + "\n");
    const Outcome shown = Pack(dir.Path(), "show " + Quoted(program));
    EXPECT_EQ(shown.out.rfind("Program:  " + c.shown + "\n", 0), 0u) << shown.out;
    EXPECT_NE(shown.out.find("\nImage:    " + std::to_string(length) + " bytes\nSHA-256:  " +
                             Sha256Sum(dir / bin) + "\n"),
              std::string::npos)
        << shown.out;
    EXPECT_EQ(Pack(dir.Path(), "verify " + Quoted(program) + " " + Quoted(bin)).status, 0);

    image[length / 2] ^= 0x01;
    package_tests::WriteFile(dir / "changed.BIN", image);
    Outcome verified = Pack(dir.Path(), "verify " + Quoted(program) + " changed.BIN");
    EXPECT_EQ(verified.status, 1);
    EXPECT_EQ(verified.out, c.shown + " does not carry changed.BIN: the bytes differ from offset " +
                                std::to_string(length / 2) + " on\n");
    // The same as JSON; a byte of a name that is not UTF-8 as \u00XX.
    verified = Pack(dir.Path(), "verify --json " + Quoted(program) + " changed.BIN");
    EXPECT_EQ(verified.status, 1);
    EXPECT_EQ(verified.out, "{\"program\": \"" + c.json + "\", \"bin\": \"changed.BIN\", \"carries\": false, "
                            "\"kind\": \"flash program\", \"image_bytes\": " + std::to_string(length) +
                            ", \"bin_bytes\": " + std::to_string(length) + ", \"first_difference\": " +
                            std::to_string(length / 2) + ", \"bin_sha256\": \"" + Sha256Sum(dir / "changed.BIN") +
                            "\"}\n");
    image[length / 2] ^= 0x01;
    image.push_back(0);
    package_tests::WriteFile(dir / "longer.BIN", image);
    verified = Pack(dir.Path(), "verify " + Quoted(program) + " longer.BIN");
    EXPECT_EQ(verified.status, 1);
    EXPECT_EQ(verified.out, c.shown + " does not carry longer.BIN: its image has " + std::to_string(length) +
                                " bytes, the file " + std::to_string(length + 1) + "\n");
  }
}


// Runs flashutil-pack-sim in `dir` on a terminal of its own: when the
// output so far holds `step.waitFor`, types `step.type`, or sends
// `step.signal` (SIGINT: Ctrl-C) when that is empty. With `jobControl` an
// interactive shell starts it as a job of its own, as on a user's terminal,
// and says "job over" when it ends. What the terminal showed, standard
// error included.
struct TerminalStep {
  std::string waitFor;
  std::string type;  // empty: the signal
  int signal = SIGINT;
};

Outcome OnTerminal(const std::filesystem::path& dir, const std::vector<std::string>& arguments,
                   const std::vector<TerminalStep>& steps, bool jobControl = false) {
  Outcome outcome;
  int master = -1;
  const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (child == 0) {
    std::vector<char*> argv{const_cast<char*>(FLASHUTIL_PACK_SIM)};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    if (jobControl) {
      std::string command = Quoted(FLASHUTIL_PACK_SIM);
      for (const std::string& argument : arguments) command += " " + Quoted(argument);
      command += "; echo job over";
      ::execl("/bin/bash", "bash", "--norc", "--noprofile", "-i", "-c", command.c_str(), nullptr);
    }
    ::execv(FLASHUTIL_PACK_SIM, argv.data());
    ::_exit(127);
  }
  if (child < 0) return outcome;
  size_t step = 0, searchedTo = 0;
  for (int waited = 0; waited < 600; ++waited) {  // 60 s at most
    pollfd input{master, POLLIN, 0};
    if (::poll(&input, 1, 100) > 0) {
      char buffer[4096];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;  // the program has ended: its terminal is closed
      outcome.out.append(buffer, static_cast<size_t>(n));
    }
    if (step < steps.size()) {
      const size_t at = outcome.out.find(steps[step].waitFor, searchedTo);
      if (at == std::string::npos) continue;
      searchedTo = at + steps[step].waitFor.size();
      if (steps[step].type.empty()) {
        ::kill(child, steps[step].signal);
      } else {
        EXPECT_EQ(::write(master, steps[step].type.data(), steps[step].type.size()),
                  static_cast<ssize_t>(steps[step].type.size()));
      }
      ++step;
    }
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(master);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  EXPECT_EQ(step, steps.size()) << outcome.out;
  return outcome;
}

// flash and drives on the simulated drives: the window's form and flash
// sequence with their texts, for each class of image (no profile, long-ID
// and short-ID profile), a failure, the revision warnings that --yes alone
// does not answer, the choice among several fitting drives, no fitting
// drive, and Ctrl-C before and after the first write.
TEST(Programs, PackFlashesTheSimulatedDrives) {
  TempDir dir;
  const std::string samples = FLASHUTIL_SOURCE_DIR "/samples/";
  std::filesystem::copy_file(samples + "FLASHUTIL.INI", dir / "FLASHUTIL.INI");
  for (const Sample& s : kSamples) std::filesystem::copy_file(samples + s.bin, dir / s.bin);
  // An image of the drive's own revision Q120; any revision of the model (so that
  // both Q120 and Q205 fit); a model no drive has.
  std::filesystem::copy_file(samples + "Q150.BIN", dir / "Q120.BIN");
  package_tests::WriteText(dir / "more.INI",
                           package_tests::Section(0, "QRD-73318K", "VOX-TEL QRD-73318K", "----------", "*.BIN") +
                               package_tests::Section(1, "NONE-1", "NOBODY NONE-1", "N100-N199", "*.BIN"));
  std::filesystem::create_directories(dir / "any");
  std::filesystem::create_directories(dir / "none");
  // A transcript folder that others may write into.
  std::filesystem::create_directories(dir / "open/flashutil");
  std::filesystem::permissions(dir / "open/flashutil", std::filesystem::perms::all);
  const auto build = [&](const std::string& catalogue, const std::string& model, const std::string& bin,
                         const std::string& to) {
    const Outcome built = Pack(dir.Path(), BuildArguments(dir / catalogue, model, dir / bin) + " --output-dir " + to);
    ASSERT_EQ(built.status, 0) << built.err;
  };
  for (const Sample& s : kSamples) build("FLASHUTIL.INI", std::to_string(s.entry), s.bin, ".");
  build("FLASHUTIL.INI", "0", "Q120.BIN", ".");
  build("more.INI", "0", "Q150.BIN", "any");
  build("more.INI", "1", "Q150.BIN", "none");
  // The same vendor, model and version, another image.
  std::filesystem::create_directories(dir / "other-image");
  std::vector<uint8_t> otherImage = ReadFile(samples + "Q150.BIN");
  otherImage[1000] ^= 0x01;
  package_tests::WriteFile(dir / "other-image/Q150.BIN", otherImage);
  build("FLASHUTIL.INI", "0", "other-image/Q150.BIN", "other-image");
  const auto packSim = [&](const std::string& arguments, const std::string& state = {}) {
    return ::Run("cd " + Quoted(dir.Path().string()) + " && " +
                     (state.empty() ? std::string() : "XDG_STATE_HOME=" + Quoted(state) + " ") +
                     Quoted(FLASHUTIL_PACK_SIM) + " " + arguments + " </dev/null",
                 dir / "stderr.txt");
  };

  const std::string simulated = "Simulated drives: none of these drives exists; no real drive is listed or flashed.\n";
  const std::string warning = [](const std::string& model, const std::string& range) {
    return "WARNING:\n\nThis flash utility only supports VoxTEL-DS " + model + " drive with firmware:" + range +
           "\nPlease REMOVE disc and close all applications before run this utility! \nDon't turn off the system "
           "while the flash is in progress!\n\nDo you wish to continue?\nyes (--yes)\n";
  }("QRD-73318K", "Q100-Q149");
  const std::string ending = "Flash Completed.\nDrive now: 0-0-0  : VOX-TEL QRD-73318K      Q150\n"
                             "restart the machine for the new firmware to take effect\n";
  const struct {
    std::string arguments;
    int status;
    std::string out;  // without the progress lines
    std::string err;
    int progressLines;
    std::string state = {};  // XDG_STATE_HOME, when not the tests' own
  } cases[] = {
      {"flash --yes Q150.EXE", 0,
       simulated + warning + "Drive: /dev/sim-sg0 0-0-0  : VOX-TEL QRD-73318K      Q120\nUpdate Firmware Q120 to "
                             "Q150 ?\nyes (--yes)\nWrite BIN to drive's DRAM... \nRead back and Verify drive's "
                             "DRAM... \nDon't turn off the system, Flash is in progress...\n" + ending,
       "", 66},
      {"flash --yes K300.EXE", 0, "", "", 66},
      {"flash --yes S150.EXE", 0, "", "", 66},
      // A read-back that differs: the window's box and status line, and the failure.
      {"flash --yes --simulate corrupt-read-back Q150.EXE", 1,
       simulated + warning + "Drive: /dev/sim-sg0 0-0-0  : VOX-TEL QRD-73318K      Q120\nUpdate Firmware Q120 to "
                             "Q150 ?\nyes (--yes)\nWrite BIN to drive's DRAM... \nRead back and Verify drive's "
                             "DRAM... \nRead back and Verify drive's DRAM... , Compare BIN and DRAM Fail! \n"
                             "Compare BIN and DRAM fail!\n",
       "flashutil-pack: flash failed: Read back and Verify drive's DRAM... , Compare BIN and DRAM Fail! \n", 32},
      // The drive has the image's revision already: up to date, nothing is
      // sent, and no error; --allow-downgrade does not flash it again, --reflash does.
      {"flash --yes Q120.EXE", 0,
       simulated + warning + "Drive: /dev/sim-sg0 0-0-0  : VOX-TEL QRD-73318K      Q120\nWARNING !!!\n\nYour drive "
                             "Firmware Q120 is aready the most updated !\n\nUpdate Firmware Q120 to Q120 ?\n"
                             "up to date: nothing to do\n",
       "", 0},
      {"flash --yes --allow-downgrade Q120.EXE", 0, "", "", 0},
      {"flash --yes --reflash Q120.EXE", 0, "", "", 66},
      // Two drives fit: one must be chosen; a newer drive's question is a
      // warning even without its text.
      {"flash --yes any/Q150.EXE", 2, simulated + "WARNING:\n\nThis flash utility only supports VoxTEL-DS QRD-73318K "
                                              "drive. \nPlease REMOVE disc and close all applications before run "
                                              "this utility!\nDon't turn off the system while flash is in progress! "
                                              "\n\nDo you wish to continue?\nyes (--yes)\n",
       "flashutil-pack: 2 drives fit: /dev/sim-sg0, /dev/sim-sg1; choose one with --drive NODE\n", 0},
      // A node that is no drive: refused before the start-up's question.
      {"flash --yes --drive /dev/sim-sg9 any/Q150.EXE", 2, simulated,
       "flashutil-pack: /dev/sim-sg9 is no optical drive of this machine; flashutil-pack drives lists them\n", 0},
      {"flash --yes --drive /dev/sim-sg2 any/Q150.EXE", 3, "",
       "flashutil-pack: /dev/sim-sg2 is not a drive this program fits; it fits /dev/sim-sg0, /dev/sim-sg1\n", 0},
      {"flash --yes --drive /dev/sim-sg1 any/Q150.EXE", 2, "",
       "flashutil-pack: the drive's firmware is newer than this image: give --allow-downgrade as well to flash it\n",
       0},
      {"flash --yes --reflash --drive /dev/sim-sg1 any/Q150.EXE", 2, "",
       "flashutil-pack: the drive's firmware is newer than this image: give --allow-downgrade as well to flash it\n",
       0},
      {"flash --yes --allow-downgrade --drive=/dev/sim-sg1 any/Q150.EXE", 0, "", "", 66},
      // A drive named by its block node.
      {"flash --yes --allow-downgrade --simulate block-nodes --drive /dev/sim-sr1 any/Q150.EXE", 0, "", "", 66},
      // No drive fits: the window's report.
      {"flash --yes none/Q150.EXE", 3, "", "ERROR:\n\nCan't found NONE-1 firmware: N100-N199 drive !\n", 0},
      // The drives and whether the image fits each.
      {"drives Q150.EXE", 0,
       simulated + "NODE           ADDRESS   VENDOR   PRODUCT          REV  FITS\n"
                   "/dev/sim-sg0   0:0:0:0   VOX-TEL  QRD-73318K       Q120  yes\n"
                   "/dev/sim-sg1   1:0:0:0   VOX-TEL  QRD-73318K       Q205  no: firmware: Q205 is outside Q100-Q149\n"
                   "/dev/sim-sg2   2:0:0:0   ACME     CDRW-5200        3.11  no: identity: the program is for VOX-TEL "
                   "QRD-73318K\n"
                   "/dev/sim-sg3   3:0:0:0   VOX-TEL  DVD-ROM MVK-417  K200  no: identity: the program is for VOX-TEL "
                   "QRD-73318K\n"
                   "/dev/sim-sg4   4:0:0:0   VOX-TEL  CRW-5232S        S120  no: identity: the program is for VOX-TEL "
                   "QRD-73318K\n",
       "", 0},
      {"drives --json none/Q150.EXE", 3, "", "flashutil-pack: no drive fits none/Q150.EXE\n", 0},
      // A drive that passes only the system's safe commands never fits, whatever its identity.
      {"drives --simulate safe-commands-only Q150.EXE", 3,
       simulated + "NODE           ADDRESS   VENDOR   PRODUCT          REV  FITS\n"
                   "/dev/sim-sr0   0:0:0:0   VOX-TEL  QRD-73318K       Q120  no: rights: /dev/sim-sr0 passes only the "
                   "system's safe commands (load the sg module, join the drive's group, or run as root)\n"
                   "/dev/sim-sr1   1:0:0:0   VOX-TEL  QRD-73318K       Q205  no: firmware: Q205 is outside Q100-Q149\n"
                   "/dev/sim-sr2   2:0:0:0   ACME     CDRW-5200        3.11  no: identity: the program is for VOX-TEL "
                   "QRD-73318K\n"
                   "/dev/sim-sr3   3:0:0:0   VOX-TEL  DVD-ROM MVK-417  K200  no: identity: the program is for VOX-TEL "
                   "QRD-73318K\n"
                   "/dev/sim-sr4   4:0:0:0   VOX-TEL  CRW-5232S        S120  no: identity: the program is for VOX-TEL "
                   "QRD-73318K\n",
       "flashutil-pack: no drive fits Q150.EXE\n", 0},
      // Without a program: whether a drive fits is not known, and the keys come in their documented order.
      {"drives --json", 0,
       "{\"program\": null, \"simulated\": true, \"drives\": [{\"node\": \"/dev/sim-sg0\", \"address\": \"0:0:0:0\", "
       "\"vendor\": \"VOX-TEL\", \"product\": \"QRD-73318K\", \"revision\": \"Q120\", \"fits\": null, \"why\": null}, "
       "{\"node\": \"/dev/sim-sg1\", \"address\": \"1:0:0:0\", \"vendor\": \"VOX-TEL\", \"product\": \"QRD-73318K\", "
       "\"revision\": \"Q205\", \"fits\": null, \"why\": null}, {\"node\": \"/dev/sim-sg2\", \"address\": \"2:0:0:0\", "
       "\"vendor\": \"ACME\", \"product\": \"CDRW-5200\", \"revision\": \"3.11\", \"fits\": null, \"why\": null}, "
       "{\"node\": \"/dev/sim-sg3\", \"address\": \"3:0:0:0\", \"vendor\": \"VOX-TEL\", \"product\": \"DVD-ROM MVK-417\", "
       "\"revision\": \"K200\", \"fits\": null, \"why\": null}, {\"node\": \"/dev/sim-sg4\", \"address\": \"4:0:0:0\", "
       "\"vendor\": \"VOX-TEL\", \"product\": \"CRW-5232S\", \"revision\": \"S120\", \"fits\": null, \"why\": null}]}\n",
       "", 0},
      // A transcript folder that is not the user's alone gets no transcript;
      // the flash goes on to its end and says why on standard error.
      {"flash --yes Q150.EXE", 0, "",
       "flashutil-pack: no transcript: the transcript folder " + dir / "open/flashutil" +
           " is writable by others: make it yours alone (chmod 700 " + dir / "open/flashutil" + ")\n",
       66, dir / "open"},
  };
  const std::string replayedSame = "Replay: the same as the recording, to its end (";
  std::string q150Transcript;  // of the first flash, for the bad transcripts below
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments + (c.state.empty() ? "" : " with XDG_STATE_HOME=" + c.state));
    const Outcome outcome = packSim(c.arguments, c.state);
    EXPECT_EQ(outcome.status, c.status) << outcome.out << outcome.err;
    std::istringstream lines(outcome.out);
    std::string out;
    std::string transcript;
    int progress = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("progress ", 0) == 0) {
        ++progress;
      } else if (line.rfind("Transcript: ", 0) == 0) {
        transcript = line.substr(12);
      } else {
        out += line + "\n";
      }
    }
    // Every flash that got as far as its question leaves a whole transcript,
    // and names it last; one that ended before leaves none.
    if (c.state.empty() && out.find("\nUpdate Firmware ") != std::string::npos) {
      std::ifstream file(transcript, std::ios::binary);
      std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      EXPECT_EQ(text.rfind("flashutil transcript 1\n", 0), 0u) << transcript;
      EXPECT_EQ(text.size() > 4 ? text.substr(text.size() - 4) : text, "end\n") << transcript;
      EXPECT_EQ(outcome.out.substr(outcome.out.size() - std::min(outcome.out.size(), transcript.size() + 13)),
                "Transcript: " + transcript + "\n");
      // It replays with the program it recorded to the same end, and leaves no transcript of its own.
      const std::string program = c.arguments.substr(c.arguments.rfind(' ') + 1);
      const size_t transcripts = std::distance(std::filesystem::directory_iterator(std::filesystem::path(transcript).parent_path()),
                                               std::filesystem::directory_iterator());
      const Outcome replay = packSim("replay " + Quoted(transcript) + " " + program);
      EXPECT_EQ(replay.status, 0) << replay.out << replay.err;
      EXPECT_NE(replay.out.find("\n" + replayedSame + transcript + " line "), std::string::npos) << replay.out;
      EXPECT_EQ(replay.out.find("Transcript: "), std::string::npos) << replay.out;
      // It shows what the flash showed: no restart question, which the
      // command line never asks, and the drive's new entry.
      EXPECT_EQ(replay.out.find("The system needs to be restarted"), std::string::npos) << replay.out;
      if (c.status == 0 && c.progressLines > 0) {
        EXPECT_NE(replay.out.find("\nFlash Completed.\nDrive now: "), std::string::npos) << replay.out;
        EXPECT_NE(replay.out.find("\nrestart the machine for the new firmware to take effect\nReplay: the same"),
                  std::string::npos)
            << replay.out;
      }
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(std::filesystem::path(transcript).parent_path()),
                              std::filesystem::directory_iterator()),
                static_cast<long>(transcripts));
      if (q150Transcript.empty() && c.arguments == "flash --yes Q150.EXE") q150Transcript = transcript;
    } else {
      EXPECT_EQ(transcript, "");
    }
    if (!c.state.empty()) {
      EXPECT_TRUE(std::filesystem::is_empty(c.state + "/flashutil"));
    }
    if (!c.out.empty()) {
      EXPECT_EQ(out, c.out);
    }
    if (c.status == 0 && c.arguments.rfind("flash", 0) == 0) {
      EXPECT_NE(out.find(c.progressLines > 0 ? "\nFlash Completed.\nDrive now: " : "\nup to date: nothing to do\n"),
                std::string::npos)
          << out;
    }
    if (c.arguments.find("--drive /dev/sim-sr1") != std::string::npos) {
      EXPECT_NE(out.find("\nDrive: /dev/sim-sg1 1-0-0  : VOX-TEL QRD-73318K      Q205\n"), std::string::npos) << out;
    }
    if (c.status == 3 && c.arguments.rfind("flash --yes none", 0) == 0) {
      EXPECT_EQ(outcome.err.rfind(c.err, 0), 0u) << outcome.err;
      EXPECT_NE(outcome.err.find("\n4-0-0  : VOX-TEL CRW-5232S       S120\nflashutil-pack: no drive fits none/Q150.EXE\n"),
                std::string::npos)
          << outcome.err;
    } else if (c.status != 0 || !c.err.empty()) {
      EXPECT_EQ(outcome.err, c.err);
    }
    EXPECT_EQ(progress, c.progressLines);
  }

  // Bad transcripts, and programs that are not the recorded one: each
  // refused naming the transcript's line (2), or replayed up to the line
  // where it parts from the recording (1).
  ASSERT_FALSE(q150Transcript.empty());
  std::vector<std::string> lines;
  {
    std::ifstream file(q150Transcript, std::ios::binary);
    for (std::string line; std::getline(file, line);) lines.push_back(line);
  }
  const auto lineOf = [&](const std::string& part) {
    const auto at = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
    EXPECT_NE(at, lines.end()) << part;
    return static_cast<size_t>(at - lines.begin());
  };
  const auto joined = [](const std::vector<std::string>& some) {
    std::string text;
    for (const std::string& line : some) text += line + "\n";
    return text;
  };
  const auto edited = [&](size_t index, const std::string& line) {
    std::vector<std::string> copy = lines;
    copy[index] = line;
    return joined(copy);
  };
  // One byte of the second block's read-back changed, and the answer line of the line that follows it.
  const size_t readBack = lineOf("> 3C 01 01 00 40 00") + 1;
  std::string changedData = lines[readBack];
  changedData[changedData.size() - 10] = changedData[changedData.size() - 10] == 'A' ? 'B' : 'A';
  const size_t write = lineOf("> 3B 05 01 01 00 00");
  std::string changedCommand = lines[write];
  changedCommand.replace(changedCommand.find("> 3B 05 01 01 00 00"), 19, "> 3B 05 01 01 40 00");
  const size_t revision = lineOf("Update Firmware Q120");
  std::string changedBox = lines[revision];
  changedBox.replace(changedBox.find("Q120"), 4, "Q121");
  const std::string cutText = joined(lines);
  const std::string at = "flashutil-pack: bad.txt: line ";
  const struct {
    const char* name;
    std::string text;
    std::string program;
    int status;
    std::string err;  // the beginning of standard error
  } bad[] = {
      {"cut in the header", joined({lines[0], lines[1]}), "Q150.EXE", 2, at + "3: the transcript ends inside its header"},
      {"cut before end", joined(std::vector<std::string>(lines.begin(), lines.end() - 1)), "Q150.EXE", 2,
       at + std::to_string(lines.size()) + ": the transcript ends without its \"end\" line"},
      {"cut in a line", cutText.substr(0, cutText.find('\n', cutText.find("> 3C 01 01 00 80 00")) - 5), "Q150.EXE", 2,
       at + std::to_string(lineOf("> 3C 01 01 00 80 00") + 1) + ": the transcript ends in the middle of a line"},
      {"other version", edited(1, "program 0.0.0.1"), "Q150.EXE", 2, at + "2: the transcript was written by version 0.0.0.1"},
      {"malformed request", edited(write, lines[write] + " x"), "Q150.EXE", 2, at + std::to_string(write + 1) + ": "},
      {"malformed answer", edited(write + 1, lines[write + 1] + " x"), "Q150.EXE", 2, at + std::to_string(write + 2) + ": "},
      {"answer without request", edited(write, lines[write + 1]), "Q150.EXE", 2,
       at + std::to_string(write + 1) + ": an answer without its command request"},
      {"other program", cutText, "S150.EXE", 2, "flashutil-pack: S150.EXE is not the program of bad.txt (line 4)"},
      {"other image", cutText, "other-image/Q150.EXE", 2,
       "flashutil-pack: other-image/Q150.EXE is not the program of bad.txt (line 4)"},
      {"changed command", edited(write, changedCommand), "Q150.EXE", 1,
       "flashutil-pack: the replay differs from bad.txt at line " + std::to_string(write + 1) + ": recorded " +
           changedCommand.substr(changedCommand.find(' ') + 1)},
      // A box that differs is answered No, and named as the line reads.
      {"changed box", edited(revision, changedBox), "Q150.EXE", 1,
       "flashutil-pack: the replay differs from bad.txt at line " + std::to_string(revision + 1) +
           ": recorded box Confirmation \"Confirm\" Yes/No: \\nUpdate Firmware Q121 to Q150 ?\\n; the replay box "
           "Confirmation \"Confirm\" Yes/No: \\nUpdate Firmware Q120 to Q150 ?\\n\n"},
      {"changed read-back", edited(readBack, changedData), "Q150.EXE", 1,
       "flashutil-pack: the replay differs from bad.txt at line " + std::to_string(readBack + 2) + ": recorded > 3C 01 01 00 80 00"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.name);
    {
      std::ofstream file(dir / "bad.txt", std::ios::binary);
      file << b.text;
    }
    const Outcome replay = packSim("replay bad.txt " + b.program);
    EXPECT_EQ(replay.status, b.status) << replay.out << replay.err;
    EXPECT_EQ(replay.err.rfind(b.err, 0), 0u) << replay.err;
    EXPECT_EQ(replay.err.find('\n'), replay.err.size() - 1) << replay.err;
    if (std::string(b.name) == "changed read-back") {
      EXPECT_NE(replay.out.find("\nRead back and Verify drive's DRAM... , Compare BIN and DRAM Fail! \nCompare BIN and DRAM fail!\n"),
                std::string::npos)
          << replay.out;
    }
  }

  // What no transcript can be, from a stranger's machine: each refused at
  // once, naming its line, with the replay's memory held to 64 MB
  // (RLIMIT_AS): a file of 200 MB of line feeds, /dev/zero, a FIFO whose
  // writer never stops (a transcript's header, then records without end),
  // a line of 100 MB after a transcript's header.
  const std::string header = joined(std::vector<std::string>(lines.begin(), lines.begin() + 5));
  Output("head -c 209715200 /dev/zero | tr '\\0' '\\n' >" + Quoted(dir / "feeds.txt"));
  Output("{ printf %s " + Quoted(header) + "; head -c 104857600 /dev/zero | tr '\\0' A; } >" + Quoted(dir / "long.txt"));
  Output("rm -f " + Quoted(dir / "fifo") + " && mkfifo " + Quoted(dir / "fifo"));
  package_tests::WriteText(dir / "header.txt", header);
  package_tests::WriteText(dir / "writer.sh", "{ cat header.txt; yes '@1.000000 status \"x\"'; } >fifo\n");
  // Started apart from this process's output, which it would otherwise keep open.
  Output("cd " + Quoted(dir.Path().string()) + " && sh writer.sh </dev/null >/dev/null 2>&1 &");
  const struct {
    const char* file;
    std::string error;
  } endless[] = {
      {"feeds.txt", "feeds.txt: line 1: this is not a flashutil transcript"},
      {"/dev/zero", "/dev/zero: line 1: this is not a flashutil transcript"},
      {"fifo", "fifo: line 20006: more records than any flash's transcript has (20000)"},
      {"long.txt", "long.txt: line 6: longer than any line of a transcript can be (65536 bytes)"},
  };
  for (const auto& e : endless) {
    SCOPED_TRACE(e.file);
    const auto start = std::chrono::steady_clock::now();
    // (The address sanitizer reserves more address space than that by itself.)
    const std::string limit = FLASHUTIL_SANITIZE ? "" : "ulimit -v 65536 && ";
    const Outcome replay = ::Run("cd " + Quoted(dir.Path().string()) + " && " + limit + Quoted(FLASHUTIL_PACK_SIM) +
                                     " replay " + Quoted(e.file) + " Q150.EXE",
                                 dir / "stderr.txt");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(replay.status, 2) << replay.err;
    EXPECT_EQ(replay.err.rfind("flashutil-pack: " + e.error, 0), 0u) << replay.err;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 1000);
  }
  std::filesystem::remove(dir / "feeds.txt");
  std::filesystem::remove(dir / "long.txt");

  // On a terminal the questions are asked. Ctrl-C at the revision question
  // ends it with nothing written; No ends it as well.
  const std::string question = "Update Firmware Q120 to Q150 ?";
  // Each flash on the terminal names its transcript, which replays to the same end.
  const auto replaysToTheSameEnd = [&](const Outcome& flashed) {
    const size_t named = flashed.out.rfind("Transcript: ");
    ASSERT_NE(named, std::string::npos) << flashed.out;
    const std::string path = flashed.out.substr(named + 12, flashed.out.find('\r', named) - named - 12);
    const Outcome replayed = packSim("replay " + Quoted(path) + " Q150.EXE");
    EXPECT_EQ(replayed.status, 0) << replayed.out << replayed.err;
  };
  Outcome interrupted = OnTerminal(dir.Path(), {"flash", "Q150.EXE"}, {{"[y/N]", "y\n"}, {question, ""}});
  EXPECT_EQ(interrupted.status, 130);
  EXPECT_NE(interrupted.out.find("flashutil-pack: interrupted: nothing was written to the drive"), std::string::npos)
      << interrupted.out;
  EXPECT_EQ(interrupted.out.find("Write BIN"), std::string::npos) << interrupted.out;
  replaysToTheSameEnd(interrupted);
  // With --yes, while the drive is becoming ready: the flash stops before
  // its first write, and its transcript replays to the same stop.
  interrupted = OnTerminal(dir.Path(), {"flash", "--yes", "--simulate", "slow-ready", "Q150.EXE"},
                           {{question + "\r\nyes (--yes)", ""}});
  EXPECT_EQ(interrupted.status, 130);
  EXPECT_NE(interrupted.out.find("flashutil-pack: interrupted: nothing was written to the drive"), std::string::npos)
      << interrupted.out;
  EXPECT_EQ(interrupted.out.find("Write BIN"), std::string::npos) << interrupted.out;
  replaysToTheSameEnd(interrupted);
  // No at the start-up warning: nothing was sent, exit status 1.
  Outcome warned = OnTerminal(dir.Path(), {"flash", "Q150.EXE"}, {{"[y/N]", "n\n"}});
  EXPECT_EQ(warned.status, 1) << warned.out;
  EXPECT_NE(warned.out.find("flashutil-pack: not flashed: nothing was sent to a drive"), std::string::npos)
      << warned.out;
  Outcome declined = OnTerminal(dir.Path(), {"flash", "Q150.EXE"}, {{"[y/N]", "y\n"}, {question, "n\n"}});
  EXPECT_EQ(declined.status, 1);
  EXPECT_NE(declined.out.find("flashutil-pack: not flashed: nothing was sent to the drive"), std::string::npos)
      << declined.out;
  replaysToTheSameEnd(declined);
  // Once the drive is being written, Ctrl-C is refused and the flash goes on.
  Outcome late = OnTerminal(dir.Path(), {"flash", "--simulate", "slow-flash-start", "Q150.EXE"},
                            {{"[y/N]", "y\n"}, {question, "y\n"}, {"Flash is in progress", ""}});
  EXPECT_EQ(late.status, 0);
  EXPECT_NE(late.out.find("the drive is being written: interrupting now could leave it without working firmware; "
                          "the flash goes on"),
            std::string::npos)
      << late.out;
  EXPECT_NE(late.out.find("Flash Completed."), std::string::npos) << late.out;
  replaysToTheSameEnd(late);
}

// What a JSON report of flash says, a line each: "status S changed C", then
// "NODE RESULT CHANGED FAILURE TRANSCRIPT" per drive (FAILURE "-" when
// null, TRANSCRIPT "yes" or "-"); "not one JSON line" when the file is not
// exactly one line of JSON.
std::string JsonSummary(const std::filesystem::path& file) {
  const std::string script =
      "import json, sys\n"
      "text = open(sys.argv[1]).read()\n"
      "if text.count('\\n') != 1 or not text.endswith('\\n'):\n"
      "    print('not one JSON line'); sys.exit()\n"
      "d = json.loads(text)\n"
      "print('status', d['status'], 'changed', str(d['changed']).lower())\n"
      "for r in d['drives']:\n"
      "    print(r['node'], r['result'], str(r['changed']).lower(), r['failure'] or '-',"
      " 'yes' if r['transcript'] else '-')\n";
  const std::filesystem::path reader = file.parent_path() / "summary.py";
  package_tests::WriteText(reader, script);
  return Output("python3 " + Quoted(reader.string()) + " " + Quoted(file.string()));
}

// Each drive's commands in a --drive-log journal, by its node.
std::map<std::string, std::vector<std::string>> JournalByDrive(const std::filesystem::path& file) {
  std::map<std::string, std::vector<std::string>> commands;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) commands[line.substr(0, line.find(' '))].push_back(line);
  return commands;
}

// A transcript of one drive's flash: it names that drive, holds its 32
// image blocks and no other drive's, and replays to the same end.
void CheckTranscript(const std::filesystem::path& dir, const std::string& path, const std::string& node,
                     bool failedReadBack) {
  SCOPED_TRACE(path);
  std::ifstream file(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("\ndrive \"" + node + "\" "), std::string::npos);
  EXPECT_EQ(text.size() > 4 ? text.substr(text.size() - 4) : text, "end\n");
  size_t writes = 0;
  for (size_t at = text.find("> 3B 05 01 "); at != std::string::npos; at = text.find("> 3B 05 01 ", at + 1)) ++writes;
  EXPECT_EQ(writes, failedReadBack ? 32u : 33u);
  EXPECT_EQ(text.find("Compare BIN and DRAM fail!") != std::string::npos, failedReadBack);
  const Outcome replay = Run("cd " + Quoted(dir.string()) + " && " + Quoted(FLASHUTIL_PACK_SIM) + " replay " +
                             Quoted(path) + " Q150.EXE");
  EXPECT_EQ(replay.status, 0) << replay.out << replay.err;
}

// flash --all over a tower of simulated drives, four of which fit: one
// after another with its table, then --parallel with its JSON report; one
// drive whose read-back differs fails while the others flash; runs again
// find the drives up to date; --check writes nothing; every outcome's JSON
// parses; every transcript is its drive's alone and replays.
TEST(Programs, PackFlashesATowerOfDrives) {
  TempDir dir;
  const std::string samples = FLASHUTIL_SOURCE_DIR "/samples/";
  std::filesystem::copy_file(samples + "FLASHUTIL.INI", dir / "FLASHUTIL.INI");
  std::filesystem::copy_file(samples + "Q150.BIN", dir / "Q150.BIN");
  package_tests::WriteText(dir / "any.INI", package_tests::Section(0, "QRD-73318K", "VOX-TEL QRD-73318K", "----------", "*.BIN"));
  std::filesystem::create_directories(dir / "any");
  ASSERT_EQ(Pack(dir.Path(), BuildArguments(dir / "FLASHUTIL.INI", "0", dir / "Q150.BIN")).status, 0);
  ASSERT_EQ(Pack(dir.Path(), BuildArguments(dir / "any.INI", "0", dir / "Q150.BIN") + " --output-dir any").status, 0);
  const std::string state = dir / "state";
  const auto packSim = [&](const std::string& arguments, const std::string& out = "out.txt") {
    return ::Run("cd " + Quoted(dir.Path().string()) + " && XDG_STATE_HOME=" + Quoted(state) + " " +
                     Quoted(FLASHUTIL_PACK_SIM) + " " + arguments + " </dev/null >" + out,
                 dir / "stderr.txt");
  };
  const auto read = [&](const std::string& name) {
    std::ifstream in(dir / name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  const std::vector<std::string> tower = {"/dev/sim-sg0", "/dev/sim-sg5", "/dev/sim-sg6", "/dev/sim-sg7"};
  const std::string failed = "Read back and Verify drive's DRAM... , Compare BIN and DRAM Fail! ";

  // One after another: each drive's commands come whole, in turn; the table
  // names each drive, its slot, its firmware before and after, its result.
  Outcome outcome = packSim("flash --yes --all --simulate tower,corrupt-read-back@/dev/sim-sg6 --drive-log all.log Q150.EXE");
  EXPECT_EQ(outcome.status, 1) << read("out.txt") << outcome.err;
  EXPECT_NE(outcome.err.find("flashutil-pack: 1 of 4 drives failed\n"), std::string::npos) << outcome.err;
  const std::string out = read("out.txt");
  const size_t table = out.find("\nNODE          ADDRESS  PATH        BEFORE  AFTER  RESULT");
  ASSERT_NE(table, std::string::npos) << out;
  std::istringstream rows(out.substr(table + 1));
  std::string row;
  std::getline(rows, row);
  const struct {
    std::string start;  // the row up to its transcript
    std::string node;
  } expected[] = {
      {"/dev/sim-sg0  0:0:0:0  sim-slot-1  Q120    Q150   flashed ", "/dev/sim-sg0"},
      {"/dev/sim-sg5  5:0:0:0  sim-slot-6  Q120    Q150   flashed ", "/dev/sim-sg5"},
      {"/dev/sim-sg6  6:0:0:0  sim-slot-7  Q120    -      failed: " + failed + " ", "/dev/sim-sg6"},
      {"/dev/sim-sg7  7:0:0:0  sim-slot-8  Q120    Q150   flashed ", "/dev/sim-sg7"},
  };
  for (const auto& e : expected) {
    ASSERT_TRUE(std::getline(rows, row));
    EXPECT_EQ(row.rfind(e.start, 0), 0u) << row;
    CheckTranscript(dir.Path(), row.substr(row.rfind(' ') + 1), e.node, e.node == "/dev/sim-sg6");
  }
  EXPECT_TRUE(std::getline(rows, row));
  EXPECT_EQ(row, "restart the machine for the new firmware to take effect");
  std::vector<std::string> order;  // the drives in the order their commands came, after discovery
  {
    std::ifstream in(dir / "all.log");
    for (std::string line; std::getline(in, line);) {
      const std::string node = line.substr(0, line.find(' '));
      if (line.find(" 12 00 00 00 80") == std::string::npos && (order.empty() || order.back() != node)) order.push_back(node);
    }
  }
  EXPECT_EQ(order, tower);

  // Side by side, reported in JSON: the failure stays its drive's, a drive
  // whose flash start takes 2 s delays no other drive's end, and each drive
  // receives what a single flash of it sends.
  outcome = packSim("flash --yes --all --parallel 4 --json --simulate tower,corrupt-read-back@/dev/sim-sg6,"
                    "slow-flash-start@/dev/sim-sg5 --drive-log par.log --drive-state drives.txt Q150.EXE",
                    "par.json");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(JsonSummary(dir / "par.json"), "status 1 changed true\n/dev/sim-sg0 flashed true - yes\n"
                                           "/dev/sim-sg5 flashed true - yes\n/dev/sim-sg6 failed true " + failed +
                                           " yes\n/dev/sim-sg7 flashed true - yes\n");
  const size_t slowEnd = outcome.err.find("/dev/sim-sg5: Flash Completed.");
  for (const char* end : {"/dev/sim-sg0: Drive now: ", "/dev/sim-sg6: failed: ", "/dev/sim-sg7: Drive now: "}) {
    EXPECT_LT(outcome.err.find(end), slowEnd) << outcome.err;
  }
  // Each transcript of the flashes side by side is its own drive's alone,
  // the box of the failed read-back in its drive's alone.
  for (const std::string& node : tower) {
    const std::string named = node + ": Transcript: ";
    const size_t at = outcome.err.find(named);
    ASSERT_NE(at, std::string::npos) << outcome.err;
    const size_t from = at + named.size();
    CheckTranscript(dir.Path(), outcome.err.substr(from, outcome.err.find('\n', from) - from), node,
                    node == "/dev/sim-sg6");
  }
  const auto together = JournalByDrive(dir / "par.log");
  for (const std::string& node : tower) {
    SCOPED_TRACE(node);
    const std::string one = "one" + node.substr(node.size() - 1) + ".log";
    ASSERT_EQ(packSim("flash --yes --drive " + node + " --simulate tower,corrupt-read-back@/dev/sim-sg6 --drive-log " +
                      one + " Q150.EXE").status, node == "/dev/sim-sg6" ? 1 : 0);
    EXPECT_EQ(together.at(node), JournalByDrive(dir / one).at(node));
    EXPECT_GT(together.at(node).size(), 32u);
  }

  // Again: the drive that failed is flashed, the others are up to date;
  // and once more, every drive is up to date and nothing changes.
  EXPECT_EQ(packSim("flash --yes --all --json --simulate tower --drive-state drives.txt Q150.EXE", "again.json").status, 0);
  EXPECT_EQ(JsonSummary(dir / "again.json"), "status 0 changed true\n/dev/sim-sg0 up-to-date false - -\n"
                                             "/dev/sim-sg5 up-to-date false - -\n/dev/sim-sg6 flashed true - yes\n"
                                             "/dev/sim-sg7 up-to-date false - -\n");
  EXPECT_EQ(packSim("flash --yes --all --json --simulate tower --drive-state drives.txt Q150.EXE", "done.json").status, 0);
  EXPECT_EQ(JsonSummary(dir / "done.json"), "status 0 changed false\n/dev/sim-sg0 up-to-date false - -\n"
                                            "/dev/sim-sg5 up-to-date false - -\n/dev/sim-sg6 up-to-date false - -\n"
                                            "/dev/sim-sg7 up-to-date false - -\n");

  // A check: what each drive would come to, with no command that writes, no transcript.
  const auto transcripts = [&] {
    return std::distance(std::filesystem::directory_iterator(state + "/flashutil"), std::filesystem::directory_iterator());
  };
  const auto before = transcripts();
  outcome = packSim("flash --check --all --simulate tower --drive-log check.log Q150.EXE");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(read("out.txt").find("\n/dev/sim-sg7: would flash: Q120 to Q150\n"), std::string::npos) << read("out.txt");
  EXPECT_EQ(packSim("flash --check --all --json --simulate tower --drive-log check.log any/Q150.EXE", "check.json").status, 2);
  EXPECT_EQ(JsonSummary(dir / "check.json"),
            "status 2 changed false\n/dev/sim-sg0 would-flash false - -\n/dev/sim-sg1 refused false the drive's "
            "firmware is newer than this image: give --allow-downgrade as well to flash it -\n/dev/sim-sg5 would-flash "
            "false - -\n/dev/sim-sg6 would-flash false - -\n/dev/sim-sg7 would-flash false - -\n");
  EXPECT_EQ(transcripts(), before);
  for (const auto& [node, commands] : JournalByDrive(dir / "check.log")) {
    for (const std::string& command : commands) EXPECT_EQ(command.substr(node.size()), " 12 00 00 00 80 00 00 00 00 00 00 00");
  }

  // SIGTERM while the first drive becomes ready: it stops with nothing
  // written, the others are not begun, and the JSON says so.
  outcome = ::Run("cd " + Quoted(dir.Path().string()) + " && XDG_STATE_HOME=" + Quoted(state) +
                      " timeout --preserve-status -s TERM 1 " + Quoted(FLASHUTIL_PACK_SIM) +
                      " flash --yes --all --json --simulate tower,slow-ready --drive-log stop.log Q150.EXE </dev/null >stop.json",
                  dir / "stderr.txt");
  EXPECT_EQ(outcome.status, 143) << outcome.err;
  const std::string summary = JsonSummary(dir / "stop.json");
  EXPECT_EQ(summary.rfind("status 143 changed false\n/dev/sim-sg0 interrupted false stopped by SIGTERM: nothing was "
                          "written to the drive yes\n/dev/sim-sg5 interrupted false not begun: SIGTERM came before its "
                          "flash began -\n", 0), 0u) << summary;
  EXPECT_EQ(read("stop.log").find(" 3B "), std::string::npos);

  // SIGTERM while two drives side by side program their flash (2 s): held
  // off for both, which go on to their end, and the two drives not begun
  // stay so.
  outcome = ::Run("cd " + Quoted(dir.Path().string()) + " && XDG_STATE_HOME=" + Quoted(state) +
                      " timeout --preserve-status -s TERM 1 " + Quoted(FLASHUTIL_PACK_SIM) +
                      " flash --yes --all --parallel 2 --json --simulate tower,slow-flash-start Q150.EXE </dev/null"
                      " >held.json",
                  dir / "stderr.txt");
  EXPECT_EQ(outcome.status, 143) << outcome.err;
  EXPECT_EQ(JsonSummary(dir / "held.json"),
            "status 143 changed true\n/dev/sim-sg0 flashed true - yes\n/dev/sim-sg5 flashed true - yes\n"
            "/dev/sim-sg6 interrupted false not begun: SIGTERM came before its flash began -\n"
            "/dev/sim-sg7 interrupted false not begun: SIGTERM came before its flash began -\n");
  EXPECT_NE(outcome.err.find("flashutil-pack: SIGTERM: no drive is begun from now on; the drives being written go on "
                             "to their end\n"),
            std::string::npos)
      << outcome.err;
  for (const std::string node : {"/dev/sim-sg0", "/dev/sim-sg5"}) {
    const std::string named = node + ": Transcript: ";
    const size_t at = outcome.err.find(named);
    ASSERT_NE(at, std::string::npos) << outcome.err;
    const size_t from = at + named.size();
    std::ifstream file(outcome.err.substr(from, outcome.err.find('\n', from) - from), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find(" held SIGTERM\n"), std::string::npos) << text.size();
  }
}

// What ends or stops a program on a terminal or in a script, during a
// command-line flash of a simulated drive whose readiness, middle block or
// flash start takes seconds: before the first write a signal stops the
// flash with nothing written (exit 128 + its number, "stop" in the
// transcript); once the drive is being written it is held off (a line on
// standard error, "held" in the transcript) and the flash runs to its end
// with its own status; Ctrl-Z then is refused, so the flash needs no
// SIGCONT. A closed pipe and a full disk only lose the output. Each drive's
// log shows what reached it, and each transcript replays.
TEST(Programs, PackFlashHoldsOffWhatWouldEndIt) {
  TempDir dir;
  // Its transcripts in a folder of its own, apart from those of the tests beside it.
  ASSERT_EQ(::setenv("XDG_STATE_HOME", (dir / "terminal-state").c_str(), 1), 0);
  const std::string samples = FLASHUTIL_SOURCE_DIR "/samples/";
  std::filesystem::copy_file(samples + "FLASHUTIL.INI", dir / "FLASHUTIL.INI");
  std::filesystem::copy_file(samples + "Q150.BIN", dir / "Q150.BIN");
  const Outcome built = Pack(dir.Path(), BuildArguments(dir / "FLASHUTIL.INI", "0", dir / "Q150.BIN"));
  ASSERT_EQ(built.status, 0) << built.err;
  const std::string question = "Update Firmware Q120 to Q150 ?\r\nyes (--yes)";
  // What reached the drive: its block writes, and whether the flash start
  // came and the refreshed INQUIRY after it.
  struct DriveLog {
    int blocks = 0, writes = 0, readinessPolls = 0;
    bool flashStart = false, inquiryAfter = false;
  };
  const auto driveLog = [&](const std::string& name) {
    DriveLog log;
    std::ifstream file(dir / name);
    for (std::string line; std::getline(file, line);) {
      const std::string cdb = line.substr(line.find(' ') + 1);
      log.writes += cdb.rfind("3B", 0) == 0 ? 1 : 0;
      log.readinessPolls += cdb == "00 00 00 00 00 00 00 00 00 00 00 00" ? 1 : 0;
      log.blocks += cdb.rfind("3B 05 01", 0) == 0 && cdb.size() == 35 && cdb.substr(17) == " 00 40 00 00 00 00" ? 1 : 0;
      log.inquiryAfter = log.flashStart && cdb.rfind("12 ", 0) == 0;
      log.flashStart = log.flashStart || cdb == "3B 05 01 00 00 00 00 00 00 80 00 00";
    }
    return log;
  };
  const auto transcriptOf = [](const std::string& out) {
    const size_t named = out.rfind("Transcript: ");
    if (named == std::string::npos) return std::string();
    std::ifstream file(out.substr(named + 12, out.find_first_of("\r\n", named) - named - 12), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  };
  const struct {
    const char* name;
    const char* simulate;
    std::string waitFor;
    int signal;        // 0: Ctrl-Z typed on a terminal with job control
    int status;
    const char* line;  // in the transcript; null: none
  } cases[] = {
      {"SIGTERM while the drive becomes ready", "slow-ready", question, SIGTERM, 143, "stop SIGTERM"},
      {"SIGHUP while the drive becomes ready", "slow-ready", question, SIGHUP, 129, "stop SIGHUP"},
      {"SIGQUIT while the drive becomes ready", "slow-ready", question, SIGQUIT, 131, "stop SIGQUIT"},
      {"SIGTERM among the blocks", "slow-block,slow-flash-start", "Write BIN to drive's DRAM", SIGTERM, 0, "held SIGTERM"},
      {"SIGHUP during the flash start", "slow-flash-start", "Flash is in progress", SIGHUP, 0, "held SIGHUP"},
      {"SIGQUIT during the flash start", "slow-flash-start", "Flash is in progress", SIGQUIT, 0, "held SIGQUIT"},
      {"SIGINT during the flash start", "slow-flash-start", "Flash is in progress", SIGINT, 0, "held SIGINT"},
      {"Ctrl-Z among the blocks", "slow-block", "Write BIN to drive's DRAM", 0, 0, nullptr},
  };
  int number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string log = "drive-" + std::to_string(++number) + ".log";
    const TerminalStep step{c.waitFor, c.signal == 0 ? "\x1a" : "", c.signal};
    const Outcome outcome = OnTerminal(dir.Path(), {"flash", "--yes", "--simulate", c.simulate, "--drive-log", log,
                                                    "Q150.EXE"},
                                       {step}, c.signal == 0);
    EXPECT_EQ(outcome.status, c.status) << outcome.out;
    const DriveLog drive = driveLog(log);
    const std::string transcript = transcriptOf(outcome.out);
    EXPECT_EQ(transcript.size() > 4 ? transcript.substr(transcript.size() - 4) : transcript, "end\n");
    if (c.line != nullptr) {
      EXPECT_NE(transcript.find(std::string(" ") + c.line + "\n"), std::string::npos) << transcript;
    }
    if (c.status != 0) {
      EXPECT_EQ(drive.writes, 0);
      // Taken at the next poll (one every 30 ms), not after the drive's 200 polls.
      EXPECT_LT(drive.readinessPolls, 60);
      EXPECT_NE(outcome.out.find("flashutil-pack: stopped by " + platform::SignalName(c.signal) +
                                 ": nothing was written to the drive"),
                std::string::npos)
          << outcome.out;
    } else {
      EXPECT_EQ(drive.blocks, 32);
      EXPECT_TRUE(drive.flashStart);
      EXPECT_TRUE(drive.inquiryAfter);
      EXPECT_NE(outcome.out.find("Flash Completed.\r\nDrive now: "), std::string::npos) << outcome.out;
      const std::string held = c.signal == 0 || c.signal == SIGINT ? pack::kInterruptRefusedText
                                                                   : pack::HeldSignalText(platform::SignalName(c.signal));
      EXPECT_NE(outcome.out.find(held.substr(0, held.size() - 1)), std::string::npos) << outcome.out;
    }
    if (c.signal == 0) {
      // The shell saw its job end, not stop.
      EXPECT_EQ(outcome.out.find("Stopped"), std::string::npos) << outcome.out;
      EXPECT_NE(outcome.out.find("job over"), std::string::npos) << outcome.out;
    }
    const size_t named = outcome.out.rfind("Transcript: ");
    if (named == std::string::npos) {
      ADD_FAILURE() << "no transcript named: " << outcome.out;
      continue;
    }
    const std::string path = outcome.out.substr(named + 12, outcome.out.find('\r', named) - named - 12);
    const Outcome replayed = ::Run("cd " + Quoted(dir.Path().string()) + " && " + Quoted(FLASHUTIL_PACK_SIM) +
                                 " replay " + Quoted(path) + " Q150.EXE");
    EXPECT_EQ(replayed.status, 0) << replayed.out;
  }

  // A reader that closes the pipe among the blocks, and a full disk: the
  // flash runs to its end and keeps its status 0; the lost output is a line
  // on standard error. (The transcript goes to a state folder of its own.)
  const std::string state = dir / "state";
  const std::string flash = "cd " + Quoted(dir.Path().string()) + " && XDG_STATE_HOME=" + Quoted(state) + " " +
                            Quoted(FLASHUTIL_PACK_SIM) + " flash --yes --simulate slow-block --drive-log ";
  const struct {
    const char* name;
    std::string command;
    const char* reason;
  } lost[] = {
      {"head", "bash -c " + Quoted(flash + "head.log Q150.EXE 2>err.txt | head -25 >/dev/null; exit ${PIPESTATUS[0]}"),
       "Broken pipe"},
      {"full", "bash -c " + Quoted(flash + "full.log Q150.EXE 2>err.txt >/dev/full"), "No space left on device"},
  };
  for (const auto& l : lost) {
    SCOPED_TRACE(l.name);
    std::filesystem::remove_all(state);
    const Outcome outcome = ::Run(l.command);
    EXPECT_EQ(outcome.status, 0);
    std::ifstream errors(dir / "err.txt");
    const std::string err((std::istreambuf_iterator<char>(errors)), std::istreambuf_iterator<char>());
    EXPECT_EQ(err, std::string("flashutil-pack: can't write standard output: ") + l.reason +
                       "; its lines were lost, and the drive was flashed\n");
    const DriveLog drive = driveLog(std::string(l.name) + ".log");
    EXPECT_EQ(drive.blocks, 32);
    EXPECT_TRUE(drive.flashStart);
    EXPECT_TRUE(drive.inquiryAfter);
    ASSERT_TRUE(std::filesystem::is_directory(state + "/flashutil"));
    for (const auto& entry : std::filesystem::directory_iterator(state + "/flashutil")) {
      std::ifstream file(entry.path(), std::ios::binary);
      const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      EXPECT_EQ(text.substr(text.size() - 4), "end\n") << entry.path();
    }
  }
}

// What a window program did, run by RunOnOwnDisplay.
struct WindowRun {
  int status = -1;   // its exit status; -1: it did not exit
  std::string out;   // its standard output
  std::string err;   // its standard error
  std::string transcriptPath, transcript;  // the transcript of its flash
};

// Starts an X server of its own (Xvfb); its display number, or -1.
int StartXServer(pid_t& server) {
  int ends[2];
  if (::pipe(ends) != 0) return -1;
  server = ::fork();
  if (server == 0) {
    ::close(ends[0]);
    const std::string fd = std::to_string(ends[1]);
    ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "800x600x24",
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(ends[1]);
  std::string number;
  pollfd ready{ends[0], POLLIN, 0};
  char c = 0;
  while (server > 0 && ::poll(&ready, 1, 10000) > 0 && ::read(ends[0], &c, 1) == 1 && c != '\n') number += c;
  ::close(ends[0]);
  return number.empty() ? -1 : std::atoi(number.c_str());
}

// Runs the scripted Q150 flash program (its boxes printed and answered Yes,
// FLASH pressed once the window is up) in `dir` on an X server of its own,
// with its drive's flash start 3 s long; `environment` is added to its own.
// When its output holds `waitFor`, `act` gets its process id and the X
// server's.
WindowRun RunOnOwnDisplay(const std::filesystem::path& dir, const std::vector<std::string>& environment,
                          const std::string& waitFor, const std::function<void(pid_t, pid_t)>& act) {
  WindowRun run;
  pid_t server = -1;
  const int display = StartXServer(server);
  EXPECT_GE(display, 0) << "Xvfb did not start";
  int output[2];
  if (display < 0 || ::pipe(output) != 0) return run;
  const pid_t program = ::fork();
  if (program == 0) {
    ::dup2(output[1], STDOUT_FILENO);
    const int errors = ::open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(errors, STDERR_FILENO);
    ::setenv("DISPLAY", (":" + std::to_string(display)).c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    ::setenv("FLASHUTIL_TEST_PRESS_FLASH", "1", 1);
    ::setenv("FLASHUTIL_TEST_FLASH_START_MS", "3000", 1);
    for (const std::string& variable : environment) ::putenv(const_cast<char*>(variable.c_str()));
    if (::chdir(dir.c_str()) == 0) ::execl(FLASHUTIL_SIM_Q150_SCRIPTED_PROGRAM, "Q150", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(output[1]);
  bool acted = waitFor.empty();
  for (int waited = 0; waited < 600; ++waited) {  // 60 s at most
    pollfd input{output[0], POLLIN, 0};
    if (::poll(&input, 1, 100) > 0) {
      char buffer[4096];
      const ssize_t n = ::read(output[0], buffer, sizeof buffer);
      if (n <= 0) break;  // the program has ended
      run.out.append(buffer, static_cast<size_t>(n));
    }
    if (!acted && run.out.find(waitFor) != std::string::npos) {
      act(program, server);
      acted = true;
    }
  }
  ::close(output[0]);
  EXPECT_TRUE(acted) << run.out;
  int status = 0;
  ::waitpid(program, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  std::ifstream errors(dir / "stderr.txt");
  run.err.assign(std::istreambuf_iterator<char>(errors), std::istreambuf_iterator<char>());
  if (std::filesystem::is_directory(dir / "state/flashutil")) {
    for (const auto& entry : std::filesystem::directory_iterator(dir / "state/flashutil")) {
      run.transcriptPath = entry.path().string();
      std::ifstream file(entry.path(), std::ios::binary);
      run.transcript.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
  }
  return run;
}

// The window's flash on an X server, ended from outside while its drive
// programs its flash: the X server killed (the toolkit then ends the
// program), SIGTERM, SIGHUP. Each time the flash goes on to its end: the
// flash start is answered, the drive's identity read again, the transcript
// holds the request as held off and reaches its end, and the program ends
// with one line that says how the flash ended, with the status of the
// request (0 for a flash that went on without its display). SIGTERM at the
// revision question stops the flash with nothing written.
TEST(Programs, WindowFlashGoesOnToItsEndWhateverEndsTheProgram) {
  if (::Run("command -v Xvfb").status != 0) GTEST_SKIP() << "needs Xvfb (Debian package xvfb)";
  const std::string progress = "STATUS Don't turn off the system, Flash is in progress...\n";
  const std::string held = ": the drive is being written: ending now could leave it without working firmware; the "
                           "flash goes on, and the program ends after it\n";
  const struct {
    const char* name;
    std::string hook;     // FLASHUTIL_TEST_BOX_HOOK
    std::string waitFor;  // in the program's output
    int signal;           // sent to the program then; 0: the X server is killed instead
    int status;
    std::string heldLine;  // in the transcript; empty: the flash was stopped
    std::string heldText;  // on standard error when the request came
    std::string last;      // the last line on standard error, up to the transcript's path
  } cases[] = {
      {"the X server killed", "", progress, 0, 0, " held display lost\n", "",
       "flashutil: the display went away during the flash; the flash went on to its end: Flash Completed. "
       "Transcript: "},
      {"SIGTERM", "", progress, SIGTERM, 143, " held SIGTERM\n", "flashutil: SIGTERM" + held,
       "flashutil: SIGTERM came during the flash; the flash went on to its end: Flash Completed. Transcript: "},
      {"SIGHUP", "", progress, SIGHUP, 129, " held SIGHUP\n", "flashutil: SIGHUP" + held,
       "flashutil: SIGHUP came during the flash; the flash went on to its end: Flash Completed. Transcript: "},
      {"SIGTERM at the revision question",
       "case \"$BOX_TEXT\" in *'Update Firmware'*) kill -TERM $PPID; sleep 0.5;; esac", "", 0, 143, "", "",
       "flashutil: SIGTERM came before the flash wrote to the drive; nothing was written. Transcript: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::vector<std::string> environment;
    if (!c.hook.empty()) environment.push_back("FLASHUTIL_TEST_BOX_HOOK=" + c.hook);
    const WindowRun run = RunOnOwnDisplay(dir.Path(), environment, c.waitFor, [&](pid_t program, pid_t server) {
      // The status line is shown right before the flash start is sent, which takes 3 s.
      ::usleep(500000);
      ::kill(c.signal != 0 ? program : server, c.signal != 0 ? c.signal : SIGTERM);
    });
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    if (run.transcriptPath.empty()) {
      ADD_FAILURE() << "no transcript: " << run.out << run.err;
      continue;
    }
    const std::string& t = run.transcript;
    EXPECT_EQ(t.size() > 4 ? t.substr(t.size() - 4) : t, "end\n") << t;
    const std::string last = c.last + run.transcriptPath + "\n";
    EXPECT_EQ(run.err.size() >= last.size() ? run.err.substr(run.err.size() - last.size()) : run.err, last) << run.err;
    EXPECT_NE(run.err.find(c.heldText), std::string::npos) << run.err;
    // The restart offer gives way to the program's end.
    EXPECT_EQ(run.out.find("The system needs to be restarted"), std::string::npos) << run.out;
    if (c.heldLine.empty()) {
      EXPECT_NE(t.find(" stop SIGTERM\n"), std::string::npos) << t;
      EXPECT_EQ(t.find("> 3B"), std::string::npos) << t;
    } else {
      // The flash start, the request held off while the drive programmed its
      // flash, the flash start's answer, and the refreshed INQUIRY after it.
      const size_t start = t.find("> 3B 05 01 00 00 00 00 00 00 80");
      const size_t answer = t.find(" < ", start);
      if (start == std::string::npos || answer == std::string::npos) {
        ADD_FAILURE() << "no flash start with its answer: " << t;
        continue;
      }
      EXPECT_NE(t.substr(answer, t.find('\n', answer) - answer).find("  ok  "), std::string::npos) << t;
      const size_t request = t.find(c.heldLine, start);
      EXPECT_LT(request, answer) << t;
      EXPECT_NE(t.find("> 12 ", answer), std::string::npos) << t;
      EXPECT_NE(t.find("combo insert 0 \"0-0-0  : VOX-TEL QRD-73318K      Q150\""), std::string::npos) << t;
    }
    // It replays to the same end.
    const Outcome replay = ::Run(Quoted(FLASHUTIL_PACK_SIM) + " replay " + Quoted(run.transcriptPath) + " " +
                               Quoted(FLASHUTIL_SIM_Q150_SCRIPTED_PROGRAM));
    EXPECT_EQ(replay.status, 0) << replay.out;
  }
}

// The lock that keeps the machine from sleeping or shutting down, in
// flashutil-pack's flash (in this process, on simulated drives): taken right
// before the first WRITE BUFFER, let go once the flash start has answered
// and the drive's entry is refreshed (before the closing line), and
// let go after a failed flash as well; without logind the flash goes on.
TEST(Programs, PackFlashHoldsTheSleepLockWhileItWrites) {
  TempDir dir;
  const std::string samples = FLASHUTIL_SOURCE_DIR "/samples/";
  std::filesystem::copy_file(samples + "FLASHUTIL.INI", dir / "FLASHUTIL.INI");
  std::filesystem::copy_file(samples + "Q150.BIN", dir / "Q150.BIN");
  const Outcome built = Pack(dir.Path(), BuildArguments(dir / "FLASHUTIL.INI", "0", dir / "Q150.BIN") +
                                             " --output-dir " + Quoted(dir.Path().string()));
  ASSERT_EQ(built.status, 0) << built.err;

  // The lock of logind, recorded in the run's log with the line the
  // program had printed last.
  struct Lock final : platform::SleepInhibitor {
    testing_support::RunLog& log;
    const std::ostringstream& out;
    bool available = true;
    bool held = false;
    Lock(testing_support::RunLog& log_, const std::ostringstream& out_) : log(log_), out(out_) {}
    std::string LastLine() const {
      std::string text = out.str();
      if (!text.empty()) text.pop_back();
      return text.substr(text.find_last_of('\n') + 1);
    }
    bool Acquire(const std::string&, const std::string&) override {
      if (!available) return false;
      held = true;
      log.push_back(testing_support::kInhibitLine + " after: " + LastLine());
      return true;
    }
    void Release() override {
      if (!held) return;
      held = false;
      log.push_back(testing_support::kInhibitReleaseLine + " after: " + LastLine());
    }
  };
  // The simulated drives, each command recorded in the log before it goes.
  struct Recorded final : testing_support::ForwardingTransport {
    std::unique_ptr<platform::DriveTransport> drives;
    testing_support::RecordingTransport recording;
    Recorded(std::unique_ptr<platform::DriveTransport> inner, testing_support::RunLog& log)
        : ForwardingTransport(*inner), drives(std::move(inner)), recording(*drives, log) {}
    platform::CommandOutcome Execute(platform::DeviceHandle handle, const platform::Cdb& cdb,
                                     platform::Direction direction, uint8_t* buffer, uint32_t length,
                                     unsigned timeoutSeconds) override {
      return recording.Execute(handle, cdb, direction, buffer, length, timeoutSeconds);
    }
    platform::HoldOutcome LockExclusive(platform::DeviceHandle handle) override {
      return recording.LockExclusive(handle);
    }
    void UnlockExclusive(platform::DeviceHandle handle) override { recording.UnlockExclusive(handle); }
  };

  const struct {
    const char* name;
    bool logind;         // logind answers
    bool corrupt;        // the read-back differs
    int status;
    const char* takenAfter;     // the line printed last when the lock is taken
    const char* releasedAfter;  // and when it is let go
  } cases[] = {
      {"flashed", true, false, 0, "yes (--yes)", "Flash Completed."},
      {"failed", true, true, 1, "yes (--yes)", "Compare BIN and DRAM fail!"},
      {"no logind", false, false, 0, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::RunLog log;
    std::ostringstream out, err;
    Lock lock(log, out);
    lock.available = c.logind;
    const auto makeTransport = [&](const std::string& revision) {
      std::unique_ptr<platform::sim::SimTransport> drives = platform::sim::MakeDefaultSimTransport(revision);
      if (c.corrupt) drives->Drive(0).FailOpcode(0x3C, platform::sim::Fault::CorruptByte(100));
      return std::unique_ptr<platform::DriveTransport>(std::make_unique<Recorded>(std::move(drives), log));
    };
    pack::DriveCommands commands(reinterpret_cast<const uint8_t*>(FLASHUTIL_KEYWORD), makeTransport, out, err);
    pack::FlashOptions options;
    options.answers.yes = true;
    options.inhibitor = &lock;
    EXPECT_EQ(commands.Flash(dir / "Q150.EXE", options), c.status) << out.str() << err.str();
    EXPECT_FALSE(lock.held);

    const auto at = [&](const std::string& prefix) {
      for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].rfind(prefix, 0) == 0) return i;
      }
      return log.size();
    };
    const size_t taken = at(testing_support::kInhibitLine), released = at(testing_support::kInhibitReleaseLine);
    const size_t firstWrite = at("> 3B");
    ASSERT_LT(firstWrite, log.size());
    if (!c.logind) {
      EXPECT_EQ(taken, log.size());
      EXPECT_EQ(released, log.size());
      EXPECT_NE(out.str().find("\nFlash Completed.\n"), std::string::npos) << out.str();
      continue;
    }
    ASSERT_LT(released, log.size());
    EXPECT_EQ(log[taken], testing_support::kInhibitLine + " after: " + c.takenAfter);
    EXPECT_EQ(log[released], testing_support::kInhibitReleaseLine + " after: " + c.releasedAfter);
    // Taken right before the first write; let go after the drive's last
    // command of the flash (the refreshed entry's INQUIRY after the flash
    // start, or the read-back that failed), while the drive is still held.
    EXPECT_EQ(taken + 1, firstWrite);
    const size_t letGo = at(testing_support::kLetGoLine);
    EXPECT_LT(released, letGo);
    size_t lastCommand = 0;
    for (size_t i = 0; i < released; ++i) {
      if (log[i].rfind("> ", 0) == 0) lastCommand = i;
    }
    EXPECT_EQ(log[lastCommand].rfind(c.corrupt ? "> 3C" : "> 12", 0), 0u) << log[lastCommand];
    if (!c.corrupt) {
      EXPECT_EQ(log[lastCommand - 1].rfind("> 3B 05 01 00 00 00 00 00 00 80", 0), 0u) << log[lastCommand - 1];
    }
    EXPECT_EQ(std::count(log.begin(), log.end(), log[taken]), 1);
  }
}

#endif

}  // namespace
