// What needs the user: the items in an error state under the synchronised folders, and the folders
// whose removals wait for the user's confirmation. The tray's error state and its menu line follow it;
// `tidewell status` and `tidewell errors` use its walk.
//
// Kept current without walking the tree on every change: one walk at start and whenever the set of
// synchronised folders changes, then one record read per item whose state changed (every record saved
// with a new state posts the icon-change notification with its path), and, on a slow timer, one per item
// already known to be in error, because an item in error that is deleted or moved changes no state. When such
// an item has vanished from its path, the next round walks again and finds it where it went. The held
// folders are an in-memory list, read again whenever a listing pass or a confirmation may have changed
// it.
//
// Thread-safety: every operation may be called from any thread. The work runs on one serial queue;
// `publish` is called there, only when what needs the user changed, never under a lock of this object.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/metadata/CEAValues.h"

namespace tw {

namespace platform {
class DispatchQueue;
class NotificationObserver;
class RepeatingTimer;
}  // namespace platform

class TimeLineManager;

class AttentionList {
public:
    // A walk looks at this many entries at most, so a huge tree still answers.
    static constexpr size_t kWalkLimit = 200000;
    // Items named in `Attention::items` (all of them are counted).
    static constexpr size_t kItemsListed = 10;
    static constexpr std::chrono::milliseconds kRecheckInterval{30000};

    // Paths never synchronised (the timeline's ignore list): nothing there needs the user.
    using Ignored = std::function<bool(const std::string& path)>;
    static Ignored ignoredBy(TimeLineManager& timeline);
    struct Sources {
        std::function<std::vector<std::string>()> roots;        // the synchronised folders
        std::function<std::vector<std::string>()> heldFolders;  // folders whose removals wait
        Ignored ignored;
    };
    using Publish = std::function<void(const StatusBarManager::Attention&)>;

    // The program's list (on the active volumes and the listing's held folders, publishing to the
    // status bar manager) is made by the engine (app/Engine).
    AttentionList(Sources sources, Publish publish,
                  std::chrono::milliseconds recheckInterval = kRecheckInterval);
    // Stops, abandons a walk in progress and waits for the work queued.
    ~AttentionList();
    AttentionList(const AttentionList&) = delete;
    AttentionList& operator=(const AttentionList&) = delete;

    static bool inError(CEAStatus::keys state) {
        return state == CEAStatus::keys::ErrorRegular || state == CEAStatus::keys::ErrorPlaceHolder;
    }
    // The items in an error state under `roots` and not `ignored`, in path order, looking at `limit`
    // entries at most; gives up early when `cancel` becomes true.
    static std::vector<std::string> findItemsInError(const std::vector<std::string>& roots,
                                                     const Ignored& ignored, size_t limit = kWalkLimit,
                                                     const std::atomic<bool>* cancel = nullptr);

    // Observes state and volume changes, starts the timer and walks once. Again: nothing.
    void start();
    // Stops observing and the timer; work already queued still runs.
    void stop();

    // The state of the item at `path` may have changed.
    void itemChanged(const std::string& path);
    // The held folders may have changed (a listing pass ran, the user confirmed removals).
    void heldFoldersChanged();
    // Walks everything again.
    void rescan();

    // What was published last.
    StatusBarManager::Attention attention() const;
    // Waits until nothing is queued (false after `timeout`).
    bool waitUntilSettled(std::chrono::milliseconds timeout);
    // How many walks ran (a state change must not cost one).
    size_t walks() const { return walks_; }

private:
    void schedule();
    void run();
    // One record read: whether `path` is in error now, kept in `known_` accordingly.
    void check(const std::string& path, const std::vector<std::string>& roots);

    Sources sources_;
    Publish publish_;
    std::chrono::milliseconds recheckInterval_;
    std::shared_ptr<platform::DispatchQueue> queue_;

    mutable std::mutex mutex_;  // guards the fields down to `last_`
    std::condition_variable settled_;
    std::set<std::string> dirty_;  // paths whose state may have changed
    bool walkWanted_ = false;
    bool rootsChanged_ = false;  // the synchronised folders may differ from the ones walked
    bool recheckWanted_ = false;
    bool scheduled_ = false;  // a run is queued or running
    StatusBarManager::Attention last_;
    bool published_ = false;

    // Touched only on `queue_`.
    std::set<std::string> known_;
    std::vector<std::string> walkedRoots_;

    std::atomic<bool> stopping_{false};
    std::atomic<size_t> walks_{0};
    std::mutex startMutex_;  // guards the three below
    bool started_ = false;
    std::vector<std::unique_ptr<platform::NotificationObserver>> observers_;
    std::unique_ptr<platform::RepeatingTimer> timer_;
};

}  // namespace tw
