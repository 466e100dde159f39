#include "Pinewick/engine/SyncMappoints.h"

#include "Pinewick/config/Logger.h"

namespace tw {

std::vector<VolumeManager::Mappoint> SyncMappoints::mappointsOf(
    const std::vector<ServerFileObject>& entries) {
    std::vector<VolumeManager::Mappoint> out;
    for (const auto& e : entries) {
        if (!e.isDirectory) continue;
        out.push_back({e.name, e.diskType, e.mode == ServerFileObject::modeKeys::Automatic,
                       std::make_shared<const ServerFileObject>(e)});
    }
    return out;
}

void SyncMappoints::performAction(EventContext& context) {
    TW_TRACE_IN("performAction()");
    FolderContentDetails listing(context.server, "/");
    auto [outcome, error] = listing.fetchFolderContents();
    (void)error;
    // An empty or failed root listing retires nothing: a server in trouble must not take volumes away.
    if (outcome == normalisedResponse::allOkay && !listing.contents.empty())
        context.volumes.resolveVolumes(mappointsOf(listing.contents));
    TW_TRACE_OUT("performAction()");
}

}  // namespace tw
