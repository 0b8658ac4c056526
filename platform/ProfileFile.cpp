#include "platform/ProfileFile.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/Services.h"

namespace platform {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& text) {
  size_t first = 0, last = text.size();
  while (first < last && IsBlank(text[first])) ++first;
  while (last > first && IsBlank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

// A name or value is a C string in the system's reader: a zero byte ends it.
std::string CutAtZero(std::string text) {
  const size_t zero = text.find('\0');
  if (zero != std::string::npos) text.erase(zero);
  return text;
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool IniFile::Load(const std::string& path) {
  sections_.clear();
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return false;
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  Parse(std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()));
  return true;
}

void IniFile::Parse(const std::string& text) {
  sections_.clear();
  sections_.push_back(Section{});  // the lines before the first section
  size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty()) continue;
    if (line[0] == '[') {
      const size_t close = line.rfind(']');
      if (close == std::string::npos) continue;
      sections_.push_back(Section{CutAtZero(Trim(line.substr(1, close - 1))), {}});
      continue;
    }
    const size_t equals = line.find('=');
    Key key;
    key.name = CutAtZero(Trim(line.substr(0, equals)));
    if (equals != std::string::npos) {
      key.hasValue = true;
      key.value = CutAtZero(Trim(line.substr(equals + 1)));
    }
    sections_.back().keys.push_back(std::move(key));
  }
}

std::string IniFile::Get(const std::string& section, const std::string& key, const std::string& fallback) const {
  for (const Section& s : sections_) {
    if (!SameName(s.name, section)) continue;
    // Only the first section of a name is searched, and in it the first line of a key.
    for (const Key& k : s.keys) {
      if (!SameName(k.name, key)) continue;
      if (!k.hasValue) return fallback;
      std::string value = k.value;
      if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
        value = value.substr(1, value.size() - 2);
      }
      if (value.size() >= kProfileValueSize) value.resize(kProfileValueSize - 1);
      return value;
    }
    return fallback;
  }
  return fallback;
}

std::unique_ptr<ProfileFile> IniFileReader::Open(const std::string& path) {
  auto file = std::make_unique<IniFile>();
  if (!file->Load(path)) return nullptr;
  return file;
}

ProfileReader& Profiles() {
  static IniFileReader portable;
  ProfileReader* installed = GetServices().profiles;
  return installed != nullptr ? *installed : portable;
}

}  // namespace platform
