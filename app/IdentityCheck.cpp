#include "app/IdentityCheck.h"

#include <cstring>

#include "drive/CDDrive.h"
#include "platform/Text.h"

namespace app {

using package::PackageView;

// The slots are copied through their width-limited text so that no format
// reads past a slot, whatever follows its terminating zero.
IdentityFields FormatIdentityFields(const PackageView& package) {
  const std::string range = PackageView::SlotText(package.FWRangeSlot());
  IdentityFields fields;
  fields.fwRange = platform::FormatText("%9.9s", range);
  fields.fwLow = platform::FormatText("%4.4s", range);
  fields.fwHigh = platform::FormatText("%4.4s", range.size() > 5 ? range.substr(5) : std::string());
  fields.inquiry = platform::FormatText("%-24.24s", PackageView::SlotText(package.InquirySlot()));
  return fields;
}

Misfit WhyNotFit(const CDDrive& drive, const PackageView& package, const std::string& inquiry,
                 const std::string& fwLow, const std::string& fwHigh) {
  const std::string identification = drive.GetVendorProduct();
  const std::string revision = drive.GetRevision();
  if (package.AcceptsEveryDrive()) return Misfit::None;
  if (std::memcmp(identification.data(), inquiry.data(), 24) != 0) return Misfit::Identity;
  if (!package.RestrictsFirmware()) return Misfit::None;
  if (std::memcmp(revision.data(), fwLow.data(), 4) < 0) return Misfit::Range;
  if (std::memcmp(revision.data(), fwHigh.data(), 4) > 0) return Misfit::Range;
  return Misfit::None;
}

bool CheckCondition(const CDDrive& drive, const PackageView& package, const std::string& inquiry,
                    const std::string& fwLow, const std::string& fwHigh) {
  return WhyNotFit(drive, package, inquiry, fwLow, fwHigh) == Misfit::None;
}

}  // namespace app
