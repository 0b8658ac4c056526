#include "app/IdentityCheck.h"

#include <cstring>

#include "drive/CDDrive.h"

namespace app {

bool CheckCondition(const CDDrive& drive, const package::PackageView& package, const std::string& inquiry,
                    const std::string& fwLow, const std::string& fwHigh) {
  const std::string identification = drive.GetVendorProduct();
  const std::string revision = drive.GetRevision();
  if (package.AcceptsEveryDrive()) return true;
  if (std::memcmp(identification.data(), inquiry.data(), 24) != 0) return false;
  if (!package.RestrictsFirmware()) return true;
  if (std::memcmp(revision.data(), fwLow.data(), 4) < 0) return false;
  if (std::memcmp(revision.data(), fwHigh.data(), 4) > 0) return false;
  return true;
}

}  // namespace app
