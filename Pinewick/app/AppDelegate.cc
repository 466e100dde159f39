#include "Pinewick/app/AppDelegate.h"

#include <signal.h>

#include <thread>

#include "Pinewick/config/Log.h"
#include "Pinewick/config/SystemInformation.h"
#include "platform/dispatch.h"

namespace tw {

AppDelegate::AppDelegate(Options options) : options_(std::move(options)) {}

AppDelegate::~AppDelegate() = default;

bool AppDelegate::applicationDidFinishLaunching() {
    log().logAudit("Tidewell version " + SystemInformation::productVersion() + " started");
    log().logDebug("Tidewell is running with debug messages enabled");

    // One instance per user: the lock outlives nothing but this process. Taken before the engine is
    // built, so a second instance touches nothing of the first one's.
    std::string why;
    lock_ = platform::InstanceLock::acquire(&why);
    if (!lock_) {
        log().logFatal("Only one instance of the application can be running");
        log().logWarning(why);
        return false;
    }

    // The client, wired (every layer's hooks before anything uses them), then started.
    engine_ = std::make_unique<Engine>(options_.engine);
    if (!engine_->start()) return false;
    // Last: a command is served only once the engine it drives is in place.
    commands_ = std::make_unique<CommandLine>(engine_->parts());
    bus_ = platform::BusService::start(
        [this](const std::vector<std::string>& a) { return commands_->command(a); },
        [this](const std::string& c) { return commands_->scripting(c); }, &why, options_.busName);
    if (!bus_) log().logWarning("The command line cannot reach this instance: " + why);
    return true;
}

int AppDelegate::run() {
    // SIGTERM and SIGINT end the main loop; every thread made from here on inherits the mask. SIGUSR2
    // only ends the signal thread itself once the program is done (no polling while idle).
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::thread signals([set] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            if (sig == SIGUSR2) return;
            log().logWarning("Signal " + std::to_string(sig) + ": shutting down");
            // Queued, so a signal during start-up still ends the loop once it runs.
            platform::MainQueue::shared().async([] { platform::MainQueue::shared().stop(); });
        }
    });

    int status = 0;
    if (applicationDidFinishLaunching()) {
        if (options_.didFinishLaunching) options_.didFinishLaunching(*engine_);
        if (options_.mainLoop)
            options_.mainLoop();
        else
            platform::MainQueue::shared().runMainLoop();
        bus_.reset();  // no command may arrive while the engine goes down
        if (options_.willTerminate) options_.willTerminate();
        engine_->shutdown();
    } else {
        status = 1;
        bus_.reset();
        if (engine_) engine_->abandonStart();
    }
    pthread_kill(signals.native_handle(), SIGUSR2);
    signals.join();
    log().flush();
    return status;
}

}  // namespace tw
