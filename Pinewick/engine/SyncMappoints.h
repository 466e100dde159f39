// The listing of all mappoints: the server's root, handed to the volume manager, which makes, mounts
// or retires the user's mappoint volumes. Queued by a listing request for "/".
//
// Thread-safety: runs on the timeline's listing queue, one pass at a time.
#pragma once

#include <vector>

#include "Pinewick/engine/EventContext.h"
#include "Pinewick/server/ServerFileObject.h"
#include "Pinewick/volumes/VolumeManager.h"

namespace tw {

class SyncMappoints {
public:
    // Hands the root listing to `context.volumes`.
    static void performAction(EventContext& context);
    // The volume manager's view of the root listing's entries (folders only: a mappoint is a folder).
    static std::vector<VolumeManager::Mappoint> mappointsOf(const std::vector<ServerFileObject>& entries);
};

}  // namespace tw
