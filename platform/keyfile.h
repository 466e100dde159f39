// Editing the INI-style files the Linux desktops keep their settings in: desktop entries (a folder's
// ".directory" that KDE's file manager reads) and KDE's configuration files (the indexer's
// "baloofilerc"). Lines are "[Group]" headers and "key=value" entries; one entry of one group is read,
// replaced or removed, and every other line (other groups, comments, keys this program does not know,
// their order) is kept exactly as it was, since other programs own the rest of the file.
//
// Keys are compared exactly after trimming the spaces around them, so "folders[$e]" (KDE's key with
// its expansion flag) and "folders" are different keys. Values are raw text: escaping is the caller's.
//
// Thread-safety: pure functions on text.
#pragma once

#include <optional>
#include <string>

namespace tw::platform {

// The value of the first entry `key` of the first group `group` (the text after its "=", without
// the spaces around it), or none.
std::optional<std::string> keyFileValue(const std::string& text, const std::string& group,
                                        const std::string& key);

// `text` with entry `key` of group `group` set to `value`: the first such entry is replaced and any
// later ones of that group dropped; without one it is added after the group's last entry, and without
// the group a new group is added at the end. The result ends with a line feed.
std::string setKeyFileValue(const std::string& text, const std::string& group, const std::string& key,
                            const std::string& value);

// `text` without any entry `key` in group `group`.
std::string removeKeyFileValue(const std::string& text, const std::string& group, const std::string& key);

}  // namespace tw::platform
