// A complete flash of a 512 KiB image into a simulated drive through the
// real main window (status line and progress bar repainted as in the
// program), side by side with a bare loop of the 64 block commands through
// the same transport, and with the same flash through a form without a window.
// The 30 ms readiness poll is taken out by a clock that does not wait. A
// second pair runs both sides with block commands that take 1 ms each, to
// show the window's cost next to a drive that needs time for its transfers;
// beside them, the whole command `flashutil-pack flash --yes PROGRAM` on that
// drive: reading the program file, start-up, drive detection, the flash and
// its lines of output; and the same with its transcript written.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include "app/TFlashForm.h"
#include "pack/DriveCommands.h"
#include "tests/support/ForwardingTransport.h"
#include "tests/support/TestForm.h"
#include "drive/CDDrive.h"
#include "flash/CommandBlocks.h"
#include "package/Package.h"
#include "platform/Services.h"
#include "platform/Transcript.h"
#include "platform/qt/QtServices.h"
#include "platform/sim/SimTransport.h"

namespace {

constexpr uint32_t kBlock = 16384;
constexpr uint32_t kImageSize = 524288;

// Message boxes that answer at once without showing anything: Yes to every
// question (the revision prompt and the restart offer), OK otherwise.
class AnsweringBoxes final : public platform::MessageBoxes {
 public:
  platform::BoxAnswer Show(platform::BoxKind, const std::string&, const std::string& text,
                           platform::BoxButtons buttons) override {
    last = text;
    ++shown;
    return buttons == platform::BoxButtons::YesNo ? platform::BoxAnswer::Yes : platform::BoxAnswer::Ok;
  }
  std::string last;
  int shown = 0;
};

class NoWaitClock final : public platform::Clock {
 public:
  void SleepMs(unsigned) override {}
};

class NoRestart final : public platform::SystemRestart {
 public:
  void RequestReboot() override {}
};

// A transport in front of the simulated drive that makes every 16384-byte
// block command take `blockMicroseconds` (busy waiting, for precision), as
// the data transfer of a real drive takes time; every other command passes
// at memory speed.
class SlowBlockTransport final : public testing_support::ForwardingTransport {
 public:
  using ForwardingTransport::ForwardingTransport;
  unsigned blockMicroseconds = 1000;

  platform::CommandOutcome Execute(platform::DeviceHandle handle, const platform::Cdb& cdb,
                                   platform::Direction direction, uint8_t* buffer, uint32_t length,
                                   unsigned timeoutSeconds) override {
    if (length == kBlock) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(blockMicroseconds);
      while (std::chrono::steady_clock::now() < until) {
      }
    }
    return ForwardingTransport::Execute(handle, cdb, direction, buffer, length, timeoutSeconds);
  }
};

// A flash-mode package for the QRD-73318K sample model holding samples/Q150.BIN
// (no image signature, so no flash profile).
std::vector<uint8_t> SamplePackage() {
  std::ifstream bin(std::string(FLASHUTIL_SOURCE_DIR) + "/samples/Q150.BIN", std::ios::binary);
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(bin)), std::istreambuf_iterator<char>());
  if (image.size() != kImageSize) return {};
  const package::Identity identity{"QRD-73318K", "VOX-TEL QRD-73318K      ", "Q100-Q149", "VoxTEL-DS", "VoxTEL",
                                   "Q150.", kImageSize};
  return package::MakePackage("BENCH-KEYWORD-", identity, image.data(), image.size());
}

// Services, one simulated drive of the sample model and the package, shared
// by the three benchmarks of this file.
struct FlashSetup {
  std::vector<uint8_t> package = SamplePackage();
  std::unique_ptr<platform::sim::SimTransport> transport = std::make_unique<platform::sim::SimTransport>();
  AnsweringBoxes boxes;
  NoWaitClock clock;
  NoRestart restart;
  platform::QtCursor cursor;
  SlowBlockTransport slow{*transport};

  FlashSetup() {
    platform::sim::DriveConfig drive;
    drive.vendor = "VOX-TEL ";
    drive.product = "QRD-73318K      ";
    drive.revision = "Q120";
    transport->AddDrive(drive);
    platform::Services& services = platform::GetServices();
    services.boxes = &boxes;
    services.clock = &clock;
    services.restart = &restart;
    services.cursor = &cursor;
    CDDrive::SetTransport(transport.get());
  }
  ~FlashSetup() {
    CDDrive::SetTransport(nullptr);
    platform::GetServices() = platform::Services{};
  }
};

FlashSetup& Setup() {
  static FlashSetup setup;
  return setup;
}

// Runs flashes through `form` until the benchmark has enough of them.
void RunFlashes(benchmark::State& state, FlashFormCore& form) {
  FlashSetup& setup = Setup();
  if (setup.package.empty()) {
    state.SkipWithError("samples/Q150.BIN is missing or not 512 KiB");
    return;
  }
  form.FormCreate();
  if (form.CurrentDrive == nullptr) {
    state.SkipWithError("the simulated drive was not listed");
    return;
  }
  for (auto _ : state) {
    form.FlashButtonClick();
    state.PauseTiming();
    setup.transport->ClearLog();  // the command log would grow without end
    state.ResumeTiming();
  }
  if (form.View().GetStatus() != "Flash Completed.") {
    state.SkipWithError(("flash failed: " + form.View().GetStatus() + " / " + setup.boxes.last).c_str());
  }
  form.FormDestroy();
}

void BM_FlashThroughWindow(benchmark::State& state) {
  FlashSetup& setup = Setup();
  TFlashForm form(setup.package.data());
  form.show();
  QApplication::processEvents();  // the window is exposed and painted once
  RunFlashes(state, form);
}

// The same with block commands that take 1 ms each, as on a fast real drive.
void BM_FlashThroughWindowSlowDrive(benchmark::State& state) {
  FlashSetup& setup = Setup();
  CDDrive::SetTransport(&setup.slow);
  {
    TFlashForm form(setup.package.data());
    form.show();
    QApplication::processEvents();
    RunFlashes(state, form);
  }
  CDDrive::SetTransport(setup.transport.get());
}

// flashutil-pack flash --yes on the drive with 1 ms block commands: a
// program file that holds the package, read afresh by every flash; the
// output goes nowhere. With `transcript`, each flash writes its transcript
// into the folder, as the command does in the user's state folder (the file
// is removed between flashes, outside the time taken).
void FlashThroughCommandLineSlowDrive(benchmark::State& state, bool transcript) {
  FlashSetup& setup = Setup();
  if (setup.package.empty()) {
    state.SkipWithError("samples/Q150.BIN is missing or not 512 KiB");
    return;
  }
  std::string folder = (std::filesystem::temp_directory_path() / "flashutil-bench-XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr) {
    state.SkipWithError("cannot make a folder for the program file");
    return;
  }
  const std::string program = folder + "/Q150.EXE";
  std::ofstream(program, std::ios::binary)
      .write(reinterpret_cast<const char*>(setup.package.data()), static_cast<std::streamsize>(setup.package.size()));
  struct : std::streambuf {
    int overflow(int c) override { return c; }
  } discard;
  std::ostream nowhere(&discard);
  pack::DriveCommands commands(
      setup.package.data(),
      [&](const std::string&) { return std::make_unique<SlowBlockTransport>(*setup.transport); }, nowhere, nowhere);
  pack::FlashOptions options;
  options.answers.yes = true;
  platform::FolderTranscriptStore store(folder + "/state");
  if (transcript) options.transcripts = &store;
  int status = 0;
  for (auto _ : state) {
    status |= commands.Flash(program, options);
    state.PauseTiming();
    setup.transport->ClearLog();
    if (transcript && store.LastPath().empty()) status |= 1;
    if (!store.LastPath().empty()) std::filesystem::remove(store.LastPath());
    state.ResumeTiming();
  }
  std::filesystem::remove_all(folder);
  CDDrive::SetTransport(setup.transport.get());  // the command leaves none installed
  if (status != 0) state.SkipWithError("a flash from the command line failed");
}

void BM_FlashThroughCommandLineSlowDrive(benchmark::State& state) { FlashThroughCommandLineSlowDrive(state, false); }

void BM_FlashThroughCommandLineSlowDriveTranscript(benchmark::State& state) {
  FlashThroughCommandLineSlowDrive(state, true);
}

void BM_FlashThroughMemoryForm(benchmark::State& state) {
  FlashSetup& setup = Setup();
  testing_support::TestForm form(setup.package.data());
  RunFlashes(state, form);
}

// The 32 WRITE BUFFER and 32 READ BUFFER commands of 16384 bytes that carry
// the image, and nothing else.
void BareBlockCommands(benchmark::State& state, platform::DriveTransport& transport) {
  FlashSetup& setup = Setup();
  if (setup.package.empty()) {
    state.SkipWithError("samples/Q150.BIN is missing or not 512 KiB");
    return;
  }
  platform::DeviceHandle handle = platform::kNoHandle;
  if (transport.Open(setup.transport->Drive(0).Device(), handle) != 0) {
    state.SkipWithError("cannot open the simulated drive");
    return;
  }
  std::vector<uint8_t> image(setup.package.begin() + package::kBinAreaOffset, setup.package.end());
  std::vector<uint8_t> readBack(kBlock);
  bool ok = true;
  for (auto _ : state) {
    for (uint32_t offset = 0; offset < kImageSize; offset += kBlock) {
      const platform::Cdb write = flash::WriteBufferBlock(offset, kBlock, flash::kControlData);
      ok &= transport.Execute(handle, write, platform::Direction::Out, image.data() + offset, kBlock, 60).transportOk;
    }
    for (uint32_t offset = 0; offset < kImageSize; offset += kBlock) {
      const platform::Cdb read = flash::ReadBufferBlock(offset, kBlock);
      ok &= transport.Execute(handle, read, platform::Direction::In, readBack.data(), kBlock, 60).transportOk;
    }
    state.PauseTiming();
    setup.transport->ClearLog();
    state.ResumeTiming();
  }
  transport.Close(handle);
  if (!ok) state.SkipWithError("a block command failed");
}

void BM_BareBlockCommands(benchmark::State& state) { BareBlockCommands(state, *Setup().transport); }
void BM_BareBlockCommandsSlowDrive(benchmark::State& state) { BareBlockCommands(state, Setup().slow); }

// What one repaint of the window costs: the progress bar moved by one block,
// and the status line changed, each repainted at once as during a flash.
void BM_WindowProgressRepaint(benchmark::State& state) {
  FlashSetup& setup = Setup();
  TFlashForm form(setup.package.data());
  form.show();
  QApplication::processEvents();
  form.ProgressSetRange(0, static_cast<int>(kImageSize));
  uint32_t position = 0;
  for (auto _ : state) {
    position = (position + kBlock) % kImageSize;
    form.ProgressSetPosition(static_cast<int>(position));
  }
}

void BM_WindowStatusRepaint(benchmark::State& state) {
  FlashSetup& setup = Setup();
  TFlashForm form(setup.package.data());
  form.show();
  QApplication::processEvents();
  bool odd = false;
  for (auto _ : state) {
    form.SetStatus((odd = !odd) ? "Write BIN to drive's DRAM... " : "Read back and Verify drive's DRAM... ");
  }
}

}  // namespace

BENCHMARK(BM_WindowProgressRepaint)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_WindowStatusRepaint)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FlashThroughWindow)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FlashThroughMemoryForm)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareBlockCommands)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FlashThroughWindowSlowDrive)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareBlockCommandsSlowDrive)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FlashThroughCommandLineSlowDrive)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FlashThroughCommandLineSlowDriveTranscript)->Unit(benchmark::kMillisecond)->UseRealTime();
