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
  pandoc  # the manual pages
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev hyperfine time dbus-daemon
  xvfb xauth imagemagick desktop-file-utils libxcb1-dev libxcb-xtest0-dev
  # the Ansible module's test (ansible-playbook)
  ansible-core
  # the Debian package (dpkg-shlibdeps) and its checks
  dpkg-dev lintian appstream man-db
  # fuzzing and sanitizers
  clang libclang-rt-dev
  # the 32-bit Windows programs, and their tests under 32-bit Wine (the
  # i386 architecture is added below when wine32:i386 is missing)
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine32:i386
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
# 32-bit packages (wine32:i386) come from the i386 architecture; adding it
# again is harmless, but only done when it is not there yet.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
