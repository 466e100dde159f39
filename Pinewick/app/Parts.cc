#include "Pinewick/app/Parts.h"

#include "Pinewick/config/ExclusionManager.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/NetworkState.h"
#include "Pinewick/engine/RestoreDeletedManager.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/metadata/ConsistencyCheckDataBase.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/IconProgress.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "Pinewick/volumes/VolumeManager.h"

namespace tw {
namespace parts {

ExclusionManager& exclusions() {
    static ExclusionManager* shared = new ExclusionManager();
    return *shared;
}

ServerConfigurationDetails& configuration() {
    static ServerConfigurationDetails* shared = new ServerConfigurationDetails(exclusions());
    return *shared;
}

ServerEnvironment& serverEnvironment() {
    static ServerEnvironment* shared = new ServerEnvironment();
    return *shared;
}

ServerCredentials& credentials() {
    // Reads the stored account from the keychain the server environment names.
    static ServerCredentials* shared = new ServerCredentials(serverEnvironment());
    return *shared;
}

MetadataDataBase& metadataDatabase() {
    static MetadataDataBase* shared =
        new MetadataDataBase(configuration().supportFolder + MetadataDataBase::kFileName);
    return *shared;
}

ConsistencyCheckDataBase& consistencyDatabase() {
    static ConsistencyCheckDataBase* shared =
        new ConsistencyCheckDataBase(configuration().supportFolder + ConsistencyCheckDataBase::kFileName);
    return *shared;
}

StatusBarManager& statusBar() {
    static StatusBarManager* shared = [] {
        auto* manager = new StatusBarManager();
        manager->follow(Transfers::shared());
        return manager;
    }();
    return *shared;
}

RestoreDeletedManager& restorer() {
    static RestoreDeletedManager* shared = new RestoreDeletedManager();
    return *shared;
}

VolumeManager& volumes() {
    static VolumeManager* shared = [] {
        auto* manager = new VolumeManager(configuration(), metadataDatabase);
        manager->fetchOfflineMappoints();
        manager->storeList();
        return manager;
    }();
    return *shared;
}

TimeLineManager::Parts timelineParts() {
    return {metadataDatabase(), volumes(), serverEnvironment(), statusBar(), restorer(), exclusions()};
}

TimeLineManager& timeline() {
    static TimeLineManager* shared = new TimeLineManager(configuration().supportFolder, timelineParts);
    return *shared;
}

StateManager& runState() {
    static StateManager* shared = new StateManager({
        statusBar(),
        timeline,
        // The run state's own probe, on the credentials; never destroyed, like the run state.
        []() -> NetworkState& {
            static NetworkState* probe = new NetworkState(credentials(), serverEnvironment());
            return *probe;
        },
        configuration,
        credentials,
    });
    return *shared;
}

}  // namespace parts

// ---- the names the parts go by in every layer: forwarders to the parts above

ExclusionManager& ExclusionManager::sharedInstance() {
    return parts::exclusions();
}
ServerConfigurationDetails& ServerConfigurationDetails::sharedInstance() {
    return parts::configuration();
}
MetadataDataBase& MetadataDataBase::sharedInstance() {
    return parts::metadataDatabase();
}
ConsistencyCheckDataBase& ConsistencyCheckDataBase::sharedInstance() {
    return parts::consistencyDatabase();
}
StatusBarManager& StatusBarManager::sharedInstance() {
    return parts::statusBar();
}
RestoreDeletedManager& RestoreDeletedManager::sharedInstance() {
    return parts::restorer();
}
VolumeManager& VolumeManager::sharedInstance() {
    return parts::volumes();
}
TimeLineManager::PartsSource TimeLineManager::sharedParts() {
    return parts::timelineParts;
}
TimeLineManager& TimeLineManager::sharedInstance() {
    return parts::timeline();
}
StateManager& StateManager::sharedInstance() {
    return parts::runState();
}
ServerCredentials& ServerCredentials::sharedInstance() {
    return parts::credentials();
}

}  // namespace tw
