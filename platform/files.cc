#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "platform/decimal.h"
#include "platform/paths.h"

namespace tw::platform {

namespace {

std::string userName(const std::string& name) {
    return "user." + name;
}

// Runs a system call again while a signal interrupts it.
template <typename F>
auto retryEintr(F&& call) {
    for (;;) {
        auto rc = call();
        if (rc != -1 || errno != EINTR) return rc;
    }
}

void setError(SysError* error, SysError value) {
    if (error) *error = std::move(value);
}

std::mutex& resolverMutex() {
    static std::mutex m;
    return m;
}
std::shared_ptr<const VolPathResolver>& resolverSlot() {
    static std::shared_ptr<const VolPathResolver> slot;
    return slot;
}

// Maps a path for a call; sets ENOENT on `error` for an unresolvable "/.vol/" path.
std::optional<std::string> realPath(const char* call, const std::string& path, SysError* error) {
    auto resolved = resolveVolPath(path);
    if (!resolved) setError(error, sysError(call, path, ENOENT));
    return resolved;
}

double seconds(const struct statx_timestamp& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

const char* typeText(uint16_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return kFileTypeRegular;
        case S_IFDIR:
            return kFileTypeDirectory;
        case S_IFLNK:
            return kFileTypeSymbolicLink;
        case S_IFCHR:
            return kFileTypeCharacterSpecial;
        case S_IFBLK:
            return kFileTypeBlockSpecial;
        case S_IFSOCK:
            return kFileTypeSocket;
        default:
            return kFileTypeUnknown;  // FIFOs have no text of their own
    }
}

}  // namespace

std::string SysError::describe() const {
    return call + "(" + path + "): " + std::strerror(code);
}

SysError sysError(const char* call, std::string path) {
    return sysError(call, std::move(path), errno);
}

SysError sysError(const char* call, std::string path, int code) {
    SysError e;
    e.code = code;
    e.call = call;
    e.path = std::move(path);
    return e;
}

std::optional<FileAttributes> attributesOfItem(const std::string& path, SysError* error,
                                               bool readCreationDate) {
    auto real = realPath("statx", path, error);
    if (!real) return std::nullopt;
    struct statx sx {};
    int rc = retryEintr([&] {
        return ::statx(AT_FDCWD, real->c_str(), AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT,
                       STATX_BASIC_STATS | STATX_BTIME, &sx);
    });
    if (rc != 0) {
        setError(error, sysError("statx", path));
        return std::nullopt;
    }
    FileAttributes a;
    a.systemNumber = static_cast<uint64_t>(makedev(sx.stx_dev_major, sx.stx_dev_minor));
    a.systemFileNumber = sx.stx_ino;
    a.type = typeText(sx.stx_mode);
    a.size = sx.stx_size;
    a.permissions = sx.stx_mode & 07777;
    a.modificationDate = seconds(sx.stx_mtime);
    a.modificationNanos = static_cast<int64_t>(sx.stx_mtime.tv_sec) * 1000000000 + sx.stx_mtime.tv_nsec;
    a.creationDate = (sx.stx_mask & STATX_BTIME) ? seconds(sx.stx_btime) : a.modificationDate;

    if (!readCreationDate) return a;
    // A recorded creation date wins over the birth time; it is read from the item itself, not from the
    // target of a link, to match the no-follow query above, and where it lives on disk (see
    // `getXattrFromBacking`).
    char buf[64];
    std::string where = backingPathOf(*real);
    ssize_t n = retryEintr([&] {
        return ::lgetxattr(where.c_str(), userName(kCreationDateAttribute).c_str(), buf, sizeof buf);
    });
    if (n > 0) {
        if (auto value = parseFiniteDecimal(std::string_view(buf, static_cast<size_t>(n))))
            a.creationDate = *value;
    }
    return a;
}

bool isFolder(const std::string& path) {
    // The kind alone: the creation date would cost one more call for nothing.
    auto a = attributesOfItem(path, nullptr, false);
    return a && a->type == kFileTypeDirectory;
}

bool itemExists(const std::string& path) {
    return attributesOfItem(path, nullptr, false).has_value();
}

bool isMountPoint(const std::string& folder) {
    std::string f = folder;
    while (f.size() > 1 && f.back() == '/') f.pop_back();  // "/a/" is "/a", whose parent is "/"
    struct stat self {
    }, parent{};
    if (::stat(f.c_str(), &self) != 0 || ::stat(parentFolder(f).c_str(), &parent) != 0) return false;
    return self.st_dev != parent.st_dev;
}

bool setCreationDate(const std::string& path, double secondsSince1970, SysError* error) {
    if (!std::isfinite(secondsSince1970)) {
        setError(error, sysError("setxattr", path, EINVAL));
        return false;
    }
    return setXattrInBacking(path, kCreationDateAttribute, shortestDecimal(secondsSince1970), error);
}

bool setModificationDate(const std::string& path, double secondsSince1970, SysError* error) {
    auto real = realPath("utimensat", path, error);
    if (!real) return false;
    // Outside this range the conversion to time_t is undefined.
    if (!std::isfinite(secondsSince1970) || std::fabs(secondsSince1970) > 1e15) {
        setError(error, sysError("utimensat", path, EINVAL));
        return false;
    }
    double whole = std::floor(secondsSince1970);
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(whole);
    times[0].tv_nsec = static_cast<long>((secondsSince1970 - whole) * 1e9);
    if (times[0].tv_nsec >= 1000000000L) times[0].tv_nsec = 999999999L;
    times[1] = times[0];
    if (retryEintr([&] { return ::utimensat(AT_FDCWD, real->c_str(), times, 0); }) != 0) {
        setError(error, sysError("utimensat", path));
        return false;
    }
    return true;
}

std::optional<std::string> getXattr(const std::string& path, const std::string& name, size_t maxSize,
                                    SysError* error) {
    auto real = realPath("getxattr", path, error);
    if (!real) return std::nullopt;
    std::vector<char> buf(maxSize > 0 ? maxSize : 1);
    ssize_t n =
        retryEintr([&] { return ::getxattr(real->c_str(), userName(name).c_str(), buf.data(), maxSize); });
    if (n < 0) {
        setError(error, sysError("getxattr", path));
        return std::nullopt;
    }
    // With a size of 0 getxattr only reports the length, so a non-empty value did not fit.
    if (static_cast<size_t>(n) > maxSize) {
        setError(error, sysError("getxattr", path, ERANGE));
        return std::nullopt;
    }
    return std::string(buf.data(), static_cast<size_t>(n));
}

namespace {
std::shared_mutex g_backingMutex;
std::vector<std::pair<std::string, std::string>> g_backing;  // (mount point, backing folder)
}  // namespace

void setBackingFolder(const std::string& mountPoint, const std::string& backing) {
    std::string point = mountPoint;
    while (point.size() > 1 && point.back() == '/') point.pop_back();
    std::unique_lock lock(g_backingMutex);
    std::erase_if(g_backing, [&](const auto& entry) { return entry.first == point; });
    if (!backing.empty()) g_backing.emplace_back(std::move(point), backing);
}

std::string backingPathOf(const std::string& path) {
    std::shared_lock lock(g_backingMutex);
    for (const auto& [point, backing] : g_backing) {
        if (path.compare(0, point.size(), point) != 0) continue;
        if (path.size() == point.size()) return backing;
        // "/v/Work" holds "/v/Work/a", not "/v/Workshop".
        if (path[point.size()] == '/') return backing + path.substr(point.size());
    }
    return path;
}

std::optional<std::string> getXattrFromBacking(const std::string& path, const std::string& name,
                                               size_t maxSize, SysError* error) {
    auto real = realPath("getxattr", path, error);
    if (!real) return std::nullopt;
    return getXattr(backingPathOf(*real), name, maxSize, error);
}

bool setXattrInBacking(const std::string& path, const std::string& name, std::string_view value,
                       SysError* error) {
    auto real = realPath("setxattr", path, error);
    if (!real) return false;
    return setXattr(backingPathOf(*real), name, value, error);
}

bool removeXattrInBacking(const std::string& path, const std::string& name, SysError* error) {
    auto real = realPath("removexattr", path, error);
    if (!real) return false;
    return removeXattr(backingPathOf(*real), name, error);
}

bool setXattr(const std::string& path, const std::string& name, std::string_view value, SysError* error) {
    auto real = realPath("setxattr", path, error);
    if (!real) return false;
    int rc = retryEintr(
        [&] { return ::setxattr(real->c_str(), userName(name).c_str(), value.data(), value.size(), 0); });
    if (rc != 0) {
        setError(error, sysError("setxattr", path));
        return false;
    }
    return true;
}

bool removeXattr(const std::string& path, const std::string& name, SysError* error) {
    auto real = realPath("removexattr", path, error);
    if (!real) return false;
    if (retryEintr([&] { return ::removexattr(real->c_str(), userName(name).c_str()); }) != 0) {
        setError(error, sysError("removexattr", path));
        return false;
    }
    return true;
}

void setVolPathResolver(VolPathResolver resolver) {
    std::shared_ptr<const VolPathResolver> next;
    if (resolver) next = std::make_shared<const VolPathResolver>(std::move(resolver));
    std::lock_guard<std::mutex> lock(resolverMutex());
    resolverSlot() = std::move(next);
}

bool isVolPath(const std::string& path, uint64_t* dev, uint64_t* ino) {
    static constexpr std::string_view prefix = "/.vol/";
    std::string_view p(path);
    if (p.substr(0, prefix.size()) != prefix) return false;
    p.remove_prefix(prefix.size());
    size_t slash = p.find('/');
    if (slash == std::string_view::npos) return false;
    auto d = parseDecimal(p.substr(0, slash));
    if (!d) return false;
    std::string_view rest = p.substr(slash + 1);
    auto i = parseDecimal(rest.substr(0, rest.find('/')));
    if (!i) return false;
    if (dev) *dev = *d;
    if (ino) *ino = *i;
    return true;
}

std::optional<std::string> resolveVolPath(const std::string& path) {
    uint64_t dev = 0, ino = 0;
    if (!isVolPath(path, &dev, &ino)) return path;
    std::shared_ptr<const VolPathResolver> resolver;
    {
        std::lock_guard<std::mutex> lock(resolverMutex());
        resolver = resolverSlot();
    }
    if (!resolver) return std::nullopt;
    auto base = (*resolver)(dev, ino);
    if (!base) return std::nullopt;
    // Keep whatever followed the identity ("/.vol/D/I/name" names a child of folder D/I).
    size_t afterDev = path.find('/', 6);
    size_t afterIno = path.find('/', afterDev + 1);
    if (afterIno != std::string::npos) base->append(path, afterIno, std::string::npos);
    return base;
}

std::optional<std::string> pathOfItem(uint64_t dev, uint64_t ino, const std::string& hint) {
    auto isIt = [&](const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == dev &&
               static_cast<uint64_t>(st.st_ino) == ino;
    };
    if (!hint.empty() && !isVolPath(hint) && isIt(hint)) return hint;
    auto resolved = resolveVolPath("/.vol/" + std::to_string(dev) + "/" + std::to_string(ino));
    if (!resolved || isVolPath(*resolved) || !isIt(*resolved)) return std::nullopt;
    return resolved;
}

std::optional<std::vector<std::string>> entriesOfFolder(const std::string& folder) {
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec) return std::nullopt;
    std::vector<std::string> names;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (ec) return std::nullopt;
        names.push_back(it->path().filename().string());
    }
    if (ec) return std::nullopt;
    return names;
}

std::string mainExecutablePath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    return std::string(buf, static_cast<size_t>(n));
}

}  // namespace tw::platform
