// The program around the client: one instance per user, the signals that end it, the engine built and
// started (app/Engine), the command line served on the session bus, the main loop, and the shutdown.
//
// Thread-safety: `run` owns the main thread; commands arrive on the bus thread and hand what must run on
// the main queue over to it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Pinewick/app/CommandLine.h"
#include "Pinewick/app/Engine.h"
#include "platform/busservice.h"
#include "platform/instancelock.h"

namespace tw {

class AppDelegate {
public:
    struct Options {
        std::string busName = platform::kBusName;
        // What differs in the engine this program builds (how to ask for a password, ...).
        Engine::Options engine;
        // The desktop application's part (all optional): the loop that drains the main queue instead
        // of the headless one, what to show once the engine has started, and what to take down
        // before it shuts down.
        std::function<void()> mainLoop;
        std::function<void(Engine& engine)> didFinishLaunching;
        std::function<void()> willTerminate;
    };
    explicit AppDelegate(Options options);
    ~AppDelegate();

    // Start-up, the main loop until SIGTERM, SIGINT or "quit", then the shutdown sequence. The exit
    // status: 0 after a clean shutdown, 1 when start-up could not complete.
    int run();

private:
    bool applicationDidFinishLaunching();

    Options options_;
    std::unique_ptr<platform::InstanceLock> lock_;
    std::unique_ptr<Engine> engine_;         // made once this process is the only instance
    std::unique_ptr<CommandLine> commands_;  // once the engine has started
    std::unique_ptr<platform::BusService> bus_;
};

}  // namespace tw
