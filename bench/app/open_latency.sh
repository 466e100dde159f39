#!/usr/bin/env bash
# How soon a program opening a placeholder goes on once its content is here: the time from the last
# byte of the download leaving the network to the program's open returning (goal: under 50 ms). The
# download's answer passes through a small relay in front of the reference server, which notes when it
# hands over the bytes that end the file; the same process opens the placeholder and notes when the
# open returns. Both clocks are the machine's monotonic clock. The open's wait includes what the client
# does after the last byte: the content flushed to disk, the record saved, the watcher told.
#
# Prints each round and the median and worst; exits 1 when the median misses the goal.
#
#   bench/app/open_latency.sh [MiB, default 16] [rounds, default 10]   (uses build/release)
set -euo pipefail
cd "$(dirname "$0")/../.."
mib="${1:-16}"
rounds="${2:-10}"
bin="$(pwd)/build/release/bin"
[ -x "$bin/tidewell" ] || { echo "open_latency: build the release tree first (scripts/build.sh)"; exit 1; }

# The running client as in running_client.sh, but logged in through the relay.
work=$(mktemp -d "${TMPDIR:-/var/tmp}/tw-open-latency.XXXXXX")
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
export XDG_STATE_HOME="$work/home/.local/state" XDG_CONFIG_DIRS="$work/xdg" XDG_RUNTIME_DIR="$work/run"
export TIDEWELL_VOLUMES_ROOT="$work/volumes"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$TIDEWELL_VOLUMES_ROOT" "$work/server" && chmod 700 "$XDG_RUNTIME_DIR"
dbus-daemon --session --fork --nopidfile --address="unix:path=$XDG_RUNTIME_DIR/bus" --print-pid > "$work/bus.pid"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"

"$bin/tidewell-devserver" --root "$work/server" --listen 127.0.0.1:0 --user bench:bench --mappoint Bench \
  --quiet > "$work/server.out" 2>/dev/null &
server=$!
app="" relay=""
cleanup() {
  set +e
  [ -n "$relay" ] && kill -TERM "$relay" 2>/dev/null && wait "$relay" 2>/dev/null
  [ -n "$app" ] && kill -TERM "$app" && wait "$app"
  pkill -TERM -f -- "--socket $XDG_RUNTIME_DIR/"
  sleep 1
  kill -TERM "$server"; wait "$server"
  kill -TERM "$(cat "$work/bus.pid")"
  rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 1 100); do grep -q '^listening on ' "$work/server.out" && break; sleep 0.1; done
upstream=$(sed -n 's|^listening on http://||p' "$work/server.out")
[ -n "$upstream" ] || { echo "open_latency: the server did not start"; exit 1; }

# The content: random, so its last bytes mark the end of the file in the relayed stream.
head -c $((mib << 20)) /dev/urandom > "$work/source.bin"

# The relay and the measuring opener: one Python process, so both times come from one clock.
cat > "$work/bench.py" <<'PY'
import os, socket, statistics, subprocess, sys, threading, time

upstream_host, upstream_port = sys.argv[1].rsplit(":", 1)
source, port_file, rounds, tidewell, target = sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5], sys.argv[6]
with open(source, "rb") as f:
    f.seek(-64, os.SEEK_END)
    tail = f.read()
last_byte = {"at": None}
lock = threading.Lock()

def pump(src, dst, watch):
    window = b""
    try:
        while True:
            data = src.recv(1 << 20)
            if not data:
                break
            dst.sendall(data)
            if watch:
                window = (window + data)[-(len(tail) + len(data)):]
                if tail in window:
                    with lock:
                        last_byte["at"] = time.monotonic()
                    window = b""
                else:
                    window = window[-len(tail):]
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

def serve(listener):
    while True:
        client, _ = listener.accept()
        up = socket.create_connection((upstream_host, int(upstream_port)))
        for s in (client, up):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=pump, args=(client, up, False), daemon=True).start()
        threading.Thread(target=pump, args=(up, client, True), daemon=True).start()

listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", 0))
listener.listen(64)
threading.Thread(target=serve, args=(listener,), daemon=True).start()
with open(port_file + ".tmp", "w") as f:
    f.write(str(listener.getsockname()[1]))
os.rename(port_file + ".tmp", port_file)

def state(path):
    try:
        text = os.getxattr(path, "user.com.meridot.tidewell").decode()
    except OSError:
        return ""
    return next((l[8:] for l in text.splitlines() if l.startswith("Status: ")), "")

def wait_for(predicate, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False

# The script logs in through the relay and places the file, then says go.
if not wait_for(lambda: os.path.exists(port_file + ".go"), 600):
    sys.exit("open_latency: never told to go")
latencies = []
for r in range(rounds):
    subprocess.run([tidewell, "remove-download", target], stdout=subprocess.DEVNULL, check=True)
    if not wait_for(lambda: state(target) == "Placeholder", 120):
        sys.exit("open_latency: no placeholder")
    time.sleep(0.5)
    with lock:
        last_byte["at"] = None
    fd = os.open(target, os.O_RDONLY)
    returned = time.monotonic()
    os.close(fd)
    with lock:
        at = last_byte["at"]
    if at is None:
        sys.exit("open_latency: the open returned without the download passing the relay")
    ms = (returned - at) * 1000
    latencies.append(ms)
    print(f"round {r + 1}: open returned {ms:.1f} ms after the last byte")
med, worst = statistics.median(latencies), max(latencies)
print(f"last byte to the open's return, {os.path.getsize(source) >> 20} MiB: median {med:.1f} ms, "
      f"worst {worst:.1f} ms (goal: under 50 ms): {'PASS' if med < 50 else 'MISS'}")
sys.exit(0 if med < 50 else 1)
PY

python3 "$work/bench.py" "$upstream" "$work/source.bin" "$work/relay.port" "$rounds" \
  "$bin/tidewell" "$TIDEWELL_VOLUMES_ROOT/Bench/big.bin" > "$work/bench.out" 2>&1 &
relay=$!
for _ in $(seq 1 100); do [ -s "$work/relay.port" ] && break; sleep 0.1; done
[ -s "$work/relay.port" ] || { echo "open_latency: the relay did not start"; cat "$work/bench.out"; exit 1; }

printf 'bench\n' | "$bin/tidewell" login --server "127.0.0.1:$(cat "$work/relay.port")" --protocol http \
  --user bench >/dev/null
"$bin/tidewell" --headless 2>/dev/null &
app=$!
for _ in $(seq 1 100); do "$bin/tidewell" status >/dev/null 2>&1 && break; sleep 0.2; done
for _ in $(seq 1 100); do "$bin/tidewell" volumes 2>/dev/null | grep -q Bench && break; sleep 0.2; done
"$bin/tidewell" mount Bench >/dev/null
vol="$TIDEWELL_VOLUMES_ROOT/Bench"
for _ in $(seq 1 100); do [ "$(stat -c %d "$vol")" != "$(stat -c %d "$TIDEWELL_VOLUMES_ROOT")" ] && break; sleep 0.2; done

state() { python3 -c 'import os,sys
try: t = os.getxattr(sys.argv[1], "user.com.meridot.tidewell").decode()
except OSError: t = ""
print(next((l[8:] for l in t.splitlines() if l.startswith("Status: ")), ""))' "$1"; }
cp "$work/source.bin" "$vol/big.bin"
for _ in $(seq 1 1200); do [ "$(state "$vol/big.bin")" = Regular ] && break; sleep 0.1; done
[ "$(state "$vol/big.bin")" = Regular ] || { echo "open_latency: the upload did not finish"; exit 1; }

touch "$work/relay.port.go"
rc=0
wait "$relay" || rc=$?
relay=""
cat "$work/bench.out"
cmp -s "$work/source.bin" "$vol/big.bin" || { echo "open_latency: the downloaded bytes differ"; exit 1; }
exit "$rc"
