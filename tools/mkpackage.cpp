// Writes a firmware package file (key-word, identity record, BIN area) for
// the build to embed into a program. Either a builder package (the BIN area
// begins with the builder tag) or a flash package made from a BIN file and
// the identity texts.
//
//   mkpackage --keyword K --out FILE --builder
//   mkpackage --keyword K --out FILE --bin FILE --model M --inquiry I
//             --fw-range R --vendor V --note N [--version-name NAME]
//
// Text slots are 25 bytes: the text (cut at 24 characters, the Inquiry text
// blank-filled to 24) and zero bytes up to the end of the slot. Bytes of the
// BIN area past the image are zero.
#include <cctype>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "package/Package.h"

namespace {

int Fail(const std::string& message) {
  std::cerr << "mkpackage: " << message << "\n";
  return 1;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> options;
  bool builder = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--builder") {
      builder = true;
    } else if (arg.rfind("--", 0) == 0 && i + 1 < argc) {
      options[arg.substr(2)] = argv[++i];
    } else {
      return Fail("unexpected argument " + arg);
    }
  }
  const std::string keyword = options["keyword"];
  if (keyword.size() != package::kKeyWordSize - 1) return Fail("the key-word must have 14 characters");
  for (unsigned char c : keyword) {
    if (!std::isprint(c)) return Fail("the key-word must be printable");
  }
  if (options["out"].empty()) return Fail("--out is required");

  std::vector<uint8_t> made;
  if (builder) {
    made = package::MakeBuilderPackage(keyword);
  } else {
    const std::string binPath = options["bin"];
    std::ifstream bin(binPath, std::ios::binary);
    if (!bin) return Fail("cannot open " + binPath);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(bin)), std::istreambuf_iterator<char>());
    if (image.empty()) return Fail(binPath + " is empty");
    if (image.size() > package::kBinAreaSize) return Fail(binPath + " is larger than 524288 bytes");
    package::Identity identity;
    identity.model = options["model"];
    identity.inquiry = package::InquirySlotValue(options["inquiry"]);
    identity.fwRange = options["fw-range"];
    identity.vendor = options["vendor"];
    identity.note = options["note"];
    identity.version =
        package::VersionFromFileName(options.count("version-name") ? options["version-name"] : BaseName(binPath));
    identity.binLength = static_cast<uint32_t>(image.size());
    made = package::MakePackage(keyword, identity, image.data(), image.size());
  }

  std::ofstream out(options["out"], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(made.data()), static_cast<std::streamsize>(made.size()));
  if (!out) return Fail("cannot write " + options["out"]);
  return 0;
}
