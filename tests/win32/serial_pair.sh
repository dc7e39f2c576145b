#!/usr/bin/env bash
# Serial lines for the Windows serial test: socat joins two ptys and links
# them into the Wine prefix as COM2 (the port under test) and COM3 (the
# test's end of the cable).
#   serial_pair.sh start|stop PREFIX STATE
# STATE says "ready", or "skip: why" for the test to report.
set -u
action=$1 prefix=$2 state=$3
links=("$prefix/dosdevices/com2" "$prefix/dosdevices/com3")

case $action in
start)
  rm -f "$state" "$state.pid" "${links[@]}"
  if ! command -v socat >/dev/null; then
    echo "skip: socat is not installed" >"$state"
    exit 0
  fi
  # Bounded, so it cannot outlive an interrupted test run for long.
  timeout 900 socat pty,raw,echo=0,link="${links[0]}" pty,raw,echo=0,link="${links[1]}" \
    </dev/null >/dev/null 2>&1 &
  echo $! >"$state.pid"
  for _ in $(seq 50); do
    if [ -e "${links[0]}" ] && [ -e "${links[1]}" ]; then
      echo ready >"$state"
      exit 0
    fi
    sleep 0.1
  done
  echo "skip: socat made no pty pair" >"$state"
  ;;
stop)
  if [ -f "$state.pid" ]; then
    kill "$(cat "$state.pid")" 2>/dev/null
    rm -f "$state.pid"
  fi
  rm -f "${links[@]}" "$state"
  ;;
esac
exit 0
