#!/usr/bin/env bash
# The main job: the real client against the reference server on loopback. Builds the release tree,
# starts tidewell-devserver with the demo tree (mappoints "Documents", "Projects" and "home"), logs
# `tidewell` in as the demo user, runs `tidewell --headless` (which starts gatewarden, the file
# watcher) with its own configuration, data, log and volumes under the demo's folder, mounts the demo
# mappoints and prints what to try. Runs until Ctrl-C, then stops everything cleanly.
#
# `scripts/demo.sh --check` does the same unattended: a file written into a mounted mappoint must
# arrive at the server; then everything stops. It exits non-zero if any step fails.
#
# TIDEWELL_DEMO_ROOT (the demo's folder) and TIDEWELL_DEMO_PORT (0 = any free port) can be set.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

check=0
if [ "${1:-}" = "--check" ]; then check=1; fi

scripts/build.sh
bin="$repo/build/release/bin"

demo="${TIDEWELL_DEMO_ROOT:-${XDG_DATA_HOME:-$HOME/.local/share}/tidewell-demo}"
port="${TIDEWELL_DEMO_PORT:-0}"
user=demo
password=demo
mkdir -p "$demo/server" "$demo/home" "$demo/volumes"
chmod 700 "$demo/home"

# The client lives in the demo's own home: the user's real settings, keychain and log are never touched.
export HOME="$demo/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_STATE_HOME="$HOME/.local/state"
export XDG_CACHE_HOME="$HOME/.cache" XDG_CONFIG_DIRS="$HOME/xdg"
export XDG_RUNTIME_DIR="$demo/run"
export TIDEWELL_VOLUMES_ROOT="$demo/volumes"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

# A session bus of the demo's own, so the command line finds this instance and no other.
if command -v dbus-daemon >/dev/null 2>&1; then
  dbus-daemon --session --fork --nopidfile --address="unix:path=$XDG_RUNTIME_DIR/bus" \
    --print-pid > "$XDG_RUNTIME_DIR/bus.pid"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
fi

out=$(mktemp "${TMPDIR:-/tmp}/tidewell-demo.XXXXXX")
"$bin/tidewell-devserver" --root "$demo/server" --listen "127.0.0.1:$port" \
  --user "$user:$password" --seed demo > "$out" 2> "$demo/devserver.log" &
server=$!
app=""

stop() {
  set +e
  if [ -n "$app" ] && kill -0 "$app" 2>/dev/null; then
    kill -TERM "$app"
    wait "$app"
  fi
  pkill -TERM -f -- "--socket $XDG_RUNTIME_DIR/" 2>/dev/null
  for _ in $(seq 1 50); do pgrep -f -- "--socket $XDG_RUNTIME_DIR/" >/dev/null || break; sleep 0.1; done
  kill -TERM "$server" 2>/dev/null
  wait "$server" 2>/dev/null
  [ -f "$XDG_RUNTIME_DIR/bus.pid" ] && kill -TERM "$(cat "$XDG_RUNTIME_DIR/bus.pid")" 2>/dev/null
  rm -f "$out" "$XDG_RUNTIME_DIR/bus.pid"
}
trap stop EXIT
trap 'exit 0' INT TERM

fail() { echo "demo: $*" >&2; exit 1; }

for _ in $(seq 1 100); do
  grep -q '^listening on ' "$out" 2>/dev/null && break
  kill -0 "$server" 2>/dev/null || fail "the server did not start"
  sleep 0.1
done
url=$(sed -n 's/^listening on //p' "$out")
[ -n "$url" ] || fail "the server did not start"
hostport=${url#http://}

printf '%s\n' "$password" | "$bin/tidewell" login --server "$hostport" --protocol http --user "$user" \
  || fail "tidewell login failed"

"$bin/tidewell" --headless &
app=$!
for _ in $(seq 1 100); do
  "$bin/tidewell" status >/dev/null 2>&1 && break
  kill -0 "$app" 2>/dev/null || fail "tidewell did not start (see $XDG_STATE_HOME/Meridot/Tidewell.log)"
  sleep 0.2
done

# The mappoints arrive with the first listing; showing them is the user's choice.
for _ in $(seq 1 150); do
  "$bin/tidewell" volumes 2>/dev/null | grep -q '^Documents' && break
  sleep 0.2
done
for name in Documents Projects; do "$bin/tidewell" mount "$name" >/dev/null || fail "cannot mount $name"; done
docs="$TIDEWELL_VOLUMES_ROOT/Documents"
for _ in $(seq 1 150); do
  [ "$(stat -c %d "$docs" 2>/dev/null)" != "$(stat -c %d "$TIDEWELL_VOLUMES_ROOT")" ] && break
  sleep 0.2
done
[ "$(stat -c %d "$docs" 2>/dev/null)" != "$(stat -c %d "$TIDEWELL_VOLUMES_ROOT")" ] || fail "Documents is not mounted"

if [ "$check" = 1 ]; then
  stamp="written by the demo check at $(date -u +%FT%TZ)"
  printf '%s\n' "$stamp" > "$docs/demo-check.txt"
  for _ in $(seq 1 300); do
    [ "$(cat "$demo/server/data/Documents/demo-check.txt" 2>/dev/null)" = "$stamp" ] && break
    sleep 0.2
  done
  [ "$(cat "$demo/server/data/Documents/demo-check.txt" 2>/dev/null)" = "$stamp" ] \
    || fail "the file written into Documents did not reach the server"
  "$bin/tidewell" status
  "$bin/tidewell" quit >/dev/null
  wait "$app" || fail "tidewell did not stop cleanly"
  app=""
  echo "demo: check passed"
  exit 0
fi

cat <<TEXT

Tidewell is running against the demo server at $url, logged in as $user (password $password).
The demo keeps everything under $demo.

  Documents is mounted at $TIDEWELL_VOLUMES_ROOT/Documents, Projects at $TIDEWELL_VOLUMES_ROOT/Projects.

Try, in another terminal (with the same environment: source $demo/env.sh):
  echo hello > "$TIDEWELL_VOLUMES_ROOT/Documents/hello.txt"
  $bin/tidewell status
  cat "$demo/server/data/Documents/hello.txt"        # the file as the server keeps it
  $bin/tidewell pause; $bin/tidewell resume
  $bin/tidewell volumes; $bin/tidewell unmount Projects

TEXT
cat > "$demo/env.sh" <<ENV
export HOME="$HOME" XDG_CONFIG_HOME="$XDG_CONFIG_HOME" XDG_DATA_HOME="$XDG_DATA_HOME"
export XDG_STATE_HOME="$XDG_STATE_HOME" XDG_CACHE_HOME="$XDG_CACHE_HOME" XDG_CONFIG_DIRS="$XDG_CONFIG_DIRS"
export XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" TIDEWELL_VOLUMES_ROOT="$TIDEWELL_VOLUMES_ROOT"
export DBUS_SESSION_BUS_ADDRESS="${DBUS_SESSION_BUS_ADDRESS:-}"
ENV
echo "Press Ctrl-C to stop."
wait "$app"
app=""
