// Builds firmware packages in memory for tests, in the layout of package/Package.h.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "package/Package.h"

namespace testing_support {

struct PackageTexts {
  std::string model = "QRD-73318K";
  std::string inquiry = "VOX-TEL QRD-73318K";
  std::string fwRange = "Q100-Q149";
  std::string vendor = "VoxTEL-DS";
  std::string note = "VoxTEL";
  std::string version = "Q150.";
};

// A flash-mode package: the texts in their slots (each followed by a zero
// byte and then `filler` bytes, to show that readers stop at the zero), and an
// image of `binLength` bytes filled with a counting pattern.
inline std::vector<uint8_t> CraftPackage(const PackageTexts& texts = {}, uint32_t binLength = 524288,
                                         uint8_t filler = 0xA5) {
  using namespace package;
  std::vector<uint8_t> p(kPackageSize, 0);
  std::memcpy(p.data(), "KEYWORD-FOR-TS", 14);
  auto slot = [&](size_t offset, const std::string& text) {
    std::memset(p.data() + offset, filler, kSlotSize);
    std::memcpy(p.data() + offset, text.data(), std::min<size_t>(text.size(), 24));
    p[offset + std::min<size_t>(text.size(), 24)] = 0;
  };
  slot(kModelOffset, texts.model);
  slot(kInquiryOffset, texts.inquiry);
  slot(kFWRangeOffset, texts.fwRange);
  slot(kVendorOffset, texts.vendor);
  slot(kNoteOffset, texts.note);
  std::memcpy(p.data() + kVersionOffset, texts.version.data(), std::min<size_t>(texts.version.size(), 5));
  for (int i = 0; i < 4; ++i) p[kBinLengthOffset + i] = static_cast<uint8_t>(binLength >> (8 * i));
  for (size_t i = 0; i < kBinAreaSize; ++i) {
    p[kBinAreaOffset + i] = static_cast<uint8_t>((i * 7 + (i >> 8)) & 0xFF);
  }
  // Keep the probe offsets of the image classification free of signatures.
  for (size_t offset : {0x1100u, 0x4000u, 0x4008u, 0x14000u}) p[kBinAreaOffset + offset] = 0;
  return p;
}

// Puts the image signature 0x05 0x80 at `offset` of the BIN area and `text` 16 bytes after it.
inline void PutSignature(std::vector<uint8_t>& p, size_t offset, const std::string& text = {}) {
  uint8_t* bin = p.data() + package::kBinAreaOffset;
  bin[offset] = 0x05;
  bin[offset + 1] = 0x80;
  std::memcpy(bin + offset + 16, text.data(), text.size());
}

inline std::vector<uint8_t> CraftBuilderPackage() {
  std::vector<uint8_t> p = CraftPackage();
  std::memcpy(p.data() + package::kBinAreaOffset, "OBEL", 4);
  return p;
}

}  // namespace testing_support
