#!/bin/sh
# CI check of the Debian packages: builds both, installs the amd64 one with
# dpkg -i, runs callctl --version and callctl check on the installed example
# settings (no errors) and on a broken copy (the planted findings, status
# 1), checks the installed units with systemd-analyze verify and starts the
# bus instance's command line by hand, removes the package and checks that
# none of its files is left. The
# arm64 package's programs must be aarch64 executables, and callctl must
# print its version under qemu-aarch64.
# Usage: packaging/ci-check.sh [OUT]     (default: build-deb in the tree)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/build-deb}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "packages: $*" >&2; exit 1; }

"$top/packaging/build-debs.sh" "$out"
version=$(sed -n 's/^project(callctld VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
amd64="$out/callctld_${version}_amd64.deb"
arm64="$out/callctld_${version}_arm64.deb"

# ---- amd64: install, use, remove
dpkg-deb --contents "$amd64" | awk '{print $6}' | sed 's|^\./|/|' | grep -v '/$' > "$work/files"
$sudo dpkg -i "$amd64"
/usr/bin/callctl --version | grep -q "^callctl $version" || fail "callctl --version"
ex=/usr/share/doc/callctld/examples
mkdir -p "$work/ok/etc" "$work/ok/oem/etc"
cp "$ex/speaker.conf" "$work/ok/etc/"
cp "$ex/volctrl.conf" "$ex/schedule.conf" "$work/ok/oem/etc/"
/usr/bin/callctl check --root "$work/ok" || fail "the example settings have errors"
cp -R "$work/ok" "$work/broken"
sed -i 's/^duration = 5$/duration = 9000/; s/^repress_cancel/repress_cancle/' "$work/broken/etc/speaker.conf"
status=0
/usr/bin/callctl check --root "$work/broken" --json > "$work/findings.json" || status=$?
[ "$status" -eq 1 ] || fail "broken settings: exit status $status, not 1"
grep -q '"key":[[:space:]]*"relay_ctrl:duration"' "$work/findings.json" || fail "no duration finding"
grep -q 'intercom:repress_cancel?' "$work/findings.json" || fail "no misspelt-key finding"
[ "$(grep -c '"key"' "$work/findings.json")" -eq 2 ] || fail "other findings than the two planted"
[ -f /usr/share/doc/callctld/README.md.gz ] || fail "README.md is not compressed in the documentation folder"
[ -f /usr/share/bash-completion/completions/callctl ] || fail "no bash completion for callctl"
units="/lib/systemd/system/callctld-redis.service /lib/systemd/system/callctld.service"
systemd-analyze verify $units || fail "systemd-analyze verify of the units"
# the bus instance's own command line, with its socket and folder in $work
cmdline=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/callctld-redis.service |
          sed "s|/tmp/redis.sock|$work/redis.sock|; s|/run/callctld-redis|$work|")
eval "$cmdline" > "$work/redis.log" 2>&1 &
bus=$!
i=0
until redis-cli -s "$work/redis.sock" PING 2>/dev/null | grep -q PONG; do
  i=$((i + 1))
  [ $i -lt 100 ] || { cat "$work/redis.log"; kill $bus; fail "the bus instance did not answer on its socket"; }
  sleep 0.1
done
redis-cli -s "$work/redis.sock" SHUTDOWN NOSAVE >/dev/null 2>&1 || true
wait $bus || true
echo "units verified; the bus instance answered on its socket"
$sudo dpkg -r callctld
while read -r f; do
  [ ! -e "$f" ] || fail "$f left after dpkg -r"
done < "$work/files"
echo "amd64 package: installed, checked, removed cleanly ($(wc -l < "$work/files") files)"

# ---- arm64: the programs are aarch64 and run under emulation
dpkg-deb -x "$arm64" "$work/arm64"
for p in usr/sbin/callctld usr/bin/callctl; do
  file -b "$work/arm64/$p" | grep -q 'ARM aarch64' || fail "$p is not an aarch64 executable"
done
qemu-aarch64 "$work/arm64/usr/bin/callctl" --version | grep -q "^callctl $version" || fail "arm64 callctl --version"
echo "arm64 package: aarch64 programs, callctl --version under qemu-aarch64"
