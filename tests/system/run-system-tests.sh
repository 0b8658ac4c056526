#!/usr/bin/env bash
# The system tests' two steps.
#
#   run-system-tests.sh boot OUT CACHE SOURCE QT_PLATFORM_PLUGIN BINARY...
#     boots the guest with the mixed set of drives and runs tests/system/guest-scenario.sh
#     in it, with the BINARY files (guest_probe, the drive model tcmu_drive and the
#     flash programs) in /probe and the sample images in /images; its output lands
#     in OUT. Prints the benchmark ratio and the drive model's figures. An empty
#     QT_PLATFORM_PLUGIN leaves Qt's offscreen plugin out.
#   run-system-tests.sh check OUT NAME SOURCE
#     compares section NAME of the guest's output with SOURCE/expected/NAME.txt.
#
# Both exit with 77 (skipped) and the reason when no guest could be started.
set -euo pipefail

mode=$1

if [ "$mode" = boot ]; then
  out=$2 cache=$3 source=$4 plugin=$5
  shift 5
  mkdir -p "$out"
  rm -f "$out/SKIPPED"
  work="$out/work"
  mkdir -p "$work"
  # A disc: any image of 2048-byte sectors will do; LBA 16 must exist. It
  # holds a file system that the guest can mount (ext2 in 2048-byte blocks).
  rm -f "$work/disc.iso"
  truncate -s 1M "$work/disc.iso"
  busybox mke2fs -F -b 2048 -L FLASHUTIL "$work/disc.iso" >/dev/null
  truncate -s 4M "$work/disk.img"

  args=(--out "$out/run" --cache "$cache" --script "$source/guest-scenario.sh" --timeout 300
        --file "$source/guest-models.sh:/guest-models.sh"
        --modules base:scsi_common,scsi_mod,cdrom,sr_mod
        --modules ide:libata,ata_piix
        --modules virtio:virtio_pci,virtio_scsi
        --modules debug:scsi_debug
        --modules sg:sg
        --modules target:target_core_user,tcm_loop
        --modules ext2:ext4)
  for binary in "$@"; do args+=(--binary "$binary"); done
  for image in "$source"/../../samples/*.BIN; do args+=(--file "$image:/images/$(basename "$image")"); done
  turs=$(command -v sg_turs || true)
  [ -n "$turs" ] && args+=(--binary "$turs")
  [ -n "$plugin" ] && [ -e "$plugin" ] && args+=(--file "$plugin:$plugin")

  set +e
  bash "$source/boot-guest.sh" "${args[@]}" -- \
    -drive if=none,id=atapi0,file="$work/disc.iso",format=raw,media=cdrom,readonly=on \
    -device ide-cd,bus=ide.0,unit=0,drive=atapi0,ver=A100 \
    -device ide-cd,bus=ide.0,unit=1,ver=A101 \
    -device virtio-scsi-pci,id=vs0 \
    -drive if=none,id=vcd0,file="$work/disc.iso",format=raw,media=cdrom,readonly=on \
    -device scsi-cd,bus=vs0.0,scsi-id=0,lun=0,drive=vcd0,vendor=VOX-TEL,product=QRD-73318K,ver=1.10 \
    -device scsi-cd,bus=vs0.0,scsi-id=1,lun=0,vendor=VOX-TEL,product=QRD-73318K,ver=2.00 \
    -drive if=none,id=vhd0,file="$work/disk.img",format=raw \
    -device scsi-hd,bus=vs0.0,scsi-id=2,lun=0,drive=vhd0 > "$out/boot.log" 2>&1
  status=$?
  set -e
  cat "$out/boot.log"
  if [ $status -eq 77 ]; then
    grep '^SKIP' "$out/boot.log" > "$out/SKIPPED" || echo "SKIP: no guest" > "$out/SKIPPED"
    exit 77
  fi
  [ $status -eq 0 ] || exit 1
  echo "guest script exit code: $(tr -d '\r\n' < "$out/run/exit")"
  if [ -s "$out/run/stderr" ]; then echo "--- guest stderr"; cat "$out/run/stderr"; fi

  # Benchmark: our SendCommand against sg_turs on the same drive in the same
  # boot, alternating, the best round of each.
  awk '/^BENCH .* per second$/ { if ($(NF-2) + 0 > ours + 0) ours = $(NF-2) }
       /operations\/sec/ { for (i = 1; i <= NF; ++i) if ($i == "operations/sec") if ($(i-1) + 0 > theirs + 0) theirs = $(i-1) }
       END { if (ours > 0 && theirs > 0)
               printf "BENCH TEST UNIT READY per second: SendCommand %.0f, sg_turs -n %.0f, ratio %.2f\n", ours, theirs, ours / theirs }' \
    "$out/run/stdout" | tee "$out/bench.txt"
  grep '^MODEL ' "$out/run/stdout" || true
  [ "$(tr -d '\r\n' < "$out/run/exit")" = 0 ] || { echo "the guest script failed"; exit 1; }
  exit 0
fi

if [ "$mode" = check ]; then
  out=$2 name=$3 source=$4
  if [ -e "$out/SKIPPED" ]; then cat "$out/SKIPPED"; exit 77; fi
  [ -s "$out/run/stdout" ] || { echo "no guest output in $out/run (the boot test failed)"; exit 1; }
  actual="$out/$name.txt"
  awk -v want="=== $name" '$0 == want { on = 1; next } /^=== / { on = 0 } on' "$out/run/stdout" > "$actual"
  if diff -u "$source/expected/$name.txt" "$actual"; then
    echo "section $name matches"
    exit 0
  fi
  echo "section $name differs from expected/$name.txt (guest stderr follows)"
  cat "$out/run/stderr" 2>/dev/null || true
  exit 1
fi

# run-system-tests.sh replay OUT PACK SECTION PROGRAM...
#   takes the transcripts of the guest's command-line flashes out of its
#   output (section "transcripts") and replays each with PACK and the flash
#   program it was made with: each must come to the recorded end.
if [ "$mode" = replay ]; then
  out=$2 pack=$3
  shift 3
  if [ -e "$out/SKIPPED" ]; then cat "$out/SKIPPED"; exit 77; fi
  [ -s "$out/run/stdout" ] || { echo "no guest output in $out/run (the boot test failed)"; exit 1; }
  failed=0
  while [ $# -ge 2 ]; do
    run=$1 program=$2
    shift 2
    awk -v want="TRANSCRIPT $run" '$0 == want { on = 1; next } /^END TRANSCRIPT$/ { on = 0 } on' \
      "$out/run/stdout" | tr -d '\r' > "$out/$run.transcript"
    [ -s "$out/$run.transcript" ] || { echo "$run: no transcript in the guest's output"; exit 1; }
    size=$(wc -c < "$out/$run.transcript")
    set +e
    "$pack" replay "$out/$run.transcript" "$program" > "$out/$run.replay" 2>&1
    status=$?
    set -e
    echo "--- $run: $size bytes, replay exit $status"
    grep -v '^progress ' "$out/$run.replay"
    [ $status -eq 0 ] && grep -q '^Replay: the same as the recording' "$out/$run.replay" || failed=1
  done
  exit $failed
fi

echo "usage: run-system-tests.sh boot|check|replay ..." >&2
exit 2
