#!/usr/bin/env bash
# Runs the three benchmarks and prints each as a ratio of two measurements
# taken side by side in the same run:
#   1. building a flash program from a 512 KiB BIN file / `cp` of the program file
#   2. a complete 512 KiB flash of a simulated drive through the main window
#      (and, with 1 ms block commands, through flashutil-pack flash)
#      / the bare 64 block commands through the same transport
#   3. start-up of a flash program to its shown window / a minimal Qt Widgets
#      window: wall time (hyperfine) and peak resident memory (/usr/bin/time)
#   4. flashutil-pack flash over eight simulated drives whose block commands
#      take 1 ms and whose flash start takes 1 s: --all --parallel 8 / one
#      drive's flash, and --all one after another / eight single flashes
#   BUILD_DIR        build directory (default build)
#   BENCH_REPS       repetitions of benchmarks 1 and 2, interleaved (default 10)
#   STARTUP_RUNS     runs of each program for benchmark 3 (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
reps=${BENCH_REPS:-10}
runs=${STARTUP_RUNS:-30}

bash scripts/install-deps.sh
cmake -S . -B "$build_dir" -G Ninja -DFLASHUTIL_BENCH=ON >/dev/null
cmake --build "$build_dir" --target flashutil_bench flashutil-bench-startup bench_minimal_window -j "$(nproc)"

export QT_QPA_PLATFORM=offscreen
out="$build_dir/bench-results"
mkdir -p "$out"

# 1 and 2: Google Benchmark; the repetitions of all benchmarks are
# interleaved at random, so that a slow moment of the machine hits both
# sides of a ratio alike. The medians are compared.
"$build_dir/bench/flashutil_bench" --benchmark_repetitions="$reps" \
  --benchmark_enable_random_interleaving=true --benchmark_min_time=0.3 \
  --benchmark_report_aggregates_only=true \
  --benchmark_out="$out/bench.json" --benchmark_out_format=json >"$out/bench.txt" 2>&1 \
  || { cat "$out/bench.txt" >&2; exit 1; }

# 3: whole processes. The flash program answers its start-up warning, lists
# the fitting drives, shows its window, prints the window's state and ends.
startup="$build_dir/bench/flashutil-bench-startup"
minimal="$build_dir/bench/bench_minimal_window"
# The minimal window with one line of text shows the share of the fonts.
hyperfine -N --warmup 3 --runs "$runs" --export-json "$out/startup.json" \
  "$startup" "$minimal" "$minimal --text" >"$out/startup.txt"
# Peak memory, the programs taken in turn.
: >"$out/rss.txt"
for _ in $(seq 10); do
  /usr/bin/time -f "startup %M" -a -o "$out/rss.txt" "$startup" >/dev/null 2>&1
  /usr/bin/time -f "minimal %M" -a -o "$out/rss.txt" "$minimal" >/dev/null 2>&1
  /usr/bin/time -f "text %M" -a -o "$out/rss.txt" "$minimal" --text >/dev/null 2>&1
done

python3 - "$out" <<'PY'
import json, statistics, sys
out = sys.argv[1]
bench = json.load(open(f"{out}/bench.json"))
median = {b["run_name"]: b["real_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1.0}[b["time_unit"]]
          for b in bench["benchmarks"] if b.get("aggregate_name") == "median"}
def ms(name):
    return median[f"{name}/real_time"]
startup = json.load(open(f"{out}/startup.json"))["results"]
rss = {"startup": [], "minimal": [], "text": []}
for line in open(f"{out}/rss.txt"):
    kind, kib = line.split()
    rss[kind].append(int(kib))
rows = [
    ("1. Build a flash program from a 512 KiB BIN / cp of the program file",
     ms("BM_BuildFlashProgram"), ms("BM_CopyProgramCp"), "ms", 1.5),
    ("2. Complete 512 KiB flash through the window / 64 bare block commands",
     ms("BM_FlashThroughWindow"), ms("BM_BareBlockCommands"), "ms", 1.2),
    ("3. Start-up to the shown window / minimal Qt window: wall time",
     startup[0]["mean"] * 1e3, startup[1]["mean"] * 1e3, "ms", 1.3),
    ("3. Start-up to the shown window / minimal Qt window: peak memory",
     statistics.median(rss["startup"]) / 1024, statistics.median(rss["minimal"]) / 1024, "MiB", 1.2),
    ("4. flash --all --parallel 8 over 8 drives (1 ms blocks, 1 s flash start) / one drive's flash",
     ms("BM_FleetAllParallel"), ms("BM_FleetOneDrive"), "ms", 1.25),
    ("4. flash --all over the 8 drives one after another / 8 single flashes",
     ms("BM_FleetAll"), ms("BM_FleetEightSingleFlashes"), "ms", 1.05),
]
print(f"| Benchmark | Measured | Baseline | Ratio | Goal |")
print(f"|---|---:|---:|---:|---:|")
for name, a, b, unit, goal in rows:
    ratio = a / b
    mark = "met" if ratio <= goal else "missed"
    print(f"| {name} | {a:.3f} {unit} | {b:.3f} {unit} | {ratio:.2f}x | <= {goal}x ({mark}) |")
print()
print("Breakdowns (medians):")
for name, label in [("BM_CopyProgramStreams", "1. copy through the builder's stdio streams"),
                    ("BM_FlashThroughMemoryForm", "2. the same flash through a form without a window"),
                    ("BM_WindowProgressRepaint", "2. one progress bar repaint"),
                    ("BM_WindowStatusRepaint", "2. one status line repaint")]:
    value = ms(name)
    print(f"  {label}: {value:.3f} ms")
print(f"  3. minimal window with a line of text: {startup[2]['mean'] * 1e3:.1f} ms, "
      f"{statistics.median(rss['text']) / 1024:.1f} MiB; start-up / it: "
      f"{startup[0]['mean'] / startup[2]['mean']:.2f}x time, "
      f"{statistics.median(rss['startup']) / statistics.median(rss['text']):.2f}x memory")
print(f"  1. build / stream copy: {ms('BM_BuildFlashProgram') / ms('BM_CopyProgramStreams'):.2f}x")
print(f"  1. build / cp and sync of the copy ({ms('BM_CopyProgramCpSync'):.1f} ms): "
      f"{ms('BM_BuildFlashProgram') / ms('BM_CopyProgramCpSync'):.2f}x")
print(f"  2. flash without a window / bare commands: "
      f"{ms('BM_FlashThroughMemoryForm') / ms('BM_BareBlockCommands'):.2f}x")
print(f"  2. with 1 ms per block command: flash through the window {ms('BM_FlashThroughWindowSlowDrive'):.1f} ms"
      f" / bare commands {ms('BM_BareBlockCommandsSlowDrive'):.1f} ms = "
      f"{ms('BM_FlashThroughWindowSlowDrive') / ms('BM_BareBlockCommandsSlowDrive'):.2f}x")
print(f"  2. with 1 ms per block command: flashutil-pack flash {ms('BM_FlashThroughCommandLineSlowDrive'):.1f} ms"
      f" / bare commands {ms('BM_BareBlockCommandsSlowDrive'):.1f} ms = "
      f"{ms('BM_FlashThroughCommandLineSlowDrive') / ms('BM_BareBlockCommandsSlowDrive'):.2f}x (goal <= 1.1x)")
print(f"  2. the same with its transcript written: {ms('BM_FlashThroughCommandLineSlowDriveTranscript'):.1f} ms"
      f" / without {ms('BM_FlashThroughCommandLineSlowDrive'):.1f} ms = "
      f"{ms('BM_FlashThroughCommandLineSlowDriveTranscript') / ms('BM_FlashThroughCommandLineSlowDrive'):.2f}x "
      f"(goal <= 1.05x)")
PY
