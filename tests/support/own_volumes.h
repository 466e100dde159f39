// A volume list of the test's own, instead of the program's: the server layer answers from it (with the
// shared metadata database and account) once `answer()` is called, and the timelines made with `parts()`
// work with it. Records of its volumes are mirrored into the shared database while it lives. It goes
// with the fixture that holds it, so nothing is cleared afterwards; declare it before the timelines
// that use it, so that they go first.
#pragma once

#include <memory>

#include "Pinewick/config/ExclusionManager.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/RestoreDeletedManager.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "support/server_volumes.h"

namespace tw::test {

struct OwnVolumes {
    std::shared_ptr<VolumeManager> owned = std::make_shared<VolumeManager>(
        ServerConfigurationDetails::sharedInstance(), MetadataDataBase::sharedInstance);
    VolumeManager& list = *owned;

    // After `resetServerEnvironment()`, which goes back to answers without volumes or account.
    void answer() {
        answerFromVolumes(
            serverEnvironment(),
            [held = std::weak_ptr<VolumeManager>(owned)]() -> VolumeManager& {
                // Asked after the test's list went (a fixture that leaves the answers in place), a
                // request finds no volumes.
                static VolumeManager none(ServerConfigurationDetails::sharedInstance());
                auto alive = held.lock();
                return alive ? *alive : none;
            },
            MetadataDataBase::sharedInstance);
        answerWithSharedAccount();
    }

    // The program's parts, with this list for the volumes (the program's own list is not made).
    TimeLineManager::PartsSource parts() {
        return [this] {
            return TimeLineManager::Parts{MetadataDataBase::sharedInstance(),
                                          list,
                                          serverEnvironment(),
                                          StatusBarManager::sharedInstance(),
                                          RestoreDeletedManager::sharedInstance(),
                                          ExclusionManager::sharedInstance()};
        };
    }
};

}  // namespace tw::test
