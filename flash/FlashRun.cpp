#include "flash/FlashRun.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "drive/CDDrive.h"
#include "flash/CommandBlocks.h"
#include "flash/FlashProfiles.h"
#include "flash/ProfileTable.h"
#include "flash/VendorCommands.h"
#include "platform/Services.h"
#include "platform/Sha256.h"
#include "platform/Text.h"
#include "platform/Transcript.h"

namespace flash {

namespace {

constexpr int kMaxReadyPolls = 500;
constexpr unsigned kPollIntervalMs = 30;
constexpr uint16_t kNormalTimeOut = 60;
constexpr uint16_t kFlashStartTimeOut = 180;
constexpr int kFlashProgressMaximum = 200;
constexpr int kFlashProgressPosition = 198;

const char* const kInhibitReason = "Updating drive firmware";
const char* const kRestartQuestion = "The system needs to be restarted for the changes to take effect ?";
// The answer to Yes at the restart offer of a program on simulated drives.
const char* const kSimulatedRestartText =
    "\nThis program flashes simulated drives: the system has not been restarted.\n";

// Unsigned byte order; a prefix is smaller than the longer text.
int CompareBytes(const std::string& a, const std::string& b) {
  const size_t common = std::min(a.size(), b.size());
  const int order = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
  if (order != 0) return order;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// Holds the inhibitor of sleep, shutdown, logout and the lid and power keys
// from the first write to the drive until the drive's new identity is read
// (or the failure shown), and lets go of it on every way out of the run.
class InhibitorLock {
 public:
  explicit InhibitorLock(platform::ServiceContext& context) : context_(context) {}
  ~InhibitorLock() { Release(); }
  InhibitorLock(const InhibitorLock&) = delete;
  InhibitorLock& operator=(const InhibitorLock&) = delete;

  void Take() {
    platform::SleepInhibitor* inhibitor = context_.services.inhibitor;
    // Without logind the flash goes on unprotected, as it always did.
    if (inhibitor != nullptr && !taken_) taken_ = inhibitor->Acquire(platform::ApplicationTitle, kInhibitReason);
  }
  void Release() {
    if (!taken_) return;
    taken_ = false;
    if (platform::SleepInhibitor* inhibitor = context_.services.inhibitor) inhibitor->Release();
  }

 private:
  platform::ServiceContext& context_;
  bool taken_ = false;
};

// The flash's critical section, from the first write to the drive on: a
// request to stop is held off meanwhile (platform::StopRequests). It ends
// on every way out of the run, an exception included.
class CriticalSection {
 public:
  explicit CriticalSection(platform::ServiceContext& context) : context_(context) {}
  ~CriticalSection() { End(); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  // False when a request to stop came first: nothing may be written.
  bool Begin(platform::Transcript* transcript) {
    begun_ = platform::BeginWriting(context_, transcript);
    return begun_;
  }
  // The request held off meanwhile; empty when none came.
  std::string End() {
    if (!begun_) return {};
    begun_ = false;
    return platform::EndWriting(context_);
  }

 private:
  platform::ServiceContext& context_;
  bool begun_ = false;
};

// Holds the drive exclusively from the first command that changes its state
// until the flash has its outcome, so that no other program sends it
// commands between two blocks and no disc of it is mounted meanwhile.
class ExclusiveHold {
 public:
  explicit ExclusiveHold(CDDrive& drive) : drive_(drive) {}
  ~ExclusiveHold() { Release(); }
  ExclusiveHold(const ExclusiveHold&) = delete;
  ExclusiveHold& operator=(const ExclusiveHold&) = delete;

  // False, with the reason shown, when the drive cannot be held.
  bool Take() {
    const platform::HoldOutcome outcome = drive_.LockExclusive();
    if (outcome.sysError == 0) {
      held_ = true;
      return true;
    }
    const std::string& node = outcome.node;
    if (outcome.inUse) {
      platform::ShowError(drive_.Context().Platform(), "\nAnother program is using the drive: " + node +
                          " is busy.\n\nA mounted disc, a burning program or a player may hold it. Unmount or "
                          "eject the disc and close those programs, then press FLASH again.\n\nThe drive has "
                          "not been touched.\n");
    } else {
      platform::ShowError(drive_.Context().Platform(), "\nThe drive cannot be held for the flash: " + node + ": " +
                          drive_.GetSystemErrorText(outcome.sysError) +
                          "\n\nThe drive has not been touched.\n");
    }
    return false;
  }
  void Release() {
    if (!held_) return;
    held_ = false;
    drive_.UnlockExclusive();
  }

 private:
  CDDrive& drive_;
  bool held_ = false;
};

// The transcript of one run, active while the run lasts: made when the
// services have a store, and ended on every way out of the run ("end
// exception" when an exception ends it).
class TranscriptScope {
 public:
  TranscriptScope(CDDrive& drive, const FlashState& state, const FlashImage& image)
      : context_(drive.Context().Platform()) {
    platform::TranscriptStore* store = context_.services.transcripts;
    if (store == nullptr) return;
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (const std::tm* broken = std::gmtime(&now)) utc = *broken;
    char stamp[32], started[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%SZ", &utc);
    std::strftime(started, sizeof started, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::unique_ptr<platform::TranscriptSink> sink =
        store->Create(std::string("flash-") + stamp + "-" + DriveName(drive) + ".txt");
    if (sink == nullptr) return;

    platform::TranscriptHeader header;
    header.programVersion = platform::ProgramVersion();
    header.commandLine = context_.services.commandLine;
    header.started = started;
    header.packageVendor = image.vendor;
    header.packageModel = image.model;
    header.packageVersion = image.version;
    header.imageLength = std::min(state.BinLength, image.areaSize);
    header.imageSha256 = ImageSha256(image.bin, header.imageLength);
    header.driveNode = drive.GetNode().empty() ? drive.Device.Name() : drive.GetNode();
    header.host = drive.HostAdapter;
    header.channel = drive.Device.channel;
    header.target = drive.Target;
    header.lun = drive.Lun;
    header.driveIdentity = drive.Identity;
    if (drive.Identity.find(": ") == std::string::npos) header.foundIdentity = drive.FoundIdentity;
    transcript_ = std::make_unique<platform::Transcript>(std::move(sink), header);
    context_.SetActiveTranscript(transcript_.get());
  }
  ~TranscriptScope() {
    if (!transcript_) return;
    transcript_->End(std::uncaught_exceptions() > 0);
    context_.SetActiveTranscript(nullptr);
  }
  TranscriptScope(const TranscriptScope&) = delete;
  TranscriptScope& operator=(const TranscriptScope&) = delete;

  platform::Transcript* Get() const { return transcript_.get(); }

 private:
  // The SHA-256 of the image, computed once for the bytes it was last
  // computed for: the window may flash the same image again (and the tests
  // flash it hundreds of times); a copy of those bytes tells it exactly.
  static std::string ImageSha256(const uint8_t* bin, uint32_t length) {
    static std::mutex mutex;
    static std::vector<uint8_t> bytes;
    static std::string digest;
    const std::lock_guard<std::mutex> lock(mutex);
    if (bytes.size() == length && (length == 0 || std::memcmp(bytes.data(), bin, length) == 0) && !digest.empty()) {
      return digest;
    }
    bytes.assign(bin, bin + length);
    digest = platform::Sha256Hex(bin, length);
    return digest;
  }

  // The drive's node without its folders ("sg1"), or its address: letters,
  // digits and dashes only, for a file name.
  static std::string DriveName(const CDDrive& drive) {
    std::string node = drive.GetNode();
    const size_t slash = node.find_last_of("/\\");
    if (slash != std::string::npos) node.erase(0, slash + 1);
    std::string name;
    for (const char c : node) {
      if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) name += c;
    }
    if (name.empty()) {
      name = std::to_string(drive.HostAdapter) + "-" + std::to_string(drive.Target) + "-" + std::to_string(drive.Lun);
    }
    return name;
  }

  platform::ServiceContext& context_;
  std::unique_ptr<platform::Transcript> transcript_;
};

// One run: each phase is a short method, and every way out goes through Finish.
class FlashRun {
 public:
  FlashRun(FlashState& state, platform::FormView& view, const FlashImage& image)
      : state_(state),
        view_(view),
        image_(image),
        drive_(*state.CurrentDrive),
        services_(drive_.Context().Platform()),
        commands_(state),
        transcript_(drive_, state, image),
        exclusive_(drive_),
        lock_(services_),
        critical_(services_) {}

  FlashOutcome Run() {
    state_.ProfileMatched = false;
    state_.ProfileRecordLength = 0;
    entry_ = view_.ComboItemIndex();
    if (!CanFlash()) return FlashOutcome::NothingWritten;
    if (!Confirm()) return FlashOutcome::NothingWritten;
    // A stop asked for during the question ends the run with nothing sent.
    if (StopTaken()) return FlashOutcome::NothingWritten;
    if (!exclusive_.Take()) return FlashOutcome::NothingWritten;
    state_.FlashAll = image_.flashAll;
    BringToRest();
    SetUpProgress();
    // The last moment a stop is taken: nothing has been written to the drive
    // yet. From here on, the critical section, the run goes to its end, and
    // a request to stop is held off until it is over.
    if (!critical_.Begin(transcript_.Get())) {
      if (platform::Transcript* transcript = transcript_.Get()) transcript->Stopped(platform::StopCause(services_));
      Finish();
      return FlashOutcome::NothingWritten;
    }

    lock_.Take();
    const bool flashed = Transfer();
    // A failure has been reported by now and its message dismissed: after a
    // failed flash start the drive may still be programming until then.
    if (flashed) RefreshEntry();
    // The critical section ends with the drive's new identity read (or the
    // failure shown). The lock and the drive are let go before anything else
    // is asked of the user, the drive after its last command: letting go of
    // its block node makes the kernel look at the drive a moment later,
    // which must not come between.
    lock_.Release();
    const std::string held = critical_.End();
    exclusive_.Release();
    // A request held off during the flash is honoured now, by whoever made
    // the run: the restart offer would only stand in its way.
    if (flashed && held.empty()) OfferRestart();
    Finish();
    return flashed ? FlashOutcome::Completed : FlashOutcome::Failed;
  }

 private:
  bool NeedsProfile() const { return state_.ShortIdProfile || state_.LongIdProfile; }

  // A stop the user asked for, written into the transcript where it is taken.
  bool StopTaken() {
    if (!platform::StopRequested(services_)) return false;
    if (platform::Transcript* transcript = transcript_.Get()) transcript->Stopped(platform::StopCause(services_));
    return true;
  }

  void Status(const std::string& text) {
    view_.SetStatus(text);
    if (platform::Transcript* transcript = transcript_.Get()) transcript->Status(text);
  }
  void Append(const std::string& suffix) { Status(view_.GetStatus() + suffix); }
  void Position(uint32_t position) { view_.ProgressSetPosition(static_cast<int>(position)); }

  // Refusals that come before any question or command.
  bool CanFlash() {
    if (state_.BinLength == 0 || state_.BinLength > image_.areaSize) {
      // Starting the drive's flash programming without a whole image in DRAM
      // would program whatever the DRAM holds.
      platform::ShowError(services_, "\nThis program carries no valid firmware image (" +
                                         std::to_string(state_.BinLength) +
                                         " bytes).\n\nThe drive has not been touched.\n");
      return false;
    }
    const bool filters = drive_.FiltersCommands();
    if (platform::Transcript* transcript = transcript_.Get()) {
      transcript->Filters(filters);
      if (drive_.Context().ReportErrors) transcript->ErrorsShown();
    }
    if (filters) {
      platform::ShowError(
          services_,
          "\nThe drive cannot be flashed through " + drive_.GetNode() +
          ": there the system passes only a few safe commands to a program without the CAP_SYS_RAWIO "
          "capability, and refuses the commands of a flash.\n\nTo flash it, do one of these and start "
          "this program again:\n- load the sg module (sudo modprobe sg);\n- log in at the machine's seat, "
          "or join the drive's group (usually cdrom: sudo usermod -aG cdrom $USER, then log in again);\n"
          "- run this program as root.\n\nThe drive has not been touched.\n");
      return false;
    }
    if (NeedsProfile() && ProfileDataIsStandIn() && !IsSimulated()) {
      platform::ShowError(
          services_,
          "\nThis program was built with stand-in flash-chip profiles, which must never be sent "
          "to a real drive.\n\nThis firmware needs a flash-chip profile: rebuild the program with "
          "the drive maker's profile data to flash it.\n\nThe drive has not been touched.\n");
      return false;
    }
    return true;
  }

  // The revision prompt: a warning when the drive's firmware is newer.
  bool Confirm() {
    const std::string revision = drive_.GetRevision();
    const std::string version = platform::FormatText("%4.4s", image_.version);
    const int order = CompareBytes(revision, version);
    const std::string update = "\nUpdate Firmware " + revision + " to " + version + " ?\n";
    std::string text = update;
    if (image_.rangeRestricted && order >= 0) {
      text = "\nWARNING !!!" + std::string("\n\nYour drive Firmware ") + revision + " is aready the most updated !" +
             "\n" + update;
    }
    return order > 0 ? platform::AskWarningYesNo(services_, text) : platform::AskConfirmationYesNo(services_, text);
  }

  // Load, wait while the drive is becoming ready, stop.
  void BringToRest() {
    commands_.SendPreparation(StartStopUnitBlock(0x03));
    for (int poll = 0; poll < kMaxReadyPolls; ++poll) {
      platform::SleepMs(services_, kPollIntervalMs);
      commands_.SendPreparation(TestUnitReadyBlock());
      commands_.SendPreparation(StopPlayScanBlock());
      if (!drive_.CheckSense(0x02, 0x04, 0x01) || StopTaken()) break;
    }
    commands_.SendPreparation(StopPlayScanBlock());
    commands_.SendPreparation(StartStopUnitBlock(0x00));
  }

  void SetUpProgress() {
    view_.ProgressSetRange(0, static_cast<int>(state_.BinLength));
    view_.ProgressSetStep(static_cast<int>(kBlockSize));
    if (state_.BlockBuffer == nullptr) state_.BlockBuffer = new uint8_t[kBlockSize]();
    platform::SetHourglassCursor(services_);
  }

  // Profile, image, entry critical, checks and flash start; true when the
  // drive accepted the flash start.
  bool Transfer() {
    if (NeedsProfile() && !WriteProfile()) return false;
    if (!WriteImage()) return false;
    if (state_.ShortIdProfile && !EnterCritical()) return false;
    if (!VerifyProfile()) return false;
    if (!VerifyImage()) return false;
    return StartFlash();
  }

  // The profile record, kept in WorkBuffer exactly as sent.
  bool WriteProfile() {
    Status("Write profile to drive's DRAM... ");
    if (!SetupFlashProfile(state_, state_.BlockBuffer)) {
      Append(", Fail! ");
      return false;
    }
    if (state_.WorkBuffer == nullptr || state_.WorkBufferSize < state_.ProfileRecordLength) {
      delete[] state_.WorkBuffer;
      state_.WorkBuffer = new uint8_t[kBlockSize]();
      state_.WorkBufferSize = kBlockSize;
    }
    std::memcpy(state_.WorkBuffer, state_.BlockBuffer, state_.ProfileRecordLength);
    return true;
  }

  // Whole blocks from offset 0 until the offset reaches BinLength. The last
  // block is sent whole; BinLength never exceeds the image area and offsets
  // are multiples of the block size, so no block reaches past it.
  bool WriteImage() {
    Status("Write BIN to drive's DRAM... ");
    return ForEachBlock([this](uint32_t position) {
      std::memcpy(state_.BlockBuffer, image_.bin + position, kBlockSize);
      if (commands_.WriteBuffer(position, state_.BlockBuffer, kControlData, kBlockSize)) return true;
      Append(", Fail! ");
      return false;
    });
  }

  // Short-ID packages only.
  bool EnterCritical() {
    Status("Drive entry critical... ");
    if (commands_.EntryCritical()) return true;
    Append(", Fail! ");
    return false;
  }

  bool VerifyProfile() {
    Status("Read back and Verify drive's DRAM... ");
    if (state_.ProfileMatched && !ReadVerifyProfile(state_, state_.WorkBuffer)) {
      Append(", Valid Profile Fail!");
      return false;
    }
    return true;
  }

  // Every block read back and compared with the image.
  bool VerifyImage() {
    return ForEachBlock([this](uint32_t position) {
      if (!commands_.ReadBuffer(position, state_.BlockBuffer, kBlockSize)) {
        Append(", Read Fail! ");
        return false;
      }
      if (std::memcmp(state_.BlockBuffer, image_.bin + position, kBlockSize) != 0) {
        Append(", Compare BIN and DRAM Fail! ");
        platform::ShowMessage(services_, "Compare BIN and DRAM fail!");
        return false;
      }
      return true;
    });
  }

  // Runs `step` on each block offset below BinLength, with the progress bar
  // at the offset of the next block; stops at the first step that fails.
  template <typename Step>
  bool ForEachBlock(Step step) {
    uint32_t position = 0;
    Position(position);
    while (position < state_.BinLength) {
      if (!step(position)) return false;
      position += kBlockSize;
      Position(position);
    }
    return true;
  }

  // The drive programs its flash from DRAM under the long time-out.
  bool StartFlash() {
    Status("Don't turn off the system, Flash is in progress...");
    view_.ProgressSetRange(0, kFlashProgressMaximum);
    view_.ProgressSetPosition(kFlashProgressPosition);
    view_.ProgressSetStep(0);
    drive_.Context().SetTimeOut(kFlashStartTimeOut);
    // From here on the drive programs its flash: what led to it is on the
    // disk before it starts.
    if (platform::Transcript* transcript = transcript_.Get()) transcript->Sync();
    const uint8_t control = state_.FlashAll ? kControlFlashStartAll : kControlFlashStart;
    if (!commands_.WriteBuffer(0, state_.WorkBuffer, control, 0)) {
      Status("Flash Fail.");  // the long time-out stays in force
      return false;
    }
    drive_.Context().SetTimeOut(kNormalTimeOut);
    view_.ProgressSetPosition(kFlashProgressMaximum);
    Status("Flash Completed.");
    return true;
  }

  // The drive's entry shows its new identity (or "0").
  void RefreshEntry() {
    const std::string identity = drive_.GetIdentity();
    // With no entry selected there is no entry to replace.
    if (entry_ < 0) return;
    view_.ComboInsert(entry_, identity);
    if (platform::Transcript* transcript = transcript_.Get()) transcript->ComboInsert(entry_, identity);
    view_.ComboDelete(entry_ + 1);
    view_.ComboSetItemIndex(entry_);
    view_.ComboUpdate();
  }

  void OfferRestart() {
    if (!platform::AskConfirmationYesNo(services_, kRestartQuestion)) return;
    platform::SetDefaultCursor(services_);
    // Simulated drives live in this program alone: restarting the machine
    // would only end the user's work.
    if (IsSimulated()) {
      platform::ShowMessage(services_, kSimulatedRestartText);
      return;
    }
    if (platform::SystemRestart* restart = services_.services.restart) restart->RequestReboot();
  }

  bool IsSimulated() const { return drive_.Context().IsSimulated(); }

  void Finish() {
    platform::SetDefaultCursor(services_);
    view_.ProgressSetPosition(0);
  }

  FlashState& state_;
  platform::FormView& view_;
  const FlashImage& image_;
  CDDrive& drive_;
  platform::ServiceContext& services_;
  VendorCommands commands_;
  TranscriptScope transcript_;
  int entry_ = -1;
  ExclusiveHold exclusive_;
  InhibitorLock lock_;
  CriticalSection critical_;
};

}  // namespace

const char* SimulatedRestartText() { return kSimulatedRestartText; }

const char* RestartQuestionText() { return kRestartQuestion; }

FlashOutcome RunFlash(FlashState& state, platform::FormView& view, const FlashImage& image) {
  // Without a drive there is nothing to flash (start-up ended without one).
  if (state.CurrentDrive == nullptr) return FlashOutcome::NothingWritten;
  return FlashRun(state, view, image).Run();
}

}  // namespace flash
