// The server layer answering from the process-wide volume list and metadata database, as the engine
// wires it at start-up: for tests that drive the server code against the volumes they add to the
// shared list. Call it after `resetServerEnvironment()`, which goes back to answers without volumes.
#pragma once

#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "Pinewick/volumes/VolumeManager.h"

namespace tw::test {

inline void answerFromSharedVolumes() {
    answerFromVolumes(serverEnvironment(), VolumeManager::sharedInstance, MetadataDataBase::sharedInstance);
}

}  // namespace tw::test
