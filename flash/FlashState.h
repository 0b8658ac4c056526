// What the flash procedure works on: the main form holds these fields under
// these names (the form derives from this struct), and the flash run, the
// vendor commands and the profile steps read and write them.
#pragma once

#include <array>
#include <cstdint>

#include "platform/Transport.h"

class CDDrive;
struct DriveContext;

namespace flash {

// One image block: the size of the transfer buffer and of BlockBuffer.
constexpr uint32_t kBlockSize = 16384;

struct FlashState {
  bool ShortIdProfile = false;  // the image needs a short-ID flash profile
  bool LongIdProfile = false;   // the image needs a long-ID flash profile
  bool ProfileMatched = false;  // a profile matched the drive's flash chip in this run
  bool FlashAll = false;        // the package's Note reads "FLASH-ALL"
  uint32_t BinLength = 0;       // bytes of the image
  uint32_t ProfileRecordLength = 0;  // of the profile record being written
  uint32_t ProfileOffset = 0;        // of its profile in the profile data
  uint32_t ProfileHeaderLength = 0;  // of its header
  CDDrive* CurrentDrive = nullptr;   // the drive the commands go to (not owned)
  platform::Cdb CommandBlock{};      // the last vendor command sent
  uint8_t* WorkBuffer = nullptr;     // owned by the form: the profile record as sent
  uint8_t* BlockBuffer = nullptr;    // owned by the form: the block being written or read back
  uint32_t WorkBufferSize = 0;       // bytes allocated in WorkBuffer

  // The context of CurrentDrive (the class-wide one while there is none):
  // its data buffer, time-out and services are the run's.
  DriveContext& Context() const;
};

}  // namespace flash
