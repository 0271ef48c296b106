#!/bin/sh
# Cross-builds callctld and its tests for aarch64 and runs the tests under
# qemu-aarch64 (user-mode emulation). redis-server and the stand-in programs
# run natively; the end-to-end tests start the aarch64 daemon through the
# emulator (CALLCTLD_EMULATOR). Installs the cross tool chain, qemu and the
# arm64 libraries first when any is missing.
# Usage: tests/cross.sh [BUILD_DIR]     (default: build-arm64 in the tree)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build-arm64}
start=$(date +%s)

"$top/cmake/install-cross-deps.sh"

cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-aarch64.cmake" >/dev/null
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)"
built=$(date +%s)

# What cannot run without the kernel's binfmt support for aarch64 (not
# available here), which a native run has:
# - a death test in "threadsafe" style re-executes the test binary itself;
# - the schedule harness and the sandbox scenarios start built aarch64
#   programs directly, not through CALLCTLD_EMULATOR.
skip_gtest="ListenerStartTest.NoRedisAtStartEndsTheProcess:ScheduleE2E.HarnessPlaysTheShippedSchedule"
skip_ctest='^scenario_'
echo "== cross: not run under emulation: $skip_gtest, tests matching $skip_ctest" \
     "(they execute aarch64 programs directly, which needs binfmt support)"

CALLCTLD_EMULATOR=$(command -v qemu-aarch64)
export CALLCTLD_EMULATOR
GTEST_FILTER="-$skip_gtest"
export GTEST_FILTER
status=0
(cd "$dir" && ctest --output-on-failure -j 2 --timeout 900 -E "$skip_ctest") || status=$?
end=$(date +%s)
echo "== cross: build $((built - start)) s, tests $((end - built)) s, total $((end - start)) s"
exit $status
