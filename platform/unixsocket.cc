#include "platform/unixsocket.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace tw::platform {

UniqueFd connectUnix(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        errno = ENAMETOOLONG;
        return UniqueFd();
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return UniqueFd();
    return fd;
}

namespace {
// Waits until `fd` is ready for `events`, the deadline passes, or `cancelFd` becomes readable.
IoResult waitReady(int fd, short events, Deadline deadline, int cancelFd) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) return IoResult::timedOut;
        pollfd p[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
        int n =
            ::poll(p, cancelFd >= 0 ? 2 : 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
        if (n < 0) {
            if (errno == EINTR) continue;
            return IoResult::failed;
        }
        if (n == 0) continue;
        if (cancelFd >= 0 && (p[1].revents & POLLIN)) return IoResult::cancelled;
        if (p[0].revents) return IoResult::ok;
    }
}
}  // namespace

IoResult sendAll(int fd, const void* data, std::size_t size, Deadline deadline, int cancelFd) {
    auto p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            IoResult w = waitReady(fd, POLLOUT, deadline, cancelFd);
            if (w != IoResult::ok) return w;
            continue;
        }
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) return IoResult::closed;
        return IoResult::failed;
    }
    return IoResult::ok;
}

IoResult recvAll(int fd, void* data, std::size_t size, Deadline deadline, int cancelFd) {
    auto p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = ::recv(fd, p, size, MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) return IoResult::closed;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            IoResult w = waitReady(fd, POLLIN, deadline, cancelFd);
            if (w != IoResult::ok) return w;
            continue;
        }
        if (errno == ECONNRESET) return IoResult::closed;
        return IoResult::failed;
    }
    return IoResult::ok;
}

void putU32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint32_t getU32(const unsigned char* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

IoResult sendFields(int fd, const std::vector<std::string>& fields, Deadline deadline, int cancelFd) {
    if (fields.size() > kMaxFields) return IoResult::failed;
    std::string out;
    putU32(out, static_cast<std::uint32_t>(fields.size()));
    for (const auto& f : fields) {
        if (f.size() > kMaxFieldBytes) return IoResult::failed;
        putU32(out, static_cast<std::uint32_t>(f.size()));
        out += f;
    }
    return sendAll(fd, out.data(), out.size(), deadline, cancelFd);
}

IoResult recvFields(int fd, std::vector<std::string>& fields, Deadline deadline, int cancelFd) {
    fields.clear();
    unsigned char head[4];
    IoResult r = recvAll(fd, head, 4, deadline, cancelFd);
    if (r != IoResult::ok) return r;
    std::uint32_t count = getU32(head);
    if (count > kMaxFields) return IoResult::failed;
    for (std::uint32_t i = 0; i < count; ++i) {
        r = recvAll(fd, head, 4, deadline, cancelFd);
        if (r != IoResult::ok) return r == IoResult::closed ? IoResult::failed : r;
        std::uint32_t len = getU32(head);
        if (len > kMaxFieldBytes) return IoResult::failed;
        std::string f(len, '\0');
        if (len > 0) {
            r = recvAll(fd, f.data(), len, deadline, cancelFd);
            if (r != IoResult::ok) return r == IoResult::closed ? IoResult::failed : r;
        }
        fields.push_back(std::move(f));
    }
    return IoResult::ok;
}

}  // namespace tw::platform
