#define FUSE_USE_VERSION 312
#include "Larkspur/FuseMount.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "Larkspur/Log.h"
#include "platform/casefold.h"
#include "platform/process.h"
#include "platform/utf8.h"

#if defined(__SANITIZE_THREAD__)
#define GW_THREAD_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define GW_THREAD_CHECKED 1
#endif
#endif

namespace gw {

using tw::platform::UniqueFd;
using namespace tw::pw;

namespace {
// Seconds the kernel may cache attributes and names. Longer would spare the lookup that revalidates a
// name on every unlink more than a second after its create, but an image's content folder can be
// changed beside the mount, and such changes must show within a second.
constexpr double kAttrTimeout = 1.0;
constexpr std::size_t kSearchBudget = 1000000;  // entries the resolver walks before giving up

std::string procPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// The number the mount reports for an item. Backing file systems hand a freed inode number to the next
// file made (ext4 does so at once), so within a burst of deletes and creates two files would share one
// number, and the application would take the new file for the old one. The number keeps the backing
// inode number in its low 32 bits and a digest of the item's file handle, which holds the inode's
// generation, above it: stable for as long as the item exists (across remounts too), different for a
// file that only reuses the inode. Inode numbers past 32 bits, and file systems without handles, are
// reported as they are.
std::uint64_t itemNumber(int pathFd, std::uint64_t ino) {
    if (ino > 0xffffffffULL) return ino;
    alignas(struct file_handle) unsigned char storage[sizeof(struct file_handle) + MAX_HANDLE_SZ] = {};
    auto* handle = reinterpret_cast<struct file_handle*>(storage);
    handle->handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    if (name_to_handle_at(pathFd, "", handle, &mountId, AT_EMPTY_PATH) != 0) return ino;
    std::uint32_t digest = 2166136261u;  // FNV-1a over the handle's type and bytes
    auto mix = [&](unsigned char b) { digest = (digest ^ b) * 16777619u; };
    for (int i = 0; i < 4; ++i) mix(static_cast<unsigned char>(handle->handle_type >> (8 * i)));
    // Read from the storage itself: the compiler sees `f_handle` as an array of no length.
    const unsigned char* bytes = storage + offsetof(struct file_handle, f_handle);
    for (unsigned i = 0; i < handle->handle_bytes && i < MAX_HANDLE_SZ; ++i) mix(bytes[i]);
    // 31 bits: the number stays a positive signed 64-bit value, as databases store it.
    digest &= 0x7fffffffu;
    if (digest == 0) digest = 1;
    return (static_cast<std::uint64_t>(digest) << 32) | ino;
}

std::optional<std::string> readLink(const std::string& path) {
    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0) return std::nullopt;
        if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
        if (buf.size() > (1u << 20)) return std::nullopt;
        buf.resize(buf.size() * 2);
    }
}

// File systems whose files have no flush operation: closing a descriptor of theirs always succeeds and
// does nothing a later release does not, so a close on the mount need not wait for a flush request.
bool closeIsTrivialOn(int fd) {
    struct statfs sf;
    if (fstatfs(fd, &sf) < 0) return false;
    switch (static_cast<unsigned long>(sf.f_type)) {
        case 0xEF53UL:      // ext2, ext3, ext4
        case 0x58465342UL:  // xfs
        case 0x9123683EUL:  // btrfs
        case 0x01021994UL:  // tmpfs
            return true;
        default:
            return false;
    }
}

// The mount's entry in /proc/self/mountinfo gives its device number without asking the mount itself.
dev_t mountDevice(const std::string& mountPoint) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    dev_t found = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, majmin, root, point;
        fields >> id >> parent >> majmin >> root >> point;
        std::string decoded;
        for (size_t i = 0; i < point.size(); ++i) {
            if (point[i] == '\\' && i + 3 < point.size()) {
                decoded.push_back(static_cast<char>(std::stoi(point.substr(i + 1, 3), nullptr, 8)));
                i += 3;
            } else {
                decoded.push_back(point[i]);
            }
        }
        if (decoded != mountPoint) continue;
        unsigned ma = 0, mi = 0;
        if (sscanf(majmin.c_str(), "%u:%u", &ma, &mi) == 2)
            found = makedev(ma, mi);  // last one wins: the top mount
    }
    return found;
}

// A request to create carries the caller's mode and umask; the daemon's own umask must not narrow the
// result further. Each worker thread takes a file-system context of its own (umask, working folder)
// with a umask of 0, so the daemon's other threads, which make mount points, keep the process's mask.
// False when the thread could not (a sandbox refusing unshare): the caller then sets the mode itself.
bool workerUmaskCleared() {
    thread_local const bool cleared = [] {
        if (::unshare(CLONE_FS) != 0) {
            static std::atomic<bool> warned{false};
            if (!warned.exchange(true))
                GW_WARN("Cannot give FUSE workers a umask of their own (%s); modes are set after creating",
                        strerror(errno));
            return false;
        }
        ::umask(0);
        return true;
    }();
    return cleared;
}

// The mode a request asks for, less the caller's umask.
mode_t requestedMode(fuse_req_t req, mode_t mode) {
    return mode & ~(fuse_req_ctx(req)->umask & 07777);
}

}  // namespace

struct FuseMount::Inode {
    UniqueFd fd;  // O_PATH descriptor of the backing item
    ino_t ino = 0;
    dev_t dev = 0;
    std::uint64_t number = 0;   // what the mount reports as its inode number (itemNumber)
    std::uint64_t nlookup = 0;  // guarded by inodesMutex_
};

struct FuseMount::Handle {
    UniqueFd fd;
    std::atomic<bool> modified{false};
    pid_t opener = 0;  // process that opened it; 0 when unknown
};

struct FuseMount::DirHandle {
    std::unique_ptr<DIR, int (*)(DIR*)> dp{nullptr, closedir};
    off_t offset = 0;
    dirent* entry = nullptr;
};

void FuseMount::SessionDeleter::operator()(fuse_session* se) const {
    fuse_session_destroy(se);
}

FuseMount::FuseMount(Brindle& filter, UniqueFd backing, MountOptions options)
    : filter_(filter), options_(std::move(options)), root_(std::make_unique<Inode>()) {
    root_->fd = std::move(backing);
    root_->nlookup = 2;
}

FuseMount::Inode& FuseMount::inodeOf(std::uint64_t nodeid) {
    if (nodeid == FUSE_ROOT_ID) return *root_;
    return *reinterpret_cast<Inode*>(static_cast<uintptr_t>(nodeid));
}

std::uint64_t FuseMount::remember(UniqueFd fd, const struct stat& st) {
    std::lock_guard lock(inodesMutex_);
    if (st.st_ino == root_->ino && st.st_dev == root_->dev) return FUSE_ROOT_ID;
    auto& slot = inodes_[{st.st_ino, st.st_dev}];
    if (!slot) {
        slot = std::make_unique<Inode>();
        slot->fd = std::move(fd);
        slot->ino = st.st_ino;
        slot->dev = st.st_dev;
        slot->number = itemNumber(slot->fd.get(), st.st_ino);
        byNumber_.emplace(slot->number, slot.get());
    }
    slot->nlookup++;
    return reinterpret_cast<uintptr_t>(slot.get());
}

void FuseMount::forget(std::uint64_t nodeid, std::uint64_t count) {
    if (nodeid == FUSE_ROOT_ID) return;
    std::lock_guard lock(inodesMutex_);
    Inode& inode = inodeOf(nodeid);
    if (inode.nlookup > count) {
        inode.nlookup -= count;
        return;
    }
    auto [first, last] = byNumber_.equal_range(inode.number);
    for (auto it = first; it != last; ++it)
        if (it->second == &inode) {
            byNumber_.erase(it);
            break;
        }
    inodes_.erase({inode.ino, inode.dev});
}

std::mutex& FuseMount::nameLock(std::uint64_t folderNode) {
    return nameLocks_[inodeOf(folderNode).ino % nameLocks_.size()];
}

void FuseMount::noteBackingGone() {
    struct stat st;
    if (fstat(root_->fd.get(), &st) == 0 && st.st_nlink > 0) return;
    if (!backingGoneLogged_.exchange(true))
        GW_ERROR("The backing folder of %s has disappeared; its items cannot be reached",
                 options_.mountPoint.c_str());
}

std::optional<std::string> FuseMount::translate(const std::string& backingPath) const {
    if (backingPath == backingRoot_) return options_.mountPoint;
    if (backingPath.size() > backingRoot_.size() &&
        backingPath.compare(0, backingRoot_.size(), backingRoot_) == 0 &&
        backingPath[backingRoot_.size()] == '/')
        return options_.mountPoint + backingPath.substr(backingRoot_.size());
    return std::nullopt;
}

std::optional<std::string> FuseMount::mountPathOf(int fd) {
    if (fd == root_->fd.get()) return options_.mountPoint;
    auto link = readLink(procPath(fd));
    if (!link) return std::nullopt;
    struct stat st;
    if (fstat(fd, &st) != 0) return translate(*link);
    if (st.st_nlink == 0) return std::nullopt;  // deleted
    // The name it was reached by was removed while another hard link keeps it: the kernel names the
    // removed one, marked " (deleted)". Unless an item of exactly that name is this one, the path is
    // stale and the item must be looked for by its number.
    static constexpr std::string_view kDeleted = " (deleted)";
    if (link->size() > kDeleted.size() && link->ends_with(kDeleted)) {
        struct stat named;
        if (::lstat(link->c_str(), &named) != 0 || named.st_ino != st.st_ino || named.st_dev != st.st_dev)
            return std::nullopt;
    }
    return translate(*link);
}

std::optional<std::string> FuseMount::childPath(std::uint64_t parent, const char* name) {
    auto p = mountPathOf(inodeOf(parent).fd.get());
    if (!p) return std::nullopt;
    return *p + "/" + name;
}

UniqueFd FuseMount::parentOf(int fd) {
    auto link = readLink(procPath(fd));
    if (!link || link->size() <= backingRoot_.size() + 1 ||
        link->compare(0, backingRoot_.size(), backingRoot_) != 0 || (*link)[backingRoot_.size()] != '/')
        return UniqueFd();
    std::string relative = link->substr(backingRoot_.size() + 1);
    auto slash = relative.find_last_of('/');
    std::string folder = slash == std::string::npos ? std::string(".") : relative.substr(0, slash);
    // From the backing root's descriptor: the path under the mount point would lead into the mount.
    return UniqueFd(::openat(root_->fd.get(), folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

bool FuseMount::stillMounted() const {
    // Without its device number the mount cannot be told from another one there: assume it is ours.
    return device_ == 0 || mountDevice(resolvedMountPoint_) == device_;
}

// The records the filter decides by when the application cannot answer, read from the backing folder
// only when a decision needs them. The item is given by its descriptor, or by its name in `folderFd`
// (it may not exist yet); the folder by its descriptor, or found from the item's.
struct FuseMount::Records final : ItemRecords {
    Records(FuseMount& m, int itemFd, int folderFd, const char* name)
        : m_(m), itemFd_(itemFd), folderFd_(folderFd), name_(name) {}

    ItemRecord item() override {
        if (!item_) {
            if (itemFd_ >= 0) {
                item_ = readItemRecord(itemFd_);
            } else if (folderFd_ >= 0 && name_) {
                UniqueFd fd(::openat(folderFd_, name_, O_PATH | O_NOFOLLOW | O_CLOEXEC));
                item_ = fd ? readItemRecord(fd.get()) : ItemRecord{};
            } else {
                item_ = ItemRecord{};
            }
        }
        return *item_;
    }
    ItemRecord folder() override {
        if (!folder_) {
            if (folderFd_ >= 0) {
                folder_ = readItemRecord(folderFd_);
            } else if (itemFd_ >= 0) {
                UniqueFd parent = m_.parentOf(itemFd_);
                folder_ = parent ? readItemRecord(parent.get()) : ItemRecord{};
            } else {
                folder_ = ItemRecord{};
            }
        }
        return *folder_;
    }

    std::optional<std::string> announcement() override {
        UniqueFd opened;
        int fd = itemFd_;
        if (fd < 0 && folderFd_ >= 0 && name_) {
            opened.reset(::openat(folderFd_, name_, O_PATH | O_NOFOLLOW | O_CLOEXEC));
            fd = opened.get();
        }
        if (fd < 0) return std::nullopt;
        struct stat st;
        if (fstat(fd, &st) < 0) return std::nullopt;
        std::string text =
            std::to_string(m_.device_) + " " + std::to_string(itemNumber(fd, st.st_ino)) + "\n";
        char record[kPathFieldSize];
        ssize_t n = ::getxattr(procPath(fd).c_str(), "user.com.meridot.tidewell", record, sizeof record);
        // A record longer than a field cannot be carried: the delete is asked about instead. Any other
        // failure is an item without a record, as the filter reads it.
        if (n < 0 && errno == ERANGE) return std::nullopt;
        if (n > 0) text.append(record, static_cast<size_t>(n));
        // The report's field must keep its terminator.
        if (text.size() >= kPathFieldSize || text.find('\0') != std::string::npos) return std::nullopt;
        return text;
    }

private:
    FuseMount& m_;
    int itemFd_;
    int folderFd_;
    const char* name_;
    std::optional<ItemRecord> item_, folder_;
};

bool FuseMount::searchInode(int dirFd, std::uint64_t number, const std::string& relative, std::string& found,
                            std::size_t& budget) {
    UniqueFd dfd(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dfd) return false;
    std::unique_ptr<DIR, int (*)(DIR*)> dp(fdopendir(dfd.get()), closedir);
    if (!dp) return false;
    dfd.release();
    std::vector<std::string> subdirs;
    const std::uint64_t low = number & 0xffffffffULL;
    while (dirent* e = readdir(dp.get())) {
        if (budget == 0) return false;
        --budget;
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        bool match = e->d_ino == number;
        if (!match && e->d_ino == low) {
            // The inode number matches; whether the item is the one that was numbered, its handle says.
            UniqueFd item(::openat(dirfd(dp.get()), e->d_name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
            match = item && itemNumber(item.get(), e->d_ino) == number;
        }
        if (match) {
            found = relative + "/" + e->d_name;
            return true;
        }
        if (e->d_type == DT_DIR) subdirs.emplace_back(e->d_name);
    }
    for (const auto& s : subdirs) {
        UniqueFd sub(::openat(dirfd(dp.get()), s.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub && searchInode(sub.get(), number, relative + "/" + s, found, budget)) return true;
    }
    return false;
}

void FuseMount::noteGone(std::uint64_t number) {
    std::lock_guard lock(goneMutex_);
    if (!gone_.insert(number).second) return;
    goneOrder_.push_back(number);
    if (goneOrder_.size() > kMaxGone) {
        gone_.erase(goneOrder_.front());
        goneOrder_.pop_front();
    }
}

bool FuseMount::knownGone(std::uint64_t number) {
    std::lock_guard lock(goneMutex_);
    return gone_.count(number) != 0;
}

std::optional<std::string> FuseMount::pathOfInode(std::uint64_t number) {
    if (number == root_->number) return options_.mountPoint;
    int fd = -1;
    UniqueFd dupFd;
    {
        std::lock_guard lock(inodesMutex_);
        auto found = byNumber_.find(number);
        if (found != byNumber_.end()) {
            dupFd.reset(fcntl(found->second->fd.get(), F_DUPFD_CLOEXEC, 0));
            fd = dupFd.get();
        }
    }
    if (fd >= 0) {
        if (auto p = mountPathOf(fd)) return p;
    }
    if (knownGone(number)) return std::nullopt;
    // Not looked up since the mount began: walk the backing folder.
    std::string rel;
    std::size_t budget = kSearchBudget;
    if (searchInode(root_->fd.get(), number, "", rel, budget)) return options_.mountPoint + rel;
    return std::nullopt;
}

// ---- FUSE operations ------------------------------------------------------------------------------

struct FuseMount::Ops {
    static FuseMount& self(fuse_req_t req) { return *static_cast<FuseMount*>(fuse_req_userdata(req)); }
    static Caller caller(fuse_req_t req) { return Caller::fromThread(fuse_req_ctx(req)->pid); }

    static bool detached(FuseMount& m) { return m.detached_.load(std::memory_order_acquire); }

    // The filter's decision on an operation at `path`: through the application while the volume is in
    // the tree, from the records alone once it was ejected.
    static int check(FuseMount& m, Access a, Caller& c, const std::string& path, Records& records) {
        if (detached(m)) return m.filter_.decideWithoutApplication(a, c, path, &records, "volume ejected");
        return m.filter_.BrindleActiveListener(a, c, path, &records);
    }

    static void report(FuseMount& m, ReceiveActions op, Caller& c, const std::string& path1,
                       const std::string& path2) {
        if (!detached(m)) m.filter_.BrindlePassiveListener(op, c, path1, path2);
    }

    // Refuses a new name that the application could never synchronise. With `mayExist`, an entry that
    // already has the name keeps its usual meaning (EEXIST, or being opened): items made before, or
    // beside the mount, are left as they are.
    static int newNameRefusal(FuseMount& m, Caller& c, int dirFd, const char* name, const std::string& path,
                              bool mayExist) {
        if (tw::platform::isValidUtf8(name) && path.size() < kPathFieldSize) return 0;
        struct stat st;
        if (mayExist && fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) return 0;
        return m.filter_.refusesNewName(c, path, name);
    }

    static int fillEntry(FuseMount& m, std::uint64_t parent, const char* name, fuse_entry_param& e) {
        memset(&e, 0, sizeof e);
        e.entry_timeout = kAttrTimeout;
        UniqueFd fd(::openat(m.inodeOf(parent).fd.get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) return errno;
        if (fstatat(fd.get(), "", &e.attr, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) < 0) return errno;
        e.attr_timeout = cacheTime(e.attr);
        e.ino = m.remember(std::move(fd), e.attr);
        e.attr.st_ino = m.inodeOf(e.ino).number;
        return 0;
    }

    // How long the kernel may keep `st`. An empty file may be a placeholder, or become one: the
    // application writes records in the backing folder, not through the mount, so the kernel would
    // not learn of it, and would show the size of nothing where the server's content stands.
    static double cacheTime(const struct stat& st) {
        return S_ISREG(st.st_mode) && st.st_size == 0 ? 0 : kAttrTimeout;
    }

    static void init(void*, fuse_conn_info* conn) {
        conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
        // The kernel hands over the caller's umask with each create instead of applying it, so the
        // mode is applied once, by us, without the daemon's own mask on top.
        if (conn->capable & FUSE_CAP_DONT_MASK) conn->want |= FUSE_CAP_DONT_MASK;
        // The mount is the only writer of its backing folder (an in-place folder is hidden under it,
        // an image's content belongs to it), so pages cached through it stay true: no invalidation
        // on every change of modification time.
        conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
        conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;  // writes must reach us through the handle that made them
        // Requests and replies move through a pipe without being copied into our memory (splice), but only
        // when the pipe holds a whole one: a request of max_write plus its header must fit the 1 MiB an
        // unprivileged pipe may grow to. At 1 MiB the library silently copies everything instead, which
        // costs reads that miss the page cache a third of their speed; 512 KiB requests cost writes nothing
        // measurable.
        conn->max_write = 512 * 1024;
        conn->max_readahead = 1024 * 1024;
#ifdef GW_THREAD_CHECKED
        // The thread checker learns that a request follows the reply it depends on (a node id or handle
        // made by one worker, used by another) from our reads and writes of the device. Spliced traffic
        // hides that order, and every such hand-over would look like a race.
        conn->want &= ~(FUSE_CAP_SPLICE_READ | FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
#else
        if (conn->capable & FUSE_CAP_SPLICE_WRITE) conn->want |= FUSE_CAP_SPLICE_WRITE;
        if (conn->capable & FUSE_CAP_SPLICE_MOVE) conn->want |= FUSE_CAP_SPLICE_MOVE;
#endif
    }

    // A placeholder holds no bytes here, yet every program but the application sees the size of the
    // content it stands for, as it will be once opened; `du` still sees the blocks it takes: none. The
    // kernel keeps one copy of an item's attributes for every caller, so a placeholder's are not kept:
    // the application, whose checks compare sizes with the server's, must go on seeing the local truth.
    // Returns how long the kernel may keep `st`.
    static double presented(FuseMount& m, fuse_req_t req, int fd, struct stat& st) {
        if (cacheTime(st) != 0) return kAttrTimeout;
        ItemRecord record = readItemRecord(fd);
        if (record.content != ItemRecord::Content::notLocal) return 0;
        Caller c = caller(req);
        if (!m.filter_.seesLocalTruth(c)) st.st_size = static_cast<off_t>(record.serverSize);
        return 0;
    }

    static void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
        fuse_entry_param e;
        FuseMount& m = self(req);
        int err = fillEntry(m, parent, name, e);
        if (err == ENOENT || err == ESTALE) m.noteBackingGone();
        if (err == ENOENT) {
            // Kept by the kernel as a name known not to exist, for as long as an entry: programs look
            // for the same missing names again and again (git for every ignore file and lock). Every
            // change of the folder's names goes through this mount, which drops such an entry itself.
            memset(&e, 0, sizeof e);
            e.entry_timeout = kAttrTimeout;
            return (void)fuse_reply_entry(req, &e);
        }
        if (err) return (void)fuse_reply_err(req, err);
        e.attr_timeout = presented(m, req, m.inodeOf(e.ino).fd.get(), e.attr);
        fuse_reply_entry(req, &e);
    }

    static void forget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
        self(req).forget(ino, nlookup);
        fuse_reply_none(req);
    }

    static void forgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
        for (size_t i = 0; i < count; ++i) self(req).forget(forgets[i].ino, forgets[i].nlookup);
        fuse_reply_none(req);
    }

    static void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
        struct stat st;
        Inode& inode = self(req).inodeOf(ino);
        if (fstatat(inode.fd.get(), "", &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) < 0)
            return (void)fuse_reply_err(req, errno);
        st.st_ino = inode.number;
        fuse_reply_attr(req, &st, presented(self(req), req, inode.fd.get(), st));
    }

    static void setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int valid, fuse_file_info* fi) {
        FuseMount& m = self(req);
        Inode& inode = m.inodeOf(ino);
        int ifd = inode.fd.get();
        Handle* h = fi ? reinterpret_cast<Handle*>(static_cast<uintptr_t>(fi->fh)) : nullptr;
        std::string proc = procPath(ifd);
        std::optional<std::string> truncatedPath;
        if ((valid & FUSE_SET_ATTR_SIZE) && !h) {
            // Truncation by path is a write that no open asked about.
            truncatedPath = m.mountPathOf(ifd);
            if (truncatedPath) {
                Caller c = caller(req);
                Records records(m, ifd, -1, nullptr);
                if (int err = check(m, Access::writeData, c, *truncatedPath, records))
                    return (void)fuse_reply_err(req, err);
            }
        }
        int rc = 0;
        if (valid & FUSE_SET_ATTR_MODE)
            rc = h ? fchmod(h->fd.get(), attr->st_mode) : chmod(proc.c_str(), attr->st_mode);
        if (rc == 0 && (valid & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID))) {
            uid_t uid = (valid & FUSE_SET_ATTR_UID) ? attr->st_uid : static_cast<uid_t>(-1);
            gid_t gid = (valid & FUSE_SET_ATTR_GID) ? attr->st_gid : static_cast<gid_t>(-1);
            rc = fchownat(ifd, "", uid, gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
        }
        if (rc == 0 && (valid & FUSE_SET_ATTR_SIZE)) {
            rc = h ? ftruncate(h->fd.get(), attr->st_size) : truncate(proc.c_str(), attr->st_size);
            if (rc == 0 && h) h->modified.store(true, std::memory_order_relaxed);
        }
        if (rc == 0 && (valid & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME))) {
            timespec tv[2];
            tv[0].tv_sec = tv[1].tv_sec = 0;
            tv[0].tv_nsec = tv[1].tv_nsec = UTIME_OMIT;
            if (valid & FUSE_SET_ATTR_ATIME_NOW)
                tv[0].tv_nsec = UTIME_NOW;
            else if (valid & FUSE_SET_ATTR_ATIME)
                tv[0] = attr->st_atim;
            if (valid & FUSE_SET_ATTR_MTIME_NOW)
                tv[1].tv_nsec = UTIME_NOW;
            else if (valid & FUSE_SET_ATTR_MTIME)
                tv[1] = attr->st_mtim;
            rc = h ? futimens(h->fd.get(), tv) : utimensat(AT_FDCWD, proc.c_str(), tv, 0);
        }
        if (rc < 0) return (void)fuse_reply_err(req, errno);
        if (truncatedPath) {
            Caller c = caller(req);
            report(m, kauth_FILEOP_CLOSE, c, *truncatedPath, "");
        }
        getattr(req, ino, fi);
    }

    static void readlink(fuse_req_t req, fuse_ino_t ino) {
        char buf[PATH_MAX + 1];
        ssize_t n = readlinkat(self(req).inodeOf(ino).fd.get(), "", buf, sizeof buf);
        if (n < 0) return (void)fuse_reply_err(req, errno);
        if (static_cast<size_t>(n) == sizeof buf) return (void)fuse_reply_err(req, ENAMETOOLONG);
        buf[n] = 0;
        fuse_reply_readlink(req, buf);
    }

    static void makeNode(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t rdev,
                         const char* link) {
        FuseMount& m = self(req);
        int pfd = m.inodeOf(parent).fd.get();
        Caller c = caller(req);
        std::optional<std::string> path = m.childPath(parent, name);
        if (path)
            if (int err = newNameRefusal(m, c, pfd, name, *path, true)) return (void)fuse_reply_err(req, err);
        // A new folder is a change of its parent like a new file: asked about first (a read-only
        // folder takes none), reported once made, so the server gets it even while it stays empty.
        std::optional<std::string> folderPath;
        if (S_ISDIR(mode) && !link && path) {
            folderPath = path;
            Records records(m, -1, pfd, name);
            if (int err = check(m, Access::createItem, c, *folderPath, records))
                return (void)fuse_reply_err(req, err);
        }
        mode_t wanted = requestedMode(req, mode);
        bool exact = workerUmaskCleared();
        {
            std::lock_guard names(m.nameLock(parent));
            FolderNames::Stamp before;
            if (int err = m.folderNames_.collision(pfd, name, nullptr, &before))
                return (void)fuse_reply_err(req, err);
            int rc;
            if (link)
                rc = symlinkat(link, pfd, name);
            else if (S_ISDIR(mode))
                rc = mkdirat(pfd, name, wanted & 07777);
            else
                rc = mknodat(pfd, name, wanted, rdev);
            if (rc < 0) return (void)fuse_reply_err(req, errno);
            m.folderNames_.changed(pfd, before, nullptr, name);
        }
        fuse_entry_param e;
        if (int err = fillEntry(m, parent, name, e)) return (void)fuse_reply_err(req, err);
        if (!exact && !link) {
            // A folder keeps the set-group-ID bit it inherits from its parent.
            mode_t bits = (wanted & 07777) | (S_ISDIR(mode) ? (e.attr.st_mode & S_ISGID) : 0);
            if ((e.attr.st_mode & 07777) != bits &&
                chmod(procPath(m.inodeOf(e.ino).fd.get()).c_str(), bits) == 0)
                e.attr.st_mode = (e.attr.st_mode & S_IFMT) | bits;
        }
        if (folderPath) report(m, kauth_FILEOP_CREATE_FOLDER, c, *folderPath, "");
        fuse_reply_entry(req, &e);
    }
    static void mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t rdev) {
        makeNode(req, parent, name, mode, rdev, nullptr);
    }
    static void mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
        makeNode(req, parent, name, S_IFDIR | mode, 0, nullptr);
    }
    static void symlink(fuse_req_t req, const char* link, fuse_ino_t parent, const char* name) {
        makeNode(req, parent, name, S_IFLNK, 0, link);
    }

    static void link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t parent, const char* name) {
        FuseMount& m = self(req);
        if (auto to = m.childPath(parent, name)) {
            Caller c = caller(req);
            if (int err = newNameRefusal(m, c, m.inodeOf(parent).fd.get(), name, *to, true))
                return (void)fuse_reply_err(req, err);
            if (m.filter_.refusesLink(c, *to)) return (void)fuse_reply_err(req, EPERM);
        }
        std::string proc = procPath(m.inodeOf(ino).fd.get());
        {
            int pfd = m.inodeOf(parent).fd.get();
            std::lock_guard names(m.nameLock(parent));
            FolderNames::Stamp before;
            if (int err = m.folderNames_.collision(pfd, name, nullptr, &before))
                return (void)fuse_reply_err(req, err);
            if (linkat(AT_FDCWD, proc.c_str(), pfd, name, AT_SYMLINK_FOLLOW) < 0)
                return (void)fuse_reply_err(req, errno);
            m.folderNames_.changed(pfd, before, nullptr, name);
        }
        fuse_entry_param e;
        if (int err = fillEntry(m, parent, name, e)) return (void)fuse_reply_err(req, err);
        fuse_reply_entry(req, &e);
    }

    static void remove(fuse_req_t req, fuse_ino_t parent, const char* name, bool directory) {
        FuseMount& m = self(req);
        int pfd = m.inodeOf(parent).fd.get();
        Caller c = caller(req);
        std::optional<std::string> path = m.childPath(parent, name);
        if (path) {
            Records records(m, -1, pfd, name);
            if (int err = check(m, Access::deleteItem, c, *path, records))
                return (void)fuse_reply_err(req, err);
        }
        {
            std::lock_guard names(m.nameLock(parent));
            auto before = FolderNames::stamp(pfd);
            // The item's number, when this name is its last: after the unlink it is gone for good.
            std::uint64_t goneNumber = 0;
            if (UniqueFd item(::openat(pfd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC)); item) {
                struct stat st;
                if (::fstat(item.get(), &st) == 0 && (directory || st.st_nlink == 1)) {
                    std::uint64_t number = itemNumber(item.get(), st.st_ino);
                    if (number != st.st_ino) goneNumber = number;  // a bare inode number is reused
                }
            }
            if (unlinkat(pfd, name, directory ? AT_REMOVEDIR : 0) < 0)
                return (void)fuse_reply_err(req, errno);
            m.folderNames_.changed(pfd, before, name, nullptr);
            if (goneNumber) m.noteGone(goneNumber);
        }
        if (path) report(m, kauth_FILEOP_DELETE, c, *path, directory ? kFolderDelete : kConfirmDeleteFile);
        fuse_reply_err(req, 0);
    }
    static void unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
        remove(req, parent, name, false);
    }
    static void rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
        remove(req, parent, name, true);
    }

    static void rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newparent,
                       const char* newname, unsigned int flags) {
        FuseMount& m = self(req);
        int pfd = m.inodeOf(parent).fd.get();
        int npfd = m.inodeOf(newparent).fd.get();
        Caller c = caller(req);
        std::optional<std::string> from = m.childPath(parent, name), to = m.childPath(newparent, newname);
        // The item arrives under a new name, even when one of that name is there to be replaced.
        if (to && !(flags & RENAME_EXCHANGE))
            if (int err = newNameRefusal(m, c, npfd, newname, *to, false))
                return (void)fuse_reply_err(req, err);
        if (from && to && !(flags & RENAME_EXCHANGE)) {
            // A rename is authorised as a delete of its source and of a target it replaces.
            Records source(m, -1, pfd, name);
            if (int err = check(m, Access::deleteItem, c, *from, source))
                return (void)fuse_reply_err(req, err);
            struct stat st;
            if (!(flags & RENAME_NOREPLACE) && fstatat(npfd, newname, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                Records target(m, -1, npfd, newname);
                if (int err = check(m, Access::deleteItem, c, *to, target))
                    return (void)fuse_reply_err(req, err);
            }
        }
        {
            // An exchange makes no new name; anything else must not arrive beside a name that differs
            // from it only in case, unless that name is the item itself changing case.
            // Both folders' names change; the locks are taken in one go so two renames between the same
            // folders in opposite directions cannot wait for each other.
            std::mutex& from = m.nameLock(parent);
            std::mutex& into = m.nameLock(newparent);
            std::unique_lock<std::mutex> fromLock(from, std::defer_lock), intoLock(into, std::defer_lock);
            if (&from == &into)
                intoLock.lock();
            else
                std::lock(fromLock, intoLock);
            FolderNames::Stamp intoBefore = FolderNames::stamp(npfd);
            if (!(flags & RENAME_EXCHANGE))
                if (int err = m.folderNames_.collision(npfd, newname, parent == newparent ? name : nullptr,
                                                       &intoBefore))
                    return (void)fuse_reply_err(req, err);
            FolderNames::Stamp fromBefore = parent == newparent ? intoBefore : FolderNames::stamp(pfd);
            if (renameat2(pfd, name, npfd, newname, flags) < 0) return (void)fuse_reply_err(req, errno);
            // An exchange keeps both names where they were.
            bool exchange = flags & RENAME_EXCHANGE;
            if (parent == newparent) {
                m.folderNames_.changed(npfd, intoBefore, exchange ? nullptr : name,
                                       exchange ? nullptr : newname);
            } else {
                m.folderNames_.changed(pfd, fromBefore, exchange ? nullptr : name, nullptr);
                m.folderNames_.changed(npfd, intoBefore, nullptr, exchange ? nullptr : newname);
            }
        }
        if (from && to)
            report(m, (flags & RENAME_EXCHANGE) ? kauth_FILEOP_EXCHANGE : kauth_FILEOP_RENAME, c, *from, *to);
        fuse_reply_err(req, 0);
    }

    static Handle* newHandle(FuseMount& m, UniqueFd fd, bool modified, pid_t opener) {
        auto h = std::make_unique<Handle>();
        h->fd = std::move(fd);
        h->modified.store(modified);
        h->opener = opener;
        Handle* raw = h.get();
        std::lock_guard lock(m.handlesMutex_);
        m.handles_.emplace(raw, std::move(h));
        return raw;
    }

    static int askOpen(FuseMount& m, Caller& c, const std::string& path, int flags, Records& records) {
        int acc = flags & O_ACCMODE;
        bool reads = acc == O_RDONLY || acc == O_RDWR;
        bool writes = acc == O_WRONLY || acc == O_RDWR || (flags & O_TRUNC);
        Access a = reads && writes ? Access::readWriteData : writes ? Access::writeData : Access::readData;
        return check(m, a, c, path, records);
    }

    static void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        FuseMount& m = self(req);
        Inode& inode = m.inodeOf(ino);
        pid_t opener = 0;
        Caller c = caller(req);
        if (auto path = m.mountPathOf(inode.fd.get())) {
            Records records(m, inode.fd.get(), -1, nullptr);
            if (int err = askOpen(m, c, *path, fi->flags, records)) return (void)fuse_reply_err(req, err);
        }
        if (m.filter_.active()) opener = c.tgid();
        UniqueFd fd(::open(procPath(inode.fd.get()).c_str(), (fi->flags & ~O_NOFOLLOW) | O_CLOEXEC));
        if (!fd) return (void)fuse_reply_err(req, errno);
        Handle* h = newHandle(m, std::move(fd), (fi->flags & O_TRUNC) != 0, opener);
        fi->fh = reinterpret_cast<uintptr_t>(h);
        fi->keep_cache = 1;
        fi->noflush = m.closeIsTrivial_ && inode.dev == m.root_->dev;  // not on a file system mounted inside
        if (fuse_reply_open(req, fi) == -ENOENT) releaseHandle(m, h, false);
    }

    static void create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi) {
        FuseMount& m = self(req);
        int pfd = m.inodeOf(parent).fd.get();
        pid_t opener = 0;
        Caller c = caller(req);
        if (auto path = m.childPath(parent, name)) {
            struct stat existing;
            bool isNew = ::fstatat(pfd, name, &existing, AT_SYMLINK_NOFOLLOW) != 0;
            if (isNew)
                if (int err = newNameRefusal(m, c, pfd, name, *path, false))
                    return (void)fuse_reply_err(req, err);
            Records records(m, -1, pfd, name);
            if (int err = check(m, isNew ? Access::createItem : Access::writeData, c, *path, records))
                return (void)fuse_reply_err(req, err);
        }
        if (m.filter_.active()) opener = c.tgid();
        mode_t wanted = requestedMode(req, mode);
        bool exact = workerUmaskCleared();
        UniqueFd fd;
        {
            std::lock_guard names(m.nameLock(parent));
            FolderNames::Stamp before;
            if (int err = m.folderNames_.collision(pfd, name, nullptr, &before))
                return (void)fuse_reply_err(req, err);
            // Without a umask of our own the mode is set after creating, which needs to know that the
            // file is new: an existing one keeps its mode.
            int flags = (fi->flags | O_CREAT | (exact ? 0 : O_EXCL)) & ~O_NOFOLLOW;
            fd.reset(::openat(pfd, name, flags, wanted));
            if (!fd && !exact && errno == EEXIST && !(fi->flags & O_EXCL))
                fd.reset(::openat(pfd, name, fi->flags & ~(O_CREAT | O_NOFOLLOW)));
            else if (fd && !exact)
                fchmod(fd.get(), wanted & 07777);
            if (!fd) return (void)fuse_reply_err(req, errno);
            m.folderNames_.changed(pfd, before, nullptr, name);
        }
        fuse_entry_param e;
        if (int err = fillEntry(m, parent, name, e)) return (void)fuse_reply_err(req, err);
        // A new file is a change even when nothing is written to it.
        Handle* h = newHandle(m, std::move(fd), true, opener);
        fi->fh = reinterpret_cast<uintptr_t>(h);
        fi->keep_cache = 1;
        fi->noflush = m.closeIsTrivial_ && e.attr.st_dev == m.root_->dev;
        if (fuse_reply_create(req, &e, fi) == -ENOENT) releaseHandle(m, h, false);
    }

    static void releaseHandle(FuseMount& m, Handle* h, bool report) {
        std::unique_ptr<Handle> owned;
        {
            std::lock_guard lock(m.handlesMutex_);
            auto it = m.handles_.find(h);
            if (it == m.handles_.end()) return;
            owned = std::move(it->second);
            m.handles_.erase(it);
        }
        if (report && owned->modified.load() && m.filter_.active() && !detached(m)) {
            if (auto path = m.mountPathOf(owned->fd.get())) {
                Caller c = owned->opener ? Caller::fromProcess(owned->opener) : Caller::fromProcess(0);
                m.filter_.BrindlePassiveListener(kauth_FILEOP_CLOSE, c, *path, "");
            }
        }
    }

    static void release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
        releaseHandle(self(req), reinterpret_cast<Handle*>(static_cast<uintptr_t>(fi->fh)), true);
        fuse_reply_err(req, 0);
    }

    static Handle& handle(fuse_file_info* fi) {
        return *reinterpret_cast<Handle*>(static_cast<uintptr_t>(fi->fh));
    }

    static void flush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
        // Closing a duplicate reports the errors a close of the real descriptor would.
        int d = dup(handle(fi).fd.get());
        int rc = d < 0 ? -1 : close(d);
        fuse_reply_err(req, rc < 0 ? errno : 0);
    }

    static void fsync(fuse_req_t req, fuse_ino_t, int datasync, fuse_file_info* fi) {
        int fd = handle(fi).fd.get();
        int rc = datasync ? fdatasync(fd) : ::fsync(fd);
        fuse_reply_err(req, rc < 0 ? errno : 0);
    }

    static void read(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi) {
        fuse_bufvec buf = FUSE_BUFVEC_INIT(size);
        buf.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
        buf.buf[0].fd = handle(fi).fd.get();
        buf.buf[0].pos = off;
        fuse_reply_data(req, &buf, FUSE_BUF_SPLICE_MOVE);
    }

    static void writeBuf(fuse_req_t req, fuse_ino_t, fuse_bufvec* in, off_t off, fuse_file_info* fi) {
        Handle& h = handle(fi);
        fuse_bufvec out = FUSE_BUFVEC_INIT(fuse_buf_size(in));
        out.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
        out.buf[0].fd = h.fd.get();
        out.buf[0].pos = off;
        ssize_t n = fuse_buf_copy(&out, in, static_cast<fuse_buf_copy_flags>(0));
        if (n < 0) return (void)fuse_reply_err(req, static_cast<int>(-n));
        if (n > 0 && !h.modified.load(std::memory_order_relaxed))
            h.modified.store(true, std::memory_order_relaxed);
        fuse_reply_write(req, static_cast<size_t>(n));
    }

    static void fallocate(fuse_req_t req, fuse_ino_t, int mode, off_t offset, off_t length,
                          fuse_file_info* fi) {
        Handle& h = handle(fi);
        if (::fallocate(h.fd.get(), mode, offset, length) < 0) return (void)fuse_reply_err(req, errno);
        h.modified.store(true);
        fuse_reply_err(req, 0);
    }

    static void lseek(fuse_req_t req, fuse_ino_t, off_t off, int whence, fuse_file_info* fi) {
        off_t r = ::lseek(handle(fi).fd.get(), off, whence);
        if (r < 0) return (void)fuse_reply_err(req, errno);
        fuse_reply_lseek(req, r);
    }

    static void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        FuseMount& m = self(req);
        Inode& inode = m.inodeOf(ino);
        if (m.filter_.active() && !detached(m)) {
            Caller c = caller(req);
            if (auto path = m.mountPathOf(inode.fd.get()))
                m.filter_.BrindleActiveListener(Access::listDirectory, c, *path);
        }
        UniqueFd fd(::openat(inode.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd) return (void)fuse_reply_err(req, errno);
        auto d = std::make_unique<DirHandle>();
        d->dp.reset(fdopendir(fd.get()));
        if (!d->dp) return (void)fuse_reply_err(req, errno);
        fd.release();
        DirHandle* raw = d.get();
        {
            std::lock_guard lock(m.handlesMutex_);
            m.dirs_.emplace(raw, std::move(d));
        }
        fi->fh = reinterpret_cast<uintptr_t>(raw);
        if (fuse_reply_open(req, fi) == -ENOENT) {
            std::lock_guard lock(m.handlesMutex_);
            m.dirs_.erase(raw);
        }
    }

    static void readdir(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
        DirHandle& d = *reinterpret_cast<DirHandle*>(static_cast<uintptr_t>(fi->fh));
        std::vector<char> buf(size);
        size_t used = 0;
        if (offset != d.offset) {
            seekdir(d.dp.get(), offset);
            d.entry = nullptr;
            d.offset = offset;
        }
        int err = 0;
        for (;;) {
            if (!d.entry) {
                errno = 0;
                d.entry = ::readdir(d.dp.get());
                if (!d.entry) {
                    err = errno;
                    break;
                }
            }
            struct stat st;
            memset(&st, 0, sizeof st);
            st.st_ino = d.entry->d_ino;
            st.st_mode = static_cast<mode_t>(d.entry->d_type) << 12;
            off_t next = d.entry->d_off;
            size_t n = fuse_add_direntry(req, buf.data() + used, size - used, d.entry->d_name, &st, next);
            if (n > size - used) break;
            used += n;
            d.entry = nullptr;
            d.offset = next;
        }
        if (err && used == 0) return (void)fuse_reply_err(req, err);
        fuse_reply_buf(req, buf.data(), used);
    }

    static void releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
        FuseMount& m = self(req);
        std::unique_ptr<DirHandle> owned;
        {
            std::lock_guard lock(m.handlesMutex_);
            auto it = m.dirs_.find(reinterpret_cast<DirHandle*>(static_cast<uintptr_t>(fi->fh)));
            if (it != m.dirs_.end()) {
                owned = std::move(it->second);
                m.dirs_.erase(it);
            }
        }
        fuse_reply_err(req, 0);
    }

    static void fsyncdir(fuse_req_t req, fuse_ino_t, int datasync, fuse_file_info* fi) {
        int fd = dirfd(reinterpret_cast<DirHandle*>(static_cast<uintptr_t>(fi->fh))->dp.get());
        int rc = datasync ? fdatasync(fd) : ::fsync(fd);
        fuse_reply_err(req, rc < 0 ? errno : 0);
    }

    static void statfs(fuse_req_t req, fuse_ino_t ino) {
        struct statvfs sv;
        if (fstatvfs(self(req).inodeOf(ino).fd.get(), &sv) < 0) return (void)fuse_reply_err(req, errno);
        fuse_reply_statfs(req, &sv);
    }

    static void setxattr(fuse_req_t req, fuse_ino_t ino, const char* name, const char* value, size_t size,
                         int flags) {
        std::string proc = procPath(self(req).inodeOf(ino).fd.get());
        fuse_reply_err(req, ::setxattr(proc.c_str(), name, value, size, flags) < 0 ? errno : 0);
    }

    static void getxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
        std::string proc = procPath(self(req).inodeOf(ino).fd.get());
        if (size == 0) {
            ssize_t n = ::getxattr(proc.c_str(), name, nullptr, 0);
            if (n < 0) return (void)fuse_reply_err(req, errno);
            return (void)fuse_reply_xattr(req, static_cast<size_t>(n));
        }
        std::vector<char> buf(size);
        ssize_t n = ::getxattr(proc.c_str(), name, buf.data(), size);
        if (n < 0) return (void)fuse_reply_err(req, errno);
        fuse_reply_buf(req, buf.data(), static_cast<size_t>(n));
    }

    static void listxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
        std::string proc = procPath(self(req).inodeOf(ino).fd.get());
        if (size == 0) {
            ssize_t n = ::listxattr(proc.c_str(), nullptr, 0);
            if (n < 0) return (void)fuse_reply_err(req, errno);
            return (void)fuse_reply_xattr(req, static_cast<size_t>(n));
        }
        std::vector<char> buf(size);
        ssize_t n = ::listxattr(proc.c_str(), buf.data(), size);
        if (n < 0) return (void)fuse_reply_err(req, errno);
        fuse_reply_buf(req, buf.data(), static_cast<size_t>(n));
    }

    static void removexattr(fuse_req_t req, fuse_ino_t ino, const char* name) {
        std::string proc = procPath(self(req).inodeOf(ino).fd.get());
        fuse_reply_err(req, ::removexattr(proc.c_str(), name) < 0 ? errno : 0);
    }

    static fuse_lowlevel_ops table() {
        fuse_lowlevel_ops o;
        memset(&o, 0, sizeof o);
        o.init = init;
        o.lookup = lookup;
        o.forget = forget;
        o.forget_multi = forgetMulti;
        o.getattr = getattr;
        o.setattr = setattr;
        o.readlink = readlink;
        o.mknod = mknod;
        o.mkdir = mkdir;
        o.symlink = symlink;
        o.link = link;
        o.unlink = unlink;
        o.rmdir = rmdir;
        o.rename = rename;
        o.open = open;
        o.create = create;
        o.release = release;
        o.flush = flush;
        o.fsync = fsync;
        o.read = read;
        o.write_buf = writeBuf;
        o.fallocate = fallocate;
        o.lseek = lseek;
        o.opendir = opendir;
        o.readdir = readdir;
        o.releasedir = releasedir;
        o.fsyncdir = fsyncdir;
        o.statfs = statfs;
        o.setxattr = setxattr;
        o.getxattr = getxattr;
        o.listxattr = listxattr;
        o.removexattr = removexattr;
        return o;
    }
};

// ---- mounting -------------------------------------------------------------------------------------

bool fusermountUnmount(const std::string& path, bool lazy) {
    std::vector<std::string> argv{"fusermount3", "-u"};
    if (lazy) argv.push_back("-z");
    argv.insert(argv.end(), {"-q", path});
    // fusermount3 only talks to the kernel; a minute means it hangs on a dead file system.
    auto result = tw::platform::runProcess(argv, std::chrono::seconds(60));
    if (!result.started) GW_WARN("Cannot unmount %s: %s", path.c_str(), result.error.c_str());
    return result.succeeded();
}

bool detachStaleMount(const std::string& path) {
    if (geteuid() == 0) return umount2(path.c_str(), MNT_DETACH) == 0;
    return fusermountUnmount(path, true);
}

std::unique_ptr<FuseMount> FuseMount::mount(Brindle& filter, UniqueFd backing, MountOptions options,
                                            std::string* error, int* errnoOut) {
    auto fail = [&](const std::string& why, int err) -> std::unique_ptr<FuseMount> {
        if (error) *error = why;
        if (errnoOut) *errnoOut = err;
        return nullptr;
    };
    struct stat st;
    if (fstat(backing.get(), &st) < 0 || !S_ISDIR(st.st_mode))
        return fail("the backing folder is not a folder", ENOTDIR);
    std::unique_ptr<FuseMount> m(new FuseMount(filter, std::move(backing), std::move(options)));
    m->root_->ino = st.st_ino;
    m->root_->dev = st.st_dev;
    m->root_->number = itemNumber(m->root_->fd.get(), st.st_ino);
    auto root = readLink(procPath(m->root_->fd.get()));
    if (!root) return fail("cannot name the backing folder", errno);
    m->backingRoot_ = *root;
    m->closeIsTrivial_ = closeIsTrivialOn(m->root_->fd.get());

    std::string fsname = "fsname=gatewarden:" +
                         (m->options_.volumeName.empty() ? std::string("volume") : m->options_.volumeName);
    for (auto& ch : fsname)
        if (ch == ',' || ch == ' ' || ch == '\\') ch = '_';
    std::string opts = "default_permissions,subtype=gatewarden," + fsname;
    const char* argv[] = {"gatewarden", "-o", opts.c_str()};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
    // The kernel names the mount by its resolved path; ours may pass through symbolic links.
    std::error_code ec;
    std::string resolvedMountPoint = std::filesystem::canonical(m->options_.mountPoint, ec).string();
    if (ec) resolvedMountPoint = m->options_.mountPoint;
    fuse_lowlevel_ops ops = Ops::table();
    m->session_.reset(fuse_session_new(&args, &ops, sizeof ops, m.get()));
    fuse_opt_free_args(&args);
    if (!m->session_) return fail("cannot create a FUSE session", EIO);
    errno = 0;
    if (fuse_session_mount(m->session_.get(), m->options_.mountPoint.c_str()) != 0) {
        int err = errno ? errno : EIO;
        std::string why = strerror(err);
        // libfuse opens the device itself before it falls back to fusermount3, so a user who cannot
        // open it cannot mount at all; say what to change rather than "Operation not permitted".
        if (access("/dev/fuse", R_OK | W_OK) != 0) {
            if (errno == ENOENT) {
                err = ENODEV;
                why = "there is no /dev/fuse; load the fuse module (modprobe fuse)";
            } else {
                why = std::string("this user cannot open /dev/fuse (") + strerror(errno) +
                      "); it must be readable and writable by every user, mode 0666, as the fuse3 "
                      "package's udev rule makes it (without udev: chmod 0666 /dev/fuse)";
                err = EPERM;
            }
        }
        return fail("mounting at " + m->options_.mountPoint + " failed: " + why, err);
    }
    m->resolvedMountPoint_ = resolvedMountPoint;
    m->device_ = mountDevice(resolvedMountPoint);
    // The kernel reads ahead only 128 KiB on a FUSE mount unless told otherwise; a larger window lets
    // sequential reads arrive in requests of up to max_write. Only root may change it; others keep
    // the default.
    if (m->device_ != 0) {
        std::string ra = "/sys/class/bdi/" + std::to_string(major(m->device_)) + ":" +
                         std::to_string(minor(m->device_)) + "/read_ahead_kb";
        UniqueFd raFd(::open(ra.c_str(), O_WRONLY | O_CLOEXEC));
        if (raFd) {
            ssize_t w = ::write(raFd.get(), "1024", 4);
            (void)w;
        }
    }
    FuseMount* raw = m.get();
    m->loop_ = std::thread([raw] {
        // Questions hold a worker for up to the answer time, and the application answering them reads
        // through the same mount; the pool must outgrow the questions in flight by far.
        std::unique_ptr<fuse_loop_config, void (*)(fuse_loop_config*)> cfg(fuse_loop_cfg_create(),
                                                                           fuse_loop_cfg_destroy);
        fuse_loop_cfg_set_clone_fd(cfg.get(), 0);
        fuse_loop_cfg_set_max_threads(cfg.get(), 256);
        fuse_loop_cfg_set_idle_threads(cfg.get(), 8);
        int rc = fuse_session_loop_mt(raw->session_.get(), cfg.get());
        if (rc != 0 && rc != -ENODEV)
            GW_WARN("Session of %s ended with %d", raw->options_.mountPoint.c_str(), rc);
        raw->loopEnded_.store(true);
    });
    GW_INFO("Mounted %s (device %u:%u) over %s", m->options_.mountPoint.c_str(), major(m->device_),
            minor(m->device_), printable(m->backingRoot_).c_str());
    return m;
}

namespace {
// Ends a FUSE connection through the control file system (the connection's owner may write its abort
// file). Only for a session whose owner is going away while files on it are still open.
bool abortConnection(dev_t device) {
    std::string abortPath = "/sys/fs/fuse/connections/" + std::to_string(minor(device)) + "/abort";
    UniqueFd a(::open(abortPath.c_str(), O_WRONLY | O_CLOEXEC));
    if (!a && errno == ENOENT && geteuid() == 0 &&
        ::mount("fusectl", "/sys/fs/fuse/connections", "fusectl", 0, nullptr) == 0)
        a.reset(::open(abortPath.c_str(), O_WRONLY | O_CLOEXEC));
    if (!a) return false;
    return ::write(a.get(), "1", 1) == 1;
}
}  // namespace

FuseMount::Ejected FuseMount::eject(bool detachWhenBusy) {
    if (joined_ || !loop_.joinable()) return Ejected::gone;
    if (detached_.load()) return loopEnded_.load() ? Ejected::gone : Ejected::detachedInUse;
    const std::string& mp = options_.mountPoint;
    const bool root = geteuid() == 0;
    // A plain unmount succeeds only when nothing on the volume is in use: no open file, no working
    // folder inside it.
    bool unmounted = root ? ::umount2(mp.c_str(), 0) == 0 : fusermountUnmount(mp, false);
    bool lazily = false;
    if (!unmounted && stillMounted()) {
        if (!detachWhenBusy) return Ejected::busy;
        // Lazily: the mount point leaves the tree now, while the kernel keeps the session for the
        // files still open and ends it when the last one closes. Aborting it instead would fail their
        // next write, an editor's save among them.
        bool detached = root ? ::umount2(mp.c_str(), MNT_DETACH) == 0 : fusermountUnmount(mp, true);
        if (!detached && stillMounted()) {
            GW_ERROR("Cannot detach %s", mp.c_str());
            return Ejected::failed;
        }
        lazily = true;
    } else if (!unmounted) {
        lazily = true;  // someone else took it out of the tree; the session may still serve open files
    }
    detached_.store(true, std::memory_order_release);
    if (options_.removeMountPointOnUnmount) ::rmdir(mp.c_str());
    if (lazily && !loopEnded_.load()) {
        GW_INFO("%s is detached; the files still open on it keep working until they are closed", mp.c_str());
        return Ejected::detachedInUse;
    }
    GW_INFO("Unmounted %s", mp.c_str());
    return Ejected::gone;
}

bool FuseMount::reap() {
    if (joined_ || !loop_.joinable()) return true;
    if (!loopEnded_.load()) return false;
    loop_.join();
    joined_ = true;
    // The connection is over, so this only closes the device; nothing is left mounted by us.
    fuse_session_unmount(session_.get());
    GW_DEBUG("Session of %s ended", options_.mountPoint.c_str());
    return true;
}

FuseMount::~FuseMount() {
    // Never mounted (mounting failed): nothing to detach, and the path may belong to someone else.
    if (!loop_.joinable() && !joined_) return;
    if (joined_) return;
    eject(true);
    // The session thread uses this object. Its files are let go of only when the owner drops the mount
    // while they are open, which the daemon avoids by leaving the process instead (the kernel ends
    // the session then in the same way).
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!loopEnded_.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!loopEnded_.load()) {
        GW_WARN("%s is dropped with files still open on it; ending its session", options_.mountPoint.c_str());
        if (device_ == 0 || !abortConnection(device_)) fuse_session_exit(session_.get());
    }
    loop_.join();
    joined_ = true;
    fuse_session_unmount(session_.get());
}

}  // namespace gw
