#include "package/Classification.h"

#include <cctype>
#include <cstddef>
#include <initializer_list>

namespace package {

namespace {

// Fixed-count, case-insensitive comparison that does not stop at a zero byte.
bool SameText(const uint8_t* bytes, const char* text, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (std::toupper(bytes[i]) != std::toupper(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

bool HasSignature(const uint8_t* bin, size_t offset) { return bin[offset] == 0x05 && bin[offset + 1] == 0x80; }

// The model names of the long-ID images, 16 bytes behind their signature.
bool NamesDvdRom(const uint8_t* name) {
  return SameText(name, "DVD-ROM MVK-417", 15) || SameText(name, "DVD-ROM MVR-552", 15);
}

bool NamesCombo(const uint8_t* name) { return SameText(name, "COMBO", 5) || SameText(name, "DVD-ROM MVR-553X", 16); }

}  // namespace

void ClassifyImage(const uint8_t* bin, bool& shortIdProfile, bool& longIdProfile) {
  for (size_t probe : {size_t{0x4000}, size_t{0x4008}}) {
    if (HasSignature(bin, probe)) {
      if (NamesDvdRom(bin + probe + 0x10)) longIdProfile = true;
      return;
    }
  }
  if (HasSignature(bin, 0x14000)) {
    if (NamesCombo(bin + 0x14010)) longIdProfile = true;
    return;
  }
  if (HasSignature(bin, 0x1100)) {
    shortIdProfile = true;
    return;
  }
  shortIdProfile = false;
  longIdProfile = false;
}

}  // namespace package
