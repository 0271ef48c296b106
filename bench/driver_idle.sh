#!/bin/sh
# Idle cost of callctld's threads on the sandbox speaker: CPU time
# (/proc/PID/task/TID/schedstat, nanoseconds on the CPU) and wake-ups
# (voluntary context switches) of each thread over SECONDS. The schedule's
# driver is the last thread started (thread 5), the clock thread the third.
# Usage: bench/driver_idle.sh [SECONDS] [--no-driver]   (build in $CALLCTLD_BUILD or build/)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${CALLCTLD_BUILD:-$top/build}
secs=${1:-300}
R=$(mktemp -d /tmp/callctld-idle-XXXXXX)
sh "$top/sandbox/setup-root.sh" "$R" ${2:-}
printf 'port 0\nunixsocket %s/tmp/redis.sock\nsave ""\nappendonly no\n' "$R" > "$R/redis.conf"
redis-server "$R/redis.conf" >/dev/null 2>&1 &
redis=$!
sleep 0.5
CALLCTLD_ROOT=$R PATH=$R/standin-bin:$PATH "$build/service/daemon/callctld" > "$R/out" 2>&1 &
daemon=$!
trap 'kill $daemon $redis 2>/dev/null; rm -rf "$R"' EXIT
sleep 3
snap() {
  for t in /proc/$daemon/task/*; do
    echo "${t##*/} $(cut -d' ' -f1 "$t/schedstat") $(awk '/^voluntary_ctxt/{print $2}' "$t/status")"
  done
}
snap > "$R/a"
sleep "$secs"
snap > "$R/b"
echo "callctld threads over $secs s (${2:-driver on}): tid, CPU ms, CPU %, wake-ups per minute"
join "$R/a" "$R/b" | awk -v s="$secs" '{ns=$4-$2; printf "%s %.2f %.4f%% %.1f\n", $1, ns/1e6, ns/1e7/s, ($5-$3)*60/s}'
