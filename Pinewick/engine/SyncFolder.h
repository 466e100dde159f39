// One listing pass: compares a local folder, one level deep, with the server's listing of it and
// queues timeline work for the differences: placeholders for new server items, revision checks for
// items on both sides, case corrections of local names, and removal of local items the server no
// longer lists. A folder is listed again only after a freshness limit (a minute when the user asks,
// an hour otherwise), measured on the server layer's clock.
//
// Mass-removal guard: a server in trouble can answer "empty" for a folder that is full. When one pass
// would remove every local item of a folder holding at least `kGuardMinimumSynchronised` synchronised
// items, or more than `kGuardMaximumRemovals` items, nothing is removed: the pass warns, tells the
// desktop and remembers the folder. After the user confirms (`confirmRemovals`), the next pass that
// still finds the items missing queues their removal, each still checked with the server once more.
//
// Thread-safety: passes run on the timeline's listing queue, one at a time. The guard's list may be read
// and confirmed from any thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "Pinewick/engine/EventContext.h"
#include "Pinewick/server/ServerFileObject.h"

namespace tw {

class SyncFolder {
public:
    // Freshness limits: seconds since the folder's last successful listing.
    static constexpr double userRefresh = 60.0;
    static constexpr double automaticRefresh = 3600.0;
    static constexpr size_t kGuardMinimumSynchronised = 10;
    static constexpr size_t kGuardMaximumRemovals = 1000;

    // One pass over `path`; the work it finds is queued on `context.timeline`. True when the folder was
    // compared with its listing (held removals included), which is when its scan date is due again.
    static bool performSync(EventContext& context, const std::string& path, bool userRequest);
    // The same with the freshness limit given: a folder listed less than `freshSeconds` ago is left as
    // it is (0: listed whatever its freshness).
    static ListingOutcome listFolder(EventContext& context, const std::string& path, double freshSeconds);

    // The comparison of one listing with the local names of `path` (one level), queueing the events on
    // `context.timeline`. False when the removals were held back by the mass-removal guard.
    static bool compareListing(EventContext& context, const std::string& path,
                               const std::vector<ServerFileObject>& entries,
                               std::vector<std::string> localNames, bool checkExists);

    // Folders whose removals wait for the user's confirmation, sorted.
    static std::vector<std::string> foldersAwaitingConfirmation();
    // The user agrees to the held removals of `folder`; a listing of it is queued on `timeline`. False
    // when the folder has nothing waiting.
    static bool confirmRemovals(TimeLineManager& timeline, const std::string& folder);
    // Forgets every held folder (tests).
    static void resetGuard();
};

}  // namespace tw
