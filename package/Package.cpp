#include "package/Package.h"

#include <cstring>

namespace package {

uint32_t PackageView::BinLength() const {
  const uint8_t* p = base_ + kBinLengthOffset;
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string PackageView::SlotText(const char* slot, size_t width) {
  return std::string(slot, strnlen(slot, width));
}

bool PackageView::IsBuilder() const {
  return std::memcmp(BinArea(), kBuilderTag, sizeof kBuilderTag) == 0;
}

}  // namespace package
