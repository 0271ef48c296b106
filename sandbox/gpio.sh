#!/bin/sh
# Drives the GPIO inputs of a sandbox device. The inputs are active-low:
# "0" is pressed, "1" released. Each level is kept long enough for the
# daemon's debounce to see it.
#   gpio.sh ROOT press          call button down, then up
#   gpio.sh ROOT hold SECONDS   reset input down for SECONDS, then up
# The daemon counts a hold in whole wall-clock seconds, so the hold starts
# just after a second boundary: the count comes out as SECONDS exactly.
set -eu
root=${1:?usage: gpio.sh ROOT press | gpio.sh ROOT hold SECONDS}
what=${2:?usage: gpio.sh ROOT press | gpio.sh ROOT hold SECONDS}
call="$root/sys/class/gpio/gpio111/value"
reset="$root/sys/class/gpio/gpio73/value"

# Writes in place (no new file), so a watch on the value file sees the change.
level() { printf '%s\n' "$2" > "$1"; }

case "$what" in
press)
  level "$call" 0
  sleep 0.3
  level "$call" 1
  sleep 0.3
  ;;
hold)
  seconds=${3:?usage: gpio.sh ROOT hold SECONDS}
  ns=$(date +%N)
  sleep "$(awk -v ns="$ns" 'BEGIN { printf "%.3f", (1000000000 - ns) / 1e9 + 0.1 }')"
  level "$reset" 0
  sleep "$seconds"
  level "$reset" 1
  sleep 0.3
  ;;
*)
  echo "usage: gpio.sh ROOT press | gpio.sh ROOT hold SECONDS" >&2
  exit 2
  ;;
esac
