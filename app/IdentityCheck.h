// Whether a drive fits the firmware package: its INQUIRY identification, and
// its firmware revision within the package's range.
#pragma once

#include <string>

#include "package/Package.h"

class CDDrive;

namespace app {

// `inquiry`, `fwLow` and `fwHigh` are the form's formatted fields (24, 4 and
// 4 characters); the wildcards are tested on the package's slots themselves.
// Revisions compare as unsigned bytes, both bounds inclusive.
bool CheckCondition(const CDDrive& drive, const package::PackageView& package, const std::string& inquiry,
                    const std::string& fwLow, const std::string& fwHigh);

}  // namespace app
