// The commands of flashutil-pack that reach drives: list the optical drives
// and tell which of them a flash program fits, and flash a program's image
// with the window's own form and flash sequence. Results go to `out`, errors
// to `err`. Each returns the exit status.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "package/Package.h"
#include "pack/TerminalForm.h"
#include "platform/Services.h"
#include "platform/Transcript.h"
#include "platform/Transport.h"

class CDDrive;

namespace pack {

struct DriveResult;   // pack/FleetFlash.h
struct ProgramFacts;

// Exit statuses beyond those of PackCommands.h.
constexpr int kNothingFits = 3;    // no drive fits the program (or none was found)
constexpr int kInterrupted = 130;  // Ctrl-C before anything was written to the drive
// Another signal before anything was written: 128 + its number (SIGTERM: 143).
constexpr int StoppedBySignal(int signal) { return 128 + signal; }

// Makes the transport to the drives; `revision` is the firmware revision of
// the image to be flashed (what simulated drives report once flashed).
using TransportMaker = std::function<std::unique_ptr<platform::DriveTransport>(const std::string& revision)>;

struct FlashOptions {
  std::string drive;  // --drive NODE; empty: the one drive that fits
  bool all = false;   // --all: every drive that fits
  bool check = false;  // --check: say what the flash would do, and send nothing that writes
  bool json = false;   // --json: one JSON object on standard output, the texts on standard error
  int parallel = 1;    // --parallel N: up to N drives at once
  Answers answers;
  bool progressBar = false;  // standard output is a terminal
  // Where the flash's transcript goes; null: it leaves none.
  platform::TranscriptStore* transcripts = nullptr;
  // The sleep/shutdown lock the flash holds while it writes, as the
  // window's; none: the flash goes on without it.
  platform::SleepInhibitor* inhibitor = nullptr;
};

class DriveCommands {
 public:
  DriveCommands(const uint8_t* keyWord, TransportMaker makeTransport, std::ostream& out, std::ostream& err);

  // `program` may be empty: the drives alone.
  int Drives(const std::string& program, bool json);
  int Flash(const std::string& program, const FlashOptions& options);
  // Runs the flash of a transcript again, against its recorded drive alone,
  // with `program`, which must be the recorded one, and compares it with the
  // recording. No drive is reached, and no transcript written.
  int Replay(const std::string& transcript, const std::string& program, bool progressBar);

 private:
  int Error(int status, const std::string& message);
  // The lines after "Flash Completed.": the drive's refreshed entry, and
  // with `restartLine` the closing line that stands for the restart offer.
  void PrintCompleted(const TerminalView& view, bool restartLine);
  // The replay's flash, its transcript into `replayed`: -1 once FLASH was
  // clicked, or the exit status of a start-up that ended before it.
  int RunReplay(const platform::ParsedTranscript& recorded, const std::string& program,
                const package::PackageView& package, bool progressBar, std::string& replayed);
  int CompareWithRecording(const std::string& path, const platform::ParsedTranscript& recorded,
                           const std::string& replayed);
  // The end of a flash that a signal stopped before it wrote to the drive.
  int Stopped(int signal);
  // --all, --check, --json, --parallel (pack/FleetFlash.cpp): the drives'
  // flashes, each in contexts of its own, and their table or JSON object.
  int FlashFleet(const std::string& program, const FlashOptions& options);
  int ReportFleet(int signal, const std::string& held, const ProgramFacts& facts, bool simulated,
                  const FlashOptions& options, const std::vector<DriveResult>& results);
  // Start-up, the choice of the drive and the click on FLASH with the
  // window's form: -1 once FLASH was clicked (or the drive found up to
  // date: kSuccess is returned then), or the exit status of a
  // start-up that ended before it (kInterrupted, with nothing printed, when
  // `interrupted` was true after the start-up). `beforeClick` runs just before the click.
  // With `boxes` (null: a replay), a drive that has the image's version
  // already, which the start-up does not list, is up to date with --yes.
  int RunForm(const std::string& program, const uint8_t* keyWord, TerminalView& view, const std::string& drive,
              const std::function<bool()>& interrupted, const std::function<void(const CDDrive&)>& beforeClick,
              TerminalBoxes* boxes = nullptr);

  const uint8_t* keyWord_;
  TransportMaker makeTransport_;
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace pack
