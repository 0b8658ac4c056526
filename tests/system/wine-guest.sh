#!/usr/bin/env bash
# The Windows flash programs under Wine against the drive models on the real
# Linux SCSI stack, in a QEMU guest, through pass-through (NT family) and
# through the tests' ASPI library (Windows 98); the Windows build's CTest
# entry win_guest_flash (label wine-guest, run by CI) runs it, or by hand:
#
#   tests/system/wine-guest.sh      (BUILD_DIR, default build: the Linux build with
#                                    the tests; WIN_BUILD_DIR, default build-win)
#
# Wine and its prefix are far too big for the guest's initramfs, so the guest
# gets the host's root file system read-only over 9p (QEMU's virtfs), lays a
# tmpfs over it and runs Wine chrooted there (wine-guest-scenario.sh). The
# Wine prefixes are made here, in WIN_BUILD_DIR/wine-guest; the guest's
# output and the compared sections land there too. Exit status 0 when every
# section equals its expected text (expected/wine-*.txt), 1 when one does
# not or the guest failed, 77 (skipped, reason on standard output) when
# something it needs is missing here.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(cd "$top" && realpath -m "${BUILD_DIR:-build}")
winbuild=$(cd "$top" && realpath -m "${WIN_BUILD_DIR:-build-win}")

skip() { echo "SKIP: $*"; exit 77; }
wine=/usr/lib/wine/wine
[ -x "$wine" ] || wine=$(command -v wine || true)
[ -n "$wine" ] && [ -x "$wine" ] || skip "32-bit Wine is not installed (Debian package wine32:i386)"
command -v Xvfb > /dev/null || skip "Xvfb is not installed (Debian package xvfb)"
qemu=$(command -v qemu-system-x86_64 || true)
[ -n "$qemu" ] || skip "qemu-system-x86_64 is not installed (Debian package qemu-system-x86)"
"$qemu" -device help 2> /dev/null | grep -q '"virtio-9p-pci"' || skip "this QEMU cannot share a folder over 9p (virtio-9p-pci)"
drive=$build/tests/system/tcmu_drive
[ -x "$drive" ] || skip "$drive is missing: build the Linux tests first (scripts/build.sh)"
pack=$build/tests/system/flashutil-pack-system
[ -x "$pack" ] || skip "$pack is missing: build the Linux tests first (scripts/build.sh)"
aspi=$winbuild/tests/win/aspi/WNASPI32.DLL
[ -f "$aspi" ] || skip "$aspi is missing: build the Windows programs first (scripts/build-windows.sh)"
for image in Q150 K300 S150; do
  program=$winbuild/tests/win/flashutil-system-$image.exe
  [ -f "$program" ] || skip "$program is missing: build the Windows programs first (scripts/build-windows.sh)"
done

work=$winbuild/wine-guest
mkdir -p "$work"
start=$(date +%s.%N)
# Two prefixes, of the NT family and reporting Windows 98, with the drive
# letters D:, E: and F: of type CD-ROM (the guest links them to its drives).
for kind in nt 98; do
  prefix=$work/prefix-$kind
  sh "$top/tests/win/wine-prefix.sh" "$wine" "$prefix" $([ $kind = 98 ] && echo win98) > /dev/null
  for letter in d: e: f:; do
    WINEPREFIX=$prefix WINEDEBUG=-all "$wine" reg add 'HKLM\Software\Wine\Drives' /v $letter /d cdrom /f > /dev/null 2>&1
  done
  WINEPREFIX=$prefix "$(dirname "$wine")/wineserver" -w
done
echo "TIME Wine prefixes on the host: $(echo "$start $(date +%s.%N)" | awk '{printf "%.1f", $2 - $1}') s"

cat > "$work/wine-guest.env" <<EOF
WINE=$wine
PREFIX_NT=$work/prefix-nt
PREFIX_98=$work/prefix-98
PROGRAMS=$winbuild/tests/win
ASPI_LIBRARY=$aspi
SAMPLES=$top/samples
PACK=$pack
EOF

start=$(date +%s.%N)
set +e
# -smap: software emulation in the QEMU of Debian 12 (7.2) reads the stack of
# an IRET from user mode as the kernel, and with SMAP the return into Wine's
# user-mode code then faults (the kernel logs a page fault and the program dies).
bash "$here/boot-guest.sh" --out "$work/run" --cache "$build/tests/system/cache" \
  --script "$here/wine-guest-scenario.sh" --timeout 1800 --memory 2048 --cpu max,-smap \
  --binary "$drive" --file "$here/guest-models.sh:/guest-models.sh" --file "$work/wine-guest.env:/wine-guest.env" \
  --modules base:scsi_common,scsi_mod,cdrom,sr_mod --modules sg:sg --modules target:target_core_user,tcm_loop \
  --modules ninep:virtio_pci,9pnet_virtio,9p,overlay \
  -- -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap
status=$?
set -e
[ $status -eq 77 ] && exit 77
[ $status -eq 0 ] || { echo "the guest failed"; exit 1; }
echo "TIME the whole guest run (QEMU start to power-off): $(echo "$start $(date +%s.%N)" | awk '{printf "%.1f", $2 - $1}') s"
grep '^SKIP' "$work/run/stdout" && exit 77
grep '^TIME' "$work/run/stderr" || true

status=0
for name in wine-flash-q150 wine-flash-k300 wine-flash-s150 wine-aspi-startup wine-aspi-flash-q150 \
  wine-aspi-flash-k300 wine-aspi-flash-s150 wine-aspi-fault-sense wine-aspi-fault-short wine-aspi-fault-stall; do
  awk -v want="=== $name" '$0 == want { on = 1; next } /^=== / { on = 0 } on' "$work/run/stdout" > "$work/$name.txt"
  if diff -u "$here/expected/$name.txt" "$work/$name.txt"; then
    echo "section $name matches"
  else
    echo "section $name differs from expected/$name.txt"
    status=1
  fi
done
[ "$(tr -d '\r\n' < "$work/run/exit")" = 0 ] || { echo "the guest script failed"; status=1; }
[ $status -eq 0 ] || { echo "--- guest stderr"; cat "$work/run/stderr"; }
exit $status
