#include "pack/DriveCommands.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

#include "app/FlashFormCore.h"
#include "app/IdentityCheck.h"
#include "app/Texts.h"
#include "drive/CDDrive.h"
#include "drive/CDDrives.h"
#include "flash/FlashRun.h"
#include "package/ProgramFile.h"
#include "pack/FleetFlash.h"
#include "pack/PackCommands.h"
#include "platform/Services.h"
#include "platform/Sha256.h"
#include "platform/StopSignals.h"
#include "platform/Text.h"
#include "platform/sim/ReplayTransport.h"

namespace pack {

namespace {

constexpr const char* kName = "flashutil-pack: ";
const char* const kSimulatedLine = "Simulated drives: none of these drives exists; no real drive is listed or flashed.\n";
const char* const kUpToDateLine = "up to date: nothing to do\n";

// The transport and the services of one command, put back as they were when it ends.
class DriveScope {
 public:
  DriveScope(platform::DriveTransport& transport, const platform::Services& services,
             platform::CommandLibraryPath* library = nullptr)
      : saved_(platform::GetServices()) {
    CDDrive::SetTransport(&transport);
    CDDrive::SetCommandLibrary(library);
    platform::GetServices() = services;
  }
  ~DriveScope() {
    CDDrive::SetTransport(nullptr);
    CDDrive::SetCommandLibrary(nullptr);
    platform::GetServices() = saved_;
  }
  DriveScope(const DriveScope&) = delete;
  DriveScope& operator=(const DriveScope&) = delete;

 private:
  platform::Services saved_;
};

std::string TrimBlanks(const std::string& text) {
  const size_t end = text.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::string Address(const platform::DeviceInfo& device) {
  return std::to_string(device.host) + ":" + std::to_string(device.channel) + ":" + std::to_string(device.target) +
         ":" + std::to_string(device.lun);
}

// A drive as `drives` lists it.
struct Row {
  std::string node, address, vendor, product, revision;
  std::optional<bool> fits;  // unset without a program
  std::string why;           // why it does not fit, or why it cannot be used
};

// Whether `name` (--drive) names the drive: its node, its block node, or its name.
bool NamesDrive(const std::string& name, const platform::DeviceInfo& device) {
  return name == device.node || name == device.Name() || (!device.blockDevice.empty() && name == device.blockDevice);
}

std::string DriveProblem(const CDDrive& drive) {
  if (!drive.FiltersCommands()) return {};
  return "rights: " + drive.GetNode() +
         " passes only the system's safe commands (load the sg module, join the drive's group, or run as root)";
}

std::string MisfitText(app::Misfit misfit, const CDDrive& drive, const package::PackageView& package,
                       const app::IdentityFields& fields) {
  switch (misfit) {
    case app::Misfit::Identity:
      return "identity: the program is for " + TrimBlanks(fields.inquiry);
    case app::Misfit::Range:
      return "firmware: " + drive.GetRevision() + " is outside " +
             package::PackageView::SlotText(package.FWRangeSlot());
    case app::Misfit::None:
      break;
  }
  return {};
}

}  // namespace

DriveCommands::DriveCommands(const uint8_t* keyWord, TransportMaker makeTransport, std::ostream& out,
                             std::ostream& err)
    : keyWord_(keyWord), makeTransport_(std::move(makeTransport)), out_(out), err_(err) {}

int DriveCommands::Error(int status, const std::string& message) {
  err_ << kName << platform::PrintableText(OneLine(message)) << '\n' << std::flush;
  return status;
}

namespace {

// The drives as `drives` lists them: each drive found, and each node that
// did not open; with a program, whether it fits each and why not.
std::vector<Row> ListRows(const CDDrives& drives, const platform::DriveTransport& transport, const std::string& program,
                          const package::ProgramFile& file) {
  const bool withProgram = !program.empty();
  // A program for simulated drives flashes no real drive.
  const bool simulatedProgram =
      withProgram && !transport.IsSimulated() && file.Access() == package::DriveAccess::Simulated;
  const app::IdentityFields fields = withProgram ? app::FormatIdentityFields(file.Package()) : app::IdentityFields{};
  std::vector<Row> rows;
  for (int i = 0; i < drives.GetCount(); ++i) {
    const CDDrive& drive = *drives.Slots[static_cast<size_t>(i)];
    const std::string identification = drive.GetVendorProduct();
    // A drive that passes only the system's safe commands keeps that as its
    // reason, and so never fits.
    Row row{drive.GetNode(), Address(drive.Device), TrimBlanks(identification.substr(0, 8)),
            TrimBlanks(identification.substr(8)), drive.GetRevision(), std::nullopt, DriveProblem(drive)};
    if (withProgram) {
      const app::Misfit misfit = app::WhyNotFit(drive, file.Package(), fields.inquiry, fields.fwLow, fields.fwHigh);
      if (misfit != app::Misfit::None) {
        row.why = MisfitText(misfit, drive, file.Package(), fields);
      } else if (simulatedProgram) {
        row.why = "the program is built for simulated drives and flashes no real drive";
      }
      row.fits = row.why.empty();
    }
    rows.push_back(row);
  }
  for (const OpenRefusal& refusal : drives.Refusals) {
    Row row{refusal.node, "", "", "", "", std::nullopt,
            "rights: " + refusal.node + " did not open: " + transport.ErrorText(refusal.error)};
    if (!refusal.group.empty()) row.why += " (its group is " + refusal.group + ")";
    if (withProgram) row.fits = false;
    rows.push_back(row);
  }
  return rows;
}

// One JSON object: {"program", "simulated", "drives": [{"node", "address",
// "vendor", "product", "revision", "fits", "why"}]}, in that order; "fits"
// is null without a program, a text that is unknown is null.
void PrintRowsAsJson(std::ostream& out, const std::vector<Row>& rows, const std::string& program, bool simulated) {
  const auto text = [](const std::string& value) { return value.empty() ? "null" : platform::JsonString(value); };
  std::string list;
  for (const Row& row : rows) {
    list += std::string(list.empty() ? "" : ", ") + "{\"node\": " + platform::JsonString(row.node) +
            ", \"address\": " + text(row.address) + ", \"vendor\": " + text(row.vendor) +
            ", \"product\": " + text(row.product) + ", \"revision\": " + text(row.revision) +
            ", \"fits\": " + (row.fits ? (*row.fits ? "true" : "false") : "null") + ", \"why\": " + text(row.why) +
            "}";
  }
  out << "{\"program\": " << (program.empty() ? "null" : platform::JsonString(program))
      << ", \"simulated\": " << (simulated ? "true" : "false") << ", \"drives\": [" << list << "]}\n";
}

void PrintRowsAsTable(std::ostream& out, const std::vector<Row>& rows, bool withProgram, bool simulated) {
  const auto field = [](const char* format, const std::string& value) {
    return platform::FormatText(format, platform::PrintableText(value.empty() ? "-" : value));
  };
  if (simulated) out << kSimulatedLine;
  out << platform::FormatText("%-14s", "NODE") << " " << platform::FormatText("%-9s", "ADDRESS") << " "
      << platform::FormatText("%-8s", "VENDOR") << " " << platform::FormatText("%-16s", "PRODUCT") << " REV"
      << (withProgram ? "  FITS" : "") << '\n';
  for (const Row& row : rows) {
    std::string line = platform::FormatText("%-14s", platform::PrintableText(row.node)) + " " +
                       field("%-9s", row.address) + " " + field("%-8s", row.vendor) + " " +
                       field("%-16s", row.product) + " " + field("%-4s", row.revision);
    if (row.fits) line += *row.fits ? "  yes" : "  no";
    if (!row.why.empty()) line += (row.fits ? ": " : "  ") + platform::PrintableText(row.why);
    out << line << '\n';
  }
}

}  // namespace

int DriveCommands::Drives(const std::string& program, bool json) {
  package::ProgramFile file;
  std::string revision;
  if (!program.empty()) {
    if (!file.Read(program, keyWord_)) return Error(kTrouble, file.Error());
    if (file.Package().IsBuilder()) return Error(kTrouble, program + " is a builder, not a flash program");
    revision = package::PackageView::SlotText(file.Package().Version(), 4);
  }
  std::unique_ptr<platform::DriveTransport> transport = makeTransport_(revision);
  DriveScope scope(*transport, platform::Services{});
  CDDrives drives;
  const std::vector<Row> rows = ListRows(drives, *transport, program, file);
  if (json) {
    PrintRowsAsJson(out_, rows, program, transport->IsSimulated());
  } else {
    PrintRowsAsTable(out_, rows, !program.empty(), transport->IsSimulated());
  }
  out_ << std::flush;

  if (drives.GetCount() == 0) {
    std::string cause = texts::EmptyListCauseLine(ExplainEmptyList(drives.Facts, drives.Refusals));
    while (!cause.empty() && cause.back() == '\n') cause.pop_back();
    return Error(kNothingFits, "no optical drive can be used" + (cause.empty() ? "" : ": " + cause));
  }
  const bool anyFits = std::any_of(rows.begin(), rows.end(), [](const Row& row) { return row.fits.value_or(false); });
  if (!program.empty() && !anyFits) return Error(kNothingFits, "no drive fits " + program);
  return kSuccess;
}

int DriveCommands::Stopped(int signal) {
  if (signal == 0 || signal == SIGINT) return Error(kInterrupted, "interrupted: nothing was written to the drive");
  return Error(StoppedBySignal(signal),
               "stopped by " + platform::SignalName(signal) + ": nothing was written to the drive");
}

int DriveCommands::RunForm(const std::string& program, const uint8_t* keyWord, TerminalView& view,
                           const std::string& drive, const std::function<bool()>& interrupted,
                           const std::function<void(const CDDrive&)>& beforeClick, TerminalBoxes* boxes) {
  FlashFormCore form(keyWord, view);
  if (boxes != nullptr) boxes->HoldErrors();
  form.FormCreate();
  std::vector<CDDrive*> upToDate;
  if (boxes != nullptr && boxes->Answered() && form.Drives) {
    for (CDDrive* candidate : UpToDateDrives(*form.Drives, form.Package)) {
      if (drive.empty() || drive == candidate->GetNode() || drive == candidate->Device.blockDevice) {
        upToDate.push_back(candidate);
      }
    }
  }
  if (boxes != nullptr) boxes->ReleaseErrors(!(view.QuitRequested() && !upToDate.empty()));
  // The caller tells what stopped it.
  if (interrupted()) return kInterrupted;
  if (view.QuitRequested()) {
    // The start-up warning declined, or no drive fits (the report is out).
    if (!form.Drives) return Error(kFailure, "not flashed: nothing was sent to a drive");
    if (upToDate.empty()) return Error(kNothingFits, "no drive fits " + program);
    // Outside the image's range only because it has the image's version already.
    for (const CDDrive* found : upToDate) {
      out_ << "Drive: " << platform::PrintableText(found->GetNode()) << " " << platform::PrintableText(found->Identity)
           << '\n' << kUpToDateLine;
    }
    out_ << std::flush;
    return kSuccess;
  }

  // The drive: the one that fits, or the one the command line names.
  std::vector<std::string> nodes;
  for (int k = 0; k < view.ComboCount(); ++k) {
    nodes.push_back(form.Drives->Slots[static_cast<size_t>(form.DriveIndex[static_cast<size_t>(k)])]->GetNode());
  }
  std::string list;
  for (const std::string& node : nodes) list += (list.empty() ? "" : ", ") + node;
  int chosen = 0;
  if (!drive.empty()) {
    chosen = -1;
    for (int k = 0; k < view.ComboCount(); ++k) {
      const CDDrive& candidate = *form.Drives->Slots[static_cast<size_t>(form.DriveIndex[static_cast<size_t>(k)])];
      if (drive == candidate.GetNode() || NamesDrive(drive, candidate.Device)) {
        chosen = k;
      }
    }
    if (chosen < 0) return Error(kNothingFits, drive + " is not a drive this program fits; it fits " + list);
  } else if (nodes.size() > 1) {
    return Error(kTrouble, std::to_string(nodes.size()) + " drives fit: " + list + "; choose one with --drive NODE");
  }
  view.ComboSetItemIndex(chosen);
  form.ComboBoxChange();
  out_ << "Drive: " << platform::PrintableText(nodes[static_cast<size_t>(chosen)]) << " "
       << platform::PrintableText(view.Items()[static_cast<size_t>(chosen)]) << '\n' << std::flush;

  beforeClick(*form.CurrentDrive);
  // As the window runs its events: an exception ends the flash with its box.
  form.Dispatch(&FlashFormCore::FlashButtonClick);
  view.EndBar();
  return -1;
}

void DriveCommands::PrintCompleted(const TerminalView& view, bool restartLine) {
  if (view.ComboItemIndex() >= 0) {
    out_ << "Drive now: " << platform::PrintableText(view.Items()[static_cast<size_t>(view.ComboItemIndex())]) << '\n';
  }
  // The program never restarts the machine: the restart offer becomes a line
  // (also where a request held off during the flash left the offer out).
  if (restartLine) out_ << "restart the machine for the new firmware to take effect\n";
  out_ << std::flush;
}

int DriveCommands::Flash(const std::string& program, const FlashOptions& options) {
  if (options.all || options.check || options.json || options.parallel > 1) return FlashFleet(program, options);
  if (!options.answers.yes && !options.answers.interactive) {
    return Error(kTrouble, "flash asks before it writes to a drive: run it on a terminal, or give --yes");
  }
  package::ProgramFile file;
  if (!file.Read(program, keyWord_)) return Error(kTrouble, file.Error());
  const package::PackageView package = file.Package();
  if (package.IsBuilder()) return Error(kTrouble, program + " is a builder, not a flash program");
  std::unique_ptr<platform::DriveTransport> transport =
      makeTransport_(package::PackageView::SlotText(package.Version(), 4));
  if (!transport->IsSimulated() && file.Access() == package::DriveAccess::Simulated) {
    return Error(kTrouble, program + " is built for simulated drives: it flashes no real drive");
  }
  if (transport->IsSimulated()) out_ << kSimulatedLine << std::flush;
  // A drive that is not there is named before anything is asked.
  if (!options.drive.empty()) {
    const std::vector<platform::DeviceInfo> found = transport->EnumerateDrives();
    if (std::none_of(found.begin(), found.end(),
                     [&](const platform::DeviceInfo& device) { return NamesDrive(options.drive, device); })) {
      return Error(kTrouble, options.drive + " is no optical drive of this machine; flashutil-pack drives lists them");
    }
  }

  StopGuardOnTerminal interrupts;
  TerminalView view(out_, options.progressBar, program);
  TerminalBoxes boxes(out_, err_, view, options.answers);
  platform::Services services;
  services.boxes = &boxes;
  services.stop = &interrupts;
  services.transcripts = options.transcripts;
  services.inhibitor = options.inhibitor;
  // The process's clock for the waits between readiness polls (none: real sleeps).
  services.clock = platform::GetServices().clock;
  // No restart and no cursor: the closing line asks the user to restart.
  services.commandLine = true;
  DriveScope scope(*transport, services);

  const std::string version = platform::FormatText("%4.4s", package::PackageView::SlotText(package.Version(), 4));
  const int started = RunForm(program, package.KeyWord(), view, options.drive, [&] { return interrupts.Requested(); },
                              [&](const CDDrive& drive) {
                                boxes.Expect(TerminalBoxes::Question::Revision);
                                boxes.ExpectRevisions(drive.GetRevision(), version);
                              },
                              &boxes);
  if (started == kInterrupted) return Stopped(interrupts.StopSignal());
  if (started >= 0) return started;
  // Where the transcript went, or why there is none (the flash went on
  // without it), as the last line whatever the outcome.
  struct TranscriptLine {
    ~TranscriptLine() {
      if (store == nullptr) return;
      if (!store->LastPath().empty()) {
        out << "Transcript: " << platform::PrintableText(store->LastPath()) << '\n' << std::flush;
      } else if (!store->LastError().empty()) {
        err << "flashutil-pack: " << platform::PrintableText(store->LastError()) << '\n' << std::flush;
      }
    }
    platform::TranscriptStore* store;
    std::ostream& out;
    std::ostream& err;
  } transcriptLine{options.transcripts, out_, err_};
  // A request held off during the flash ends the program once it is over,
  // with the flash's own status.
  struct HeldLine {
    ~HeldLine() {
      const std::string held = guard.Pending();
      if (!held.empty() && !guard.Requested()) {
        err << kName << held << " came during the flash and was held off; the program ends now\n" << std::flush;
      }
    }
    const StopGuardOnTerminal& guard;
    std::ostream& err;
  } heldLine{interrupts, err_};
  if (view.GetStatus() == "Flash Completed.") {
    PrintCompleted(view, true);
    return kSuccess;
  }
  if (boxes.RefusedDowngrade()) return kTrouble;
  if (boxes.UpToDate()) {
    out_ << kUpToDateLine << std::flush;
    return kSuccess;
  }
  if (interrupts.Requested()) return Stopped(interrupts.StopSignal());
  if (!boxes.RevisionAnsweredYes()) return Error(kFailure, "not flashed: nothing was sent to the drive");
  if (!view.GetStatus().empty()) return Error(kFailure, "flash failed: " + view.GetStatus());
  return Error(kFailure, "not flashed: " + boxes.LastError());
}

}  // namespace pack

namespace pack {

namespace {

// What a package says of itself as a transcript's header names it.
std::string PackageLine(const std::string& vendor, const std::string& model, const std::string& version,
                        uint32_t length, const std::string& sha256) {
  return "\"" + vendor + "\" \"" + model + "\" \"" + version + "\" " + std::to_string(length) + " bytes, SHA-256 " + sha256;
}

// A record as the transcript's line reads (shortened): its texts are
// escaped already, their backslashes are not escaped again.
std::string RecordText(const std::string& record) {
  const std::string printable = platform::PrintableText(platform::sim::ShortRecord(record));
  std::string text;
  for (size_t at = 0; at < printable.size(); ++at) {
    if (printable.compare(at, 4, "\\x5c") == 0) {
      text += '\\';
      at += 3;
    } else {
      text += printable[at];
    }
  }
  return text;
}

// What `package` carries, if it is not what the header recorded; empty when it is.
std::string ProgramMismatch(const package::PackageView& package, const platform::TranscriptHeader& header) {
  const uint32_t length = std::min<uint32_t>(package.BinLength(), package::kBinAreaSize);
  const std::string carried =
      PackageLine(package::PackageView::SlotText(package.VendorSlot()), package::PackageView::SlotText(package.ModelSlot()),
                  package::PackageView::SlotText(package.Version(), 4), length,
                  platform::Sha256Hex(package.BinArea(), length));
  const std::string wanted = PackageLine(header.packageVendor, header.packageModel, header.packageVersion,
                                         header.imageLength, header.imageSha256);
  return carried == wanted ? std::string() : "it carries " + carried + ", the recorded one " + wanted;
}

}  // namespace

int DriveCommands::Replay(const std::string& path, const std::string& program, bool progressBar) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Error(kTrouble, "can't read " + path + ": " + std::strerror(errno));
  // Line by line, refused where it stops being a transcript: files come from other people's machines.
  const platform::TranscriptReadResult read = platform::ReadTranscript(in);
  if (!read.transcript) return Error(kTrouble, path + ": " + read.error);
  package::ProgramFile file;
  if (!file.Read(program, keyWord_)) return Error(kTrouble, file.Error());
  if (file.Package().IsBuilder()) return Error(kTrouble, program + " is a builder, not a flash program");
  const std::string mismatch = ProgramMismatch(file.Package(), read.transcript->header);
  if (!mismatch.empty()) return Error(kTrouble, program + " is not the program of " + path + " (line 4): " + mismatch);

  out_ << "Replay of " << platform::PrintableText(path) << ": the drive answers as recorded; no drive is reached.\n"
       << std::flush;
  std::string replayed;
  const int started = RunReplay(*read.transcript, program, file.Package(), progressBar, replayed);
  if (started >= 0) return started;
  return CompareWithRecording(path, *read.transcript, replayed);
}

int DriveCommands::RunReplay(const platform::ParsedTranscript& recorded, const std::string& program,
                             const package::PackageView& package, bool progressBar, std::string& replayed) {
  // The recorded drive alone: no other transport is ever made.
  platform::sim::ReplayTransport transport(recorded);
  TerminalView view(out_, progressBar, program);
  const bool commandLine = recorded.header.commandLine;
  platform::sim::ReplayBoxes boxes(recorded, [&](platform::BoxKind kind, const std::string&, const std::string& shown,
                                                 platform::BoxButtons buttons, platform::BoxAnswer answer) {
    // The command line never asked the restart question: it ended with a line instead.
    if (commandLine && shown == flash::RestartQuestionText()) return;
    view.EndBar();
    const bool error = kind == platform::BoxKind::Error && buttons == platform::BoxButtons::Ok;
    (error ? err_ : out_) << TrimmedBoxText(shown) << '\n';
    if (buttons == platform::BoxButtons::YesNo) out_ << (answer == platform::BoxAnswer::Yes ? "yes" : "no") << " (replay)\n";
    out_ << std::flush;
  });
  platform::sim::ReplayClock clock;
  platform::sim::ReplayStops stops(transport);
  platform::MemoryTranscriptStore transcripts;
  platform::Services services;
  services.boxes = &boxes;
  services.clock = &clock;
  services.stop = &stops;
  services.transcripts = &transcripts;
  services.commandLine = commandLine;
  {
    // A recording made through the command library replays through it.
    platform::sim::ReplayLibraryPath library(transport);
    DriveScope scope(transport, services, transport.ThroughLibrary() ? &library : nullptr);
    const int started = RunForm(program, package.KeyWord(), view, recorded.header.driveNode, [] { return false; },
                                [&](const CDDrive&) {
                                  transport.BeginFlash();
                                  boxes.BeginFlash();
                                  CDDrive::ReportErrors = transport.ErrorsShown();
                                });
    if (started >= 0) return started;
  }
  // What the flash showed after it completed.
  if (view.GetStatus() == "Flash Completed.") PrintCompleted(view, commandLine);
  const std::vector<std::string> texts = transcripts.Texts();
  replayed = texts.empty() ? std::string() : texts.back();
  return -1;
}

int DriveCommands::CompareWithRecording(const std::string& path, const platform::ParsedTranscript& recorded,
                                        const std::string& replayed) {
  const platform::TranscriptReadResult again = platform::ReadTranscript(replayed);
  std::optional<platform::sim::ReplayDifference> difference;
  if (again.transcript) {
    difference = platform::sim::CompareReplay(recorded, *again.transcript, flash::SimulatedRestartText());
  } else {
    difference = platform::sim::ReplayDifference{recorded.records.empty() ? 6 : recorded.records.front().line,
                                                 recorded.records.empty() ? "" : recorded.records.front().text, ""};
  }
  if (!difference) {
    out_ << "Replay: the same as the recording, to its end (" << platform::PrintableText(path) << " line "
         << recorded.records.back().line << ")\n"
         << std::flush;
    return kSuccess;
  }
  const std::string recordedText =
      difference->recorded.empty() ? "the recording had ended" : "recorded " + RecordText(difference->recorded);
  const std::string replayedText =
      difference->replayed.empty() ? "the replay ended there" : "the replay " + RecordText(difference->replayed);
  err_ << kName << "the replay differs from " << platform::PrintableText(path) << " at line " << difference->line << ": "
       << recordedText << "; " << replayedText << '\n'
       << std::flush;
  return kFailure;
}

}  // namespace pack
