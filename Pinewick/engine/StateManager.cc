#include "Pinewick/engine/StateManager.h"

#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/TimeLineManager.h"

namespace tw {

StateManager& StateManager::sharedInstance() {
    static StateManager* shared = new StateManager();
    return *shared;
}

StateManager::StateManager() {
    StatusBarManager::sharedInstance().setRunState(
        {[this] { return networkAvailable.load(); }, [this] { return allowServerCommunication.load(); }});
}

void StateManager::triggerChanges() {
    std::lock_guard lock(mutex_);
    auto& timeline = TimeLineManager::sharedInstance();
    if (networkAvailable && allowServerCommunication && !systemShutdown) {
        timeline.resumeTimeLine();
        timeline.addSyncFolderEvent("/", true);
    } else {
        timeline.pauseTimeLine();
    }
    StatusBarManager::sharedInstance().updateIcon();
}

}  // namespace tw
