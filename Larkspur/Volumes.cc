#include "Larkspur/Volumes.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <thread>

#include "Larkspur/Log.h"
#include "platform/files.h"
#include "platform/pwnames.h"
#include "platform/uuid.h"

namespace gw {

using tw::platform::UniqueFd;

namespace {
std::vector<std::string> errorReply(const std::string& message) {
    return {"error", message};
}

bool parseNumber(const std::string& text, std::uint64_t& out) {
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && ec == std::errc() && p == text.data() + text.size();
}

std::string normalise(const std::string& path) {
    std::string p = std::filesystem::path(path).lexically_normal().string();
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

// A folder we can mount on: exists (made when `create`), and any stale mount on it detached first.
bool prepareMountPoint(const std::string& path, bool create, bool& created, std::string& why) {
    struct stat st;
    if (::stat(path.c_str(), &st) < 0 && errno == ENOTCONN) {
        GW_WARN("Detaching a stale mount at %s", path.c_str());
        detachStaleMount(path);
    }
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            why = path + " is not a folder";
            return false;
        }
        return true;
    }
    if (!create) {
        why = path + ": " + strerror(errno);
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) {
        why = "cannot create " + path + ": " + ec.message();
        return false;
    }
    created = true;
    return true;
}
}  // namespace

Volumes::Volumes(Brindle& filter)
    : filter_(filter),
      server_("control", [this](UniqueFd c, std::uint64_t, int cancel) { serve(std::move(c), cancel); }) {}

Volumes::~Volumes() {
    detachAll();
    // A session ends a moment after a plain unmount; one still serving open files is ended when its
    // mount is dropped (the daemon leaves the process rather than let that happen).
    waitForSessions(std::chrono::steady_clock::now() + std::chrono::seconds(2));
}

void Volumes::reapLingering() {
    std::lock_guard lock(mountsMutex_);
    lingering_.erase(std::remove_if(lingering_.begin(), lingering_.end(),
                                    [](const std::shared_ptr<FuseMount>& m) { return m->reap(); }),
                     lingering_.end());
}

bool Volumes::listen(const std::string& path) {
    return server_.listen(path);
}

void Volumes::detachAll() {
    server_.stop();
    std::lock_guard lock(mountsMutex_);
    for (auto& m : mounts_) {
        if (m->eject(true) == FuseMount::Ejected::failed)
            GW_ERROR("%s stays mounted until this process ends", m->mountPoint().c_str());
        lingering_.push_back(m);
    }
    mounts_.clear();
}

bool Volumes::waitForSessions(std::chrono::steady_clock::time_point deadline,
                              const std::function<bool()>& giveUp) {
    for (;;) {
        reapLingering();
        {
            std::lock_guard lock(mountsMutex_);
            if (lingering_.empty()) return true;
        }
        if (std::chrono::steady_clock::now() >= deadline || (giveUp && giveUp())) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::vector<std::string> Volumes::lingering() {
    reapLingering();
    std::vector<std::string> out;
    std::lock_guard lock(mountsMutex_);
    for (auto& m : lingering_) out.push_back(m->mountPoint());
    return out;
}

void Volumes::serve(UniqueFd conn, int cancelFd) {
    std::vector<std::string> request;
    auto r = tw::platform::recvFields(conn.get(), request,
                                      std::chrono::steady_clock::now() + std::chrono::seconds(10), cancelFd);
    if (r != tw::platform::IoResult::ok) {
        if (r != tw::platform::IoResult::closed) GW_WARN("Control: unreadable request");
        return;
    }
    auto reply = handle(request);
    tw::platform::sendFields(conn.get(), reply, std::chrono::steady_clock::now() + std::chrono::seconds(10),
                             cancelFd);
}

std::vector<std::string> Volumes::handle(const std::vector<std::string>& req) {
    reapLingering();
    if (req.empty()) return errorReply("empty request");
    const std::string& verb = req[0];
    if (verb == "attach" && req.size() == 5) return attach(req[1], req[2], req[3], req[4]);
    if (verb == "attach-in-place" && req.size() == 2) return attachInPlace(req[1]);
    if (verb == "eject" && (req.size() == 2 || (req.size() == 3 && req[2] == "force")))
        return eject(req[1], req.size() == 3);
    if (verb == "resolve" && req.size() == 3) {
        std::uint64_t dev = 0, ino = 0;
        if (!parseNumber(req[1], dev) || !parseNumber(req[2], ino)) return errorReply("bad numbers");
        auto m = byDevice(static_cast<dev_t>(dev));
        if (!m) return errorReply("no such volume");
        auto p = m->pathOfInode(ino);
        if (!p) return errorReply("no such item");
        return {"ok", *p};
    }
    if (verb == "volume-uuid" && req.size() == 2) {
        std::uint64_t dev = 0;
        if (!parseNumber(req[1], dev)) return errorReply("bad number");
        auto m = byDevice(static_cast<dev_t>(dev));
        if (!m) return errorReply("no such volume");
        return {"ok", m->uuid()};
    }
    if (verb == "list") {
        std::vector<std::string> out{"ok"};
        std::lock_guard lock(mountsMutex_);
        for (auto& m : mounts_) out.push_back(m->mountPoint());
        return out;
    }
    GW_WARN("Control: unknown request \"%s\" with %zu fields", printable(verb).c_str(), req.size());
    return errorReply("unknown request");
}

std::shared_ptr<FuseMount> Volumes::byDevice(dev_t device) {
    std::lock_guard lock(mountsMutex_);
    for (auto& m : mounts_)
        if (m->device() == device) return m;
    return nullptr;
}

std::vector<std::string> Volumes::attach(const std::string& contentIn, const std::string& mountPointIn,
                                         const std::string& name, const std::string& uuid) {
    if (contentIn.empty() || contentIn[0] != '/' || mountPointIn.empty() || mountPointIn[0] != '/')
        return errorReply("paths must be absolute");
    std::string content = normalise(contentIn), mountPoint = normalise(mountPointIn);
    std::lock_guard lock(mountsMutex_);
    for (auto& m : mounts_)
        if (m->mountPoint() == mountPoint) return {"ok", mountPoint};  // already attached
    UniqueFd backing(::open(content.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!backing) return errorReply(content + ": " + strerror(errno));
    bool created = false;
    std::string why;
    if (!prepareMountPoint(mountPoint, true, created, why)) return errorReply(why);
    MountOptions o{mountPoint, name, uuid, created};
    int err = 0;
    auto m = FuseMount::mount(filter_, std::move(backing), o, &why, &err);
    if (!m) {
        if (created) ::rmdir(mountPoint.c_str());
        GW_ERROR("%s", why.c_str());
        return {"error", why, std::to_string(err)};
    }
    mounts_.push_back(std::shared_ptr<FuseMount>(std::move(m)));
    return {"ok", mountPoint};
}

std::vector<std::string> Volumes::attachInPlace(const std::string& folderIn) {
    if (folderIn.empty() || folderIn[0] != '/') return errorReply("the folder must be an absolute path");
    std::string folder = normalise(folderIn);
    std::lock_guard lock(mountsMutex_);
    for (auto& m : mounts_)
        if (m->mountPoint() == folder) return {"ok", folder};
    bool created = false;
    std::string why;
    if (!prepareMountPoint(folder, false, created, why)) return errorReply(why);
    // Opened before mounting: afterwards the folder's own content is reachable only through this.
    UniqueFd backing(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!backing) return errorReply(folder + ": " + strerror(errno));
    std::string proc = "/proc/self/fd/" + std::to_string(backing.get());
    std::string uuid = tw::platform::getXattr(proc, tw::pw::kVolumeUUIDAttribute, 127).value_or("");
    if (uuid.empty()) {
        uuid = tw::platform::newUUID();
        tw::platform::SysError error;
        if (!tw::platform::setXattr(proc, tw::pw::kVolumeUUIDAttribute, uuid, &error))
            GW_WARN("Cannot record the volume UUID of %s: %s", folder.c_str(), error.describe().c_str());
    }
    MountOptions o{folder, std::filesystem::path(folder).filename().string(), uuid, false};
    int err = 0;
    auto m = FuseMount::mount(filter_, std::move(backing), o, &why, &err);
    if (!m) {
        GW_ERROR("%s", why.c_str());
        return {"error", why, std::to_string(err)};
    }
    mounts_.push_back(std::shared_ptr<FuseMount>(std::move(m)));
    return {"ok", folder};
}

std::vector<std::string> Volumes::eject(const std::string& mountPointIn, bool force) {
    std::string mountPoint = normalise(mountPointIn);
    std::lock_guard lock(mountsMutex_);
    auto it = std::find_if(mounts_.begin(), mounts_.end(), [&](const std::shared_ptr<FuseMount>& x) {
        return x->mountPoint() == mountPoint;
    });
    if (it == mounts_.end()) return errorReply(mountPoint + " is not mounted by gatewarden");
    // A volume in use stays mounted unless the eject is forced, as a disk would. Forced, it leaves the
    // tree at once without waiting for its files to close, and they keep working until they do.
    switch ((*it)->eject(force)) {
        case FuseMount::Ejected::busy:
            return errorReply("Resource busy");
        case FuseMount::Ejected::failed:
            return errorReply("cannot detach " + mountPoint);
        case FuseMount::Ejected::gone:
        case FuseMount::Ejected::detachedInUse:
            break;
    }
    // Cleaned up once its session ends: at once after a plain unmount, when the last file closes after
    // a detach.
    lingering_.push_back(*it);
    mounts_.erase(it);
    return {"ok"};
}

}  // namespace gw
