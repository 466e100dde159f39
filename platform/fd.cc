#include "platform/fd.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace tw::platform {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);  // Linux closes the descriptor even when close reports EINTR
    fd_ = fd;
}

bool UniqueFd::close() {
    if (fd_ < 0) return true;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool writeFileAtomically(const std::string& path, std::string_view content, unsigned mode) {
    std::string temp = path + ".tmp-" + std::to_string(::getpid());
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd) return false;
    bool ok = writeAll(fd.get(), content) && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        int code = errno;  // callers report why the write failed, not why the clean-up did
        ::unlink(temp.c_str());
        errno = code;
        return false;
    }
    return true;
}

}  // namespace tw::platform
