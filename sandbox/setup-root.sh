#!/bin/sh
# Lays out a simulated device in DIR: the device's folders, default settings,
# idle GPIO inputs, and the stand-ins for the outside programs.
# Usage: sandbox/setup-root.sh DIR [--no-driver]
#   --no-driver: the schedule's driver stays off (the daemon as designed)
set -eu
root=${1:?usage: setup-root.sh DIR [--no-driver]}
here=$(cd "$(dirname "$0")" && pwd)

mkdir -p "$root/etc" "$root/oem/etc" "$root/tmp" "$root/userdata" "$root/standin-bin"
for g in 111 73 5 143 134; do
  mkdir -p "$root/sys/class/gpio/gpio$g"
done
# the inputs are active-low: 1 is released
echo 1 > "$root/sys/class/gpio/gpio111/value"
echo 1 > "$root/sys/class/gpio/gpio73/value"
echo 0 > "$root/sys/class/gpio/gpio5/value"
# the AI line is high while the device is idle
for g in 143 134; do echo 1 > "$root/sys/class/gpio/gpio$g/value"; done

cp "$here/conf/speaker.conf" "$root/etc/speaker.conf"
cp "$here/conf/volctrl.conf" "$root/oem/etc/volctrl.conf"
cp "$here/conf/schedule.conf" "$root/oem/etc/schedule.conf"
if [ "${2:-}" = "--no-driver" ]; then
  sed -i '/^\[driver\]/,/^\[/ s/^enable = yes$/enable = no/' "$root/oem/etc/schedule.conf"
fi

# sound files the daemon names (silent placeholders: the stand-in players
# only record what they were asked to play)
for d in en cn; do
  mkdir -p "$root/usr/share/sounds/$d"
  for f in 0 1 2 3 4 5 6 7 8 9; do : > "$root/usr/share/sounds/$d/digit-$f.mp3"; done
  : > "$root/usr/share/sounds/$d/dian.mp3"
  : > "$root/usr/share/sounds/$d/get_ip_failed.mp3"
done
mkdir -p "$root/usr/share/baresip" "$root/home/quillhorn/target/share/sounds"
: > "$root/home/quillhorn/target/share/sounds/beep.mp3"
for f in s_beep.mp3 e_beep.mp3 chime.mp3 bell.mp3 answer.wav hangup.wav; do : > "$root/usr/share/baresip/$f"; done

# stand-ins: standins/root mirrors device paths, standins/bin is put on PATH
if [ -d "$here/standins/root" ]; then cp -R "$here/standins/root/." "$root/"; fi
if [ -d "$here/standins/bin" ]; then cp -R "$here/standins/bin/." "$root/standin-bin/"; fi
: > "$root/journal"
