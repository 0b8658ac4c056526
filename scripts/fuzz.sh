#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour
# sanitizers on) and runs each for a bounded time, starting from its
# checked-in seed corpus in fuzz/corpus/<target>/. Any crash, sanitizer
# report, leak, time-out or broken invariant fails the script; the input
# that caused it is left in <build>/fuzz-artifacts/<target>/.
#   FUZZ_SECONDS   seconds per target (default 60)
#   FUZZ_JOBS      targets run at the same time (default: number of cores)
#   FUZZ_BUILD_DIR build directory (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-$(nproc)}
targets=(catalogue package sense inquiry transcript)

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DFLASHUTIL_FUZZ=ON -DFLASHUTIL_TESTS=OFF -DFLASHUTIL_BENCH=OFF >/dev/null
# Only the fuzzers and the toolkit-free libraries they test are built.
cmake --build "$build_dir" --target fuzzers -j "$(nproc)"

run_one() {
  local target=$1
  local work="$build_dir/fuzz-corpus/$target"      # what the fuzzer finds; the seeds stay as they are
  local artifacts="$build_dir/fuzz-artifacts/$target"
  local log="$build_dir/fuzz-logs/$target.log"
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  local options=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1
                 -artifact_prefix="$artifacts/")
  if [ -f "fuzz/$target.dict" ]; then options+=(-dict="fuzz/$target.dict"); fi
  # A transcript may be as long as the reader takes one (4 MiB), and longer:
  # the reader's limits are tried too. (libFuzzer grows its inputs towards
  # this length as they earn new coverage.)
  if [ "$target" = transcript ]; then options+=(-max_len=4194305); fi
  if "$build_dir/fuzz/fuzz_$target" "${options[@]}" "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    echo "fuzz_$target: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs in ${seconds}s, no finding"
  else
    echo "fuzz_$target: FAILED, see $log; inputs in $artifacts:" >&2
    ls "$artifacts" >&2 || true
    tail -n 60 "$log" >&2
    return 1
  fi
}

export -f run_one
export build_dir seconds
# Every target runs even when another one fails; the script fails if any did.
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {}
