// The periodic consistency check: listing passes run when something asks for them, so folders nobody
// touches would never be compared with the server again. Once a minute this takes the folder that has
// waited longest (from the consistency-check database) and, when its last successful comparison is
// more than an hour old, queues an automatic listing pass of it. Folders are known by identity (volume
// UUID and file number) and found again through their "/.vol/" path, so renames keep their history.
//
// Time comes from the server layer's clock (ServerEnvironment `now`), so tests run it on a fake one.
// The database, the volume list (a folder's volume UUID and device number), the run state (no pass is
// asked for while paused or offline) and the timeline that runs the passes are handed to the
// constructor.
//
// Thread-safety: `timerFireMethod` runs on the main queue when driven by the timer (tests may call it
// from their own thread); `updateScanDate` runs on the listing thread. The database serialises its
// statements itself.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tw {

namespace platform {
class RepeatingTimer;
}
class ConsistencyCheckDataBase;
class StateManager;
class TimeLineManager;
class VolumeManager;

class ConsistencyCheck {
public:
    static constexpr std::chrono::seconds kTimerInterval{60};
    static constexpr std::chrono::seconds kStaleAfter{3600};

    // What the check reads and where it queues its passes. Not owned; each must outlive the check.
    struct Parts {
        ConsistencyCheckDataBase& database;
        VolumeManager& volumes;
        StateManager& runState;
        TimeLineManager& timeline;
    };
    explicit ConsistencyCheck(Parts parts);
    ~ConsistencyCheck();
    ConsistencyCheck(const ConsistencyCheck&) = delete;
    ConsistencyCheck& operator=(const ConsistencyCheck&) = delete;

    // Starts the repeating 60-second timer; each tick runs `timerFireMethod` on the main queue
    // (platform::MainQueue), so the program must drain that queue. Starting again restarts it.
    void start();
    // Stops the timer; a tick already queued on the main queue still runs.
    void stop();
    bool running() const;

    // One tick: examines the folder that has waited longest (see the source for the steps).
    void timerFireMethod();
    // The folder that has waited longest, when it was compared more than `staleAfter` ago, skipping
    // those `skip` names (of the few oldest): the rotation's next folder. On the way, as the tick does,
    // a folder of a volume not mounted goes to the back of the line and a folder no longer there is
    // forgotten. None when no folder is due.
    std::optional<std::string> takeOldestDue(std::chrono::seconds staleAfter,
                                             const std::function<bool(const std::string&)>& skip = {});
    // Records that `folder` has just been compared with the server successfully.
    void updateScanDate(const std::string& folder);
    // Makes the check know `folder` when it does not yet (made here and never listed): it joins the
    // line as never compared, so its turn comes soon. A folder already known keeps its date.
    void enrol(const std::string& folder);

private:
    Parts parts_;
    mutable std::mutex timerMutex_;
    std::unique_ptr<platform::RepeatingTimer> timer;  // the repeating tick; none until `start`
    // Lets a tick that was queued on the main queue see that this object is gone; a running tick
    // holds the mutex, so destruction waits for it.
    struct Liveness {
        std::mutex mutex;
        ConsistencyCheck* self = nullptr;
    };
    std::shared_ptr<Liveness> alive_;
};

}  // namespace tw
