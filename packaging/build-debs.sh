#!/bin/sh
# Builds the Debian packages callctld_<version>_amd64.deb (native build) and
# callctld_<version>_arm64.deb (aarch64 cross build) into OUT, then runs
# lintian on both. Installs the packaging tools and the cross tool chain
# first when missing.
# Usage: packaging/build-debs.sh [OUT]     (default: build-deb in the tree)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/build-deb}
"$top/cmake/install-deps.sh"
"$top/cmake/install-cross-deps.sh"
mkdir -p "$out"
jobs=$(nproc 2>/dev/null || echo 2)

# Hardened like Debian's own builds: fortified functions, read-only
# relocations after start, bound symbols.
cflags="-O2 -g -D_FORTIFY_SOURCE=2 -fstack-protector-strong"
ldflags="-Wl,-z,relro -Wl,-z,now"

build() {  # build() DIR [cmake options...]
  dir=$1
  shift
  cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCALLCTLD_TESTS=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_C_FLAGS_RELEASE="$cflags" -DCMAKE_CXX_FLAGS_RELEASE="$cflags" \
        -DCMAKE_EXE_LINKER_FLAGS="$ldflags" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

build "$out/amd64"
(cd "$out/amd64" && cpack -G DEB -B "$out" >/dev/null)

build "$out/arm64" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-aarch64.cmake"
# dpkg-shlibdeps reads the arm64 libraries' symbols files with the cross objdump
(cd "$out/arm64" && DEB_HOST_ARCH=arm64 cpack -G DEB -B "$out" >/dev/null)

rm -rf "$out/_CPack_Packages"
version=$(sed -n 's/^project(callctld VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
status=0
for arch in amd64 arm64; do
  deb="$out/callctld_${version}_${arch}.deb"
  echo "== $deb"
  dpkg-deb --field "$deb" Package Version Architecture Depends
  lintian "$deb" || status=1
done
exit $status
