// Writes a stand-in for the flash-chip profile data: the layout of the
// profile table with every profile at its offset and the identifying text at
// the start of the profiles that carry one, the rest a fill pattern that
// differs from profile to profile. It is not data for any drive; it lets the
// program and its tests run on simulated drives without the drive maker's file.
// Another fill seed gives other bytes in the same layout (the system tests'
// drive model gets profile data that is not the stand-in).
//
//   mkprofilestandin <output file> [fill seed]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flash/ProfileTable.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: %s <output file> [fill seed]\n", argv[0]);
    return 2;
  }
  const unsigned seed = argc == 3 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 0)) : 0;
  std::vector<unsigned char> data(flash::kProfileDataSize, 0);
  for (size_t entry = 0; entry < flash::kProfileCount; ++entry) {
    if (entry == flash::kSharedProfileEntry + 1) continue;  // same profile as the entry before
    const uint32_t offset = flash::ProfileOffsetOf(entry);
    const uint32_t size = flash::ProfileTable[entry].Size();
    for (uint32_t j = 0; j < size; ++j) {
      data[offset + j] = static_cast<unsigned char>(0x11 + seed + entry * 0x25 + j * 0x0B + (j >> 8) * 0x3D);
    }
    if (const char* text = flash::ProfileTexts[entry]) {
      std::memcpy(&data[offset], text, std::strlen(text));
    }
  }
  std::FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
  if (std::fclose(file) != 0 || !written) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
