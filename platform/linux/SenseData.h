// Pure helpers of the SG_IO back-end: sense data normalisation and the
// classification of one command's outcome. They take plain values so that
// they can be tested (and fuzzed) without a device.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/Transport.h"

namespace platform::linux_sg {

using SenseArea = std::array<uint8_t, 32>;

// Linux host byte (SG_IO host_status) values that matter here.
constexpr int kDidOk = 0x00;
constexpr int kDidTimeOut = 0x03;

// Sense data rewritten into fixed-format positions: response code in byte 0
// (0x70 current, 0x71 deferred), filemark/EOM/ILI bits and sense key in
// byte 2, information in bytes 3-6, additional length in byte 7,
// command-specific information in bytes 8-11, ASC in 12, ASCQ in 13,
// sense-key-specific bytes in 15-17.
//
// `length` is the number of valid bytes the device returned; bytes beyond it
// are never read. Fixed-format data (0x70/0x71) is copied as it stands
// (at most 32 bytes). Descriptor-format data (0x72/0x73) is converted.
// Anything else (no data, or an unknown response code such as vendor-specific
// 0x7F) is copied as it stands, since the drive layer reads bytes 2, 12 and 13
// of whatever came back. No data gives all zeros.
SenseArea NormaliseSense(const uint8_t* sense, size_t length);

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
