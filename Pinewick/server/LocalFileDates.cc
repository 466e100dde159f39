#include "Pinewick/server/LocalFileDates.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstdlib>

namespace tw {
namespace {

constexpr const char* kCreationAttr = "user.com.meridot.creationdate";

Date fromStatx(const statx_timestamp& t) {
    return Date(std::chrono::seconds(t.tv_sec)) +
           std::chrono::duration_cast<Date::duration>(std::chrono::nanoseconds(t.tv_nsec));
}

std::optional<Date> storedCreationDate(const std::string& path) {
    char buf[64] = {0};
    ssize_t n = ::getxattr(path.c_str(), kCreationAttr, buf, sizeof buf - 1);
    if (n <= 0) return std::nullopt;
    char* end = nullptr;
    double secs = strtod(buf, &end);
    if (end == buf) return std::nullopt;
    return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(secs)));
}

}  // namespace

std::optional<LocalFileFacts> localFileFacts(const std::string& path) {
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return std::nullopt;
    LocalFileFacts f;
    f.size = static_cast<int64_t>(sx.stx_size);
    f.modificationDate = fromStatx(sx.stx_mtime);
    if (auto stored = storedCreationDate(path))
        f.creationDate = *stored;
    else if (sx.stx_mask & STATX_BTIME)
        f.creationDate = fromStatx(sx.stx_btime);
    else
        f.creationDate = fromStatx(sx.stx_ctime);
    return f;
}

std::optional<Date> creationDate(const std::string& path) {
    auto f = localFileFacts(path);
    if (!f) return std::nullopt;
    return f->creationDate;
}

bool setCreationDate(const std::string& path, Date date) {
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(date.time_since_epoch()).count();
    auto frac = std::chrono::duration_cast<std::chrono::microseconds>(date.time_since_epoch()).count() % 1000000;
    std::string text = std::to_string(secs);
    if (frac != 0) {
        char buf[16];
        snprintf(buf, sizeof buf, ".%06lld", static_cast<long long>(frac < 0 ? -frac : frac));
        text += buf;
    }
    return ::setxattr(path.c_str(), kCreationAttr, text.data(), text.size(), 0) == 0;
}

}  // namespace tw
