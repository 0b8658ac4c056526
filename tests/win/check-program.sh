#!/bin/sh
# Checks on the Windows program files.
#   check-program.sh dlls <objdump> <imports list> <program>...
#       every DLL a program imports is one of Windows' own, and every
#       function it imports at load time is in the imports list (DLL,
#       function, first Windows that has it) and there on Windows XP SP3:
#       the program must start on every Windows from XP SP3 on
#   check-program.sh run <wine> <prefix> <display file> <program> <expected output> [<file>=<name>]...
#       runs a scripted program under Wine, on the X display whose number
#       the display file holds (tests/win/xvfb.sh), in an empty working directory
#       (with the given files copied in under the given names) and compares
#       what it printed with the expected output; the working directory's
#       Windows path is printed as <dir>, backslashes as slashes. With
#       replay=<command line program> first among the files, the transcript
#       of the flash that the program wrote in the prefix (%LOCALAPPDATA%\flashutil)
#       is replayed with the program file by that Linux command line, and
#       must replay to the same end
#   check-program.sh zip <cmake> <zip> <folder> <entry>[=<file>]...
#       the zip holds the folder with exactly the given entries: each one
#       given with a file is that file byte for byte, each one without is a
#       text whose every line ends in CR LF, as Windows' editors want it
set -eu
mode=$1
shift
case $mode in
dlls)
  objdump=$1 list=$2
  shift 2
  # Present on every Windows from XP on; nothing of ours, no compiler runtime.
  system="kernel32.dll user32.dll gdi32.dll comctl32.dll advapi32.dll msvcrt.dll shell32.dll ole32.dll"
  # The Windows versions of the list, oldest first; a function may be
  # imported only up to XPSP3.
  versions="95 NT3.1 NT3.5 NT4 98 2000 XP XPSP1 XPSP2 XPSP3 Vista 7 8 8.1 10"
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
    # Every function by name, as "dll function" (objdump lists each DLL's
    # names below its "DLL Name" line: address, hint, name).
    imports=$(mktemp)
    "$objdump" -p "$program" | tr -d '\r' | awk '
      /^The Import Tables/ { on = 1; next }
      /^The Export Tables|^PE File Base Relocations|^The Function Table/ { on = 0 }
      on && /DLL Name:/ { dll = tolower($3); next }
      on && dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print dll, $3 }
      on && dll != "" && NF == 2 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^<none>$|^[0-9]+$/ { print dll, "#" $2 }
    ' | sort -u > "$imports"
    [ -s "$imports" ] || { echo "$program: no imported function found"; status=1; }
    if ! awk -v versions="$versions" -v program="$(basename "$program")" '
      BEGIN { n = split(versions, order, " "); for (i = 1; i <= n; i++) rank[order[i]] = i; limit = rank["XPSP3"] }
      FNR == NR {
        if ($0 ~ /^[[:space:]]*(#|$)/) next
        if (!($3 in rank)) { printf "imports list: %s %s: unknown version %s\n", $1, $2, $3; bad = 1; next }
        since[tolower($1) " " $2] = $3; next
      }
      {
        key = $1 " " $2
        if (!(key in since)) { printf "%s imports %s from %s, which the imports list does not have\n", program, $2, $1; bad = 1 }
        else if (rank[since[key]] > limit) { printf "%s imports %s from %s, which Windows has only from %s on\n", program, $2, $1, since[key]; bad = 1 }
        else count[since[key]]++
        total++
      }
      END {
        line = ""
        for (i = 1; i <= n; i++) if (count[order[i]] > 0) line = line " " order[i] ": " count[order[i]]
        printf "%s: %d functions by first Windows:%s\n", program, total, line
        exit bad
      }' "$list" "$imports"; then
      status=1
    fi
    rm -f "$imports"
  done
  exit $status
  ;;
run)
  wine=$1 prefix=$2 display=$(cat "$3") program=$4 expected=$5
  shift 5
  pack=
  case ${1-} in replay=*) pack=${1#replay=}; shift ;; esac
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  name=$(basename "$program")
  cp "$program" "$work/$name"
  for pair in "$@"; do cp "${pair%%=*}" "$work/${pair#*=}"; done
  cd "$work"
  transcripts() { find "$prefix/drive_c" -path '*/flashutil/flash-*.txt' 2> /dev/null | sort; }
  transcripts > before.txt
  DISPLAY=:$display WINEPREFIX=$prefix WINEDEBUG=-all timeout 120 "$wine" "./$name" > output.raw 2> errors.txt || {
    echo "program failed with status $?"; cat errors.txt; exit 1; }
  tr -d '\r' < output.raw | tr '\\' '/' | sed "s|Z:$work|<dir>|g" > output.txt
  diff -u "$expected" output.txt || { echo "standard error:"; cat errors.txt; exit 1; }
  if [ -n "$pack" ]; then
    [ -x "$pack" ] || { echo "$pack is missing: build the Linux programs first (scripts/build.sh)," \
      "or give the Windows build their folder (FLASHUTIL_LINUX_BUILD_DIR)"; exit 1; }
    transcripts | comm -13 before.txt - > new.txt
    [ "$(grep -c . new.txt)" -eq 1 ] || { echo "$(grep -c . new.txt) new transcripts, not 1:"; cat new.txt; exit 1; }
    transcript=$(cat new.txt)
    echo "transcript: $transcript"
    "$pack" replay "$transcript" "$program" > replay.txt 2>&1 || {
      echo "replay failed with status $?:"; grep -v '^progress ' replay.txt; exit 1; }
    tail -n 1 replay.txt
  fi
  ;;
zip)
  cmake=$1 zip=$2 folder=$3
  shift 3
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && "$cmake" -E tar xf "$zip") || { echo "$zip does not unpack"; exit 1; }
  status=0
  (cd "$work" && find . -type f | sed 's|^\./||' | sort) > "$work.found"
  for pair in "$@"; do echo "$folder/${pair%%=*}"; done | sort > "$work.expected"
  diff -u "$work.expected" "$work.found" || { echo "the zip holds other files than these"; status=1; }
  rm -f "$work.found" "$work.expected"
  for pair in "$@"; do
    entry=$work/$folder/${pair%%=*}
    [ -f "$entry" ] || continue
    case $pair in
    *=*) cmp "${pair#*=}" "$entry" || { echo "${pair%%=*} is not ${pair#*=}"; status=1; } ;;
    *)
      # A line without CR before its LF, a CR elsewhere, or a last line without its CR LF.
      lf=$(tr -cd '\n' < "$entry" | wc -c) cr=$(tr -cd '\r' < "$entry" | wc -c)
      crlf=$(grep -c "$(printf '\r')\$" "$entry" || true)
      if [ "$lf" -eq 0 ] || [ "$cr" -ne "$lf" ] || [ "$crlf" -ne "$lf" ] || [ "$(tail -c 2 "$entry" | od -An -c | tr -d ' ')" != '\r\n' ]; then
        echo "$pair: not every line ends in CR LF ($lf LF, $cr CR, $crlf lines ending in CR LF)"; status=1
      fi
      ;;
    esac
  done
  echo "$(basename "$zip"): $# entries checked"
  exit $status
  ;;
*)
  echo "unknown mode $mode" >&2
  exit 2
  ;;
esac
