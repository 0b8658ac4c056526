#!/bin/sh
# Checks on the Windows program files.
#   check-program.sh dlls <objdump> <program>...
#       every DLL a program imports is one of Windows' own
#   check-program.sh run <wine> <prefix> <display file> <program> <expected output> [<file>=<name>]...
#       runs a scripted program under Wine, on the X display whose number
#       the display file holds (tests/win/xvfb.sh), in an empty working directory
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
run)
  wine=$1 prefix=$2 display=$(cat "$3") program=$4 expected=$5
  shift 5
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  name=$(basename "$program")
  cp "$program" "$work/$name"
  for pair in "$@"; do cp "${pair%%=*}" "$work/${pair#*=}"; done
  cd "$work"
  DISPLAY=:$display WINEPREFIX=$prefix WINEDEBUG=-all timeout 120 "$wine" "./$name" > output.raw 2> errors.txt || {
    echo "program failed with status $?"; cat errors.txt; exit 1; }
  tr -d '\r' < output.raw | tr '\\' '/' | sed "s|Z:$work|<dir>|g" > output.txt
  diff -u "$expected" output.txt || { echo "standard error:"; cat errors.txt; exit 1; }
  ;;
*)
  echo "unknown mode $mode" >&2
  exit 2
  ;;
esac
