#include "platform/linux/SenseData.h"

#include <scsi/sg_pt.h>

#include <algorithm>
#include <cerrno>

namespace platform::linux_sg {

CommandOutcome ClassifyOutcome(const RawResult& raw) {
  CommandOutcome outcome;
  outcome.residual = raw.length;

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
  outcome.sense = platform::NormaliseSense(raw.sense, raw.senseLength);
  outcome.residual = raw.residual <= 0 ? 0 : std::min(static_cast<uint32_t>(raw.residual), raw.length);
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
