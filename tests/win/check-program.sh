#!/bin/sh
# Checks on the Windows program files.
#   check-program.sh dlls <objdump> <program>...
#       every DLL a program imports is one of Windows' own
#   check-program.sh keyword <key-word> <program>...
#       the package key-word occurs exactly once in each program file
#   check-program.sh run <wine> <prefix> <program> <expected output> [<file>=<name>]...
#       runs a scripted program under Wine in an empty working directory
#       (with the given files copied in under the given names) and compares
#       what it printed with the expected output; the working directory's
#       Windows path is printed as <dir>, backslashes as slashes
set -eu
mode=$1
shift
case $mode in
dlls)
  objdump=$1
  shift
  # Present on every Windows 10 and 11; nothing of ours, no compiler runtime.
  system="kernel32.dll user32.dll gdi32.dll comctl32.dll advapi32.dll msvcrt.dll shell32.dll ole32.dll"
  status=0
  for program in "$@"; do
    dlls=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | tr -d '\r')
    [ -n "$dlls" ] || { echo "$program: no import table found"; status=1; }
    for dll in $dlls; do
      case " $system " in
      *" $dll "*) ;;
      *) echo "$program imports $dll, which is not a Windows system DLL"; status=1 ;;
      esac
    done
    echo "$(basename "$program"): $(echo $dlls)"
  done
  exit $status
  ;;
keyword)
  keyword=$1
  shift
  status=0
  for program in "$@"; do
    count=$(grep -obaF -- "$keyword" "$program" | wc -l)
    echo "$(basename "$program"): key-word found $count time(s)"
    [ "$count" -eq 1 ] || status=1
  done
  exit $status
  ;;
run)
  wine=$1 prefix=$2 program=$3 expected=$4
  shift 4
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  name=$(basename "$program")
  cp "$program" "$work/$name"
  for pair in "$@"; do cp "${pair%%=*}" "$work/${pair#*=}"; done
  cd "$work"
  # Wine draws windows through an X server.
  WINEPREFIX=$prefix WINEDEBUG=-all timeout 120 xvfb-run -a "$wine" "./$name" > output.raw 2> errors.txt || {
    echo "program failed with status $?"; cat errors.txt; exit 1; }
  tr -d '\r' < output.raw | tr '\\' '/' | sed "s|Z:$work|<dir>|g" > output.txt
  diff -u "$expected" output.txt || { echo "standard error:"; cat errors.txt; exit 1; }
  ;;
*)
  echo "unknown mode $mode" >&2
  exit 2
  ;;
esac
