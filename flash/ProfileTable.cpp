#include "flash/ProfileTable.h"

// The profile data, embedded as initialised read-only data by ProfileData.S.
extern "C" const uint8_t flashutil_profile_data[];

namespace flash {

const uint8_t* ProfileData() { return flashutil_profile_data; }

bool ProfileDataIsStandIn() {
#if FLASHUTIL_PROFILE_DATA_STANDIN
  return true;
#else
  return false;
#endif
}

}  // namespace flash
