// The Windows back-end of the two access paths. On NT-family systems the
// drives are the CD-ROM drive letters, opened as "\\.\X:" and sent commands
// with IOCTL_SCSI_PASS_THROUGH_DIRECT; outside the NT family they are
// reached through WNASPI32.DLL, loaded at run time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/CommandLibrary.h"
#include "platform/Transport.h"

namespace platform::win {

// The pass-through transport: discovery by drive letter, the drive-letter device, DeviceIoControl.
std::unique_ptr<DriveTransport> MakePassThroughTransport();

// What one pass-through call reported, as the drive layer sees it. `ok` and
// `error` are DeviceIoControl's result and the system's code after it; the
// rest is what the driver left in the request: the SCSI status, the sense
// area with the number of bytes it filled (SenseInfoLength on return), and
// the bytes it transferred of the `length` asked for. The sense comes out in
// fixed-format positions whatever format the drive answered in; a failed
// call transferred nothing.
CommandOutcome PassThroughOutcome(bool ok, uint32_t error, uint8_t scsiStatus, const uint8_t* sense,
                                  size_t senseLength, uint32_t length, uint32_t transferred);

// How the system's refusal to hold a drive for a flash reads. True when the
// code says that another program uses the drive: it has the drive letter's
// device or a file of its disc open, or it locked the volume.
bool MeansInUse(uint32_t error);
// True when locking the drive's volume failed only because it has no file
// system to lock (no disc, a blank or an audio disc): the exclusive handle
// alone holds the drive then.
bool NothingToLock(uint32_t error);

// GetVersionExA decides the path; LoadLibraryA loads the ASPI library.
std::unique_ptr<CommandLibraryPath> MakeCommandLibraryPath();

// The system's message text for an error code (FormatMessageA into an
// 80-character buffer, as it comes, line end included); empty when the
// system has none or it does not fit.
std::string SystemErrorText(uint32_t code);

}  // namespace platform::win
