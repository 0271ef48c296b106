#!/bin/sh
# Installs what the aarch64 cross build and its emulated test run need, when
# anything is missing: the native build tools and redis-server (the tests
# run it natively), Debian's aarch64 cross compiler, qemu's user-mode
# emulator, and the arm64 builds of hiredis, cJSON, iniparser and GoogleTest
# through Debian multiarch. Runs apt-get only when something is missing.
set -eu
native=$(dpkg --print-architecture)

# A package counts as installed in the machine's own architecture (or as an
# architecture-independent one). Once the arm64 -dev packages are there, a
# bare name is ambiguous to "dpkg -s", so the architecture is checked here.
installed() {
  case $1 in
    *:*) dpkg -s "$1" >/dev/null 2>&1 ;;
    *) dpkg-query -W -f='${Architecture} ${Status}\n' "$1" 2>/dev/null |
         grep -Eq "^($native|all) install ok installed" ;;
  esac
}

pkgs="cmake ninja-build pkg-config redis-server python3 procps rsyslog
      g++-aarch64-linux-gnu qemu-user libc6:arm64 libstdc++6:arm64
      libhiredis-dev:arm64 libcjson-dev:arm64 libiniparser-dev:arm64 libgtest-dev:arm64"
missing=""
for p in $pkgs; do
  installed "$p" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "adding the arm64 architecture"
  $sudo dpkg --add-architecture arm64
fi
echo "installing:$missing"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
