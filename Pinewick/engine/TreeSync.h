// `tidewell sync [PATH]`: a folder and every folder under it (every mappoint without a path) listed as
// the user asked, whatever their freshness, until nothing new turns up: folders the listings bring down
// are listed in turn. Each request is a job with its progress, which the command line follows.
//
// Thread-safety: every operation may be called from any thread. Each job walks and waits on a thread of
// its own; the listings run on the timeline's listing queue.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Pinewick/engine/EventContext.h"

namespace tw {

class TreeSync {
public:
    struct Parts {
        // Queues a listing with the freshness limit given (0: whatever its freshness), urgent, and hears
        // how it ended (TimeLineManager::addListing).
        std::function<void(const std::string& folder, double freshSeconds, bool urgent,
                           std::function<void(ListingOutcome, std::chrono::steady_clock::duration)> done)>
            list;
        // The folders a request without a path covers (the mappoints' local folders), after asking for
        // the server's list of mappoints.
        std::function<std::vector<std::string>()> roots;
        // Whether a folder is never synchronised (it and what it holds are left out).
        std::function<bool(const std::string& folder)> ignored;
        // Waits, up to the time given, until the work the listings queued has run (new folders made).
        std::function<void(std::chrono::milliseconds)> settle;
    };

    struct Progress {
        size_t listed = 0;  // folders listed so far (compared, found fresh, or gone meanwhile)
        size_t failed = 0;  // folders whose listing failed
        size_t known = 0;   // folders found so far
        bool done = false;
    };

    explicit TreeSync(Parts parts);
    // Stops the jobs still running (their queued listings run, unheard) and waits for their threads.
    ~TreeSync();
    TreeSync(const TreeSync&) = delete;
    TreeSync& operator=(const TreeSync&) = delete;

    // Starts a job for `folder` ("" or "/": every mappoint); its number.
    uint64_t start(const std::string& folder);
    // How the job stands; none for a number never given (or a job long finished and forgotten).
    std::optional<Progress> progress(uint64_t job) const;

    // Folders found at most, and rounds of walking (a tree that keeps growing ends all the same).
    static constexpr size_t kRounds = 20;

private:
    struct Job {
        std::string folder;
        Progress progress;
        std::set<std::string> seen;
        size_t waiting = 0;  // listings queued and not yet ended
        std::thread thread;  // walks and waits; joined when the job is forgotten or this object goes
    };
    void run(uint64_t id);
    // Every synchronised folder under `root`, `root` included.
    std::vector<std::string> walk(const std::string& root) const;

    Parts parts_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<uint64_t, Job> jobs_;  // under mutex_
    uint64_t next_ = 1;             // under mutex_
    bool stopping_ = false;         // under mutex_
    // What the listings' reports reach this object through; emptied when it goes.
    struct Alive {
        std::mutex mutex;
        TreeSync* self = nullptr;
    };
    std::shared_ptr<Alive> alive_;
};

}  // namespace tw
