// One running instance per user: an exclusive lock on $XDG_RUNTIME_DIR/com.meridot.tidewell.lock. The
// lock belongs to the open descriptor, so a killed instance leaves nothing that stops the next one.
//
// Thread-safety: one owner.
#pragma once

#include <memory>
#include <string>

#include "platform/fd.h"

namespace tw::platform {

class InstanceLock {
public:
    // Takes the lock at `path` (default: the runtime folder's lock). None when another process holds
    // it, or the folder cannot hold it (`*error` says which).
    static std::unique_ptr<InstanceLock> acquire(std::string* error, const std::string& path = defaultPath());
    static std::string defaultPath();

private:
    explicit InstanceLock(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

}  // namespace tw::platform
