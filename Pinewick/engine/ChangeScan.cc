#include "Pinewick/engine/ChangeScan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <optional>
#include <thread>
#include <unordered_map>

#include "Pinewick/config/Log.h"
#include "Pinewick/config/Logger.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/TLEvent.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CEAUtils.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/fd.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/sqlite.h"
#include "platform/utf8.h"

namespace tw {
namespace {

using S = CEAStatus::keys;
using Clock = std::chrono::steady_clock;

// A path that long does not fit the watcher's report fields, so no change of it could ever be reported.
constexpr size_t kMaxPathBytes = 1024;
// The temporary name an item takes on the server while another one is moved to its place.
constexpr const char* kMovingAside = ".TWSM";
const std::string kRecordAttribute = std::string("user.") + CorvaneExtendedAttributes::xAttrName;

// `path` with every byte that is not part of a UTF-8 character written as \xNN, so it can be logged and
// shown (as JSON too).
std::string printable(const std::string& path) {
    if (platform::isValidUtf8(path)) return path;
    std::string out;
    size_t i = 0;
    while (i < path.size()) {
        auto c = static_cast<unsigned char>(path[i]);
        size_t length = c < 0x80                   ? 1
                        : (c >= 0xC2 && c <= 0xDF) ? 2
                        : (c >= 0xE0 && c <= 0xEF) ? 3
                        : (c >= 0xF0 && c <= 0xF4) ? 4
                                                   : 0;
        if (length != 0 && i + length <= path.size() &&
            platform::isValidUtf8(std::string_view(path).substr(i, length))) {
            out.append(path, i, length);
            i += length;
            continue;
        }
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\x%02X", c);
        out += escaped;
        ++i;
    }
    return out;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

int64_t nanos(const struct timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The state an item's record gives it, as loading the record would: a record whose file number is
// another item's was copied along with the content, so the item is new to the sync (Unknown).
S stateOf(const CorvaneExtendedAttributes& record, uint64_t ino) {
    if (auto id = record.ceaLong.getAttribute(CEALong::keys::LocalFileId); id && *id != ino)
        return S::Unknown;
    return record.ceaStatus.status;
}

// ---- reading the volume

enum class Kind : uint8_t { file, folder, other, vanished };
// Where an item stands: synchronised, ignored (TimeLineManager::inIgnoreList), or where it cannot be
// synchronised (its name or path). Items inside a folder take the folder's zone.
enum class Zone : uint8_t { synced, ignored, unsynchronisable };

struct Entry {
    std::string name;
    uint64_t ino = 0;
    Kind kind = Kind::other;
    Zone zone = Zone::synced;
    S state = S::Unknown;      // after the file-number check: a record copied from another item is Unknown
    bool changed = false;      // a Regular file whose content differs from what was last agreed
    bool hasRecord = false;    // `record` holds the item's attribute text
    std::string record;        // read for synchronised files and folders only
    std::string unsyncReason;  // set on the item where its zone became `unsynchronisable`
    int32_t folder = -1;       // its Folder, for a folder that was read
};

struct Folder {
    std::string path;
    uint64_t ino = 0;
    Zone zone = Zone::synced;
    std::vector<Entry> entries;  // sorted by name once the walk is over
};

// getxattrat(2) (Linux 6.13): an attribute read relative to a folder's descriptor, like fstatat. Its
// number is the same on every architecture; headers older than the kernel do not name it yet.
constexpr long kGetxattratCall = 464;
struct XattrArgs {
    uint64_t value;
    uint32_t size;
    uint32_t flags;
};
std::atomic<bool> g_noGetxattrat{false};

// The record attribute of `name` in the folder open as `fd` (at `folderPath`): its length, or -1.
ssize_t readRecordAt(int fd, const std::string& folderPath, const std::string& name, char* buffer,
                     size_t size) {
    if (!g_noGetxattrat) {
        XattrArgs args{reinterpret_cast<uintptr_t>(buffer), static_cast<uint32_t>(size), 0};
        long n = ::syscall(kGetxattratCall, fd, name.c_str(), AT_SYMLINK_NOFOLLOW, kRecordAttribute.c_str(),
                           &args, sizeof args);
        if (n >= 0 || errno != ENOSYS) return n;
        g_noGetxattrat = true;
    }
    // Older kernels: by path. The folder's entry was just looked up (for the stat), so the walk down to it
    // is cached.
    return ::lgetxattr((folderPath + "/" + name).c_str(), kRecordAttribute.c_str(), buffer, size);
}

// Reads a volume: one pass over each folder, one stat and (for synchronised items) one attribute read
// per item, relative to the folder's descriptor. Several readers share the work: whole folders to list,
// and the items of a listed folder in slices, so one huge folder is read by all of them too.
class Walker {
public:
    Walker(TimeLineManager& timeline, std::string root, uint64_t dev, uint64_t ino, unsigned readers,
           const std::atomic<bool>& stopping)
        : timeline_(timeline), dev_(dev), readers_(std::max(1u, readers)), stopping_(stopping) {
        auto top = std::make_unique<Folder>();
        top->path = std::move(root);
        top->ino = ino;
        folders.push_back(std::move(top));
        queue_.push_back(Work{0, 0, 0, nullptr});
    }

    void run() {
        std::vector<std::thread> helpers;
        for (unsigned i = 1; i < readers_; ++i) helpers.emplace_back([this] { work(); });
        work();
        for (auto& t : helpers) t.join();
        // What vanished while it was read is dropped; the rest is put in name order, so the work queued
        // for a volume comes in the same order every time.
        for (auto& folder : folders) {
            auto& entries = folder->entries;
            entries.erase(std::remove_if(entries.begin(), entries.end(),
                                         [](const Entry& e) { return e.kind == Kind::vanished; }),
                          entries.end());
            std::sort(entries.begin(), entries.end(),
                      [](const Entry& a, const Entry& b) { return a.name < b.name; });
        }
    }

    std::vector<std::unique_ptr<Folder>> folders;  // [0] is the root; complete once `run` returned
    std::atomic<bool> complete{true};              // every folder was read to its end
    std::atomic<uint64_t> items{0};

private:
    // A folder to list (no descriptor yet), or a slice of a listed folder's items to examine.
    struct Work {
        size_t folder;
        size_t begin, end;
        std::shared_ptr<platform::UniqueFd> fd;
    };
    static constexpr size_t kSlice = 128;

    void work() {
        for (;;) {
            Work w;
            Folder* folder = nullptr;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [this] { return !queue_.empty() || busy_ == 0 || stopping_; });
                if (stopping_) {
                    complete = false;
                    cv_.notify_all();
                    return;
                }
                if (queue_.empty()) return;  // nobody is reading, so nothing more will come
                w = std::move(queue_.front());
                queue_.pop_front();
                folder = folders[w.folder].get();
                ++busy_;
            }
            if (w.fd)
                examine(*folder, w);
            else
                list(*folder, w.folder);
            std::lock_guard lock(mutex_);
            --busy_;
            cv_.notify_all();
        }
    }

    void list(Folder& folder, size_t index) {
        // Opened by its path, checked to be the folder listed: a folder replaced meanwhile (or by a link)
        // is not read in its place.
        auto fd = std::make_shared<platform::UniqueFd>(
            ::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat self {};
        if (!*fd || ::fstat(fd->get(), &self) != 0 || self.st_dev != dev_ || self.st_ino != folder.ino) {
            complete = false;
            return;
        }
        platform::UniqueFd listFd(::dup(fd->get()));
        std::unique_ptr<DIR, int (*)(DIR*)> dir(listFd ? ::fdopendir(listFd.get()) : nullptr, ::closedir);
        if (!dir) {
            complete = false;
            return;
        }
        listFd.release();
        for (;;) {
            errno = 0;
            dirent* d = ::readdir(dir.get());
            if (!d) {
                if (errno != 0) complete = false;
                break;
            }
            if (d->d_name[0] == '.' && (d->d_name[1] == 0 || (d->d_name[1] == '.' && d->d_name[2] == 0)))
                continue;
            folder.entries.emplace_back().name = d->d_name;
        }
        std::lock_guard lock(mutex_);
        for (size_t begin = 0; begin < folder.entries.size(); begin += kSlice)
            queue_.push_back(Work{index, begin, std::min(begin + kSlice, folder.entries.size()), fd});
        cv_.notify_all();
    }

    void examine(Folder& folder, const Work& w) {
        char buffer[CorvaneExtendedAttributes::kMaxAttributeSize];
        int fd = w.fd->get();
        for (size_t i = w.begin; i < w.end; ++i) {
            Entry& e = folder.entries[i];
            struct stat st {};
            if (::fstatat(fd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT) complete = false;  // gone since the listing: nothing to see
                e.kind = Kind::vanished;
                continue;
            }
            ++items;
            e.ino = st.st_ino;
            // Another file system mounted inside the volume is not part of it.
            e.kind = static_cast<uint64_t>(st.st_dev) != dev_ ? Kind::other
                     : S_ISREG(st.st_mode)                    ? Kind::file
                     : S_ISDIR(st.st_mode)                    ? Kind::folder
                                                              : Kind::other;
            std::string path = folder.path + "/" + e.name;
            e.zone = folder.zone;
            if (e.zone == Zone::synced) {
                if (timeline_.inIgnoreList(path)) {
                    e.zone = Zone::ignored;
                } else if (!platform::isValidUtf8(e.name)) {
                    e.zone = Zone::unsynchronisable;
                    e.unsyncReason = "its name is not valid UTF-8";
                } else if (path.size() >= kMaxPathBytes) {
                    e.zone = Zone::unsynchronisable;
                    e.unsyncReason = "its path is " + std::to_string(kMaxPathBytes) + " bytes or longer";
                } else if (!ServerCommunicator::nameFitsServer(e.name)) {
                    e.zone = Zone::unsynchronisable;
                    e.unsyncReason = ChangeScan::kNameTooLongForServer;
                }
            }
            if (e.zone == Zone::synced && e.kind != Kind::other) {
                ssize_t n = readRecordAt(fd, folder.path, e.name, buffer, sizeof buffer);
                // No attribute, one too long to read or not UTF-8: a fresh record, as loading one reads.
                if (n >= 0 && platform::isValidUtf8(std::string_view(buffer, static_cast<size_t>(n)))) {
                    e.hasRecord = true;
                    e.record.assign(buffer, static_cast<size_t>(n));
                    classify(e, st);
                }
            }
            if (e.kind == Kind::folder) {
                auto child = std::make_unique<Folder>();
                child->path = std::move(path);
                child->ino = e.ino;
                child->zone = e.zone;
                std::lock_guard lock(mutex_);
                e.folder = static_cast<int32_t>(folders.size());
                folders.push_back(std::move(child));
                queue_.push_back(Work{static_cast<size_t>(e.folder), 0, 0, nullptr});
                cv_.notify_one();
            }
        }
    }

    // The item's state as a loaded record would give it, and whether a Regular file changed.
    static void classify(Entry& e, const struct stat& st) {
        CorvaneExtendedAttributes record(std::string(), e.record);
        e.state = stateOf(record, e.ino);
        if (e.kind == Kind::file && e.state == S::Regular) {
            platform::FileAttributes now;
            now.systemFileNumber = e.ino;
            now.type = platform::kFileTypeRegular;
            now.size = static_cast<uint64_t>(st.st_size);
            now.modificationNanos = nanos(st.st_mtim);
            e.changed = CEAUtils::hasLocalChanges(now, record);
        }
    }

    TimeLineManager& timeline_;
    uint64_t dev_;
    unsigned readers_;
    const std::atomic<bool>& stopping_;
    std::mutex mutex_;  // guards folders (the vector), queue_ and busy_
    std::condition_variable cv_;
    std::deque<Work> queue_;
    size_t busy_ = 0;
};

// ---- what the databases remember

// One item as the databases last knew it: a file with a revision (metadata database) or a folder
// (this scan's own table).
struct Row {
    uint64_t node = 0;
    std::string path;
    std::string revision;
    std::string state;
    bool folder = false;

    enum class Fate { unchanged, moved, gone, leftAlone };
    Fate fate = Fate::unchanged;
    std::pair<int32_t, int32_t> at{-1, -1};  // (folder, entry) where a moved item stands now
    std::string current;                     // where the server has it, as far as queued work goes
    bool done = false;
};

// The metadata database's rows of one volume, read by a connection of our own: one query per volume,
// never one per item.
std::vector<Row> fileRows(const std::string& databasePath, const std::string& uuid) {
    std::vector<Row> rows;
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(databasePath.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    platform::SqliteDatabase db(raw);
    if (rc != SQLITE_OK) return rows;
    sqlite3_busy_timeout(db.get(), 2000);
    platform::SqliteStatement select(db.get(),
                                     "SELECT node, path, revision, state FROM Metadata WHERE volume = ?;");
    select.bind(1, uuid);
    while (select.row()) {
        Row r;
        r.node = static_cast<uint64_t>(select.columnInt64(0));
        r.path = select.columnText(1);
        r.revision = select.columnText(2);
        r.state = select.columnText(3);
        if (!r.revision.empty()) rows.push_back(std::move(r));
    }
    return rows;
}

// Folders have no revision and so no row in the metadata database; the scan keeps their identities in a
// table of its own so that a folder renamed while nobody reported it is known again by its number.
class FolderTable {
public:
    explicit FolderTable(const std::string& path) {
        sqlite3* raw = nullptr;
        if (sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
            SQLITE_OK) {
            platform::SqliteDatabase failed(raw);
            log().logWarning("Could not open " + path + "; folders renamed unreported are not followed");
            return;
        }
        db_.reset(raw);
        sqlite3_busy_timeout(db_.get(), 2000);
        if (!platform::SqliteStatement(
                 db_.get(),
                 "CREATE TABLE IF NOT EXISTS Folders (node INT NOT NULL, volume TEXT NOT "
                 "NULL, path TEXT NOT NULL, state TEXT NOT NULL);")
                 .run() ||
            !platform::SqliteStatement(db_.get(),
                                       "CREATE INDEX IF NOT EXISTS FolderVolume ON Folders(volume);")
                 .run()) {
            log().logWarning("Could not prepare " + path + "; folders renamed unreported are not followed");
            db_.reset();
        }
    }

    std::vector<Row> rows(const std::string& uuid) {
        std::vector<Row> out;
        if (!db_) return out;
        platform::SqliteStatement select(db_.get(),
                                         "SELECT node, path, state FROM Folders WHERE volume = ?;");
        select.bind(1, uuid);
        while (select.row()) {
            Row r;
            r.node = static_cast<uint64_t>(select.columnInt64(0));
            r.path = select.columnText(1);
            r.state = select.columnText(2);
            r.folder = true;
            out.push_back(std::move(r));
        }
        return out;
    }

    // Replaces the volume's folders with `folders` (node, path, state), in one transaction.
    void replace(const std::string& uuid,
                 const std::vector<std::tuple<uint64_t, std::string, std::string>>& folders) {
        if (!db_) return;
        if (!platform::SqliteStatement(db_.get(), "BEGIN;").run()) return;
        bool ok =
            platform::SqliteStatement(db_.get(), "DELETE FROM Folders WHERE volume = ?;").bind(1, uuid).run();
        for (const auto& [node, path, state] : folders) {
            if (!ok) break;
            ok = platform::SqliteStatement(
                     db_.get(), "INSERT INTO Folders (node, volume, path, state) VALUES (?, ?, ?, ?);")
                     .bind(1, static_cast<int64_t>(node))
                     .bind(2, uuid)
                     .bind(3, path)
                     .bind(4, state)
                     .run();
        }
        platform::SqliteStatement(db_.get(), ok ? "COMMIT;" : "ROLLBACK;").run();
        if (!ok) log().logWarning("Could not record the folders of volume " + uuid);
    }

private:
    platform::SqliteDatabase db_;
};

}  // namespace

// ---- one volume

// Decides and queues the work for one volume once it has been read. Single-threaded.
struct ChangeScan::RootScan {
    RootScan(ChangeScan& owner, std::string root, Summary& summary)
        : owner(owner), timeline(*owner.options_.timeline), root(std::move(root)), summary(summary) {}

    ChangeScan& owner;
    TimeLineManager& timeline;
    std::string root;
    Summary& summary;
    uint64_t dev = 0;
    uint64_t rootIno = 0;
    std::string uuid;  // empty: moves and deletes are not decided
    std::unique_ptr<Walker> walker;
    std::vector<NotSynchronised> unsynchronisable;

    std::vector<Row> rows;
    std::unordered_map<uint64_t, std::pair<int32_t, int32_t>> byNode;  // first place of each number
    std::unordered_map<uint64_t, std::vector<std::pair<int32_t, int32_t>>> moreOfNode;  // hard links
    std::unordered_map<uint64_t, size_t> movedRow;  // node of a moved item -> its row
    // Rows still to be carried out, by the path the server has them at now.
    std::multimap<std::string, size_t> pendingAt;  // moved items
    std::multimap<std::string, size_t> goneAt;     // gone items
    // Folders whose items have file rows, and (old, new) folder pairs the file rows imply.
    std::set<std::string> foldersWithRows;
    std::set<std::pair<std::string, std::string>> impliedFolderMoves;

    std::string pathOf(std::pair<int32_t, int32_t> at) const {
        const Folder& f = *walker->folders[static_cast<size_t>(at.first)];
        return f.path + "/" + f.entries[static_cast<size_t>(at.second)].name;
    }
    Entry& entryOf(std::pair<int32_t, int32_t> at) const {
        return walker->folders[static_cast<size_t>(at.first)]->entries[static_cast<size_t>(at.second)];
    }

    // Whether the volume is there and its items' identities can be told: its UUID is known for the
    // mounted device, and the resolver (the watcher) finds the volume's own root by its number.
    // Without that, a missing mount or a watcher that does not answer would look like items gone.
    // Returns why not, or "" when they can.
    std::string identityProblem() {
        uuid = timeline.context().volumes.volumeNodeToVolumeUUID(dev);
        if (uuid.empty()) return "no volume UUID is known for its device";
        auto back = platform::resolveVolPath("/.vol/" + std::to_string(dev) + "/" + std::to_string(rootIno));
        struct stat st {};
        if (back && *back != root &&
            !(::lstat(back->c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == dev &&
              st.st_ino == rootIno))
            back.reset();
        if (!back) {
            uuid.clear();
            return "the file watcher does not resolve its items' identities";
        }
        return "";
    }

    void run() {
        struct stat st {};
        if (::lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
        dev = st.st_dev;
        rootIno = st.st_ino;
        ++summary.volumes;
        std::string problem = identityProblem();
        walker =
            std::make_unique<Walker>(timeline, root, dev, rootIno, owner.options_.readers, owner.stopping_);
        walker->run();
        summary.itemsChecked += walker->items;
        if (owner.stopping_) return;
        collectUnsynchronisable();
        if (!problem.empty()) {
            ++summary.volumesWithoutIdentity;
            // A folder without a UUID of its own (an in-location folder beside the first) is expected to
            // have none; a watcher that does not answer is worth a line.
            std::string line = "Looking for unreported changes in " + root + ": " + problem +
                               ", so moves and deletes are left alone";
            if (problem.rfind("no volume UUID", 0) == 0 && timeline.context().volumes.inLocationRoot(root))
                log().logDebug(line);
            else
                log().logWarning(line);
        } else {
            indexItems();
            loadRows();
            decideRows();
        }
        rebuildIndex();
        visit(0);
        finish();
        if (problem.empty() && walker->complete) recordFolders();
    }

    void collectUnsynchronisable() {
        for (const auto& folder : walker->folders)
            for (const auto& e : folder->entries)
                if (!e.unsyncReason.empty())
                    unsynchronisable.push_back({printable(folder->path + "/" + e.name), e.unsyncReason});
        std::sort(unsynchronisable.begin(), unsynchronisable.end(),
                  [](const NotSynchronised& a, const NotSynchronised& b) { return a.path < b.path; });
        summary.notSynchronised += unsynchronisable.size();
    }

    void indexItems() {
        byNode.reserve(walker->items);
        for (size_t f = 0; f < walker->folders.size(); ++f) {
            const auto& entries = walker->folders[f]->entries;
            for (size_t i = 0; i < entries.size(); ++i) {
                std::pair<int32_t, int32_t> at{static_cast<int32_t>(f), static_cast<int32_t>(i)};
                if (!byNode.emplace(entries[i].ino, at).second) moreOfNode[entries[i].ino].push_back(at);
            }
        }
    }

    // Paths with work already waiting in the timeline (a move or delete reported, or replayed at start):
    // their database rows change when it runs, and queueing it again would do it twice.
    std::set<std::string> busyPaths() const {
        std::set<std::string> busy;
        for (const auto& event : timeline.pendingEvents()) {
            if (auto* move = dynamic_cast<TLMove*>(event.get())) {
                busy.insert(move->localPathFrom);
                busy.insert(move->localPathTo);
            } else if (auto* remove = dynamic_cast<TLDelete*>(event.get())) {
                busy.insert(remove->localPath);
            }
        }
        return busy;
    }

    static bool touches(const std::set<std::string>& busy, const std::string& path) {
        for (std::string p = path; p.size() > 1; p = platform::parentFolder(p)) {
            if (busy.count(p)) return true;
            if (p.find('/') == std::string::npos) break;
        }
        return false;
    }

    void loadRows() {
        // Waiting work is looked at before the rows are read: a move that finishes in between has then
        // either been seen waiting or already updated its row.
        auto busy = busyPaths();
        auto files = fileRows(owner.options_.metadataDatabasePath, uuid);
        auto folders = FolderTable(owner.options_.folderDatabasePath).rows(uuid);
        rows.reserve(files.size() + folders.size());
        for (auto* list : {&files, &folders})
            for (auto& r : *list) {
                if (!platform::isInsideFolder(r.path, root) || touches(busy, r.path)) continue;
                rows.push_back(std::move(r));
            }
    }

    // The item standing at `at` is the one the row describes (same kind, carrying its record).
    bool isTheRowsItem(const Row& row, std::pair<int32_t, int32_t> at) {
        Entry& e = entryOf(at);
        if ((e.kind == Kind::folder) != row.folder || e.kind == Kind::other) return false;
        if (e.zone == Zone::ignored) {
            // Not read by the walk: an item moved out of the synchronised part is examined here.
            auto text = platform::getXattr(pathOf(at), CorvaneExtendedAttributes::xAttrName,
                                           CorvaneExtendedAttributes::kMaxAttributeSize);
            if (text && platform::isValidUtf8(*text)) {
                e.hasRecord = true;
                e.record = *text;
                e.state = stateOf(CorvaneExtendedAttributes(std::string(), *text), e.ino);
            }
        }
        // A number a new item took over (file systems that reuse them) comes without the record.
        return e.state != S::Unknown;
    }

    void decideRows() {
        for (size_t i = 0; i < rows.size(); ++i) {
            Row& row = rows[i];
            row.current = row.path;
            auto found = byNode.find(row.node);
            if (found == byNode.end()) {
                if (walker->complete) {
                    row.fate = Row::Fate::gone;
                } else {
                    // Part of the volume could not be read: ask where the item is before calling it gone.
                    bool somewhere = platform::pathOfItem(dev, row.node, row.path).has_value();
                    row.fate = somewhere ? Row::Fate::leftAlone : Row::Fate::gone;
                }
                continue;
            }
            std::vector<std::pair<int32_t, int32_t>> places{found->second};
            if (auto more = moreOfNode.find(row.node); more != moreOfNode.end())
                places.insert(places.end(), more->second.begin(), more->second.end());
            bool stays = false;
            for (auto at : places) stays = stays || pathOf(at) == row.path;
            if (stays) continue;
            auto at = places.front();
            if (!isTheRowsItem(row, at)) {
                row.fate = Row::Fate::gone;
                continue;
            }
            if (entryOf(at).zone == Zone::unsynchronisable) {
                // Moved where it cannot be synchronised: the server keeps it where it was.
                row.fate = Row::Fate::leftAlone;
                continue;
            }
            row.fate = Row::Fate::moved;
            row.at = at;
            movedRow[row.node] = i;
        }
        // What the file rows say about folders: a file moved from a/F/x to b/G/x implies F went to G.
        bool folderMoves = false;
        for (const auto& row : rows)
            folderMoves = folderMoves || (row.folder && row.fate == Row::Fate::moved);
        if (!folderMoves) return;
        for (const auto& row : rows) {
            if (row.folder) continue;
            std::string now;
            if (row.fate == Row::Fate::moved) {
                now = pathOf(row.at);
            } else if (row.fate == Row::Fate::unchanged) {
                now = row.path;
            } else {
                continue;
            }
            for (std::string p = platform::parentFolder(now); platform::isInsideFolder(p, root);
                 p = platform::parentFolder(p))
                foldersWithRows.insert(p);
            if (row.fate != Row::Fate::moved) continue;
            std::string from = row.path, to = now;
            while (platform::lastPathComponent(from) == platform::lastPathComponent(to)) {
                from = platform::parentFolder(from);
                to = platform::parentFolder(to);
                if (!platform::isInsideFolder(from, root) || !platform::isInsideFolder(to, root) ||
                    from == to)
                    break;
                impliedFolderMoves.emplace(from, to);
            }
        }
    }

    // A folder known at another path is moved on the server only when the server still has it there:
    // its files' rows still name the old place, or it holds no file the rows know. A folder whose files
    // already moved was moved by a reported rename since the scan last looked, and moving it again would
    // only send its content once more.
    bool folderMoveNeeded(const Row& row, const std::string& now) const {
        if (impliedFolderMoves.count({row.path, now})) return true;
        return foldersWithRows.count(now) == 0;
    }

    // Re-keys the waiting rows after a folder move: what stood under `from` on the server is under `to`.
    void followFolderMove(const std::string& from, const std::string& to) {
        for (auto* index : {&pendingAt, &goneAt}) {
            std::vector<size_t> moved;
            for (auto it = index->lower_bound(from); it != index->end();) {
                if (it->first != from && !platform::isInsideFolder(it->first, from)) {
                    if (it->first.compare(0, from.size(), from) != 0) break;
                    ++it;  // a sibling whose name only starts like the folder's
                    continue;
                }
                moved.push_back(it->second);
                it = index->erase(it);
            }
            for (size_t i : moved) {
                Row& r = rows[i];
                r.current = to + r.current.substr(from.size());
                index->emplace(r.current, i);
            }
        }
    }

    void rebuildIndex() {
        pendingAt.clear();
        goneAt.clear();
        for (size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].done) continue;
            if (rows[i].fate == Row::Fate::moved) pendingAt.emplace(rows[i].current, i);
            if (rows[i].fate == Row::Fate::gone) goneAt.emplace(rows[i].current, i);
        }
    }

    void eraseFrom(std::multimap<std::string, size_t>& index, size_t i) {
        auto [first, last] = index.equal_range(rows[i].current);
        for (auto it = first; it != last; ++it)
            if (it->second == i) {
                index.erase(it);
                return;
            }
    }

    // The record the databases kept of an item that is gone, for its delete.
    CorvaneExtendedAttributes recordOfRow(const Row& row, const std::string& path) const {
        CorvaneExtendedAttributes record(path, std::string());
        if (!row.revision.empty()) record.ceaString.setAttribute(CEAString::keys::Revision, row.revision);
        record.ceaString.setAttribute(CEAString::keys::FileType,
                                      row.folder ? platform::kFileTypeDirectory : platform::kFileTypeRegular);
        record.ceaStatus.status = CEAStatus::fromRaw(row.state).value_or(S::Regular);
        record.volumeNumber = dev;
        record.fileNumber = row.node;
        return record;
    }

    CorvaneExtendedAttributes recordOfItem(const Entry& e, const std::string& path) const {
        CorvaneExtendedAttributes record(path, e.hasRecord ? e.record : std::string());
        record.volumeNumber = dev;
        record.fileNumber = e.ino;
        return record;
    }

    void queueDelete(size_t i, const std::string& path) {
        Row& row = rows[i];
        eraseFrom(goneAt, i);
        row.done = true;
        if (log().enabled(Logger::logLevels::debug))
            log().logDebug("Unreported delete of " + path + " found; deleting it on the server");
        timeline.addDeleteEvent(path, recordOfRow(row, path));
        ++summary.deletes;
    }

    void queueMove(const std::string& from, const std::string& to, const CorvaneExtendedAttributes& record,
                   bool folder) {
        if (log().enabled(Logger::logLevels::debug))
            log().logDebug("Unreported move of " + from + " to " + to + " found; moving it on the server");
        timeline.addMoveEvent(from, to, record);
        ++summary.moves;
        if (folder) followFolderMove(from, to);
    }

    // Something is about to be put at `path` on the server: an item the server has there that moves
    // elsewhere later (a swap, a chain of renames, a new item under a renamed one's old name) is moved
    // aside first, so nothing is ever sent over it.
    void clearPath(const std::string& path, size_t except) {
        auto [first, last] = pendingAt.equal_range(path);
        std::vector<size_t> blockers;
        for (auto it = first; it != last; ++it)
            if (it->second != except) blockers.push_back(it->second);
        for (size_t i : blockers) {
            Row& blocker = rows[i];
            std::string aside = path + kMovingAside;
            if (timeline.inIgnoreList(aside) || exists(aside)) continue;
            Entry& e = entryOf(blocker.at);
            eraseFrom(pendingAt, i);
            queueMove(blocker.current, aside, recordOfItem(e, pathOf(blocker.at)), blocker.folder);
            blocker.current = aside;
            pendingAt.emplace(aside, i);
        }
    }

    // Before anything new stands at `path` on the server, the item the user removed there goes: its delete
    // hands the server's item over to a new file of the same name rather than removing it.
    void replaceGone(const std::string& path) {
        auto [first, last] = goneAt.equal_range(path);
        std::vector<size_t> gone;
        for (auto it = first; it != last; ++it) gone.push_back(it->second);
        for (size_t i : gone) queueDelete(i, path);
    }

    void visit(size_t folderIndex) {
        Folder& folder = *walker->folders[folderIndex];
        for (size_t i = 0; i < folder.entries.size(); ++i) {
            if (owner.stopping_) return;
            Entry& e = folder.entries[i];
            if (e.zone == Zone::unsynchronisable)
                continue;  // nothing inside is sent, and nothing moved there
            if (e.kind == Kind::other) continue;
            std::string path = folder.path + "/" + e.name;
            std::optional<size_t> moved;
            if (auto it = movedRow.find(e.ino); it != movedRow.end()) {
                const Row& r = rows[it->second];
                if (r.at ==
                    std::pair<int32_t, int32_t>{static_cast<int32_t>(folderIndex), static_cast<int32_t>(i)})
                    moved = it->second;
            }
            bool isNew = e.zone == Zone::synced && !moved && e.state == S::Unknown;
            if (moved) {
                Row& row = rows[*moved];
                if (row.current != path && (!row.folder || folderMoveNeeded(row, path))) {
                    replaceGone(path);
                    clearPath(path, *moved);
                    eraseFrom(pendingAt, *moved);
                    row.done = true;
                    queueMove(row.current, path, recordOfItem(e, path), row.folder);
                } else {
                    eraseFrom(pendingAt, *moved);
                    row.done = true;
                }
            } else if (isNew) {
                replaceGone(path);
                clearPath(path, rows.size());
            }
            if (e.zone == Zone::synced) act(e, path);
            if (e.folder >= 0) visit(static_cast<size_t>(e.folder));
        }
    }

    // The upload or creation the item needs on its own account.
    void act(const Entry& e, const std::string& path) {
        if (e.kind == Kind::folder) {
            if (e.state != S::Unknown || timeline.context().volumes.inLocationRoot(path)) return;
            timeline.addCreateFolder(path, true);
            ++summary.folderCreations;
            return;
        }
        if (e.kind != Kind::file) return;
        if (e.state == S::Unknown || (e.state == S::Regular && e.changed)) {
            if (log().enabled(Logger::logLevels::debug))
                log().logDebug("Unreported change of " + path + " found; uploading it");
            timeline.addCloseEvent(path);
            ++summary.uploads;
        } else if (e.state == S::RequireUpload) {
            timeline.addUploadEvent(path);
            ++summary.uploads;
        }
    }

    // Deletes of items that are nowhere now, files first and folders from the deepest: a folder on the
    // server can only go once what it held is gone.
    void finish() {
        if (owner.stopping_) return;
        std::vector<size_t> files, folders;
        for (const auto& [path, i] : goneAt) (rows[i].folder ? folders : files).push_back(i);
        std::stable_sort(folders.begin(), folders.end(), [this](size_t a, size_t b) {
            return std::count(rows[a].current.begin(), rows[a].current.end(), '/') >
                   std::count(rows[b].current.begin(), rows[b].current.end(), '/');
        });
        bool anyItem = walker->items != 0;
        for (auto* list : {&files, &folders})
            for (size_t i : *list) {
                std::string path = rows[i].current;
                // Something stands there that the scan did not send (ignored, or unsynchronisable): the
                // server's item stays.
                if (exists(path)) continue;
                // An empty volume is far more likely one that is not really there than one the user
                // emptied while nobody watched.
                if (!anyItem) continue;
                queueDelete(i, path);
            }
        if (!anyItem && !goneAt.empty())
            log().logWarning("Looking for unreported changes in " + root +
                             ": the volume is empty, so its items are not deleted on the server");
    }

    // This scan's record of the volume's synchronised folders, for the next one.
    void recordFolders() {
        std::vector<std::tuple<uint64_t, std::string, std::string>> folders;
        for (const auto& folder : walker->folders) {
            if (folder->zone != Zone::synced) continue;
            for (const auto& e : folder->entries)
                if (e.kind == Kind::folder && e.zone == Zone::synced && e.state != S::LocalOnly)
                    folders.emplace_back(e.ino, folder->path + "/" + e.name, CEAStatus::rawValue(e.state));
        }
        FolderTable(owner.options_.folderDatabasePath).replace(uuid, folders);
    }
};

// ---- the scan

ChangeScan::ChangeScan(Options options) : options_(std::move(options)), alive_(std::make_shared<Alive>()) {
    alive_->self = this;
    if (!options_.roots)
        options_.roots = [timeline = options_.timeline] {
            return timeline->context().volumes.activeVolumesList();
        };
    if (!options_.schedule) {
        TimeLineManager* timeline = options_.timeline;
        options_.schedule = [timeline](std::function<void()> block) {
            timeline->syncQueue().addOperation(std::move(block),
                                               platform::OperationQueue::Priority::veryHigh);
        };
    }
}

ChangeScan::~ChangeScan() {
    stop();
    // A scheduled scan running now ends within a folder; one not yet started finds nobody.
    std::lock_guard lock(alive_->mutex);
    alive_->self = nullptr;
    std::lock_guard scanning(scanMutex_);
}

void ChangeScan::stop() {
    stopping_ = true;
}

void ChangeScan::request(const std::string& folder) {
    if (stopping_) return;
    std::lock_guard lock(mutex_);
    if (folder.empty())
        wantAll_ = true;
    else
        wanted_.insert(folder);
    if (scheduled_) return;  // the scan waiting (or the one after the running one) takes it
    scheduled_ = true;
    scheduleLocked();
}

void ChangeScan::scheduleLocked() {
    // The block may run after this object is gone (a queue that outlives it): it finds out through the
    // shared liveness, whose mutex it holds while it runs, so destruction waits for a running scan.
    options_.schedule([alive = alive_] {
        std::lock_guard lock(alive->mutex);
        if (alive->self) alive->self->runRequested();
    });
}

void ChangeScan::runRequested() {
    bool all = false;
    std::set<std::string> folders;
    {
        std::lock_guard lock(mutex_);
        all = wantAll_;
        folders.swap(wanted_);
        wantAll_ = false;
    }
    if (!stopping_) {
        if (all) {
            scan();
        } else {
            // Each volume once, however many of its folders were named.
            std::set<std::string> roots;
            auto known = options_.roots();
            for (const auto& f : folders)
                for (const auto& r : known)
                    if (f == r || platform::isInsideFolder(f, r)) roots.insert(r);
            std::lock_guard lock(scanMutex_);
            auto summary = scanRoots({roots.begin(), roots.end()});
            std::lock_guard state(mutex_);
            last_ = summary;
        }
    }
    std::lock_guard lock(mutex_);
    if (!stopping_ && (wantAll_ || !wanted_.empty())) {
        // Asked for while it ran: one more scan, after the listings and scans queued meanwhile.
        scheduleLocked();
        return;
    }
    scheduled_ = false;
    idle_.notify_all();
}

ChangeScan::Summary ChangeScan::scan(const std::string& folder) {
    std::lock_guard lock(scanMutex_);
    std::vector<std::string> roots;
    for (const auto& r : options_.roots())
        if (folder.empty() || folder == r || platform::isInsideFolder(folder, r)) roots.push_back(r);
    auto summary = scanRoots(roots);
    std::lock_guard state(mutex_);
    last_ = summary;
    if (folder.empty() && !stopping_) {
        // A volume no longer synchronised has nothing to show any more.
        std::erase_if(unsynchronisable_, [&](const auto& entry) {
            return std::find(roots.begin(), roots.end(), entry.first) == roots.end();
        });
    }
    return summary;
}

ChangeScan::Summary ChangeScan::scanRoots(const std::vector<std::string>& roots) {
    Summary summary;
    auto started = Clock::now();
    for (const auto& root : roots) {
        if (stopping_) break;
        scanRoot(root, summary);
    }
    summary.elapsed = Clock::now() - started;
    ++scansCompleted_;
    if (summary.queued() != 0 || summary.notSynchronised != 0)
        log().logWarning("Looking for unreported changes: " + std::to_string(summary.itemsChecked) +
                         " items checked, " + std::to_string(summary.uploads) + " uploads, " +
                         std::to_string(summary.folderCreations) + " folder creations, " +
                         std::to_string(summary.moves) + " moves and " + std::to_string(summary.deletes) +
                         " deletes queued; " + std::to_string(summary.notSynchronised) +
                         " items cannot be synchronised");
    else
        log().logDebug("Looking for unreported changes: " + std::to_string(summary.itemsChecked) +
                       " items checked, nothing missed");
    return summary;
}

void ChangeScan::scanRoot(const std::string& root, Summary& summary) {
    RootScan scan(*this, root, summary);
    scan.run();
    if (stopping_) return;
    std::vector<NotSynchronised> fresh;
    std::lock_guard lock(mutex_);
    for (const auto& item : scan.unsynchronisable)
        if (warned_.insert(item.path).second) fresh.push_back(item);
    auto it = std::find_if(unsynchronisable_.begin(), unsynchronisable_.end(),
                           [&](const auto& entry) { return entry.first == root; });
    if (it == unsynchronisable_.end())
        unsynchronisable_.emplace_back(root, std::move(scan.unsynchronisable));
    else
        it->second = std::move(scan.unsynchronisable);
    for (const auto& item : fresh)
        log().logWarning("Cannot synchronise " + item.path + ": " + item.reason +
                         "; it stays on this computer only");
}

bool ChangeScan::waitUntilIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, timeout, [this] { return !scheduled_; });
}

ChangeScan::Summary ChangeScan::lastSummary() const {
    std::lock_guard lock(mutex_);
    return last_;
}

std::string ChangeScan::printablePath(const std::string& path) {
    return printable(path);
}

std::string ChangeScan::whyNotSynchronisable(const std::string& path) {
    if (path.size() >= kMaxPathBytes)
        return "its path is " + std::to_string(kMaxPathBytes) + " bytes or longer";
    if (!platform::isValidUtf8(path)) return "its name is not valid UTF-8";
    if (!ServerCommunicator::pathFitsServer(path)) return kNameTooLongForServer;
    return "";
}

std::vector<ChangeScan::NotSynchronised> ChangeScan::notSynchronised() const {
    std::vector<NotSynchronised> out;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [root, items] : unsynchronisable_) out.insert(out.end(), items.begin(), items.end());
    }
    std::sort(out.begin(), out.end(),
              [](const NotSynchronised& a, const NotSynchronised& b) { return a.path < b.path; });
    return out;
}

}  // namespace tw
