// A D-Bus session bus of this test process alone, so notifications that other test processes post
// side by side never reach its observers. Started on first use with dbus-daemon, made the session bus
// of the environment (DBUS_SESSION_BUS_ADDRESS), and stopped when the process ends. Tests link
// tw_platform.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "platform/process.h"
#include "support/temp_dir.h"

namespace tw::test {

class PrivateSessionBus {
public:
    // True when the bus runs (dbus-daemon found and listening). Must be called before anything in the
    // process first uses the session bus.
    static bool start() { return instance().running_; }

private:
    static PrivateSessionBus& instance() {
        static PrivateSessionBus bus;
        return bus;
    }
    PrivateSessionBus() {
        const std::string socket = dir_.str() + "/bus";
        auto pid = platform::spawnChild(
            {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:path=" + socket},
            "/dev/null");
        if (!pid) return;
        pid_ = *pid;
        // The daemon needs a moment to listen; not answering after five seconds means it will not. The
        // socket file appears when it is bound, a moment before it listens: a connection is what tells.
        for (int i = 0; i < 500 && !running_; ++i) {
            if (accepts(socket))
                running_ = true;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (running_) setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socket).c_str(), 1);
    }
    static bool accepts(const std::string& socket) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (socket.size() >= sizeof(address.sun_path)) return false;
        std::memcpy(address.sun_path, socket.c_str(), socket.size() + 1);
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        ::close(fd);
        return connected;
    }
    ~PrivateSessionBus() {
        if (!pid_) return;
        ::kill(*pid_, SIGTERM);
        platform::reap(*pid_, /*wait=*/true);
    }

    TempDir dir_{"tw-bus"};
    std::optional<pid_t> pid_;
    bool running_ = false;
};

}  // namespace tw::test
