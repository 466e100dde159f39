// Where Tidewell keeps things on a Linux desktop: XDG base folders, the runtime folder for sockets and
// locks, and the volumes root under which mappoint volumes are mounted.
//
// Thread-safety: pure functions of the environment; safe from any thread.
#pragma once

#include <string>

namespace tw::platform {

// $HOME, or the password database's home when HOME is unset.
std::string homeFolder();
// $XDG_CONFIG_HOME or ~/.config.
std::string configHome();
// $XDG_DATA_HOME or ~/.local/share.
std::string dataHome();
// $XDG_STATE_HOME or ~/.local/state.
std::string stateHome();
// $XDG_RUNTIME_DIR, or /tmp/tidewell-UID (created with mode 0700) when unset.
std::string runtimeFolder();
// $TIDEWELL_VOLUMES_ROOT or "/Volumes", without a trailing slash.
std::string volumesRoot();
// Replaces a leading "~" (alone or followed by "/") with the home folder.
std::string expandTilde(const std::string& path);
// Replaces a leading home folder with "~".
std::string abbreviateTilde(const std::string& path);
// Creates a folder and its parents; true when it exists afterwards.
bool makeFolders(const std::string& path);

}  // namespace tw::platform
