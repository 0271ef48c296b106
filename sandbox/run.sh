#!/bin/sh
# Builds callctld and runs it on a simulated speaker with an interactive
# console (or a scenario file), or under the seeded soak. Installs missing
# Debian packages first.
# Usage: sandbox/run.sh [--scenario FILE] [--keep]
#        sandbox/run.sh --soak [--seed N] [--minutes M] [--steps K] [--json] ...
#   CALLCTLD_BUILD names the build folder (default: build)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/cmake/install-deps.sh"
build=${CALLCTLD_BUILD:-$top/build}
cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target callctld schedule-harness callctl >/dev/null
if [ "${1:-}" = "--soak" ]; then
  shift
  exec python3 "$top/sandbox/soak.py" --build "$build" "$@"
fi
exec python3 "$top/sandbox/console.py" --build "$build" "$@"
