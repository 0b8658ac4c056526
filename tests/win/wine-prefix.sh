#!/bin/sh
# Makes a Wine prefix ready for the tests, and with a version name sets the
# Windows version that Wine reports there (win98: outside the NT family).
# The prefix is a 32-bit one (WINEARCH=win32), as a 32-bit Windows is: the
# programs are 32-bit ones, and 32-bit Wine (wine32) runs them alone.
# usage: wine-prefix.sh <wine loader> <prefix directory> [version]
set -eu
wine=$1
prefix=$2
version=${3:-}
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win32
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
mkdir -p "$prefix"
# Whatever an earlier run left in the prefix goes first: no test of this run
# uses the prefix before it is ready.
"$wineserver" -k 2>/dev/null || true
# A prefix of another architecture (a 64-bit one, from an earlier build) is
# made again.
if [ -f "$prefix/system.reg" ] && ! grep -q '^#arch=win32' "$prefix/system.reg"; then
  rm -rf "$prefix"
  mkdir -p "$prefix"
fi
if [ ! -f "$prefix/system.reg" ]; then
  "$wine" wineboot --init >/dev/null 2>&1
fi
if [ -n "$version" ]; then
  "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1
fi
# A program that crashes ends; no debugger is started to wait for someone.
"$wine" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true
# Programs started while the prefix's own services still settle may be ended
# with them: wait until every process of the prefix is gone.
timeout 120 "$wineserver" -w
echo "prefix $prefix ready${version:+ ($version)}"
