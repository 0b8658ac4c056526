// Flash-chip profiles: read the drive's flash-chip ID, pick the matching
// profile, write the profile record into the drive's DRAM and check it later.
#pragma once

#include <cstdint>

#include "flash/FlashState.h"

namespace flash {

// The profile record chosen for a flash-chip ID.
struct ProfileChoice {
  bool matched = false;
  uint32_t offset = 0;        // of the profile in the profile data
  uint32_t headerLength = 0;  // 4 for a short-ID record, 6 for a long-ID one
  uint32_t recordLength = 0;  // header, profile and the pad byte of an odd profile
};

// Picks the profile for `flashId` and writes its record into `record`, which
// holds the largest record and its pad byte (kMaxProfileRecordSize + 1).
// Without a match the record is the short header FF FF 00 00.
ProfileChoice MakeProfileRecord(const uint8_t (&flashId)[4], bool longId, uint8_t* record);

// Reads the flash-chip ID, builds the record in `record` and writes it into
// the drive's DRAM; sets ProfileMatched and the profile fields of `state`.
bool SetupFlashProfile(FlashState& state, uint8_t* record);

// Checks the record written by SetupFlashProfile against `record`, the copy
// kept as it was sent: a short-ID record is read back from the drive; a
// long-ID record lies where the image has been written since, so only the
// kept copy is compared with the profile data.
bool ReadVerifyProfile(FlashState& state, const uint8_t* record);

}  // namespace flash
