#include "platform/Files.h"

#include <cstdio>
#include <random>

namespace platform {

namespace {

#if defined(_WIN32)
constexpr const char* kSeparators = "/\\";
constexpr char kSeparator = '\\';
#else
constexpr const char* kSeparators = "/";
constexpr char kSeparator = '/';
#endif

std::vector<std::string>* atomicFileCalls = nullptr;

}  // namespace

void SetAtomicFileCallLog(std::vector<std::string>* log) { atomicFileCalls = log; }

void NoteAtomicFileCall(const char* call) {
  if (atomicFileCalls != nullptr) atomicFileCalls->push_back(call);
}

std::string PathFileName(const std::string& path) {
  const size_t separator = path.find_last_of(kSeparators);
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string PathDirectory(const std::string& path) {
  const size_t separator = path.find_last_of(kSeparators);
  if (separator == std::string::npos) return {};
  return path.substr(0, separator == 0 ? 1 : separator);
}

std::string PathJoin(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  if (std::string(kSeparators).find(directory.back()) != std::string::npos) return directory + name;
  return directory + kSeparator + name;
}

std::string PathWithExtension(const std::string& path, const std::string& extension) {
  const size_t nameStart = path.size() - PathFileName(path).size();
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= nameStart) return path + extension;
  return path.substr(0, dot) + extension;
}

std::string TemporaryNameBeside(const std::string& path) {
  static std::random_device random;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(random()));
  return PathJoin(PathDirectory(path), "." + PathFileName(path) + suffix);
}

}  // namespace platform
