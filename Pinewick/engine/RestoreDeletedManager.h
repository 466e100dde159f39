// Puts back, as error placeholders, items the user deleted locally but the server refused to delete, so
// that the user sees them badged and can resolve them.
//
// Restores wait out a debounce: they run, in request order and one at a time, only after a whole
// debounce interval (one second) without a new request, so a burst of refused deletes (a folder's
// worth) is restored in one go once the burst is over, not while the user is still deleting.
//
// Thread-safety: every operation may be called from any thread; restores run on the manager's own
// worker thread ("com.meridot.tidewell.RestoreQueue").
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "Pinewick/metadata/CEAValues.h"
#include "Pinewick/server/ServerFileObject.h"

namespace tw {

class RestoreDeletedManager {
public:
    static constexpr const char* kQueueLabel = "com.meridot.tidewell.RestoreQueue";
    // The bytes a restored file holds until it is resolved: the ghost emoji, then "Meridot".
    static constexpr const char* kGhostMarker =
        "\xF0\x9F\x91\xBB"
        "Meridot";

    // Whether the file at `path` holds exactly the marker: put back and untouched since.
    static bool holdsOnlyMarker(const std::string& path);

    // The process-wide manager with the one-second debounce, made by the engine; never destroyed.
    static RestoreDeletedManager& sharedInstance();

    explicit RestoreDeletedManager(std::chrono::milliseconds debounce = std::chrono::seconds(1));
    // Runs nothing more: restores still waiting are dropped (logged), the one running finishes.
    ~RestoreDeletedManager();
    RestoreDeletedManager(const RestoreDeletedManager&) = delete;
    RestoreDeletedManager& operator=(const RestoreDeletedManager&) = delete;

    // Re-creates the item at `path` from the server's entry, as an ErrorPlaceHolder with `errorCode` and
    // the genre Delete, after the debounce. Nothing is done when something exists at `path` by then.
    void replaceItem(const std::string& path, const ServerFileObject& restoreItem,
                     CEAErrorStatus::keys errorCode);
    // Holds the queue (if it is not held) and restarts the debounce interval from now.
    void resetTimer();

    // Whether the queue is held by the debounce.
    bool suspended() const { return suspended_; }
    // Waits until no restore is waiting or running (tests, shutdown); false after the time-out.
    bool waitUntilIdle(std::chrono::milliseconds timeout);

private:
    void run();
    static void restore(const std::string& path, const ServerFileObject& item,
                        CEAErrorStatus::keys errorCode);

    const std::chrono::milliseconds debounce_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> restoreQueue_;      // under mutex_
    std::chrono::steady_clock::time_point restoreTimer_;  // latest request, under mutex_
    std::atomic<bool> suspended_{false};
    bool running_ = false;   // a restore is executing, under mutex_
    bool stopping_ = false;  // under mutex_
    std::thread worker_;     // last: starts after every member it uses exists
};

}  // namespace tw
