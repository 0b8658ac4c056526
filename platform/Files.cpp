#include "platform/Files.h"

#include <cstdio>
#include <random>

namespace platform {

namespace {

#if defined(_WIN32)
constexpr char kSeparator = '\\';
bool IsSeparator(char c) { return c == '/' || c == '\\'; }
#else
constexpr char kSeparator = '/';
bool IsSeparator(char c) { return c == '/'; }
#endif

// Where the last character that is a separator begins; npos when there is none.
size_t LastSeparator(const std::string& path, unsigned codePage) {
  size_t last = std::string::npos;
  for (size_t at = 0; at < path.size(); at += CharacterLength(path, at, codePage)) {
    if (IsSeparator(path[at])) last = at;
  }
  return last;
}

}  // namespace

std::string PathFileName(const std::string& path, unsigned codePage) {
  const size_t separator = LastSeparator(path, codePage);
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string PathDirectory(const std::string& path, unsigned codePage) {
  const size_t separator = LastSeparator(path, codePage);
  if (separator == std::string::npos) return {};
  return path.substr(0, separator == 0 ? 1 : separator);
}

std::string PathJoin(const std::string& directory, const std::string& name, unsigned codePage) {
  if (directory.empty()) return name;
  const size_t separator = LastSeparator(directory, codePage);
  if (separator != std::string::npos && separator + 1 == directory.size()) return directory + name;
  return directory + kSeparator + name;
}

std::string PathWithExtension(const std::string& path, const std::string& extension, unsigned codePage) {
  const size_t nameStart = path.size() - PathFileName(path, codePage).size();
  size_t dot = std::string::npos;
  for (size_t at = nameStart; at < path.size(); at += CharacterLength(path, at, codePage)) {
    if (path[at] == '.') dot = at;
  }
  if (dot == std::string::npos || dot == nameStart) return path + extension;
  return path.substr(0, dot) + extension;
}

std::string TemporaryNameBeside(const std::string& path) {
  static std::random_device random;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(random()));
  return PathJoin(PathDirectory(path), "." + PathFileName(path) + suffix);
}

}  // namespace platform
