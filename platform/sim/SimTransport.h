// Simulated drives: an in-process transport with configurable drives for
// trying every workflow without an optical drive, and for tests.
#pragma once

#include <memory>

#include "platform/Transport.h"

namespace platform::sim {

class SimTransport;

// The built-in set of drives of the flashutil-sim program.
std::unique_ptr<DriveTransport> MakeDefaultSimTransport();

}  // namespace platform::sim
