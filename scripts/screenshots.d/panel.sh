#!/usr/bin/env bash
# The tray icon as a desktop shows it: the desktop application under Xvfb with a real panel
# (xfce4-panel, whose status tray hosts StatusNotifierItem icons and draws their menus) against the
# reference server. The icon is saved in each state, as the right end of the panel beside its clock:
#   panel-up-to-date, panel-syncing (an upload the server holds back for a while), panel-paused,
#   panel-error (an upload past the quota: one item needs the user), panel-offline (the server gone);
# and the menus opened from it while an item needs the user: panel-menu (right click: the menu as the
# panel draws it, its first line opened) and panel-menu-app (left click: the application's own menu).
# Each on a light panel and on a dark one (Adwaita and its dark variant, files ending in "-dark"), at
# 100% and at 200% (GDK_SCALE=2 and QT_SCALE_FACTOR=2, files ending in "@2x"), saved into $SHOTS.
#
# TIDEWELL_BIN names the folder with the programs (default: the release tree, built when missing).
set -euo pipefail
: "${ROOT:?run through scripts/screenshots.sh}" "${SHOTS:?run through scripts/screenshots.sh}"
bin="${TIDEWELL_BIN:-$ROOT/build/release/bin}"
if [ ! -x "$bin/tidewell" ] || [ ! -x "$bin/gatewarden" ]; then
  "$ROOT/scripts/build.sh"
  bin="$ROOT/build/release/bin"
fi
for program in Xvfb xfce4-panel xdotool xwd xwininfo; do
  command -v "$program" >/dev/null || { echo "panel screenshots: $program is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
crop="$ROOT/scripts/screenshots.d/panel_shot.py"
# Sanitizer builds: Qt's process-long caches are not leaks to report here.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"

# One run: a display, a bus, a panel, a server and the application of their own.
# Arguments: the GTK theme of the panel, the scale, the suffix of the file names.
shoot() {
  local theme=$1 scale=$2 suffix=$3
  local work
  work=$(mktemp -d "${TMPDIR:-/tmp}/tidewell-panel.XXXXXX")
  (
    set -euo pipefail
    . "$ROOT/scripts/screenshots.d/private_home.bash"

    xvfb="" bus="" server="" app="" panel="" ok=0
    cleanup() {
      set +e
      if [ -n "$app" ]; then kill -TERM "$app" 2>/dev/null && wait "$app" 2>/dev/null; fi
      # The file watcher the application started serves only this run's runtime folder.
      for pid in $(pgrep -f -- "--socket $XDG_RUNTIME_DIR/" 2>/dev/null); do kill -TERM "$pid"; done
      for _ in $(seq 1 50); do pgrep -f -- "--socket $XDG_RUNTIME_DIR/" >/dev/null || break; sleep 0.1; done
      [ -n "$server" ] && kill -TERM "$server" 2>/dev/null && wait "$server" 2>/dev/null
      [ -n "$panel" ] && kill -TERM "$panel" 2>/dev/null && wait "$panel" 2>/dev/null
      [ -n "$bus" ] && kill -TERM "$bus" 2>/dev/null
      [ -n "$xvfb" ] && kill -TERM "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
      grep " $work/" /proc/mounts | cut -d' ' -f2 | while read -r m; do fusermount3 -u "$m" 2>/dev/null; done
      if [ "$ok" = 1 ] && ! grep -q " $work/" /proc/mounts; then
        rm -rf --one-file-system "$work"
      else
        echo "panel screenshots: logs kept in $work" >&2
      fi
    }
    trap cleanup EXIT
    fail() {
      echo "panel screenshots ($theme, ${scale}x): $*" >&2
      tail -n 20 "$XDG_STATE_HOME/Meridot/Tidewell.log" >&2 2>/dev/null || true
      exit 1
    }
    waitfor() { # seconds, then a command that must succeed
      local t=$1
      shift
      for _ in $(seq 1 $((t * 5))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.2; done
      return 1
    }
    status() { "$bin/tidewell" status --json 2>/dev/null | python3 -c "import json, sys; print(json.load(sys.stdin)$1)"; }
    is() { [ "$(status "$1")" = "$2" ]; }

    Xvfb -displayfd 3 -screen 0 $((1600 * scale))x$((1000 * scale))x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
    xvfb=$!
    waitfor 20 test -s "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    export DISPLAY=":$(head -n1 "$work/display")"
    # The panel's settings service (xfconfd) is started by the bus and reads this run's settings.
    dbus-daemon --session --fork --nopidfile --address="unix:path=$XDG_RUNTIME_DIR/bus" --print-pid > "$work/bus.pid"
    bus=$(cat "$work/bus.pid")
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"

    # One panel along the top: a spacer, the status tray and a clock.
    settings="$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml"
    mkdir -p "$settings"
    cat > "$settings/xfce4-panel.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="30"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
        <value type="int" value="2"/>
        <value type="int" value="3"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/>
      <property name="style" type="uint" value="0"/>
    </property>
    <property name="plugin-2" type="string" value="systray"/>
    <property name="plugin-3" type="string" value="clock"/>
  </property>
</channel>
XML
    GTK_THEME="$theme" GDK_SCALE="$scale" GDK_BACKEND=x11 NO_AT_BRIDGE=1 \
      xfce4-panel --disable-wm-check > "$work/panel.log" 2>&1 &
    panel=$!
    hostUp() {
      dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
        org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher \
        string:IsStatusNotifierHostRegistered 2>/dev/null | grep -q 'boolean true'
    }
    waitfor 30 hostUp || fail "the panel hosts no status items: $(cat "$work/panel.log")"

    "$bin/tidewell-devserver" --root "$work/server" --listen 127.0.0.1:0 --user demo:demo --seed demo --faults \
      > "$work/server.out" 2> "$work/server.log" &
    server=$!
    waitfor 20 grep -q '^listening on ' "$work/server.out" || fail "the server did not start"
    url=$(sed -n 's/^listening on //p' "$work/server.out")
    admin() { curl -fsS -X POST -H 'Content-Type: application/json' -d "$2" "$url/admin/$1" >/dev/null; }
    printf 'demo\n' | "$bin/tidewell" login --server "${url#http://}" --protocol http --user demo >/dev/null \
      || fail "tidewell login failed"

    QT_SCALE_FACTOR=$scale "$bin/tidewell" > "$work/app.log" 2>&1 &
    app=$!
    itemShown() {
      dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
        org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher \
        string:RegisteredStatusNotifierItems 2>/dev/null | grep -q 'string "'
    }
    waitfor 60 itemShown || fail "the panel never showed Tidewell's icon"
    home="$HOME/Tidewell"
    waitfor 60 mountpoint -q "$home" || fail "the home folder was not mounted"
    waitfor 60 is '["activity"]' idle || fail "the first sync did not finish"

    # Where the icon sits: the status tray is the panel's one plugin in a process of its own.
    eval "$(xwininfo -root -tree | python3 -c '
import re, sys
best = None
for line in sys.stdin:
    m = re.search(r"\"wrapper-2\.0\": .* (\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)", line)
    if m:
        w, h, x, y = map(int, m.groups())
        if y == 0 and w > 1 and (best is None or w > best[0]):
            best = (w, h, x, y)
if best:
    print("TRAY_W=%d TRAY_H=%d TRAY_X=%d" % best[:3])
')"
    [ -n "${TRAY_X:-}" ] || fail "the status tray was not found on the panel"
    eval "$(xdotool getdisplaygeometry --shell)"
    # The right end of the panel: a little space, the icon, the clock.
    shot() { # NAME [X Y WIDTH HEIGHT [BELOW]]
      local name=$1 x=${2:-$((TRAY_X - 24 * scale))} y=${3:-0} w=${4:-} h=${5:-$TRAY_H}
      [ -n "$w" ] || w=$((WIDTH - x))
      sleep 1.5  # the panel redraws after the item announced its new icon
      xwd -root -silent > "$work/screen.xwd"
      python3 "$crop" "$work/screen.xwd" "$SHOTS/$name$suffix.png" "$x" "$y" "$w" "$h" ${6:+"$6"}
      echo "panel screenshots: saved $SHOTS/$name$suffix.png"
    }
    iconX=$((TRAY_X + TRAY_W / 2)) iconY=$((TRAY_H / 2))
    # The menus open below the icon, towards the screen's left: the panel's end and what opened.
    menuShot() { shot "$1" $((WIDTH - 700 * scale)) 0 $((700 * scale)) $((400 * scale)) $((TRAY_H + 4 * scale)); }
    # A click on the bare screen closes a menu as a person would, leaving no keyboard focus drawn on
    # the icon; the pointer then rests away from the panel.
    away() {
      xdotool mousemove $((WIDTH / 3)) $((HEIGHT - 20)) click 1
      sleep 0.5
    }
    # The application's small window (shown beside the tray unless the dock icon is switched off) is
    # placed where a window manager would put it, not over the panel, since none runs here.
    for w in $(xdotool search --onlyvisible --name '^Tidewell$' 2>/dev/null); do
      xdotool windowmove "$w" $((40 * scale)) $((120 * scale)) 2>/dev/null || true
    done
    away

    shot panel-up-to-date

    # Syncing: the server waits eight seconds before it answers the next upload.
    admin faults '{"action": "delay", "delay_ms": 8000, "method": "POST", "path": "/br/sync/1.6/folders/home/"}'
    printf 'Agenda for Monday.\n' > "$home/Agenda.txt"
    waitfor 20 is '["activity"]' uploading || fail "the upload did not start"
    shot panel-syncing
    waitfor 30 is '["activity"]' idle || fail "the upload did not finish"

    "$bin/tidewell" pause >/dev/null
    waitfor 10 is '["serverContactAllowed"]' False || fail "pausing did not take"
    shot panel-paused
    "$bin/tidewell" resume >/dev/null
    waitfor 10 is '["serverContactAllowed"]' True || fail "resuming did not take"

    # An item that needs the user: an upload the quota leaves no room for.
    admin quota '{"bytes": 1}'
    head -c 8192 /dev/zero | tr '\0' 'x' > "$home/Archive.dat"
    waitfor 60 is '["errors"]' 1 || fail "Archive.dat did not end in error"
    shot panel-error

    # Right click: the panel draws the menu; the pointer then rests on its first line (what needs the
    # user), which opens that line's own menu.
    xdotool mousemove "$iconX" "$iconY" click 3
    sleep 1
    xdotool mousemove "$((iconX - 60 * scale))" "$((TRAY_H + 14 * scale))"
    sleep 1
    menuShot panel-menu
    away
    # Left click: the application opens its own menu where the pointer is.
    xdotool mousemove "$iconX" "$iconY" click 1
    sleep 1
    menuShot panel-menu-app
    away

    # Offline: the server goes away; the next request finds nobody there.
    kill -TERM "$server" && wait "$server" 2>/dev/null || true
    server=""
    printf 'Written on the train.\n' > "$home/Train.txt"
    waitfor 60 is '["network"]' False || fail "the application did not notice the server was gone"
    shot panel-offline
    ok=1
  )
}

status=0
for theme in Adwaita Adwaita:dark; do
  for scale in 1 2; do
    suffix=""
    [ "$theme" = Adwaita:dark ] && suffix="-dark"
    [ "$scale" = 2 ] && suffix="$suffix@2x"
    shoot "$theme" "$scale" "$suffix" || status=1
  done
done
for f in panel-up-to-date panel-syncing panel-paused panel-error panel-offline panel-menu panel-menu-app; do
  for suffix in "" "@2x" "-dark" "-dark@2x"; do
    [ -s "$SHOTS/$f$suffix.png" ] || { echo "panel screenshots: $f$suffix was not saved" >&2; status=1; }
  done
done
exit $status
