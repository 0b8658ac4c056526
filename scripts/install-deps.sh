#!/usr/bin/env bash
# Installs every Debian package the project needs to build (for Linux and for
# Windows), test, take screenshots and run the system tests in a QEMU guest.
# Safe to run any number of times: it only asks apt for what is missing.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config
  qt6-base-dev libgl-dev fonts-dejavu-core fonts-dejavu-extra fonts-liberation
  librsvg2-bin
  libsgutils2-dev sg3-utils
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev hyperfine time dbus-daemon
  xvfb xauth imagemagick desktop-file-utils libxcb1-dev libxcb-xtest0-dev
  # fuzzing and sanitizers
  clang libclang-rt-dev
  # the Windows programs, and their tests under Wine
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine
  locales  # the Big5 locale a Windows test runs Wine in
  # system tests on the real Linux SCSI stack
  qemu-system-x86 linux-image-amd64 busybox-static cpio kmod xz-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
