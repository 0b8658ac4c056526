// INI files read the way the system's profile reader reads them. On Windows
// that reader is the system's own (platform/win); elsewhere IniFile below
// reads the file to the same values.
//
// The rules, as the system's reader applies them:
// - lines end at LF, CR or CR LF; blanks (space, tab, vertical tab, form
//   feed) at the start and end of a line do not count;
// - "[name]" opens a section: the name runs to the last "]" of the line and
//   is trimmed; a line that starts with "[" without a "]" is ignored; lines
//   before the first section belong to the section with the empty name;
// - any other line is "name=value", split at its first "="; name and value
//   are trimmed; a line without "=" names a key that has no value (it reads
//   as missing); a ":" is an ordinary character, and so is a ";" or "#"
//   (a line that starts with one names a key that no lookup asks for);
// - a zero byte ends the name or value it stands in (the rest of that line
//   is lost, the following lines are read);
// - section and key names match without regard to ASCII letter case; the
//   first section of a name and, inside it, the first line of a key count;
// - a value that begins and ends with the same quote character (" or ') and
//   is at least two characters long loses the pair;
// - a value is cut to kProfileValueSize - 1 bytes (the caller's buffer);
// - a UTF-8 byte-order mark at the start of the file is skipped.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// The buffer a value is read into: values are cut to one byte less.
constexpr size_t kProfileValueSize = 256;

class ProfileFile {
 public:
  virtual ~ProfileFile() = default;
  // The value of `key` in `section`, or `fallback` when the key is missing
  // (or named without a value).
  virtual std::string Get(const std::string& section, const std::string& key,
                          const std::string& fallback) const = 0;
};

class ProfileReader {
 public:
  virtual ~ProfileReader() = default;
  // The file at `path`, or null when there is no file.
  virtual std::unique_ptr<ProfileFile> Open(const std::string& path) = 0;
};

// The reader of the rules above, on the file's bytes.
class IniFile final : public ProfileFile {
 public:
  // Reads and parses the file; false when it is not a regular file or cannot be read.
  bool Load(const std::string& path);
  void Parse(const std::string& text);
  std::string Get(const std::string& section, const std::string& key,
                  const std::string& fallback) const override;

 private:
  struct Key {
    std::string name;
    bool hasValue = false;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Key> keys;
  };
  std::vector<Section> sections_;
};

class IniFileReader final : public ProfileReader {
 public:
  std::unique_ptr<ProfileFile> Open(const std::string& path) override;
};

// The reader installed in the services (platform/Services.h), or IniFileReader.
ProfileReader& Profiles();

}  // namespace platform
