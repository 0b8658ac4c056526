#!/usr/bin/env bash
# Builds the 32-bit Windows programs (flashutil.exe on the system's drives and
# flashutil-sim.exe on simulated drives) with mingw-w64 in ./build-win (or
# $WIN_BUILD_DIR), statically linked, optimised at -O2 without debug
# information: each is one file that needs no DLL beside Windows' own. With
# the tests (the default) it also builds the unit tests
# and the scripted programs that `ctest --test-dir build-win` runs under Wine.
#   scripts/build-windows.sh [cmake options, e.g. -DFLASHUTIL_TESTS=OFF]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build_dir=${WIN_BUILD_DIR:-build-win}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
ls -l "$build_dir/app/flashutil.exe" "$build_dir/app/flashutil-sim.exe"
