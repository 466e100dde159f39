#include "Pinewick/engine/EngineHooks.h"

#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/server/Audit.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "platform/desktopnotify.h"
#include "platform/dispatch.h"

namespace tw {

void installServerHooks() {
    auto& env = serverEnvironment();
    auto& state = StateManager::sharedInstance();
    env.networkAvailable = [&state] { return state.networkAvailable.load(); };
    env.allowServerCommunication = [&state] { return state.allowServerCommunication.load(); };
    env.setNetworkAvailable = [&state](bool available) {
        state.networkAvailable = available;
        state.triggerChanges();
    };
    env.startUsageReport = [] { AuditStatistics::report(); };
    env.inIgnoreList = [](const std::string& path) { return TimeLineManager::inIgnoreList(path); };
    env.requestCredentials = [] { requestCredentialsFromTerminal(); };
}

void requestCredentialsFromTerminal() {
    std::string server = ServerCredentials::sharedInstance().serverName();
    std::string where = server.empty() ? std::string("the Tidewell server") : "the Tidewell server " + server;
    Logger::sharedInstance().logWarning("Tidewell needs your password to log on to " + where +
                                        ": run \"tidewell login\" to enter it.");
    // The request core's serial queue is waiting on this call; the bus call can take seconds.
    platform::DispatchQueue::global(platform::QoS::utility).async([where] {
        platform::DesktopNotification n;
        n.summary = "Tidewell needs your password";
        n.body = "Run \"tidewell login\" in a terminal to log on to " + where + ".";
        n.icon = "dialog-password";
        platform::showDesktopNotification(n);
    });
}

}  // namespace tw
