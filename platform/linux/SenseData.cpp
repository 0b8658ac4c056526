#include "platform/linux/SenseData.h"

#include <scsi/sg_pt.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform::linux_sg {

namespace {

constexpr uint8_t kFixedCurrent = 0x70;
constexpr uint8_t kFixedDeferred = 0x71;
constexpr uint8_t kDescriptorCurrent = 0x72;
constexpr uint8_t kDescriptorDeferred = 0x73;

// Descriptor types (SPC) that have a place in the fixed format.
constexpr uint8_t kInformationDescriptor = 0x00;
constexpr uint8_t kCommandSpecificDescriptor = 0x01;
constexpr uint8_t kSenseKeySpecificDescriptor = 0x02;
constexpr uint8_t kStreamCommandsDescriptor = 0x04;
constexpr uint8_t kBlockCommandsDescriptor = 0x05;

constexpr uint8_t kFilemarkBit = 0x80;
constexpr uint8_t kEomBit = 0x40;
constexpr uint8_t kIliBit = 0x20;

// Copies the low four bytes of an 8-byte big-endian field into `out` when
// the value fits in 32 bits; returns whether it did.
bool LowFourBytes(const uint8_t* field, uint8_t* out) {
  if (field[0] != 0 || field[1] != 0 || field[2] != 0 || field[3] != 0) {
    return false;
  }
  std::memcpy(out, field + 4, 4);
  return true;
}

SenseArea FromDescriptorFormat(const uint8_t* d, size_t length) {
  SenseArea fixed{};
  fixed[0] = (d[0] & 0x7F) == kDescriptorDeferred ? kFixedDeferred : kFixedCurrent;
  fixed[7] = 10;  // bytes 8 to 17 follow
  if (length > 1) fixed[2] = d[1] & 0x0F;
  if (length > 2) fixed[12] = d[2];
  if (length > 3) fixed[13] = d[3];
  if (length <= 8) {
    return fixed;
  }

  // Descriptors start at byte 8; byte 7 says how many bytes follow it. Never
  // look past what the device actually returned.
  const size_t end = std::min(length, static_cast<size_t>(8) + d[7]);
  size_t at = 8;
  while (at + 2 <= end) {
    const uint8_t type = d[at];
    const size_t size = static_cast<size_t>(d[at + 1]) + 2;
    if (at + size > end) {
      break;  // truncated descriptor
    }
    const uint8_t* desc = d + at;
    switch (type) {
      case kInformationDescriptor:
        if (size >= 12 && LowFourBytes(desc + 4, &fixed[3]) && (desc[2] & 0x80) != 0) {
          fixed[0] |= 0x80;  // information field valid
        }
        break;
      case kCommandSpecificDescriptor:
        if (size >= 12) LowFourBytes(desc + 4, &fixed[8]);
        break;
      case kSenseKeySpecificDescriptor:
        if (size >= 7) std::memcpy(&fixed[15], desc + 4, 3);
        break;
      case kStreamCommandsDescriptor:
        if (size >= 4) fixed[2] |= desc[3] & (kFilemarkBit | kEomBit | kIliBit);
        break;
      case kBlockCommandsDescriptor:
        if (size >= 4) fixed[2] |= desc[3] & kIliBit;
        break;
      default:
        break;
    }
    at += size;
  }
  return fixed;
}

}  // namespace

SenseArea NormaliseSense(const uint8_t* sense, size_t length) {
  SenseArea fixed{};
  if (sense == nullptr || length == 0) {
    return fixed;
  }
  const uint8_t responseCode = sense[0] & 0x7F;
  if (responseCode == kDescriptorCurrent || responseCode == kDescriptorDeferred) {
    return FromDescriptorFormat(sense, length);
  }
  std::memcpy(fixed.data(), sense, std::min(length, fixed.size()));
  return fixed;
}

CommandOutcome ClassifyOutcome(const RawResult& raw) {
  CommandOutcome outcome;

  if (raw.doResult < 0) {
    // The ioctl (or the library's preparation) failed: nothing reached the
    // device, so there is no status and no sense.
    outcome.sysError = -raw.doResult;
    outcome.timedOut = outcome.sysError == ETIMEDOUT;
    return outcome;
  }
  if (raw.doResult > 0) {
    // The library refused the request before sending it.
    outcome.timedOut = raw.doResult == SCSI_PT_DO_TIMEOUT;
    outcome.sysError = outcome.timedOut ? ETIMEDOUT : EINVAL;
    return outcome;
  }
  if (raw.category == SCSI_PT_RESULT_OS_ERR) {
    outcome.sysError = raw.osError != 0 ? raw.osError : EIO;
    outcome.timedOut = outcome.sysError == ETIMEDOUT;
    return outcome;
  }

  outcome.status = static_cast<uint8_t>(raw.scsiStatus & 0xFF);
  outcome.sense = NormaliseSense(raw.sense, raw.senseLength);
  if (raw.category == SCSI_PT_RESULT_TRANSPORT_ERR) {
    // Host or driver error: the command may not have completed at the device.
    outcome.timedOut = raw.hostStatus == kDidTimeOut;
    outcome.sysError = outcome.timedOut ? ETIMEDOUT : EIO;
    return outcome;
  }
  outcome.transportOk = true;
  return outcome;
}

}  // namespace platform::linux_sg
