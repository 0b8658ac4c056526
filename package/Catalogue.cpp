#include "package/Catalogue.h"

#include "platform/Files.h"

#include <cstdio>

namespace package {

namespace {

// A missing key reads as this value, and so does a key whose value it is.
const char* const kMissing = "FAIL";

}  // namespace

std::string IniPathFor(const std::string& programPath) { return platform::PathWithExtension(programPath, ".INI"); }

std::string ModelListText(const CatalogueEntry& entry) { return entry.fwRange + " " + entry.inquiry; }

Catalogue ReadCatalogue(const platform::ProfileFile& ini) {
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
  const std::unique_ptr<platform::ProfileFile> ini = platform::Profiles().Open(iniPath);
  result.loaded = ini != nullptr;
  if (!result.loaded) {
    result.error = "Can't load " + iniPath;
    return result;
  }
  result.catalogue = ReadCatalogue(*ini);
  if (!result.catalogue.Usable()) result.error = iniPath + " > Session " + result.catalogue.lastSection + " error!";
  return result;
}

}  // namespace package
