#!/bin/sh
# Builds and runs every test: the normal build, then the ASan+UBSan build and
# the TSan build of the same suite. Installs missing Debian packages first.
# Usage: tests/run.sh [--quick]   (--quick: the normal build only)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/cmake/install-deps.sh"

jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
  dir=$1; shift
  cmake -S "$top" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 900)
}

echo "== tests: normal build"
run_suite "$top/build"
[ "${1:-}" = "--quick" ] && exit 0

echo "== tests: ASan+UBSan build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite "$top/build-asan" -DCALLCTLD_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug

echo "== tests: TSan build"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_suite "$top/build-tsan" -DCALLCTLD_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
echo "== all test suites passed"
