#include "platform/instancelock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/places.h"

namespace tw::platform {

std::string InstanceLock::defaultPath() {
    return runtimeFolder() + "/com.meridot.tidewell.lock";
}

std::unique_ptr<InstanceLock> InstanceLock::acquire(std::string* error, const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) {
        if (error) *error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (error)
            *error = errno == EWOULDBLOCK ? "another instance holds " + path
                                          : "cannot lock " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    // The holder's process id, for a person looking at the file.
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.get(), 0) == 0) writeAll(fd.get(), pid);
    return std::unique_ptr<InstanceLock>(new InstanceLock(std::move(fd)));
}

}  // namespace tw::platform
