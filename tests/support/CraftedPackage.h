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

// An image in which no 4-byte word repeats: each holds its own offset (so
// the index of its 16 KiB block and its place in the block), and `seed` in
// its high byte. A block taken from a wrong offset, or cut to a wrong length,
// never compares equal. No word begins with the image signature 05 80 (its
// first byte, the low byte of a multiple of four, is never 05).
inline std::vector<uint8_t> NonRepeatingImage(size_t size, uint8_t seed = 0) {
  std::vector<uint8_t> image(size);
  for (size_t i = 0; i < size; ++i) {
    const uint32_t word = static_cast<uint32_t>(i & ~size_t{3}) ^ uint32_t{0xA5u ^ seed} << 24;
    image[i] = static_cast<uint8_t>(word >> (8 * (i & 3)));
  }
  return image;
}

// A flash-mode package: the texts in their slots (each followed by a zero
// byte and then `filler` bytes, to show that readers stop at the zero), and a
// whole image area that never repeats, of which `binLength` bytes are the image.
inline std::vector<uint8_t> CraftPackage(const PackageTexts& texts = {}, uint32_t binLength = 524288,
                                         uint8_t filler = 0xA5) {
  using namespace package;
  const std::vector<uint8_t> image = NonRepeatingImage(kBinAreaSize);
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

inline std::vector<uint8_t> CraftBuilderPackage(const std::string& keyWord = "KEYWORD-FOR-TS") {
  std::vector<uint8_t> p = CraftPackage();
  std::copy_n(keyWord.begin(), package::kKeyWordSize - 1, p.begin());
  const std::vector<uint8_t> tag = package::MakeBuilderPackage("");
  std::copy_n(tag.begin() + package::kBinAreaOffset, sizeof package::kBuilderTag, p.begin() + package::kBinAreaOffset);
  return p;
}

}  // namespace testing_support
