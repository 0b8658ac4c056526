#include "platform/Sense.h"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {

constexpr uint8_t kFixedCurrent = 0x70;
constexpr uint8_t kFixedDeferred = 0x71;
constexpr uint8_t kDescriptorCurrent = 0x72;
constexpr uint8_t kDescriptorDeferred = 0x73;

// Descriptor types (SPC) read here.
constexpr uint8_t kInformationDescriptor = 0x00;
constexpr uint8_t kCommandSpecificDescriptor = 0x01;
constexpr uint8_t kSenseKeySpecificDescriptor = 0x02;
constexpr uint8_t kStreamCommandsDescriptor = 0x04;
constexpr uint8_t kBlockCommandsDescriptor = 0x05;

constexpr uint8_t kFilemarkBit = 0x80;
constexpr uint8_t kEomBit = 0x40;
constexpr uint8_t kIliBit = 0x20;
constexpr uint8_t kValidBit = 0x80;

constexpr size_t kHeaderLength = 8;

void PutBe32(uint8_t* out, uint64_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

uint64_t Be64(const uint8_t* in) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | in[i];
  return value;
}

// The descriptors of descriptor-format sense that came back whole: the
// additional length and each descriptor's own length are believed only as
// far as the bytes the device returned go.
class Descriptors {
 public:
  Descriptors(const uint8_t* sense, size_t length) : sense_(sense) {
    if (length < kHeaderLength) return;
    end_ = std::min(length, kHeaderLength + sense[7]);
    size_t at = kHeaderLength;
    while (at + 2 <= end_ && at + 2 + sense[at + 1] <= end_) at += 2 + sense[at + 1];
    end_ = at;
  }
  // The first descriptor of that type, when its own length is at least
  // `minimum` (exactly `minimum` when `exact`); null otherwise.
  const uint8_t* Find(uint8_t type, uint8_t minimum, bool exact = false) const {
    for (size_t at = kHeaderLength; at < end_; at += 2 + sense_[at + 1]) {
      if (sense_[at] != type) continue;
      const uint8_t own = sense_[at + 1];
      return (exact ? own == minimum : own >= minimum) ? sense_ + at : nullptr;
    }
    return nullptr;
  }

 private:
  const uint8_t* sense_;
  size_t end_ = 0;
};

SenseArea FromDescriptorFormat(const uint8_t* d, size_t length) {
  SenseArea fixed{};
  fixed[0] = (d[0] & 0x7F) == kDescriptorDeferred ? kFixedDeferred : kFixedCurrent;
  if (length > 1) fixed[2] = d[1] & 0x0F;
  fixed[7] = 10;  // bytes 8 to 17 follow
  if (length > 2) fixed[12] = d[2];
  if (length > 3) fixed[13] = d[3];

  const Descriptors descriptors(d, length);
  uint8_t bits = 0;
  if (const uint8_t* stream = descriptors.Find(kStreamCommandsDescriptor, 2)) {
    bits |= stream[3] & (kFilemarkBit | kEomBit | kIliBit);
  }
  // The block commands descriptor carries ILI only.
  if (const uint8_t* block = descriptors.Find(kBlockCommandsDescriptor, 2)) bits |= block[3] & kIliBit;
  fixed[2] |= bits;

  // The information and command-specific fields have a fixed-format place
  // only when their value fits in 32 bits.
  if (const uint8_t* information = descriptors.Find(kInformationDescriptor, 0x0A, true)) {
    const uint64_t value = Be64(information + 4);
    if (value <= 0xFFFFFFFFu) {
      PutBe32(&fixed[3], value);
      if ((information[2] & kValidBit) != 0) fixed[0] |= kValidBit;
    }
  }
  if (const uint8_t* specific = descriptors.Find(kCommandSpecificDescriptor, 0x0A, true)) {
    const uint64_t value = Be64(specific + 4);
    if (value <= 0xFFFFFFFFu) PutBe32(&fixed[8], value);
  }
  if (const uint8_t* keySpecific = descriptors.Find(kSenseKeySpecificDescriptor, 5)) {
    std::memcpy(&fixed[15], keySpecific + 4, 3);
  }
  return fixed;
}

}  // namespace

SenseArea NormaliseSense(const uint8_t* sense, size_t length) {
  SenseArea fixed{};
  if (sense == nullptr || length == 0) return fixed;
  const uint8_t responseCode = sense[0] & 0x7F;
  if (responseCode == kDescriptorCurrent || responseCode == kDescriptorDeferred) {
    return FromDescriptorFormat(sense, length);
  }
  std::memcpy(fixed.data(), sense, std::min(length, fixed.size()));
  return fixed;
}

}  // namespace platform
