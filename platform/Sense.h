// Sense data as the drive layer reads it: in fixed-format positions,
// whatever format the drive answered in. Every back-end (SG_IO on Linux,
// pass-through and the ASPI library on Windows) passes the sense bytes that
// came back through this one function.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace platform {

using SenseArea = std::array<uint8_t, 32>;

// Sense data rewritten into fixed-format positions: response code in byte 0
// (0x70 current, 0x71 deferred), filemark/EOM/ILI bits and sense key in
// byte 2, information in bytes 3-6, additional length in byte 7,
// command-specific information in bytes 8-11, ASC in 12, ASCQ in 13,
// sense-key-specific bytes in 15-17.
//
// `length` is the number of valid bytes the device returned; bytes beyond it
// are never read. Fixed-format data (0x70/0x71) is copied as it stands
// (at most 32 bytes). Descriptor-format data (0x72/0x73) is converted; only
// the descriptors that came back whole are read. Anything else (no data, or
// an unknown response code such as vendor-specific 0x7F) is copied as it
// stands, since the drive layer reads bytes 2, 12 and 13 of whatever came
// back. No data gives all zeros.
SenseArea NormaliseSense(const uint8_t* sense, size_t length);

}  // namespace platform
