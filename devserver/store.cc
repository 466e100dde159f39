#include "devserver/store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include "devserver/wire.h"
#include "platform/casefold.h"
#include "platform/fd.h"
#include "platform/paths.h"
#include "platform/sqlite.h"

namespace tw::devserver {

namespace fs = std::filesystem;
using tw::platform::lastPathComponent;
using tw::platform::parentFolder;

namespace {

using Stmt = tw::platform::SqliteStatement;

constexpr const char* kItemColumns =
    "path, name, is_dir, size, revision, mode, disk_type, read_only, allow_sharing, creation_time, "
    "modification_time, owner";

// Item names compare as a Windows share compares them, and as the client does: case folded in full
// and composed first, so "ünïcødé", "ÜNÏCØDÉ" and the decomposed "u\u0308..." are one name. A
// server that folded ASCII alone would keep two items the client must hold as one file.
constexpr const char* kNameCollation = "tidewell_name";

int compareNames(void*, int lengthA, const void* a, int lengthB, const void* b) {
    std::string_view x(static_cast<const char*>(a), static_cast<size_t>(lengthA));
    std::string_view y(static_cast<const char*>(b), static_cast<size_t>(lengthB));
    int c = platform::foldedName(x).compare(platform::foldedName(y));
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

constexpr const char* kItemsTable =
    "CREATE TABLE IF NOT EXISTS items("
    " path TEXT PRIMARY KEY COLLATE tidewell_name, parent TEXT NOT NULL COLLATE tidewell_name,"
    " name TEXT NOT NULL, is_dir INTEGER NOT NULL, size INTEGER NOT NULL DEFAULT 0,"
    " revision TEXT NOT NULL, mode TEXT NOT NULL DEFAULT '', disk_type TEXT NOT NULL DEFAULT '',"
    " read_only INTEGER NOT NULL DEFAULT 0, allow_sharing INTEGER NOT NULL DEFAULT 0,"
    " creation_time INTEGER NOT NULL, modification_time INTEGER NOT NULL, owner TEXT NOT NULL DEFAULT '');";

Item itemFromRow(const Stmt& s) {
    Item item;
    item.path = s.columnText(0);
    item.name = s.columnText(1);
    item.isDir = s.columnInt64(2) != 0;
    item.size = static_cast<uint64_t>(s.columnInt64(3));
    item.revision = s.columnText(4);
    item.mode = s.columnText(5);
    item.diskType = s.columnText(6);
    item.readOnly = s.columnInt64(7) != 0;
    item.allowSharing = s.columnInt64(8) != 0;
    item.creationTime = s.columnInt64(9);
    item.modificationTime = s.columnInt64(10);
    item.owner = s.columnText(11);
    return item;
}

std::string mappointPathOf(const std::string& path) {
    size_t second = path.find('/', 1);
    return second == std::string::npos ? path : path.substr(0, second);
}

}  // namespace

bool Item::isMappoint() const {
    return path.size() > 1 && path.find('/', 1) == std::string::npos;
}

nlohmann::json itemJson(const Item& item) {
    nlohmann::json j;
    j["name"] = item.name;
    j["directory"] = item.isDir ? 1 : 0;
    j["size"] = item.size;
    j["revision"] = item.revision;
    j["creation_time"] = formatTime(item.creationTime);
    j["modification_time"] = formatTime(item.modificationTime);
    j["mode"] = item.mode.empty() ? "INHERIT" : item.mode;
    if (item.isMappoint()) j["type"] = item.diskType;
    j["permissions"] = item.readOnly ? "READ" : "WRITE";
    j["allow_sharing"] = item.allowSharing ? 1 : 0;
    return j;
}

TempFile::~TempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
}

TempFile& TempFile::operator=(TempFile&& o) noexcept {
    if (this != &o) {
        if (!path_.empty()) ::unlink(path_.c_str());
        path_ = std::move(o.path_);
        o.path_.clear();
        handle_ = std::move(o.handle_);
    }
    return *this;
}

Store::Store(fs::path root) : root_(std::move(root)) {}
Store::~Store() = default;

std::unique_ptr<Store> Store::open(const fs::path& root, std::string& error) {
    std::unique_ptr<Store> store(new Store(root));
    if (!store->initialise(error)) return nullptr;
    return store;
}

bool Store::exec(const char* sql) {
    char* message = nullptr;
    int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, &message);
    sqlite3_free(message);
    return rc == SQLITE_OK;
}

bool Store::initialise(std::string& error) {
    std::error_code ec;
    fs::create_directories(root_ / "data", ec);
    if (ec) {
        error = "cannot create " + (root_ / "data").string() + ": " + ec.message();
        return false;
    }
    fs::create_directories(root_ / "tmp", ec);
    if (ec) {
        error = "cannot create " + (root_ / "tmp").string() + ": " + ec.message();
        return false;
    }
    // Single-shot uploads that were cut off by a stop leave their temporary files; resumable ones stay.
    for (auto it = fs::directory_iterator(root_ / "tmp", ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        if (it->path().filename().string().rfind("upload-", 0) == 0) fs::remove(it->path(), ec);

    sqlite3* db = nullptr;
    std::string dbPath = (root_ / "devserver.db").string();
    if (sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        error = "cannot open " + dbPath + (db ? std::string(": ") + sqlite3_errmsg(db) : "");
        if (db) sqlite3_close_v2(db);
        return false;
    }
    db_.reset(db);
    sqlite3_busy_timeout(db, 5000);
    if (sqlite3_create_collation_v2(db, kNameCollation, SQLITE_UTF8, nullptr, compareNames, nullptr) !=
        SQLITE_OK) {
        error = std::string("cannot install the name comparison: ") + sqlite3_errmsg(db);
        return false;
    }
    if (!exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;")) {
        error = std::string("cannot set the journal mode: ") + sqlite3_errmsg(db);
        return false;
    }
    migrateAsciiFoldedItems();
    std::string schema = kItemsTable;
    schema +=
        "CREATE INDEX IF NOT EXISTS items_parent ON items(parent);"
        "CREATE INDEX IF NOT EXISTS items_owner ON items(owner);"
        "CREATE TABLE IF NOT EXISTS resumes(id TEXT PRIMARY KEY, path TEXT NOT NULL, user TEXT NOT NULL,"
        " file_size INTEGER NOT NULL, bytes_received INTEGER NOT NULL);"
        "CREATE TABLE IF NOT EXISTS audit(id INTEGER PRIMARY KEY AUTOINCREMENT, user TEXT NOT NULL,"
        " received INTEGER NOT NULL, document TEXT NOT NULL);"
        "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);"
        "INSERT OR IGNORE INTO meta(key, value) VALUES('revision', 0);";
    if (!exec(schema.c_str())) {
        error = std::string("cannot create the schema: ") + sqlite3_errmsg(db);
        return false;
    }
    return true;
}

// A store made before names were folded in full compared them with SQLite's ASCII-only NOCASE. Its
// items move to the current table in one transaction; when two of them are one name now, the store
// stays as it was (with a warning) rather than dropping either.
void Store::migrateAsciiFoldedItems() {
    {
        // Finished before the table it reads is dropped.
        Stmt s(db_.get(), "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'items'");
        if (!s.row() || s.columnText(0).find("COLLATE NOCASE") == std::string::npos) return;
    }
    std::string table = kItemsTable;
    table.replace(table.find("items("), 6, "items_folded(");
    std::string sql =
        "BEGIN IMMEDIATE;" + table +
        "INSERT INTO items_folded SELECT path, parent, name, is_dir, size, revision, mode, disk_type,"
        " read_only, allow_sharing, creation_time, modification_time, owner FROM items;"
        "DROP TABLE items; ALTER TABLE items_folded RENAME TO items;";
    if (exec(sql.c_str()) && exec("COMMIT")) return;
    std::string why = sqlite3_errmsg(db_.get());
    exec("ROLLBACK");
    fprintf(stderr,
            "devserver: %s keeps comparing names by ASCII case only: two items there are one name when "
            "compared in full (%s)\n",
            (root_ / "devserver.db").c_str(), why.c_str());
}

fs::path Store::diskPath(const std::string& canonicalPath) const {
    return root_ / "data" / canonicalPath.substr(1);
}

std::string Store::nextRevisionLocked() {
    Stmt(db_.get(), "UPDATE meta SET value = value + 1 WHERE key = 'revision'").run();
    Stmt s(db_.get(), "SELECT value FROM meta WHERE key = 'revision'");
    int64_t n = s.row() ? s.columnInt64(0) : nowMillis();
    return std::to_string(n);
}

bool Store::mappointReadOnlyLocked(const std::string& path) {
    Stmt s(db_.get(), "SELECT read_only FROM items WHERE path = ?");
    s.bind(1, mappointPathOf(path));
    return s.row() && s.columnInt64(0) != 0;
}

std::optional<Item> Store::findLocked(const std::string& path) {
    if (path.empty() || path == "/") return std::nullopt;
    std::string sql = std::string("SELECT ") + kItemColumns + " FROM items WHERE path = ?";
    Stmt s(db_.get(), sql.c_str());
    s.bind(1, path);
    if (!s.row()) return std::nullopt;
    Item item = itemFromRow(s);
    if (!item.readOnly && !item.isMappoint()) item.readOnly = mappointReadOnlyLocked(item.path);
    return item;
}

std::vector<Item> Store::childrenLocked(const std::string& path) {
    std::vector<Item> out;
    std::string sql = std::string("SELECT ") + kItemColumns + " FROM items WHERE parent = ? ORDER BY name";
    Stmt s(db_.get(), sql.c_str());
    s.bind(1, path.empty() ? std::string("/") : path);
    while (s.row()) out.push_back(itemFromRow(s));
    if (path != "/" && !path.empty()) {
        bool ro = mappointReadOnlyLocked(path);
        for (auto& item : out) item.readOnly = item.readOnly || ro;
    }
    return out;
}

bool Store::insertLocked(const Item& item) {
    Stmt s(
        db_.get(),
        "INSERT OR REPLACE INTO items(path, parent, name, is_dir, size, revision, mode, disk_type, read_only,"
        " allow_sharing, creation_time, modification_time, owner) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?)");
    s.bind(1, item.path)
        .bind(2, parentFolder(item.path))
        .bind(3, item.name)
        .bind(4, int64_t(item.isDir ? 1 : 0));
    s.bind(5, static_cast<int64_t>(item.size))
        .bind(6, item.revision)
        .bind(7, item.mode)
        .bind(8, item.diskType);
    s.bind(9, int64_t(item.readOnly ? 1 : 0)).bind(10, int64_t(item.allowSharing ? 1 : 0));
    s.bind(11, item.creationTime).bind(12, item.modificationTime).bind(13, item.owner);
    return s.run();
}

uint64_t Store::usageLocked(const std::string& user) {
    Stmt s(db_.get(), "SELECT COALESCE(SUM(size), 0) FROM items WHERE owner = ? AND is_dir = 0");
    s.bind(1, user);
    return s.row() ? static_cast<uint64_t>(s.columnInt64(0)) : 0;
}

bool Store::lockedLocked(const std::string& canonicalPath) {
    return locked_.count(platform::foldedName(canonicalPath)) != 0;
}

std::optional<Item> Store::find(const std::string& path) {
    std::lock_guard lock(mutex_);
    return findLocked(path);
}

std::vector<Item> Store::children(const std::string& path) {
    std::lock_guard lock(mutex_);
    return childrenLocked(path);
}

Item Store::rootItem() const {
    Item root;
    root.path = "/";
    root.name = "";
    root.isDir = true;
    root.revision = "0";
    root.readOnly = true;  // nothing can be created at the top level through the protocol
    return root;
}

bool Store::ensureMappoint(const MappointSettings& settings) {
    if (!isLegalName(settings.name)) return false;
    std::lock_guard lock(mutex_);
    std::string path = "/" + settings.name;
    if (findLocked(path)) return true;
    std::error_code ec;
    fs::create_directories(diskPath(path), ec);
    if (ec) return false;
    Item item;
    item.path = path;
    item.name = settings.name;
    item.isDir = true;
    item.revision = nextRevisionLocked();
    item.mode = settings.mode;
    item.diskType = settings.diskType;
    item.readOnly = settings.readOnly;
    item.creationTime = item.modificationTime = nowMillis();
    return insertLocked(item);
}

bool Store::seedFileLocked(const std::string& path, const std::string& content, const std::string& owner) {
    if (findLocked(path)) return true;
    auto parent = findLocked(parentFolder(path));
    if (!parent) {
        std::error_code ec;
        fs::create_directories(diskPath(parentFolder(path)), ec);
        Item folder;
        folder.path = parentFolder(path);
        folder.name = lastPathComponent(folder.path);
        folder.isDir = true;
        folder.revision = nextRevisionLocked();
        folder.creationTime = folder.modificationTime = nowMillis();
        folder.owner = owner;
        if (ec || !insertLocked(folder)) return false;
    }
    tw::platform::UniqueFd fh(::open(diskPath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fh.valid() || !tw::platform::writeAll(fh.get(), content)) return false;
    Item item;
    item.path = path;
    item.name = lastPathComponent(path);
    item.size = content.size();
    item.revision = nextRevisionLocked();
    item.creationTime = item.modificationTime = nowMillis();
    item.owner = owner;
    return insertLocked(item);
}

void Store::seedDemo(const std::string& owner) {
    ensureMappoint({"Documents", "AUTOMATIC", "smb", false});
    ensureMappoint({"Projects", "MANUAL", "local", false});
    ensureMappoint({"home", "AUTOMATIC", "smb", false});
    std::lock_guard lock(mutex_);
    seedFileLocked("/Documents/Welcome.txt",
                   "Welcome to Tidewell.\nThis folder is synchronised automatically.\n", owner);
    seedFileLocked("/Documents/Reports/Summary.txt", "Quarterly summary: all systems nominal.\n", owner);
    seedFileLocked("/Projects/Plan.txt", "Files here are downloaded when you open them.\n", owner);
    seedFileLocked("/home/Notes.txt", "Your home folder on the server, mapped to ~/Tidewell.\n", owner);
}

Outcome Store::writeCheckLocked(const std::string& path, const std::optional<std::string>& revision,
                                uint64_t size, const std::string& user, uint64_t quota,
                                std::optional<Item>& existing, std::optional<Item>& parent) {
    std::string parentPath = parentFolder(path);
    if (path.size() <= 1 || parentPath == "/") return Outcome::fail(error_id::permissionDenied);
    parent = findLocked(parentPath);
    // The back-end file system refuses a file whose folder is missing; the client answers this by
    // creating the folder and trying again.
    if (!parent || !parent->isDir) return Outcome::fail(error_id::smbFileSystemError);
    if (parent->readOnly) return Outcome::fail(error_id::mappointIsReadOnly);
    existing = findLocked(path);
    if (existing && existing->isDir) return Outcome::fail(error_id::fileNotWriteable);
    if (existing && existing->readOnly) return Outcome::fail(error_id::permissionDenied);
    if (lockedLocked(existing ? existing->path : path)) return Outcome::fail(error_id::couldNotLockFile);
    if (existing && revision && *revision != existing->revision) {
        Outcome o = Outcome::fail(error_id::revisionsDoNotMatch);
        o.current = existing;
        return o;
    }
    if (quota > 0) {
        uint64_t used = usageLocked(user);
        if (existing && existing->owner == user) used -= std::min(used, existing->size);
        if (used + size > quota) return Outcome::fail(error_id::quotaExceeded);
    }
    return {};
}

Outcome Store::checkUpload(const std::string& path, const std::optional<std::string>& revision, uint64_t size,
                           const std::string& user, uint64_t quota) {
    std::lock_guard lock(mutex_);
    std::optional<Item> existing, parent;
    return writeCheckLocked(path, revision, size, user, quota, existing, parent);
}

Outcome Store::commitUpload(const std::string& path, TempFile& temp,
                            const std::optional<std::string>& revision, uint64_t size, int64_t ctime,
                            int64_t mtime, const std::string& user, uint64_t quota) {
    std::lock_guard lock(mutex_);
    std::optional<Item> existing, parent;
    Outcome check = writeCheckLocked(path, revision, size, user, quota, existing, parent);
    if (check.errorId != 0) return check;
    Item item = existing ? *existing : Item{};
    if (!existing) {
        item.path = parent->path + "/" + lastPathComponent(path);
        item.name = lastPathComponent(path);
    }
    if (::rename(temp.path().c_str(), diskPath(item.path).c_str()) != 0)
        return Outcome::fail(error_id::smbFileSystemError);
    temp.release();
    item.isDir = false;
    item.size = size;
    item.revision = nextRevisionLocked();
    item.creationTime = ctime;
    item.modificationTime = mtime;
    item.owner = user;
    item.readOnly = false;
    if (!insertLocked(item)) return Outcome::fail(error_id::smbFileSystemError);
    Outcome o;
    o.item = findLocked(item.path);
    return o;
}

Outcome Store::createFolder(const std::string& parentPath, const std::string& name, int64_t ctime,
                            int64_t mtime, const std::string& user) {
    std::lock_guard lock(mutex_);
    if (parentPath == "/" || parentPath.empty()) return Outcome::fail(error_id::permissionDenied);
    auto parent = findLocked(parentPath);
    if (!parent || !parent->isDir) return Outcome::fail(error_id::requiredItemNotFound);
    std::string path = parent->path + "/" + name;
    if (findLocked(path)) return Outcome::fail(error_id::itemAlreadyExist);
    if (parent->readOnly) return Outcome::fail(error_id::mappointIsReadOnly);
    if (::mkdir(diskPath(path).c_str(), 0755) != 0) return Outcome::fail(error_id::smbFileSystemError);
    Item item;
    item.path = path;
    item.name = name;
    item.isDir = true;
    item.revision = nextRevisionLocked();
    item.creationTime = ctime;
    item.modificationTime = mtime;
    item.owner = user;
    if (!insertLocked(item)) return Outcome::fail(error_id::smbFileSystemError);
    Outcome o;
    o.item = findLocked(path);
    return o;
}

Outcome Store::move(const std::string& from, const std::string& to, bool overwrite,
                    const std::string& revision) {
    std::lock_guard lock(mutex_);
    if (from.size() <= 1 || parentFolder(from) == "/") return Outcome::fail(error_id::permissionDenied);
    auto src = findLocked(from);
    if (!src) return Outcome::fail(error_id::itemNotFound);
    if (src->readOnly) return Outcome::fail(error_id::mappointIsReadOnly);
    if (lockedLocked(src->path)) return Outcome::fail(error_id::couldNotLockFile);
    if (!revision.empty() && revision != src->revision) {
        Outcome o = Outcome::fail(error_id::revisionsDoNotMatch);
        o.current = src;
        return o;
    }
    if (to.size() <= 1 || parentFolder(to) == "/") return Outcome::fail(error_id::permissionDenied);
    auto dparent = findLocked(parentFolder(to));
    if (!dparent || !dparent->isDir) return Outcome::fail(error_id::requiredItemNotFound);
    if (dparent->readOnly) return Outcome::fail(error_id::mappointIsReadOnly);
    std::string dest = dparent->path + "/" + lastPathComponent(to);
    std::string srcFold = platform::foldedName(src->path);
    if (src->isDir && platform::foldedName(dest).rfind(srcFold + "/", 0) == 0)
        return Outcome::fail(error_id::permissionDenied);
    auto existing = findLocked(dest);
    bool sameItem = existing && platform::foldedName(existing->path) == srcFold;
    if (existing && !sameItem) {
        if (!overwrite) return Outcome::fail(error_id::itemAlreadyExist);
        if (lockedLocked(existing->path)) return Outcome::fail(error_id::couldNotLockFile);
        if (existing->isDir != src->isDir) return Outcome::fail(error_id::fileNotWriteable);
        if (existing->isDir && !childrenLocked(existing->path).empty())
            return Outcome::fail(error_id::folderNotEmpty);
    }
    if (::rename(diskPath(src->path).c_str(), diskPath(dest).c_str()) != 0)
        return Outcome::fail(error_id::smbFileSystemError);
    exec("BEGIN");
    if (existing && !sameItem) {
        Stmt del(db_.get(), "DELETE FROM items WHERE path = ?");
        del.bind(1, existing->path).run();
    }
    if (src->isDir) {
        // substr() and length() both count characters, so names with multi-byte characters work.
        Stmt kids(db_.get(),
                  "UPDATE items SET path = ?1 || substr(path, length(?2) + 1),"
                  " parent = ?1 || substr(parent, length(?2) + 1)"
                  " WHERE substr(path, 1, length(?2) + 1) = ?2 || '/'");
        kids.bind(1, dest).bind(2, src->path).run();
    }
    Stmt self(db_.get(), "UPDATE items SET path = ?, parent = ?, name = ? WHERE path = ?");
    self.bind(1, dest).bind(2, parentFolder(dest)).bind(3, lastPathComponent(dest)).bind(4, src->path).run();
    exec("COMMIT");
    Outcome o;
    o.item = findLocked(dest);
    return o;
}

Outcome Store::remove(const std::string& path, const std::string& revision) {
    std::lock_guard lock(mutex_);
    if (path.size() <= 1 || parentFolder(path) == "/") return Outcome::fail(error_id::permissionDenied);
    auto item = findLocked(path);
    if (!item) return Outcome::fail(error_id::cannotDeleteNonExistingItem);
    if (item->readOnly) return Outcome::fail(error_id::mappointIsReadOnly);
    if (lockedLocked(item->path)) return Outcome::fail(error_id::couldNotLockFile);
    if (!revision.empty() && revision != item->revision) {
        Outcome o = Outcome::fail(error_id::revisionsDoNotMatch);
        o.current = item;
        return o;
    }
    if (item->isDir && !childrenLocked(item->path).empty()) return Outcome::fail(error_id::folderNotEmpty);
    int rc = item->isDir ? ::rmdir(diskPath(item->path).c_str()) : ::unlink(diskPath(item->path).c_str());
    if (rc != 0 && errno != ENOENT) return Outcome::fail(error_id::smbFileSystemError);
    Stmt del(db_.get(), "DELETE FROM items WHERE path = ?");
    del.bind(1, item->path).run();
    Outcome o;
    o.item = item;
    return o;
}

Outcome Store::openForRead(const std::string& path, const std::string& revision,
                           tw::platform::UniqueFd& out) {
    std::lock_guard lock(mutex_);
    auto item = findLocked(path);
    if (!item) return Outcome::fail(error_id::itemNotFound);
    if (item->isDir) return Outcome::fail(error_id::fileDownloadFailed);
    if (!revision.empty() && revision != item->revision) {
        Outcome o = Outcome::fail(error_id::revisionsDoNotMatch);
        o.current = item;
        return o;
    }
    tw::platform::UniqueFd fh(::open(diskPath(item->path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fh.valid()) return Outcome::fail(error_id::fileDownloadFailed);
    out = std::move(fh);
    Outcome o;
    o.item = item;
    return o;
}

std::optional<ResumeState> Store::resume(const std::string& id) {
    std::lock_guard lock(mutex_);
    Stmt s(db_.get(), "SELECT id, path, user, file_size, bytes_received FROM resumes WHERE id = ?");
    s.bind(1, id);
    if (!s.row()) return std::nullopt;
    ResumeState r;
    r.id = s.columnText(0);
    r.path = s.columnText(1);
    r.user = s.columnText(2);
    r.fileSize = static_cast<uint64_t>(s.columnInt64(3));
    r.bytesReceived = static_cast<uint64_t>(s.columnInt64(4));
    return r;
}

void Store::saveResume(const ResumeState& r) {
    std::lock_guard lock(mutex_);
    Stmt s(db_.get(),
           "INSERT OR REPLACE INTO resumes(id, path, user, file_size, bytes_received) VALUES(?,?,?,?,?)");
    s.bind(1, r.id).bind(2, r.path).bind(3, r.user).bind(4, static_cast<int64_t>(r.fileSize));
    s.bind(5, static_cast<int64_t>(r.bytesReceived)).run();
}

void Store::dropResume(const std::string& id) {
    std::lock_guard lock(mutex_);
    Stmt s(db_.get(), "DELETE FROM resumes WHERE id = ?");
    s.bind(1, id).run();
    ::unlink(resumeFile(id).c_str());
}

fs::path Store::resumeFile(const std::string& id) const {
    return root_ / "tmp" / ("resume-" + id + ".part");
}

TempFile Store::makeTemp() {
    static std::atomic<uint64_t> salt{std::random_device{}()};
    for (int attempt = 0; attempt < 16; ++attempt) {
        uint64_t n;
        {
            std::lock_guard lock(mutex_);
            n = ++tempCounter_;
        }
        fs::path p = root_ / "tmp" /
                     ("upload-" + std::to_string(::getpid()) + "-" + std::to_string(n) + "-" +
                      std::to_string(salt.fetch_add(7919)));
        int fd = ::open(p.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) return TempFile(p, tw::platform::UniqueFd(fd));
    }
    return TempFile();
}

void Store::addAudit(const std::string& user, const std::string& document) {
    std::lock_guard lock(mutex_);
    Stmt s(db_.get(), "INSERT INTO audit(user, received, document) VALUES(?,?,?)");
    s.bind(1, user).bind(2, nowMillis()).bind(3, document).run();
}

nlohmann::json Store::audits() {
    std::lock_guard lock(mutex_);
    nlohmann::json out = nlohmann::json::array();
    Stmt s(db_.get(), "SELECT user, received, document FROM audit ORDER BY id");
    while (s.row()) {
        auto doc = nlohmann::json::parse(s.columnText(2), nullptr, false);
        out.push_back({{"user", s.columnText(0)},
                       {"received", formatTime(s.columnInt64(1))},
                       {"document", doc.is_discarded() ? nlohmann::json(s.columnText(2)) : doc}});
    }
    return out;
}

void Store::setLocked(const std::string& path, bool locked) {
    std::lock_guard lock(mutex_);
    auto item = findLocked(path);
    std::string key = platform::foldedName(item ? item->path : path);
    if (locked)
        locked_.insert(key);
    else
        locked_.erase(key);
}

bool Store::isLocked(const std::string& path) {
    std::lock_guard lock(mutex_);
    auto item = findLocked(path);
    return lockedLocked(item ? item->path : path);
}

bool Store::setAttributes(const std::string& path, const nlohmann::json& a) {
    std::lock_guard lock(mutex_);
    Stmt s(db_.get(),
           std::string("SELECT ").append(kItemColumns).append(" FROM items WHERE path = ?").c_str());
    s.bind(1, path);
    if (!s.row()) return false;
    Item item = itemFromRow(s);  // stored flags, not the effective ones
    if (a.contains("mode") && a["mode"].is_string()) item.mode = a["mode"].get<std::string>();
    if (a.contains("type") && a["type"].is_string()) item.diskType = a["type"].get<std::string>();
    if (a.contains("read_only") && a["read_only"].is_boolean()) item.readOnly = a["read_only"].get<bool>();
    if (a.contains("allow_sharing") && a["allow_sharing"].is_boolean())
        item.allowSharing = a["allow_sharing"].get<bool>();
    if (a.contains("revision") && a["revision"].is_string()) item.revision = a["revision"].get<std::string>();
    return insertLocked(item);
}

}  // namespace tw::devserver
