// Building a flash program from a 512 KiB BIN file, side by side with plain
// copies of the same program file: `cp` as a process (also followed by
// `sync` of the copy, as the builder flushes its output to the device), and
// buffered streams in the builder's blocks without looking at the bytes.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestForm.h"
#include "package/Package.h"
#include "platform/Services.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// A scratch directory with the builder program, its catalogue and the BIN
// file, as a user would lay them out; removed at exit.
struct BuildSetup {
  fs::path directory;
  fs::path program;
  std::unique_ptr<testing_support::TestForm> form;
  std::string error;

  BuildSetup() {
    std::string pattern = (fs::temp_directory_path() / "flashutil-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      error = "cannot create a scratch directory";
      return;
    }
    directory = pattern;
    program = directory / "FLASHUTIL";
    const fs::path samples = fs::path(FLASHUTIL_SOURCE_DIR) / "samples";
    std::error_code failed;
    fs::copy_file(FLASHUTIL_BENCH_PROGRAM, program, failed);
    if (!failed) fs::copy_file(samples / "FLASHUTIL.INI", directory / "FLASHUTIL.INI", failed);
    if (!failed) fs::copy_file(samples / "Q150.BIN", directory / "Q150.BIN", failed);
    if (failed) {
      error = "cannot lay out the scratch directory: " + failed.message();
      return;
    }

    form = std::make_unique<testing_support::TestForm>(package::EmbeddedPackage());
    form->programFile = program.string();
    form->currentDirectory = directory.string();
    form->FormCreate();  // builder mode: catalogue, model 0 (mask Q*.BIN)
    if (!form->BuildMode || form->quitRequests != 0 || !form->ClickFile("Q150.BIN")) {
      error = "the builder did not start with the sample catalogue";
    }
  }
  ~BuildSetup() {
    form.reset();
    std::error_code ignored;
    if (!directory.empty()) fs::remove_all(directory, ignored);
  }
};

BuildSetup& Setup() {
  static BuildSetup setup;
  return setup;
}

void BM_BuildFlashProgram(benchmark::State& state) {
  BuildSetup& setup = Setup();
  if (!setup.error.empty()) {
    state.SkipWithError(setup.error.c_str());
    return;
  }
  for (auto _ : state) {
    setup.form->NewBuildFlashProgram();
  }
  if (setup.form->status != "Build Q150.EXE complete!") {
    state.SkipWithError(("build failed: " + setup.form->status).c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fs::file_size(setup.program)));
}

// Runs a program to its end; false when it could not be run or failed.
bool Spawn(std::vector<const char*> argv) {
  argv.push_back(nullptr);
  pid_t child = 0;
  int status = 0;
  return ::posix_spawnp(&child, argv[0], nullptr, nullptr, const_cast<char* const*>(argv.data()), environ) == 0 &&
         ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// `cp` of the program file; with `synced`, followed by `sync` of the copy,
// which the builder's flush to the device corresponds to.
void CopyWithCp(benchmark::State& state, bool synced) {
  BuildSetup& setup = Setup();
  if (!setup.error.empty()) {
    state.SkipWithError(setup.error.c_str());
    return;
  }
  const std::string from = setup.program.string();
  const std::string to = (setup.directory / "COPY.EXE").string();
  for (auto _ : state) {
    if (!Spawn({"cp", from.c_str(), to.c_str()}) || (synced && !Spawn({"sync", to.c_str()}))) {
      state.SkipWithError("cp or sync failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fs::file_size(setup.program)));
}

void BM_CopyProgramCp(benchmark::State& state) { CopyWithCp(state, false); }
void BM_CopyProgramCpSync(benchmark::State& state) { CopyWithCp(state, true); }

// The copy the builder would make if it had nothing to replace and did not
// flush: stdio streams and 64 KiB blocks.
void BM_CopyProgramStreams(benchmark::State& state) {
  BuildSetup& setup = Setup();
  if (!setup.error.empty()) {
    state.SkipWithError(setup.error.c_str());
    return;
  }
  const std::string from = setup.program.string();
  const std::string to = (setup.directory / "COPY.EXE").string();
  std::vector<unsigned char> chunk(64 * 1024);
  for (auto _ : state) {
    std::FILE* in = std::fopen(from.c_str(), "rb");
    std::FILE* out = std::fopen(to.c_str(), "wb");
    bool ok = in != nullptr && out != nullptr;
    while (ok) {
      const size_t got = std::fread(chunk.data(), 1, chunk.size(), in);
      if (got == 0) break;
      ok = std::fwrite(chunk.data(), 1, got, out) == got;
    }
    if (in != nullptr) std::fclose(in);
    if (out != nullptr && std::fclose(out) != 0) ok = false;
    if (!ok) {
      state.SkipWithError("stream copy failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fs::file_size(setup.program)));
}

}  // namespace

BENCHMARK(BM_BuildFlashProgram)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CopyProgramCp)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CopyProgramCpSync)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CopyProgramStreams)->Unit(benchmark::kMillisecond)->UseRealTime();
