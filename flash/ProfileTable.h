// The flash-chip profiles: the table that maps a drive's flash-chip ID to its
// profile, and the profile data that the program carries for the drive.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace flash {

// One table entry: flash-ID bytes 0-1, the profile size (big-endian), and
// flash-ID bytes 2-3, which only the long-ID form compares.
struct ProfileEntry {
  uint8_t id0;
  uint8_t id1;
  uint8_t sizeHigh;
  uint8_t sizeLow;
  uint8_t id2;
  uint8_t id3;

  constexpr uint32_t Size() const { return static_cast<uint32_t>(sizeHigh) << 8 | sizeLow; }
};

constexpr size_t kProfileCount = 8;

// Entries 2 and 3 share one profile, so the data holds seven profiles back to back.
constexpr std::array<ProfileEntry, kProfileCount> ProfileTable = {{
    {0xDA, 0xC8, 0x01, 0x3A, 0x00, 0x00},
    {0xBF, 0xB4, 0x01, 0xC4, 0x00, 0x00},
    {0xBF, 0xD6, 0x05, 0x00, 0x00, 0x01},
    {0xBF, 0xB6, 0x05, 0x00, 0x00, 0x01},
    {0x37, 0x8C, 0x05, 0x00, 0x00, 0x01},
    {0xBF, 0xD7, 0x03, 0xE8, 0x00, 0x01},
    {0x37, 0x0D, 0x03, 0x1C, 0x00, 0x01},
    {0xBF, 0xB6, 0x02, 0xB4, 0x00, 0x02},
}};

// The entry whose profile the next entry reuses; its size is not counted
// when the offsets of the later profiles are summed.
constexpr size_t kSharedProfileEntry = 2;

constexpr size_t kProfileDataSize = 5814;

// The largest record: the 6-byte long header and the largest profile.
constexpr size_t kMaxProfileRecordSize = 6 + 0x500;

// Offset of entry `index`'s profile in the profile data.
constexpr uint32_t ProfileOffsetOf(size_t index) {
  uint32_t offset = 0;
  for (size_t i = 0; i < index && i < kProfileCount; ++i) {
    if (i != kSharedProfileEntry) offset += ProfileTable[i].Size();
  }
  return offset;
}

static_assert(ProfileOffsetOf(3) == 0x02FE && ProfileOffsetOf(7) == 0x1402);
static_assert(ProfileOffsetOf(7) + ProfileTable[7].Size() == kProfileDataSize);

// The identifying text inside each profile, or null when it carries none.
constexpr std::array<const char*, kProfileCount> ProfileTexts = {{
    nullptr,
    nullptr,
    "This profile is for SST39VF020/SST39SF020 V1.2",
    "This profile is for SST39VF020/SST39SF020 V1.2",
    "This profile is for AMIC A29002 Top V1.2",
    "This profile is for SST39VF040/SST39SF040 V1.0",
    "This profile is for AMIC A290021 Top V1.0",
    "This profile is for SST39SF020 V1.0 in MVR553",
}};

// The kProfileDataSize bytes of profile data built into the program.
const uint8_t* ProfileData();

// True when the program carries the generated stand-in profiles instead of
// the drive maker's data. A stand-in must never reach a real drive.
bool ProfileDataIsStandIn();

}  // namespace flash
