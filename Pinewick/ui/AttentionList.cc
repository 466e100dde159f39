#include "Pinewick/ui/AttentionList.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "platform/dispatch.h"
#include "platform/files.h"
#include "platform/notifications.h"
#include "platform/overmark.h"
#include "platform/paths.h"

namespace tw {
namespace {

bool under(const std::string& path, const std::vector<std::string>& roots) {
    for (const auto& root : roots)
        if (platform::isInsideFolder(path, root)) return true;
    return false;
}

// Most items are not in error, and their stored state says so in one read. One whose state says error
// is loaded whole: its record may have come with a file that replaced the item, which is not in error.
bool recordInError(const std::string& path) {
    auto stored = CorvaneExtendedAttributes::storedStatus(path);
    return stored && AttentionList::inError(*stored) &&
           AttentionList::inError(CorvaneExtendedAttributes(path).ceaStatus.status);
}

}  // namespace

AttentionList::AttentionList(Sources sources, Publish publish, std::chrono::milliseconds recheckInterval)
    : sources_(std::move(sources)),
      publish_(std::move(publish)),
      recheckInterval_(recheckInterval),
      queue_(platform::DispatchQueue::serial("com.meridot.tidewell.Attention")) {}

AttentionList::~AttentionList() {
    stop();
    stopping_ = true;
    queue_->sync([] {});
}

AttentionList::Ignored AttentionList::ignoredBy(TimeLineManager& timeline) {
    return [&timeline](const std::string& path) { return timeline.inIgnoreList(path); };
}

std::vector<std::string> AttentionList::findItemsInError(const std::vector<std::string>& roots,
                                                         const Ignored& ignored, size_t limit,
                                                         const std::atomic<bool>* cancel) {
    std::vector<std::string> found;
    size_t seen = 0;
    for (const auto& root : roots) {
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(
                 root, std::filesystem::directory_options::skip_permission_denied, ec);
             !ec && it != std::filesystem::recursive_directory_iterator() && seen < limit;
             it.increment(ec), ++seen) {
            if (cancel && *cancel) return found;
            std::string path = it->path().string();
            if (ignored && ignored(path)) continue;
            if (recordInError(path)) found.push_back(std::move(path));
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

void AttentionList::start() {
    std::lock_guard lock(startMutex_);
    if (started_) return;
    started_ = true;
    stopping_ = false;
    observers_.push_back(platform::observeNotifications(
        overmark::kIconChangeNotification,
        [this](const std::string&, const std::string& path) { itemChanged(path); }));
    observers_.push_back(platform::observeNotifications(overmark::kVolumeChangeNotification,
                                                        [this](const std::string&, const std::string&) {
                                                            {
                                                                std::lock_guard lock(mutex_);
                                                                rootsChanged_ = true;
                                                            }
                                                            schedule();
                                                        }));
    timer_ = std::make_unique<platform::RepeatingTimer>(recheckInterval_, *queue_, [this] {
        {
            std::lock_guard lock(mutex_);
            recheckWanted_ = true;
        }
        schedule();
    });
    rescan();
}

void AttentionList::stop() {
    std::vector<std::unique_ptr<platform::NotificationObserver>> observers;
    std::unique_ptr<platform::RepeatingTimer> timer;
    {
        std::lock_guard lock(startMutex_);
        observers.swap(observers_);
        timer.swap(timer_);
        started_ = false;
    }
    // Dropped outside the lock: each waits for a callback running now, which may call in here.
    observers.clear();
    timer.reset();
}

void AttentionList::itemChanged(const std::string& path) {
    if (path.empty() || path.front() != '/') return;
    {
        std::lock_guard lock(mutex_);
        dirty_.insert(path);
    }
    schedule();
}

void AttentionList::heldFoldersChanged() {
    schedule();
}

void AttentionList::rescan() {
    {
        std::lock_guard lock(mutex_);
        walkWanted_ = true;
    }
    schedule();
}

StatusBarManager::Attention AttentionList::attention() const {
    std::lock_guard lock(mutex_);
    return last_;
}

bool AttentionList::waitUntilSettled(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return settled_.wait_for(lock, timeout, [this] { return !scheduled_; });
}

void AttentionList::schedule() {
    {
        std::lock_guard lock(mutex_);
        if (scheduled_) return;  // the queued run takes whatever arrived meanwhile
        scheduled_ = true;
    }
    queue_->async([this] { run(); });
}

void AttentionList::check(const std::string& path, const std::vector<std::string>& roots) {
    // A path with no item has no record either.
    if (under(path, roots) && !(sources_.ignored && sources_.ignored(path)) && recordInError(path))
        known_.insert(path);
    else
        known_.erase(path);
}

void AttentionList::run() {
    // Rounds until nothing new arrived: a burst of changes costs one round per change that arrived
    // while the previous round ran, not one per change.
    for (;;) {
        std::set<std::string> dirty;
        bool walk = false, rootsChanged = false, recheck = false;
        {
            std::lock_guard lock(mutex_);
            dirty.swap(dirty_);
            walk = std::exchange(walkWanted_, false);
            rootsChanged = std::exchange(rootsChanged_, false);
            recheck = std::exchange(recheckWanted_, false);
        }
        std::vector<std::string> roots = sources_.roots ? sources_.roots() : std::vector<std::string>();
        if (rootsChanged && roots != walkedRoots_) walk = true;
        if (!walk && recheck) {
            // Known items only: one look each. One that left its path was deleted or moved while in
            // error, and only a walk finds where it went.
            for (auto it = known_.begin(); it != known_.end();) {
                if (!platform::itemExists(*it)) {
                    walk = true;
                    it = known_.erase(it);
                } else if (!recordInError(*it)) {
                    it = known_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        if (walk) {
            auto found = findItemsInError(roots, sources_.ignored, kWalkLimit, &stopping_);
            if (stopping_) {
                std::lock_guard lock(mutex_);
                scheduled_ = false;
                settled_.notify_all();
                return;
            }
            known_ = std::set<std::string>(found.begin(), found.end());
            walkedRoots_ = roots;
            ++walks_;
        } else {
            for (const auto& path : dirty) check(path, roots);
        }

        StatusBarManager::Attention now;
        now.itemsInError = known_.size();
        for (auto it = known_.begin(); it != known_.end() && now.items.size() < kItemsListed; ++it)
            now.items.push_back(*it);
        if (sources_.heldFolders) now.heldFolders = sources_.heldFolders();
        bool changed = false;
        {
            std::lock_guard lock(mutex_);
            changed = !published_ || now != last_;
            last_ = now;
            published_ = true;
        }
        if (changed && publish_) publish_(now);

        std::lock_guard lock(mutex_);
        if (dirty_.empty() && !walkWanted_ && !rootsChanged_ && !recheckWanted_) {
            scheduled_ = false;
            settled_.notify_all();
            return;
        }
    }
}

}  // namespace tw
