// The engine's parts as the windows and the command line take them, for tests that build those without
// an engine (which would wire the whole process): the process-wide managers the tests drive, with an
// attention list and an error resolution of the test's own, made on the sources the engine gives the
// program's.
#pragma once

#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/ChangeScan.h"
#include "Pinewick/engine/ContextMenuHandler.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/SyncFolder.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/ui/AttentionList.h"
#include "Pinewick/ui/EngineParts.h"
#include "Pinewick/ui/ErrorResolutionManager.h"
#include "Pinewick/volumes/VolumeManager.h"

namespace tw::test {

class TestEngineParts {
public:
    TestEngineParts()
        : resolution(TimeLineManager::sharedInstance()),
          attention({[] { return VolumeManager::sharedInstance().activeVolumesList(); },
                     [] { return SyncFolder::foldersAwaitingConfirmation(); }},
                    [](const StatusBarManager::Attention& a) {
                        StatusBarManager::sharedInstance().setAttention(a);
                    }) {}

    EngineParts parts() {
        return {TimeLineManager::sharedInstance(),
                StateManager::sharedInstance(),
                VolumeManager::sharedInstance(),
                ServerCredentials::sharedInstance(),
                ServerConfigurationDetails::sharedInstance(),
                StatusBarManager::sharedInstance(),
                attention,
                resolution,
                ContextMenuHandler::sharedInstance(),
                ChangeScan::sharedInstance()};
    }

    ErrorResolutionManager resolution;
    AttentionList attention;
};

}  // namespace tw::test
