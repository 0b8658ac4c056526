#!/usr/bin/env bash
# Boots a throw-away QEMU guest on the Debian kernel with a busybox initramfs,
# runs one guest script in it and brings its output back.
#
#   boot-guest.sh --out DIR --cache DIR --script FILE [--binary FILE]... [--file SRC:DEST]...
#                 [--modules GROUP:mod,mod,...]... [--memory MB] [--timeout S] [--cpu MODEL]
#                 -- <qemu device args>
#
# In the guest, /init mounts proc, sysfs, devtmpfs and a tmpfs, then runs the
# script with stdout on the second serial port, stderr on the third and its
# exit code on the fourth; the first one carries the kernel console. Each
# binary is copied to /probe/<name>, without its debug information, together
# with its shared libraries (at their own paths). --file copies a file (and, for an ELF object, its shared
# libraries) to DEST. Each module group becomes /modules/GROUP.list, the
# modules with their dependencies in load order, for the script's `load`.
# --cpu replaces QEMU's CPU model (default max).
#
# Results in DIR: stdout, stderr, exit (the script's exit code), console.
# Exit status: 0 when the guest ran the script to its end (whatever its exit
# code), 77 when QEMU or a kernel image cannot be used here (reason on
# stdout), 1 when the guest did not finish.
set -euo pipefail

out="" cache="" script="" memory=1024 timeout=240 cpu=max
binaries=() files=() groups=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out="$2"; shift 2 ;;
    --cache) cache="$2"; shift 2 ;;
    --script) script="$2"; shift 2 ;;
    --binary) binaries+=("$2"); shift 2 ;;
    --file) files+=("$2"); shift 2 ;;
    --modules) groups+=("$2"); shift 2 ;;
    --memory) memory="$2"; shift 2 ;;
    --timeout) timeout="$2"; shift 2 ;;
    --cpu) cpu="$2"; shift 2 ;;
    --) shift; break ;;
    *) echo "boot-guest.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$out" ] && [ -n "$cache" ] && [ -n "$script" ] || { echo "boot-guest.sh: --out, --cache and --script are required" >&2; exit 2; }

skip() { echo "SKIP: $*"; exit 77; }

qemu=$(command -v qemu-system-x86_64 || true)
[ -n "$qemu" ] || skip "qemu-system-x86_64 is not installed (Debian package qemu-system-x86)"
busybox=$(command -v busybox || true)
[ -n "$busybox" ] || skip "busybox is not installed (Debian package busybox-static)"
if ldd "$busybox" >/dev/null 2>&1; then skip "$busybox is not the static busybox (Debian package busybox-static)"; fi
command -v cpio >/dev/null || skip "cpio is not installed"
command -v modprobe >/dev/null || skip "modprobe is not installed (Debian package kmod)"

# Can QEMU start a machine of this kind here at all? A paused machine that is
# still alive after two seconds says yes; one that exits at once says why not.
# A guest that fails after this point is a test failure, not a skip.
set +e
probe_log=$(timeout 2 "$qemu" -nodefaults -no-user-config -machine pc -accel tcg -cpu max -m 64 \
  -display none -S -monitor none -serial none 2>&1)
probe_status=$?
set -e
[ $probe_status -eq 124 ] || skip "QEMU cannot start a guest here: ${probe_log:-exit status $probe_status}"

# The newest Debian kernel image whose modules are installed.
version=""
for image in $(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V -r); do
  v=${image#/boot/vmlinuz-}
  if ls /lib/modules/"$v"/kernel/drivers/scsi/sr_mod.ko* >/dev/null 2>&1; then version=$v; break; fi
done
[ -n "$version" ] || skip "no kernel image with SCSI modules under /boot (Debian package linux-image-amd64)"
[ -r /boot/vmlinuz-"$version" ] || skip "/boot/vmlinuz-$version is not readable"

# A PVH-bootable vmlinux, extracted once from the bzImage's compressed
# payload: QEMU then starts the kernel directly, without the decompressor,
# which under software emulation saves several seconds per boot.
mkdir -p "$cache"
vmlinux="$cache/vmlinux-$version"
if [ ! -s "$vmlinux" ]; then
  bz=/boot/vmlinuz-"$version"
  tmp="$vmlinux.tmp.$$"
  for kind in xz zstd gzip; do
    case $kind in
      xz) magic='\xFD7zXZ\x00'; tool="xz -dc" ;;
      zstd) magic='\x28\xB5\x2F\xFD'; tool="zstd -dcq" ;;
      gzip) magic='\x1F\x8B\x08\x00'; tool="gzip -dc" ;;
    esac
    command -v "${tool%% *}" >/dev/null || continue
    for offset in $(LC_ALL=C grep -obUaP "$magic" "$bz" 2>/dev/null | cut -d: -f1 | head -5); do
      tail -c +$((offset + 1)) "$bz" | $tool > "$tmp" 2>/dev/null || true
      if [ "$(head -c 4 "$tmp" 2>/dev/null | od -An -tx1 | tr -d ' \n')" = "7f454c46" ]; then
        mv "$tmp" "$vmlinux"; break 2
      fi
    done
  done
  rm -f "$tmp"
  [ -s "$vmlinux" ] || skip "could not extract an ELF vmlinux from $bz"
fi

rm -rf "$out"
mkdir -p "$out"
root="$out/initramfs"
mkdir -p "$root"/{bin,sbin,dev,proc,sys,tmp,probe,modules,etc,usr/bin,usr/sbin}
cp "$busybox" "$root/bin/busybox"
echo "root:x:0:0:root:/:/bin/sh" > "$root/etc/passwd"
echo "user:x:1000:1000:user:/:/bin/sh" >> "$root/etc/passwd"
printf 'root:x:0:\nuser:x:1000:\n' > "$root/etc/group"

# Copies an ELF file's shared libraries (and the loader) to their own paths.
copy_libraries() {
  local lib
  for lib in $(ldd "$1" 2>/dev/null | awk '/=> \// {print $3} /^\t\/.*ld-linux/ {print $1}'); do
    if [ ! -e "$root$lib" ]; then
      mkdir -p "$root$(dirname "$lib")"
      cp -L "$lib" "$root$lib"
    fi
  done
}

for binary in "${binaries[@]}"; do
  [ -x "$binary" ] || { echo "boot-guest.sh: $binary is missing" >&2; exit 1; }
  cp -L "$binary" "$root/probe/$(basename "$binary")"
  # Debug information is most of a test program's size; the guest has no use for it.
  strip --strip-debug "$root/probe/$(basename "$binary")" 2>/dev/null || true
  copy_libraries "$binary"
done
for entry in "${files[@]}"; do
  src=${entry%%:*} dest=${entry#*:}
  [ -e "$src" ] || { echo "boot-guest.sh: $src is missing" >&2; exit 1; }
  mkdir -p "$root$(dirname "$dest")"
  cp -L "$src" "$root$dest"
  if [ "$(head -c 4 "$src" | od -An -tx1 | tr -d ' \n')" = "7f454c46" ]; then copy_libraries "$src"; fi
done

# Modules, uncompressed, in dependency order per group.
for group in "${groups[@]}"; do
  name=${group%%:*}
  : > "$root/modules/$name.list"
  IFS=, read -r -a mods <<< "${group#*:}"
  for module in "${mods[@]}"; do
    while read -r cmd path _; do
      [ "$cmd" = insmod ] || continue
      base=$(basename "$path"); base=${base%.xz}; base=${base%.zst}; base=${base%.ko}
      if [ ! -e "$root/modules/$base.ko" ]; then
        case "$path" in
          *.xz) xz -dc "$path" > "$root/modules/$base.ko" ;;
          *.zst) zstd -dcq "$path" > "$root/modules/$base.ko" ;;
          *) cp "$path" "$root/modules/$base.ko" ;;
        esac
      fi
      grep -qx "$base" "$root/modules/$name.list" || echo "$base" >> "$root/modules/$name.list"
    done < <(modprobe -S "$version" --show-depends "$module" 2>/dev/null || true)
  done
done

cp "$script" "$root/scenario.sh"
cat > "$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin:/sbin:/usr/bin:/usr/sbin:/probe
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
for port in 1 2 3; do stty -F /dev/ttyS$port 115200 raw -echo; done
# Loads a module group prepared by the host, in dependency order; the
# optional parameters go to the group's last module.
load() {
  local last module
  last=$(tail -n 1 /modules/$1.list)
  for module in $(cat /modules/$1.list); do
    grep -q "^$(echo "$module" | tr - _) " /proc/modules && continue
    if [ "$module" = "$last" ]; then insmod /modules/$module.ko $2; else insmod /modules/$module.ko; fi
  done
}
# Waits (at most 30 s) until the shell test in $1 holds.
wait_until() {
  local tries=0
  while ! eval "$1"; do
    tries=$((tries + 1))
    [ $tries -ge 300 ] && { echo "time-out waiting for: $1" >&2; return 1; }
    sleep 0.1
  done
}
. /scenario.sh > /dev/ttyS1 2> /dev/ttyS2
echo "$?" > /dev/ttyS3
sync
poweroff -f
EOF
chmod +x "$root/init" "$root/scenario.sh"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) > "$out/initramfs.cpio"
rm -rf "$root"

# -nodefaults: no default IDE CD-ROM, network or VGA of the machine's own.
set +e
timeout --kill-after=10 "$timeout" "$qemu" -nodefaults -no-user-config -machine pc -accel tcg -cpu "$cpu" \
  -smp 1 -m "$memory" -display none -no-reboot \
  -kernel "$vmlinux" -initrd "$out/initramfs.cpio" \
  -append "console=ttyS0 quiet cryptomgr.notests panic=-1 rdinit=/init" \
  -serial file:"$out/console" -serial file:"$out/stdout" -serial file:"$out/stderr" -serial file:"$out/exit" \
  "$@" > "$out/qemu.log" 2>&1
status=$?
set -e
rm -f "$out/initramfs.cpio"
if [ $status -eq 124 ] || [ $status -eq 137 ]; then
  echo "the guest did not finish within $timeout s; console:"; tail -20 "$out/console"
  exit 1
fi
if [ ! -s "$out/exit" ]; then
  echo "the guest ended without running its script to the end (QEMU status $status)"
  cat "$out/qemu.log"; tail -20 "$out/console" 2>/dev/null
  exit 1
fi
exit 0
