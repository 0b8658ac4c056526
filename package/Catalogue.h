// The INI model catalogue. The file is read whole and parsed from memory the
// way the system's profile reader reads it: section and key names match
// without regard to case, values are trimmed, the first occurrence of a key
// counts, a missing key yields the caller's default. The models are the
// sections MODEL00 to MODEL99, read in order up to the first without a Model.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace package {

// The catalogue path of a program file: its extension replaced by ".INI",
// or ".INI" appended when the name has none.
std::string IniPathFor(const std::string& programPath);

class IniFile {
 public:
  using Sections = std::map<std::string, std::map<std::string, std::string>>;

  // Reads the file and parses it; false when it does not exist or cannot be read.
  bool Load(const std::string& path);
  // Parses INI text; malformed lines are skipped.
  void Parse(const std::string& text);
  std::string Get(const std::string& section, const std::string& key, const std::string& fallback) const;

 private:
  Sections sections_;  // names upper-cased
};

// One model: the values of its section, as they stand in the file.
struct CatalogueEntry {
  std::string model;
  std::string inquiry;
  std::string fwRange;
  std::string binMask;
  std::string vendor;
  std::string note;
};

struct Catalogue {
  std::vector<CatalogueEntry> models;
  bool sectionError = false;  // a section with a Model lacks another key (or has "FAIL")
  std::string lastSection;    // the section at which reading stopped: the one reported
  // A catalogue the builder can work with: no broken section and at least one model.
  bool Usable() const { return !sectionError && !models.empty(); }
};

Catalogue ReadCatalogue(const IniFile& ini);

// The catalogue of an INI file, as the builder reads it, and the message a
// catalogue the builder cannot work with is reported with.
struct LoadedCatalogue {
  bool loaded = false;  // the file could be read
  Catalogue catalogue;  // its models, also those before a broken section
  std::string error;    // empty when the catalogue is usable
};

LoadedCatalogue LoadCatalogue(const std::string& iniPath);

}  // namespace package
