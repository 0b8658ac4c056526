// Flashing with one command what the command line finds: every drive a
// program fits (flash --all), several of them at once (--parallel), a dry
// run that says what a flash would do (--check), and one JSON object on
// standard output (--json). Each drive is flashed as a single flash is, with
// its own transcript, in a drive context and a service context of its own,
// so that a flash never sees another's time-out, data buffer, boxes, stop
// requests or transcript.
#pragma once

#include <string>
#include <vector>

#include "package/Package.h"

class CDDrive;
class CDDrives;

namespace pack {

// The drives that already have the image's version where the image accepts
// only a range of revisions below it: their identity fits, and their
// revision, outside the range, is the image's version. The start-up does
// not list them; a flash with --yes finds them up to date.
std::vector<CDDrive*> UpToDateDrives(const CDDrives& drives, const package::PackageView& package);

// What became of one drive.
struct DriveResult {
  std::string node, address, physicalPath;
  std::string before, after;  // firmware revisions; after: empty until known
  // "flashed", "up-to-date", "would-flash", "failed", "refused" or "interrupted".
  std::string result;
  bool changed = false;      // the drive was written to
  std::string failure;       // why it failed, was refused or interrupted; empty otherwise
  std::string transcript;    // the flash's transcript; empty when it left none
};

// The exit status of the drives' results: 1 when any failed (or was
// declined at its question, as a single flash's status has it), 128 + the
// signal when a request to stop (`signal`, 0: none) left a drive
// interrupted, 2 when any was refused, otherwise 0 (flashed, up to date,
// or for a check: it would flash).
int FleetStatus(const std::vector<DriveResult>& results, int signal);

// The table that ends a flash of several drives: a line per drive with its
// node, SCSI address, physical path, firmware before and after, result
// (with the failure's text) and transcript, the columns as wide as their
// widest entry.
std::string ResultTable(const std::vector<DriveResult>& results);

// The program a JSON report names; empty texts are null.
struct ProgramFacts {
  std::string file, vendor, model, version, sha256;
  bool read = false;  // the file was read as a flash program
};

// The JSON object of a flash: {"program": {"file", "vendor", "model",
// "version", "image_sha256"}, "check", "simulated", "status", "changed",
// "error", "drives": [{"node", "address", "physical_path",
// "firmware_before", "firmware_after", "result", "changed", "failure",
// "transcript"}]}, on one line.
std::string FleetJson(const ProgramFacts& program, bool check, bool simulated, int status, const std::string& error,
                      const std::vector<DriveResult>& results);

}  // namespace pack
