# Sourced by every screenshot part that runs the client: a private HOME, XDG folders, runtime folder
# and volumes root under "$work", so that the user's own settings, keychain and log are never
# touched. Needs $work.
export HOME="$work/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_STATE_HOME="$HOME/.local/state"
export XDG_CACHE_HOME="$HOME/.cache" XDG_CONFIG_DIRS="$HOME/xdg"
export XDG_RUNTIME_DIR="$work/run" TIDEWELL_VOLUMES_ROOT="$work/volumes"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$TIDEWELL_VOLUMES_ROOT" "$work/server"
chmod 700 "$HOME" "$XDG_RUNTIME_DIR"
