#include "package/Builder.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "platform/Services.h"
#include "platform/Text.h"

namespace package {

namespace {

constexpr uint64_t kProgressBytes = 1024;  // one progress step per 1024 bytes of the program file
constexpr size_t kChunkSize = 64 * 1024;

std::string FileName(const std::string& path) { return platform::PathFileName(path); }

// The system's words for a failure, on a line of their own after the message.
std::string Reason(const std::string& error) { return error.empty() ? error : "\n" + error; }

// True when renaming over `output` would put the new program in the place of
// `input`: `output` is the input's own name or a hard link to it. A symbolic
// link at `output` is only replaced, and what it points to stays.
bool TakesThePlaceOf(const std::string& output, const std::string& input) {
  std::error_code error;
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(output, error))) return false;
  return platform::SameFile(output, input);
}

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

}  // namespace

Identity BuildIdentity(const CatalogueEntry& entry, const std::string& binFileName) {
  return {SlotValue(entry.model),  InquirySlotValue(entry.inquiry),   SlotValue(entry.fwRange), SlotValue(entry.vendor),
          SlotValue(entry.note),   VersionFromFileName(binFileName), 0};
}

// "%4.4s.EXE" counts characters: a name is never cut inside one. A shorter
// name is not padded: A.B makes A.B.EXE, not " A.B.EXE".
std::string OutputName(const std::string& binFileName, unsigned codePage) {
  return platform::LeadingCharacters(binFileName, 4, codePage) + ".EXE";
}

ProgramBuild::ProgramBuild(platform::ProgressView& view, BuildRequest request, BuildTarget target)
    : view_(view), request_(std::move(request)), target_(target), chunk_(kChunkSize) {}

ProgramBuild::~ProgramBuild() { CloseInputs(); }

bool ProgramBuild::Run() {
  view_.SetStatus("Building " + request_.binFileName + "  Please wait... ");
  if (!OpenBin() || !OpenProgram() || !NameOutput()) return false;
  SetUpProgress();
  if (!WriteOutput()) return false;
  view_.SetStatus("Build " + outputName_ + " complete!");
  view_.ProgressSetPosition(0);
  return true;
}

bool ProgramBuild::Fail(const std::string& message) {
  CloseInputs();
  output_.Discard();
  platform::ShowError(message);
  return false;
}

void ProgramBuild::CloseInputs() {
  if (bin_ != nullptr) std::fclose(bin_);
  if (program_ != nullptr) std::fclose(program_);
  bin_ = program_ = nullptr;
}

bool ProgramBuild::OpenBin() {
  const std::string& name = request_.binFileName;
  bin_ = std::fopen(request_.binPath.c_str(), "rb");
  uint64_t size = 0;
  if (bin_ == nullptr || !FileSize(bin_, size)) return Fail("Open " + name + " fail!");
  // A larger image would overwrite the program that follows the package; an
  // empty one would make a flash program that programs whatever the drive's
  // memory holds.
  if (size > kBinAreaSize) {
    return Fail("Building fail: " + name + " has " + std::to_string(size) +
                " bytes, more than the 524288 bytes a firmware image may have!");
  }
  if (size == 0) return Fail("Building fail: " + name + " is empty!");
  target_.binLength = static_cast<uint32_t>(size);
  request_.identity.binLength = target_.binLength;
  return true;
}

bool ProgramBuild::OpenProgram() {
  program_ = std::fopen(request_.programPath.c_str(), "rb");
  if (program_ == nullptr || !FileSize(program_, programSize_)) return Fail("Open " + request_.programPath + " fail!");
  return true;
}

// The new program takes the output's name: that must be the name of neither input.
bool ProgramBuild::NameOutput() {
  outputName_ = OutputName(request_.binFileName);
  const std::string& directory = request_.directory;
  outputPath_ = platform::PathJoin(directory, outputName_);
  if (TakesThePlaceOf(outputPath_, request_.programPath)) {
    return Fail("Building fail: " + outputName_ + " is this program's own file " + request_.programPath +
                "; rename the BIN file or run the program from another file!");
  }
  if (TakesThePlaceOf(outputPath_, request_.binPath)) {
    return Fail("Building fail: " + outputName_ + " is the chosen BIN file " + request_.binFileName +
                " itself; rename the BIN file!");
  }
  return true;
}

void ProgramBuild::SetUpProgress() {
  view_.ProgressSetRange(0, static_cast<int>(std::min<uint64_t>(programSize_, 0x7fffffff)));
  view_.ProgressSetPosition(0);
  view_.ProgressSetStep(static_cast<int>(kProgressBytes));
}

// Advances the bar one step for every byte index in [from, to) that is a
// multiple of 1024, as a byte-by-byte copy would, in one call per block.
void ProgramBuild::Advance(uint64_t from, uint64_t to) {
  const uint64_t steps = (to + kProgressBytes - 1) / kProgressBytes - (from + kProgressBytes - 1) / kProgressBytes;
  if (steps > 0) view_.ProgressStepBy(static_cast<int>(std::min<uint64_t>(steps * kProgressBytes, 0x7fffffff)));
}

// After the first failed write nothing more is written: the file is discarded.
void ProgramBuild::Write(const uint8_t* data, size_t count) {
  if (count == 0 || writeFailed_) return;
  if (!output_.Write(data, count)) {
    writeFailed_ = true;
    writeError_ = output_.Error();
  }
}

bool ProgramBuild::WriteOutput() {
  if (!output_.Create(outputPath_)) return Fail("Create " + outputName_ + " Fail" + Reason(output_.Error()));
  if (!CopyThroughKeyWord()) return Fail("Building fail: not found key-word in " + FileName(request_.programPath));
  WriteIdentityRecord();
  uint64_t resume = 0;
  const bool complete = SkipOldRecordAndImage(resume);
  const size_t imageRead = WriteImage();
  CopyRest(resume);
  CloseInputs();

  if (writeFailed_) return Fail("Building fail: can't write " + outputName_ + " completely!" + Reason(writeError_));
  if (!complete) return Fail("Building fail: some problem in " + FileName(request_.programPath));
  if (imageRead != target_.binLength) {
    return Fail("Building fail: " + request_.binFileName + " gave only " + std::to_string(imageRead) + " of its " +
                std::to_string(target_.binLength) + " bytes; check the file and build again!");
  }
  return CheckAndPlaceOutput();
}

// The whole file on the device and of the program's size (a program file
// that changed while it was copied gives another), then executable under its
// own name.
bool ProgramBuild::CheckAndPlaceOutput() {
  uint64_t size = 0;
  if (!output_.Flush() || !output_.Size(size)) {
    return Fail("Building fail: can't write " + outputName_ + " completely!" + Reason(output_.Error()));
  }
  if (size != programSize_) return Fail("Building fail: some problem in " + FileName(request_.programPath));
  if (!output_.Commit()) return Fail("Create " + outputName_ + " Fail" + Reason(output_.Error()));
  return true;
}

// Copies the program up to and including the first complete key-word.
bool ProgramBuild::CopyThroughKeyWord() {
  KeyWordFinder finder(request_.keyWord);
  for (;;) {
    const size_t got = std::fread(chunk_.data(), 1, chunk_.size(), program_);
    if (got == 0) return false;
    size_t take = got;
    bool found = false;
    for (size_t i = 0; i < got && !found; ++i) {
      found = finder.Feed(chunk_[i]);
      if (found) take = i + 1;
    }
    Write(chunk_.data(), take);
    Advance(index_, index_ + take);
    index_ += take;
    if (found) return true;
  }
}

void ProgramBuild::WriteIdentityRecord() {
  const IdentityRecord record = EncodeIdentityRecord(request_.identity);
  Write(record.data(), record.size());
}

// Skips the program's own identity record and as much of its image as the
// new image covers, and says where the copy resumes; false when the program
// ends before that (the copy then resumes at its end).
bool ProgramBuild::SkipOldRecordAndImage(uint64_t& resume) {
  resume = index_ + kIdentityRecordSize + target_.binLength;
  const bool complete = resume <= programSize_;
  if (!complete) resume = programSize_;
  if (std::fseek(program_, complete ? static_cast<long>(resume) : 0, complete ? SEEK_SET : SEEK_END) != 0) {
    return false;
  }
  return complete;
}

// The image, as one block, through the work buffer; returns the bytes read.
size_t ProgramBuild::WriteImage() {
  const uint32_t length = target_.binLength;
  if (target_.workBuffer == nullptr || target_.workBufferSize < length) {
    delete[] target_.workBuffer;
    target_.workBuffer = new uint8_t[length];
    target_.workBufferSize = length;
  }
  const size_t read = std::fread(target_.workBuffer, 1, length, bin_);
  Write(target_.workBuffer, read);
  if (length >= kProgressBytes) view_.ProgressStepBy(static_cast<int>(length / kProgressBytes * kProgressBytes));
  return read;
}

// The rest of the program, from `from` on.
void ProgramBuild::CopyRest(uint64_t from) {
  index_ = from;
  for (;;) {
    const size_t got = std::fread(chunk_.data(), 1, chunk_.size(), program_);
    if (got == 0) break;
    Write(chunk_.data(), got);
    Advance(index_, index_ + got);
    index_ += got;
  }
}

}  // namespace package
