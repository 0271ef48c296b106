#!/bin/sh
# Stand-in for the SIP phone service script: records the call.
root=${CALLCTLD_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
printf '%s\n' "sipphone.sh $*" >> "$root/journal"
