// The INI model catalogue, read through the system's profile reader
// (platform/ProfileFile.h). The models are the sections MODEL00 to MODEL99,
// read in order up to the first without a Model.
#pragma once

#include <string>
#include <vector>

#include "platform/ProfileFile.h"

namespace package {

// The catalogue path of a program file: its extension replaced by ".INI",
// or ".INI" appended when the name has none.
std::string IniPathFor(const std::string& programPath);

// One model: the values of its section, as they stand in the file.
struct CatalogueEntry {
  std::string model;
  std::string inquiry;
  std::string fwRange;
  std::string binMask;
  std::string vendor;
  std::string note;
};

// How the builder lists a model: its firmware range and its INQUIRY text.
std::string ModelListText(const CatalogueEntry& entry);

struct Catalogue {
  std::vector<CatalogueEntry> models;
  bool sectionError = false;  // a section with a Model lacks another key (or has "FAIL")
  std::string lastSection;    // the section at which reading stopped: the one reported
  // A catalogue the builder can work with: no broken section and at least one model.
  bool Usable() const { return !sectionError && !models.empty(); }
};

Catalogue ReadCatalogue(const platform::ProfileFile& ini);

// The catalogue of an INI file, as the builder reads it, and the message a
// catalogue the builder cannot work with is reported with.
struct LoadedCatalogue {
  bool loaded = false;  // the file could be read
  Catalogue catalogue;  // its models, also those before a broken section
  std::string error;    // empty when the catalogue is usable
};

LoadedCatalogue LoadCatalogue(const std::string& iniPath);

}  // namespace package
