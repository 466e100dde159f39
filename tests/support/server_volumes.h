// The server layer answering from the process-wide parts, as the engine wires it at start-up: the
// volume list and metadata database, and the account every request goes out with. For tests that drive
// the server code against the volumes they add to the shared list and the account they set up. Call it
// after `resetServerEnvironment()`, which goes back to answers without volumes or account.
#pragma once

#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "Pinewick/volumes/VolumeManager.h"

namespace tw::test {

// The account alone, for tests without volumes.
inline void answerWithSharedAccount() {
    serverEnvironment().credentials = ServerCredentials::sharedInstance;
}

inline void answerFromSharedParts() {
    answerFromVolumes(serverEnvironment(), VolumeManager::sharedInstance, MetadataDataBase::sharedInstance);
    answerWithSharedAccount();
}

}  // namespace tw::test
