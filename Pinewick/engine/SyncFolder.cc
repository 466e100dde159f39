#include "Pinewick/engine/SyncFolder.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>

#include "Pinewick/config/Log.h"
#include "Pinewick/engine/ConsistencyCheck.h"
#include "Pinewick/engine/DownloadSync.h"
#include "Pinewick/engine/TLEvent.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CEAUtils.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/casefold.h"
#include "platform/desktopnotify.h"
#include "platform/dispatch.h"
#include "platform/files.h"

namespace tw {
namespace {

using S = CEAStatus::keys;

// The server layer's clock in the record's unit (seconds since 2001).
double nowSince2001(const ServerEnvironment& env) {
    return std::chrono::duration<double>(env.now().time_since_epoch()).count() -
           CEADate::kReferenceDateSince1970;
}

// Renames within one folder without ever replacing another item.
bool renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the flag: the check and the rename are not one step, but a case
    // correction only races with the user creating that very name.
    if (platform::attributesOfItem(to)) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

// The metadata database keeps each item's path; after a rename of our own, which no report announces,
// the rows of the item and of everything under it follow, or the next change scan would take the old
// paths for moves the user made and send them to the server.
void followRenameInDatabase(const std::string& to) {
    CorvaneExtendedAttributes(to).updateMetadata();
    if (!platform::isFolder(to)) return;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(to, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec)) CorvaneExtendedAttributes(it->path().string()).updateMetadata();
}

std::string normalisedFolder(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

// Folders whose removals are held, and whether the user has agreed to them.
struct Guard {
    std::mutex mutex;
    std::map<std::string, bool> held;  // folder -> confirmed
};

Guard& guard() {
    static Guard* g = new Guard;
    return *g;
}

void notifyHeld(const std::string& folder, size_t count) {
    std::string body = "The server no longer lists " + std::to_string(count) + " items of " + folder +
                       ". Nothing was removed. If that is right, run \"tidewell confirm-deletes " + folder +
                       "\".";
    platform::DispatchQueue::global(platform::QoS::utility).async([body] {
        platform::DesktopNotification n;
        n.summary = "Tidewell kept files the server did not list";
        n.body = body;
        n.icon = "dialog-warning";
        platform::showDesktopNotification(n);
    });
}

}  // namespace

std::vector<std::string> SyncFolder::foldersAwaitingConfirmation() {
    auto& g = guard();
    std::lock_guard lock(g.mutex);
    std::vector<std::string> out;
    for (const auto& [folder, confirmed] : g.held)
        if (!confirmed) out.push_back(folder);
    return out;
}

bool SyncFolder::confirmRemovals(TimeLineManager& timeline, const std::string& folder) {
    std::string key = normalisedFolder(folder);
    {
        auto& g = guard();
        std::lock_guard lock(g.mutex);
        auto it = g.held.find(key);
        if (it == g.held.end()) return false;
        it->second = true;
    }
    log().logAudit("The user confirmed the removal of the items the server no longer lists in " + key);
    timeline.addSyncFolderEvent(key, true);
    return true;
}

void SyncFolder::resetGuard() {
    auto& g = guard();
    std::lock_guard lock(g.mutex);
    g.held.clear();
}

bool SyncFolder::compareListing(EventContext& context, const std::string& path,
                                const std::vector<ServerFileObject>& entries,
                                std::vector<std::string> localNames, bool checkExists) {
    auto& timeline = context.timeline;
    // Local names by their folded form, in folder order, so each server entry finds its counterpart
    // without a scan of the whole folder.
    std::unordered_map<std::string, std::vector<size_t>> byFolded;
    byFolded.reserve(localNames.size());
    for (size_t i = 0; i < localNames.size(); ++i) byFolded[platform::foldedName(localNames[i])].push_back(i);
    std::vector<bool> matched(localNames.size(), false);
    std::set<std::string> seen;
    // Items deleted or moved away here whose events have not run yet (queued by the scan at start, or by
    // a report, while this listing was under way): the server still lists them, and an item made for
    // them now would bring back what the user removed, without a check of the server when the folder
    // was never listed before. Looked up only once an entry has no local counterpart.
    std::optional<std::set<std::string>> leaving;
    auto isLeaving = [&](const std::string& item) {
        if (!leaving) {
            leaving.emplace();
            for (const auto& event : timeline.pendingEvents()) {
                if (auto* move = dynamic_cast<TLMove*>(event.get()))
                    leaving->insert(platform::foldedName(move->localPathFrom));
                else if (auto* remove = dynamic_cast<TLDelete*>(event.get()))
                    leaving->insert(platform::foldedName(remove->localPath));
            }
        }
        return leaving->count(platform::foldedName(item)) != 0;
    };

    for (const auto& entry : entries) {
        std::string folded = platform::foldedName(entry.name);
        if (!seen.insert(folded).second) {
            // Two server entries that one local name would have to hold: the first one wins.
            log().logWarning("The server lists " + entry.name + " in " + path +
                             " beside another item of the same name but for case; ignoring it");
            continue;
        }
        auto it = byFolded.find(folded);
        std::optional<size_t> found;
        if (it != byFolded.end()) {
            for (size_t i : it->second)
                if (!matched[i] && localNames[i] == entry.name) found = i;
            if (!found)
                for (size_t i : it->second)
                    if (!matched[i]) {
                        found = i;
                        break;
                    }
        }
        if (!found) {
            if (isLeaving(path + "/" + entry.name)) {
                log().logDebug("Not making " + entry.name + " in " + path +
                               ": its delete or move here is still to reach the server");
                continue;
            }
            timeline.addDownloadSync(path, entry, checkExists);
            continue;
        }
        matched[*found] = true;
        const std::string& localName = localNames[*found];
        if (localName != entry.name) {
            std::string from = path + "/" + localName, to = path + "/" + entry.name;
            if (!renameNoReplace(from, to)) {
                log().logWarning("Could not rename " + from + " to " + entry.name + ": " +
                                 std::strerror(errno));
                continue;
            }
            log().logAudit("Renamed " + from + " to " + entry.name + " as the server spells it");
            followRenameInDatabase(to);
            // The other device may have changed the file as well as its name: a newer revision still
            // comes down now, not at the folder's next listing an hour later. The same one needs nothing.
            if (entry.isDirectory || platform::isFolder(to) ||
                CorvaneExtendedAttributes(to).ceaString.getAttribute(CEAString::keys::Revision) ==
                    entry.revision)
                continue;
        }
        if (entry.isDirectory) continue;
        if (platform::isFolder(path + "/" + entry.name)) continue;
        timeline.eventAppend(std::make_shared<RevisionUpdate>(path, entry));
    }

    // Local items the server did not list.
    std::vector<std::pair<std::string, CorvaneExtendedAttributes>> removals;
    size_t localItems = 0, synchronised = 0;
    for (size_t i = 0; i < localNames.size(); ++i) {
        std::string item = path + "/" + localNames[i];
        if (context.timeline.inIgnoreList(item)) continue;
        ++localItems;
        if (matched[i]) continue;
        CorvaneExtendedAttributes record(item);
        // Never sent to the server by design: its absence there says nothing about it.
        if (record.ceaStatus.status == S::LocalOnly) continue;
        // Only what the server's word would remove counts against the guard: new items and items
        // waiting to be sent are sent (again), items in error wait for the user.
        switch (record.ceaStatus.status) {
            case S::Regular:
            case S::Placeholder:
            case S::RequireDownload:
            case S::ErrorPlaceHolder:
                ++synchronised;
                break;
            default:
                break;
        }
        removals.emplace_back(std::move(item), std::move(record));
    }

    bool wholesale =
        !removals.empty() && removals.size() == localItems && synchronised >= kGuardMinimumSynchronised;
    bool tooMany = synchronised > kGuardMaximumRemovals;
    std::string key = normalisedFolder(path);
    {
        auto& g = guard();
        std::unique_lock lock(g.mutex);
        if (wholesale || tooMany) {
            auto it = g.held.find(key);
            if (it == g.held.end() || !it->second) {
                bool first = it == g.held.end();
                g.held[key] = false;
                lock.unlock();
                log().logWarning("The server no longer lists " + std::to_string(removals.size()) +
                                 " items of " + path +
                                 "; nothing is removed until the user confirms (tidewell confirm-deletes)");
                if (first) notifyHeld(key, removals.size());
                return false;
            }
        }
        // Confirmed, or nothing unusual: the folder waits no more.
        g.held.erase(key);
    }
    for (auto& [item, record] : removals)
        timeline.eventAppend(std::make_shared<TLServerRequestedDelete>(item, std::move(record)));
    return true;
}

bool SyncFolder::performSync(EventContext& context, const std::string& path, bool userRequest) {
    return listFolder(context, path, userRequest ? userRefresh : automaticRefresh) ==
           ListingOutcome::compared;
}

ListingOutcome SyncFolder::listFolder(EventContext& context, const std::string& path, double freshSeconds) {
    log().logFunction(prettyLog("-> " + path, __FILE__, "performSync(path:userRequest:)"));
    // Every early way out leaves the folder uncompared.
    auto done = [&](ListingOutcome outcome) {
        log().logFunction(prettyLog("<- " + path, __FILE__, "performSync(path:userRequest:)"));
        return outcome;
    };
    bool confirmed = false;
    {
        auto& g = guard();
        std::lock_guard lock(g.mutex);
        auto it = g.held.find(normalisedFolder(path));
        confirmed = it != g.held.end() && it->second;
    }
    if (!platform::isFolder(path)) {
        log().logDebug("Not listing " + path + ": no such local folder");
        return done(ListingOutcome::gone);
    }
    bool checkExists = true;
    {
        CorvaneExtendedAttributes record(path);
        auto last = record.ceaDate.getAttribute(CEADate::keys::LastServerListing);
        if (last) {
            // A confirmed removal must not wait for the freshness limit.
            if (!confirmed && std::fabs(nowSince2001(context.server) - *last) < freshSeconds)
                return done(ListingOutcome::fresh);
        } else {
            checkExists = false;
            if (record.ceaStatus.status == S::Unknown && !context.volumes.inLocationRoot(path))
                context.timeline.addCreateFolder(path);
        }
    }
    auto localNames = platform::entriesOfFolder(path);
    if (!localNames) return done(ListingOutcome::failed);

    FolderContentDetails listing(context.server, path);
    auto [outcome, error] = listing.fetchFolderContents();
    if (outcome != normalisedResponse::allOkay) {
        log().logDebug("Listing of " + path + " failed (" + toString(error) + "); nothing is changed");
        return done(ListingOutcome::failed);
    }
    // The folder may have been removed while the server answered: nothing is written in its place.
    if (!platform::isFolder(path)) {
        log().logWarning("The folder " + path + " went away while it was listed; nothing is changed");
        return done(ListingOutcome::gone);
    }
    if (listing.rootObject) CEAUtils::refreshFolder(path, listing.rootObject->serverFacts());
    bool compared = compareListing(context, path, listing.contents, std::move(*localNames), checkExists);
    if (compared) {
        // Held removals leave the folder due for listing, so the next pass looks again.
        CorvaneExtendedAttributes record(path);
        record.ceaDate.setAttribute(CEADate::keys::LastServerListing, nowSince2001(context.server));
        // Unwritten (the record logged why), the folder only looks due for listing sooner.
        (void)record.save();
    }
    return done(compared ? ListingOutcome::compared : ListingOutcome::failed);
}

}  // namespace tw
