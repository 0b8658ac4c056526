// Building a flash program: a copy of the builder's program file with a new
// identity record and image, checked byte for byte against the expected file.
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>

#include "package/Builder.h"
#include "package/Package.h"
#include "platform/AtomicFileCalls.h"
#include "platform/Files.h"
#if defined(_WIN32)
#include "platform/win/WinServices.h"
#endif
#include "tests/package/WorkDir.h"
#include "tests/support/CraftedPackage.h"
#include "tests/support/TestDoubles.h"
#include "tests/support/TestForm.h"

using package::kBinAreaOffset;
using package::kKeyWordSize;
using package::PackageView;
using package_tests::CountOccurrences;
using package_tests::MakeBin;
using package_tests::ReadFile;
using package_tests::Section;
using package_tests::TempDir;
using package_tests::WriteFile;
using package_tests::WriteText;
using testing_support::TestForm;

namespace {

// 14 characters and the zero byte; it begins and ends with "KE", so a search
// that starts afresh after a broken key-word misses one that began inside it.
const uint8_t kKeyWord[] = "KEYWORD-FOR-KE";

struct Entry {
  std::string model, inquiry, fwRange, vendor, note;
};
const Entry kEntries[] = {
    {"QRD-73318K", "VOX-TEL QRD-73318K", "Q100-Q149", "VoxTEL-DS", "VoxTEL"},
    {"DVD-ROM MVK-417", "VOX-TEL DVD-ROM MVK-417", "K100-K299", "VoxTEL-DS", "FLASH-ALL"},
};

// A form that runs hooks while a build runs: when the build sets up its
// progress bar (the inputs are open and measured, the output not yet begun),
// where a test changes the files under the build; and when the bar advances
// (the output is being written). It notes every position the bar reaches
// with the size the new program file had then.
class HookedForm : public TestForm {
 public:
  using TestForm::TestForm;
  std::function<void()> whileBuilding;
  std::function<void()> whileWriting;
  std::filesystem::path folder;  // where the new program is written
  std::vector<std::pair<uint64_t, int>> steps;  // bytes written, position
  void ProgressSetRange(int minimum, int maximum) override {
    if (whileBuilding) whileBuilding();
    TestForm::ProgressSetRange(minimum, maximum);
  }
  void ProgressStepBy(int delta) override {
    if (whileWriting) whileWriting();
    TestForm::ProgressStepBy(delta);
    if (folder.empty()) return;
    uint64_t written = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (entry.path().filename().string()[0] == '.') written = entry.file_size();
    }
    steps.emplace_back(written, progressPosition);
  }
};

#if !defined(_WIN32)
// Limits the size of the files this process writes (a full disk, as far as
// the writer can tell) until it goes out of scope.
class FileSizeLimit {
 public:
  FileSizeLimit() {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);  // a failed write, not the end of the process
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  void Set(rlim_t bytes) const {
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }

 private:
  rlimit saved_{};
  void (*previousHandler_)(int) = SIG_DFL;
};
#endif

class BuilderTest : public ::testing::Test {
 protected:
  BuilderTest() : package(testing_support::CraftBuilderPackage("KEYWORD-FOR-KE")), form(package.data()) {
    // The program file: a prefix with broken key-words (one across the first
    // 64 KiB boundary), the package, and a tail holding a second key-word that
    // must stay untouched because only the first occurrence counts.
    program.resize(65529);
    for (size_t i = 0; i < program.size(); ++i) program[i] = static_cast<uint8_t>(i * 5 + 1);
    const char partial[] = "KEYWORD-FOR-KKEYWORD-FOR-";
    std::memcpy(program.data() + 100, partial, sizeof partial - 1);
    std::memcpy(program.data() + program.size() - 12, "KEYWORD-FOR-", 12);
    keyWordEnd = program.size() + kKeyWordSize;
    program.insert(program.end(), package.begin(), package.end());
    for (size_t i = 0; i < 70000; ++i) program.push_back(static_cast<uint8_t>(i * 3 + 7));
    std::memcpy(program.data() + program.size() - 5000, kKeyWord, kKeyWordSize);
    WriteProgram(program);

    WriteText(dir / "BUILDER.INI",
              Section(0, kEntries[0].model, kEntries[0].inquiry, kEntries[0].fwRange, "*.BIN") +
                  Section(1, kEntries[1].model, kEntries[1].inquiry, kEntries[1].fwRange, "*.*",
                          kEntries[1].vendor, kEntries[1].note));
    form.programFile = dir / "BUILDER.EXE";
    form.currentDirectory = dir.Path().string();
    form.folder = dir.Path();
    form.log = &services.log;
  }

  void WriteProgram(const std::vector<uint8_t>& bytes) {
    WriteFile(dir / "BUILDER.EXE", bytes);
#if !defined(_WIN32)
    ::chmod((dir / "BUILDER.EXE").c_str(), 0750);
#endif
  }

  // Starts the builder, chooses catalogue entry `entry` and the BIN file
  // `name` (written first when `bin` is given) and builds.
  void Build(int entry, const std::string& name, const std::vector<uint8_t>* bin = nullptr) {
    if (bin != nullptr) WriteFile(dir / name, *bin);
    if (!started) {
      form.FormCreate();
      ASSERT_EQ(form.quitRequests, 0);
      started = true;
    }
    form.ComboSetItemIndex(entry);
    form.ComboBoxChange();
    ASSERT_TRUE(form.ClickFile(name)) << name;
    form.steps.clear();
    form.NewBuildFlashProgram();
  }

  // The output that the build must write for `bin`, from the program file
  // `source`, with catalogue entry `entry` and the BIN file's name.
  std::vector<uint8_t> Expected(const std::vector<uint8_t>& source, const std::vector<uint8_t>& bin,
                                int entry, const std::string& name) const {
    const Entry& e = kEntries[entry];
    std::vector<uint8_t> record(137, 0);
    auto slot = [&](size_t at, const std::string& text) { std::memcpy(record.data() + at, text.data(), text.size()); };
    slot(0, e.model);
    std::string inquiry = e.inquiry;
    inquiry.resize(24, ' ');
    slot(25, inquiry);
    slot(50, e.fwRange);
    slot(75, e.vendor);
    slot(100, e.note);
    for (size_t i = 0; i < 5 && i < name.size(); ++i) record[125 + i] = static_cast<uint8_t>(std::toupper(name[i]));
    const uint32_t length = static_cast<uint32_t>(bin.size());
    for (int i = 0; i < 4; ++i) record[133 + i] = static_cast<uint8_t>(length >> (8 * i));
    std::vector<uint8_t> out(source.begin(), source.begin() + static_cast<long>(keyWordEnd));
    out.insert(out.end(), record.begin(), record.end());
    out.insert(out.end(), bin.begin(), bin.end());
    out.insert(out.end(), source.begin() + static_cast<long>(keyWordEnd + 137 + bin.size()), source.end());
    return out;
  }

  // The progress of the last build against a copy byte by byte: once the
  // new program holds `written` bytes, the bar has had a step of 1024 for
  // every copied byte whose index is a multiple of 1024, and BinLength / 1024
  // steps once the image is written; it never passes the program's size.
  void ExpectTheProgressOfACopy(uint64_t binLength) const {
    const uint64_t imageEnd = keyWordEnd + 137 + binLength;
    ASSERT_GE(form.steps.size(), 3u);
    EXPECT_EQ(form.steps.back().first, program.size());
    for (const auto& [written, position] : form.steps) {
      uint64_t steps = 0;
      for (uint64_t i = 0; i < std::min<uint64_t>(written, keyWordEnd); ++i) steps += i % 1024 == 0;
      if (written >= imageEnd) steps += binLength / 1024;
      for (uint64_t i = imageEnd; i < written; ++i) steps += i % 1024 == 0;
      EXPECT_EQ(position, static_cast<int>(std::min<uint64_t>(steps * 1024, program.size()))) << written;
    }
  }

  std::vector<std::string> BoxTexts() const { return services.boxes.Texts(); }
  // The status lines shown, in order.
  std::vector<std::string> Statuses() const {
    std::vector<std::string> lines;
    std::copy_if(services.log.begin(), services.log.end(), std::back_inserter(lines),
                 [](const std::string& line) { return line.rfind("status ", 0) == 0; });
    return lines;
  }
  // Every name in the directory, hidden ones included.
  std::set<std::string> Entries() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) names.insert(entry.path().filename().string());
    return names;
  }
  std::vector<std::string> ExeFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
      std::string name = entry.path().filename().string();
      if (name.size() > 4 && name.substr(name.size() - 4) == ".EXE" && name != "BUILDER.EXE") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  testing_support::ServicesScope services;
  TempDir dir;
  std::vector<uint8_t> package;
  std::vector<uint8_t> program;
  size_t keyWordEnd = 0;  // program file offset just after the first key-word
  HookedForm form;
  bool started = false;
};

TEST_F(BuilderTest, FullSizeImageMakesACompleteFlashProgram) {
  const std::vector<uint8_t> bin = MakeBin(524288, 1);
  Build(0, "ABCD.BIN", &bin);

  EXPECT_TRUE(BoxTexts().empty());
  const std::vector<uint8_t> output = ReadFile(dir / "ABCD.EXE");
  ASSERT_EQ(output.size(), program.size());
  EXPECT_TRUE(output == Expected(program, bin, 0, "ABCD.BIN"));
  EXPECT_EQ(Statuses(), (std::vector<std::string>{testing_support::StatusLine("Building ABCD.BIN  Please wait... "),
                                                   testing_support::StatusLine("Build ABCD.EXE complete!")}));
  EXPECT_EQ(form.BinLength, 524288u);
  EXPECT_TRUE(form.buttonEnabled);  // another build can follow at once

  // Progress: range of the program size, steps of a byte-by-byte copy, back to 0.
  EXPECT_EQ(form.progressMax, static_cast<int>(program.size()));
  EXPECT_EQ(form.progressStep, 1024);
  EXPECT_EQ(form.progressPosition, 0);
  ExpectTheProgressOfACopy(bin.size());

  // The new package reads back in flash mode with the new identity; the
  // 18-character Inquiry has six blanks and a zero byte.
  const PackageView view(output.data() + keyWordEnd - kKeyWordSize);
  EXPECT_FALSE(view.IsBuilder());
  EXPECT_EQ(0, std::memcmp(view.InquirySlot(), "VOX-TEL QRD-73318K      \0", 25));
  EXPECT_EQ(std::string(view.Version(), 5), "ABCD.");
  EXPECT_EQ(view.BinLength(), 524288u);
  EXPECT_EQ(CountOccurrences(output, kKeyWord, kKeyWordSize), 2u);  // the package's and the tail's
  EXPECT_EQ(Entries(), (std::set<std::string>{"ABCD.BIN", "ABCD.EXE", "BUILDER.EXE", "BUILDER.INI"}));

  // A program file that ends right after its package (key-word, record and
  // a full image) builds completely: the image reaches its last byte.
  const std::vector<uint8_t> endsWithThePackage(program.begin(),
                                                program.begin() + static_cast<long>(keyWordEnd + 137 + 524288));
  WriteProgram(endsWithThePackage);
  const std::vector<uint8_t> other = MakeBin(524288, 2);
  Build(0, "EFGH.BIN", &other);
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_EQ(form.status, "Build EFGH.EXE complete!");
  EXPECT_TRUE(ReadFile(dir / "EFGH.EXE") == Expected(endsWithThePackage, other, 0, "EFGH.BIN"));
}

// A file as the system knows it, whatever its name: its device and index
// (on Windows its volume and file index), and a regular file's size.
#if defined(_WIN32)
std::string FileIdentity(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return "unknown";
  const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) + ":" +
         std::to_string(info.nFileIndexLow) +
         ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? "" : " size " + std::to_string(size));
}
std::string PathIdentity(const std::string& path) {
  const HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "missing " + path;
  const std::string identity = FileIdentity(file);
  CloseHandle(file);
  return identity;
}
#else
std::string Identity(const struct stat& info) {
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) +
         (S_ISREG(info.st_mode) ? " size " + std::to_string(info.st_size) : "");
}
std::string FileIdentity(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 ? Identity(info) : "unknown";
}
std::string PathIdentity(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? Identity(info) : "missing " + path;
}
#endif

// The writer's system calls, each noted with the file it reaches before it is made.
std::vector<std::string> systemCalls;
const platform::AtomicFileSystemCalls kSystem;
#if defined(_WIN32)
// Where a pointer to a function of a DLL leads. A static initialiser (the
// writer's table) takes the stub that jumps through the import's slot
// ("jmp *[slot]": FF 25 and the slot's address); a pointer taken later is
// the slot's value. Both lead to the function the slot holds.
const void* Imported(const void* function) {
  const auto* code = static_cast<const uint8_t*>(function);
  if (code[0] != 0xFF || code[1] != 0x25) return function;
  uint32_t slot = 0;
  std::memcpy(&slot, code + 2, sizeof slot);
  return *reinterpret_cast<const void* const*>(static_cast<uintptr_t>(slot));
}
BOOL WINAPI NotedFlushFileBuffers(HANDLE file) {
  systemCalls.push_back("flush " + FileIdentity(file));
  return kSystem.flushFileBuffers(file);
}
BOOL WINAPI NotedMoveFileEx(LPCSTR from, LPCSTR to, DWORD flags) {
  systemCalls.push_back("move " + PathIdentity(from) + " to " + platform::PathFileName(to) +
                        (flags == (MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? ", replacing, written through"
                                                                                        : ""));
  return kSystem.moveFileEx(from, to, flags);
}
#else
int NotedFsync(int fd) {
  systemCalls.push_back("fsync " + FileIdentity(fd));
  return kSystem.fsync(fd);
}
int NotedRename(const char* from, const char* to) {
  systemCalls.push_back("rename " + PathIdentity(from) + " to " + platform::PathFileName(to));
  return kSystem.rename(from, to);
}
#endif

// The new program reaches the device before it takes its name, seen at the
// system's calls: the complete file is synced, then renamed to its name,
// and on POSIX systems, where a rename is not written through, the folder
// that then holds the name is synced as well.
TEST_F(BuilderTest, TheNewProgramIsFlushedBeforeItIsRenamed) {
  platform::AtomicFileSystemCalls& calls = platform::AtomicFileCalls();
  systemCalls.clear();
#if defined(_WIN32)
  EXPECT_EQ(Imported(reinterpret_cast<const void*>(calls.flushFileBuffers)),
            Imported(reinterpret_cast<const void*>(&FlushFileBuffers)));
  EXPECT_EQ(Imported(reinterpret_cast<const void*>(calls.moveFileEx)),
            Imported(reinterpret_cast<const void*>(&MoveFileExA)));
  calls.flushFileBuffers = &NotedFlushFileBuffers;
  calls.moveFileEx = &NotedMoveFileEx;
#else
  EXPECT_TRUE(calls.fsync == &::fsync && calls.rename == &::rename);
  calls.fsync = &NotedFsync;
  calls.rename = &NotedRename;
#endif
  const std::vector<uint8_t> bin = MakeBin(524288, 3);
  Build(0, "ABCD.BIN", &bin);
  calls = kSystem;
  EXPECT_EQ(form.status, "Build ABCD.EXE complete!");
  const std::string output = PathIdentity(dir / "ABCD.EXE");
  EXPECT_NE(output.find(" size " + std::to_string(program.size())), std::string::npos) << output;
#if defined(_WIN32)
  const std::vector<std::string> expected = {"flush " + output, "move " + output + " to ABCD.EXE, replacing, written through"};
#else
  const std::vector<std::string> expected = {"fsync " + output, "rename " + output + " to ABCD.EXE",
                                             "fsync " + PathIdentity(dir.Path().string())};
#endif
  EXPECT_EQ(systemCalls, expected);
}

#if !defined(_WIN32)
// The new program gets the permissions a new file gets, and may be run by
// whoever may read it; until it is complete it cannot be run at all.
TEST_F(BuilderTest, ModeComesFromTheUmask) {
  const std::vector<uint8_t> bin = MakeBin(524288, 1);
  int unfinished = 0;
  form.whileWriting = [&] {
    for (const std::string& name : Entries()) {
      struct stat info {};
      if (name[0] != '.' || ::stat((dir / name).c_str(), &info) != 0) continue;
      ++unfinished;
      EXPECT_EQ(info.st_mode & 0111, 0u) << name;
    }
  };
  const struct {
    mode_t umask, mode;
  } cases[] = {{022, 0755}, {027, 0750}, {077, 0700}, {002, 0775}, {033, 0744}};
  for (const auto& c : cases) {
    const mode_t saved = ::umask(c.umask);
    Build(0, "ABCD.BIN", &bin);
    ::umask(saved);
    struct stat info {};
    ASSERT_EQ(::stat((dir / "ABCD.EXE").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, c.mode) << std::oct << c.umask;
  }
  EXPECT_GT(unfinished, 0);
  EXPECT_TRUE(BoxTexts().empty());
}
#endif

// The output takes up to the first four characters of the name, never part
// of one; the version takes five bytes, upper-cased where they are ASCII.
// Characters are UTF-8's on Linux and the ANSI code page's on Windows (where
// the tests run in code page 1252: `ansi` is the output there when it differs).
TEST_F(BuilderTest, OutputAndVersionNames) {
  const std::vector<uint8_t> bin = MakeBin(524288, 2);
  const struct {
    std::string bin, output, version, ansi;
  } cases[] = {
      {"abcd1234.bin", "abcd.EXE", "ABCD1", ""},  // the name keeps its case
      {"A.B", "A.B.EXE", std::string("A.B\0", 4), ""},  // not padded to four characters
      {"abc\xc3\xa4.BIN", "abc\xc3\xa4.EXE", "ABC\xc3\xa4", "abc\xc3.EXE"},  // abcä: ä is one character of two bytes
      {"\xe2\x82\xacuro1.bin", "\xe2\x82\xacuro.EXE", "\xe2\x82\xacUR", "\xe2\x82\xacu.EXE"},  // a three-byte character
      {"\xf0\x9f\x92\xbe\xc3\xa9t\xc3\xa9.bin", "\xf0\x9f\x92\xbe\xc3\xa9t\xc3\xa9.EXE", "\xf0\x9f\x92\xbe\xc3",
       "\xf0\x9f\x92\xbe.EXE"},
      {"Q\xff" "50.BIN", "Q\xff" "50.EXE", "Q\xff" "50.", ""},  // not UTF-8: a byte is a character
      {"\xc0\xaf" "ab.bin", "\xc0\xaf" "ab.EXE", "\xc0\xaf" "AB.", ""},  // an overlong form is two
      {"ab\xe2\x82" "c.bin", "ab\xe2\x82.EXE", "AB\xe2\x82" "C", ""},  // a cut-off sequence too
      {"\xc3\xa9" "ab1.bin", "\xc3\xa9" "ab1.EXE", "\xc3\xa9" "AB1", "\xc3\xa9" "ab.EXE"},  // éab1, or Ã©ab1 in 1252
  };
#if defined(_WIN32)
  if (GetACP() != 1252 && GetACP() != platform::kUtf8Names) GTEST_SKIP() << "names in code page " << GetACP();
  const bool ansi = GetACP() == 1252;
#else
  const bool ansi = false;
#endif
  for (const auto& c : cases) {
    const std::string& name = ansi && !c.ansi.empty() ? c.ansi : c.output;
    Build(1, c.bin, &bin);
    const std::vector<uint8_t> output = ReadFile(dir / name);
    ASSERT_FALSE(output.empty()) << name;
    EXPECT_TRUE(output == Expected(program, bin, 1, c.bin)) << name;
    EXPECT_EQ(std::string(PackageView(output.data() + keyWordEnd - kKeyWordSize).Version(), c.version.size()),
              c.version);
    EXPECT_EQ(form.status, "Build " + name + " complete!");
  }
  EXPECT_TRUE(BoxTexts().empty());
}

// The four characters in a given encoding: UTF-8, and on Windows the ANSI
// code pages, double-byte ones among them, whose characters are never cut.
TEST(OutputName, FourCharactersOfTheNamesEncoding) {
  const struct {
    unsigned codePage;
    std::string bin, output;
  } cases[] = {
      {platform::kUtf8Names, "\xc3\xa9" "ab1.bin", "\xc3\xa9" "ab1.EXE"},
      {platform::kUtf8Names, "abc\xe2\x82\xac.bin", "abc\xe2\x82\xac.EXE"},
#if defined(_WIN32)
      {1252, "\xc3\xa9" "ab1.bin", "\xc3\xa9" "ab.EXE"},
      {1252, "abc\xb3\x5c" "1.bin", "abc\xb3.EXE"},
      {950, "\xb3\x5c\xa5\x5c" "ab1.bin", "\xb3\x5c\xa5\x5c" "ab.EXE"},  // 許功ab
      {950, "abc\xb3\x5c" "1.bin", "abc\xb3\x5c.EXE"},                        // abc許, not cut after \xb3
      {950, "a\xb3\x5c" "bcd.bin", "a\xb3\x5c" "bc.EXE"},
      {932, "\x83\x5c" "abc.bin", "\x83\x5c" "abc.EXE"},                      // ソabc
      {932, "abc\x83", "abc\x83.EXE"},  // a lead byte at the end stands alone
#endif
  };
  for (const auto& c : cases) {
    EXPECT_EQ(package::OutputName(c.bin, c.codePage), c.output) << c.codePage << " " << c.bin;
  }
}

#if defined(_WIN32)
// The builder in a folder whose name ends in a character whose second byte
// is "\\" (Big5 許, B3 5C; the working directory then ends in byte 0x5C),
// with BIN files named by such characters (許功Q150.BIN): the catalogue
// beside the program is found, the file list lists that folder, the BIN file
// opens, and the new programs land in the folder. Only where the system's
// code page is 950 (a test entry of its own runs Wine so); elsewhere these
// bytes make other names.
TEST_F(BuilderTest, DoubleByteFolderAndFileNames) {
  if (GetACP() != 950) {
    ASSERT_EQ(std::getenv("FLASHUTIL_EXPECT_ACP"), nullptr) << "Wine's code page is " << GetACP();
    GTEST_SKIP() << "names in code page " << GetACP();
  }
  const std::string folder = dir.Path().string() + "\\\xB3\x5C";
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  WriteFile(folder + "\\BUILDER.EXE", program);
  WriteText(folder + "\\BUILDER.INI", Section(0, kEntries[0].model, kEntries[0].inquiry, kEntries[0].fwRange, "*.BIN"));
  const std::vector<uint8_t> bin = MakeBin(4096, 3);
  const std::string names[] = {"ABCD.BIN", "\xB3\x5C\xA5\x5C" "Q150.BIN"};
  for (const std::string& name : names) WriteFile(folder + "\\" + name, bin);
  WriteFile(dir / "PARENT.BIN", bin);  // the parent folder's files stay out of the list

  // The folder is the working directory for the test's span.
  struct WorkingDirectoryScope {
    char saved[MAX_PATH] = {};
    WorkingDirectoryScope() { GetCurrentDirectoryA(sizeof saved, saved); }
    ~WorkingDirectoryScope() { SetCurrentDirectoryA(saved); }
  } scope;
  ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
  ASSERT_EQ(platform::WorkingDirectory(), folder);
  // The catalogue is read as the Windows program reads it.
  platform::win::SystemProfileReader profiles;
  platform::GetServices().profiles = &profiles;
  HookedForm inFolder(package.data());
  inFolder.programFile = folder + "\\BUILDER.EXE";
  inFolder.log = &services.log;
  inFolder.FormCreate();
  EXPECT_EQ(inFolder.quitRequests, 0);
  inFolder.ComboSetItemIndex(0);
  inFolder.ComboBoxChange();
  EXPECT_EQ(inFolder.fileListFiles, (std::vector<std::string>{"ABCD.BIN", names[1]}));
  const std::string outputs[] = {"ABCD.EXE", "\xB3\x5C\xA5\x5C" "Q1.EXE"};
  for (int k = 0; k < 2; ++k) {
    ASSERT_TRUE(inFolder.ClickFile(names[k]));
    inFolder.NewBuildFlashProgram();
    EXPECT_EQ(inFolder.status, "Build " + outputs[k] + " complete!");
    const std::vector<uint8_t> output = ReadFile(folder + "\\" + outputs[k]);
    EXPECT_TRUE(output == Expected(program, bin, 0, names[k])) << outputs[k];
  }
  platform::GetServices().profiles = nullptr;
  EXPECT_TRUE(BoxTexts().empty());
  // Nothing beside the folder: "C:\\...\\\xB3" + "\\ABCD.EXE" would read as another folder's file.
  EXPECT_EQ(ExeFiles(), std::vector<std::string>{});
}
#endif

TEST_F(BuilderTest, HalfSizeImageKeepsTheRestOfTheArea) {
  const std::vector<uint8_t> bin = MakeBin(262144, 3);
  Build(0, "Q150.BIN", &bin);
  const std::vector<uint8_t> output = ReadFile(dir / "Q150.EXE");
  ASSERT_EQ(output.size(), program.size());
  EXPECT_TRUE(output == Expected(program, bin, 0, "Q150.BIN"));
  EXPECT_EQ(form.BinLength, 262144u);
  const size_t area = keyWordEnd - kKeyWordSize + kBinAreaOffset;
  EXPECT_TRUE(std::equal(output.begin() + static_cast<long>(area + 262144), output.begin() + static_cast<long>(area + 524288),
                         program.begin() + static_cast<long>(area + 262144)));
  ExpectTheProgressOfACopy(bin.size());
}

TEST_F(BuilderTest, TwoBuildsInARowAndAnExistingOutputIsReplaced) {
  const std::vector<uint8_t> small = MakeBin(131073, 4);  // not a multiple of 1024
  const std::vector<uint8_t> large = MakeBin(524288, 5);
  std::vector<uint8_t> stale(program.size() + 4096, 0xEE);
  WriteFile(dir / "K300.EXE", stale);

  Build(0, "Q150.BIN", &small);
  EXPECT_EQ(form.status, "Build Q150.EXE complete!");
  ExpectTheProgressOfACopy(small.size());
  Build(1, "K300.BIN", &large);
  EXPECT_EQ(form.status, "Build K300.EXE complete!");
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_GE(form.WorkBufferSize, 524288u);
  EXPECT_TRUE(ReadFile(dir / "Q150.EXE") == Expected(program, small, 0, "Q150.BIN"));
  EXPECT_TRUE(ReadFile(dir / "K300.EXE") == Expected(program, large, 1, "K300.BIN"));

  // The same file again, at once.
  form.NewBuildFlashProgram();
  EXPECT_EQ(form.status, "Build K300.EXE complete!");
  EXPECT_TRUE(ReadFile(dir / "K300.EXE") == Expected(program, large, 1, "K300.BIN"));
}

// Whatever goes wrong once the output is begun, the program built before
// under the same name stays as it was and no other file remains.
TEST_F(BuilderTest, FailedBuildsKeepTheOldProgramAndLeaveNothingElse) {
  std::vector<uint8_t> withoutKeyWord = program;
  for (size_t at = 0; (at = static_cast<size_t>(std::search(withoutKeyWord.begin() + static_cast<long>(at),
                                                            withoutKeyWord.end(), kKeyWord, kKeyWord + kKeyWordSize) -
                                                withoutKeyWord.begin())) < withoutKeyWord.size();) {
    withoutKeyWord[at + 13] = 'X';
  }
  const std::vector<uint8_t> endsInsideTheImage(program.begin(),
                                                program.begin() + static_cast<long>(keyWordEnd + 137 + 1000));
  const std::vector<uint8_t> bin = MakeBin(524288, 7);
  const std::vector<uint8_t> old = MakeBin(4096, 6);
#if !defined(_WIN32)
  FileSizeLimit limit;
#endif
  struct Case {
    const char* what;
    const std::vector<uint8_t>& program;
    std::function<void()> whileBuilding;
    std::string message;
  };
  std::vector<Case> cases = {
      {"no key-word", withoutKeyWord, nullptr, "Building fail: not found key-word in BUILDER.EXE"},
      {"program ends inside the image", endsInsideTheImage, nullptr, "Building fail: some problem in BUILDER.EXE"},
      {"BIN file cut while building", program, [&] { std::filesystem::resize_file(dir / "Q150.BIN", 1000); },
       "Building fail: Q150.BIN gave only 1000 of its 524288 bytes; check the file and build again!"},
      {"program file grows while building", program,
       [&] { std::ofstream(dir / "BUILDER.EXE", std::ios::binary | std::ios::app) << "more"; },
       "Building fail: some problem in BUILDER.EXE"},
  };
#if !defined(_WIN32)
  cases.push_back({"disk full", program, [&] { limit.Set(100000); },
                   "Building fail: can't write Q150.EXE completely!\nFile too large"});
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteProgram(c.program);
    WriteFile(dir / "Q150.EXE", old);
    WriteFile(dir / "Q150.BIN", bin);
    const std::set<std::string> before = Entries();
    form.whileBuilding = c.whileBuilding;
    Build(0, "Q150.BIN");
#if !defined(_WIN32)
    limit.Set(RLIM_INFINITY);
#endif
    form.whileBuilding = nullptr;
    ASSERT_FALSE(BoxTexts().empty());
    EXPECT_EQ(BoxTexts().back(), c.message);
    EXPECT_EQ(form.status, "Building Q150.BIN  Please wait... ");
    EXPECT_TRUE(ReadFile(dir / "Q150.EXE") == old);
    EXPECT_EQ(Entries(), before);
  }
  EXPECT_EQ(BoxTexts().size(), cases.size());
}

// A link planted at the output name is replaced by the new program; what it
// pointed to stays as it was, and a missing target is not created.
TEST_F(BuilderTest, LinksAtTheOutputNameAreReplacedNotFollowed) {
  const std::vector<uint8_t> bin = MakeBin(524288, 15);
  const std::vector<uint8_t> victim = MakeBin(3000, 16);
  WriteFile(dir / "victim", victim);
  struct Case {
    std::string target;
    bool hard;
  };
#if defined(_WIN32)
  // (Symbolic links need a right a test does not have there.)
  const std::vector<Case> cases = {{dir / "victim", true}};
#else
  const std::vector<Case> cases = {{dir / "victim", false}, {dir / "absent", false}, {dir / "BUILDER.EXE", false},
                                   {dir / "victim", true}};
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target + (c.hard ? " (hard link)" : " (symbolic link)"));
    std::filesystem::remove(dir / "Q150.EXE");
    if (c.hard) {
      std::filesystem::create_hard_link(c.target, dir / "Q150.EXE");
    } else {
      std::filesystem::create_symlink(c.target, dir / "Q150.EXE");
    }
    Build(0, "Q150.BIN", &bin);
    EXPECT_EQ(form.status, "Build Q150.EXE complete!");
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(dir / "Q150.EXE")));
    EXPECT_TRUE(ReadFile(dir / "Q150.EXE") == Expected(program, bin, 0, "Q150.BIN"));
    EXPECT_TRUE(ReadFile(dir / "victim") == victim);
    EXPECT_EQ(std::filesystem::hard_link_count(dir / "victim"), 1u);
    EXPECT_FALSE(std::filesystem::exists(dir / "absent"));
    EXPECT_TRUE(ReadFile(dir / "BUILDER.EXE") == program);
  }
  EXPECT_TRUE(BoxTexts().empty());
}

TEST_F(BuilderTest, ImagesThatDoNotFitOrAreEmptyAreRefusedBeforeWriting) {
  const std::vector<uint8_t> tooLarge = MakeBin(524289, 8);
  const std::vector<uint8_t> empty;
  Build(0, "BIG1.BIN", &tooLarge);
  Build(0, "NUL0.BIN", &empty);
  const std::vector<std::string> texts = BoxTexts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_NE(texts[0].find("BIG1.BIN"), std::string::npos);
  EXPECT_NE(texts[0].find("524288"), std::string::npos);
  EXPECT_NE(texts[1].find("NUL0.BIN is empty"), std::string::npos);
  EXPECT_TRUE(ExeFiles().empty());
  EXPECT_EQ(form.BinLength, 0u);

  // A full-size image still builds afterwards.
  const std::vector<uint8_t> bin = MakeBin(524288, 9);
  Build(0, "GOOD.BIN", &bin);
  EXPECT_EQ(form.status, "Build GOOD.EXE complete!");
}

TEST_F(BuilderTest, OutputThatWouldOverwriteAnInputIsRefused) {
  // The program itself is named ABCD.EXE: ABCD.BIN would make it the output.
  std::filesystem::rename(dir / "BUILDER.EXE", dir / "ABCD.EXE");
  std::filesystem::rename(dir / "BUILDER.INI", dir / "ABCD.INI");
  form.programFile = dir / "ABCD.EXE";
  const std::vector<uint8_t> bin = MakeBin(524288, 10);
  Build(0, "ABCD.BIN", &bin);
  ASSERT_EQ(BoxTexts().size(), 1u);
  EXPECT_NE(BoxTexts()[0].find("ABCD.EXE"), std::string::npos);
  EXPECT_TRUE(ReadFile(dir / "ABCD.EXE") == program);

  // The same through another path to the program file: a hard link, and
  // where a test may make one, a symbolic link.
  std::filesystem::create_directory(dir / "bin");
  std::vector<std::string> otherPaths = {dir / "bin/hard"};
  std::filesystem::create_hard_link(dir / "ABCD.EXE", dir / "bin/hard");
#if !defined(_WIN32)
  std::filesystem::create_symlink(dir / "ABCD.EXE", dir / "bin/builder");
  otherPaths.push_back(dir / "bin/builder");
#endif
  for (const std::string& path : otherPaths) {
    SCOPED_TRACE(path);
    const size_t shown = BoxTexts().size();
    form.programFile = path;
    form.NewBuildFlashProgram();
    ASSERT_EQ(BoxTexts().size(), shown + 1);
    EXPECT_NE(BoxTexts().back().find("ABCD.EXE is this program's own file"), std::string::npos) << BoxTexts().back();
    EXPECT_TRUE(ReadFile(dir / "ABCD.EXE") == program);
  }

  // A mask that lists program files: the BIN file WXYZ.EXE would be its own output.
  form.programFile = dir / "ABCD.EXE";
  WriteFile(dir / "WXYZ.EXE", bin);
  const size_t shown = BoxTexts().size();
  Build(1, "WXYZ.EXE");
  ASSERT_EQ(BoxTexts().size(), shown + 1);
  EXPECT_NE(BoxTexts().back().find("WXYZ.EXE"), std::string::npos);
  EXPECT_TRUE(ReadFile(dir / "WXYZ.EXE") == bin);
}

TEST_F(BuilderTest, NothingIsBuiltWithoutAModelOrAFile) {
  const std::vector<uint8_t> bin = MakeBin(524288, 11);
  WriteFile(dir / "ABCD.BIN", bin);
  form.FormCreate();
  // No file clicked yet (or a click beside the names).
  form.FileListBox1Click();
  EXPECT_TRUE(form.buttonEnabled);
  form.NewBuildFlashProgram();
  ASSERT_EQ(BoxTexts().size(), 1u);
  EXPECT_NE(BoxTexts()[0].find("select a BIN file"), std::string::npos);
  // A file but no model.
  ASSERT_TRUE(form.ClickFile("ABCD.BIN"));
  form.comboIndex = -1;
  form.NewBuildFlashProgram();
  ASSERT_EQ(BoxTexts().size(), 2u);
  EXPECT_NE(BoxTexts()[1].find("select a model"), std::string::npos);
  EXPECT_TRUE(ExeFiles().empty());
  EXPECT_TRUE(Statuses().empty());
}

TEST_F(BuilderTest, OpenAndCreateFailuresNameTheFile) {
  const std::vector<uint8_t> bin = MakeBin(524288, 12);
  WriteFile(dir / "ABCD.BIN", bin);
  form.FormCreate();
  ASSERT_TRUE(form.ClickFile("ABCD.BIN"));

  std::set<std::string> before = Entries();
  std::filesystem::create_directory(dir / "ABCD.EXE");  // cannot be replaced by a file
  form.NewBuildFlashProgram();
  EXPECT_TRUE(std::filesystem::is_empty(dir / "ABCD.EXE"));
  std::filesystem::remove(dir / "ABCD.EXE");

  form.currentDirectory = dir / "gone";  // the working directory was removed
  form.NewBuildFlashProgram();
  form.currentDirectory = dir.Path().string();

  form.programFile = dir / "MISSING.EXE";
  form.NewBuildFlashProgram();

  std::filesystem::remove(dir / "ABCD.BIN");
  form.NewBuildFlashProgram();

#if defined(_WIN32)
  // The reasons are the system's own words.
  const auto words = [](DWORD code) {
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ')) --length;
    return std::string(text, length);
  };
  const std::string directoryReason = words(ERROR_ACCESS_DENIED);
  const std::string goneReason = words(ERROR_PATH_NOT_FOUND);
#else
  const std::string directoryReason = "Is a directory";
  const std::string goneReason = "No such file or directory";
#endif
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Create ABCD.EXE Fail\n" + directoryReason,
                                                  "Create ABCD.EXE Fail\n" + goneReason,
                                                  "Open " + (dir / "MISSING.EXE") + " fail!", "Open ABCD.BIN fail!"}));
  before.erase("ABCD.BIN");
  EXPECT_EQ(Entries(), before);
  EXPECT_EQ(form.status, "Building ABCD.BIN  Please wait... ");
}

}  // namespace
