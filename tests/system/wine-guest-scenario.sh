# Runs inside the guest that wine-guest.sh boots (sourced by its /init, which
# provides `load` and `wait_until`): the Windows flash programs under Wine
# against drive models on the real Linux SCSI stack. /wine-guest.env names
# the host's files: WINE (the loader), PREFIX_NT and PREFIX_98 (Wine prefixes
# made on the host, the second reporting Windows 98), PROGRAMS (the folder of
# the Windows flash programs that press FLASH, flashutil-system-IMAGE.exe)
# and SAMPLES (the folder of their images).
#
# The host's root file system comes in read-only over 9p, with a tmpfs laid
# over it (overlayfs) for whatever Wine writes; the guest's /dev, /proc and
# /sys are bound into it, and Wine runs chrooted there. Drives, in the order
# they are set up, each on a loopback host of its own:
#   VOX-TEL QRD-73318K Q120 (drive letter D:)
#   VOX-TEL DVD-ROM MVK-417 K200, flash ID BF D6 00 01 (drive letter E:)
#   VOX-TEL CRW-5232S S120, flash ID DA C8 00 00 (drive letter F:)
# Sections start with "=== <name>" and are compared by the host; TIME lines
# on standard error are the measurements.

. /wine-guest.env
. /guest-models.sh
section() { echo "=== $1"; }
uptime_s() { cut -d' ' -f1 /proc/uptime; }
since() { echo "$1 $(uptime_s)" | awk '{printf "%.1f", $2 - $1}'; }

echo "TIME guest booted (kernel start to this script): $(uptime_s) s" >&2

load base
load sg
load target
mount -t configfs configfs /sys/kernel/config
model_drive q150 1 30 --product QRD-73318K --revision Q120 --revision-after-flash Q150
model_drive k300 2 30 --product "DVD-ROM MVK-417" --revision K200 --flash-id BFD60001 --revision-after-flash K300
model_drive s150 3 30 --product CRW-5232S --revision S120 --flash-id DAC80000 --revision-after-flash S150
for product in QRD-73318K "DVD-ROM MVK-417" CRW-5232S; do
  wait_until "[ -n \"\$(model_block '$product')\" ] && [ -e /dev/\$(model_block '$product') ]"
done

start=$(uptime_s)
load ninep
root=/mnt/root
mkdir -p /mnt/host /mnt/rw $root
if ! mount -t 9p -o trans=virtio,version=9p2000.L,cache=loose,msize=262144 hostroot /mnt/host; then
  echo "SKIP: the host's file system cannot be mounted over 9p in the guest"
  return 0
fi
mount -t tmpfs tmpfs /mnt/rw
mkdir -p /mnt/rw/upper /mnt/rw/work
mount -t overlay overlay -o lowerdir=/mnt/host,upperdir=/mnt/rw/upper,workdir=/mnt/rw/work $root
for dir in dev proc sys; do mount --bind /$dir $root/$dir; done
echo "TIME host file system mounted: $(since $start) s" >&2

# A command on the host's file system, with Wine quiet and on the guest's own X server.
on_host() {
  chroot $root /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root DISPLAY=:9 WINEDEBUG=-all WINE=$WINE "$@"
}

# Each prefix gets a drive letter for each drive (the device, and a folder
# for the disc's files); Wine takes a drive of type cdrom for a CD-ROM drive
# and turns pass-through requests to it into SG_IO on the device.
for prefix in $PREFIX_NT $PREFIX_98; do
  # Wine runs as root here and takes only a prefix of its own user; the host's
  # user may be another (only the folder itself changes, in the tmpfs).
  chown 0:0 $root$prefix
  for drive in "d QRD-73318K" "e DVD-ROM MVK-417" "f CRW-5232S"; do
    letter=${drive%% *}
    mkdir -p $root/tmp/wine-guest/$letter
    ln -sfn /dev/$(model_block "${drive#* }") $root$prefix/dosdevices/$letter::
    ln -sfn /tmp/wine-guest/$letter $root$prefix/dosdevices/$letter:
  done
done

start=$(uptime_s)
on_host Xvfb :9 -screen 0 800x600x24 -nolisten tcp > /tmp/xvfb.log 2>&1 &
wait_until "[ -e $root/tmp/.X11-unix/X9 ]"
echo "TIME X server: $(since $start) s" >&2

# A Windows program under Wine in PREFIX, in an empty working folder; its
# output without carriage returns.
run_windows() {  # PREFIX PROGRAM [WINEDEBUG]
  mkdir -p $root/tmp/wine-guest/run
  on_host /bin/sh -c 'cd /tmp/wine-guest/run && WINEPREFIX=$0 WINEDEBUG=${2:--all} exec "$WINE" "$1"' \
    "$1" "$2" "$3" > /tmp/program.out 2> /tmp/program.err
  echo "EXIT $?" >> /tmp/program.out
  tr -d '\r' < /tmp/program.out
}

# The prefix's server and services start once and stay for every program.
start_wine() {  # PREFIX
  local start
  start=$(uptime_s)
  on_host /bin/sh -c 'WINEPREFIX=$0 exec "${WINE%/*}/wineserver" -p' "$1"
  on_host /bin/sh -c 'WINEPREFIX=$0 exec "$WINE" wineboot' "$1" > /dev/null 2>&1
  echo "TIME Wine started in ${1##*/}: $(since $start) s" >&2
}
stop_wine() { on_host /bin/sh -c 'WINEPREFIX=$0 exec "${WINE%/*}/wineserver" -k' "$1" 2> /dev/null; }

# A whole flash by the flash program for IMAGE on drive model NAME, through
# pass-through: the program's output, every command the drive got, and
# whether the drive's flash now holds the image.
flash_windows() {  # SECTION IMAGE NAME
  local start
  order $3 reset "mark $1"
  section $1
  start=$(uptime_s)
  run_windows $PREFIX_NT $PROGRAMS/flashutil-system-$2.exe
  echo "TIME $1: $(since $start) s" >&2
  echo "DRIVE"
  model_log $3 $1
  if cmp -s /tmp/$3.flash $root$SAMPLES/$2.BIN; then echo "FLASH equals $2.BIN"; else echo "FLASH differs from $2.BIN"; fi
}

start_wine $PREFIX_NT
flash_windows wine-flash-q150 Q150 q150
flash_windows wine-flash-k300 K300 k300
flash_windows wine-flash-s150 S150 s150
stop_wine $PREFIX_NT

# Outside the NT family the program asks Wine's ASPI library. Wine 8's
# library counts the host adapters listed under HARDWARE\DEVICEMAP\Scsi,
# which nothing fills for these drives, and answers every SendASPI32Command
# with "invalid request" (SS_INVALID_SRB) whatever it lists: no ASPI command
# can reach a drive under it. The program shows that no drive fits, and the
# drive gets none of its commands; Wine's own words on ASPI follow.
start_wine $PREFIX_98
section wine-aspi-startup
order q150 reset "mark aspi"
run_windows $PREFIX_98 $PROGRAMS/flashutil-system-Q150.exe fixme+aspi,trace+aspi
echo "INQUIRY COMMANDS $(model_log q150 aspi | grep -c '^12 ')"
echo "WINE SAYS"
sed -n 's/^[0-9a-f]*:[a-z]*:aspi:\([A-Za-z0-9_]*\) /\1: /p' /tmp/program.err | sort -u
stop_wine $PREFIX_98

kill $(pidof Xvfb) 2> /dev/null
echo "models' errors:" >&2
cat /tmp/models.err >&2
section end
