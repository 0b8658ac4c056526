#include "flash/ProfileTable.h"

// The profile data and its stand-in flag, embedded as initialised read-only
// data by ProfileData.S.
// (Assembler names as they stand: 32-bit Windows would prefix an underscore.)
extern "C" const uint8_t flashutil_profile_data[] __asm__("flashutil_profile_data");
extern "C" const uint8_t flashutil_profile_data_standin __asm__("flashutil_profile_data_standin");

namespace flash {

const uint8_t* ProfileData() { return flashutil_profile_data; }

bool ProfileDataIsStandIn() { return flashutil_profile_data_standin != 0; }

}  // namespace flash
