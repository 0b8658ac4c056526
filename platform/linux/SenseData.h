// Pure helpers of the SG_IO back-end: the classification of one command's
// outcome, with its sense data normalised (platform/Sense.h). They take
// plain values so that they can be tested (and fuzzed) without a device.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Sense.h"
#include "platform/Transport.h"

namespace platform::linux_sg {

// Linux host byte (SG_IO host_status) values that matter here.
constexpr int kDidOk = 0x00;
constexpr int kDidTimeOut = 0x03;

// What SG_IO and the pass-through library reported for one command.
struct RawResult {
  int doResult = 0;        // do_scsi_pt(): negative errno, 0, or a positive SCSI_PT_DO_* code
  int category = 0;        // get_scsi_pt_result_category() (0 good .. 4 OS error)
  int osError = 0;         // get_scsi_pt_os_err()
  int hostStatus = 0;      // get_scsi_pt_transport_err(): the Linux host byte
  int scsiStatus = 0;      // get_scsi_pt_status_response()
  const uint8_t* sense = nullptr;
  size_t senseLength = 0;  // get_scsi_pt_sense_len(), clamped to the buffer
  uint32_t length = 0;     // bytes of the data phase asked for
  int residual = 0;        // get_scsi_pt_resid(): bytes of it not transferred
};

// Folds the raw result into the drive layer's view: the transport went
// through unless the OS call failed, the library refused the request, or the
// host/driver reported an error (time-out included). A failure without an
// errno of its own is given one (ETIMEDOUT for a time-out, EIO for other
// host or driver errors, EINVAL for a request the library refused) so that
// the caller's error text never reads as success. The residual is kept
// within the data phase; a call that never reached the device moved nothing.
CommandOutcome ClassifyOutcome(const RawResult& raw);

}  // namespace platform::linux_sg
