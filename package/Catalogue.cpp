// Builder mode: the INI model catalogue, the model box and the BIN file list.
#include <ini.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "app/FlashFormCore.h"
#include "app/Texts.h"
#include "package/Catalogue.h"
#include "platform/Services.h"

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
  // Leading blanks are dropped from every line: an indented key is an
  // ordinary key, not the continuation of the line before it.
  std::string text, line;
  while (std::getline(file, line)) {
    size_t first = line.find_first_not_of(" \t");
    line = first == std::string::npos ? std::string() : line.substr(first, kMaxLine);
    if (!line.empty() && line[0] != ';' && line[0] != '#') {
      for (char& c : line) {
        if (c == ';') c = kHiddenSemicolon;
      }
    }
    text += line;
    text += '\n';
  }
  // Malformed lines are skipped, as the system's profile reader does; only a
  // file that cannot be read is an error.
  ini_parse_string(text.c_str(), CollectEntry, &sections_);
  return true;
}

std::string IniFile::Get(const std::string& section, const std::string& key,
                         const std::string& fallback) const {
  auto s = sections_.find(Upper(section));
  if (s == sections_.end()) return fallback;
  auto k = s->second.find(Upper(key));
  return k == s->second.end() ? fallback : k->second;
}

}  // namespace package

namespace {

std::string Format(const char* format, const std::string& text) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, text.c_str());
  return buffer;
}

const char* const kMissing = "FAIL";

}  // namespace

void FlashFormCore::BuilderSetup() {
  // On this system the working directory is the whole of what the drive
  // letter and the per-drive directory described.
  WorkDir = CurrentDirectory();
  FileListSetDirectory(WorkDir);
  if (!RetriveINI()) return;
  FileListSetVisible(true);
  SetSelectDriveLabel("Select Model: ");
  SetFlashButtonCaption("Build");
  SetFlashButtonEnabled(false);
}

bool FlashFormCore::RetriveINI() {
  ModelList = std::make_unique<StringList>();
  InquiryList = std::make_unique<StringList>();
  FWRangeList = std::make_unique<StringList>();
  BINMaskList = std::make_unique<StringList>();
  VendorList = std::make_unique<StringList>();
  NoteList = std::make_unique<StringList>();

  const std::string iniPath = package::IniPathFor(ProgramFilePath());
  package::IniFile ini;
  if (!ini.Load(iniPath)) {
    platform::ShowError("Can't load " + iniPath);
    RequestQuit(false);
    return false;
  }

  bool sectionError = false;
  char section[16] = "";
  for (int k = 0; k < 100; ++k) {
    std::snprintf(section, sizeof section, "%5.5s%02d", "MODEL", k);
    const std::string model = ini.Get(section, "Model", kMissing);
    const std::string inquiry = ini.Get(section, "Inquiry", kMissing);
    const std::string fwRange = ini.Get(section, "FW-Range", kMissing);
    const std::string binMask = ini.Get(section, "BINMask", kMissing);
    const std::string vendor = ini.Get(section, "Vendor", kMissing);
    const std::string note = ini.Get(section, "Note", kMissing);
    if (model == kMissing) break;
    if (inquiry == kMissing || fwRange == kMissing || binMask == kMissing || vendor == kMissing ||
        note == kMissing) {
      sectionError = true;
      break;
    }
    ModelList->push_back(model);
    InquiryList->push_back(inquiry);
    FWRangeList->push_back(fwRange);
    BINMaskList->push_back(binMask);
    VendorList->push_back(vendor);
    NoteList->push_back(note);
    ComboAdd(fwRange + " " + inquiry);
    // What the builder writes into the 25-byte slots: at most 24 characters,
    // the Inquiry blank-filled to exactly 24.
    ModelList->back() = Format("%.24s", model);
    InquiryList->back() = Format("%-24.24s", inquiry);
    FWRangeList->back() = Format("%.24s", fwRange);
    VendorList->back() = Format("%.24s", vendor);
    NoteList->back() = Format("%.24s", note);
  }

  if (sectionError || ModelList->empty()) {
    platform::ShowError(iniPath + " > Session " + section + " error!");
    RequestQuit(false);
    return false;
  }
  ComboSetItemIndex(0);
  ComboBoxChange();
  return true;
}

void FlashFormCore::BuilderComboBoxChange() {
  const int k = ComboItemIndex();
  if (k < 0 || !BINMaskList || k >= static_cast<int>(BINMaskList->size())) {
    // Typed text selects no model: nothing can be built until one is chosen.
    SetFlashButtonEnabled(false);
    return;
  }
  const size_t entry = static_cast<size_t>(k);
  FileListSetMask((*BINMaskList)[entry]);
  SetCaption(texts::TitleText + (*FWRangeList)[entry] + " [Buiding]");
  SetFlashButtonEnabled(false);
}

void FlashFormCore::FileListBox1Click() {
  BINFileName = FileListSelectedName();
  SetFlashButtonEnabled(true);
}
