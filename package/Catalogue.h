// The INI model catalogue file, read the way the system's profile reader
// reads it: section and key names match without regard to case, values are
// trimmed, the first occurrence of a key counts, a missing key yields the
// caller's default.
#pragma once

#include <map>
#include <string>

namespace package {

// The catalogue path of a program file: its extension replaced by ".INI",
// or ".INI" appended when the name has none.
std::string IniPathFor(const std::string& programPath);

class IniFile {
 public:
  using Sections = std::map<std::string, std::map<std::string, std::string>>;

  // False when the file does not exist or cannot be read.
  bool Load(const std::string& path);
  std::string Get(const std::string& section, const std::string& key, const std::string& fallback) const;

 private:
  Sections sections_;  // names upper-cased
};

}  // namespace package
