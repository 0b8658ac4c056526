#!/bin/sh
# One X server for every Windows program the tests run under Wine: the
# desktop of a Wine prefix stays tied to the display it started on, so that
# display must live as long as the tests do (tests/win/wine-display.sh).
#   xvfb.sh start <state>   starts Xvfb on a free display; <state>.display
#                           holds its number, <state>.pid its process id
#   xvfb.sh stop <state>    ends it
set -eu
mode=$1
state=$2
case $mode in
start)
  rm -f "$state.display" "$state.pid"
  setsid Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3> "$state.display" \
    < /dev/null > /dev/null 2>&1 &
  echo $! > "$state.pid"
  tries=0
  until [ -s "$state.display" ]; do
    tries=$((tries + 1))
    [ $tries -le 100 ] || { echo "Xvfb did not start"; exit 1; }
    sleep 0.1
  done
  echo "Xvfb on display :$(cat "$state.display")"
  ;;
stop)
  if [ -s "$state.pid" ]; then kill "$(cat "$state.pid")" 2> /dev/null || true; fi
  rm -f "$state.display" "$state.pid"
  ;;
esac
