#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: the Linux
# programs and their tests (unit, programs, the QEMU guest's system tests),
# then the Windows programs and their tests under Wine.
#   BUILD_DIR      Linux build directory (default build)
#   WIN_BUILD_DIR  Windows build directory (default build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"
bash scripts/test-windows.sh
