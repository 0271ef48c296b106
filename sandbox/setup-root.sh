#!/bin/sh
# Lays out a simulated device in DIR: the device's folders, default settings,
# idle GPIO inputs, and the stand-ins for the outside programs.
# Usage: sandbox/setup-root.sh DIR
set -eu
root=${1:?usage: setup-root.sh DIR}
here=$(cd "$(dirname "$0")" && pwd)

mkdir -p "$root/etc" "$root/oem/etc" "$root/tmp" "$root/userdata" "$root/standin-bin"
for g in 111 73 5 143 134; do
  mkdir -p "$root/sys/class/gpio/gpio$g"
done
# the inputs are active-low: 1 is released
echo 1 > "$root/sys/class/gpio/gpio111/value"
echo 1 > "$root/sys/class/gpio/gpio73/value"
for g in 5 143 134; do echo 0 > "$root/sys/class/gpio/gpio$g/value"; done

cp "$here/conf/speaker.conf" "$root/etc/speaker.conf"
cp "$here/conf/volctrl.conf" "$root/oem/etc/volctrl.conf"
cp "$here/conf/schedule.conf" "$root/oem/etc/schedule.conf"

# stand-ins: standins/root mirrors device paths, standins/bin is put on PATH
if [ -d "$here/standins/root" ]; then cp -R "$here/standins/root/." "$root/"; fi
if [ -d "$here/standins/bin" ]; then cp -R "$here/standins/bin/." "$root/standin-bin/"; fi
: > "$root/journal"
