#!/bin/sh
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each one for a
# bounded time, starting from the seed corpora in fuzz/corpus/. Installs
# clang, libclang-rt-14-dev and llvm from Debian when missing.
#
#   tests/fuzz.sh                 every target for 60 s (FUZZ_SECONDS), as CI does
#   tests/fuzz.sh --long          every target until 10 million executions or an hour
#   tests/fuzz.sh TARGET...       only these targets (sip_dispatcher volume_reply
#                                 holidays url settings dtmf cdr)
#
# FUZZ_BUILD (default build-fuzz) is the build folder, FUZZ_JOBS (default the
# number of cores) how many targets run at once. The corpus each run grows is
# kept in $FUZZ_BUILD/corpus/TARGET, a crashing input in
# $FUZZ_BUILD/artifacts/TARGET/, the log in $FUZZ_BUILD/logs/TARGET.log.
# The exit status is 1 when any target found a crash.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$top/build-fuzz}
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
all="sip_dispatcher volume_reply holidays url settings dtmf cdr"

limits="-max_total_time=$seconds"
if [ "${1:-}" = "--long" ]; then
  shift
  limits="-runs=10000000 -max_total_time=3600"
fi
targets=${*:-$all}

"$top/cmake/install-deps.sh"
missing=
command -v clang++ >/dev/null 2>&1 || missing="$missing clang"
command -v llvm-symbolizer >/dev/null 2>&1 || missing="$missing llvm"
clang_rt=$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null || true)
[ -f "$clang_rt" ] || ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1 ||
  missing="$missing libclang-rt-14-dev"
if [ -n "$missing" ]; then
  echo "== installing$missing"
  sudo_cmd=
  [ "$(id -u)" -ne 0 ] && sudo_cmd=sudo
  $sudo_cmd apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq $missing
fi

echo "== building the fuzz targets in $build"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCALLCTLD_FUZZ=ON -DCALLCTLD_SANITIZE=address -DCALLCTLD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs" --target $(for t in $targets; do printf 'fuzz_%s ' "$t"; done)

mkdir -p "$build/corpus" "$build/artifacts" "$build/logs"
run_one() {
  t=$1
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
  # every key event re-reads the settings file: short inputs keep it quick
  case $t in dtmf) extra=-max_len=512 ;; *) extra= ;; esac
  # stdout and stderr of the daemon code are closed (-close_fd_mask=3); the
  # fuzzer's own report and any sanitizer report still reach the log
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/fuzz/fuzz_$t" $limits $extra -close_fd_mask=3 -print_final_stats=1 -timeout=30 -rss_limit_mb=2048 \
    -artifact_prefix="$build/artifacts/$t/" "$build/corpus/$t" "$top/fuzz/corpus/$t" \
    > "$build/logs/$t.log" 2>&1
}

echo "== fuzzing ($limits) with $jobs at once: $targets"
failed=
running=0
for t in $targets; do
  ( run_one "$t" || true ) &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait
    running=0
  fi
done
wait

printf '%-16s %12s %10s %8s %10s  %s\n' target executions exec/s corpus peak_rss result
for t in $targets; do
  log="$build/logs/$t.log"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -1)
  corpus=$(find "$build/corpus/$t" -type f | wc -l)
  result=ok
  if grep -q -E '^==[0-9]+==ERROR|^SUMMARY:|deadly signal|fuzz check failed' "$log"; then
    result="FINDING (see $log, $build/artifacts/$t/)"
    failed="$failed $t"
  fi
  printf '%-16s %12s %10s %8s %8sMB  %s\n' "$t" "${execs:-?}" "${rate:-?}" "$corpus" "${rss:-?}" "$result"
done
if [ -n "$failed" ]; then
  echo "== findings in:$failed"
  exit 1
fi
echo "== no findings"
