// The FLASH button: revision prompt, bringing the drive to rest, profile,
// BIN into DRAM, entry critical, profile check, read-back and compare, flash
// start, refreshed drive entry and the restart offer. Each phase is a short
// method of FlashRun; every failure is reported by the operation that failed,
// and the run appends its suffix to the status line and goes to Finish.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/FlashFormCore.h"
#include "drive/CDDrive.h"
#include "flash/ProfileTable.h"
#include "platform/Services.h"
#include "platform/Transport.h"

namespace {

constexpr uint32_t kBlockSize = FlashFormCore::kBlockSize;
constexpr int kMaxReadyPolls = 500;
constexpr unsigned kPollIntervalMs = 30;
constexpr uint16_t kNormalTimeOut = 60;
constexpr uint16_t kFlashStartTimeOut = 180;
constexpr int kFlashProgressMaximum = 200;
constexpr int kFlashProgressPosition = 198;

const char* const kInhibitReason = "Updating drive firmware";

// Unsigned byte order; a prefix is smaller than the longer text.
int CompareBytes(const std::string& a, const std::string& b) {
  const size_t common = std::min(a.size(), b.size());
  const int order = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
  if (order != 0) return order;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

std::string Format4(const std::string& text) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%4.4s", text.c_str());
  return buffer;
}

// Holds the sleep/shutdown inhibitor from the first write to the drive until
// the flash has its outcome, and lets go of it on every way out of the run.
class InhibitorLock {
 public:
  InhibitorLock() = default;
  ~InhibitorLock() { Release(); }
  InhibitorLock(const InhibitorLock&) = delete;
  InhibitorLock& operator=(const InhibitorLock&) = delete;

  void Take() {
    platform::SleepInhibitor* inhibitor = platform::GetServices().inhibitor;
    // Without logind the flash goes on unprotected, as it always did.
    if (inhibitor != nullptr && !taken_) taken_ = inhibitor->Acquire(platform::ApplicationTitle, kInhibitReason);
  }
  void Release() {
    if (!taken_) return;
    taken_ = false;
    if (platform::SleepInhibitor* inhibitor = platform::GetServices().inhibitor) inhibitor->Release();
  }

 private:
  bool taken_ = false;
};

class FlashRun {
 public:
  explicit FlashRun(FlashFormCore& form) : form_(form), drive_(*form.CurrentDrive) {}

  void Run() {
    form_.ProfileMatched = false;
    form_.ProfileRecordLength = 0;
    entry_ = form_.ComboItemIndex();
    if (!CanFlash()) return;
    if (!Confirm()) return;
    form_.FlashAll = std::memcmp(form_.Package.NoteSlot(), "FLASH-ALL", 9) == 0;
    BringToRest();
    SetUpProgress();

    lock_.Take();
    const bool flashed = Transfer();
    lock_.Release();  // before anything else is asked of the user
    if (flashed) {
      RefreshEntry();
      OfferRestart();
    }
    Finish();
  }

 private:
  const uint8_t* Bin() const { return form_.Package.BinArea(); }
  bool NeedsProfile() const { return form_.ShortIdProfile || form_.LongIdProfile; }

  void Status(const std::string& text) { form_.SetStatus(text); }
  void Append(const std::string& suffix) { form_.SetStatus(form_.GetStatus() + suffix); }
  void Position(uint32_t position) { form_.ProgressSetPosition(static_cast<int>(position)); }

  // Refusals that come before any question or command.
  bool CanFlash() {
    if (form_.BinLength == 0 || form_.BinLength > package::kBinAreaSize) {
      // Starting the drive's flash programming without a whole image in DRAM
      // would program whatever the DRAM holds.
      platform::ShowError("\nThis program carries no valid firmware image (" +
                          std::to_string(form_.BinLength) + " bytes).\n\nThe drive has not been touched.\n");
      return false;
    }
    const platform::DriveTransport* transport = CDDrive::GetTransport();
    const bool simulated = transport != nullptr && transport->IsSimulated();
    if (NeedsProfile() && flash::ProfileDataIsStandIn() && !simulated) {
      platform::ShowError(
          "\nThis program was built with stand-in flash-chip profiles, which must never be sent "
          "to a real drive.\n\nThis firmware needs a flash-chip profile: rebuild the program with "
          "the drive maker's profile data to flash it.\n\nThe drive has not been touched.\n");
      return false;
    }
    return true;
  }

  // Steps 1 and 2: the revision prompt.
  bool Confirm() {
    const std::string revision = drive_.GetRevision();
    const std::string version = Format4(package::PackageView::SlotText(form_.Package.Version(), 4));
    const char* range = form_.Package.FWRangeSlot();
    const bool rangeUnset = range[0] == '-' && range[5] == '-';
    const int order = CompareBytes(revision, version);
    const std::string update = "\nUpdate Firmware " + revision + " to " + version + " ?\n";
    std::string text = update;
    if (!rangeUnset && order >= 0) {
      text = "\nWARNING !!!" + std::string("\n\nYour drive Firmware ") + revision +
             " is aready the most updated !" + "\n" + update;
    }
    return order > 0 ? platform::AskWarningYesNo(text) : platform::AskConfirmationYesNo(text);
  }

  // A preparation command: sent, never judged.
  void Send(uint8_t opcode, uint8_t byte4) {
    form_.CommandBlock = {opcode, 0x00, 0x00, 0x00, byte4, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    drive_.SendCommand(opcode, 0x00, 0x00, 0x00, byte4, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 1, 0);
  }

  // Step 4: load, wait while the drive is becoming ready, stop.
  void BringToRest() {
    constexpr uint8_t kStartStopUnit = 0x1B, kTestUnitReady = 0x00, kStopPlayScan = 0x4E;
    Send(kStartStopUnit, 0x03);
    for (int poll = 0; poll < kMaxReadyPolls; ++poll) {
      platform::SleepMs(kPollIntervalMs);
      Send(kTestUnitReady, 0x00);
      Send(kStopPlayScan, 0x00);
      if (!drive_.CheckSense(0x02, 0x04, 0x01)) break;
    }
    Send(kStopPlayScan, 0x00);
    Send(kStartStopUnit, 0x00);
  }

  // Step 5.
  void SetUpProgress() {
    form_.ProgressSetRange(0, static_cast<int>(form_.BinLength));
    form_.ProgressSetStep(static_cast<int>(kBlockSize));
    if (form_.BlockBuffer == nullptr) form_.BlockBuffer = new uint8_t[kBlockSize]();
    platform::SetHourglassCursor();
  }

  // Steps 6 to 11; true when the drive accepted the flash start.
  bool Transfer() {
    if (NeedsProfile() && !WriteProfile()) return false;
    if (!WriteImage()) return false;
    if (form_.ShortIdProfile && !EnterCritical()) return false;
    if (!VerifyProfile()) return false;
    if (!VerifyImage()) return false;
    return StartFlash();
  }

  // Step 6: the profile record, kept in WorkBuffer exactly as sent.
  bool WriteProfile() {
    Status("Write profile to drive's DRAM... ");
    if (!form_.SetupFlashProfile(form_.BlockBuffer)) {
      Append(", Fail! ");
      return false;
    }
    if (form_.WorkBuffer == nullptr || form_.WorkBufferSize < form_.ProfileRecordLength) {
      delete[] form_.WorkBuffer;
      form_.WorkBuffer = new uint8_t[kBlockSize]();
      form_.WorkBufferSize = kBlockSize;
    }
    std::memcpy(form_.WorkBuffer, form_.BlockBuffer, form_.ProfileRecordLength);
    return true;
  }

  // Step 7: whole blocks from offset 0 until the offset reaches BinLength.
  // The last block is sent whole; BinLength never exceeds the BIN area and
  // offsets are multiples of the block size, so no block reaches past it.
  bool WriteImage() {
    Status("Write BIN to drive's DRAM... ");
    uint32_t position = 0;
    Position(position);
    while (position < form_.BinLength) {
      std::memcpy(form_.BlockBuffer, Bin() + position, kBlockSize);
      if (!form_.WriteBuffer(position, form_.BlockBuffer, 0x00, kBlockSize)) {
        Append(", Fail! ");
        return false;
      }
      position += kBlockSize;
      Position(position);
    }
    return true;
  }

  // Step 8, short-ID packages only.
  bool EnterCritical() {
    Status("Drive entry critical... ");
    if (!form_.EntryCritical()) {
      Append(", Fail! ");
      return false;
    }
    return true;
  }

  // Step 9.
  bool VerifyProfile() {
    Status("Read back and Verify drive's DRAM... ");
    if (form_.ProfileMatched && !form_.ReadVerifyProfile(form_.WorkBuffer)) {
      Append(", Valid Profile Fail!");
      return false;
    }
    return true;
  }

  // Step 10: every block read back and compared with the image.
  bool VerifyImage() {
    uint32_t position = 0;
    Position(position);
    while (position < form_.BinLength) {
      if (!form_.ReadBuffer(position, form_.BlockBuffer, kBlockSize)) {
        Append(", Read Fail! ");
        return false;
      }
      if (std::memcmp(form_.BlockBuffer, Bin() + position, kBlockSize) != 0) {
        Append(", Compare BIN and DRAM Fail! ");
        platform::ShowMessage("Compare BIN and DRAM fail!");
        return false;
      }
      position += kBlockSize;
      Position(position);
    }
    return true;
  }

  // Step 11: the drive programs its flash from DRAM under the long time-out.
  bool StartFlash() {
    Status("Don't turn off the system, Flash is in progress...");
    form_.ProgressSetRange(0, kFlashProgressMaximum);
    form_.ProgressSetPosition(kFlashProgressPosition);
    form_.ProgressSetStep(0);
    CDDrive::SetTimeOut(kFlashStartTimeOut);
    if (!form_.WriteBuffer(0, form_.WorkBuffer, form_.FlashAll ? 0xA0 : 0x80, 0)) {
      Status("Flash Fail.");  // the long time-out stays in force
      return false;
    }
    CDDrive::SetTimeOut(kNormalTimeOut);
    form_.ProgressSetPosition(kFlashProgressMaximum);
    Status("Flash Completed.");
    return true;
  }

  // Step 12: the drive's entry shows its new identity (or "0").
  void RefreshEntry() {
    const std::string identity = drive_.GetIdentity();
    // With no entry selected there is no entry to replace.
    if (entry_ < 0) return;
    form_.ComboInsert(entry_, identity);
    form_.ComboDelete(entry_ + 1);
    form_.ComboSetItemIndex(entry_);
    form_.ComboUpdate();
  }

  // Step 13.
  void OfferRestart() {
    if (!platform::AskConfirmationYesNo("The system needs to be restarted for the changes to take effect ?")) return;
    platform::SetDefaultCursor();
    if (platform::SystemRestart* restart = platform::GetServices().restart) restart->RequestReboot();
  }

  void Finish() {
    platform::SetDefaultCursor();
    form_.ProgressSetPosition(0);
  }

  FlashFormCore& form_;
  CDDrive& drive_;
  int entry_ = -1;
  InhibitorLock lock_;
};

}  // namespace

void FlashFormCore::FlashButtonClick() {
  if (BuildMode) {
    platform::SetHourglassCursor();
    NewBuildFlashProgram();
    platform::SetDefaultCursor();
    return;
  }
  FlashSequence();
}

void FlashFormCore::FlashSequence() {
  // Without a drive there is nothing to flash (start-up ended without one).
  if (CurrentDrive == nullptr) return;
  FlashRun(*this).Run();
}
