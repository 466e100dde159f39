#include "Larkspur/SocketServer.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "Larkspur/Log.h"

namespace gw {

using tw::platform::UniqueFd;

SocketServer::SocketServer(std::string name, Handler handler)
    : name_(std::move(name)), handler_(std::move(handler)) {
    cancel_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

SocketServer::~SocketServer() {
    stop();
}

bool SocketServer::listen(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        GW_ERROR("%s socket path too long: %s", name_.c_str(), path.c_str());
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (UniqueFd probe = tw::platform::connectUnix(path)) {
        GW_ERROR("%s socket %s is served by another process", name_.c_str(), path.c_str());
        return false;
    }
    ::unlink(path.c_str());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        GW_ERROR("%s socket: %s", name_.c_str(), strerror(errno));
        return false;
    }
    // The umask makes the file 0600 from the moment it exists; called before any other thread runs.
    mode_t old = ::umask(0177);
    int rc = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int err = errno;
    ::umask(old);
    if (rc < 0) {
        GW_ERROR("%s socket bind %s: %s", name_.c_str(), path.c_str(), strerror(err));
        return false;
    }
    ::chmod(path.c_str(), 0600);
    if (::listen(fd.get(), 16) < 0) {
        GW_ERROR("%s socket listen: %s", name_.c_str(), strerror(errno));
        ::unlink(path.c_str());
        return false;
    }
    path_ = path;
    listener_ = std::move(fd);
    return true;
}

void SocketServer::start() {
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

void SocketServer::reapFinished() {
    std::list<Connection> done;
    {
        std::lock_guard lock(threadsMutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            auto next = std::next(it);
            if (it->finished) done.splice(done.end(), connections_, it);
            it = next;
        }
    }
    for (auto& c : done) c.thread.join();
}

void SocketServer::acceptLoop() {
    for (;;) {
        pollfd p[2] = {{listener_.get(), POLLIN, 0}, {cancel_.get(), POLLIN, 0}};
        int n = ::poll(p, 2, 5000);
        if (n < 0 && errno != EINTR) {
            GW_ERROR("%s accept poll: %s", name_.c_str(), strerror(errno));
            return;
        }
        if (p[1].revents & POLLIN) return;
        reapFinished();
        if (n <= 0 || !(p[0].revents & POLLIN)) continue;
        UniqueFd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!conn) continue;
        ucred cred{};
        socklen_t len = sizeof cred;
        if (::getsockopt(conn.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) < 0 || cred.uid != ::geteuid()) {
            GW_WARN("%s: refusing a connection from uid %u (pid %d)", name_.c_str(), cred.uid, cred.pid);
            continue;
        }
        std::lock_guard lock(threadsMutex_);
        std::uint64_t id = nextId_++;
        connections_.push_back(Connection{id, std::thread(), false});
        auto& slot = connections_.back();
        slot.thread = std::thread([this, id, c = std::move(conn)]() mutable {
            handler_(std::move(c), id, cancel_.get());
            std::lock_guard l(threadsMutex_);
            for (auto& x : connections_)
                if (x.id == id) x.finished = true;
        });
    }
}

void SocketServer::stop() {
    if (stopped_) return;
    stopped_ = true;
    std::uint64_t one = 1;
    if (cancel_) {
        ssize_t w = ::write(cancel_.get(), &one, sizeof one);
        (void)w;
    }
    if (acceptThread_.joinable()) acceptThread_.join();
    std::list<Connection> all;
    {
        std::lock_guard lock(threadsMutex_);
        all.swap(connections_);
    }
    for (auto& c : all)
        if (c.thread.joinable()) c.thread.join();
    if (listener_) {
        listener_.reset();
        ::unlink(path_.c_str());
    }
}

}  // namespace gw
