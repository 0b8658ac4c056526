// Building a new flash program: a copy of the running program's file in which
// the identity record and the image of the firmware package are replaced by
// a catalogue entry and a BIN file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "package/Package.h"
#include "platform/FormView.h"

namespace package {

// What one build takes.
struct BuildRequest {
  Identity identity;        // the catalogue entry's slot values and the version; the build sets binLength
  std::string binFileName;  // the chosen BIN file's name, as listed
  std::string binPath;      // and where it lies
  std::string programPath;  // the running program's file
  std::string directory;    // the working directory, where the new program goes
  const uint8_t* keyWord = nullptr;  // the running program's key-word (kKeyWordSize bytes)
};

// The form's fields that a build fills: the image's length, and the work
// buffer that receives the image (grown when it is too small).
struct BuildTarget {
  uint32_t& binLength;
  uint8_t*& workBuffer;
  uint32_t& workBufferSize;
};

// One build, in named phases. Every failure goes through one exit, which
// closes the files and shows the error; the status line then keeps its
// "Building ..." text.
class ProgramBuild {
 public:
  ProgramBuild(platform::FormView& view, BuildRequest request, BuildTarget target);
  ~ProgramBuild();
  ProgramBuild(const ProgramBuild&) = delete;
  ProgramBuild& operator=(const ProgramBuild&) = delete;

  void Run();

 private:
  bool OpenBin();
  bool OpenProgram();
  bool NameOutput();
  void SetUpProgress();
  // The new program file, from its creation to its close.
  bool WriteOutput();
  bool CopyThroughKeyWord();
  void WriteIdentityRecord();
  bool SkipOldRecordAndImage(uint64_t& resume);
  size_t WriteImage();
  void CopyRest(uint64_t from);

  bool Fail(const std::string& message);
  bool CloseFiles();  // false when finishing the output failed
  void Write(const uint8_t* data, size_t count);
  void Advance(uint64_t from, uint64_t to);

  platform::FormView& view_;
  BuildRequest request_;
  BuildTarget target_;
  std::FILE* bin_ = nullptr;
  std::FILE* program_ = nullptr;
  std::FILE* output_ = nullptr;
  uint64_t programSize_ = 0;
  std::string outputName_;
  std::string outputPath_;
  std::vector<uint8_t> chunk_;
  uint64_t index_ = 0;        // position in the program file of the next byte
  bool writeFailed_ = false;
};

}  // namespace package
