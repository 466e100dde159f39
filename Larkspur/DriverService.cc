#include "Larkspur/DriverService.h"

#include <string.h>

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
// polls; held briefly, its read returns the moment a question is queued, which is what keeps the
// added latency of a held open small, while an idle application still costs one call per poll.
constexpr auto kEmptyReadHold = std::chrono::microseconds(1000);

struct MethodShape {
    std::uint32_t inputSize;
    std::uint32_t outputSize;
};
// Structure sizes per selector, checked before a call runs.
constexpr MethodShape sMethods[] = {{0, 0}, {0, 0}, {kRecordSize, 0}, {0, kRecordSize}};
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
        IOReturn code = externalMethod(id, selector, input, output);
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
        wasOpen = open_ == id;
        if (wasOpen) open_ = 0;
    }
    if (wasOpen) {
        GW_INFO("User client %llu went away while holding the driver", static_cast<unsigned long long>(id));
        filter_.clientClosed();
    }
}

IOReturn DriverService::externalMethod(std::uint64_t client, std::uint32_t selector,
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
            return OpenUserClient(client);
        case kBrindleCloseConnection:
            return CloseUserClient(client);
        case kSendDataToKernel: {
            _pwevent in;
            memcpy(&in, input.data(), sizeof in);
            return TransferInfo(client, &in, nullptr);
        }
        case kRecieveDataFromKernel: {
            _pwevent out;
            IOReturn code = TransferInfo(client, nullptr, &out);
            if (code == kIOReturnSuccess) {
                output.resize(sizeof out);
                memcpy(output.data(), &out, sizeof out);
            }
            return code;
        }
    }
    return kIOReturnError;
}

IOReturn DriverService::OpenUserClient(std::uint64_t client) {
    std::lock_guard lock(openMutex_);
    if (open_ != 0) return kIOReturnExclusiveAccess;
    open_ = client;
    return kIOReturnSuccess;
}

IOReturn DriverService::CloseUserClient(std::uint64_t client) {
    {
        std::lock_guard lock(openMutex_);
        if (open_ != client) return kIOReturnNotOpen;
        open_ = 0;
    }
    filter_.clientClosed();
    return kIOReturnSuccess;
}

IOReturn DriverService::TransferInfo(std::uint64_t client, const _pwevent* in, _pwevent* out) {
    {
        std::lock_guard lock(openMutex_);
        if (open_ != client) return kIOReturnNotOpen;
    }
    if (in) {
        filter_.BrindleHandleCommand(*in);
    } else if (out) {
        filter_.BrindleEventRead(*out, kEmptyReadHold);
    }
    return kIOReturnSuccess;
}

}  // namespace gw
