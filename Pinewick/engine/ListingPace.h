// How server changes come down by themselves. The protocol has no change feed and folders carry no
// revision, so the client lists: folders in use are listed again every minute while they are in use,
// and every folder is compared within a cycle (an hour by default) by a rotation that takes the folder
// that waited longest first, at a rate spread evenly over the cycle. Both share one budget of listings
// a second (the administrator's "listingrate" and "listingcycle"): a program that reads a thousand
// folders every few seconds costs no more than the budget, and a tree too large for the rate takes a
// longer cycle, never a higher rate. The rate backs off when the server answers slowly or not at all,
// and nothing is listed while the run state forbids contact (paused, asleep, offline) or a battery
// running the machine is below 20 %. The listing the trusted file managers trigger is not paced.
//
// A folder is in use when a program other than an indexer lists it, or a file in it is written or a
// placeholder in it opened; it stays in use for an hour.
//
// Thread-safety: every operation may be called from any thread; `step` runs on the pace's own timer
// when started (tests call it directly with times of their own). Passes report back on the listing
// thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "Pinewick/engine/EventContext.h"

namespace tw {

namespace platform {
class RepeatingTimer;
}
class ConsistencyCheck;

class ListingPace {
public:
    using Clock = std::chrono::steady_clock;

    // A folder in use is listed again after this long.
    static constexpr std::chrono::seconds kInUseRefresh{60};
    // A folder stays in use this long after its last use.
    static constexpr std::chrono::seconds kInUseFor{3600};
    // Nothing is listed while a battery running the machine holds less than this (percent).
    static constexpr int kLowBattery = 20;
    // Listings of the pace waiting or running at once: more would only queue behind a slow server.
    static constexpr int kMostOutstanding = 2;
    // Folders kept in use at most (the least recently used go first).
    static constexpr size_t kMostInUse = 4096;
    // How often the pace looks whether a listing is due.
    static constexpr std::chrono::milliseconds kStep{200};

    struct Settings {
        double rate = 3;             // listings a second at most
        double cycleSeconds = 3600;  // every folder compared within this, as far as the rate allows
    };

    // What the pace reads and where it queues its listings. Each must outlive the pace.
    struct Parts {
        // Queues a listing of a folder with the freshness limit given, ahead of automatic passes when
        // urgent; `done` hears how it ended (TimeLineManager::addListing).
        std::function<void(const std::string& folder, double freshSeconds, bool urgent,
                           std::function<void(ListingOutcome, Clock::duration)> done)>
            list;
        // The rotation's next folder (ConsistencyCheck::takeOldestDue).
        std::function<std::optional<std::string>(std::chrono::seconds staleAfter,
                                                 const std::function<bool(const std::string&)>& skip)>
            oldestDue;
        // How many folders the rotation goes through.
        std::function<uint64_t()> folders;
        // Whether the server may be contacted now (network, the user's choice, not asleep, not quitting).
        std::function<bool()> mayContact;
        // Whether a battery runs the machine low (platform::onLowBattery).
        std::function<bool()> lowBattery;
        // The administrator's settings, read at each step.
        std::function<Settings()> settings;
        // Whether a folder is never synchronised (then its use counts for nothing).
        std::function<bool(const std::string& folder)> ignored;
        // Makes the rotation know every folder there is (folders made here and never listed have no
        // row yet): run in the background at the first step and once a cycle after.
        std::function<void()> discover;
    };

    explicit ListingPace(Parts parts);
    // Stops and waits for a step in progress; listings already queued report to nobody.
    ~ListingPace();
    ListingPace(const ListingPace&) = delete;
    ListingPace& operator=(const ListingPace&) = delete;

    // Steps every kStep on a timer of the pace's own until `stop`.
    void start();
    void stop();

    // A program used `folder` (listed it, or a file in it) at `when`; `program` is its executable, empty
    // when unknown. An indexer's or thumbnailer's use does not count.
    void folderInUse(const std::string& folder, const std::string& program = "",
                     Clock::time_point when = Clock::now());

    // Queues what is due at monotonic time `now`.
    void step(Clock::time_point now);

    struct Figures {
        double rate = 0;          // listings a second allowed now, after any back-off
        double rotationRate = 0;  // of which the rotation's share
        size_t inUse = 0;         // folders in use
        int outstanding = 0;      // listings queued and not yet ended
        uint64_t listed = 0;      // listings queued since the start
        bool waiting = false;     // nothing is listed now (contact forbidden or a low battery)
    };
    Figures figures() const;

private:
    struct Use {
        Clock::time_point lastUse;
        std::optional<Clock::time_point> lastListed;
    };
    // The in-use folder due longest, if any; marks it listed. Under mutex_.
    std::optional<std::string> takeInUseDueLocked(Clock::time_point now);
    void queue(const std::string& folder, bool rotation);
    void ended(const std::string& folder, bool rotation, ListingOutcome outcome, Clock::duration took);

    Parts parts_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Use> inUse_;                         // under mutex_
    std::unordered_map<std::string, Clock::time_point> failedRecently_;  // rotation folders, under mutex_
    double tokens_ = 0;                                                  // shared budget, under mutex_
    double rotationTokens_ = 0;                                          // under mutex_
    double backoff_ = 1;                              // share of the rate allowed, 1/64 to 1, under mutex_
    std::optional<Clock::time_point> lastStep_;       // under mutex_
    int outstanding_ = 0;                             // under mutex_
    uint64_t listed_ = 0;                             // under mutex_
    bool waiting_ = false;                            // under mutex_
    std::optional<Clock::time_point> lastDiscovery_;  // under mutex_
    bool discovering_ = false;                        // under mutex_
    std::condition_variable discovered_;              // discovering_ went false
    uint64_t folders_ = 0;                            // the rotation's size at the last count, under mutex_
    std::optional<Clock::time_point> lastCount_;      // under mutex_
    double rate_ = 0, rotationRate_ = 0;              // of the last step, under mutex_

    // What the timer and the listings' reports reach this object through; emptied when it goes.
    struct Alive {
        std::mutex mutex;
        ListingPace* self = nullptr;
    };
    std::shared_ptr<Alive> alive_;
    std::mutex timerMutex_;
    std::unique_ptr<platform::RepeatingTimer> timer_;  // under timerMutex_
};

}  // namespace tw
