// Building a new flash program: a copy of the running program's file in which
// the identity record and the image of the firmware package are replaced by
// a catalogue entry and a BIN file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "package/Catalogue.h"
#include "package/Package.h"
#include "platform/Files.h"
#include "platform/FormView.h"

namespace package {

// What one build takes.
struct BuildRequest {
  Identity identity;        // the catalogue entry's slot values and the version; the build sets binLength
  std::string binFileName;  // the chosen BIN file's name, as listed
  std::string binPath;      // and where it lies
  std::string programPath;  // the program file that is copied (the running builder's own)
  std::string directory;    // the working directory, where the new program goes
  const uint8_t* keyWord = nullptr;  // the builder's key-word (kKeyWordSize bytes)
};

// The form's fields that a build fills: the image's length, and the work
// buffer that receives the image (grown when it is too small).
struct BuildTarget {
  uint32_t& binLength;
  uint8_t*& workBuffer;
  uint32_t& workBufferSize;
};

// The identity record a build writes for a catalogue entry and a BIN file:
// the entry's values as the package's slots take them, and the version from
// the file's name.
Identity BuildIdentity(const CatalogueEntry& entry, const std::string& binFileName);

// The name of the program built from a BIN file: up to its first four
// characters, then ".EXE". Characters are those of the names' encoding
// (platform/Text.h): UTF-8 on Linux, the ANSI code page on Windows, where
// "\xC3\xA9ab1.bin" is five characters in code page 1252 (and makes
// "\xC3\xA9ab.EXE") and a Big5 character of two bytes is one.
std::string OutputName(const std::string& binFileName, unsigned codePage = platform::kSystemNames);

// One build, in named phases. The new program is written under a temporary
// name and takes its own name only when it is complete and checked; every
// failure goes through one exit, which removes the temporary file, closes the
// inputs and shows the error. The status line then keeps its "Building ..."
// text, and a program that had the name before is left as it was.
class ProgramBuild {
 public:
  ProgramBuild(platform::ProgressView& view, BuildRequest request, BuildTarget target);
  ~ProgramBuild();
  ProgramBuild(const ProgramBuild&) = delete;
  ProgramBuild& operator=(const ProgramBuild&) = delete;

  // True when the new program is in place.
  bool Run();
  // Where the new program goes.
  const std::string& OutputPath() const { return outputPath_; }

 private:
  bool OpenBin();
  bool OpenProgram();
  bool NameOutput();
  void SetUpProgress();
  // The new program file, from its creation to its rename.
  bool WriteOutput();
  bool CopyThroughKeyWord();
  void WriteIdentityRecord();
  bool SkipOldRecordAndImage(uint64_t& resume);
  size_t WriteImage();
  void CopyRest(uint64_t from);
  bool CheckAndPlaceOutput();

  bool Fail(const std::string& message);
  void CloseInputs();
  void Write(const uint8_t* data, size_t count);
  void Advance(uint64_t from, uint64_t to);

  platform::ProgressView& view_;
  BuildRequest request_;
  BuildTarget target_;
  std::FILE* bin_ = nullptr;
  std::FILE* program_ = nullptr;
  platform::AtomicFile output_;
  uint64_t programSize_ = 0;
  std::string outputName_;
  std::string outputPath_;
  std::vector<uint8_t> chunk_;
  uint64_t index_ = 0;        // position in the program file of the next byte
  bool writeFailed_ = false;
  std::string writeError_;    // the system's words for the first failed write
};

}  // namespace package
