// One synchronised folder hosted as a FUSE mount. Every operation passes through to the backing folder
// with descriptor-relative system calls (the daemon never goes through its own mounts). Items are
// numbered from their backing inode and its generation, so an item's file number is the same across
// remounts and never passes to a new file that reuses a freed inode. The filter is asked
// where the vnode and file-operation scopes would be: open for reading or writing, truncation, create,
// unlink, rmdir, rename and exchange, release after modification, opendir.
//
// Names in a volume are unique without regard to case, as on the server: an entry is not created, nor
// an item renamed, under a name that equals another entry of the folder but for case (EEXIST). Items are
// created with exactly the mode the caller asked for less the caller's umask.
//
// Ejecting never pulls the session from under a program: a volume in use is detached lazily (gone
// from the tree at once) and keeps serving the files still open on it until the last one closes, so an
// editor's save lands in the backing folder. Such a detached session asks the application nothing and
// reports nothing (its paths no longer name anything the application can look at); it decides from
// the items' records, and the application finds the changes by its own scan.
//
// Thread-safety: FUSE handlers run on the session's worker threads; `inodesMutex_` guards the inode
// table, `handlesMutex_` the open-file table, `nameLocks_` the making of names in a folder. None is held
// while the filter waits for an answer.
// `eject`, `reap` and the destructor are called from one control thread at a time.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "Larkspur/Brindle.h"
#include "Larkspur/FolderNames.h"
#include "platform/unixsocket.h"

struct fuse_session;

namespace gw {

struct MountOptions {
    std::string mountPoint;                  // where the volume appears
    std::string volumeName;                  // for the file-system name shown by mount(8)
    std::string uuid;                        // the volume UUID
    bool removeMountPointOnUnmount = false;  // the daemon made the folder
};

class FuseMount {
public:
    // Mounts `backing` (a directory descriptor opened before mounting, so a folder can be mounted over
    // itself) at `options.mountPoint`. Null with `*error` set when mounting fails; `*errnoOut` gets
    // the cause where one is known (EPERM when the machine does not let us mount).
    static std::unique_ptr<FuseMount> mount(Brindle& filter, tw::platform::UniqueFd backing,
                                            MountOptions options, std::string* error,
                                            int* errnoOut = nullptr);
    ~FuseMount();
    FuseMount(const FuseMount&) = delete;
    FuseMount& operator=(const FuseMount&) = delete;

    enum class Ejected {
        gone,           // unmounted; the session ends by itself in a moment
        detachedInUse,  // out of the tree; the session serves open files until they close
        busy,           // in use and left mounted (a lazy detach was not wanted)
        failed,         // neither unmounting nor detaching worked; still mounted
    };
    // Takes the volume out of the file-system tree: a plain unmount when nothing on it is in use,
    // otherwise, with `detachWhenBusy`, a lazy detach. Never aborts the session.
    Ejected eject(bool detachWhenBusy);
    // Whether the session has ended; after an eject it ends once no file on it is open any more.
    bool finished() const { return loopEnded_.load(); }
    // Cleans up an ended session (joins its thread, closes the device). False while it still serves.
    bool reap();

    const std::string& mountPoint() const { return options_.mountPoint; }
    const std::string& uuid() const { return options_.uuid; }
    dev_t device() const { return device_; }
    // The current path on this mount of the item the mount numbers `number`; empty when not found.
    std::optional<std::string> pathOfInode(std::uint64_t number);
    // Numbers of items the mount removed for good (their last name unlinked): the application asks
    // where each deleted item went, and without this the answer "nowhere" costs a walk of the whole
    // backing folder. Numbers that carry the item's handle digest are never handed to another item.
    void noteGone(std::uint64_t number);
    bool knownGone(std::uint64_t number);

    // Public for the C callbacks; not part of the interface.
    struct Inode;
    struct Handle;
    struct DirHandle;
    struct Ops;
    struct Records;

private:
    FuseMount(Brindle& filter, tw::platform::UniqueFd backing, MountOptions options);

    Inode& inodeOf(std::uint64_t nodeid);
    std::uint64_t remember(tw::platform::UniqueFd fd, const struct stat& st);  // returns the node id
    void forget(std::uint64_t nodeid, std::uint64_t count);
    // The path on the mount of an inode or of a child of one.
    std::optional<std::string> mountPathOf(int fd);
    std::optional<std::string> childPath(std::uint64_t parent, const char* name);
    std::optional<std::string> translate(const std::string& backingPath) const;
    // The backing folder that holds the item `fd` refers to; none for the root or an item outside.
    tw::platform::UniqueFd parentOf(int fd);
    // Whether the kernel still has this session mounted at its mount point.
    bool stillMounted() const;
    // Logs once when the backing folder itself was deleted under the mount.
    void noteBackingGone();
    bool searchInode(int dirFd, std::uint64_t number, const std::string& relative, std::string& found,
                     std::size_t& budget);

    Brindle& filter_;
    MountOptions options_;
    std::string backingRoot_;         // the backing folder's path as the kernel names it
    std::string resolvedMountPoint_;  // the mount point as the kernel names it
    dev_t device_ = 0;
    // Closing a backing file cannot fail or do anything, so the kernel may skip the flush request that
    // would mirror it: one round trip less on every close.
    bool closeIsTrivial_ = false;
    std::unique_ptr<Inode> root_;
    std::mutex inodesMutex_;
    std::map<std::pair<ino_t, dev_t>, std::unique_ptr<Inode>> inodes_;
    // The same inodes by the number the mount reports: the application asks for paths by that number
    // for nearly every report it reads. Under inodesMutex_.
    std::unordered_multimap<std::uint64_t, Inode*> byNumber_;
    std::mutex handlesMutex_;
    std::unordered_map<const void*, std::unique_ptr<Handle>> handles_;
    // Held, by the folder's inode number, from the check that a new name is unique without regard to
    // case until the name exists, so two requests cannot both find "Report.txt" and "report.txt" free.
    // Removals take it too, so the folded names of a folder change only under it.
    std::array<std::mutex, 16> nameLocks_;
    std::mutex& nameLock(std::uint64_t folderNode);
    FolderNames folderNames_;
    std::mutex goneMutex_;
    std::unordered_set<std::uint64_t> gone_;  // guarded by goneMutex_
    std::deque<std::uint64_t> goneOrder_;     // oldest first, to forget beyond kMaxGone
    static constexpr std::size_t kMaxGone = 1 << 16;
    std::unordered_map<const void*, std::unique_ptr<DirHandle>> dirs_;

    struct SessionDeleter {
        void operator()(fuse_session* se) const;
    };
    std::unique_ptr<fuse_session, SessionDeleter> session_;
    std::thread loop_;
    std::atomic<bool> loopEnded_{false};
    std::atomic<bool> backingGoneLogged_{false};
    std::atomic<bool> detached_{false};  // out of the file-system tree; read by the handlers
    bool joined_ = false;                // session ended and cleaned up
};

// Detaches whatever is mounted at `path` (a stale mount left by a crashed daemon). True when something
// was detached.
bool detachStaleMount(const std::string& path);
// Runs "fusermount3 -u" (with -z when `lazy`) on `path`, the way a user without privileges unmounts.
// True when fusermount3 reported success.
bool fusermountUnmount(const std::string& path, bool lazy);

}  // namespace gw
