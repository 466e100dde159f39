#!/usr/bin/env bash
# Idle cost of the running client: tidewell --headless and gatewarden together, with one mounted
# mappoint holding N synchronised files (default 10,000), left alone for S seconds (default 60).
# CPU time and wake-ups (context switches of every thread) come from /proc, and a sleeping process
# measured over the same seconds is the baseline. Goal: under 0.1% of a core each.
#
#   bench/app/idle_cost.sh [files] [seconds]      (uses build/release; scripts/build.sh first)
set -euo pipefail
cd "$(dirname "$0")/../.."
files="${1:-10000}"
seconds="${2:-60}"
bench_name=idle
# shellcheck source=running_client.sh
source bench/app/running_client.sh
# The files are put in the image itself, as synchronised files already on the server would be.
content="$XDG_DATA_HOME/Tidewell/Bench.sparsebundle/content"
for d in $(seq 1 100); do
  mkdir -p "$content/d$d"
  for f in $(seq 1 $((files / 100))); do printf 'x' > "$content/d$d/f$f"; done
done
sleep 5  # let the start-up listing settle
gw=$(pgrep -f -- "--socket $XDG_RUNTIME_DIR/" | head -1)

cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }
switches() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ {s += $2} END {print s}'; }
sleep "$seconds" & idle=$!
a0=$(cpu "$app"); g0=$(cpu "$gw"); i0=$(cpu "$idle")
as0=$(switches "$app"); gs0=$(switches "$gw"); is0=$(switches "$idle")
sleep "$seconds"
a1=$(cpu "$app"); g1=$(cpu "$gw"); i1=$(cpu "$idle" 2>/dev/null || echo "$i0")
as1=$(switches "$app"); gs1=$(switches "$gw"); is1=$(switches "$idle" 2>/dev/null || echo "$is0")
hz=$(getconf CLK_TCK)
report() {
  awk -v n="$1" -v c0="$2" -v c1="$3" -v s0="$4" -v s1="$5" -v hz="$hz" -v t="$seconds" \
    'BEGIN { printf "%-12s %7.3f%% of a core   %7.1f wake-ups/s\n", n, (c1 - c0) / hz / t * 100, (s1 - s0) / t }'
}
echo "idle cost over ${seconds}s with $files files on one mounted mappoint (goal: < 0.1% of a core each)"
report tidewell "$a0" "$a1" "$as0" "$as1"
report gatewarden "$g0" "$g1" "$gs0" "$gs1"
report "sleep (base)" "$i0" "$i1" "$is0" "$is1"
