// flashutil-pack flash over a tower of eight simulated drives of the sample
// model, whose block commands take 1 ms and whose flash start takes 1 s,
// as a real drive's do: --all --parallel 8 side by side with one drive's
// flash, and --all one drive after another side by side with eight single
// flashes. A block command's millisecond is a sleep: a drive's transfer
// takes no processor time, so that eight of them at once fit on two cores.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "drive/CDDrive.h"
#include "pack/DriveCommands.h"
#include "package/Package.h"
#include "platform/Services.h"
#include "platform/sim/SimTransport.h"
#include "tests/support/ForwardingTransport.h"

namespace {

constexpr uint32_t kBlock = 16384;
constexpr uint32_t kImageSize = 524288;
constexpr int kTowerDrives = 8;

// Owns the simulated drives, and makes each block command take 1 ms.
class SleepingBlocks final : public testing_support::ForwardingTransport {
 public:
  explicit SleepingBlocks(std::unique_ptr<platform::sim::SimTransport> drives)
      : ForwardingTransport(*drives), drives_(std::move(drives)) {}
  platform::CommandOutcome Execute(platform::DeviceHandle handle, const platform::Cdb& cdb,
                                   platform::Direction direction, uint8_t* buffer, uint32_t length,
                                   unsigned timeoutSeconds) override {
    if (length == kBlock) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return ForwardingTransport::Execute(handle, cdb, direction, buffer, length, timeoutSeconds);
  }

 private:
  std::unique_ptr<platform::sim::SimTransport> drives_;
};

std::unique_ptr<platform::DriveTransport> MakeTower(const std::string&) {
  auto drives = std::make_unique<platform::sim::SimTransport>();
  for (int d = 0; d < kTowerDrives; ++d) {
    platform::sim::DriveConfig config;
    config.host = static_cast<uint8_t>(d);
    config.vendor = "VOX-TEL ";
    config.product = "QRD-73318K      ";
    config.revision = "Q120";
    config.flashStartMilliseconds = 1000;
    drives->AddDrive(config);
  }
  return std::make_unique<SleepingBlocks>(std::move(drives));
}

class NoWaitClock final : public platform::Clock {
 public:
  void SleepMs(unsigned) override {}
};

// The program file of the sample model's Q150 image, in a folder of its own
// while the benchmarks run; the readiness poll's 30 ms wait taken out.
struct TowerSetup {
  std::string folder = (std::filesystem::temp_directory_path() / "flashutil-fleet-XXXXXX").string();
  std::string program;
  NoWaitClock clock;
  bool ready = false;

  TowerSetup() {
    std::ifstream bin(std::string(FLASHUTIL_SOURCE_DIR) + "/samples/Q150.BIN", std::ios::binary);
    const std::vector<uint8_t> image((std::istreambuf_iterator<char>(bin)), std::istreambuf_iterator<char>());
    if (image.size() != kImageSize || ::mkdtemp(folder.data()) == nullptr) return;
    const package::Identity identity{"QRD-73318K", "VOX-TEL QRD-73318K      ", "Q100-Q149", "VoxTEL-DS", "VoxTEL",
                                     "Q150.", kImageSize};
    const std::vector<uint8_t> package = package::MakePackage("FLEET-KEYWORD-", identity, image.data(), image.size());
    program = folder + "/Q150.EXE";
    std::ofstream(program, std::ios::binary)
        .write(reinterpret_cast<const char*>(package.data()), static_cast<std::streamsize>(package.size()));
    ready = true;
  }
  ~TowerSetup() { std::filesystem::remove_all(folder); }
};

// Runs `options` over the tower once per iteration: with `eachDrive`, one
// single flash of each drive in turn instead.
void FlashTower(benchmark::State& state, pack::FlashOptions options, bool eachDrive) {
  static TowerSetup setup;
  if (!setup.ready) {
    state.SkipWithError("samples/Q150.BIN is missing or not 512 KiB");
    return;
  }
  struct : std::streambuf {
    int overflow(int c) override { return c; }
  } discard;
  std::ostream nowhere(&discard);
  pack::DriveCommands commands(reinterpret_cast<const uint8_t*>("FLEET-KEYWORD-"), MakeTower, nowhere, nowhere);
  options.answers.yes = true;
  platform::Clock* const clock = platform::GetServices().clock;
  platform::GetServices().clock = &setup.clock;
  // The command leaves no transport installed; the window's benchmarks want theirs back.
  platform::DriveTransport* const transport = CDDrive::GetTransport();
  int status = 0;
  for (auto _ : state) {
    for (int d = 0; d < (eachDrive ? kTowerDrives : 1); ++d) {
      if (eachDrive) options.drive = "/dev/sim-sg" + std::to_string(d);
      status |= commands.Flash(setup.program, options);
    }
  }
  platform::GetServices().clock = clock;
  CDDrive::SetTransport(transport);
  if (status != 0) state.SkipWithError("a flash of the tower failed");
}

void BM_FleetOneDrive(benchmark::State& state) {
  pack::FlashOptions options;
  options.drive = "/dev/sim-sg0";
  FlashTower(state, options, false);
}

void BM_FleetEightSingleFlashes(benchmark::State& state) { FlashTower(state, {}, true); }

void BM_FleetAll(benchmark::State& state) {
  pack::FlashOptions options;
  options.all = true;
  FlashTower(state, options, false);
}

void BM_FleetAllParallel(benchmark::State& state) {
  pack::FlashOptions options;
  options.all = true;
  options.parallel = kTowerDrives;
  FlashTower(state, options, false);
}

}  // namespace

BENCHMARK(BM_FleetOneDrive)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FleetAllParallel)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FleetEightSingleFlashes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FleetAll)->Unit(benchmark::kMillisecond)->UseRealTime();
