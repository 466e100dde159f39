#include "Pinewick/engine/EngineHooks.h"

#include "Pinewick/config/Logger.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/ChangeScan.h"
#include "Pinewick/engine/PlaceholderOpens.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CEAUtils.h"
#include "Pinewick/server/Audit.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "Pinewick/volumes/EngineLink.h"
#include "Pinewick/volumes/KernelCommunicator.h"
#include "Pinewick/volumes/VolumeManager.h"
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

void installConfigurationHooks() {
    ServerConfigurationDetails::Hooks hooks;
    hooks.storedCredentials = [] {
        auto& credentials = ServerCredentials::sharedInstance();
        return std::make_pair(credentials.serverName(), credentials.userName());
    };
    hooks.resolveInLocation = [](const std::vector<std::pair<std::string, std::string>>& localToServer) {
        // The volume manager takes its pairs the other way round: (server folder, local folder).
        std::vector<std::pair<std::string, std::string>> serverToLocal;
        serverToLocal.reserve(localToServer.size());
        for (const auto& [local, serverPath] : localToServer) serverToLocal.emplace_back(serverPath, local);
        VolumeManager::sharedInstance().resolveInLocationSync(serverToLocal);
    };
    hooks.setAllowServerCommunication = [](bool allow) {
        auto& state = StateManager::sharedInstance();
        state.allowServerCommunication = allow;
        state.triggerChanges();
    };
    ServerConfigurationDetails::sharedInstance().setHooks(std::move(hooks));
}

void installVolumeHooks() {
    EngineLink link;
    auto timeline = [] { return &TimeLineManager::sharedInstance(); };
    link.addSyncFolderEvent = [timeline](const std::string& p, bool user) {
        timeline()->addSyncFolderEvent(p, user);
    };
    link.addCloseEvent = [timeline](const std::string& p) { timeline()->addCloseEvent(p); };
    link.addExchangeEvent = [timeline](const std::string& a, const std::string& b) {
        timeline()->addExchangeEvent(a, b);
    };
    link.addDeleteEvent = [timeline](const std::string& p, const CorvaneExtendedAttributes& x) {
        timeline()->addDeleteEvent(p, x);
    };
    link.addMoveEvent = [timeline](const std::string& from, const std::string& to,
                                   const CorvaneExtendedAttributes& x) {
        timeline()->addMoveEvent(from, to, x);
    };
    link.addCreateFolderEvent = [timeline](const std::string& p) { timeline()->addCreateFolder(p, true); };
    link.addGhostCleanupEvent = [timeline](const std::string& p) { timeline()->addGhostCleanupEvent(p); };
    link.addRecoverVolumeEvent = [timeline](std::shared_ptr<VolumeDetail> v) {
        timeline()->addRecoverVolumeEvent(std::move(v));
    };
    link.refreshFolder = [](const std::string& p, const ServerFileObject& entry) {
        CEAUtils::refreshFolder(p, entry.serverFacts());
    };
    link.setLocal = [](const std::string& p) {
        // The volume's trash and event folders. Left unmarked (the record logged why), they are still
        // never synchronised (the ignore list names them), and the volume's next mount marks them again.
        (void)CEAUtils::setLocal(p);
    };
    link.pauseTimeLine = [timeline] { timeline()->pauseTimeLine(); };
    link.triggerChanges = [] { StateManager::sharedInstance().triggerChanges(); };
    link.scanForChanges = [](const std::string& folder) { ChangeScan::sharedInstance().request(folder); };
    link.openPlaceholder = [](const std::string& path, const std::string& program,
                              std::function<void(const char*)> later) {
        return PlaceholderOpens::sharedInstance().open(path, program, std::move(later));
    };
    setEngineLink(std::move(link));
}

}  // namespace tw
