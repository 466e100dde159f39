# Sourced by the screenshot parts that run the client: a private HOME, XDG folders, runtime folder and
# volumes root under "$work", and a session bus of their own without service activation, so that
# nothing (indexers, portals) is started behind their back and the user's own settings, keychain and
# log are never touched. Needs $work; leaves the bus's pid in "$work/bus.pid".
. "$ROOT/scripts/screenshots.d/private_home.bash"

cat > "$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$XDG_RUNTIME_DIR/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
dbus-daemon --config-file="$work/bus.conf" --fork --nopidfile --print-pid > "$work/bus.pid"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"

# The processes a part starts, by pid; all are stopped at exit, in this order, after the part's own
# `before_stop` (nothing unless it defines one). The run's folder is removed when the part succeeded
# and nothing is mounted in it; otherwise it is kept, for its logs. Needs $part (for messages) and $bin.
server="" app="" xvfb="" wm="" files="" notifier=""
before_stop() { :; }
stop_session() {
  local rc=$?
  set +e
  before_stop
  [ -n "$files" ] && kill -TERM "$files" 2>/dev/null && wait "$files" 2>/dev/null
  if [ -n "$app" ] && kill -0 "$app" 2>/dev/null; then
    "$bin/tidewell" quit >/dev/null 2>&1
    for _ in $(seq 1 50); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
    kill -TERM "$app" 2>/dev/null
    wait "$app" 2>/dev/null
  fi
  # The watcher tidewell started, found by the socket folder that is this run's alone.
  for pid in $(pgrep -f -- "--socket $XDG_RUNTIME_DIR/"); do kill -TERM "$pid" 2>/dev/null; done
  for _ in $(seq 1 50); do pgrep -f -- "--socket $XDG_RUNTIME_DIR/" >/dev/null || break; sleep 0.1; done
  [ -n "$server" ] && kill -TERM "$server" 2>/dev/null && wait "$server" 2>/dev/null
  [ -n "$notifier" ] && kill -TERM "$notifier" 2>/dev/null && wait "$notifier" 2>/dev/null
  [ -n "$wm" ] && kill -TERM "$wm" 2>/dev/null && wait "$wm" 2>/dev/null
  [ -n "$xvfb" ] && kill -TERM "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
  [ -f "$work/bus.pid" ] && kill -TERM "$(cat "$work/bus.pid")" 2>/dev/null
  for m in "$TIDEWELL_VOLUMES_ROOT"/*; do mountpoint -q "$m" 2>/dev/null && fusermount3 -u "$m" 2>/dev/null; done
  if [ "$rc" -eq 0 ] && ! grep -q " $work/" /proc/mounts; then
    rm -rf --one-file-system "$work"
  else
    echo "$part: logs kept in $work" >&2
  fi
}
trap stop_session EXIT
waitfor() { # seconds, then a command that must succeed
  local t=$1
  shift
  for _ in $(seq 1 $((t * 5))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.2; done
  return 1
}

# A display of its own (the first free number from 99) with a window manager: without one, the nested
# popover of an extension's sub-menu does not open. $1 is the screen's size, e.g. 1440x900.
start_display() {
  local disp=99
  while [ -e "/tmp/.X11-unix/X$disp" ] || [ -e "/tmp/.X$disp-lock" ]; do disp=$((disp + 1)); done
  Xvfb ":$disp" -screen 0 "$1x24" -nolisten tcp > "$work/xvfb.log" 2>&1 &
  xvfb=$!
  export DISPLAY=":$disp"
  waitfor 20 xdotool getdisplaygeometry || fail "Xvfb did not start"
  openbox > "$work/openbox.log" 2>&1 &
  wm=$!
}
# The notification daemon, styled alike for every part's shots.
start_notifier() {
  mkdir -p "$XDG_CONFIG_HOME/dunst"
  cat > "$XDG_CONFIG_HOME/dunst/dunstrc" <<'RC'
[global]
    font = Sans 10
    width = 380
    origin = top-right
    offset = 16x16
    frame_width = 1
    frame_color = "#c0c0c0"
    padding = 10
    horizontal_padding = 12
    markup = no
    format = "<b>%s</b>\n%b"
[urgency_normal]
    background = "#fafafa"
    foreground = "#202020"
    timeout = 0
RC
  dunst -config "$XDG_CONFIG_HOME/dunst/dunstrc" > "$work/dunst.log" 2>&1 &
  notifier=$!
}
