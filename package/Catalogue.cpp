#include "package/Catalogue.h"

#include <ini.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace package {

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The parser takes " ;" inside a value for the start of a comment; the
// profile reader knows comments only at the start of a line. Semicolons of
// other lines are hidden from the parser behind this byte and restored in
// the values.
constexpr char kHiddenSemicolon = '\x1f';
// The parser reads lines of at most this many bytes; the rest of a longer
// line would come back as a line of its own.
constexpr size_t kMaxLine = 199;

// A missing key reads as this value, and so does a key whose value it is.
const char* const kMissing = "FAIL";

int CollectEntry(void* user, const char* section, const char* name, const char* value) {
  auto& sections = *static_cast<IniFile::Sections*>(user);
  std::string text = value;
  for (char& c : text) {
    if (c == kHiddenSemicolon) c = ';';
  }
  // The first occurrence of a key wins, as with the system's profile reader.
  sections[Upper(section)].emplace(Upper(name), text);
  return 1;
}

}  // namespace

std::string IniPathFor(const std::string& programPath) {
  std::filesystem::path path(programPath);
  path.replace_extension(".INI");
  return path.string();
}

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
  // Leading blanks are dropped from every line: an indented key is an
  // ordinary key, not the continuation of the line before it.
  std::istringstream lines(text);
  std::string prepared, line;
  while (std::getline(lines, line)) {
    size_t first = line.find_first_not_of(" \t");
    line = first == std::string::npos ? std::string() : line.substr(first, kMaxLine);
    if (!line.empty() && line[0] != ';' && line[0] != '#') {
      for (char& c : line) {
        if (c == ';') c = kHiddenSemicolon;
      }
    }
    prepared += line;
    prepared += '\n';
  }
  // Malformed lines are skipped, as the system's profile reader does.
  ini_parse_string(prepared.c_str(), CollectEntry, &sections_);
}

std::string IniFile::Get(const std::string& section, const std::string& key, const std::string& fallback) const {
  auto s = sections_.find(Upper(section));
  if (s == sections_.end()) return fallback;
  auto k = s->second.find(Upper(key));
  return k == s->second.end() ? fallback : k->second;
}

Catalogue ReadCatalogue(const IniFile& ini) {
  Catalogue catalogue;
  char section[16] = "";
  for (int k = 0; k < 100; ++k) {
    std::snprintf(section, sizeof section, "%5.5s%02d", "MODEL", k);
    CatalogueEntry entry{ini.Get(section, "Model", kMissing),   ini.Get(section, "Inquiry", kMissing),
                         ini.Get(section, "FW-Range", kMissing), ini.Get(section, "BINMask", kMissing),
                         ini.Get(section, "Vendor", kMissing),   ini.Get(section, "Note", kMissing)};
    if (entry.model == kMissing) break;
    if (entry.inquiry == kMissing || entry.fwRange == kMissing || entry.binMask == kMissing ||
        entry.vendor == kMissing || entry.note == kMissing) {
      catalogue.sectionError = true;
      break;
    }
    catalogue.models.push_back(std::move(entry));
  }
  catalogue.lastSection = section;
  return catalogue;
}

LoadedCatalogue LoadCatalogue(const std::string& iniPath) {
  LoadedCatalogue result;
  IniFile ini;
  result.loaded = ini.Load(iniPath);
  if (!result.loaded) {
    result.error = "Can't load " + iniPath;
    return result;
  }
  result.catalogue = ReadCatalogue(ini);
  if (!result.catalogue.Usable()) result.error = iniPath + " > Session " + result.catalogue.lastSection + " error!";
  return result;
}

}  // namespace package
