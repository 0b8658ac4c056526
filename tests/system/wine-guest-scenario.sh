# Runs inside the guest that wine-guest.sh boots (sourced by its /init, which
# provides `load` and `wait_until`): the Windows flash programs under Wine
# against drive models on the real Linux SCSI stack. /wine-guest.env names
# the host's files: WINE (the loader), PREFIX_NT and PREFIX_98 (Wine prefixes
# made on the host, the second reporting Windows 98), PROGRAMS (the folder of
# the Windows flash programs that press FLASH, flashutil-system-IMAGE.exe),
# ASPI_LIBRARY (the tests' WNASPI32.DLL, which carries ASPI requests to the
# drive letters through pass-through), SAMPLES (the folder of their images)
# and PACK (the Linux command line of the same flash programs, which replays
# the transcripts the Windows programs write).
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
model_drive s150 3 4 --product CRW-5232S --revision S120 --flash-id DAC80000 --revision-after-flash S150
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
run_windows() {  # PREFIX PROGRAM [WINEDEBUG [WINEDLLOVERRIDES]]
  mkdir -p $root/tmp/wine-guest/run
  on_host /bin/sh -c 'cd /tmp/wine-guest/run && WINEPREFIX=$0 WINEDEBUG=${2:--all} WINEDLLOVERRIDES=$3 exec "$WINE" "$1"' \
    "$1" "$2" "$3" "$4" > /tmp/program.out 2> /tmp/program.err
  echo "EXIT $?" >> /tmp/program.out
  tr -d '\r' < /tmp/program.out
  # What Wine itself said, if anything, for the record.
  sed "s|^|WINE ${2##*/}: |" /tmp/program.err | head -n 40 >&2
}

# The transcripts that the Windows programs write in PREFIX (under its
# %LOCALAPPDATA%\flashutil): each flash's one is replayed by the Linux
# command line with the same program file, on the host's files, as a person
# helping with a failure would: its exit status and last line (the
# transcript's name left out).
transcripts() { find $root$1/drive_c -path '*/flashutil/flash-*.txt' 2> /dev/null; }
forget_transcripts() { transcripts $1 | while IFS= read -r file; do rm -f "$file"; done; }
replay_windows() {  # PREFIX PROGRAM
  local found count
  found=$(transcripts $1)
  count=$(echo "$found" | grep -c .)
  if [ $count -ne 1 ]; then
    echo "REPLAY: $count transcripts"
  else
    on_host /bin/sh -c 'HOME=/tmp exec "$0" replay "$1" "$2"' $PACK "${found#$root}" $2 > /tmp/replay.txt 2>&1
    echo "REPLAY exit $?: $(tail -n 1 /tmp/replay.txt | sed 's|([^ ]*/flash-[^ ]* line|(line|')"
  fi
  forget_transcripts $1
}

# The prefix's server and services start once and stay for every program.
start_wine() {  # PREFIX
  local start
  start=$(uptime_s)
  forget_transcripts $1
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
  model_log $3 $1 | tee /tmp/$3.nt.log
  if cmp -s /tmp/$3.flash $root$SAMPLES/$2.BIN; then echo "FLASH equals $2.BIN"; else echo "FLASH differs from $2.BIN"; fi
  replay_windows $PREFIX_NT $PROGRAMS/flashutil-system-$2.exe
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
# No flash, so no transcript.
forget_transcripts $PREFIX_98
echo "WINE SAYS"
sed -n 's/^[0-9a-f]*:[a-z]*:aspi:\([A-Za-z0-9_]*\) /\1: /p' /tmp/program.err | sort -u

# The same flash programs through the tests' ASPI library (WNASPI32.DLL),
# which takes the place of Wine's: beside each program (the system looks for
# a DLL in the program's folder first), and Wine told to load that file
# rather than its own. Host adapters 0, 1 and 2 are D:, E: and F:; each
# command goes to the drive letter through pass-through on the library's
# worker thread, and completes late, by its event.
aspi=/tmp/wine-guest/aspi
mkdir -p $root$aspi
cp $root$ASPI_LIBRARY $root$aspi/WNASPI32.DLL
for image in Q150 K300 S150; do cp $root$PROGRAMS/flashutil-system-$image.exe $root$aspi/; done

# The program's commands (without the kernel's own: media checks and the
# tray lock, which follow the opens and closes of the block node) in a log
# of drive NAME, and whether they equal those of the run through pass-through.
program_commands() { grep -v -E '^(4A|1E|00 00 00 00 00 00) ' "$1"; }
same_commands() {  # NAME LOG
  program_commands $2 > /tmp/commands.aspi
  if program_commands /tmp/$1.nt.log | diff - /tmp/commands.aspi > /tmp/commands.diff; then
    echo "COMMANDS equal those through pass-through"
  else
    echo "COMMANDS differ from those through pass-through:"
    cat /tmp/commands.diff
  fi
}

# A whole flash through the library: as flash_windows, and the program's
# commands compared with those of the pass-through run.
flash_aspi() {  # SECTION IMAGE NAME [ORDER]...
  local section=$1 image=$2 name=$3 start
  shift 3
  order $name reset "mark $section" "$@"
  rm -f /tmp/$name.flash
  section $section
  start=$(uptime_s)
  run_windows $PREFIX_98 $aspi/flashutil-system-$image.exe -all wnaspi32=n
  echo "TIME $section: $(since $start) s" >&2
  echo "DRIVE"
  # A stalled command's late answer comes when it comes: it is shown apart.
  case "$*" in *stall*) wait_until "grep -q ' late\$' /tmp/$name.log" ;; esac
  model_log $name $section > /dev/null
  grep -v ' late$' /tmp/$name.log > /tmp/$name.quiet.log
  model_log $name.quiet $section > /tmp/$name.aspi.log
  cat /tmp/$name.aspi.log
  if [ ! -e /tmp/$name.flash ]; then
    echo "FLASH not programmed"
  elif cmp -s /tmp/$name.flash $root$SAMPLES/$image.BIN; then
    echo "FLASH equals $image.BIN"
  else
    echo "FLASH differs from $image.BIN"
  fi
  replay_windows $PREFIX_98 $aspi/flashutil-system-$image.exe
}
flash_aspi wine-aspi-flash-q150 Q150 q150
same_commands q150 /tmp/q150.aspi.log
flash_aspi wine-aspi-flash-k300 K300 k300
same_commands k300 /tmp/k300.aspi.log
flash_aspi wine-aspi-flash-s150 S150 s150
same_commands s150 /tmp/s150.aspi.log

# Faults of the drive during a flash through the library, on s150 with the
# short-ID image: a sense answer to a block's WRITE BUFFER, a READ BUFFER of
# the read-back that brings half its data, a flash start that the drive
# answers only after the LUN's time-out (4 s, set up above; the kernel then ends the
# command itself and drops the late answer). Each ends in its box, and the
# drive gets no command of the program after the faulty one.
flash_aspi wine-aspi-fault-sense S150 s150 "fail op=3B b9=00 nth=5 sense 04 44 00"
flash_aspi wine-aspi-fault-short S150 s150 "fail op=3C nth=5 short 8192"
flash_aspi wine-aspi-fault-stall S150 s150 "fail op=3B b9=80 stall 6"
# The stalled flash start as the drive logged it, and its late answer.
sed -n '/ STALL /p; / late$/p' /tmp/s150.log
stop_wine $PREFIX_98

kill $(pidof Xvfb) 2> /dev/null
echo "models' errors:" >&2
cat /tmp/models.err >&2
section end
