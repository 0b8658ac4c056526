// The commands of flashutil-pack: show what a program file carries, build a
// flash program from a builder, a catalogue and a BIN file without the
// window, and verify that a program carries a given image. Results go to
// `out`; every error is one line on `err`. Each returns the exit status.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "package/Catalogue.h"

namespace pack {

// Exit statuses.
constexpr int kSuccess = 0;
constexpr int kFailure = 1;  // refused or failed; for verify: another image
constexpr int kTrouble = 2;  // wrong usage, or an input that cannot be used: a file that cannot be
                             // read, a folder where a file is wanted, a file that is not what the
                             // command takes (a BIN file for a program, a flash program for a builder)

struct BuildOptions {
  std::string builder;
  std::string catalogue;
  std::string model;  // the Model value, or the entry's index
  std::string bin;
  std::string outputDirectory;  // empty: the working directory
  bool force = false;           // an existing file of the output's name may be replaced
  bool json = false;            // the new program as one JSON object
  bool terminal = false;        // standard output is a terminal: the path is escaped
};

class PackCommands {
 public:
  // `keyWord`: the key-word (kKeyWordSize bytes) that marks the package in
  // the program files this tool works with.
  PackCommands(const uint8_t* keyWord, std::ostream& out, std::ostream& err);

  // With `json`, one JSON object on one line instead of the text.
  int Show(const std::string& program, bool json = false);
  int Build(const BuildOptions& options);
  int Verify(const std::string& program, const std::string& bin, bool json = false);
  // The catalogue's models as the builder lists them, each after its index.
  int Models(const std::string& catalogue);

 private:
  int Error(int status, const std::string& message);
  int LoadCatalogue(const std::string& path, package::LoadedCatalogue& loaded);
  int ChooseModel(const BuildOptions& options, const std::vector<package::CatalogueEntry>& models, size_t& chosen);
  void PrintBuilt(const BuildOptions& options, const std::string& path, const package::CatalogueEntry& entry,
                  uint32_t binLength);

  const uint8_t* keyWord_;
  std::ostream& out_;
  std::ostream& err_;
};

// The text of an error as one line: line breaks become ": ".
std::string OneLine(const std::string& text);

}  // namespace pack
