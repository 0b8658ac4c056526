#include "package/ProgramFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace package {

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  bytes.clear();
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  uint8_t chunk[65536];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  const bool failed = std::ferror(file) != 0;
  if (failed) error = std::strerror(errno);
  std::fclose(file);
  return !failed;
}

bool ProgramFile::Fail(const std::string& reason) {
  error_ = path_ + ": " + reason;
  return false;
}

bool ProgramFile::Read(const std::string& path, const uint8_t* keyWord) {
  path_ = path;
  std::string reason;
  if (!ReadWholeFile(path, bytes_, reason)) return Fail(reason);
  const auto found = std::search(bytes_.begin(), bytes_.end(), keyWord, keyWord + kKeyWordSize);
  if (found == bytes_.end()) {
    return Fail("not a builder or a flash program of this flashutil: no firmware package in it (a BIN file is "
                "the image itself: flashutil-pack build makes a flash program of it)");
  }
  offset_ = static_cast<size_t>(found - bytes_.begin());
  if (bytes_.size() - offset_ < kPackageSize) {
    return Fail("the firmware package is cut off: the file ends " + std::to_string(bytes_.size() - offset_) +
                " bytes after its key-word, " + std::to_string(kPackageSize) + " are needed");
  }
  // Every writer leaves the reserved bytes zero and never records an image
  // larger than the area; a builder records none.
  const PackageView view = Package();
  const uint8_t* reserved = bytes_.data() + offset_ + kReservedOffset;
  const bool reservedZero = reserved[0] == 0 && reserved[1] == 0 && reserved[2] == 0;
  const uint32_t length = view.BinLength();
  if (!reservedZero || length > kBinAreaSize || (!view.IsBuilder() && length == 0)) {
    return Fail("the bytes after the key-word are not a firmware package");
  }
  return true;
}

}  // namespace package
