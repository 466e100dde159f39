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
bin="$(pwd)/build/release/bin"
[ -x "$bin/tidewell" ] || { echo "build the release tree first (scripts/build.sh)"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/var/tmp}/tw-idle.XXXXXX")
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
export XDG_STATE_HOME="$work/home/.local/state" XDG_CONFIG_DIRS="$work/xdg" XDG_RUNTIME_DIR="$work/run"
export TIDEWELL_VOLUMES_ROOT="$work/volumes"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$TIDEWELL_VOLUMES_ROOT" "$work/server" && chmod 700 "$XDG_RUNTIME_DIR"
dbus-daemon --session --fork --nopidfile --address="unix:path=$XDG_RUNTIME_DIR/bus" --print-pid > "$work/bus.pid"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"

"$bin/tidewell-devserver" --root "$work/server" --listen 127.0.0.1:0 --user bench:bench --mappoint Bench \
  --quiet > "$work/server.out" 2>/dev/null &
server=$!
app=""
cleanup() {
  set +e
  [ -n "$app" ] && kill -TERM "$app" && wait "$app"
  pkill -TERM -f -- "--socket $XDG_RUNTIME_DIR/"
  sleep 1
  kill -TERM "$server"; wait "$server"
  kill -TERM "$(cat "$work/bus.pid")"
  rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 1 100); do grep -q '^listening on ' "$work/server.out" && break; sleep 0.1; done
hostport=$(sed -n 's|^listening on http://||p' "$work/server.out")

printf 'bench\n' | "$bin/tidewell" login --server "$hostport" --protocol http --user bench >/dev/null
"$bin/tidewell" --headless 2>/dev/null &
app=$!
for _ in $(seq 1 100); do "$bin/tidewell" status >/dev/null 2>&1 && break; sleep 0.2; done
for _ in $(seq 1 100); do "$bin/tidewell" volumes 2>/dev/null | grep -q Bench && break; sleep 0.2; done
"$bin/tidewell" mount Bench >/dev/null
vol="$TIDEWELL_VOLUMES_ROOT/Bench"
for _ in $(seq 1 100); do [ "$(stat -c %d "$vol")" != "$(stat -c %d "$TIDEWELL_VOLUMES_ROOT")" ] && break; sleep 0.2; done
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
