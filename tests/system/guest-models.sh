# Shell functions for the drive models, sourced by the guest scripts after /init's
# `load` and `wait_until` (given to boot-guest.sh as --file ...:/guest-models.sh).
# Drive NAME is a userspace backstore (target_core_user) served by tcmu_drive
# from /probe on its /dev/uioN and exported through a loopback target of its
# own (a LUN added to a live target gives the target's other LUNs a unit
# attention); configfs must be mounted at /sys/kernel/config. Files of drive NAME:
# /tmp/NAME.log (every command it got), /tmp/NAME.control (orders, see
# tcmu_drive.cpp), /tmp/NAME.flash (its flash after a flash start); the
# models' error output goes to /tmp/models.err.
model_drive() {  # NAME WWN-DIGIT CMD_TIME_OUT tcmu_drive options...
  local name=$1 digit=$2 timeout=$3 core uio tpg
  shift 3
  core=/sys/kernel/config/target/core/user_1/$name
  mkdir -p $core
  echo "dev_config=flashutil/$name,dev_size=1048576" > $core/control
  echo $timeout > $core/attrib/cmd_time_out
  echo 1 > $core/enable
  uio=$(grep -l "^tcm-user/1/$name/" /sys/class/uio/uio*/name)
  uio=${uio%/name}
  tcmu_drive --uio /dev/${uio##*/} --log /tmp/$name.log --control /tmp/$name.control \
    --flash-out /tmp/$name.flash --vendor VOX-TEL "$@" 2>> /tmp/models.err &
  tpg=/sys/kernel/config/target/loopback/naa.500140500000000$digit/tpgt_1
  mkdir -p $tpg/lun/lun_0
  echo naa.500140510000000$digit > $tpg/nexus
  ln -s $core $tpg/lun/lun_0/$name
}
# Sends orders to a drive model and waits until it has taken them.
order() {
  local name=$1
  shift
  printf '%s\n' "$@" > /tmp/$name.orders
  mv /tmp/$name.orders /tmp/$name.control
  wait_until "[ ! -e /tmp/$name.control ]"
}
# The commands drive NAME got since the mark MARK, once nothing more comes:
# closing a block node makes the kernel look at the drive once more (GET
# EVENT STATUS NOTIFICATION, TEST UNIT READY) from a worker of its own, a
# moment later, and on the last close it unlocks the tray (PREVENT ALLOW
# MEDIUM REMOVAL). Those come in no fixed order after the program's last
# command: that tail is sorted.
model_log() {
  local size=-1 quiet=0 last
  while [ $quiet -lt 3 ]; do
    if [ "$(stat -c %s /tmp/$1.log)" = "$size" ]; then quiet=$((quiet + 1)); else quiet=0; fi
    size=$(stat -c %s /tmp/$1.log)
    sleep 0.03
  done
  sed -n "/^MARK $2\$/,\$p" /tmp/$1.log | sed 1d > /tmp/model_log.txt
  last=$(awk '!/^(4A|1E|00 00 00 00 00 00) / { last = NR } END { print last + 0 }' /tmp/model_log.txt)
  head -n $last /tmp/model_log.txt
  tail -n +$((last + 1)) /tmp/model_log.txt | sort
}
# The block node (srN) and the sg node of the drive whose product is PRODUCT.
model_block() { for d in /sys/block/sr*; do grep -q "^$1 *\$" $d/device/model && echo ${d##*/}; done; }
model_sg() { for d in /sys/class/scsi_generic/sg*; do grep -q "^$1 *\$" $d/device/model && echo ${d##*/}; done; }
