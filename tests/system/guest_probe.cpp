// Runs the drive layer on the real Linux SCSI stack inside the test guest and
// prints what it sees, one fact per line, for the host side to compare with
// the expected texts. Every message box is printed ("BOX <kind>|<caption>|
// <buttons>", the text, "END BOX") and answered Yes or OK.
//
//   guest_probe discover            the drive list: node, identity, parts
//   guest_probe startup INQUIRY FW-RANGE MODEL VENDOR
//                                   the flash-mode start-up workflow with a
//                                   package carrying these identity texts
//   guest_probe rest                rest sequence, becoming-ready poll, CheckDisc
//   guest_probe vendor              the vendor flash operations on every drive
//   guest_probe writebuffer         one 16 KiB block write on every drive
//   guest_probe bench INDEX COUNT   TEST UNIT READY rate through SendCommand
//   guest_probe timeout INDEX SECONDS
//                                   a block write to the scsi_debug drive at
//                                   INDEX while scsi_debug ignores every command
//   guest_probe flash MODEL-FILES IMAGE INQUIRY FW-RANGE MODEL VERSION NOTE
//                                   whole flashes of IMAGE (a BIN file) with a
//                                   package of these texts, each a fresh start-up
//                                   and FLASH on a headless form, into the drive
//                                   model whose files are MODEL-FILES.log, .control
//                                   and .flash (tests/system/tcmu_drive.cpp). One
//                                   run per line of standard input:
//                                     NAME ORDER; ORDER...  the orders go to the
//                                                           model before the run
//                                     sweep KEY ASC ASCQ    a clean run, then one
//                                                           run per command of it
//                                                           with that sense on it
//                                   Each run's transcript is replayed on the spot
//                                   against its recorded answers (REPLAY lines).
//   guest_probe hold NODE excl|plain [once]
//                                   another program on the drive: opens NODE
//                                   (read-write, without waiting; with O_EXCL, or
//                                   without), prints "HELD NODE" and keeps it
//                                   open until it is killed (with "once": closes
//                                   it and ends)
//   Any mode may be preceded by "--uid N": the program drops to that user
//   (and group) before it touches a drive.
#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "drive/CDDrive.h"
#include "drive/CDDrives.h"
#include "flash/CommandBlocks.h"
#include "package/Package.h"
#include "tests/support/PrintingServices.h"
#include "tests/support/Replay.h"
#include "platform/Services.h"
#include "platform/Transcript.h"
#include "platform/linux/SgTransport.h"
#include "tests/support/TestDoubles.h"
#include "tests/support/TestForm.h"

namespace {

using platform::PrintingBoxes;

class RealClock final : public platform::Clock {
 public:
  void SleepMs(unsigned milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
};

std::string SenseText(const CDDrive& drive) {
  char text[40];
  std::snprintf(text, sizeof text, "%02X %02X %02X st=%02X ok=%d", drive.SenseKey, drive.Asc, drive.Ascq,
                drive.Status, drive.LastCommandSucceeded() ? 1 : 0);
  return text;
}

// A package carrying the given identity texts and `image`; without one, an
// image that is neither the builder tag nor anything a drive would take.
std::vector<uint8_t> MakePackage(const std::string& model, const std::string& inquiry,
                                 const std::string& fwRange, const std::string& vendor,
                                 const std::string& version = "1.00", const std::string& note = "",
                                 const std::vector<uint8_t>& image = std::vector<uint8_t>(16384, 0x5A)) {
  const size_t length = std::min(image.size(), package::kBinAreaSize);
  const package::Identity identity{model, inquiry, fwRange, vendor, note, version, static_cast<uint32_t>(length)};
  return package::MakePackage("", identity, image.data(), length);
}

bool DropPrivileges(uid_t uid) {
  if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) {
    std::perror("dropping privileges");
    return false;
  }
  std::printf("UID %d\n", static_cast<int>(geteuid()));
  return true;
}

void PrintList(CDDrives& drives) {
  std::printf("COUNT %d\n", drives.GetCount());
  for (int i = 0; i < drives.GetCount(); ++i) {
    CDDrive& d = *drives.Slots[static_cast<size_t>(i)];
    std::printf("DRIVE %d|%s|%s|%s|%s\n", i,
                d.Device.node.c_str(),
                d.Identity.c_str(), d.GetVendorProduct().c_str(), d.GetRevision().c_str());
  }
  std::printf("CURRENT %d\n", drives.Current == nullptr ? -1 : static_cast<int>(drives.Index));
}

int Discover() {
  CDDrives drives;
  PrintList(drives);
  for (int i = 0; i < drives.GetCount(); ++i) {
    // A fresh INQUIRY gives the same text.
    std::printf("FRESH %d|%s\n", i, drives.Slots[static_cast<size_t>(i)]->GetIdentity().c_str());
  }
  return 0;
}

int Startup(const std::vector<std::string>& args) {
  if (args.size() < 4) return 2;
  const std::vector<uint8_t> pkg = MakePackage(args[2], args[0], args[1], args[3]);
  testing_support::TestForm form(pkg.data());
  form.FormCreate();
  std::printf("CAPTION %s\nLABEL %s\n", form.caption.c_str(), form.label.c_str());
  for (size_t i = 0; i < form.comboItems.size(); ++i) {
    std::printf("COMBO %zu %s\n", i, form.comboItems[i].c_str());
  }
  std::printf("SELECTED %d\nQUIT %d\n", form.comboIndex, form.quitRequests);
  form.FormDestroy();
  return 0;
}

// The flash sequence's bringing the drive to rest, on every drive, followed
// by the disc probe.
int Rest() {
  CDDrives drives;
  const std::vector<uint8_t> pkg = MakePackage("", "--", "----------", "");
  testing_support::TestForm form(pkg.data());
  for (int i = 0; i < drives.GetCount(); ++i) {
    CDDrive& d = *drives.Slots[static_cast<size_t>(i)];
    d.SendCommand(flash::StartStopUnitBlock(0x03), 1, 0);
    std::printf("REST %d load %s\n", i, SenseText(d).c_str());
    int polls = 0;
    do {
      platform::SleepMs(30);
      d.SendCommand(flash::TestUnitReadyBlock(), 1, 0);
      d.SendCommand(flash::StopPlayScanBlock(), 1, 0);
      ++polls;
    } while (polls < 500 && d.CheckSense(0x02, 0x04, 0x01));
    std::printf("REST %d polls %d\n", i, polls);
    d.SendCommand(flash::StopPlayScanBlock(), 1, 0);
    d.SendCommand(flash::StartStopUnitBlock(0x00), 1, 0);
    std::printf("REST %d stop %s\n", i, SenseText(d).c_str());
    form.CurrentDrive = &d;
    const bool empty = form.CheckDisc();
    std::printf("REST %d checkdisc %d %s\n", i, empty ? 1 : 0, SenseText(d).c_str());
  }
  return 0;
}

int Vendor(bool allOperations) {
  CDDrives drives;
  const std::vector<uint8_t> pkg = MakePackage("", "--", "----------", "");
  testing_support::TestForm form(pkg.data());
  std::vector<uint8_t> transfer(FlashFormCore::kBlockSize, 0);
  CDDrive::SetDataBuffer(transfer.data(), FlashFormCore::kBlockSize);
  std::vector<uint8_t> block(FlashFormCore::kBlockSize);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + 3);

  for (int i = 0; i < drives.GetCount(); ++i) {
    CDDrive& d = *drives.Slots[static_cast<size_t>(i)];
    form.CurrentDrive = &d;
    std::printf("OP %d WriteBuffer\n", i);
    std::fflush(stdout);
    const bool written = form.WriteBuffer(0, block.data(), 0x00, FlashFormCore::kBlockSize);
    std::printf("RESULT %d WriteBuffer %d %s err=%u\n", i, written ? 1 : 0, SenseText(d).c_str(),
                d.LastError);
    // A drive that took the block reports the changed buffer with the next
    // command's sense (a unit attention).
    d.SendCommand(flash::TestUnitReadyBlock(), 1, 0);
    std::printf("RESULT %d next %s\n", i, SenseText(d).c_str());
    if (!allOperations) continue;

    std::vector<uint8_t> back(FlashFormCore::kBlockSize, 0xEE);
    std::printf("OP %d ReadBuffer\n", i);
    std::fflush(stdout);
    const bool read = form.ReadBuffer(0, back.data(), FlashFormCore::kBlockSize);
    std::printf("RESULT %d ReadBuffer %d %s untouched=%d\n", i, read ? 1 : 0, SenseText(d).c_str(),
                back[0] == 0xEE && back[back.size() - 1] == 0xEE ? 1 : 0);
    std::printf("OP %d EntryCritical\n", i);
    std::fflush(stdout);
    const bool critical = form.EntryCritical();
    std::printf("RESULT %d EntryCritical %d %s\n", i, critical ? 1 : 0, SenseText(d).c_str());
    const uint8_t e2[2] = {0x12, 0x34};
    std::printf("OP %d WriteE2\n", i);
    std::fflush(stdout);
    const bool e2ok = form.WriteE2(e2, 0xFFFF, 2);
    std::printf("RESULT %d WriteE2 %d %s\n", i, e2ok ? 1 : 0, SenseText(d).c_str());
  }
  CDDrive::SetDataBuffer(nullptr, 0);
  return 0;
}

bool WriteSysfs(const char* path, const char* value) {
  FILE* file = std::fopen(path, "w");
  if (file == nullptr) return false;
  const bool ok = std::fputs(value, file) >= 0;
  return std::fclose(file) == 0 && ok;
}

// scsi_debug drops every command while its "timeout" option is set with
// every_nth 1: the command ends in the kernel's time-out handling.
int TimeOut(const std::vector<std::string>& args) {
  if (args.size() < 2) return 2;
  const int index = std::atoi(args[0].c_str());
  const int seconds = std::atoi(args[1].c_str());
  CDDrives drives;
  if (index < 0 || index >= drives.GetCount() || seconds <= 0) return 2;
  CDDrive& d = *drives.Slots[static_cast<size_t>(index)];
  const std::vector<uint8_t> pkg = MakePackage("", "--", "----------", "");
  testing_support::TestForm form(pkg.data());
  form.CurrentDrive = &d;
  std::vector<uint8_t> transfer(FlashFormCore::kBlockSize, 0);
  CDDrive::SetDataBuffer(transfer.data(), FlashFormCore::kBlockSize);
  std::vector<uint8_t> block(FlashFormCore::kBlockSize, 0x42);

  // Collect a pending unit attention first; it would be reported ahead of
  // the time-out.
  d.SendCommand(flash::TestUnitReadyBlock(), 1, 0);
  const char* opts = "/sys/bus/pseudo/drivers/scsi_debug/opts";
  const char* everyNth = "/sys/bus/pseudo/drivers/scsi_debug/every_nth";
  if (!WriteSysfs(opts, "4") || !WriteSysfs(everyNth, "1")) {
    std::printf("cannot set scsi_debug options\n");
    return 1;
  }
  CDDrive::SetTimeOut(static_cast<uint16_t>(seconds));
  const auto start = std::chrono::steady_clock::now();
  const bool written = form.WriteBuffer(0, block.data(), 0x00, FlashFormCore::kBlockSize);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  WriteSysfs(everyNth, "0");
  WriteSysfs(opts, "0");
  CDDrive::SetTimeOut(60);
  std::printf("RESULT WriteBuffer %d %s err=%u within-limit=%d\n", written ? 1 : 0, SenseText(d).c_str(),
              d.LastError, elapsed >= seconds && elapsed < seconds + 30 ? 1 : 0);
  // The drive answers INQUIRY again once the option is cleared.
  std::printf("RESULT answers-again %d\n", d.Identify() ? 1 : 0);
  CDDrive::SetDataBuffer(nullptr, 0);
  return 0;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// How a run's transcript replayed: the same, or no transcript to replay.
const char* const kReplaySame = "the same as the recording";
const char* const kNoTranscript = "no transcript: no flash began";

// What one flash run left: the boxes, the status line, the drive's entry,
// and what the drive model logged meanwhile.
struct RunResult {
  std::vector<std::string> boxes;
  std::string status;
  std::string entry;
  std::vector<std::string> log;
  bool completed = false;     // the status line says the flash completed
  bool flashed = false;       // the drive ran a flash start
  bool imageIntact = false;   // and its flash now holds the image
  size_t kernelTail = 0;      // the log's lines from here on are the kernel's own, after the run
  // The run's transcript replayed against its recorded answers: "the same
  // as the recording", or where the replay parts from it.
  std::string replay;
};

// A command that the kernel sends by itself when a block node opens or
// closes: GET EVENT STATUS NOTIFICATION, TEST UNIT READY, PREVENT ALLOW
// MEDIUM REMOVAL.
bool IsKernelsOwn(const std::string& entry) {
  return entry.rfind("4A ", 0) == 0 || entry.rfind("1E ", 0) == 0 || entry.rfind("00 00 00 00 00 00 ", 0) == 0;
}

// Waits until nothing more reaches the drive model: closing a block node
// makes the kernel look at the drive once more (GET EVENT STATUS
// NOTIFICATION, TEST UNIT READY) from a worker of its own, a moment later.
void SettleLog(const std::string& logPath) {
  size_t size = ReadFile(logPath).size();
  // Quiet for 75 ms; at most a second, for a drive that the kernel polls often.
  for (int quiet = 0, waited = 0; quiet < 3 && waited < 40; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    const size_t now = ReadFile(logPath).size();
    quiet = now == size ? quiet + 1 : 0;
    size = now;
  }
}

std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n') c = '~';
  }
  return text;
}

// Runs the program's start-up and FLASH on a fresh headless form (a fresh
// start of the program), after sending `orders` to the drive model.
RunResult FlashRun(const std::vector<uint8_t>& pkg, const std::string& modelFiles, const std::string& orders,
                   platform::DriveTransport& transport) {
  const std::string logPath = modelFiles + ".log";
  const std::string flashPath = modelFiles + ".flash";
  std::remove(flashPath.c_str());
  const auto logStart = ReadFile(logPath).size();
  {
    // Written whole under another name and renamed: the model reads it before its next command.
    const std::string temporary = modelFiles + ".orders";
    std::ofstream out(temporary);
    std::istringstream list(orders);
    std::string order;
    while (std::getline(list, order, ';')) out << order << "\n";
    out.close();
    std::rename(temporary.c_str(), (modelFiles + ".control").c_str());
  }

  testing_support::ScriptedBoxes boxes;
  boxes.AnswerYes(3);  // the warning, the update prompt, the restart offer
  platform::MemoryTranscriptStore transcripts;
  const platform::Services outside = platform::GetServices();
  platform::GetServices().boxes = &boxes;
  platform::GetServices().transcripts = &transcripts;
  CDDrive::ResetClassState();
  CDDrive::SetTransport(&transport);
  RunResult result;
  {
    testing_support::TestForm form(pkg.data());
    form.FormCreate();
    if (form.quitRequests == 0) form.FlashButtonClick();
    result.status = form.status;
    if (form.comboIndex >= 0) result.entry = form.comboItems[static_cast<size_t>(form.comboIndex)];
    form.FormDestroy();
  }
  CDDrive::SetTransport(nullptr);
  SettleLog(logPath);
  // The transcript that the flash left, replayed on the spot: what the
  // kernel stack answered must be enough to run the same flash again.
  const std::vector<std::string> texts = transcripts.Texts();
  if (texts.empty()) {
    result.replay = kNoTranscript;
  } else if (texts.size() != 1) {
    result.replay = std::to_string(texts.size()) + " transcripts";
  } else {
    const ::testing::AssertionResult replayed = testing_support::Replays(pkg, texts[0]);
    result.replay = replayed ? kReplaySame : OneLine(replayed.message());
  }
  platform::GetServices() = outside;
  for (const auto& box : boxes.shown) result.boxes.push_back(box.text);
  result.completed = result.status == "Flash Completed.";

  const std::vector<uint8_t> log = ReadFile(logPath);
  std::istringstream lines(std::string(log.begin() + static_cast<long>(std::min(logStart, log.size())), log.end()));
  std::string line;
  while (std::getline(lines, line)) {
    result.log.push_back(line);
    if (line.rfind("FLASH ", 0) == 0) result.flashed = true;
  }
  // After the program's last command only the kernel's own come: its look
  // at the drive when a block node closes and the tray's unlocking on the
  // last close, in no fixed order. That tail is sorted.
  result.kernelTail = result.log.size();
  while (result.kernelTail > 0 && IsKernelsOwn(result.log[result.kernelTail - 1])) --result.kernelTail;
  std::sort(result.log.begin() + static_cast<long>(result.kernelTail), result.log.end());
  const std::vector<uint8_t> flash = ReadFile(flashPath);
  const package::PackageView view(pkg.data());
  const uint32_t length = view.BinLength();
  result.imageIntact = flash.size() >= length && std::memcmp(flash.data(), view.BinArea(), length) == 0;
  return result;
}

// A run may end in "Flash Completed." only when the drive ran the flash
// start and its flash holds the image.
std::string Verdict(const RunResult& result) {
  if (!result.completed) return "safe";
  if (!result.flashed) return "UNSAFE: completed, but the drive ran no flash start";
  if (!result.imageIntact) return "UNSAFE: completed, but the drive's flash differs from the image";
  return "safe";
}

int Flash(const std::vector<std::string>& args, platform::DriveTransport& transport) {
  if (args.size() < 7) return 2;
  const std::string& modelFiles = args[0];
  const std::vector<uint8_t> image = ReadFile(args[1]);
  if (image.empty()) {
    std::printf("cannot read %s\n", args[1].c_str());
    return 1;
  }
  const std::vector<uint8_t> pkg = MakePackage(args[4], args[2], args[3], "VoxTEL-DS", args[5], args[6], image);

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string name;
    words >> name;
    if (name.empty()) continue;
    if (name == "sweep") {
      std::string key, asc, ascq;
      words >> key >> asc >> ascq;
      const RunResult clean = FlashRun(pkg, modelFiles, "reset", transport);
      size_t commands = 0;
      for (const std::string& entry : clean.log) commands += entry.rfind("FLASH ", 0) == 0 ? 0 : 1;
      std::printf("SWEEP clean run: %zu commands, %s, %s\n", commands, clean.status.c_str(),
                  Verdict(clean).c_str());
      size_t replayedSame = clean.replay == kReplaySame ? 1 : 0;
      size_t recorded = clean.replay == kNoTranscript ? 0 : 1;
      if (clean.replay != kReplaySame) std::printf("SWEEP clean run's replay: %s\n", clean.replay.c_str());
      for (size_t n = 1; n <= commands; ++n) {
        const RunResult run = FlashRun(
            pkg, modelFiles, "reset;fail nth=" + std::to_string(n) + " sense " + key + " " + asc + " " + ascq,
            transport);
        std::string faulted = "(no command took the fault)";
        for (size_t i = 0; i < run.log.size(); ++i) {
          const std::string& entry = run.log[i];
          if (entry.size() > 6 && entry.compare(entry.size() - 6, 6, " fault") == 0) {
            faulted = i < run.kernelTail ? entry : "(one of the kernel's own after the run)";
          }
        }
        std::printf("SWEEP %zu|%s|%s|%s|%s\n", n, faulted.c_str(),
                    run.boxes.empty() ? "" : OneLine(run.boxes.back()).c_str(), run.status.c_str(),
                    Verdict(run).c_str());
        if (run.replay != kNoTranscript) ++recorded;
        if (run.replay == kReplaySame) ++replayedSame;
        else std::printf("SWEEP %zu replay: %s\n", n, run.replay.c_str());
        std::fflush(stdout);
      }
      std::printf("SWEEP replays: %zu of the %zu transcripts %s\n", replayedSame, recorded, kReplaySame);
      continue;
    }
    std::string orders;
    std::getline(words >> std::ws, orders);
    const auto start = std::chrono::steady_clock::now();
    const RunResult run = FlashRun(pkg, modelFiles, "reset;" + orders, transport);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("RUN %s\n", name.c_str());
    for (const std::string& box : run.boxes) std::printf("BOX %s\n", OneLine(box).c_str());
    std::printf("STATUS %s\nENTRY %s\n", run.status.c_str(), run.entry.c_str());
    for (const std::string& entry : run.log) std::printf("LOG %s\n", entry.c_str());
    std::printf("VERDICT %s\nREPLAY %s\n", Verdict(run).c_str(), run.replay.c_str());
    std::fprintf(stderr, "run %s: %.2f s\n", name.c_str(), seconds);
    std::fflush(stdout);
  }
  return 0;
}

int Hold(const std::vector<std::string>& args) {
  if (args.size() < 2) return 2;
  const int flags = O_RDWR | O_NONBLOCK | (args[1] == "excl" ? O_EXCL : 0);
  const int fd = ::open(args[0].c_str(), flags);
  if (fd < 0) {
    std::printf("CANNOT HOLD %s: %s\n", args[0].c_str(), std::strerror(errno));
    return 1;
  }
  std::printf("HELD %s\n", args[0].c_str());
  std::fflush(stdout);
  if (args.size() > 2 && args[2] == "once") {
    ::close(fd);
    return 0;
  }
  for (;;) ::pause();
}

int Bench(const std::vector<std::string>& args) {
  if (args.size() < 2) return 2;
  const int index = std::atoi(args[0].c_str());
  const long count = std::atol(args[1].c_str());
  CDDrives drives;
  if (index < 0 || index >= drives.GetCount() || count <= 0) return 2;
  CDDrive& d = *drives.Slots[static_cast<size_t>(index)];
  long good = 0;
  const auto start = std::chrono::steady_clock::now();
  for (long n = 0; n < count; ++n) {
    if (d.SendCommand(flash::TestUnitReadyBlock(), 1, 0) != 0) ++good;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("BENCH %ld commands, %ld good, %.3f s, %.1f per second\n", count, good, seconds,
              seconds > 0 ? static_cast<double>(count) / seconds : 0.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "--uid") {
    if (!DropPrivileges(static_cast<uid_t>(std::atoi(args[1].c_str())))) return 3;
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) {
    std::fprintf(stderr, "usage: guest_probe [--uid N] discover|startup|rest|vendor|writebuffer|bench|timeout|flash|hold ...\n");
    return 2;
  }
  const std::string mode = args[0];
  args.erase(args.begin());

  PrintingBoxes boxes;
  RealClock clock;
  platform::Services& services = platform::GetServices();
  services.boxes = &boxes;
  services.clock = &clock;
  CDDrive::ResetClassState();
  std::unique_ptr<platform::DriveTransport> transport = platform::linux_sg::MakeSgTransport();
  CDDrive::SetTransport(transport.get());

  int result = 2;
  if (mode == "discover") result = Discover();
  else if (mode == "startup") result = Startup(args);
  else if (mode == "rest") result = Rest();
  else if (mode == "vendor") result = Vendor(true);
  else if (mode == "writebuffer") result = Vendor(false);
  else if (mode == "bench") result = Bench(args);
  else if (mode == "timeout") result = TimeOut(args);
  else if (mode == "flash") result = Flash(args, *transport);
  else if (mode == "hold") result = Hold(args);
  else std::fprintf(stderr, "unknown mode %s\n", mode.c_str());

  CDDrive::SetTransport(nullptr);
  services = platform::Services{};
  std::fflush(stdout);
  return result;
}
