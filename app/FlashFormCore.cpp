#include "app/FlashFormCore.h"

#include "app/Texts.h"

#include <exception>

#include "app/BuilderMode.h"
#include "app/IdentityCheck.h"
#include "app/StartUp.h"
#include "app/Texts.h"
#include "drive/CDDrive.h"
#include "drive/CDDrives.h"
#include "flash/FlashProfiles.h"
#include "flash/FlashRun.h"
#include "flash/VendorCommands.h"
#include "package/Classification.h"
#include "platform/Services.h"

FlashFormCore::FlashFormCore(const uint8_t* package, platform::FormView& view) : Package(package), view_(view) {}

FlashFormCore::~FlashFormCore() { FormDestroy(); }

// --- Events -------------------------------------------------------------------

void FlashFormCore::FormCreate() { app::StartUp(*this).Run(); }

void FlashFormCore::FormDestroy() {
  // Each only if it exists; every pointer is cleared, so a second call is harmless.
  for (std::unique_ptr<StringList>* list :
       {&ModelList, &InquiryList, &FWRangeList, &BINMaskList, &VendorList, &NoteList}) {
    list->reset();
  }
  CurrentDrive = nullptr;
  Drives.reset();
  if (TransferBuffer != nullptr) {
    // The drives must not keep a pointer to the buffer once it is gone.
    if (CDDrive::GetDataBuffer() == TransferBuffer) CDDrive::SetDataBuffer(nullptr, 0);
    delete[] TransferBuffer;
    TransferBuffer = nullptr;
  }
  delete[] BlockBuffer;
  BlockBuffer = nullptr;
  delete[] WorkBuffer;
  WorkBuffer = nullptr;
  WorkBufferSize = 0;
}

void FlashFormCore::ComboBoxChange() {
  if (BuildMode) {
    app::BuilderMode(*this).ModelChange();
    return;
  }
  const int entry = view_.ComboItemIndex();
  // A typed text leaves no entry selected: keep the drive that was current.
  if (entry < 0 || entry >= kDriveIndexSize || entry >= view_.ComboCount() || !Drives) return;
  Drives->Select(static_cast<int16_t>(DriveIndex[static_cast<size_t>(entry)]));
  CurrentDrive = Drives->Current;
}

void FlashFormCore::FileListBox1Click() { app::BuilderMode(*this).FileClick(); }

void FlashFormCore::Dispatch(void (FlashFormCore::*event)()) {
  std::string message;
  try {
    (this->*event)();
    return;
  } catch (const std::exception& error) {
    message = error.what();
  } catch (...) {
    message = "An unknown exception occurred.";
  }
  platform::SetDefaultCursor();
  platform::ShowException(message);
}

void FlashFormCore::FlashButtonClick() {
  if (BuildMode) {
    platform::SetHourglassCursor();
    NewBuildFlashProgram();
    platform::SetDefaultCursor();
    return;
  }
  const flash::FlashImage image{Package.BinArea(),
                                package::kBinAreaSize,
                                package::PackageView::SlotText(Package.Version(), 4),
                                Package.RestrictsFirmware(),
                                Package.IsFlashAll(),
                                package::PackageView::SlotText(Package.VendorSlot()),
                                package::PackageView::SlotText(Package.ModelSlot())};
  // Until the run says otherwise (an exception may end it anywhere), the drive may have been written.
  LastFlash = flash::FlashOutcome::Failed;
  RunFlashSequence([this, &image] { LastFlash = flash::RunFlash(*this, view_, image); });
}

// --- Methods ------------------------------------------------------------------

bool FlashFormCore::CheckCondition() {
  return app::CheckCondition(*Drives->Current, Package, Inquiry, FWLow, FWHigh);
}

void FlashFormCore::CheckNewFormatBIN() {
  BinLength = Package.BinLength();
  package::ClassifyImage(Package.BinArea(), ShortIdProfile, LongIdProfile);
}

bool FlashFormCore::RetriveINI() { return app::BuilderMode(*this).RetriveINI(); }

void FlashFormCore::NewBuildFlashProgram() { app::BuilderMode(*this).Build(); }

bool FlashFormCore::WriteE2(const uint8_t* Data, uint16_t Address, uint8_t Count) {
  return flash::VendorCommands(*this).WriteE2(Data, Address, Count);
}

bool FlashFormCore::WriteBuffer(uint32_t Offset, const uint8_t* Data, uint8_t Control, uint32_t Length) {
  return flash::VendorCommands(*this).WriteBuffer(Offset, Data, Control, Length);
}

bool FlashFormCore::ReadBuffer(uint32_t Offset, uint8_t* Data, uint32_t Length) {
  return flash::VendorCommands(*this).ReadBuffer(Offset, Data, Length);
}

bool FlashFormCore::SetupFlashProfile(uint8_t* Record) { return flash::SetupFlashProfile(*this, Record); }

bool FlashFormCore::ReadVerifyProfile(const uint8_t* Record) { return flash::ReadVerifyProfile(*this, Record); }

bool FlashFormCore::EntryCritical() { return flash::VendorCommands(*this).EntryCritical(); }

bool FlashFormCore::CheckDisc() { return flash::VendorCommands(*this).CheckDisc(); }

void FlashFormCore::ShowCaption(const std::string& caption) {
  const platform::DriveTransport* transport = CDDrive::GetTransport();
  const bool simulated = transport != nullptr && transport->IsSimulated();
  view_.SetCaption(simulated ? caption + texts::SimulatedDrivesSuffix : caption);
}
