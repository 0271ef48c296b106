#!/bin/sh
# Installs the Debian packages the build, the tests and the sandbox need,
# when any is missing. Runs apt-get only when something is missing.
set -eu
pkgs="cmake ninja-build g++ pkg-config libhiredis-dev libcjson-dev libiniparser-dev
      libgtest-dev redis-server redis-tools socat python3 procps rsyslog
      dpkg-dev lintian file"
native=$(dpkg --print-architecture)
missing=""
for p in $pkgs; do
  # architecture-aware: with arm64 packages installed for the cross build a
  # bare name is ambiguous to dpkg -s
  dpkg-query -W -f='${Architecture} ${Status}\n' "$p" 2>/dev/null |
    grep -Eq "^($native|all) install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
