#include "Pinewick/engine/EngineHooks.h"

#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "Pinewick/volumes/VolumeManager.h"

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

}  // namespace tw
