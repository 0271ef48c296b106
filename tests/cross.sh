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

# Every test runs under emulation: whatever starts a built program (the
# daemon in the end-to-end tests, the schedule harness, the sandbox
# scenarios) starts it through CALLCTLD_EMULATOR, and death tests fork
# without re-executing the binary (no binfmt support for aarch64 here).
CALLCTLD_EMULATOR=$(command -v qemu-aarch64)
export CALLCTLD_EMULATOR
status=0
(cd "$dir" && ctest --output-on-failure -j 2 --timeout 900) || status=$?
end=$(date +%s)
echo "== cross: build $((built - start)) s, tests $((end - built)) s, total $((end - start)) s"
exit $status
