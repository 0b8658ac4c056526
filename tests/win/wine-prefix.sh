#!/bin/sh
# Makes a Wine prefix ready for the tests, and with a version name sets the
# Windows version that Wine reports there (win98: outside the NT family).
# usage: wine-prefix.sh <wine loader> <prefix directory> [version]
set -eu
wine=$1
prefix=$2
version=${3:-}
export WINEPREFIX="$prefix" WINEDEBUG=-all
mkdir -p "$prefix"
if [ ! -f "$prefix/system.reg" ]; then
  "$wine" wineboot --init >/dev/null 2>&1
fi
if [ -n "$version" ]; then
  "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1
fi
# Programs started while the prefix's own services still settle may be ended
# with them: wait until every process of the prefix is gone.
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
"$wineserver" -w
echo "prefix $prefix ready${version:+ ($version)}"
