// A Unix stream socket that accepts connections from processes of our own user and serves each on its
// own thread. The socket file is created with mode 0600; a stale socket file (nobody listening) is
// replaced, a live one makes `listen` fail so two daemons never share a socket.
//
// Thread-safety: `listen`, `start` and `stop` are called from one thread; handlers run on connection
// threads and must return once `cancelFd` becomes readable.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "platform/unixsocket.h"

namespace gw {

class SocketServer {
  public:
    using Handler = std::function<void(tw::platform::UniqueFd connection, std::uint64_t id, int cancelFd)>;

    SocketServer(std::string name, Handler handler);
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    bool listen(const std::string& path);
    void start();
    // Stops accepting, cancels every connection, waits for their threads, removes the socket file.
    void stop();

  private:
    void acceptLoop();
    void reapFinished();

    std::string name_;
    Handler handler_;
    std::string path_;
    tw::platform::UniqueFd listener_;
    tw::platform::UniqueFd cancel_;  // eventfd; readable once stopping
    std::thread acceptThread_;
    std::mutex threadsMutex_;
    struct Connection {
        std::uint64_t id;
        std::thread thread;
        bool finished = false;
    };
    std::list<Connection> connections_;  // guarded by threadsMutex_
    std::uint64_t nextId_ = 1;
    bool stopped_ = false;
};

}  // namespace gw
