// User defaults: the preferences domain "com.meridot.tidewell" and the app-group suite shared with the
// file-manager extension, kept as JSON object files.
//
// A domain is one user file, $XDG_CONFIG_HOME/meridot/<name>.json, and for the standard domain also the
// administrator files meridot/<name>.json in each folder of $XDG_CONFIG_DIRS (default /etc/xdg). A key
// found in an administrator file wins over the user's value; earlier folders of $XDG_CONFIG_DIRS win
// over later ones. Writes go to the user file only, atomically (temporary file, then rename), so a
// reader never sees half a file.
//
// Every read looks at the files as they are now (no cache), so an administrator change or a test's
// file is seen at once. A file that is not a JSON object reads as empty with one warning per file
// and content, and is never overwritten by a read; a write over such a user file keeps the unreadable
// original aside as "<file>.corrupt" before replacing it, so nothing the user had is lost.
//
// Thread-safety: every member may be called from any thread; writes of one domain are serialised.
#pragma once

#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tw::platform {

class Defaults {
  public:
    // The application's domain "com.meridot.tidewell" (user and administrator files).
    static Defaults& standard();
    // The app-group suite "group.com.meridot.tidewell.FinderList" (user file only).
    static Defaults& finderListSuite();

    // A domain on explicit files (tests, tools). `adminFiles` are looked at in order, first wins.
    Defaults(std::string userFile, std::vector<std::string> adminFiles);
    Defaults(const Defaults&) = delete;
    Defaults& operator=(const Defaults&) = delete;

    // The value of `key`: the administrator's when present, else the user's; none when absent.
    std::optional<nlohmann::json> object(const std::string& key) const;
    // The administrator's value alone / the user's value alone.
    std::optional<nlohmann::json> adminObject(const std::string& key) const;
    std::optional<nlohmann::json> userObject(const std::string& key) const;

    // Typed reads of `object(key)`; none when absent or of another kind. A Boolean counts when it is a
    // JSON boolean or a number (non-zero is true), as property-list Booleans and numbers do.
    std::optional<bool> boolValue(const std::string& key) const;
    std::optional<std::string> stringValue(const std::string& key) const;
    std::optional<std::vector<std::string>> stringArray(const std::string& key) const;  // all strings

    // Sets or removes a user value. False (with a log line naming the file and the errno text) when the
    // user file could not be written; the previous file is then unchanged.
    bool set(const std::string& key, const nlohmann::json& value);
    bool remove(const std::string& key);

    const std::string& userFile() const { return userFile_; }
    const std::vector<std::string>& adminFiles() const { return adminFiles_; }

  private:
    std::string userFile_;
    std::vector<std::string> adminFiles_;
    mutable std::mutex mutex_;  // serialises read-modify-write of the user file
};

}  // namespace tw::platform
