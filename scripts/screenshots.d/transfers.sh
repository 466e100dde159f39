#!/usr/bin/env bash
# A download under way, as a person sees it, for real: the reference server, the desktop application
# (`tidewell`, whose "Tidewell" window carries the tray's menu where the desktop has no tray, as under a
# bare X server), Nautilus with the extension module, and a notification daemon, under Xvfb in a
# private HOME, bus and display. A file of the mappoint "Projects" is made a placeholder; `cp` opens it
# and waits while it comes down; the server holds the download back after part of it (its fault
# queue), and meanwhile the pictures are taken:
#   transfer-menu.png          the window and its menu, with how far the download is
#   transfer-nautilus.png      Nautilus, the item ringed as far as it came
#   transfer-notification.png  the desktop notification that cp waits for the file
# Then three new files whose uploads the server holds, sent side by side:
#   transfer-uploads-menu.png  the window's menu, counting the uploads beside the one it names
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
if [ ! -f build/release/CMakeCache.txt ]; then
  scripts/install-deps.sh
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build/release --target tidewell gatewarden tidewell-devserver tidewell-hdiutil tidewell-mdutil \
  tidewell-nautilus
bin="$ROOT/build/release/bin"

work=$(mktemp -d "${TMPDIR:-/tmp}/tidewell-transfers.XXXXXX")
prefix="$work/prefix"
cmake --install build/release/finder --prefix "$prefix" --component tidewell >/dev/null \
  || { echo "transfers: installing the extension failed" >&2; exit 1; }
module=$(find "$prefix" -name libtidewell-nautilus.so -path '*nautilus/extensions-4*' | head -1)
[ -n "$module" ] || { echo "transfers: the module was not installed" >&2; exit 1; }
[ -f "$prefix/share/icons/hicolor/scalable/emblems/emblem-tidewell-download-40.svg" ] \
  || { echo "transfers: the progress emblems were not installed" >&2; exit 1; }
extdir=$(pkg-config --variable=extensiondir libnautilus-extension-4)

part=transfers
. "$ROOT/scripts/screenshots.d/private_session.bash"

copier="" url=""
before_stop() {
  [ -n "$url" ] && curl -s -X DELETE "$url/admin/faults" >/dev/null
  [ -n "$copier" ] && kill -TERM "$copier" 2>/dev/null && wait "$copier" 2>/dev/null
}
fail() {
  echo "transfers: $*" >&2
  echo "--- Tidewell.log (end)" >&2
  tail -n 30 "$XDG_STATE_HOME/Meridot/Tidewell.log" >&2 2>/dev/null || true
  exit 1
}
state() {
  python3 -c 'import os, sys
try: print(os.getxattr(sys.argv[1], "user.com.meridot.tidewell").split(b"\n")[0].decode())
except OSError: pass' "$1"
}
hasState() { [ "$(state "$1")" = "Status: $2" ]; }
# The bytes of the transfer of $1 the status gives, empty when it lists none.
doneOf() {
  "$bin/tidewell" status --json 2>/dev/null | python3 -c 'import json, sys
doc = json.load(sys.stdin)
print(next((str(t["bytesDone"]) for t in doc.get("transfers", []) if t["path"] == sys.argv[1]), ""))' "$1"
}

# The display, a window manager and the notification daemon.
start_display 1440x900
start_notifier

# The server with its fault queue, the client logged in, and a file of the mappoint made a placeholder.
"$bin/tidewell-devserver" --root "$work/server" --listen 127.0.0.1:0 --user demo:demo --seed demo --faults \
  > "$work/server.out" 2> "$work/server.log" &
server=$!
waitfor 20 grep -q '^listening on ' "$work/server.out" || fail "the server did not start"
url=$(sed -n 's/^listening on //p' "$work/server.out")
printf 'demo\n' | "$bin/tidewell" login --server "${url#http://}" --protocol http --user demo >/dev/null \
  || fail "login failed"
export GDK_BACKEND=x11 GSK_RENDERER=cairo GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1 GTK_A11Y=none
export QT_QPA_PLATFORM=xcb
"$bin/tidewell" > "$work/tidewell.out" 2>&1 &
app=$!
waitfor 30 "$bin/tidewell" status || fail "tidewell did not start"
waitfor 30 sh -c "'$bin/tidewell' volumes | grep -q '^Projects'" || fail "no Projects mappoint"
"$bin/tidewell" mount Projects >/dev/null || fail "cannot mount Projects"
projects="$TIDEWELL_VOLUMES_ROOT/Projects"
waitfor 30 mountpoint -q "$projects" || fail "Projects is not mounted"
waitfor 30 test -e "$projects/Plan.txt" || fail "the listing did not bring Plan.txt"
name="Site Survey.mp4"
file="$projects/$name"
size=$((60 * 1000 * 1000))
head -c "$size" /dev/urandom > "$file"
waitfor 120 hasState "$file" Regular || fail "$name was not uploaded"
waitfor 60 "$bin/tidewell" script idle || fail "the client did not settle"
"$bin/tidewell" remove-download "$file" >/dev/null
waitfor 30 hasState "$file" Placeholder || fail "$name did not become a placeholder"

# Nautilus, showing the mappoint.
export XDG_DATA_DIRS="$prefix/share:/usr/local/share:/usr/share"
mkdir -p "$work/extensions"
cp "$module" "$work/extensions/"
unshare -m --propagation slave sh -c 'mount --bind "$1" "$2" && exec nautilus --new-window "$3"' \
  sh "$work/extensions" "$extdir" "$projects" > "$work/nautilus.log" 2>&1 &
files=$!
waitfor 30 xdotool search --onlyvisible --class nautilus || fail "no Nautilus window"
nautilusWin=$(xdotool search --onlyvisible --class nautilus | head -1)
xdotool windowmove "$nautilusWin" 0 0 windowsize "$nautilusWin" 860 520 2>/dev/null || true
appWin=$(xdotool search --onlyvisible --name '^Tidewell$' | head -1)
[ -n "$appWin" ] || fail "no Tidewell window"
xdotool windowmove "$appWin" 880 260 2>/dev/null || true
sleep 3

# The download stops after 45 % and stays there while the pictures are taken.
held=$((size * 45 / 100))
curl -sf -X POST "$url/admin/faults" -H 'Content-Type: application/json' \
  -d "{\"method\": \"GET\", \"path\": \"/br/sync/1.6/folders/Projects/Site%20Survey.mp4\", \"action\": \"drop\",
       \"after_bytes\": $held, \"delay_ms\": 60000, \"stage\": \"response\"}" >/dev/null \
  || fail "the server took no fault"
mkdir -p "$HOME/Desktop"
cp "$file" "$HOME/Desktop/" 2>/dev/null &
copier=$!
reached() { [ "$(doneOf "$file")" = "$held" ]; }
waitfor 30 reached || fail "the status never showed the download at $held bytes: $("$bin/tidewell" status)"
"$bin/tidewell" status | sed -n '/^Transfers:/,/^Pending/p'
# The notification comes after two seconds of waiting; the ring after the next look of Nautilus.
sleep 4

shoot() { # NAME X Y WIDTH HEIGHT
  xwd -root -silent > "$work/screen.xwd"
  python3 scripts/screenshots.d/panel_shot.py "$work/screen.xwd" "$SHOTS/$1" "$2" "$3" "$4" "$5"
  echo "transfers: saved $SHOTS/$1"
}
eval "$(xdotool getdisplaygeometry --shell)"
screenWidth=$WIDTH
shoot transfer-notification.png $((screenWidth - 440)) 0 440 160
eval "$(xdotool getwindowgeometry --shell "$nautilusWin")"
shoot transfer-nautilus.png "$X" "$Y" "$WIDTH" "$HEIGHT"

# The window's menu, opened from its button (the window's only control, so it has the focus).
eval "$(xdotool getwindowgeometry --shell "$appWin")"
xdotool windowactivate --sync "$appWin" 2>/dev/null || true
xdotool key --clearmodifiers space
sleep 1
shoot transfer-menu.png $((X - 8)) $((Y - 34)) 580 300
xdotool key Escape

# Uploads of distinct files run side by side: three new files, each upload held by the server.
curl -sf -X DELETE "$url/admin/faults" >/dev/null
kill -TERM "$copier" 2>/dev/null || true
wait "$copier" 2>/dev/null || true
copier=""
for n in 1 2 3; do
  curl -sf -X POST "$url/admin/faults" -H 'Content-Type: application/json' \
    -d "{\"method\": \"POST\", \"path\": \"/br/sync/1.6/folders/Projects/Draft%20$n.txt\",
         \"action\": \"delay\", \"delay_ms\": 60000}" >/dev/null || fail "the server took no fault"
done
for n in 1 2 3; do printf 'Draft %s of the survey report\n' "$n" > "$projects/Draft $n.txt"; done
uploading() {
  [ "$("$bin/tidewell" status --json 2>/dev/null |
      python3 -c 'import json, sys; print(len(json.load(sys.stdin).get("uploads", [])))')" -ge 3 ]
}
waitfor 30 uploading || fail "the status never showed three uploads: $("$bin/tidewell" status)"
"$bin/tidewell" status | sed -n '/^Transfers:/,/^Pending/p'
sleep 2
# The longer line widens the window: the picture follows it, and the menu that opens under its button.
eval "$(xdotool getwindowgeometry --shell "$appWin")"
xdotool windowactivate --sync "$appWin" 2>/dev/null || true
sleep 1
xdotool key --clearmodifiers space
sleep 1
shotWidth=$((WIDTH + 140))
[ $((X - 8 + shotWidth)) -le "$screenWidth" ] || shotWidth=$((screenWidth - X + 8))
shoot transfer-uploads-menu.png $((X - 8)) $((Y - 34)) "$shotWidth" 300
xdotool key Escape
