// Login items: programs the desktop starts when the user logs in, kept as XDG autostart entries
// ($XDG_CONFIG_HOME/autostart/<id>.desktop). Enabling writes the entry, disabling removes it.
//
// Thread-safety: safe from any thread; two calls for the same id at once leave one of the two results.
#pragma once

#include <string>

namespace tw::platform {

// Where the entry of login item `id` lives.
std::string loginItemPath(const std::string& id);

// Writes (enabled) or removes (not enabled) the autostart entry of `id`, whose Exec line runs
// `execPath` with no arguments. `displayName` is the name desktops show in their start-up settings
// (the last "."-separated part of `id` when empty). The entry is written atomically and only when its
// content changes. True when the entry is as asked afterwards; false (with a diagnostic) when it could
// not be written or removed, or when `execPath` is not an absolute path that an Exec line can carry
// (control characters).
bool setLoginItemEnabled(const std::string& id, const std::string& execPath, bool enabled,
                         const std::string& displayName = "");

// `path` as one argument of a desktop entry's Exec line (quoted when it holds reserved characters)
// and escaped as a desktop-entry string value. Exposed for tests.
std::string desktopExecArgument(const std::string& path);

}  // namespace tw::platform
