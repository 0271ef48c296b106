#!/bin/sh
# Instructions per unit under valgrind's callgrind: per dispatched event (the
# mixed stream, and incoming calls), and per settings look-up beside the bare
# iniparser look-up of the same file. Counts instructions, not time, so the
# figures repeat on a busy machine.
# Usage: bench/callgrind.sh [BUILD_DIR] [N]    (N a multiple of 8; default 4000)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-bench}
n=${2:-4000}
driver=$build/bench/bench_dispatch
[ -x "$driver" ] || { echo "no $driver: configure with -DCALLCTLD_BENCH=ON and build" >&2; exit 1; }
out=$(mktemp -d /tmp/callctld-callgrind-XXXXXX)
trap 'rm -rf "$out"' EXIT

count() {  # kind -> instructions per unit
  valgrind --tool=callgrind --callgrind-out-file="$out/cg.$1" --toggle-collect='bench_measured*' \
    "$driver" "$n" "$1" >"$out/log.$1" 2>&1 || { cat "$out/log.$1" >&2; exit 1; }
  total=$(sed -n 's/^summary: *//p' "$out/cg.$1")
  echo $((total / n))
}

mixed=$(count mixed)
incoming=$(count incoming)
lookup=$(count lookup)
bare=$(count bare)
settings_share=$(callgrind_annotate --inclusive=yes "$out/cg.mixed" 2>/dev/null |
  awk '/settings.cpp:GetCmdValue/ { gsub(/,/, ""); gsub(/[()%]/, " "); print $2; exit }')
echo "== instructions (callgrind, $n units each)"
met() { awk "BEGIN{print ($1) ? \"met\" : \"NOT met\"}"; }
echo "per event, mixed stream          $mixed   (in settings look-ups: ${settings_share:-?}%; target <= 250000: $(met "$mixed <= 250000"))"
echo "per event, incoming call + close  $incoming   (average of the two events)"
echo "per settings look-up             $lookup   floor (bare iniparser) $bare   ratio $(awk "BEGIN{printf \"%.2f\", $lookup/$bare}")   (target <= 0.2: $(met "$lookup <= 0.2 * $bare"))"
echo "RESULT instr_per_event_mixed $mixed instructions"
echo "RESULT instr_per_event_incoming_pair $incoming instructions"
echo "RESULT instr_per_lookup $lookup instructions"
echo "RESULT instr_per_bare_lookup $bare instructions"
