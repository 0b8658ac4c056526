// A program file read whole, and the firmware package in it: the first
// occurrence of the key-word, the same one the builder replaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "package/Package.h"

namespace package {

class ProgramFile {
 public:
  // Reads the file at `path` and finds its package by `keyWord`
  // (kKeyWordSize bytes). False, with a one-line reason in Error(), when the
  // file cannot be read or holds no whole, well-formed package.
  bool Read(const std::string& path, const uint8_t* keyWord);

  const std::string& Error() const { return error_; }
  size_t PackageOffset() const { return offset_; }
  PackageView Package() const { return PackageView(bytes_.data() + offset_); }
  // The image a flash program carries: the first BinLength bytes of its BIN
  // area; empty for a builder.
  const uint8_t* Image() const { return Package().BinArea(); }
  size_t ImageSize() const { return Package().IsBuilder() ? 0 : Package().BinLength(); }
  // The drives the program reaches, from its drive-access record.
  DriveAccess Access() const { return FindDriveAccess(bytes_.data(), bytes_.size()); }

 private:
  bool Fail(const std::string& reason);

  std::string path_;
  std::vector<uint8_t> bytes_;
  size_t offset_ = 0;
  std::string error_;
};

// Reads a whole file; false with the system's words in `error`.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);

}  // namespace package
