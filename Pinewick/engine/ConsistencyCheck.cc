#include "Pinewick/engine/ConsistencyCheck.h"

#include <filesystem>

#include "Pinewick/config/Log.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/ConsistencyCheckDataBase.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/dispatch.h"
#include "platform/files.h"

namespace tw {
namespace {

// The folder a "/.vol/" identity names now, with symbolic links resolved; none when no folder has that
// identity any more (gone, or the number now belongs to something that is not a folder).
std::optional<std::string> resolveFolder(const std::string& volPath) {
    auto path = platform::resolveVolPath(volPath);
    if (!path) return std::nullopt;
    std::error_code ec;
    auto real = std::filesystem::canonical(*path, ec);
    if (ec) return std::nullopt;
    if (!std::filesystem::is_directory(real, ec) || ec) return std::nullopt;
    return real.string();
}

}  // namespace

ConsistencyCheck::ConsistencyCheck(Parts parts) : parts_(parts), alive_(std::make_shared<Liveness>()) {
    alive_->self = this;
}

ConsistencyCheck::~ConsistencyCheck() {
    stop();
    std::lock_guard lock(alive_->mutex);
    alive_->self = nullptr;
}

void ConsistencyCheck::start() {
    std::weak_ptr<Liveness> weak = alive_;
    auto next = std::make_unique<platform::RepeatingTimer>(
        kTimerInterval, platform::DispatchQueue::global(platform::QoS::utility), [weak] {
            // Ticks run on the main queue, as the user interface and the other timers do.
            platform::MainQueue::shared().async([weak] {
                auto alive = weak.lock();
                if (!alive) return;
                std::lock_guard lock(alive->mutex);
                if (alive->self) alive->self->timerFireMethod();
            });
        });
    std::unique_ptr<platform::RepeatingTimer> previous;
    std::lock_guard lock(timerMutex_);
    previous = std::move(timer);
    timer = std::move(next);
}

void ConsistencyCheck::stop() {
    std::unique_ptr<platform::RepeatingTimer> previous;
    std::lock_guard lock(timerMutex_);
    previous = std::move(timer);
}

bool ConsistencyCheck::running() const {
    std::lock_guard lock(timerMutex_);
    return timer != nullptr;
}

void ConsistencyCheck::updateScanDate(const std::string& folder) {
    TW_TRACE_IN("updateScanDate(folder:)");
    auto attrs = platform::attributesOfItem(folder);
    if (!attrs) return;
    std::string uuid = parts_.volumes.volumeNodeToVolumeUUID(attrs->systemNumber);
    // A folder outside every known volume has no identity the check could find again.
    if (uuid.empty()) {
        log().logDebug("No volume UUID for " + folder + "; its scan date is not kept");
        return;
    }
    CCDBRecord record{uuid, attrs->systemFileNumber, parts_.timeline.context().server.now()};
    if (parts_.database.findRecord(record.folderNode, uuid))
        parts_.database.refreshRecord(record);
    else
        parts_.database.addRecord(record);
    TW_TRACE_OUT("updateScanDate(folder:)");
}

void ConsistencyCheck::enrol(const std::string& folder) {
    auto attrs = platform::attributesOfItem(folder, nullptr, false);
    if (!attrs || attrs->type != platform::kFileTypeDirectory) return;
    std::string uuid = parts_.volumes.volumeNodeToVolumeUUID(attrs->systemNumber);
    if (uuid.empty() || parts_.database.findRecord(attrs->systemFileNumber, uuid)) return;
    parts_.database.addRecord(CCDBRecord{uuid, attrs->systemFileNumber, {}});
}

void ConsistencyCheck::timerFireMethod() {
    auto& state = parts_.runState;
    if (!state.networkAvailable || !state.allowServerCommunication) return;
    // The pass, once it succeeds, refreshes the row through updateScanDate.
    if (auto path = takeOldestDue(kStaleAfter)) parts_.timeline.addSyncFolderEvent(*path, false);
}

std::optional<std::string> ConsistencyCheck::takeOldestDue(
    std::chrono::seconds staleAfter, const std::function<bool(const std::string&)>& skip) {
    // A few of the oldest, so that folders set aside by `skip` do not hold up the line.
    constexpr size_t kLookedAt = 8;
    auto now = parts_.timeline.context().server.now();
    for (auto& record : parts_.database.lastRefreshDateRecords(kLookedAt)) {
        if (now - record.refreshDate <= staleAfter) return std::nullopt;
        uint64_t volume = parts_.volumes.volumeNodeFromVolumeUUID(record.volumeUUID);
        if (volume == 0) {
            // Its volume is not mounted: move it to the back of the line so other folders get their turn.
            record.refreshDate = now;
            parts_.database.refreshRecord(record);
            return std::nullopt;
        }
        std::string volPath = "/.vol/" + std::to_string(volume) + "/" + std::to_string(record.folderNode);
        auto path = resolveFolder(volPath);
        if (!path) {
            log().logDebug("Consistency check: no folder with identity " + volPath +
                           " any more; forgetting it");
            parts_.database.removeRecord(record);
            return std::nullopt;
        }
        if (skip && skip(*path)) continue;
        return path;
    }
    return std::nullopt;
}

}  // namespace tw
