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
// $TIDEWELL_VOLUMES_ROOT, or "/Volumes/" + the user's login name, without a trailing slash. Each user has
// a folder of their own under the shared /Volumes, so two users' mappoints of the same name never meet
// and nobody else can see or touch them.
std::string volumesRoot();
// Makes the volumes root when it is missing (the folder itself with mode 0700; the parents of a root
// given by $TIDEWELL_VOLUMES_ROOT as well, but never the shared /Volumes, which the package makes) and
// checks that it is a folder, not a symbolic link, owned by this user or by root. False, with the
// reason (naming the fix) in `why`, when it is missing and cannot be made or belongs to someone else.
bool prepareVolumesRoot(std::string* why);
// Replaces a leading "~" (alone or followed by "/") with the home folder.
std::string expandTilde(const std::string& path);
// Replaces a leading home folder with "~".
std::string abbreviateTilde(const std::string& path);
// Creates a folder and its parents; true when it exists afterwards.
bool makeFolders(const std::string& path);

}  // namespace tw::platform
