// The reference synchronisation server: HTTP(S) front of a Store. One DevServer serves one root folder
// on one loopback (or other) address until stop() is called from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "devserver/store.h"

namespace tw::devserver {

struct ServerConfig {
    std::filesystem::path root;
    std::string host = "127.0.0.1";
    int port = 0;                              // 0: any free port
    std::map<std::string, std::string> users;  // name -> password
    bool seedDemo = false;
    bool faults = false;          // serve the /admin/ endpoints
    std::string tlsCert, tlsKey;  // both set: HTTPS
    uint64_t quota = 0;           // bytes per user, 0 = none
    int64_t sessionTtlSeconds = 3600;
    std::vector<std::string> versions{"1.6"};  // offered "br" / "sync" versions
    std::vector<MappointSettings> mappoints;   // extra mappoints to create at start
    bool logRequests = true;                   // one line per request on standard error
};

class DevServer {
public:
    // Opens the store, seeds it and binds the listening socket. Nothing on failure (`error` says why).
    static std::unique_ptr<DevServer> create(ServerConfig config, std::string& error);
    ~DevServer();
    DevServer(const DevServer&) = delete;
    DevServer& operator=(const DevServer&) = delete;

    int port() const;
    // "http://127.0.0.1:PORT" (or https).
    std::string baseUrl() const;
    // Serves until stop(); false when the listener failed.
    bool run();
    void stop();

    struct Impl;

private:
    explicit DevServer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace tw::devserver
