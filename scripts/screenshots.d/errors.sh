#!/usr/bin/env bash
# An item in error, as a person without the desktop application's windows meets it, for real: the
# reference server, `tidewell --headless`, Nautilus with the extension module and a notification daemon,
# under Xvfb in a private HOME, bus and display. A file of the mappoint "Projects" is changed on the
# server by a second session while the client, paused, changes it too; resumed, its upload conflicts.
# "Resolve Error" is then chosen from the file's menu in Nautilus, and the client answers with a
# desktop notification naming the command that resolves it:
#   resolve-error-notification.png  that notification
#
# Nautilus loads the module from a private copy of its extension folder, bind-mounted in a mount
# namespace of its own, as in nautilus.sh. Needs root (or unshare rights).
set -euo pipefail
: "${ROOT:?run through scripts/screenshots.sh}" "${SHOTS:?run through scripts/screenshots.sh}"
cd "$ROOT"

need=(nautilus xvfb xdotool x11-apps dbus adwaita-icon-theme openbox dunst curl)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The release tree, configured as it is when it exists (the module must be built without sanitizers).
# The machine's builds take turns through the lock.
if [ ! -f build/release/CMakeCache.txt ]; then
  scripts/install-deps.sh
  flock /tmp/tw-build.lock cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
flock /tmp/tw-build.lock cmake --build build/release --target tidewell gatewarden tidewell-devserver \
  tidewell-hdiutil tidewell-mdutil tidewell-nautilus
bin="$ROOT/build/release/bin"

# A short folder name: the notification shows the item's whole path, and wraps it where it can.
work=$(mktemp -d "${TMPDIR:-/tmp}/tidewell.XXXXXX")
prefix="$work/prefix"
cmake --install build/release/finder --prefix "$prefix" --component tidewell >/dev/null \
  || { echo "errors: installing the extension failed" >&2; exit 1; }
module=$(find "$prefix" -name libtidewell-nautilus.so -path '*nautilus/extensions-4*' | head -1)
[ -n "$module" ] || { echo "errors: the module was not installed" >&2; exit 1; }
extdir=$(pkg-config --variable=extensiondir libnautilus-extension-4)

part=errors
. "$ROOT/scripts/screenshots.d/private_session.bash"

fail() {
  echo "errors: $*" >&2
  echo "--- Tidewell.log (end)" >&2
  tail -n 30 "$XDG_STATE_HOME/Meridot/Tidewell.log" >&2 2>/dev/null || true
  exit 1
}
# A line of an item's record ("Status: ...", "Error Status: ..."), empty without one.
recordLine() {
  python3 -c 'import os, sys
try: lines = os.getxattr(sys.argv[1], "user.com.meridot.tidewell").decode().split("\n")
except OSError: lines = []
print(next((l for l in lines if l.startswith(sys.argv[2] + ": ")), ""))' "$1" "$2"
}
hasState() { [ "$(recordLine "$1" Status)" = "Status: $2" ]; }
hasError() { [ "$(recordLine "$1" "Error Status")" = "Error Status: $2" ]; }

# The server, the client logged in and running without windows, and the mappoint mounted.
"$bin/tidewell-devserver" --root "$work/server" --listen 127.0.0.1:0 --user demo:demo --seed demo \
  > "$work/server.out" 2> "$work/server.log" &
server=$!
waitfor 20 grep -q '^listening on ' "$work/server.out" || fail "the server did not start"
url=$(sed -n 's/^listening on //p' "$work/server.out")
printf 'demo\n' | "$bin/tidewell" login --server "${url#http://}" --protocol http --user demo >/dev/null \
  || fail "login failed"
"$bin/tidewell" --headless > "$work/tidewell.out" 2>&1 &
app=$!
waitfor 30 "$bin/tidewell" status || fail "tidewell did not start"
waitfor 30 sh -c "'$bin/tidewell' volumes | grep -q '^Projects'" || fail "no Projects mappoint"
"$bin/tidewell" mount Projects >/dev/null || fail "cannot mount Projects"
projects="$TIDEWELL_VOLUMES_ROOT/Projects"
waitfor 30 mountpoint -q "$projects" || fail "Projects is not mounted"
waitfor 30 test -e "$projects/Plan.txt" || fail "the listing did not bring Plan.txt"

name="Budget.txt"
file="$projects/$name"
printf 'Budget 2027: to be agreed.\n' > "$file"
waitfor 60 hasState "$file" Regular || fail "$name was not uploaded"
waitfor 60 "$bin/tidewell" script idle || fail "the client did not settle"

# A colleague changes it on the server (a session of its own) while this machine, paused, changes it too.
"$bin/tidewell" pause >/dev/null || fail "cannot pause"
jar="$work/colleague.cookies"
curl -sf -c "$jar" -H 'Accept: application/json' "$url/br/sync/1.6/sessions" \
  --data-urlencode user_id=demo --data-urlencode password=demo --data-urlencode device_id=COLLEAGUE \
  --data-urlencode platform=Linux --data-urlencode client_version=1.0.0 \
  --data-urlencode client_platform_version=12 >/dev/null || fail "the colleague could not log in"
revision=$(curl -sf -b "$jar" -H 'Accept: application/json' "$url/br/sync/1.6/folders/Projects/$name" \
  | python3 -c 'import json, sys; print(json.load(sys.stdin)["revision"])') \
  || fail "no revision of $name on the server"
printf 'Budget 2027: 48 000, as agreed with finance.\n' > "$work/theirs.txt"
now=$(date -u +%Y-%m-%dT%H:%M:%S.000Z)
curl -sf -b "$jar" -H 'Accept: application/json' "$url/br/sync/1.6/folders/Projects/$name" \
  -F operation=create -F "creation_time=$now" -F "modification_time=$now" \
  -F "size=$(wc -c < "$work/theirs.txt")" -F "revision=$revision" \
  -F "file=@$work/theirs.txt;filename=$name;type=application/octet-stream" >/dev/null \
  || fail "the colleague's upload was refused"
printf 'Budget 2027: 52 000 with the new printer.\n' > "$file"
"$bin/tidewell" resume >/dev/null || fail "cannot resume"
waitfor 60 hasError "$file" Conflict || fail "$name did not end in a conflict: $(recordLine "$file" Status)"
"$bin/tidewell" errors

# The display, a window manager and the notification daemon.
start_display 1440x900
start_notifier
waitfor 20 dunstctl count || fail "the notification daemon did not start"

# Nautilus, the file selected in its folder.
export GDK_BACKEND=x11 GSK_RENDERER=cairo GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1 GTK_A11Y=none
export XDG_DATA_DIRS="$prefix/share:/usr/local/share:/usr/share"
mkdir -p "$work/extensions"
cp "$module" "$work/extensions/"
unshare -m --propagation slave sh -c 'mount --bind "$1" "$2" && exec nautilus --new-window --select "$3"' \
  sh "$work/extensions" "$extdir" "$file" > "$work/nautilus.log" 2>&1 &
files=$!
waitfor 30 xdotool search --onlyvisible --class nautilus || fail "no Nautilus window"
win=$(xdotool search --onlyvisible --class nautilus | head -1)
xdotool windowmove "$win" 0 0 windowsize "$win" 860 520 2>/dev/null || true
sleep 3

# "Resolve Error" from the file's own menu, opened from the keyboard on the selection: the item in
# error offers only that one, just above Properties, the menu's last item.
xdotool windowactivate --sync "$win" 2>/dev/null || true
dunstctl close-all
xdotool key --clearmodifiers shift+F10
sleep 1
xdotool key Up Up
sleep 0.5
xdotool key Return
told() { [ "$(dunstctl count displayed)" -ge 1 ]; }
waitfor 20 told || fail "choosing Resolve Error brought no notification"
sleep 1

shoot() { # NAME X Y WIDTH HEIGHT
  xwd -root -silent > "$work/screen.xwd"
  python3 scripts/screenshots.d/panel_shot.py "$work/screen.xwd" "$SHOTS/$1" "$2" "$3" "$4" "$5"
  echo "errors: saved $SHOTS/$1"
}
# The notification's own window, with the margin around it that dunst keeps from the screen's corner.
note=$(xdotool search --class Dunst | head -1)
[ -n "$note" ] || fail "no notification window"
eval "$(xdotool getwindowgeometry --shell "$note")"
shoot resolve-error-notification.png $((X - 16)) 0 $((WIDTH + 32)) $((Y + HEIGHT + 16))
