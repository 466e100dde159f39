// The server's file tree: content files under <root>/data, one SQLite file <root>/devserver.db with an
// entry per item (revision, mode, disk type, permissions, sharing, size, times, owner), resumable
// uploads under <root>/tmp and the stored usage reports.
//
// Thread-safety: every public operation is safe to call from any thread. Tree changes and database
// statements run under one mutex; file contents are streamed by the caller outside it (into a
// temporary file that a commit renames into place, or from an fd opened under the lock), so no reader
// ever sees half a file under its real name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/fd.h"
#include "platform/sqlite.h"

namespace tw::devserver {

struct Item {
    std::string path;  // canonical server path, "/Documents/a.txt"
    std::string name;  // last name of the path
    bool isDir = false;
    uint64_t size = 0;
    std::string revision;
    std::string mode;       // "AUTOMATIC", "MANUAL" or "" (inherited)
    std::string diskType;   // mappoints only: "smb" or another type
    bool readOnly = false;  // effective: the item's own flag or its mappoint's
    bool allowSharing = false;
    int64_t creationTime = 0;  // milliseconds since 1970, UTC
    int64_t modificationTime = 0;
    std::string owner;
    bool isMappoint() const;
};

// The JSON dictionary the client reads for one item.
nlohmann::json itemJson(const Item& item);

// Result of a tree operation: errorId 0 means success. With 1077 `current` holds the server's entry.
struct Outcome {
    int errorId = 0;
    std::optional<Item> item;
    std::optional<Item> current;
    static Outcome fail(int id) {
        Outcome o;
        o.errorId = id;
        return o;
    }
};

struct MappointSettings {
    std::string name;
    std::string mode = "AUTOMATIC";
    std::string diskType = "smb";
    bool readOnly = false;
};

// A resumable upload in progress.
struct ResumeState {
    std::string id;
    std::string path;
    std::string user;
    uint64_t fileSize = 0;
    uint64_t bytesReceived = 0;
};

// A temporary file under <root>/tmp that is removed unless it was committed.
class TempFile {
public:
    TempFile() = default;
    TempFile(std::filesystem::path path, tw::platform::UniqueFd handle)
        : path_(std::move(path)), handle_(std::move(handle)) {}
    ~TempFile();
    TempFile(TempFile&&) noexcept = default;
    TempFile& operator=(TempFile&&) noexcept;
    const std::filesystem::path& path() const { return path_; }
    int fd() const { return handle_.get(); }
    bool valid() const { return handle_.valid(); }
    // Called after the file was renamed away: nothing is left to remove.
    void release() { path_.clear(); }

private:
    std::filesystem::path path_;
    tw::platform::UniqueFd handle_;
};

class Store {
public:
    // Opens or creates the store under `root`. Nothing when the folder or database cannot be made;
    // `error` then says why.
    static std::unique_ptr<Store> open(const std::filesystem::path& root, std::string& error);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Adds a mappoint unless one of that name exists (then its settings are kept).
    bool ensureMappoint(const MappointSettings& settings);
    // Adds the demo files of --seed demo (only where they are missing).
    void seedDemo(const std::string& owner);

    // Looks an item up without regard to case (names folded in full, as the client folds them). "/" is
    // the top level, which has no entry.
    std::optional<Item> find(const std::string& path);
    std::vector<Item> children(const std::string& path);
    // The synthetic entry of the top level.
    Item rootItem() const;

    // Checks that a file may be written at `path` (parent present, not the top level, not read-only,
    // not locked, not a folder, revision matching, within quota). errorId 0 when it may.
    Outcome checkUpload(const std::string& path, const std::optional<std::string>& revision, uint64_t size,
                        const std::string& user, uint64_t quota);
    // Moves a finished temporary file into place as the new content of `path` and gives it a new
    // revision. Repeats the checks of checkUpload under the same lock.
    Outcome commitUpload(const std::string& path, TempFile& temp, const std::optional<std::string>& revision,
                         uint64_t size, int64_t ctime, int64_t mtime, const std::string& user,
                         uint64_t quota);
    Outcome createFolder(const std::string& parentPath, const std::string& name, int64_t ctime, int64_t mtime,
                         const std::string& user);
    Outcome move(const std::string& from, const std::string& to, bool overwrite, const std::string& revision);
    Outcome remove(const std::string& path, const std::string& revision);
    // Opens a file's content for download. errorId 20 when missing, 13 for a folder, 1077 with `current`
    // when `revision` is given and differs. The descriptor stays valid even if the item is replaced
    // meanwhile.
    Outcome openForRead(const std::string& path, const std::string& revision, tw::platform::UniqueFd& out);

    // Resumable uploads.
    std::optional<ResumeState> resume(const std::string& id);
    void saveResume(const ResumeState& state);
    void dropResume(const std::string& id);
    std::filesystem::path resumeFile(const std::string& id) const;

    TempFile makeTemp();

    void addAudit(const std::string& user, const std::string& document);
    nlohmann::json audits();

    // Items that the administration endpoint locked: every change to them is refused with 26.
    void setLocked(const std::string& path, bool locked);
    bool isLocked(const std::string& path);
    // Sets stored attributes of an item (administration endpoint). False when it does not exist.
    bool setAttributes(const std::string& path, const nlohmann::json& attributes);

    const std::filesystem::path& root() const { return root_; }

private:
    explicit Store(std::filesystem::path root);
    bool initialise(std::string& error);

    // All of the following REQUIRE mutex_ held.
    std::optional<Item> findLocked(const std::string& path);
    std::vector<Item> childrenLocked(const std::string& path);
    std::string nextRevisionLocked();
    bool insertLocked(const Item& item);
    bool exec(const char* sql);
    void migrateAsciiFoldedItems();
    uint64_t usageLocked(const std::string& user);
    bool lockedLocked(const std::string& canonicalPath);
    std::filesystem::path diskPath(const std::string& canonicalPath) const;
    bool seedFileLocked(const std::string& path, const std::string& content, const std::string& owner);
    bool mappointReadOnlyLocked(const std::string& path);
    Outcome writeCheckLocked(const std::string& path, const std::optional<std::string>& revision,
                             uint64_t size, const std::string& user, uint64_t quota,
                             std::optional<Item>& existing, std::optional<Item>& parent);

    std::filesystem::path root_;
    std::mutex mutex_;
    tw::platform::SqliteDatabase db_;
    std::set<std::string> locked_;  // folded canonical paths
    uint64_t tempCounter_ = 0;
};

}  // namespace tw::devserver
