#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the test suite under them. The system tests (label "system") are left
# out: they boot a QEMU guest that runs the programs on the guest's own
# libraries, where the sanitizer runtime is not available; so is the Debian
# package's test (label "package"): a package is made of the release build.
# Leaks inside Qt and its font and display libraries are suppressed through
# scripts/lsan.supp; leaks in our own code are not.
#   SANITIZE_BUILD_DIR build directory (default build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${SANITIZE_BUILD_DIR:-build-asan}

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFLASHUTIL_SANITIZE=ON -DFLASHUTIL_BENCH=OFF -DFLASHUTIL_TESTS=ON >/dev/null
cmake --build "$build_dir" -j "$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export QT_QPA_PLATFORM=offscreen
# The tests of the window on an X server.
x11_tests='^(window_alive_x11|Programs\.WindowFlashGoesOnToItsEndWhateverEndsTheProgram)$'
ctest --test-dir "$build_dir" --label-exclude 'system|package' --exclude-regex "$x11_tests" \
  --output-on-failure -j "$(nproc)"
# They load Qt's X11 plugin, and libxkbcommon-x11 below it hands strndup a
# buffer without a terminating zero: they run without strict string checks
# (our own code is checked all the same).
ASAN_OPTIONS=${ASAN_OPTIONS/strict_string_checks=1/strict_string_checks=0} \
  ctest --test-dir "$build_dir" --tests-regex "$x11_tests" --output-on-failure
