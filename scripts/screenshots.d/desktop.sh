#!/usr/bin/env bash
# The desktop application under Xvfb against the reference server: the tray menu (the "Tidewell"
# window's menu where, as under a bare X server, there is no tray), the window itself, each
# preferences tab, what the Uninstall tab tells after a run, the conflict and delete windows, the
# volume menu while a volume is being unmounted and one sheet of the status icons (a light panel above,
# a dark one below), at 100% and at 200% (QT_SCALE_FACTOR=2, files ending in "@2x"), saved into $SHOTS.
#
# TIDEWELL_BIN names the folder with the programs (default: the release tree, built when missing).
set -euo pipefail
: "${ROOT:?run through scripts/screenshots.sh}" "${SHOTS:?run through scripts/screenshots.sh}"
bin="${TIDEWELL_BIN:-$ROOT/build/release/bin}"
if [ ! -x "$bin/tidewell" ] || [ ! -x "$bin/gatewarden" ]; then
  "$ROOT/scripts/build.sh"
  bin="$ROOT/build/release/bin"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tidewell-shots.XXXXXX")
. "$ROOT/scripts/screenshots.d/private_home.bash"
# Sanitizer builds: Qt's process-long caches are not leaks to report here.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"

xvfb="" bus="" server="" app="" ok=0
cleanup() {
  set +e
  [ -n "$app" ] && kill -TERM "$app" 2>/dev/null && wait "$app" 2>/dev/null
  # The file watcher the application started serves only this run's runtime folder.
  for pid in $(pgrep -f -- "--socket $XDG_RUNTIME_DIR/" 2>/dev/null); do kill -TERM "$pid"; done
  [ -n "$server" ] && kill -TERM "$server" 2>/dev/null && wait "$server" 2>/dev/null
  [ -n "$bus" ] && kill -TERM "$bus" 2>/dev/null
  [ -n "$xvfb" ] && kill -TERM "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
  sleep 0.5
  if [ "$ok" = 1 ]; then rm -rf "$work" 2>/dev/null; else echo "desktop screenshots: logs kept in $work" >&2; fi
}
trap cleanup EXIT
fail() { echo "desktop screenshots: $*" >&2; exit 1; }

# A display of our own; -displayfd picks a free number.
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(head -n1 "$work/display")"

dbus-daemon --session --fork --nopidfile --address="unix:path=$XDG_RUNTIME_DIR/bus" --print-pid > "$work/bus.pid"
bus=$(cat "$work/bus.pid")
export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"

"$bin/tidewell-devserver" --root "$work/server" --listen 127.0.0.1:0 --user demo:demo --seed demo \
  > "$work/server.out" 2> "$work/server.log" &
server=$!
for _ in $(seq 1 100); do grep -q '^listening on ' "$work/server.out" 2>/dev/null && break; sleep 0.1; done
url=$(sed -n 's/^listening on //p' "$work/server.out")
[ -n "$url" ] || fail "the server did not start"
# The programs beside a disk-image tool that takes its time to eject, as a busy volume does, so the
# volume menu can be seen while it waits.
mkdir -p "$work/tools"
for program in "$bin"/*; do if [ -x "$program" ]; then ln -s "$program" "$work/tools/"; fi; done
rm -f "$work/tools/tidewell-hdiutil"
printf '#!/bin/sh\n[ "$1" = eject ] && sleep 3\nexec %q "$@"\n' "$bin/tidewell-hdiutil" \
  > "$work/tools/tidewell-hdiutil"
chmod +x "$work/tools/tidewell-hdiutil"
export TIDEWELL_TOOLS_DIR="$work/tools"

printf 'demo\n' | "$bin/tidewell" login --server "${url#http://}" --protocol http --user demo >/dev/null \
  || fail "tidewell login failed"

for scale in 1 2; do
  suffix=""
  [ "$scale" = 2 ] && suffix="@2x"
  QT_SCALE_FACTOR=$scale TIDEWELL_SCREENSHOTS="$SHOTS" TIDEWELL_SCREENSHOT_SUFFIX="$suffix" \
    TIDEWELL_SCREENSHOT_DELAY_MS=12000 timeout 180 "$bin/tidewell" 2>>"$work/app.log" &
  app=$!
  # The mappoints arrive with the first listing; two of them are mounted so the volume menu shows
  # both states.
  for _ in $(seq 1 40); do "$bin/tidewell" volumes 2>/dev/null | grep -q '^Documents' && break; sleep 0.2; done
  "$bin/tidewell" mount Documents >/dev/null 2>&1 || true
  wait "$app" || fail "tidewell ended with an error (see $XDG_STATE_HOME/Meridot/Tidewell.log): $(tail -5 "$work/app.log")"
  app=""
done
for f in tray-menu preferences-settings preferences-uninstall preferences-account preferences-about \
         uninstall-finished uninstall-incomplete resolve-conflict resolve-delete volume-menu-unmounting \
         status-icons; do
  [ -s "$SHOTS/$f.png" ] && [ -s "$SHOTS/$f@2x.png" ] || fail "$f was not saved"
done
ok=1
