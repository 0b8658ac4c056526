// SHA-256 of a block of bytes, for the image checksums that flash programs
// are identified by.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using Sha256Digest = std::array<uint8_t, 32>;

Sha256Digest Sha256(const uint8_t* data, size_t size);

// The digest as 64 lower-case hexadecimal digits, as sha256sum prints it.
std::string Sha256Hex(const uint8_t* data, size_t size);

}  // namespace platform
