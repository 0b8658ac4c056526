// The drives of flashutil-pack-sim, a program of the tests: the simulated
// drives of flashutil-sim, with what its tests ask of them besides their
// work (--simulate) and a journal of every command that reached them
// (--drive-log), which a test reads even when the program's own output was
// lost.
#pragma once

#include <string>

#include "pack/DriveCommands.h"

namespace pack {

// `simulate`: a comma-separated list of corrupt-read-back (one byte of
// every read-back differs), slow-ready (200 readiness polls), slow-block
// (the image's middle block takes 2 s), slow-flash-start (2 s) and
// block-nodes (each drive has a block node, /dev/sim-srN, beside its
// /dev/sim-sgN) and safe-commands-only (each drive has only its block
// node, through which the system passes only its safe commands) and tower
// (three more drives of the first drive's model and revision, at
// /dev/sim-sg5 to /dev/sim-sg7); a behaviour followed by @NODE is that
// drive's alone (corrupt-read-back@/dev/sim-sg6); empty: none. `driveLog`: the file each command is appended to as it reaches a
// drive (its node and 12 bytes); empty: none. `driveState`: the file that
// keeps each drive's firmware revision from one run to the next (a drive
// flashed by one run has the new revision in the next); empty: none. Sets
// `maker` and returns an empty text, or returns what is wrong with the options.
std::string MakeSimulatedDrives(const std::string& simulate, const std::string& driveLog, const std::string& driveState,
                                TransportMaker& maker);

}  // namespace pack
