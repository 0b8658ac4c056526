#!/bin/sh
# Runs a scripted test program (boxes printed and answered Yes) in an empty
# working directory and compares what it printed with the expected output.
# usage: run-program.sh <program> <expected output file>
set -eu
program=$1
expected=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
QT_QPA_PLATFORM=offscreen timeout 60 "$program" > output.txt 2> errors.txt || {
  echo "program failed with status $?"; cat errors.txt; exit 1; }
diff -u "$expected" output.txt
