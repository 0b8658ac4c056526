#!/usr/bin/env bash
# Builds the Windows programs and their tests (scripts/build-windows.sh) and
# runs them under Wine: the unit test programs, one CTest entry each, the
# checks on the program files and the scripted programs' start-up.
#   WIN_BUILD_DIR build directory (default build-win)
# The QEMU guest run (label wine-guest) is left to CI (.ci/run) and to hand.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build-windows.sh
ctest --test-dir "${WIN_BUILD_DIR:-build-win}" --output-on-failure -j "$(nproc)" -LE wine-guest
