// The mounts gatewarden hosts and the control socket through which tidewell-hdiutil attaches and
// ejects them and the "/.vol/" resolver finds an item's current path. Requests (text fields):
//   attach CONTENT MOUNTPOINT NAME UUID   mount an image's content folder
//   attach-in-place FOLDER                mount a folder over itself
//   eject MOUNTPOINT [force]              unmount; a volume in use is refused ("Resource busy"), or
//                                         with force detached at once and served until its open
//                                         files close
//   resolve DEVICE INODE                  current path of an item on one of our mounts
//   volume-uuid DEVICE                    the UUID of the mount with that device number
//   list                                  every mount point
// Replies: "ok" and results, or "error" and a message.
//
// Thread-safety: `mountsMutex_` guards the tables and serialises mounting and unmounting; resolving
// works on a shared reference outside the lock.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Larkspur/Brindle.h"
#include "Larkspur/FuseMount.h"
#include "Larkspur/SocketServer.h"

namespace gw {

class Volumes {
public:
    explicit Volumes(Brindle& filter);
    ~Volumes();

    bool listen(const std::string& path);
    void start() { server_.start(); }
    // Stops serving requests and takes every volume out of the tree, lazily where files are open.
    void detachAll();
    // Serves the detached volumes whose files are still open until they are closed, `deadline` passes
    // or `giveUp` holds (checked every 100 ms). True when no session is left.
    bool waitForSessions(std::chrono::steady_clock::time_point deadline,
                         const std::function<bool()>& giveUp = nullptr);
    // Mount points of the sessions still serving open files after their volume was ejected.
    std::vector<std::string> lingering();

    std::vector<std::string> handle(const std::vector<std::string>& request);

private:
    void serve(tw::platform::UniqueFd connection, int cancelFd);
    std::vector<std::string> attach(const std::string& content, const std::string& mountPoint,
                                    const std::string& name, const std::string& uuid);
    std::vector<std::string> attachInPlace(const std::string& folder);
    std::vector<std::string> eject(const std::string& mountPoint, bool force);
    std::shared_ptr<FuseMount> byDevice(dev_t device);
    void reapLingering();

    Brindle& filter_;
    std::mutex mountsMutex_;
    std::vector<std::shared_ptr<FuseMount>> mounts_;
    std::vector<std::shared_ptr<FuseMount>> lingering_;  // ejected, session not yet cleaned up
    SocketServer server_;
};

}  // namespace gw
