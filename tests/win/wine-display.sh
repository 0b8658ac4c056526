#!/bin/sh
# Runs a Windows program under Wine on the tests' X server: every program of
# a Wine prefix shares the prefix's desktop, and the desktop draws on the
# display of the program that started it, so all of them get the same one.
#   wine-display.sh <display file (tests/win/xvfb.sh)> <wine loader> <program> [arguments]...
set -eu
display=$(cat "$1")
shift
DISPLAY=:$display exec "$@"
