// The FLASH button in flash mode: revision prompt, bringing the drive to
// rest, profile, image into DRAM, entry critical, profile check, read-back
// and compare, flash start, refreshed drive entry and the restart offer.
#pragma once

#include <cstdint>
#include <string>

#include "flash/FlashState.h"
#include "platform/FormView.h"

namespace flash {

// The image a run writes, and what the run needs to know of the package
// that carries it.
struct FlashImage {
  const uint8_t* bin = nullptr;  // the package's image area
  uint32_t areaSize = 0;         // its size: no block is read beyond it
  std::string version;           // the package's firmware version (up to 4 characters)
  bool rangeRestricted = false;  // the package accepts only a range of firmware revisions
  bool flashAll = false;         // the package asks for the whole-flash write
  std::string vendor;            // the package's vendor and model, for the flash's transcript
  std::string model;
};

// What a run came to.
enum class FlashOutcome {
  NothingWritten,  // refused, declined or stopped before its first write to the drive
  Failed,          // the drive was written, and a step failed
  Completed,       // the drive accepted the flash start: "Flash Completed."
};

// Runs one flash of `image` into state.CurrentDrive, showing its progress in
// `view`. Every failure is reported by the operation that failed; the run
// then appends its suffix to the status line and stops. Where the services
// have a transcript store, the run leaves a transcript of its commands and
// of what the user was shown (platform/Transcript.h).
FlashOutcome RunFlash(FlashState& state, platform::FormView& view, const FlashImage& image);

// The plain box that answers Yes to the restart offer where the drives are
// simulated (nothing is restarted).
const char* SimulatedRestartText();

// The restart offer after a completed flash.
const char* RestartQuestionText();

}  // namespace flash
