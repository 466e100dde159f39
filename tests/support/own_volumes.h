// A volume list of the test's own, instead of the program's: a server environment answers from it (with
// the shared metadata database) once `answer(env)` is called, and the timelines made with `parts(env)`
// work with it and that environment. Records of its volumes are mirrored into the shared database while it
// lives. It goes with the fixture that holds it, so nothing is cleared afterwards; declare it before the
// timelines that use it, so that they go first.
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

namespace tw::test {

struct OwnVolumes {
    std::shared_ptr<VolumeManager> owned = std::make_shared<VolumeManager>(
        ServerConfigurationDetails::sharedInstance(), MetadataDataBase::sharedInstance);
    VolumeManager& list = *owned;

    void answer(ServerEnvironment& env) {
        answerFromVolumes(
            env,
            [held = std::weak_ptr<VolumeManager>(owned)]() -> VolumeManager& {
                // Asked after the test's list went (a fixture that leaves the answers in place), a
                // request finds no volumes.
                static VolumeManager none(ServerConfigurationDetails::sharedInstance());
                auto alive = held.lock();
                return alive ? *alive : none;
            },
            MetadataDataBase::sharedInstance);
    }

    // The program's parts, with this list for the volumes (the program's own list is not made) and
    // `env` for the server.
    TimeLineManager::PartsSource parts(ServerEnvironment& env) {
        return [this, &env] {
            return TimeLineManager::Parts{MetadataDataBase::sharedInstance(),
                                          list,
                                          env,
                                          StatusBarManager::sharedInstance(),
                                          RestoreDeletedManager::sharedInstance(),
                                          ExclusionManager::sharedInstance()};
        };
    }
};

}  // namespace tw::test
