#include "platform/FileMask.h"

#include <algorithm>
#include <cctype>

#include "platform/Files.h"

namespace platform {

namespace {

char Fold(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::vector<std::string> SplitMask(const std::string& mask) {
  std::vector<std::string> patterns;
  size_t start = 0;
  while (start <= mask.size()) {
    size_t end = mask.find(';', start);
    if (end == std::string::npos) end = mask.size();
    std::string pattern = Trim(mask.substr(start, end - start));
    if (!pattern.empty()) patterns.push_back(pattern);
    start = end + 1;
  }
  return patterns;
}

bool MatchPattern(const std::string& pattern, const std::string& name) {
  // Iterative wildcard match with back-tracking to the last "*".
  size_t p = 0, n = 0, starP = std::string::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || Fold(pattern[p]) == Fold(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (starP != std::string::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool MatchMask(const std::string& mask, const std::string& name) {
  std::vector<std::string> patterns = SplitMask(mask);
  if (patterns.empty()) return true;
  return std::any_of(patterns.begin(), patterns.end(),
                     [&](const std::string& pattern) { return MatchPattern(pattern, name); });
}

std::vector<std::string> ListFiles(const std::string& directory, const std::string& mask) {
  std::vector<std::string> names;
  for (std::string& name : DirectoryFileNames(directory)) {
    if (MatchMask(mask, name)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace platform
