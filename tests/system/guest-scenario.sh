# Runs inside the test guest (sourced by its /init, which provides `load` and
# `wait_until`). Drives of the boot, in SCSI address order:
#   0:0:0:0 ATAPI (IDE master) with a disc     0:0:1:0 ATAPI (IDE slave), empty
#   2:0:0:0 virtio-scsi CD, disc, fits         2:0:1:0 virtio-scsi CD, empty, revision out of range
#   2:0:2:0 virtio-scsi disk (not optical)     3:0:0:0 scsi_debug CD with zero-padded INQUIRY texts
# and, from the section "models" on, three drive models behind the kernel's
# SCSI target (tcmu_drive), each on a loopback host of its own, all empty:
#   4:0:1:0 VOX-TEL QRD-73318K Q120            5:0:1:0 VOX-TEL DVD-ROM MVK-417 K200, flash ID BF D6 00 01
#   6:0:1:0 VOX-TEL CRW-5232S S120, flash ID DA C8 00 00, cmd_time_out 4 s
# Each section starts with a "=== <name>" line; the host compares the sections
# with its expected texts (sections without one are measurements). A new case
# on a drive model: `order NAME reset "mark CASE"`, run it, then print
# `model_log NAME CASE`, the commands that reached the drive meanwhile.

section() { echo "=== $1"; }
count() { ls -d $1 2>/dev/null | wc -l; }
uptime_s() { cut -d' ' -f1 /proc/uptime; }

# Loaded one bus at a time so that sr/sg numbers follow SCSI address order.
load base
load ide
wait_until '[ $(count "/sys/block/sr*") -ge 2 ]'
load virtio
wait_until '[ $(count "/sys/block/sr*") -ge 4 ] && [ $(count "/sys/bus/scsi/devices/2:0:2:0") -ge 1 ]'
load debug "ptype=5 removable=1 delay=0 dev_size_mb=1 inq_vendor=SDBG inq_product=CDRW inq_rev=0001"
wait_until '[ $(count "/sys/block/sr*") -ge 5 ]'
load sg
wait_until '[ $(count "/sys/class/scsi_generic/sg*") -ge 6 ] && [ $(count "/dev/sg*") -ge 6 ]'
wait_until '[ $(count "/dev/sr*") -ge 5 ]'

section discovery
timeout 60 guest_probe discover

section startup
timeout 60 guest_probe startup "VOX-TEL QRD-73318K" "1.00-1.99" "QRD-73318K" "VOX-TEL"

section program
if [ -x /probe/flashutil-flash-scripted ]; then
  mkdir -p -m 0700 /tmp/runtime
  QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp/runtime HOME=/tmp timeout 120 flashutil-flash-scripted
  echo "EXIT $?"
fi

section standard
timeout 120 guest_probe rest

section vendor
timeout 120 guest_probe vendor

# A command that the drive never answers ends in the kernel's time-out
# handling and must fail (scsi_debug drops commands on request).
section timeout
timeout 120 guest_probe timeout 4 2

# Another program holds a drive's sg node exclusively: start-up does not wait
# for it, shows the open failure at once and lists the other drives.
section busy-startup
held=$(ls /sys/bus/scsi/devices/0:0:0:0/scsi_generic)
guest_probe hold /dev/$held excl > /tmp/hold.txt &
holder=$!
wait_until 'grep -q "^HELD" /tmp/hold.txt'
start=$(uptime_s)
timeout 60 guest_probe startup "VOX-TEL QRD-73318K" "1.00-1.99" "QRD-73318K" "VOX-TEL"
echo "WITHIN 2 S: $(echo "$start $(uptime_s)" | awk '{print ($2 - $1 < 2) ? "yes" : "no"}')"
kill $holder
wait $holder 2> /dev/null

# A mounted disc: FLASH is refused before any command, with the node named.
section mounted
load ext2
mkdir -p /mnt/disc
disc=$(ls /sys/bus/scsi/devices/2:0:0:0/block)
mount -t ext2 -o ro /dev/$disc /mnt/disc && echo "MOUNTED /dev/$disc"
echo mounted | timeout 60 guest_probe flash /tmp/none /images/Q150.BIN "VOX-TEL QRD-73318K" 1.00-1.99 QRD-73318K Q150. VoxTEL
umount /mnt/disc

# Not compared: commands per second of SendCommand and of sg_turs on the
# virtio-scsi drive with a disc, in the same boot.
section bench
node=$(guest_probe discover | sed -n 's/^DRIVE 2|\([^|]*\)|.*/\1/p')
echo "NODE $node"
for round in 1 2 3; do
  timeout 60 guest_probe bench 2 3000
  timeout 60 sg_turs -n 3000 -t "$node" 2>&1
done

# Drive models (model_drive, order and model_log in guest-models.sh).
load target
mount -t configfs configfs /sys/kernel/config
. /guest-models.sh
# The drive list index of the drive whose product is PRODUCT.
model_index() { guest_probe discover | sed -n "s/^DRIVE \([0-9]*\)|.*|VOX-TEL $1 *|.*/\1/p"; }

models_start=$(uptime_s)
model_drive q150 1 30 --product QRD-73318K --revision Q120 --revision-after-flash Q150
model_drive k300 2 30 --product "DVD-ROM MVK-417" --revision K200 --flash-id BFD60001 --revision-after-flash K300
model_drive s150 3 4 --product CRW-5232S --revision S120 --flash-id DAC80000 --revision-after-flash S150
wait_until '[ $(count "/sys/class/scsi_generic/sg*") -ge 9 ] && [ $(count "/dev/sg*") -ge 9 ] && [ $(count "/dev/sr*") -ge 8 ]'
echo "MODEL set-up of three drives: $(echo "$models_start $(uptime_s)" | awk '{printf "%.2f", $2 - $1}') s" >&2

section models
timeout 60 guest_probe discover
# What the kernel sent each drive when it attached it (sr and sg), and discovery's INQUIRY.
for name in q150 k300 s150; do echo "$name:"; cat /tmp/$name.log; done

# A whole flash by the flash program for IMAGE, as a person would run it, on
# drive model NAME: the program's output, then every command the drive got,
# then whether the drive's flash now holds the image, and the replay of the
# flash's transcript by the command line. With NODE, another
# program opens NODE with O_EXCL while the restart question is up: the flash
# has given the drive back by then.
flash_program() {  # SECTION IMAGE NAME [NODE]
  local start hook=
  [ -n "$4" ] && hook="case \"\$BOX_TEXT\" in *restarted*) guest_probe hold $4 excl once;; esac"
  order $3 reset "mark $1"
  section $1
  start=$(uptime_s)
  FLASHUTIL_TEST_BOX_HOOK="$hook" QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp/runtime HOME=/tmp \
    timeout 120 flashutil-system-$2
  echo "EXIT $?"
  ls -t /tmp/.local/state/flashutil/flash-*.txt | head -n 1 > /tmp/$1.transcript
  echo "MODEL $1: $(echo "$start $(uptime_s)" | awk '{printf "%.2f", $2 - $1}') s" >&2
  echo "DRIVE"
  model_log $3 $1
  if cmp -s /tmp/$3.flash /images/$2.BIN; then echo "FLASH equals $2.BIN"; else echo "FLASH differs from $2.BIN"; fi
  replay $1 $(command -v flashutil-system-$2)
}
# The transcript that the flash of SECTION left, replayed by the command line
# with PROGRAM: its exit status and last line (the transcript's name left out).
replay() {  # SECTION PROGRAM
  HOME=/tmp timeout 120 flashutil-pack-system replay "$(cat /tmp/$1.transcript)" $2 > /tmp/replay.txt 2>&1
  echo "REPLAY exit $?: $(tail -n 1 /tmp/replay.txt | sed 's|([^ ]*/flash-[^ ]* line|(line|')"
}
mkdir -p -m 0700 /tmp/runtime
# The sg node of the drive at a SCSI address.
sg_at() { echo /dev/$(ls /sys/bus/scsi/devices/$1/scsi_generic); }
flash_program flash-sg-q150 Q150 q150 $(sg_at 4:0:1:0)
flash_program flash-sg-k300 K300 k300 $(sg_at 5:0:1:0)
flash_program flash-sg-s150 S150 s150 $(sg_at 6:0:1:0)

# The command line on the same drives: flashutil-pack lists them, and flashes
# the image of each flash program above as a script runs it (--yes, output
# not a terminal); its output (standard error too), the drive's log, its
# flash and the replay of its transcript as above; a Ctrl-C while the drive
# is brought to rest (its START STOP UNIT takes 2 s), after which nothing may
# be written; and a flash that fails (a corrupt byte in DRAM). Its output goes to a file, as a script's does (the
# guest's own output is a terminal); the time in its transcript's name is
# left out.
pack() {
  HOME=/tmp timeout 120 flashutil-pack-system "$@" > /tmp/pack.txt 2>&1
  echo "EXIT $?" >> /tmp/pack.txt
  sed 's/flash-[0-9]*-[0-9]*Z-/flash-TIME-/' /tmp/pack.txt
}
section cli-drives
start=$(uptime_s)
order k300 reset
pack drives
pack drives /probe/flashutil-system-K300
cli_flash() {  # SECTION IMAGE NAME [ORDER...]
  local section=$1 image=$2 name=$3
  shift 3
  rm -f /tmp/$name.flash
  order $name reset "mark $section" "$@"
  section $section
  pack flash /probe/flashutil-system-$image --yes
  sed -n 's/^Transcript: //p' /tmp/pack.txt > /tmp/$section.transcript
  echo "DRIVE"
  model_log $name $section
  if cmp -s /tmp/$name.flash /images/$image.BIN; then echo "FLASH equals $image.BIN"; else echo "FLASH differs from $image.BIN"; fi
  replay $section /probe/flashutil-system-$image
}
order q150 reset "mark cli-interrupt" "fail op=1B nth=1 stall 2"
section cli-interrupt
# SIGINT from another process once the drive holds the command; the program
# runs in the foreground, where SIGINT is not ignored.
( wait_until "sed -n '/^MARK cli-interrupt\$/,\$p' /tmp/q150.log | grep -q STALL" &&
  kill -INT $(pidof flashutil-pack-system) ) &
interrupter=$!
pack flash /probe/flashutil-system-Q150 --yes
sed -n 's/^Transcript: //p' /tmp/pack.txt > /tmp/cli-interrupt.transcript
wait $interrupter
echo "DRIVE"
model_log q150 cli-interrupt
echo "WRITE BUFFER commands: $(sed -n '/^MARK cli-interrupt$/,$p' /tmp/q150.log | grep -c '^3B ')"
replay cli-interrupt /probe/flashutil-system-Q150
cli_flash cli-flash-q150 Q150 q150
cli_flash cli-flash-k300 K300 k300
cli_flash cli-flash-s150 S150 s150
cli_flash cli-fail S150 s150 "fail op=3B b9=00 nth=10 dram 0x24100 0x01"
echo "MODEL command line: $(echo "$start $(uptime_s)" | awk '{printf "%.2f", $2 - $1}') s" >&2
# The transcripts of the window's whole flash of S150, of the command line's
# failed flash and of its flash stopped by Ctrl-C go to the host in this
# section, for it to replay (tests/system/run-system-tests.sh replay): each
# between its TRANSCRIPT line and END TRANSCRIPT.
section transcripts
for run in flash-sg-s150 cli-fail cli-interrupt; do
  echo "TRANSCRIPT $run"
  cat "$(cat /tmp/$run.transcript)"
  echo "END TRANSCRIPT"
done

# Faults of the drive during a flash, through the same start-up and FLASH on a
# headless form (guest_probe flash), on drive s150 with the short-ID image.
s150_flash() { timeout 600 guest_probe flash /tmp/s150 /images/S150.BIN "VOX-TEL CRW-5232S" S100-S199 CRW-5232S S150. VoxTEL; }
section faults
start=$(uptime_s)
s150_flash <<'RUNS'
short-read fail op=3C nth=5 short 8192
corrupt-dram fail op=3B b9=00 nth=10 dram 0x24100 0x01
busy-block fail op=3B b9=00 nth=3 busy
stall-start fail op=3B b9=80 stall 6
RUNS
# The stalled model answers late; wait until it serves again.
order s150 "mark after-stall"
# The stalled flash start, as the drive logged it, and its late answer.
sed -n '/ STALL /p; / late$/{p;n;p}' /tmp/s150.log
echo "MODEL faults: $(echo "$start $(uptime_s)" | awk '{printf "%.2f", $2 - $1}') s" >&2

# The sense 04/44/00 on each command of a run in turn.
section sweep
start=$(uptime_s)
echo "sweep 04 44 00" | s150_flash
echo "MODEL sweep: $(echo "$start $(uptime_s)" | awk '{printf "%.2f", $2 - $1}') s" >&2

# A READ BUFFER that brings (almost) no data while the DRAM holds a corrupt
# byte, with an image whose last blocks are padding: on /dev/sgN the
# untransferred buffer keeps the previous block, which equals the padding,
# and only the residual tells. It brings 1 byte, not none: the kernel's
# target takes a read length of 0 from the model for "not given" and passes
# the whole (stale) buffer on. Only the verdict is compared; the run itself is
# in "stale-readback-run".
cp /images/Q150.BIN /tmp/PAD.BIN
dd if=/dev/zero bs=16384 count=2 2>/dev/null | tr '\000' '\377' | dd of=/tmp/PAD.BIN bs=16384 seek=30 conv=notrunc 2>/dev/null
timeout 120 guest_probe flash /tmp/q150 /tmp/PAD.BIN "VOX-TEL QRD-73318K" Q100-Q149 QRD-73318K Q150. VoxTEL > /tmp/stale.txt <<'RUNS'
stale-readback fail op=3B b9=00 nth=32 dram 0x7C010 0x01; fail op=3C nth=32 short 1
RUNS
section stale-readback-run
cat /tmp/stale.txt
section stale-readback
grep -e '^VERDICT' -e '^REPLAY' /tmp/stale.txt

# Not compared: the round trip of a command through the ring.
section model-bench
index=$(model_index CRW-5232S)
for round in 1 2 3; do timeout 60 guest_probe bench $index 3000 | sed 's/^/MODEL ring /'; done

# The kernel polls a drive for media changes (every 2 s where udev sets it,
# every 100 ms here). The flash's claim of the block node for writing pauses
# that polling while it holds the drive: between the flash's first command
# and its flash start (with a block that takes a second in between) no poll
# reaches the drive. The claim and its release each make the kernel look at
# the drive once (GET EVENT STATUS NOTIFICATION, TEST UNIT READY).
section polling
poll=/sys/block/$(model_block CRW-5232S)/events_poll_msecs
was=$(cat $poll)
echo 100 > $poll
echo "polling fail op=3B b9=00 nth=16 stall 1" | s150_flash > /tmp/polling.txt
echo $was > $poll
awk '/^LOG 1B 00 00 00 03/ { on = 1 } on && /^LOG 4A/ { during++ } /^LOG 3B 05 01 00 00 00 00 00 00 80/ { on = 0 }
     /^LOG 4A/ { all++ }
     END { printf "POLLS DURING THE FLASH %d\n", during
           printf "MODEL polling: %d of the run'"'"'s %d polls during the flash\n", during, all > "/dev/stderr" }' /tmp/polling.txt
grep -e '^STATUS' -e '^VERDICT' -e '^REPLAY' /tmp/polling.txt

# Another program has the drive open when FLASH is pressed: a descriptor of
# its sg node, or a claim of its block node as a burning program has it. The
# flash is refused before any command; the drive got only start-up's INQUIRY.
section busy-flash
for hold in "$(model_sg CRW-5232S) plain" "$(model_block CRW-5232S) excl"; do
  guest_probe hold /dev/$hold > /tmp/hold.txt &
  holder=$!
  wait_until 'grep -q "^HELD" /tmp/hold.txt'
  echo "busy-${hold#* }" | s150_flash
  kill $holder
  wait $holder 2> /dev/null
done

# A desktop user granted the drive's sg node but only reading of its block
# node: the flash claims the block node for reading (which keeps discs from
# being mounted all the same) and goes through the sg node to the end.
section user-flash
sg=$(model_sg CRW-5232S)
sr=$(model_block CRW-5232S)
modes="$(stat -c %a /dev/$sg) $(stat -c %a /dev/$sr)"
chmod 0666 /dev/$sg
chmod 0644 /dev/$sr
echo user-sg | timeout 120 guest_probe --uid 1000 flash /tmp/s150 /images/S150.BIN "VOX-TEL CRW-5232S" S100-S199 CRW-5232S S150. VoxTEL |
  grep -e '^UID' -e '^RUN' -e '^STATUS' -e '^ENTRY' -e '^VERDICT' -e '^REPLAY'
chmod ${modes% *} /dev/$sg
chmod ${modes#* } /dev/$sr
order s150 reset

# A drive whose sg node is missing (as in a container that passes only its
# block node) is found through its block node, with no message.
section nosg-node
sg=$(ls /sys/bus/scsi/devices/2:0:0:0/scsi_generic)
dev=$(cat /sys/class/scsi_generic/$sg/dev)
rm /dev/$sg
timeout 60 guest_probe discover | grep -e '^COUNT' -e '^DRIVE 2|' -e '^BOX' -e '^Error'
mknod /dev/$sg c ${dev%:*} ${dev#*:}

# Without the sg module the same drives are reached through /dev/srN.
rmmod sg
wait_until '[ $(count "/sys/class/scsi_generic/sg*") -eq 0 ]'

section nosg-discovery
timeout 60 guest_probe discover

section nosg-root
timeout 120 guest_probe writebuffer

# A desktop user granted the drives (the seat's ACL) but without
# CAP_SYS_RAWIO: the block layer refuses WRITE BUFFER with EPERM.
chmod 0666 /dev/sr*
section nosg-user
timeout 120 guest_probe --uid 1000 writebuffer

# The same user presses FLASH on a drive model: refused before the prompt,
# with what to do; the drive gets no command of the flash.
section nosg-user-flash
echo no-rawio | timeout 120 guest_probe --uid 1000 flash /tmp/s150 /images/S150.BIN "VOX-TEL CRW-5232S" S100-S199 CRW-5232S S150. VoxTEL

# Whole flashes through /dev/srN as root (CAP_SYS_RAWIO: no command filter).
flash_program flash-sr-q150 Q150 q150
flash_program flash-sr-k300 K300 k300
flash_program flash-sr-s150 S150 s150
# flash --all over two drives of the same identity (QRD-73318K Q120): the
# model q150 and a second one, q150b, through their sg nodes again. Each gets
# one whole flash, as a single flash sends it: each drive's log and flash
# are compared, each transcript replayed. Then --check on both, fresh: it
# says what a flash would do, and the drives get nothing but INQUIRY.
load sg
wait_until '[ $(count "/sys/class/scsi_generic/sg*") -ge 9 ]'
model_drive q150b 4 30 --product QRD-73318K --revision Q120 --revision-after-flash Q150
wait_until '[ $(count "/sys/class/scsi_generic/sg*") -ge 10 ] && [ $(count "/dev/sg*") -ge 10 ]'
# What the kernel sends a drive it attaches is over before the section begins.
order q150b "mark attached"
model_log q150b attached > /dev/null
start=$(uptime_s)
rm -f /tmp/q150.flash /tmp/q150b.flash
order q150 reset "mark cli-all"
order q150b reset "mark cli-all"
section cli-all
pack flash /probe/flashutil-system-Q150 --all --yes
for name in q150 q150b; do
  echo "DRIVE $name"
  model_log $name cli-all | tee /tmp/$name.cli-all
  if cmp -s /tmp/$name.flash /images/Q150.BIN; then echo "FLASH equals Q150.BIN"; else echo "FLASH differs from Q150.BIN"; fi
done
# The program's own commands: without what the kernel sends as a block node
# is claimed (GET EVENT STATUS NOTIFICATION, TEST UNIT READY before the first
# START STOP UNIT: twice on the drive attached last) and let go (PREVENT
# ALLOW MEDIUM REMOVAL on the last close).
own() { awk '/^1B /{ seen = 1 } /^(4A|1E) / { next } !seen && /^00 00 00 00 00 00 / { next } { print }' $1; }
if [ "$(own /tmp/q150.cli-all)" = "$(own /tmp/q150b.cli-all)" ]; then
  echo "COMMANDS the same on both drives"
else
  echo "COMMANDS differ between the drives"
fi
for transcript in $(sed -n 's/^[^ ]*: Transcript: //p' /tmp/pack.txt); do
  echo "$transcript" > /tmp/cli-all.transcript
  replay cli-all /probe/flashutil-system-Q150
done
echo "MODEL command line --all: $(echo "$start $(uptime_s)" | awk '{printf "%.2f", $2 - $1}') s" >&2
order q150 reset "mark cli-check"
order q150b reset "mark cli-check"
section cli-check
pack flash /probe/flashutil-system-Q150 --all --check
for name in q150 q150b; do
  echo "DRIVE $name"
  model_log $name cli-check
done

echo "models' errors:" >&2
cat /tmp/models.err >&2

section end
