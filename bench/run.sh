#!/bin/sh
# Builds and runs every measurement of the daemon beside its floor: the
# function benchmarks (medians of 5 repetitions), the whole-process harness
# (3 runs, medians of their figures) and the instruction counts.
# Usage: bench/run.sh [--quick]   (--quick: 1 repetition, 1 harness run, 5 s idle)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-bench
reps=5 runs=3 idle=60 calls=1000
if [ "${1:-}" = "--quick" ]; then reps=1 runs=1 idle=5 calls=200; fi

# The packages the measurements need, checked in the machine's own
# architecture (arm64 -dev packages may be installed beside them).
native=$(dpkg --print-architecture)
missing=""
for p in cmake ninja-build g++ pkg-config libhiredis-dev libcjson-dev libiniparser-dev libgtest-dev \
         libbenchmark-dev redis-server valgrind python3 procps; do
  dpkg-query -W -f='${Architecture} ${Status}\n' "$p" 2>/dev/null |
    grep -Eq "^($native|all) install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing:$missing"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
fi
cmake -S "$top" -B "$build" -G Ninja -DCALLCTLD_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target bench_functions bench_dispatch bench_daemon bench_schedule >/dev/null
# the aarch64 daemon for its size, when the cross tool chain is installed
if command -v aarch64-linux-gnu-g++ >/dev/null && dpkg -s libhiredis-dev:arm64 >/dev/null 2>&1; then
  cmake -S "$top" -B "$top/build-arm64" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-aarch64.cmake" >/dev/null
  cmake --build "$top/build-arm64" --target callctld >/dev/null
fi

# Everything runs at the default priority, as on the device. On a shared
# machine other work disturbs the timings: the load average is printed, and
# the harness takes each floor's samples between the figure's own.

echo "== machine"
uname -a
lscpu | grep -E '^(Model name|CPU\(s\)|Thread|Core|Socket|CPU max MHz|L2|L3|Hypervisor)' || true
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

echo "== function benchmarks"
"$build/bench/bench_functions" --benchmark_repetitions=$reps --benchmark_report_aggregates_only=true \
  --benchmark_color=false
echo

echo "== the schedule: catch-up and preview"
"$build/bench/bench_schedule" --benchmark_repetitions=$reps --benchmark_report_aggregates_only=true \
  --benchmark_color=false
echo

results=$(mktemp /tmp/callctld-bench-XXXXXX)
trap 'rm -f "$results"' EXIT
i=1
while [ $i -le $runs ]; do
  echo "== whole process, run $i of $runs (load average $(cut -d' ' -f1-3 /proc/loadavg))"
  "$build/bench/bench_daemon" --calls $calls --idle-seconds $idle | tee -a "$results" | grep -v '^RESULT'
  echo
  i=$((i + 1))
done
if [ $runs -gt 1 ]; then
  echo "== whole process, medians of $runs runs"
  python3 - "$results" <<'PY'
import statistics, sys
vals, units = {}, {}
for line in open(sys.argv[1]):
    if line.startswith("RESULT "):
        _, name, value, unit = line.split()
        vals.setdefault(name, []).append(float(value)); units[name] = unit
for name, v in vals.items():
    print("%-32s %12.3f %-12s runs: %s" % (name, statistics.median(v), units[name], " ".join("%.3f" % x for x in v)))
PY
  echo
fi

"$top/bench/callgrind.sh" "$build" 4000
