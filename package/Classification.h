// Classification of a firmware image: which kind of flash profile it needs.
#pragma once

#include <cstdint>

namespace package {

// Looks for the image signature 0x05 0x80 at the probe offsets of `bin` (the
// BIN area, read whole whatever the image's length) and sets the flags:
// a long-ID profile for the DVD-ROM and COMBO models named behind a
// signature, a short-ID profile for the signature at 0x1100, neither when no
// signature is found. A signature at a long-ID probe without one of those
// model names leaves both flags as they were.
void ClassifyImage(const uint8_t* bin, bool& shortIdProfile, bool& longIdProfile);

}  // namespace package
