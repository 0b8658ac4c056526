// A temporary working directory for builder tests: the builder's program
// file, its catalogue and BIN files, and the programs it writes.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/CraftedPackage.h"

namespace package_tests {

class TempDir {
 public:
  TempDir() {
#if defined(_WIN32)
    // No mkdtemp: a name from the clock and a counter, made anew until it is free.
    static unsigned counter = 0;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      std::filesystem::path candidate = std::filesystem::temp_directory_path() /
                                        ("flashutil-pkg-" + std::to_string(stamp) + "-" + std::to_string(++counter));
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) path_ = candidate;
    }
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "flashutil-pkg-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
#endif
  }
  ~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // Put together as bytes: on Windows, the standard library's paths would
  // turn a name of the system's code page into UTF-8.
  std::string operator/(const std::string& name) const { return path_.string() + "/" + name; }

 private:
  std::filesystem::path path_;
};

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A BIN image of `size` bytes that never repeats, different for each `seed`.
inline std::vector<uint8_t> MakeBin(size_t size, uint8_t seed) { return testing_support::NonRepeatingImage(size, seed); }

// Number of occurrences of `pattern` in `data`.
inline size_t CountOccurrences(const std::vector<uint8_t>& data, const uint8_t* pattern, size_t size) {
  size_t count = 0;
  auto it = data.begin();
  for (;;) {
    it = std::search(it, data.end(), pattern, pattern + size);
    if (it == data.end()) return count;
    ++count;
    ++it;
  }
}

// One catalogue section as INI text.
inline std::string Section(int k, const std::string& model, const std::string& inquiry,
                           const std::string& fwRange, const std::string& binMask,
                           const std::string& vendor = "VoxTEL-DS", const std::string& note = "VoxTEL") {
  char name[16];
  std::snprintf(name, sizeof name, "MODEL%02d", k);
  return std::string("[") + name + "]\nModel=" + model + "\nInquiry=" + inquiry + "\nFW-Range=" + fwRange +
         "\nBINMask=" + binMask + "\nVendor=" + vendor + "\nNote=" + note + "\n\n";
}

}  // namespace package_tests
