#!/usr/bin/env bash
# The file manager's badges and menu, for real: the reference server, `tidewell --headless` (with its
# watcher) and Nautilus under Xvfb with the extension module, all in a private HOME, bus and display.
# The mappoint "Projects" is mounted and holds a placeholder, a downloaded file, a file waiting for
# upload and a file in error; Nautilus shows it and the window is saved as nautilus-emblems.png. Then
# "Download" is chosen from the placeholder's context menu (nautilus-menu.png), the file must come down,
# and the window is saved again as nautilus-downloaded.png.
#
# Nautilus 43 loads extensions only from its built-in folder, so the module is installed into a private
# prefix and that folder is bind-mounted over the built-in one in a mount namespace of Nautilus's own:
# the machine's Nautilus and its extensions are never touched. Needs root (or unshare rights).
set -euo pipefail
: "${ROOT:?run through scripts/screenshots.sh}" "${SHOTS:?run through scripts/screenshots.sh}"
cd "$ROOT"

# What only this part needs (a file manager and an X server are no test dependency).
need=(nautilus xvfb xdotool x11-apps dbus adwaita-icon-theme openbox)
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
scripts/install-deps.sh

# A tree without sanitizers: the module is loaded into Nautilus, which is not built for them.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIDEWELL_TESTS=OFF -DTIDEWELL_BENCH=OFF \
  "${launcher[@]}" >/dev/null
cmake --build build/release --target tidewell gatewarden tidewell-devserver tidewell-hdiutil tidewell-mdutil \
  tidewell-nautilus
bin="$ROOT/build/release/bin"

work=$(mktemp -d "${TMPDIR:-/tmp}/tidewell-nautilus.XXXXXX")
prefix="$work/prefix"
# The install rules are what a package ships; the extension folder's own rules are run, so the rest of
# the package need not be built for this.
cmake --install build/release/finder --prefix "$prefix" --component tidewell >/dev/null \
  || { echo "nautilus: installing the extension failed" >&2; exit 1; }
module=$(find "$prefix" -name libtidewell-nautilus.so -path '*nautilus/extensions-4*' | head -1)
[ -n "$module" ] || { echo "nautilus: the module was not installed" >&2; exit 1; }
emblems="$prefix/share/icons/hicolor/scalable/emblems"
[ -f "$emblems/emblem-tidewell-cloud.svg" ] || { echo "nautilus: the emblems were not installed" >&2; exit 1; }
extdir=$(pkg-config --variable=extensiondir libnautilus-extension-4)

part=nautilus
. "$ROOT/scripts/screenshots.d/private_session.bash"

fail() {
  echo "nautilus: $*" >&2
  echo "--- Tidewell.log (end)" >&2
  tail -n 30 "$XDG_STATE_HOME/Meridot/Tidewell.log" >&2 2>/dev/null || true
  echo "--- nautilus (end)" >&2
  tail -n 30 "$work/nautilus.log" >&2 2>/dev/null || true
  exit 1
}
# The first line of an item's record ("Status: ..."), empty without one.
state() {
  python3 -c 'import os, sys
try: print(os.getxattr(sys.argv[1], "user.com.meridot.tidewell").split(b"\n")[0].decode())
except OSError: pass' "$1"
}
hasState() { [ "$(state "$1")" = "Status: $2" ]; }

# The server: the demo tree, with a small quota so that one upload is refused (the file in error).
"$bin/tidewell-devserver" --root "$work/server" --listen 127.0.0.1:0 --user demo:demo --seed demo \
  --quota 4096 > "$work/server.out" 2> "$work/server.log" &
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

# A downloaded file: Plan.txt comes from the server as a placeholder and is downloaded.
waitfor 30 hasState "$projects/Plan.txt" Placeholder || fail "Plan.txt is not a placeholder"
"$bin/tidewell" download "$projects/Plan.txt" >/dev/null
waitfor 30 hasState "$projects/Plan.txt" Regular || fail "Plan.txt was not downloaded"
# A placeholder: Budget.txt goes up, then its local copy is removed.
printf 'Budget 2027: to be agreed.\n' > "$projects/Budget.txt"
waitfor 30 hasState "$projects/Budget.txt" Regular || fail "Budget.txt was not uploaded"
"$bin/tidewell" remove-download "$projects/Budget.txt" >/dev/null
waitfor 30 hasState "$projects/Budget.txt" Placeholder || fail "Budget.txt did not become a placeholder"
# A file in error: more than the quota allows.
head -c 8192 /dev/zero | tr '\0' 'x' > "$projects/Archive.dat"
inError() { case "$(state "$1")" in "Status: Error"*) return 0 ;; esac; return 1; }
waitfor 60 inError "$projects/Archive.dat" || fail "Archive.dat did not end in error"
# A file waiting for upload: written while the client is paused.
"$bin/tidewell" pause >/dev/null
printf 'First draft.\n' > "$projects/Draft.txt"
waitfor 30 hasState "$projects/Draft.txt" RequireUpload || fail "Draft.txt is not waiting for upload"
for f in Plan.txt Budget.txt Archive.dat Draft.txt; do echo "nautilus: $f: $(state "$projects/$f")"; done

# The display and the file manager.
start_display 1280x800
export GDK_BACKEND=x11 GSK_RENDERER=cairo GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1 GTK_A11Y=none
export XDG_DATA_DIRS="$prefix/share:/usr/local/share:/usr/share"
mkdir -p "$work/extensions"
cp "$module" "$work/extensions/"
unshare -m --propagation slave sh -c 'mount --bind "$1" "$2" && exec nautilus --new-window "$3"' \
  sh "$work/extensions" "$extdir" "$projects" > "$work/nautilus.log" 2>&1 &
files=$!
waitfor 30 xdotool search --onlyvisible --class nautilus || fail "no Nautilus window"
win=$(xdotool search --onlyvisible --class nautilus | head -1)
xdotool windowmove "$win" 0 0 windowsize "$win" 900 560 2>/dev/null || true

# Saves the Nautilus window as a PNG (xwd, then panel_shot.py: no image toolkit needed).
shot() { # NAME [full]: the window, or the whole screen (menus may reach past the window)
  local name=$1
  eval "$(xdotool getwindowgeometry --shell "$win")"
  if [ "${2:-}" = full ]; then eval "$(xdotool getdisplaygeometry --shell)"; X=0 Y=0; fi
  xwd -root -silent > "$work/screen.xwd"
  python3 "$ROOT/scripts/screenshots.d/panel_shot.py" "$work/screen.xwd" "$SHOTS/$name" "$X" "$Y" "$WIDTH" "$HEIGHT"
  echo "nautilus: saved $SHOTS/$name"
}

# Let the view fill and every badge answer (each is one attribute read on the extension's queue).
sleep 4
shot nautilus-emblems.png

# "Download" from the placeholder's own menu: a right click on its icon (the grid is sorted by name:
# Archive, Budget, Draft, Plan), then the keyboard (the extension's items stand just above Properties,
# the menu's last item). The client stays paused meanwhile, so nothing it does redraws the items under
# the open menu; the request waits in the client's queue and runs once it resumes.
eval "$(xdotool getwindowgeometry --shell "$win")"
xdotool mousemove $((X + 491)) $((Y + 125)) click 1
sleep 0.5
xdotool click 3
sleep 1
xdotool key Up Up
sleep 0.5
shot nautilus-menu.png full
xdotool key Return
sleep 0.5
"$bin/tidewell" resume >/dev/null
waitfor 30 hasState "$projects/Budget.txt" Regular || fail "choosing Download did not download Budget.txt"
[ "$(cat "$projects/Budget.txt")" = "Budget 2027: to be agreed." ] || fail "Budget.txt came down with other content"
echo "nautilus: Budget.txt: $(state "$projects/Budget.txt"), $(wc -c < "$projects/Budget.txt") bytes"
sleep 2
shot nautilus-downloaded.png
