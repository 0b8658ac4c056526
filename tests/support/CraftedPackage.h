// Builds firmware packages in memory for tests, in the layout of package/Package.h.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
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
  std::vector<uint8_t> image(kBinAreaSize);
  for (size_t i = 0; i < kBinAreaSize; ++i) image[i] = static_cast<uint8_t>((i * 7 + (i >> 8)) & 0xFF);
  // Keep the probe offsets of the image classification free of signatures.
  for (size_t offset : {0x1100u, 0x4000u, 0x4008u, 0x14000u}) image[offset] = 0;
  const Identity identity{texts.model, texts.inquiry, texts.fwRange, texts.vendor, texts.note, texts.version, binLength};
  std::vector<uint8_t> p = MakePackage("KEYWORD-FOR-TS", identity, image.data(), image.size());
  const std::pair<size_t, const std::string*> slotTexts[] = {{kModelOffset, &texts.model},   {kInquiryOffset, &texts.inquiry},
                                                         {kFWRangeOffset, &texts.fwRange}, {kVendorOffset, &texts.vendor},
                                                         {kNoteOffset, &texts.note}};
  for (const auto& [offset, text] : slotTexts) {
    const size_t end = std::min(text->size(), kSlotTextSize);  // the writer's zero byte stands here
    std::memset(p.data() + offset + end + 1, filler, kSlotSize - end - 1);
  }
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
  const std::vector<uint8_t> tag = package::MakeBuilderPackage("");
  std::copy_n(tag.begin() + package::kBinAreaOffset, sizeof package::kBuilderTag, p.begin() + package::kBinAreaOffset);
  return p;
}

}  // namespace testing_support
