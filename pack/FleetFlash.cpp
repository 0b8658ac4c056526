#include "pack/FleetFlash.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <list>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

#include "app/FlashFormCore.h"
#include "app/IdentityCheck.h"
#include "drive/CDDrive.h"
#include "drive/CDDrives.h"
#include "drive/DriveContext.h"
#include "flash/FlashRun.h"
#include "package/Classification.h"
#include "package/ProgramFile.h"
#include "pack/DriveCommands.h"
#include "pack/FleetOutput.h"
#include "pack/PackCommands.h"
#include "platform/Sha256.h"
#include "platform/StopGuard.h"
#include "platform/StopSignals.h"
#include "platform/Text.h"

namespace pack {

namespace {

constexpr const char* kName = "flashutil-pack: ";
const char* const kSimulatedLine = "Simulated drives: none of these drives exists; no real drive is listed or flashed.\n";

// The requests to stop a fleet: every signal goes to the stop guard of each
// flash that runs (and of the start-up), by the rule of a single flash: a
// flash that has not written yet stops, one that is writing holds the
// request off and goes on to its end. No drive is begun once a request came.
class FleetStops {
 public:
  explicit FleetStops(std::ostream& err) : err_(err) {
    platform::WatchStopSignals([this](int signal) { OnSignal(signal); });
  }
  ~FleetStops() {
    // Once the drives are done the program is ending: its outcome stands.
    platform::WatchStopSignals([](int) {});
  }
  FleetStops(const FleetStops&) = delete;
  FleetStops& operator=(const FleetStops&) = delete;

  void Add(platform::StopGuard& guard) {
    const std::lock_guard<std::mutex> lock(mutex_);
    guards_.push_back(&guard);
    // A drive begun after a request stops before it writes.
    if (signal_ != 0) guard.Request(platform::SignalName(signal_));
  }
  void Remove(platform::StopGuard& guard) {
    const std::lock_guard<std::mutex> lock(mutex_);
    guards_.remove(&guard);
  }
  int Signal() const { return signal_.load(); }
  bool Requested() const { return Signal() != 0; }
  // The first request that was held off by a drive being written; empty: none.
  std::string Held() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return held_;
  }

 private:
  void OnSignal(int signal) {
    if (signal == SIGTSTP) return Suspend();
    const std::string name = platform::SignalName(signal);
    const std::lock_guard<std::mutex> lock(mutex_);
    int none = 0;
    signal_.compare_exchange_strong(none, signal);
    bool held = false;
    for (platform::StopGuard* guard : guards_) held = guard->Request(name) == platform::StopGuard::Taken::Held || held;
    if (!held) return;
    if (held_.empty()) held_ = name;
    err_ << (signal == SIGINT ? std::string(kInterruptRefusedText) : HeldSignalText(name)) << kName << name
         << ": no drive is begun from now on; the drives being written go on to their end\n"
         << std::flush;
  }

  // Ctrl-Z stops the program only while no drive is being written.
  void Suspend() {
    std::vector<platform::StopGuard*> suspended;
    bool refused = false;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      for (platform::StopGuard* guard : guards_) {
        if (guard->Suspend()) {
          suspended.push_back(guard);
        } else {
          refused = true;
        }
      }
    }
    if (!refused) platform::ActAsDefault(SIGTSTP);
    for (platform::StopGuard* guard : suspended) guard->Resume();
    if (refused) err_ << kInterruptRefusedText << std::flush;
  }

  std::ostream& err_;
  mutable std::mutex mutex_;
  std::list<platform::StopGuard*> guards_;
  std::atomic<int> signal_{0};
  std::string held_;
};

// One drive's transcripts in the store that all of them share: made one at
// a time, and each drive's own path or reason kept.
class DriveTranscripts final : public platform::TranscriptStore {
 public:
  DriveTranscripts(platform::TranscriptStore& store, std::mutex& lock) : store_(store), lock_(lock) {}
  std::unique_ptr<platform::TranscriptSink> Create(const std::string& name) override {
    const std::lock_guard<std::mutex> lock(lock_);
    std::unique_ptr<platform::TranscriptSink> sink = store_.Create(name);
    path_ = sink != nullptr ? store_.LastPath() : std::string();
    error_ = sink != nullptr ? std::string() : store_.LastError();
    return sink;
  }
  // One that makes none: a check, or a flash without transcripts.
  static platform::MemoryTranscriptStore& None() {
    static platform::MemoryTranscriptStore none;
    return none;
  }
  std::string LastPath() const override { return path_; }
  std::string LastError() const override { return error_; }

 private:
  platform::TranscriptStore& store_;
  std::mutex& lock_;
  std::string path_, error_;
};

// One sleep/shutdown lock for all the drives: taken at the first write of
// the first drive, held until the last drive is done.
class FleetLock final : public platform::SleepInhibitor {
 public:
  explicit FleetLock(platform::SleepInhibitor* lock) : lock_(lock) {}
  ~FleetLock() override { LetGo(); }
  FleetLock(const FleetLock&) = delete;
  FleetLock& operator=(const FleetLock&) = delete;

  bool Acquire(const std::string& who, const std::string& why) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!taken_ && lock_ != nullptr) taken_ = lock_->Acquire(who, why);
    return taken_;
  }
  // A drive's flash is over; the others may still write.
  void Release() override {}
  void LetGo() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (taken_) lock_->Release();
    taken_ = false;
  }

 private:
  platform::SleepInhibitor* lock_;
  std::mutex mutex_;
  bool taken_ = false;
};

std::string Address(const platform::DeviceInfo& device) {
  return std::to_string(device.host) + ":" + std::to_string(device.channel) + ":" + std::to_string(device.target) +
         ":" + std::to_string(device.lun);
}

std::string Trimmed(const std::string& text) {
  const size_t end = text.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

// What every drive's flash shares.
struct Fleet {
  Fleet(const FlashOptions& options_, const package::PackageView& package_, std::ostream& human, std::ostream& err_,
        bool terminal)
      : options(options_), package(package_), board(human, terminal), err(err_), stops(err_), lock(options_.inhibitor) {}

  const FlashOptions& options;
  const package::PackageView package;
  flash::FlashImage image;
  std::string programPath;
  std::string version;  // as the revision question shows it
  ProgressBoard board;
  std::ostream& err;
  std::mutex errLock;
  std::mutex transcriptLock;
  FleetStops stops;
  FleetLock lock;
};

// The flash of one drive, in its contexts; an exception's text into `exception`.
flash::FlashOutcome RunOneFlash(const Fleet& fleet, CDDrive& drive, TerminalView& view, std::string& exception) {
  flash::FlashState state;
  state.CurrentDrive = &drive;
  state.BinLength = fleet.package.BinLength();
  package::ClassifyImage(fleet.package.BinArea(), state.ShortIdProfile, state.LongIdProfile);
  flash::FlashOutcome outcome = flash::FlashOutcome::Failed;
  try {
    outcome = flash::RunFlash(state, view, fleet.image);
  } catch (const std::exception& error) {
    exception = error.what();
  } catch (...) {
    exception = "An unknown exception occurred.";
  }
  delete[] state.BlockBuffer;
  delete[] state.WorkBuffer;
  return outcome;
}

// What the flash came to, by its outcome, its answers and its stop guard.
void Judge(DriveResult& result, flash::FlashOutcome outcome, const TerminalBoxes& boxes, const TerminalView& view,
           const platform::StopGuard& guard, const CDDrive& drive) {
  const bool exception = !result.failure.empty();
  if (outcome == flash::FlashOutcome::Completed && !exception) {
    result.result = "flashed";
    result.changed = true;
    result.after = Trimmed(drive.GetRevision());
  } else if (outcome == flash::FlashOutcome::Failed || exception) {
    result.result = "failed";
    result.changed = true;
    if (!exception) result.failure = view.GetStatus();
  } else if (boxes.UpToDate()) {
    result.result = "up-to-date";
    result.after = result.before;
  } else if (boxes.WouldFlash()) {
    result.result = "would-flash";
  } else if (guard.Requested()) {
    result.result = "interrupted";
    result.failure = "stopped by " + guard.Cause() + ": nothing was written to the drive";
  } else if (boxes.RefusedDowngrade()) {
    result.result = "refused";
    result.failure = "the drive's firmware is newer than this image: give --allow-downgrade as well to flash it";
  } else if (!boxes.LastError().empty()) {
    result.result = "refused";
    result.failure = OneLine(boxes.LastError());
  } else {
    result.result = "refused";
    result.failure = "declined: nothing was sent to the drive";
  }
}

// The drive's last line (`entry`: the drive's refreshed entry).
std::string ResultLine(const DriveResult& result, const std::string& version, const std::string& entry) {
  if (result.result == "flashed") return "Drive now: " + entry;
  if (result.result == "up-to-date") return "up to date: nothing to do";
  if (result.result == "would-flash") return "would flash: " + result.before + " to " + version;
  return result.result + ": " + result.failure;
}

// Installs a flash's contexts on the drive while it lives, and puts the
// drive back into its list's context at its end.
class FlashContexts {
 public:
  FlashContexts(CDDrive& drive, platform::ServiceContext& services) : drive_(drive), list_(drive.Context()) {
    context_.TakeAccessFrom(list_);
    context_.Services = &services;
    context_.SetDataBuffer(transfer_.data(), flash::kBlockSize);
    drive_.MoveToContext(context_);
  }
  ~FlashContexts() { drive_.MoveToContext(list_); }
  FlashContexts(const FlashContexts&) = delete;
  FlashContexts& operator=(const FlashContexts&) = delete;

 private:
  CDDrive& drive_;
  DriveContext& list_;
  DriveContext context_;
  std::vector<uint8_t> transfer_ = std::vector<uint8_t>(flash::kBlockSize);
};

DriveResult FlashOneDrive(Fleet& fleet, CDDrive& drive) {
  DriveResult result{drive.GetNode(), Address(drive.Device), drive.Device.physicalPath, Trimmed(drive.GetRevision()),
                     {}, {}, false, {}, {}};
  const size_t slot = fleet.board.AddDrive(drive.GetNode());
  DriveLines outLines(fleet.board, slot, drive.GetNode() + ": ");
  DriveLines errLines(fleet.err, fleet.errLock, kName + drive.GetNode() + ": ");
  std::ostream out(&outLines), err(&errLines);
  TerminalView view(out, false, fleet.programPath);
  view.ComboAdd(drive.Identity);
  view.ComboSetItemIndex(0);
  Answers answers = fleet.options.answers;
  answers.interactive = answers.interactive && fleet.options.parallel <= 1;
  TerminalBoxes boxes(out, err, view, answers);
  boxes.Expect(TerminalBoxes::Question::Revision);
  boxes.ExpectRevisions(drive.GetRevision(), fleet.version);

  platform::StopGuard guard;
  fleet.stops.Add(guard);
  const bool transcribed = fleet.options.transcripts != nullptr && !fleet.options.check;
  DriveTranscripts transcripts(transcribed ? *fleet.options.transcripts : DriveTranscripts::None(),
                               fleet.transcriptLock);
  platform::ServiceContext services;
  services.services.boxes = &boxes;
  services.services.stop = &guard;
  services.services.clock = platform::GetServices().clock;
  services.services.commandLine = true;
  if (transcribed) services.services.transcripts = &transcripts;
  if (!fleet.options.check) services.services.inhibitor = &fleet.lock;
  flash::FlashOutcome outcome;
  {
    FlashContexts contexts(drive, services);
    outcome = RunOneFlash(fleet, drive, view, result.failure);
  }
  fleet.stops.Remove(guard);
  view.EndBar();
  result.transcript = transcripts.LastPath();
  if (!transcripts.LastError().empty()) err << transcripts.LastError() << '\n';
  Judge(result, outcome, boxes, view, guard, drive);
  const std::string entry = view.ComboCount() > 0 ? view.Items()[0] : drive.Identity;
  out << platform::PrintableText(ResultLine(result, fleet.version, entry)) << '\n';
  if (!result.transcript.empty()) out << "Transcript: " << platform::PrintableText(result.transcript) << '\n';
  out << std::flush;
  return result;
}

// A drive that the start-up did not list for having the image's version already.
DriveResult UpToDate(Fleet& fleet, const CDDrive& drive) {
  const std::string revision = Trimmed(drive.GetRevision());
  fleet.board.Line(drive.GetNode() + ": up to date: nothing to do");
  return {drive.GetNode(), Address(drive.Device), drive.Device.physicalPath, revision, revision, "up-to-date",
          false, {}, {}};
}

// A drive not begun because a request to stop came first.
DriveResult NotBegun(const Fleet& fleet, const CDDrive& drive) {
  DriveResult result{drive.GetNode(), Address(drive.Device), drive.Device.physicalPath, Trimmed(drive.GetRevision()),
                     {}, "interrupted", false, {}, {}};
  result.failure = "not begun: " + platform::SignalName(fleet.stops.Signal()) + " came before its flash began";
  return result;
}

// Each drive in turn, or up to --parallel of them at once on threads of
// their own; a drive whose turn comes after a request to stop is not begun.
// Those of `upToDate` have the image's version already, outside its range.
void FlashDrives(Fleet& fleet, const std::vector<CDDrive*>& drives, const std::vector<CDDrive*>& upToDate,
                 std::vector<DriveResult>& results) {
  results.resize(drives.size());
  std::atomic<size_t> next{0};
  const auto work = [&] {
    for (size_t i = next++; i < drives.size(); i = next++) {
      if (std::find(upToDate.begin(), upToDate.end(), drives[i]) != upToDate.end()) {
        results[i] = UpToDate(fleet, *drives[i]);
      } else {
        results[i] = fleet.stops.Requested() ? NotBegun(fleet, *drives[i]) : FlashOneDrive(fleet, *drives[i]);
      }
    }
  };
  const size_t workers = std::min<size_t>(static_cast<size_t>(std::max(fleet.options.parallel, 1)), drives.size());
  if (workers <= 1) {
    work();
    return;
  }
  std::vector<std::thread> threads;
  for (size_t w = 0; w < workers; ++w) threads.emplace_back(work);
  for (std::thread& thread : threads) thread.join();
}

// The drive the command line names (by its sg node, its node, its address
// or its block node), or every drive the program fits.
std::vector<CDDrive*> FittingDrives(const FlashFormCore& form, const platform::FormView& view) {
  std::vector<CDDrive*> drives;
  for (int k = 0; k < view.ComboCount(); ++k) {
    drives.push_back(form.Drives->Slots[static_cast<size_t>(form.DriveIndex[static_cast<size_t>(k)])]);
  }
  return drives;
}

bool Names(const CDDrive& drive, const std::string& name) {
  return name == drive.GetNode() || name == drive.Device.node || name == drive.Device.Name() ||
         (!drive.Device.blockDevice.empty() && name == drive.Device.blockDevice);
}

// The drives to flash, in the order the start-up found them: those that fit
// and those up to date, or the one that --drive names; without --all, one.
// Otherwise none, with the refusal's status and text.
std::vector<CDDrive*> ChosenDrives(const FlashFormCore& form, const TerminalView& view,
                                   const std::vector<CDDrive*>& upToDate, const FlashOptions& options, int& status,
                                   std::string& refusal) {
  std::vector<CDDrive*> drives = view.QuitRequested() ? std::vector<CDDrive*>{} : FittingDrives(form, view);
  drives.insert(drives.end(), upToDate.begin(), upToDate.end());
  const auto& slots = form.Drives->Slots;
  std::sort(drives.begin(), drives.end(), [&](const CDDrive* a, const CDDrive* b) {
    return std::find(slots.begin(), slots.end(), a) < std::find(slots.begin(), slots.end(), b);
  });
  std::string list;
  for (const CDDrive* drive : drives) list += (list.empty() ? "" : ", ") + drive->GetNode();
  if (!options.drive.empty()) {
    const auto named = std::find_if(drives.begin(), drives.end(), [&](CDDrive* d) { return Names(*d, options.drive); });
    if (named != drives.end()) return {*named};
    status = kNothingFits;
    refusal = options.drive + " is not a drive this program fits; it fits " + list;
    return {};
  }
  if (!options.all && drives.size() > 1) {
    status = kTrouble;
    refusal = std::to_string(drives.size()) + " drives fit: " + list +
              "; choose one with --drive NODE, or flash them all with --all";
    return {};
  }
  return drives;
}

// The transport and the services of the start-up, put back as they were when it ends.
class StartUpScope {
 public:
  StartUpScope(platform::DriveTransport& transport, const platform::Services& services)
      : saved_(platform::GetServices()) {
    CDDrive::SetTransport(&transport);
    CDDrive::SetCommandLibrary(nullptr);
    platform::GetServices() = services;
  }
  ~StartUpScope() {
    CDDrive::SetTransport(nullptr);
    platform::GetServices() = saved_;
  }
  StartUpScope(const StartUpScope&) = delete;
  StartUpScope& operator=(const StartUpScope&) = delete;

 private:
  platform::Services saved_;
};

ProgramFacts FactsOf(const std::string& path, const package::PackageView& package) {
  const uint32_t length = std::min<uint32_t>(package.BinLength(), package::kBinAreaSize);
  return {path,
          package::PackageView::SlotText(package.VendorSlot()),
          package::PackageView::SlotText(package.ModelSlot()),
          package::PackageView::SlotText(package.Version(), 4),
          platform::Sha256Hex(package.BinArea(), length),
          true};
}

}  // namespace

std::vector<CDDrive*> UpToDateDrives(const CDDrives& drives, const package::PackageView& package) {
  const app::IdentityFields fields = app::FormatIdentityFields(package);
  const std::string version = platform::FormatText("%4.4s", package::PackageView::SlotText(package.Version(), 4));
  std::vector<CDDrive*> found;
  for (int i = 0; i < drives.GetCount(); ++i) {
    CDDrive* drive = drives.Slots[static_cast<size_t>(i)];
    if (app::WhyNotFit(*drive, package, fields.inquiry, fields.fwLow, fields.fwHigh) == app::Misfit::Range &&
        drive->GetRevision() == version) {
      found.push_back(drive);
    }
  }
  return found;
}

int DriveCommands::FlashFleet(const std::string& program, const FlashOptions& options) {
  ProgramFacts facts{program, {}, {}, {}, {}, false};
  bool simulated = false;
  const auto refuse = [&](int status, const std::string& message) {
    Error(status, message);
    if (options.json) out_ << FleetJson(facts, options.check, simulated, status, OneLine(message), {}) << std::flush;
    return status;
  };
  if (!options.answers.yes && !options.answers.interactive && !options.check) {
    return refuse(kTrouble, "flash asks before it writes to a drive: run it on a terminal, or give --yes");
  }
  package::ProgramFile file;
  if (!file.Read(program, keyWord_)) return refuse(kTrouble, file.Error());
  const package::PackageView package = file.Package();
  if (package.IsBuilder()) return refuse(kTrouble, program + " is a builder, not a flash program");
  facts = FactsOf(program, package);
  int status = kSuccess;
  std::unique_ptr<platform::DriveTransport> transport = makeTransport_(facts.version);
  simulated = transport->IsSimulated();
  if (!simulated && file.Access() == package::DriveAccess::Simulated) {
    return refuse(kTrouble, program + " is built for simulated drives: it flashes no real drive");
  }
  std::ostream& human = options.json ? err_ : out_;
  if (simulated) human << kSimulatedLine << std::flush;
  // A drive that is not there is named before anything is asked.
  if (!options.drive.empty()) {
    const std::vector<platform::DeviceInfo> found = transport->EnumerateDrives();
    if (std::none_of(found.begin(), found.end(), [&](const platform::DeviceInfo& device) {
          return options.drive == device.node || options.drive == device.Name() ||
                 (!device.blockDevice.empty() && options.drive == device.blockDevice);
        })) {
      return refuse(kTrouble, options.drive + " is no optical drive of this machine; flashutil-pack drives lists them");
    }
  }

  Fleet fleet(options, package, human, err_, options.progressBar && !options.json);
  fleet.programPath = program;
  fleet.version = platform::FormatText("%4.4s", facts.version);
  fleet.image = {package.BinArea(), package::kBinAreaSize, facts.version, package.RestrictsFirmware(),
                 package.IsFlashAll(), facts.vendor, facts.model};
  platform::StopGuard startUp;
  fleet.stops.Add(startUp);
  // Taken out again on every way out, before the guard goes.
  struct Registered {
    ~Registered() { stops.Remove(guard); }
    FleetStops& stops;
    platform::StopGuard& guard;
  } registered{fleet.stops, startUp};
  TerminalView view(human, false, program);
  TerminalBoxes boxes(human, err_, view, options.answers);
  platform::Services services;
  services.boxes = &boxes;
  services.stop = &startUp;
  services.clock = platform::GetServices().clock;
  services.commandLine = true;
  StartUpScope scope(*transport, services);
  FlashFormCore form(package.KeyWord(), view);
  boxes.HoldErrors();
  form.FormCreate();
  const std::vector<CDDrive*> upToDate =
      form.Drives && boxes.Answered() ? UpToDateDrives(*form.Drives, package) : std::vector<CDDrive*>{};
  boxes.ReleaseErrors(!(view.QuitRequested() && !upToDate.empty()));
  if (startUp.Requested()) {
    Stopped(fleet.stops.Signal());
    const int status = StoppedBySignal(fleet.stops.Signal());
    if (options.json) out_ << FleetJson(facts, options.check, simulated, status, "interrupted", {}) << std::flush;
    return status;
  }
  if (view.QuitRequested()) {
    // The start-up warning declined, or no drive fits (the report is out).
    if (!form.Drives) return refuse(kFailure, "not flashed: nothing was sent to a drive");
    if (upToDate.empty()) return refuse(kNothingFits, "no drive fits " + program);
  }
  std::string refusal;
  const std::vector<CDDrive*> drives = ChosenDrives(form, view, upToDate, options, status, refusal);
  if (!refusal.empty()) return refuse(status, refusal);
  std::vector<DriveResult> results;
  FlashDrives(fleet, drives, upToDate, results);
  fleet.lock.LetGo();
  return ReportFleet(fleet.stops.Signal(), fleet.stops.Held(), facts, simulated, options, results);
}

int DriveCommands::ReportFleet(int signal, const std::string& held, const ProgramFacts& facts, bool simulated,
                               const FlashOptions& options, const std::vector<DriveResult>& results) {
  const int status = FleetStatus(results, signal);
  const auto count = [&](const char* result) {
    return std::count_if(results.begin(), results.end(), [&](const DriveResult& r) { return r.result == result; });
  };
  std::ostream& human = options.json ? err_ : out_;
  human << ResultTable(results);
  if (count("flashed") > 0) human << "restart the machine for the new firmware to take effect\n";
  human << std::flush;
  if (!held.empty() && count("interrupted") == 0) {
    err_ << kName << held << " came during the flash and was held off; the program ends now\n" << std::flush;
  }
  std::string error;
  if (status != kSuccess) {
    const std::string total = std::to_string(results.size());
    if (count("failed") > 0) {
      error = std::to_string(count("failed")) + " of " + total + " drives failed";
    } else if (count("interrupted") > 0) {
      error = "interrupted: " + std::to_string(count("interrupted")) + " of " + total + " drives were not flashed";
    } else {
      error = std::to_string(count("refused")) + " of " + total + " drives were refused";
    }
    Error(status, error);
  }
  if (options.json) out_ << FleetJson(facts, options.check, simulated, status, error, results) << std::flush;
  return status;
}

}  // namespace pack
