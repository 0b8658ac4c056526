#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program: the builder on the
# bundled sample catalogue and BIN files, on simulated drives unless a real
# optical drive is attached.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
program=build/app/flashutil-sim
if ls /sys/class/scsi_generic/*/device/type 2>/dev/null | xargs -r grep -qx 5 2>/dev/null ||
   ls /sys/class/block/sr* >/dev/null 2>&1; then
  program=build/app/flashutil
fi
# The builder reads the catalogue beside the program file and lists the BIN
# files of its working directory: run a copy from a work folder with the samples.
work=build/try
mkdir -p "$work"
cp samples/* "$work"/ 2>/dev/null || true
name=$(basename "$program")
cp "$program" "$work/$name"
[ -f "$work/FLASHUTIL.INI" ] && cp "$work/FLASHUTIL.INI" "$work/$name.INI"
echo "Starting $name in $work: the flash programs it builds (Q150.EXE and the like) are written there."
cd "$work" && exec "./$name"
