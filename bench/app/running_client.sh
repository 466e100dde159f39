# Sourced by the bench scripts of this folder: starts the running client as a person has it, in a
# private home, runtime folder and session bus: the reference server with one mappoint "Bench" (user
# bench, password bench), `tidewell login`, `tidewell --headless` (which starts gatewarden) and the
# mounted volume. Sets bin, work, hostport, server, app and vol; everything stops and goes on exit.
# The caller sets bench_name (the temporary folder's name) and runs from the checkout's root.
bin="$(pwd)/build/release/bin"
[ -x "$bin/tidewell" ] || { echo "build the release tree first (scripts/build.sh)"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/var/tmp}/tw-$bench_name.XXXXXX")
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
