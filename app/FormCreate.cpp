// Start-up workflow: mode decision, warning, drive detection and listing.
#include <cstdio>
#include <cstring>

#include "app/FlashFormCore.h"
#include "app/Texts.h"
#include "drive/CDDrive.h"
#include "drive/CDDrives.h"
#include "platform/Services.h"

using package::PackageView;

namespace {

// printf-style formatting of one string into a fixed-width field.
std::string Format(const char* format, const char* text) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, text);
  return buffer;
}

// A slot as a zero-terminated text, never read past its width.
std::string Slot(const char* slot) { return PackageView::SlotText(slot); }

}  // namespace

bool FlashFormCore::HasFirmwareRestriction() const {
  const char* range = Package.FWRangeSlot();
  return !(range[0] == '-' && range[5] == '-');
}

void FlashFormCore::FormCreate() {
  ShortIdProfile = false;
  LongIdProfile = false;
  ProfileMatched = false;
  FlashAll = false;
  TransferBuffer = nullptr;
  WorkBuffer = nullptr;
  WorkBufferSize = 0;
  BlockBuffer = nullptr;

  SetCaption(texts::TitleText);

  BuildMode = Package.IsBuilder();
  if (BuildMode) {
    BuilderSetup();
    return;
  }

  // The slots are copied through their width-limited text so that no format
  // reads past a slot, whatever follows its terminating zero.
  const std::string vendorSlot = Slot(Package.VendorSlot());
  const std::string modelSlot = Slot(Package.ModelSlot());
  const std::string rangeSlot = Slot(Package.FWRangeSlot());
  const std::string inquirySlot = Slot(Package.InquirySlot());
  Vendor = Format("%s", vendorSlot.c_str());
  Model = Format("%s", modelSlot.c_str());
  FWRange = Format("%9.9s", rangeSlot.c_str());
  FWLow = Format("%4.4s", rangeSlot.c_str());
  FWHigh = Format("%4.4s", rangeSlot.size() > 5 ? rangeSlot.c_str() + 5 : "");
  Inquiry = Format("%-24.24s", inquirySlot.c_str());

  SetSelectDriveLabel("Select the " + Vendor + " drive you want to update:");

  const bool restricted = HasFirmwareRestriction();
  const std::string warning = restricted ? texts::RestrictedWarning(Vendor, Model, FWRange)
                                         : texts::PlainWarning(Vendor, Model);
  if (!platform::AskWarningYesNo(warning)) {
    RequestQuit(true);
    return;
  }

  FileListSetVisible(false);
  SetCaption(Vendor + texts::TitleText + Model);

  std::string report = restricted ? texts::RestrictedReportHeading(Model, FWRange)
                                  : texts::PlainReportHeading(Model);

  Drives = std::make_unique<CDDrives>();
  const int count = Drives->GetCount();
  if (count == 0) {
    report += "\nCan't find ATAPI Drive !\n";
    ComboSetItemIndex(-1);
    platform::ShowError(report);
    RequestQuit(true);
    return;
  }

  report += "\nDetected drives:\n" + std::string(59, '-') + "\n";
  int k = 0;
  for (int i = 0; i < count; ++i) {
    Drives->Select(static_cast<int16_t>(i));
    if (CheckCondition()) {
      // The table holds 20 entries: further fitting drives are not listed.
      if (k < kDriveIndexSize) {
        ComboAdd(Drives->Current->GetIdentity());
        DriveIndex[k] = i;
        ++k;
      }
    } else {
      report += Drives->Current->GetIdentity() + "\n";
    }
  }

  if (ComboCount() == 0) {
    platform::ShowError(report);
    RequestQuit(true);
    return;
  }

  ComboSetItemIndex(0);
  Drives->Select(static_cast<int16_t>(DriveIndex[0]));
  uint8_t* buffer = new uint8_t[kBlockSize]();
  CDDrive::SetDataBuffer(buffer, kBlockSize);
  TransferBuffer = CDDrive::GetDataBuffer();
  CheckNewFormatBIN();
  ComboBoxChange();
}

void FlashFormCore::ComboBoxChange() {
  if (BuildMode) {
    BuilderComboBoxChange();
    return;
  }
  const int entry = ComboItemIndex();
  // A typed text leaves no entry selected: keep the drive that was current.
  if (entry < 0 || entry >= kDriveIndexSize || entry >= ComboCount() || !Drives) return;
  Drives->Select(static_cast<int16_t>(DriveIndex[entry]));
  CurrentDrive = Drives->Current;
}

bool FlashFormCore::CheckCondition() {
  const std::string identification = Drives->Current->GetVendorProduct();
  const std::string revision = Drives->Current->GetRevision();
  const char* inquirySlot = Package.InquirySlot();
  if (inquirySlot[0] == '-' && inquirySlot[1] == '-') return true;
  if (std::memcmp(identification.data(), Inquiry.data(), 24) != 0) return false;
  if (!HasFirmwareRestriction()) return true;
  // Unsigned byte order over the 4 characters; both bounds inclusive.
  if (std::memcmp(revision.data(), FWLow.data(), 4) < 0) return false;
  if (std::memcmp(revision.data(), FWHigh.data(), 4) > 0) return false;
  return true;
}
