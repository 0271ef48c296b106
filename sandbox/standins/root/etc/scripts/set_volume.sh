#!/bin/sh
# Stand-in for the volume script: records the call.
root=${CALLCTLD_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
printf '%s\n' "set_volume.sh $*" >> "$root/journal"
