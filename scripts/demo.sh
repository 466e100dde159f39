#!/usr/bin/env bash
# The main job. Builds the release tree, then starts the reference synchronisation server on loopback
# with the demo tree (mappoints "Documents", "Projects" and "home") and prints how to reach it.
# It runs until Ctrl-C. `scripts/demo.sh --check` starts it, makes one logon and one listing with curl,
# and stops it again.
#
# TIDEWELL_DEMO_ROOT (the server's folder) and TIDEWELL_DEMO_PORT (0 = any free port) can be set.
set -euo pipefail
cd "$(dirname "$0")/.."

check=0
if [ "${1:-}" = "--check" ]; then check=1; fi

scripts/build.sh

root="${TIDEWELL_DEMO_ROOT:-${XDG_DATA_HOME:-$HOME/.local/share}/tidewell-demo-server}"
port="${TIDEWELL_DEMO_PORT:-0}"
user=demo
password=demo
mkdir -p "$root"
out=$(mktemp "${TMPDIR:-/tmp}/tidewell-demo.XXXXXX")

build/release/bin/tidewell-devserver --root "$root" --listen "127.0.0.1:$port" \
  --user "$user:$password" --seed demo > "$out" &
pid=$!
stop() {
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  rm -f "$out"
}
trap stop EXIT
trap 'exit 0' INT TERM

for _ in $(seq 1 100); do
  grep -q '^listening on ' "$out" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || { echo "demo: the server did not start"; exit 1; }
  sleep 0.1
done
url=$(sed -n 's/^listening on //p' "$out")
[ -n "$url" ] || { echo "demo: the server did not start"; exit 1; }

cat <<TEXT

Tidewell demo server is running at $url (data in $root)
  user: $user   password: $password
  mappoints: Documents (automatic, disk type smb), Projects (manual), home (mapped to ~/Tidewell)

Try it with curl:
  curl -c /tmp/tidewell-demo.cookies --data 'user_id=$user&password=$password' $url/br/sync/1.6/sessions
  curl -b /tmp/tidewell-demo.cookies '$url/br/sync/1.6/folders/Documents?type=all&includeAll=true'

TEXT

if [ "$check" = 1 ]; then
  jar=$(mktemp "${TMPDIR:-/tmp}/tidewell-demo-cookies.XXXXXX")
  curl -sS -f -c "$jar" -o /dev/null --data "user_id=$user&password=$password" "$url/br/sync/1.6/sessions"
  listing=$(curl -sS -f -b "$jar" "$url/br/sync/1.6/folders/?type=all&includeAll=true")
  rm -f "$jar"
  for name in Documents Projects home; do
    case "$listing" in *"\"name\":\"$name\""*) ;; *) echo "demo: mappoint $name is missing"; exit 1 ;; esac
  done
  echo "demo: check passed"
  exit 0
fi

echo "Press Ctrl-C to stop."
wait "$pid"
