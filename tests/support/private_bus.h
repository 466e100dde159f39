// A D-Bus session bus of this test process alone, so notifications that other test processes post
// side by side never reach its observers. Started on first use with dbus-daemon, made the session bus
// of the environment (DBUS_SESSION_BUS_ADDRESS), and stopped when the process ends. Tests link
// tw_platform.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
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
        // The daemon needs a moment to listen; a missing socket after five seconds means it will not.
        for (int i = 0; i < 500 && !running_; ++i) {
            struct stat st {};
            if (::stat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
                running_ = true;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (running_) setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socket).c_str(), 1);
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
