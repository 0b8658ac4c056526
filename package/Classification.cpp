// Classification of the embedded image: which kind of flash profile it needs.
#include <cctype>
#include <cstddef>

#include "app/FlashFormCore.h"

namespace {

// Fixed-count, case-insensitive comparison that does not stop at a zero byte.
bool SameText(const uint8_t* bytes, const char* text, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (std::toupper(bytes[i]) != std::toupper(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

bool HasSignature(const uint8_t* bin, size_t offset) {
  return bin[offset] == 0x05 && bin[offset + 1] == 0x80;
}

}  // namespace

void FlashFormCore::CheckNewFormatBIN() {
  const uint8_t* bin = Package.BinArea();
  BinLength = Package.BinLength();
  if (HasSignature(bin, 0x4000)) {
    if (SameText(bin + 0x4010, "DVD-ROM MVK-417", 15) || SameText(bin + 0x4010, "DVD-ROM MVR-552", 15)) {
      LongIdProfile = true;
    }
    return;
  }
  if (HasSignature(bin, 0x4008)) {
    if (SameText(bin + 0x4018, "DVD-ROM MVK-417", 15) || SameText(bin + 0x4018, "DVD-ROM MVR-552", 15)) {
      LongIdProfile = true;
    }
    return;
  }
  if (HasSignature(bin, 0x14000)) {
    if (SameText(bin + 0x14010, "COMBO", 5) || SameText(bin + 0x14010, "DVD-ROM MVR-553X", 16)) {
      LongIdProfile = true;
    }
    return;
  }
  if (HasSignature(bin, 0x1100)) {
    ShortIdProfile = true;
    return;
  }
  ShortIdProfile = false;
  LongIdProfile = false;
}
