#include "app/StartUp.h"

#include "app/BuilderMode.h"
#include "app/FlashFormCore.h"
#include "app/IdentityCheck.h"
#include "app/Texts.h"
#include "drive/CDDrive.h"
#include "drive/CDDrives.h"
#include "platform/Services.h"
#include "platform/Text.h"

namespace app {

using package::PackageView;

StartUp::StartUp(FlashFormCore& form) : form_(form), view_(form.View()) {}

void StartUp::Run() {
  ResetFlagsAndBuffers();
  form_.ShowCaption(texts::TitleText);
  form_.BuildMode = form_.Package.IsBuilder();
  if (form_.BuildMode) {
    BuilderMode(form_).SetUp();
    return;
  }
  TakePackageTexts();
  view_.SetSelectDriveLabel("Select the " + form_.Vendor + " drive you want to update:");
  if (!Warn()) return;
  view_.FileListSetVisible(false);
  form_.ShowCaption(form_.Vendor + texts::TitleText + form_.Model);

  const bool restricted = form_.Package.RestrictsFirmware();
  std::string report = restricted ? texts::RestrictedReportHeading(form_.Model, form_.FWRange)
                                  : texts::PlainReportHeading(form_.Model);
  if (DetectDrives(report) && ListFittingDrives(report)) SelectFirstDrive();
}

void StartUp::ResetFlagsAndBuffers() {
  form_.ShortIdProfile = false;
  form_.LongIdProfile = false;
  form_.ProfileMatched = false;
  form_.FlashAll = false;
  form_.TransferBuffer = nullptr;
  form_.WorkBuffer = nullptr;
  form_.WorkBufferSize = 0;
  form_.BlockBuffer = nullptr;
}

void StartUp::TakePackageTexts() {
  const PackageView& package = form_.Package;
  const IdentityFields fields = FormatIdentityFields(package);
  form_.Vendor = platform::FormatText("%s", PackageView::SlotText(package.VendorSlot()));
  form_.Model = platform::FormatText("%s", PackageView::SlotText(package.ModelSlot()));
  form_.FWRange = fields.fwRange;
  form_.FWLow = fields.fwLow;
  form_.FWHigh = fields.fwHigh;
  form_.Inquiry = fields.inquiry;
}

bool StartUp::Warn() {
  const std::string warning = form_.Package.RestrictsFirmware()
                                  ? texts::RestrictedWarning(form_.Vendor, form_.Model, form_.FWRange)
                                  : texts::PlainWarning(form_.Vendor, form_.Model);
  if (platform::AskWarningYesNo(warning)) return true;
  view_.RequestQuit(true);
  return false;
}

bool StartUp::DetectDrives(std::string& report) {
  form_.Drives = std::make_unique<CDDrives>();
  if (form_.Drives->GetCount() > 0) return true;
  report += "\nCan't find ATAPI Drive !\n";
  report += texts::EmptyListCauseLine(ExplainEmptyList(form_.Drives->Facts, form_.Drives->Refusals));
  view_.ComboSetItemIndex(-1);
  Refuse(report);
  return false;
}

// Lists the drives that fit in the box; the others go into the report.
bool StartUp::ListFittingDrives(std::string& report) {
  report += "\nDetected drives:\n" + std::string(59, '-') + "\n";
  int k = 0;
  for (int i = 0; i < form_.Drives->GetCount(); ++i) {
    form_.Drives->Select(static_cast<int16_t>(i));
    if (!form_.CheckCondition()) {
      report += form_.Drives->Current->GetIdentity() + "\n";
    } else if (k < FlashFormCore::kDriveIndexSize) {
      // The table holds 20 entries: further fitting drives are not listed.
      view_.ComboAdd(form_.Drives->Current->GetIdentity());
      form_.DriveIndex[static_cast<size_t>(k++)] = i;
    }
  }
  if (view_.ComboCount() > 0) return true;
  Refuse(report);
  return false;
}

void StartUp::SelectFirstDrive() {
  view_.ComboSetItemIndex(0);
  form_.Drives->Select(static_cast<int16_t>(form_.DriveIndex[0]));
  uint8_t* buffer = new uint8_t[FlashFormCore::kBlockSize]();
  CDDrive::SetDataBuffer(buffer, FlashFormCore::kBlockSize);
  form_.TransferBuffer = CDDrive::GetDataBuffer();
  form_.CheckNewFormatBIN();
  form_.ComboBoxChange();
}

void StartUp::Refuse(const std::string& report) {
  platform::ShowError(report);
  view_.RequestQuit(true);
}

}  // namespace app
