#!/bin/sh
# Stand-in for the reboot notice: records the call; returns once "played".
root=${CALLCTLD_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
printf '%s\n' "play_rebooting.sh${*:+ $*}" >> "$root/journal"
sleep 0.1
