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
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr size_t kPackageSize = 524440;
constexpr size_t kBinAreaOffset = 152;
constexpr size_t kBinAreaSize = 524288;

int Fail(const std::string& message) {
  std::cerr << "mkpackage: " << message << "\n";
  return 1;
}

void PutSlot(std::vector<uint8_t>& package, size_t offset, std::string text, bool blankFill) {
  if (text.size() > 24) text.resize(24);
  if (blankFill) text.resize(24, ' ');
  std::memcpy(package.data() + offset, text.data(), text.size());
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
  if (keyword.size() != 14) return Fail("the key-word must have 14 characters");
  for (unsigned char c : keyword) {
    if (!std::isprint(c)) return Fail("the key-word must be printable");
  }
  if (options["out"].empty()) return Fail("--out is required");

  std::vector<uint8_t> package(kPackageSize, 0);
  std::memcpy(package.data(), keyword.data(), 14);  // byte 14 stays zero

  if (builder) {
    std::memcpy(package.data() + kBinAreaOffset, "OBEL", 4);
  } else {
    const std::string binPath = options["bin"];
    std::ifstream bin(binPath, std::ios::binary);
    if (!bin) return Fail("cannot open " + binPath);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(bin)), std::istreambuf_iterator<char>());
    if (image.empty()) return Fail(binPath + " is empty");
    if (image.size() > kBinAreaSize) return Fail(binPath + " is larger than 524288 bytes");
    PutSlot(package, 15, options["model"], false);
    PutSlot(package, 40, options["inquiry"], true);
    PutSlot(package, 65, options["fw-range"], false);
    PutSlot(package, 90, options["vendor"], false);
    PutSlot(package, 115, options["note"], false);
    std::string version = options.count("version-name") ? options["version-name"] : BaseName(binPath);
    for (char& c : version) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::memcpy(package.data() + 140, version.data(), std::min<size_t>(version.size(), 5));
    const uint32_t length = static_cast<uint32_t>(image.size());
    for (int i = 0; i < 4; ++i) package[148 + i] = static_cast<uint8_t>(length >> (8 * i));
    std::memcpy(package.data() + kBinAreaOffset, image.data(), image.size());
  }

  std::ofstream out(options["out"], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(package.data()), static_cast<std::streamsize>(package.size()));
  if (!out) return Fail("cannot write " + options["out"]);
  return 0;
}
