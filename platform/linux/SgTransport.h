// The Linux back-end: optical drives found through sysfs, commands sent with
// SG_IO through sg3_utils' pass-through library.
#pragma once

#include <memory>
#include <string>

#include "platform/Transport.h"

namespace platform::linux_sg {

// `sysfsRoot` is "/sys" on a running system; tests point it at a fixture tree.
// `devRoot` is "/dev" likewise.
std::unique_ptr<DriveTransport> MakeSgTransport(const std::string& sysfsRoot = "/sys",
                                                const std::string& devRoot = "/dev");

}  // namespace platform::linux_sg
