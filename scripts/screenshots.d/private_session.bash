# Sourced by the screenshot parts that run the client: a private HOME, XDG folders, runtime folder and
# volumes root under "$work", and a session bus of their own without service activation, so that
# nothing (indexers, portals) is started behind their back and the user's own settings, keychain and
# log are never touched. Needs $work; leaves the bus's pid in "$work/bus.pid".
export HOME="$work/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_STATE_HOME="$HOME/.local/state"
export XDG_CACHE_HOME="$HOME/.cache" XDG_CONFIG_DIRS="$HOME/xdg"
export XDG_RUNTIME_DIR="$work/run" TIDEWELL_VOLUMES_ROOT="$work/volumes"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$TIDEWELL_VOLUMES_ROOT" "$work/server"
chmod 700 "$HOME" "$XDG_RUNTIME_DIR"

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
