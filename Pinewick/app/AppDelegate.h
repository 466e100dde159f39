// The program's composition root: builds the engine, wires the hooks each layer leaves for the one
// above it, runs start-up in its order, serves the command line on the session bus, and shuts down.
//
// Thread-safety: `run` owns the main thread; commands arrive on the bus thread and hand what must run on
// the main queue over to it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/busservice.h"
#include "platform/instancelock.h"

namespace tw {

class AppDelegate {
public:
    struct Options {
        std::string busName = platform::kBusName;
        // The desktop application's part (all optional): the loop that drains the main queue instead
        // of the headless one, what to show once the engine has started, and what to take down
        // before it shuts down.
        std::function<void()> mainLoop;
        std::function<void()> didFinishLaunching;
        std::function<void()> willTerminate;
        // How to ask the user for a password (default: the terminal's way).
        std::function<void()> requestCredentials;
    };
    explicit AppDelegate(Options options);
    ~AppDelegate();

    // Start-up, the main loop until SIGTERM, SIGINT or "quit", then the shutdown sequence. The exit
    // status: 0 after a clean shutdown, 1 when start-up could not complete.
    int run();

    // The command line's commands, as the bus hands them over (also used by tests).
    platform::CommandReply command(const std::vector<std::string>& args);
    bool scripting(const std::string& command);

private:
    bool applicationDidFinishLaunching();
    void applicationWillTerminate();
    std::string statusText(bool json);
    platform::CommandReply flipConnection(bool paused);

    Options options_;
    std::unique_ptr<platform::InstanceLock> lock_;
    std::unique_ptr<platform::BusService> bus_;
};

}  // namespace tw
