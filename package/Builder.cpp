// Builder mode: writes a new flash program, a copy of the running program in
// which the identity record and the image of the firmware package are
// replaced by the chosen catalogue entry and BIN file.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "app/FlashFormCore.h"
#include "platform/Services.h"

using package::kBinAreaSize;
using package::kIdentityRecordSize;
using package::kKeyWordSize;
using package::kSlotSize;

namespace {

constexpr uint64_t kProgressBytes = 1024;  // one progress step per 1024 bytes of the program file
constexpr size_t kChunkSize = 64 * 1024;

std::string Format(const char* format, const std::string& text) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, text.c_str());
  return buffer;
}

std::string FileName(const std::string& path) { return std::filesystem::path(path).filename().string(); }

// Size of an open file: seek to its end, take the position, seek back.
bool FileSize(std::FILE* file, uint64_t& size) {
  if (std::fseek(file, 0, SEEK_END) != 0) return false;
  const long position = std::ftell(file);
  if (position < 0 || std::fseek(file, 0, SEEK_SET) != 0) return false;
  size = static_cast<uint64_t>(position);
  return true;
}

// Finds the first occurrence of the key-word in a stream of bytes fed one at
// a time (Knuth-Morris-Pratt, so no occurrence is missed when a partial match
// fails).
class KeyWordFinder {
 public:
  explicit KeyWordFinder(const uint8_t* keyWord) : keyWord_(keyWord) {
    size_t k = 0;
    fallback_[0] = 0;
    for (size_t i = 1; i < kKeyWordSize; ++i) {
      while (k > 0 && keyWord_[i] != keyWord_[k]) k = fallback_[k - 1];
      if (keyWord_[i] == keyWord_[k]) ++k;
      fallback_[i] = k;
    }
  }
  // True when this byte completes the key-word.
  bool Feed(uint8_t byte) {
    while (matched_ > 0 && byte != keyWord_[matched_]) matched_ = fallback_[matched_ - 1];
    if (byte == keyWord_[matched_]) ++matched_;
    if (matched_ == kKeyWordSize) {
      matched_ = fallback_[matched_ - 1];
      return true;
    }
    return false;
  }

 private:
  const uint8_t* keyWord_;
  size_t fallback_[kKeyWordSize];
  size_t matched_ = 0;
};

// One 25-byte text slot: the text, a zero byte, zero filler.
void PutSlot(uint8_t* record, size_t offset, const std::string& text) {
  std::memcpy(record + offset, text.data(), std::min(text.size(), kSlotSize - 1));
}

struct OpenFiles {
  std::FILE* bin = nullptr;
  std::FILE* program = nullptr;
  std::FILE* output = nullptr;
  // Closes all three; false when finishing the output failed.
  bool Close() {
    if (bin != nullptr) std::fclose(bin);
    if (program != nullptr) std::fclose(program);
    bool written = true;
    if (output != nullptr) written = std::fclose(output) == 0;
    bin = program = output = nullptr;
    return written;
  }
  ~OpenFiles() { Close(); }
};

}  // namespace

void FlashFormCore::NewBuildFlashProgram() {
  // Nothing to build without a model and a file: the lists must not be indexed.
  const int entry = ComboItemIndex();
  if (entry < 0 || !ModelList || entry >= static_cast<int>(ModelList->size())) {
    platform::ShowError("Please select a model before building!");
    return;
  }
  const std::string binPath = FileListSelectedPath();
  if (BINFileName.empty() || binPath.empty()) {
    platform::ShowError("Please select a BIN file before building!");
    return;
  }
  const size_t k = static_cast<size_t>(entry);

  SetStatus("Building " + BINFileName + "  Please wait... ");

  OpenFiles files;
  files.bin = std::fopen(binPath.c_str(), "rb");
  if (files.bin == nullptr) {
    platform::ShowError("Open " + BINFileName + " fail!");
    return;
  }
  uint64_t binSize = 0;
  if (!FileSize(files.bin, binSize)) {
    files.Close();
    platform::ShowError("Open " + BINFileName + " fail!");
    return;
  }
  // A larger image would overwrite the program that follows the package; an
  // empty one would make a flash program that programs whatever the drive's
  // memory holds.
  if (binSize > kBinAreaSize) {
    files.Close();
    platform::ShowError("Building fail: " + BINFileName + " has " + std::to_string(binSize) +
                        " bytes, more than the 524288 bytes a firmware image may have!");
    return;
  }
  if (binSize == 0) {
    files.Close();
    platform::ShowError("Building fail: " + BINFileName + " is empty!");
    return;
  }
  BinLength = static_cast<uint32_t>(binSize);

  const std::string programPath = ProgramFilePath();
  files.program = std::fopen(programPath.c_str(), "rb");
  if (files.program == nullptr) {
    files.Close();
    platform::ShowError("Open " + programPath + " fail!");
    return;
  }
  uint64_t programSize = 0;
  if (!FileSize(files.program, programSize)) {
    files.Close();
    platform::ShowError("Open " + programPath + " fail!");
    return;
  }

  // Creating the output truncates it: it must be neither of the two inputs.
  // "%4.4s.EXE": up to the first four characters of the name, then ".EXE".
  // A shorter name is not padded: A.B makes A.B.EXE, not " A.B.EXE".
  const std::string outputName = Format("%.4s.EXE", BINFileName);
  const std::string directory = CurrentDirectory();
  const std::string outputPath =
      directory.empty() ? outputName : (std::filesystem::path(directory) / outputName).string();
  std::error_code error;
  if (std::filesystem::equivalent(outputPath, programPath, error)) {
    files.Close();
    platform::ShowError("Building fail: " + outputName + " is this program's own file " + programPath +
                        "; rename the BIN file or run the program from another file!");
    return;
  }
  if (std::filesystem::equivalent(outputPath, binPath, error)) {
    files.Close();
    platform::ShowError("Building fail: " + outputName + " is the chosen BIN file " + BINFileName +
                        " itself; rename the BIN file!");
    return;
  }

  ProgressSetRange(0, static_cast<int>(std::min<uint64_t>(programSize, 0x7fffffff)));
  ProgressSetPosition(0);
  ProgressSetStep(static_cast<int>(kProgressBytes));
  // Advances the bar one step for every byte index in [from, to) that is a
  // multiple of 1024, as a byte-by-byte copy would, in one call per block.
  auto advance = [this](uint64_t from, uint64_t to) {
    const uint64_t steps = (to + kProgressBytes - 1) / kProgressBytes - (from + kProgressBytes - 1) / kProgressBytes;
    if (steps > 0) ProgressStepBy(static_cast<int>(std::min<uint64_t>(steps * kProgressBytes, 0x7fffffff)));
  };

  files.output = std::fopen(outputPath.c_str(), "wb");
  if (files.output == nullptr) {
    files.Close();
    platform::ShowError("Create " + outputName + " Fail");
    return;
  }
  // The new program can be started like the one it was copied from.
  struct stat programStat {};
  if (::stat(programPath.c_str(), &programStat) == 0) {
    ::chmod(outputPath.c_str(), programStat.st_mode & 0777);
  }
  bool writeFailed = false;
  auto write = [&](const uint8_t* data, size_t count) {
    if (count > 0 && std::fwrite(data, 1, count, files.output) != count) writeFailed = true;
  };

  // Copy up to and including the first complete key-word.
  std::vector<uint8_t> chunk(kChunkSize);
  KeyWordFinder finder(Package.KeyWord());
  uint64_t index = 0;  // position in the program file of the next byte
  bool found = false;
  while (!found) {
    const size_t got = std::fread(chunk.data(), 1, chunk.size(), files.program);
    if (got == 0) break;
    size_t take = got;
    for (size_t i = 0; i < got; ++i) {
      if (finder.Feed(chunk[i])) {
        take = i + 1;
        found = true;
        break;
      }
    }
    write(chunk.data(), take);
    advance(index, index + take);
    index += take;
  }
  if (!found) {
    files.Close();
    platform::ShowError("Building fail: not found key-word in " + FileName(programPath));
    return;
  }

  // The new identity record.
  uint8_t record[kIdentityRecordSize] = {};
  const size_t base = package::kModelOffset;
  PutSlot(record, package::kModelOffset - base, (*ModelList)[k]);
  PutSlot(record, package::kInquiryOffset - base, (*InquiryList)[k]);
  PutSlot(record, package::kFWRangeOffset - base, (*FWRangeList)[k]);
  PutSlot(record, package::kVendorOffset - base, (*VendorList)[k]);
  PutSlot(record, package::kNoteOffset - base, (*NoteList)[k]);
  for (size_t i = 0; i < package::kVersionSize && i < BINFileName.size(); ++i) {
    record[package::kVersionOffset - base + i] =
        static_cast<uint8_t>(std::toupper(static_cast<unsigned char>(BINFileName[i])));
  }
  for (size_t i = 0; i < 4; ++i) {
    record[package::kBinLengthOffset - base + i] = static_cast<uint8_t>(BinLength >> (8 * i));
  }
  write(record, sizeof record);

  // Skip the program's own identity record and as much of its image as the
  // new image covers.
  const uint64_t resume = index + kIdentityRecordSize + BinLength;
  const bool complete = resume <= programSize;
  if (std::fseek(files.program, complete ? static_cast<long>(resume) : 0, complete ? SEEK_SET : SEEK_END) != 0) {
    writeFailed = true;
  }

  // The image, as one block.
  if (WorkBuffer == nullptr || WorkBufferSize < BinLength) {
    delete[] WorkBuffer;
    WorkBuffer = new uint8_t[BinLength];
    WorkBufferSize = BinLength;
  }
  const size_t binRead = std::fread(WorkBuffer, 1, BinLength, files.bin);
  write(WorkBuffer, binRead);
  if (BinLength >= kProgressBytes) ProgressStepBy(static_cast<int>(BinLength / kProgressBytes * kProgressBytes));

  // The rest of the program.
  index = complete ? resume : programSize;
  for (;;) {
    const size_t got = std::fread(chunk.data(), 1, chunk.size(), files.program);
    if (got == 0) break;
    write(chunk.data(), got);
    advance(index, index + got);
    index += got;
  }

  if (!files.Close()) writeFailed = true;
  if (writeFailed) {
    platform::ShowError("Building fail: can't write " + outputName + " completely!");
    return;
  }
  if (!complete || binRead != BinLength) {
    platform::ShowError("Building fail: some problem in " + FileName(programPath));
    return;
  }
  SetStatus("Build " + outputName + " complete!");
  ProgressSetPosition(0);
}
