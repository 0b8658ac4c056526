// Whether a drive fits the firmware package: its INQUIRY identification, and
// its firmware revision within the package's range.
#pragma once

#include <string>

#include "package/Package.h"

class CDDrive;

namespace app {

// The package's texts as the form keeps them for the check: the INQUIRY
// identification blank-filled to 24 characters, the range as 9 characters
// and its bounds as 4.
struct IdentityFields {
  std::string inquiry;
  std::string fwRange;
  std::string fwLow;
  std::string fwHigh;
};
IdentityFields FormatIdentityFields(const package::PackageView& package);

// Why a drive does not fit: None when it does.
enum class Misfit { None, Identity, Range };

// `inquiry`, `fwLow` and `fwHigh` are the form's formatted fields (24, 4 and
// 4 characters); the wildcards are tested on the package's slots themselves.
// Revisions compare as unsigned bytes, both bounds inclusive.
Misfit WhyNotFit(const CDDrive& drive, const package::PackageView& package, const std::string& inquiry,
                 const std::string& fwLow, const std::string& fwHigh);
bool CheckCondition(const CDDrive& drive, const package::PackageView& package, const std::string& inquiry,
                    const std::string& fwLow, const std::string& fwHigh);

}  // namespace app
