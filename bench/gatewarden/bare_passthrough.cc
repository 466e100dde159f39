// bare_passthrough: the least a FUSE file system can do. Every operation goes straight to a backing
// folder through descriptor-relative system calls, with no filter, no records and no questions, so
// that the cost FUSE itself puts under real programs can be measured apart from gatewarden's own
// work (bench/app/fuse_floor.sh). The kernel's caching is chosen on the command line.
//
//   bare_passthrough [--timeout SECONDS] [--writeback] [--keep-cache] [--noflush] [--threads N]
//                    BACKING MOUNTPOINT
//
//   --timeout S   how long the kernel keeps attributes, names and missing names (default 1, as
//                 gatewarden)
//   --writeback   the kernel caches writes and hands them over in large pieces
//                 (FUSE_CAP_WRITEBACK_CACHE)
//   --keep-cache  an open keeps the pages the kernel cached of the file (gatewarden does this)
//   --noflush     a close sends no FLUSH (gatewarden does this on local file systems)
//   --threads N   at most N worker threads (default 256, as gatewarden); 1 serves on one thread
//
// It serves in the foreground until unmounted (fusermount3 -u MOUNTPOINT) or sent SIGTERM or SIGINT.
// BACKING may be MOUNTPOINT itself: the folder is opened before the mount hides it.
#define FUSE_USE_VERSION 312

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/fd.h"

namespace {

using tw::platform::UniqueFd;

struct Options {
    double timeout = 1.0;
    bool writeback = false;
    bool keepCache = false;
    bool noflush = false;
    unsigned threads = 256;
};

// One item the kernel knows: an O_PATH descriptor of the backing item, and how many lookups the
// kernel holds on it. It lives until the kernel forgets them all.
struct Inode {
    UniqueFd fd;
    dev_t dev = 0;
    ino_t ino = 0;
    uint64_t lookups = 0;  // guarded by Fs::mutex
};

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

struct DirHandle {
    std::unique_ptr<DIR, DirCloser> dp;
    off_t offset = 0;
    dirent* entry = nullptr;  // read but not yet handed over: the reply had no room for it
};

struct Fs {
    Options opt;
    Inode root;
    std::mutex mutex;
    // Keyed by the backing item, so that hard links share one inode, as the kernel expects.
    std::map<std::pair<dev_t, ino_t>, std::unique_ptr<Inode>> inodes;
    std::map<DirHandle*, std::unique_ptr<DirHandle>> dirs;
};

Fs& fsOf(fuse_req_t req) {
    return *static_cast<Fs*>(fuse_req_userdata(req));
}

// The kernel's node id is the address of the inode (owned by the table, kept alive by the lookups).
Inode& inodeOf(fuse_req_t req, fuse_ino_t ino) {
    if (ino == FUSE_ROOT_ID) return fsOf(req).root;
    return *reinterpret_cast<Inode*>(static_cast<uintptr_t>(ino));
}

int fdOf(fuse_req_t req, fuse_ino_t ino) {
    return inodeOf(req, ino).fd.get();
}

std::string procPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

void forgetOne(Fs& fs, fuse_ino_t ino, uint64_t count) {
    if (ino == FUSE_ROOT_ID) return;
    std::unique_ptr<Inode> gone;  // closed after the lock is released
    std::lock_guard lock(fs.mutex);
    Inode& inode = *reinterpret_cast<Inode*>(static_cast<uintptr_t>(ino));
    inode.lookups -= std::min(count, inode.lookups);
    if (inode.lookups > 0) return;
    auto it = fs.inodes.find({inode.dev, inode.ino});
    gone = std::move(it->second);
    fs.inodes.erase(it);
}

// Finds or makes the inode of `name` in `parent` and counts one lookup. 0 or an errno.
int lookupEntry(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_entry_param& e) {
    Fs& fs = fsOf(req);
    memset(&e, 0, sizeof e);
    e.attr_timeout = e.entry_timeout = fs.opt.timeout;
    UniqueFd fd(openat(fdOf(req, parent), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return errno;
    if (fstatat(fd.get(), "", &e.attr, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) < 0) return errno;
    std::lock_guard lock(fs.mutex);
    auto& slot = fs.inodes[{e.attr.st_dev, e.attr.st_ino}];
    if (!slot) {
        slot = std::make_unique<Inode>();
        slot->fd = std::move(fd);
        slot->dev = e.attr.st_dev;
        slot->ino = e.attr.st_ino;
    }
    ++slot->lookups;
    e.ino = reinterpret_cast<uintptr_t>(slot.get());
    return 0;
}

void replyEntry(fuse_req_t req, fuse_ino_t parent, const char* name) {
    fuse_entry_param e;
    if (int err = lookupEntry(req, parent, name, e)) return (void)fuse_reply_err(req, err);
    if (fuse_reply_entry(req, &e) != 0) forgetOne(fsOf(req), e.ino, 1);
}

void replyStatus(fuse_req_t req, int rc) {
    fuse_reply_err(req, rc < 0 ? errno : 0);
}

// Flags for the backing descriptor of an open.
int backingFlags(const Fs& fs, int flags) {
    flags &= ~O_NOFOLLOW;
    if (fs.opt.writeback) {
        // With the kernel caching writes, it reads the pages around a partial write through any
        // handle of the file and places appends itself: a write-only or appending descriptor would
        // fail those reads or put the data at the end once more.
        if ((flags & O_ACCMODE) == O_WRONLY) flags = (flags & ~O_ACCMODE) | O_RDWR;
        flags &= ~O_APPEND;
    }
    return flags | O_CLOEXEC;
}

void init(void* userdata, fuse_conn_info* conn) {
    const Fs& fs = *static_cast<Fs*>(userdata);
    // As gatewarden: the mount is the only writer of its backing folder, so cached pages stay true
    // without being dropped at every change of modification time.
    conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
    if (fs.opt.writeback && (conn->capable & FUSE_CAP_WRITEBACK_CACHE))
        conn->want |= FUSE_CAP_WRITEBACK_CACHE;
    else
        conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    if (fs.opt.writeback && !(conn->capable & FUSE_CAP_WRITEBACK_CACHE))
        fprintf(stderr, "bare_passthrough: the kernel offers no writeback cache\n");
    // The same transport as gatewarden: requests small enough to be spliced whole, replies spliced.
    conn->max_write = 512 * 1024;
    conn->max_readahead = 1024 * 1024;
    if (conn->capable & FUSE_CAP_SPLICE_WRITE) conn->want |= FUSE_CAP_SPLICE_WRITE;
    if (conn->capable & FUSE_CAP_SPLICE_MOVE) conn->want |= FUSE_CAP_SPLICE_MOVE;
}

void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    fuse_entry_param e;
    int err = lookupEntry(req, parent, name, e);
    if (err == ENOENT) {
        // A missing name is kept as long as a name, as gatewarden does: programs look for the same
        // missing names again and again, and every new name comes through the mount, which drops it.
        memset(&e, 0, sizeof e);
        e.entry_timeout = fsOf(req).opt.timeout;
        return (void)fuse_reply_entry(req, &e);
    }
    if (err) return (void)fuse_reply_err(req, err);
    if (fuse_reply_entry(req, &e) != 0) forgetOne(fsOf(req), e.ino, 1);
}

void forget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
    forgetOne(fsOf(req), ino, nlookup);
    fuse_reply_none(req);
}

void forgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
    for (size_t i = 0; i < count; ++i) forgetOne(fsOf(req), forgets[i].ino, forgets[i].nlookup);
    fuse_reply_none(req);
}

void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    struct stat st;
    if (fstatat(fdOf(req, ino), "", &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) < 0)
        return (void)fuse_reply_err(req, errno);
    fuse_reply_attr(req, &st, fsOf(req).opt.timeout);
}

void setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int valid, fuse_file_info* fi) {
    int ifd = fdOf(req, ino);
    int fd = fi ? static_cast<int>(fi->fh) : -1;
    std::string proc = procPath(ifd);
    int rc = 0;
    if (valid & FUSE_SET_ATTR_MODE)
        rc = fd >= 0 ? fchmod(fd, attr->st_mode) : chmod(proc.c_str(), attr->st_mode);
    if (rc == 0 && (valid & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID))) {
        uid_t uid = (valid & FUSE_SET_ATTR_UID) ? attr->st_uid : static_cast<uid_t>(-1);
        gid_t gid = (valid & FUSE_SET_ATTR_GID) ? attr->st_gid : static_cast<gid_t>(-1);
        rc = fchownat(ifd, "", uid, gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
    }
    if (rc == 0 && (valid & FUSE_SET_ATTR_SIZE))
        rc = fd >= 0 ? ftruncate(fd, attr->st_size) : truncate(proc.c_str(), attr->st_size);
    if (rc == 0 && (valid & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME))) {
        timespec tv[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
        if (valid & FUSE_SET_ATTR_ATIME_NOW)
            tv[0].tv_nsec = UTIME_NOW;
        else if (valid & FUSE_SET_ATTR_ATIME)
            tv[0] = attr->st_atim;
        if (valid & FUSE_SET_ATTR_MTIME_NOW)
            tv[1].tv_nsec = UTIME_NOW;
        else if (valid & FUSE_SET_ATTR_MTIME)
            tv[1] = attr->st_mtim;
        rc = fd >= 0 ? futimens(fd, tv) : utimensat(ifd, "", tv, AT_EMPTY_PATH);
    }
    if (rc < 0) return (void)fuse_reply_err(req, errno);
    getattr(req, ino, fi);
}

void readlink(fuse_req_t req, fuse_ino_t ino) {
    char buf[PATH_MAX + 1];
    ssize_t n = readlinkat(fdOf(req, ino), "", buf, sizeof buf);
    if (n < 0) return (void)fuse_reply_err(req, errno);
    if (static_cast<size_t>(n) == sizeof buf) return (void)fuse_reply_err(req, ENAMETOOLONG);
    buf[n] = '\0';
    fuse_reply_readlink(req, buf);
}

void mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t rdev) {
    if (mknodat(fdOf(req, parent), name, mode, rdev) < 0) return (void)fuse_reply_err(req, errno);
    replyEntry(req, parent, name);
}

void mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
    if (mkdirat(fdOf(req, parent), name, mode) < 0) return (void)fuse_reply_err(req, errno);
    replyEntry(req, parent, name);
}

void symlink(fuse_req_t req, const char* target, fuse_ino_t parent, const char* name) {
    if (symlinkat(target, fdOf(req, parent), name) < 0) return (void)fuse_reply_err(req, errno);
    replyEntry(req, parent, name);
}

void link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t parent, const char* name) {
    // Through /proc an O_PATH descriptor can be linked without CAP_DAC_READ_SEARCH.
    std::string proc = procPath(fdOf(req, ino));
    if (linkat(AT_FDCWD, proc.c_str(), fdOf(req, parent), name, AT_SYMLINK_FOLLOW) < 0)
        return (void)fuse_reply_err(req, errno);
    replyEntry(req, parent, name);  // the same inode, one lookup more
}

void unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
    replyStatus(req, unlinkat(fdOf(req, parent), name, 0));
}

void rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
    replyStatus(req, unlinkat(fdOf(req, parent), name, AT_REMOVEDIR));
}

void rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newparent, const char* newname,
            unsigned int flags) {
    replyStatus(req, renameat2(fdOf(req, parent), name, fdOf(req, newparent), newname, flags));
}

void replyOpened(fuse_req_t req, UniqueFd fd, fuse_file_info* fi) {
    const Fs& fs = fsOf(req);
    fi->keep_cache = fs.opt.keepCache;
    fi->noflush = fs.opt.noflush;
    fi->fh = static_cast<uint64_t>(fd.get());
    if (fuse_reply_open(req, fi) == 0) fd.release();  // the kernel holds it until release
}

void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    UniqueFd fd(::open(procPath(fdOf(req, ino)).c_str(), backingFlags(fsOf(req), fi->flags)));
    if (!fd) return (void)fuse_reply_err(req, errno);
    replyOpened(req, std::move(fd), fi);
}

void create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi) {
    Fs& fs = fsOf(req);
    UniqueFd fd(openat(fdOf(req, parent), name, backingFlags(fs, fi->flags | O_CREAT), mode));
    if (!fd) return (void)fuse_reply_err(req, errno);
    fuse_entry_param e;
    if (int err = lookupEntry(req, parent, name, e)) return (void)fuse_reply_err(req, err);
    fi->keep_cache = fs.opt.keepCache;
    fi->noflush = fs.opt.noflush;
    fi->fh = static_cast<uint64_t>(fd.get());
    if (fuse_reply_create(req, &e, fi) == 0)
        fd.release();  // the kernel holds it until release
    else
        forgetOne(fs, e.ino, 1);
}

void release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    UniqueFd closing(static_cast<int>(fi->fh));
    fuse_reply_err(req, 0);
}

void flush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    // Closing a duplicate reports what a close of the caller's descriptor would.
    int d = dup(static_cast<int>(fi->fh));
    replyStatus(req, d < 0 ? -1 : close(d));
}

void fsync(fuse_req_t req, fuse_ino_t, int datasync, fuse_file_info* fi) {
    int fd = static_cast<int>(fi->fh);
    replyStatus(req, datasync ? fdatasync(fd) : ::fsync(fd));
}

void read(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi) {
    fuse_bufvec buf = FUSE_BUFVEC_INIT(size);
    buf.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    buf.buf[0].fd = static_cast<int>(fi->fh);
    buf.buf[0].pos = off;
    fuse_reply_data(req, &buf, FUSE_BUF_SPLICE_MOVE);
}

void writeBuf(fuse_req_t req, fuse_ino_t, fuse_bufvec* in, off_t off, fuse_file_info* fi) {
    fuse_bufvec out = FUSE_BUFVEC_INIT(fuse_buf_size(in));
    out.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    out.buf[0].fd = static_cast<int>(fi->fh);
    out.buf[0].pos = off;
    ssize_t n = fuse_buf_copy(&out, in, static_cast<fuse_buf_copy_flags>(0));
    if (n < 0) return (void)fuse_reply_err(req, static_cast<int>(-n));
    fuse_reply_write(req, static_cast<size_t>(n));
}

void fallocate(fuse_req_t req, fuse_ino_t, int mode, off_t offset, off_t length, fuse_file_info* fi) {
    replyStatus(req, ::fallocate(static_cast<int>(fi->fh), mode, offset, length));
}

void lseek(fuse_req_t req, fuse_ino_t, off_t off, int whence, fuse_file_info* fi) {
    off_t r = ::lseek(static_cast<int>(fi->fh), off, whence);
    if (r < 0) return (void)fuse_reply_err(req, errno);
    fuse_reply_lseek(req, r);
}

DirHandle& dirOf(fuse_file_info* fi) {
    return *reinterpret_cast<DirHandle*>(static_cast<uintptr_t>(fi->fh));
}

void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    Fs& fs = fsOf(req);
    UniqueFd fd(openat(fdOf(req, ino), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return (void)fuse_reply_err(req, errno);
    auto d = std::make_unique<DirHandle>();
    d->dp.reset(fdopendir(fd.get()));
    if (!d->dp) return (void)fuse_reply_err(req, errno);
    fd.release();  // the stream owns it now
    DirHandle* raw = d.get();
    {
        std::lock_guard lock(fs.mutex);
        fs.dirs.emplace(raw, std::move(d));
    }
    fi->fh = reinterpret_cast<uintptr_t>(raw);
    if (fuse_reply_open(req, fi) != 0) {
        std::lock_guard lock(fs.mutex);
        fs.dirs.erase(raw);
    }
}

void readdir(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
    DirHandle& d = dirOf(fi);
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

void releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    Fs& fs = fsOf(req);
    std::unique_ptr<DirHandle> gone;  // closed after the lock is released
    {
        std::lock_guard lock(fs.mutex);
        auto it = fs.dirs.find(&dirOf(fi));
        if (it != fs.dirs.end()) {
            gone = std::move(it->second);
            fs.dirs.erase(it);
        }
    }
    fuse_reply_err(req, 0);
}

void fsyncdir(fuse_req_t req, fuse_ino_t, int datasync, fuse_file_info* fi) {
    int fd = dirfd(dirOf(fi).dp.get());
    replyStatus(req, datasync ? fdatasync(fd) : ::fsync(fd));
}

void statfs(fuse_req_t req, fuse_ino_t ino) {
    struct statvfs sv;
    if (fstatvfs(fdOf(req, ino), &sv) < 0) return (void)fuse_reply_err(req, errno);
    fuse_reply_statfs(req, &sv);
}

// Extended attributes go through /proc: the *xattr calls take no O_PATH descriptor.
void setxattr(fuse_req_t req, fuse_ino_t ino, const char* name, const char* value, size_t size, int flags) {
    replyStatus(req, ::setxattr(procPath(fdOf(req, ino)).c_str(), name, value, size, flags));
}

// Replies to a getxattr or listxattr that filled `buf` (or only measured, when `size` is 0).
void replyXattr(fuse_req_t req, size_t size, ssize_t n, const std::vector<char>& buf) {
    if (n < 0) return (void)fuse_reply_err(req, errno);
    if (size == 0) return (void)fuse_reply_xattr(req, static_cast<size_t>(n));
    fuse_reply_buf(req, buf.data(), static_cast<size_t>(n));
}

void getxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
    std::vector<char> buf(size);
    ssize_t n = ::getxattr(procPath(fdOf(req, ino)).c_str(), name, size ? buf.data() : nullptr, size);
    replyXattr(req, size, n, buf);
}

void listxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
    std::vector<char> buf(size);
    ssize_t n = ::listxattr(procPath(fdOf(req, ino)).c_str(), size ? buf.data() : nullptr, size);
    replyXattr(req, size, n, buf);
}

void removexattr(fuse_req_t req, fuse_ino_t ino, const char* name) {
    replyStatus(req, ::removexattr(procPath(fdOf(req, ino)).c_str(), name));
}

fuse_lowlevel_ops operations() {
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

struct SessionDeleter {
    void operator()(fuse_session* se) const { fuse_session_destroy(se); }
};

struct LoopConfigDeleter {
    void operator()(fuse_loop_config* c) const { fuse_loop_cfg_destroy(c); }
};

int usage() {
    fputs(
        "usage: bare_passthrough [--timeout SECONDS] [--writeback] [--keep-cache] [--noflush] "
        "[--threads N] BACKING MOUNTPOINT\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        char* end = nullptr;
        if (a == "--timeout" && i + 1 < argc) {
            opt.timeout = strtod(argv[++i], &end);
            if (*end != '\0' || opt.timeout < 0) return usage();
        } else if (a == "--threads" && i + 1 < argc) {
            long n = strtol(argv[++i], &end, 10);
            if (*end != '\0' || n < 1 || n > 100000) return usage();
            opt.threads = static_cast<unsigned>(n);
        } else if (a == "--writeback") {
            opt.writeback = true;
        } else if (a == "--keep-cache") {
            opt.keepCache = true;
        } else if (a == "--noflush") {
            opt.noflush = true;
        } else if (!a.empty() && a[0] != '-') {
            paths.push_back(a);
        } else {
            return usage();
        }
    }
    if (paths.size() != 2) return usage();

    // Every item the kernel knows holds a descriptor: a clone of a large repository needs thousands.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    // The kernel applies the caller's umask before a create reaches us; ours must not add to it.
    umask(0);

    auto fs = std::make_unique<Fs>();
    fs->opt = opt;
    fs->root.fd.reset(::open(paths[0].c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!fs->root.fd || fstat(fs->root.fd.get(), &st) < 0) {
        fprintf(stderr, "bare_passthrough: %s: %s\n", paths[0].c_str(), strerror(errno));
        return 1;
    }
    fs->root.dev = st.st_dev;
    fs->root.ino = st.st_ino;

    const char* fargv[] = {"bare_passthrough", "-o",
                           "default_permissions,fsname=bare_passthrough,subtype=bare"};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(fargv));
    fuse_lowlevel_ops ops = operations();
    std::unique_ptr<fuse_session, SessionDeleter> se(fuse_session_new(&args, &ops, sizeof ops, fs.get()));
    fuse_opt_free_args(&args);
    if (!se) return 1;
    if (fuse_set_signal_handlers(se.get()) != 0) return 1;
    if (fuse_session_mount(se.get(), paths[1].c_str()) != 0) {
        fuse_remove_signal_handlers(se.get());
        return 1;
    }
    int rc;
    if (opt.threads == 1) {
        rc = fuse_session_loop(se.get());
    } else {
        std::unique_ptr<fuse_loop_config, LoopConfigDeleter> cfg(fuse_loop_cfg_create());
        fuse_loop_cfg_set_clone_fd(cfg.get(), 0);
        fuse_loop_cfg_set_max_threads(cfg.get(), opt.threads);
        fuse_loop_cfg_set_idle_threads(cfg.get(), std::min(opt.threads, 8u));
        rc = fuse_session_loop_mt(se.get(), cfg.get());
    }
    fuse_session_unmount(se.get());
    fuse_remove_signal_handlers(se.get());
    return rc == 0 ? 0 : 1;
}
