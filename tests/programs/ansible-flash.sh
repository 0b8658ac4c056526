#!/usr/bin/env bash
# The Ansible module (contrib/ansible/library/flashutil_flash.py) run by
# ansible-playbook on localhost against flashutil-pack-sim's tower of drives:
# the first run changes the drives, the second finds them up to date and
# changes nothing, check mode changes nothing and tells what it would do,
# and a drive whose read-back differs fails the task with the failure's text.
# Arguments: flashutil-pack-sim, the simulated builder, the source folder.
set -euo pipefail
pack_sim=$1 builder=$2 source=$3
if ! command -v ansible-playbook >/dev/null; then
  echo "SKIPPED: ansible-playbook is not installed (Debian's ansible-core)"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$source/samples/FLASHUTIL.INI" "$source/samples/Q150.BIN" .
"$pack_sim" build --builder "$builder" --catalogue FLASHUTIL.INI --model 0 --bin Q150.BIN >/dev/null
export XDG_STATE_HOME=$work/state ANSIBLE_LIBRARY=$source/contrib/ansible/library ANSIBLE_NOCOLOR=1
export ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp HOME=$work

# flashutil-pack as the module runs it, on simulated drives whose firmware
# stays as a run leaves it (in drives.txt).
cat > pack <<WRAPPER
#!/bin/sh
command=\$1; shift
exec "$pack_sim" "\$command" --simulate "\${SIMULATE:-tower}" --drive-state "$work/drives.txt" \
  --drive-log "$work/drives.log" "\$@"
WRAPPER
chmod +x pack
cat > flash.yml <<'PLAYBOOK'
- hosts: localhost
  gather_facts: false
  tasks:
    - flashutil_flash:
        program: "{{ playbook_dir }}/Q150.EXE"
        all: true
        parallel: 4
        executable: "{{ playbook_dir }}/pack"
      register: flashed
      ignore_errors: true
    - copy:
        content: "{{ flashed | to_json }}"
        dest: "{{ playbook_dir }}/result.json"
      check_mode: false
PLAYBOOK

# Runs the playbook (ARGS) and prints what the task reported: "changed
# C failed F", each drive's node and result, and the message of a failure.
run() {
  ansible-playbook -i localhost, -c local "$@" flash.yml >playbook.txt 2>&1 || { cat playbook.txt; exit 1; }
  python3 - <<'SUMMARY'
import json
r = json.load(open("result.json"))
print("changed", str(r.get("changed")).lower(), "failed", str(r.get("failed", False)).lower())
for d in r.get("drives", []):
    print(d["node"], d["result"])
if r.get("failed"):
    print("msg", r["msg"])
SUMMARY
}

expect() {  # NAME EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'FAILED %s\nexpected:\n%s\nactual:\n%s\n' "$1" "$2" "$3"
    cat playbook.txt
    exit 1
  fi
  echo "PASSED $1"
}

tower() { for node in 0 5 6 7; do echo "/dev/sim-sg$node $1"; done; }

expect "check mode changes nothing and says what it would do" "changed true failed false
$(tower would-flash)" "$(run --check)"
[ ! -e drives.txt ] || ! grep -q Q150 drives.txt || { echo "FAILED: check mode flashed a drive"; exit 1; }
! grep -q " 3B " drives.log || { echo "FAILED: check mode sent a WRITE BUFFER"; exit 1; }
expect "the first run flashes the drives" "changed true failed false
$(tower flashed)" "$(run)"
expect "the second run changes nothing" "changed false failed false
$(tower up-to-date)" "$(run)"
rm drives.txt
expect "a failed read-back fails the task with its text" "changed true failed true
/dev/sim-sg0 flashed
/dev/sim-sg5 flashed
/dev/sim-sg6 failed
/dev/sim-sg7 flashed
msg /dev/sim-sg6: Read back and Verify drive's DRAM... , Compare BIN and DRAM Fail! " \
  "$(SIMULATE=tower,corrupt-read-back@/dev/sim-sg6 run)"
ansible-playbook -i localhost, -c local --syntax-check "$source/contrib/ansible/flash-drives.yml" >/dev/null
echo "PASSED the example playbook"
