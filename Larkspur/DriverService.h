// The driver service and its user clients, served on a Unix socket: each connection is one user client;
// the driver is open for at most one of them at a time. Calls are framed as in platform/userclient.h.
// The process holding the driver may also send commands (answers, watch paths) on its other connections,
// so that an answer never waits behind its own read waiting for an event; reads stay the holder's.
//
// Thread-safety: connection threads call `serve` concurrently; `open_` and `openFd_` change only under
// `openMutex_` (`open_` is atomic so that a waiting read can watch it without that lock).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Larkspur/Brindle.h"
#include "Larkspur/SocketServer.h"
#include "platform/pwevent.h"

namespace gw {

class DriverService {
public:
    explicit DriverService(Brindle& filter);
    ~DriverService();

    bool listen(const std::string& path);
    void start() { server_.start(); }
    // Detaches every user client (later calls answer kIOReturnNotAttached) and stops serving.
    void stop();

private:
    void serve(tw::platform::UniqueFd connection, std::uint64_t id, int cancelFd);
    tw::pw::IOReturn externalMethod(std::uint64_t client, int connection, std::uint32_t selector,
                                    const std::vector<std::uint8_t>& input,
                                    std::vector<std::uint8_t>& output);
    tw::pw::IOReturn OpenUserClient(std::uint64_t client, int connection);
    tw::pw::IOReturn CloseUserClient(std::uint64_t client);
    tw::pw::IOReturn TransferInfo(std::uint64_t client, int connection, const tw::pw::_pwevent* in,
                                  tw::pw::_pwevent* out);
    // Up to `max` events for the holder of the driver; `count` says how many.
    tw::pw::IOReturn TransferMany(std::uint64_t client, tw::pw::_pwevent* out, std::size_t max,
                                  std::size_t& count);

    Brindle& filter_;
    std::atomic<bool> attached_{true};
    std::mutex openMutex_;
    std::atomic<std::uint64_t> open_{0};  // the client the driver is open for; 0 when none
    int openFd_ = -1;                     // its connection, valid while `open_` names it
    pid_t openPid_ = 0;                   // the process at its other end
    SocketServer server_;
};

}  // namespace gw
