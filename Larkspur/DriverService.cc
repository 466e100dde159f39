#include "Larkspur/DriverService.h"

#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include "Larkspur/Log.h"
#include "platform/unixsocket.h"

namespace gw {

using namespace tw::pw;
using tw::platform::IoResult;

namespace {
// Largest input a call may carry; anything longer is not a call of ours and ends the connection.
constexpr std::uint32_t kMaxInput = 64 * 1024;
// A call's input must follow its header promptly; a client stuck in the middle of a call is dropped.
constexpr auto kMidCallLimit = std::chrono::seconds(10);
// A read of an empty queue waits this long for an event before it answers "empty". The application
// reads again at once after an empty answer, so a question queued meanwhile (a held open) is handed
// over the moment it is asked, and an idle application costs one call a second. The wait ends early
// when the daemon stops or the reader's client no longer holds the driver.
constexpr auto kEmptyReadHold = std::chrono::microseconds(std::chrono::seconds(1));

// The process at the other end of a connection; 0 when the socket cannot say.
pid_t peerPid(int fd) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) < 0) return 0;
    return cred.pid;
}

// True when the peer of a connection has gone (closed, died, or shut down its sending side).
bool peerGone(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL));
}

struct MethodShape {
    std::uint32_t inputSize;
    std::uint32_t outputSize;
};
// Structure sizes per selector, checked before a call runs.
constexpr MethodShape sMethods[] = {
    {0, 0}, {0, 0}, {kRecordSize, 0}, {0, kRecordSize}, {0, kRecordSize* kRecordsPerRead}};
}  // namespace

DriverService::DriverService(Brindle& filter)
    : filter_(filter), server_("user-client", [this](tw::platform::UniqueFd c, std::uint64_t id, int cancel) {
          serve(std::move(c), id, cancel);
      }) {}

DriverService::~DriverService() {
    stop();
}

bool DriverService::listen(const std::string& path) {
    return server_.listen(path);
}

void DriverService::stop() {
    attached_.store(false);
    filter_.wakeReaders();  // a waiting read must not hold up the stop
    server_.stop();
}

void DriverService::serve(tw::platform::UniqueFd conn, std::uint64_t id, int cancelFd) {
    GW_DEBUG("User client %llu connected", static_cast<unsigned long long>(id));
    for (;;) {
        unsigned char head[8];
        IoResult r = tw::platform::recvAll(conn.get(), head, sizeof head,
                                           std::chrono::steady_clock::time_point::max(), cancelFd);
        if (r != IoResult::ok) {
            if (r == IoResult::failed)
                GW_WARN("User client %llu: receive failed", static_cast<unsigned long long>(id));
            break;
        }
        std::uint32_t selector = tw::platform::getU32(head);
        std::uint32_t length = tw::platform::getU32(head + 4);
        if (length > kMaxInput) {
            GW_WARN("User client %llu: call with %u input bytes; dropping the client",
                    static_cast<unsigned long long>(id), length);
            break;
        }
        std::vector<std::uint8_t> input(length);
        if (length) {
            r = tw::platform::recvAll(conn.get(), input.data(), length,
                                      std::chrono::steady_clock::now() + kMidCallLimit, cancelFd);
            if (r != IoResult::ok) {
                GW_WARN("User client %llu: connection ended in the middle of a call",
                        static_cast<unsigned long long>(id));
                break;
            }
        }
        std::vector<std::uint8_t> output;
        IOReturn code = externalMethod(id, conn.get(), selector, input, output);
        std::string reply;
        tw::platform::putU32(reply, static_cast<std::uint32_t>(code));
        tw::platform::putU32(reply, static_cast<std::uint32_t>(output.size()));
        reply.append(reinterpret_cast<const char*>(output.data()), output.size());
        if (tw::platform::sendAll(conn.get(), reply.data(), reply.size(),
                                  std::chrono::steady_clock::now() + kMidCallLimit,
                                  cancelFd) != IoResult::ok) {
            GW_WARN("User client %llu: reply could not be sent", static_cast<unsigned long long>(id));
            break;
        }
    }
    // The client closed its end or died: whatever it held is released.
    bool wasOpen;
    {
        std::lock_guard lock(openMutex_);
        wasOpen = open_.load() == id;
        if (wasOpen) {
            open_.store(0);
            openFd_ = -1;
            openPid_ = 0;
        }
    }
    if (wasOpen) {
        GW_INFO("User client %llu went away while holding the driver", static_cast<unsigned long long>(id));
        filter_.clientClosed();
    }
}

IOReturn DriverService::externalMethod(std::uint64_t client, int connection, std::uint32_t selector,
                                       const std::vector<std::uint8_t>& input,
                                       std::vector<std::uint8_t>& output) {
    if (selector >= std::size(sMethods)) {
        GW_WARN("User client %llu: unknown selector %u", static_cast<unsigned long long>(client), selector);
        return kIOReturnUnsupported;
    }
    if (input.size() != sMethods[selector].inputSize) {
        GW_WARN("User client %llu: selector %u with %zu input bytes", static_cast<unsigned long long>(client),
                selector, input.size());
        return kIOReturnBadArgument;
    }
    if (!attached_.load()) return kIOReturnNotAttached;
    switch (selector) {
        case kBrindleOpenConnection:
            return OpenUserClient(client, connection);
        case kBrindleCloseConnection:
            return CloseUserClient(client);
        case kSendDataToKernel: {
            _pwevent in;
            memcpy(&in, input.data(), sizeof in);
            return TransferInfo(client, connection, &in, nullptr);
        }
        case kRecieveDataFromKernel: {
            _pwevent out;
            IOReturn code = TransferInfo(client, connection, nullptr, &out);
            if (code == kIOReturnSuccess) {
                output.resize(sizeof out);
                memcpy(output.data(), &out, sizeof out);
            }
            return code;
        }
        case kRecieveManyFromKernel: {
            // A burst of reports costs a round trip per batch, not per report, on both sides.
            std::vector<_pwevent> out(kRecordsPerRead);
            std::size_t count = 0;
            IOReturn code = TransferMany(client, out.data(), out.size(), count);
            if (code == kIOReturnSuccess && count) {
                output.resize(count * sizeof(_pwevent));
                memcpy(output.data(), out.data(), output.size());
            }
            return code;
        }
    }
    return kIOReturnError;
}

IOReturn DriverService::OpenUserClient(std::uint64_t client, int connection) {
    std::uint64_t gone = 0;
    {
        std::lock_guard lock(openMutex_);
        std::uint64_t holder = open_.load();
        // A holder that died while its read waits for an event is noticed only when that wait ends;
        // a new instance of the application must not be turned away meanwhile.
        if (holder != 0 && !peerGone(openFd_)) return kIOReturnExclusiveAccess;
        gone = holder;
        open_.store(client);
        openFd_ = connection;
        openPid_ = peerPid(connection);
    }
    if (gone) {
        GW_INFO("User client %llu went away while holding the driver; client %llu takes it over",
                static_cast<unsigned long long>(gone), static_cast<unsigned long long>(client));
        filter_.wakeReaders();  // the gone client's read gives up and takes nothing
        filter_.clientClosed();
    }
    return kIOReturnSuccess;
}

IOReturn DriverService::CloseUserClient(std::uint64_t client) {
    {
        std::lock_guard lock(openMutex_);
        if (open_.load() != client) return kIOReturnNotOpen;
        open_.store(0);
        openFd_ = -1;
        openPid_ = 0;
    }
    filter_.clientClosed();
    return kIOReturnSuccess;
}

IOReturn DriverService::TransferMany(std::uint64_t client, _pwevent* out, std::size_t max,
                                     std::size_t& count) {
    {
        std::lock_guard lock(openMutex_);
        if (open_.load() != client) return kIOReturnNotOpen;
    }
    count = filter_.BrindleEventReadMany(
        out, max, kEmptyReadHold, [this, client] { return !attached_.load() || open_.load() != client; });
    return kIOReturnSuccess;
}

IOReturn DriverService::TransferInfo(std::uint64_t client, int connection, const _pwevent* in,
                                     _pwevent* out) {
    {
        std::lock_guard lock(openMutex_);
        bool holder = open_.load() == client;
        bool holdersCommand = in && openPid_ != 0 && peerPid(connection) == openPid_;
        if (!holder && !holdersCommand) return kIOReturnNotOpen;
    }
    if (in) {
        filter_.BrindleHandleCommand(*in);
    } else if (out) {
        filter_.BrindleEventRead(*out, kEmptyReadHold,
                                 [this, client] { return !attached_.load() || open_.load() != client; });
    }
    return kIOReturnSuccess;
}

}  // namespace gw
