#include "Pinewick/engine/EngineHooks.h"

#include "Pinewick/engine/StateManager.h"
#include "Pinewick/server/ServerEnvironment.h"

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

}  // namespace tw
