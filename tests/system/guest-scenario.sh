# Runs inside the test guest (sourced by its /init, which provides `load` and
# `wait_until`). Drives of the boot, in SCSI address order:
#   0:0:0:0 ATAPI (IDE master) with a disc     0:0:1:0 ATAPI (IDE slave), empty
#   2:0:0:0 virtio-scsi CD, disc, fits         2:0:1:0 virtio-scsi CD, empty, revision out of range
#   2:0:2:0 virtio-scsi disk (not optical)     3:0:0:0 scsi_debug CD with zero-padded INQUIRY texts
# Each section starts with a "=== <name>" line; the host compares the sections
# with its expected texts.

section() { echo "=== $1"; }
count() { ls -d $1 2>/dev/null | wc -l; }

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

# Not compared: commands per second of SendCommand and of sg_turs on the
# virtio-scsi drive with a disc, in the same boot.
section bench
node=$(guest_probe discover | sed -n 's/^DRIVE 2|\([^|]*\)|.*/\1/p')
echo "NODE $node"
for round in 1 2 3; do
  timeout 60 guest_probe bench 2 3000
  timeout 60 sg_turs -n 3000 -t "$node" 2>&1
done

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

section end
