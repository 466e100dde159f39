// The timeline: the ordered list of pending work (uploads, folder creations, deletes, moves, ...) run one
// event at a time on one background thread, in the order queued; only uploads and deletes of distinct
// files queued one after another run side by side (lanes), and whatever follows them waits for all.
// An event leaves the list, and Timeline.txt, as soon as it has finished, whatever the other lanes do;
// one that was cut before the server answered (a pause, a sleep, a network error, a quit) asks to run
// again and keeps its place. Pausing lets the running events end and starts nothing new. Pending deletes
// and moves are kept in Timeline.txt while they wait and replayed, first in line, at the next start.
// Two events never act on one item at once: each claims the items it acts on (`claimItems`), and one
// that finds its item claimed hands itself back to run after the other.
//
// Thread-safety: producers on any thread append; the list changes only under the exclusive lock of
// `eventSyncQueue`; flags read across threads are atomics. Lock order: a record lock
// (`lockRecord`) is taken inside nothing of this object's and holds nothing of it.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Pinewick/engine/HeldCloses.h"
#include "Pinewick/engine/TLEvent.h"
#include "Pinewick/server/ServerFileObject.h"
#include "platform/dispatch.h"

namespace tw {

class TLUpload;
class VolumeDetail;
class ServerFileObject;
class MetadataDataBase;
class VolumeManager;
class StatusBarManager;
class RestoreDeletedManager;
class ExclusionManager;
struct ServerEnvironment;

// What a saved timeline file gave back: the events in order, and the bytes that could not be replayed.
struct ReplayResult {
    std::vector<std::shared_ptr<TLEvent>> events;
    std::string unreadable;
};

class TimeLineManager {
public:
    // The process-wide timeline, on the configured support folder, working with the process-wide parts;
    // made by the engine on first use, never destroyed.
    static TimeLineManager& sharedInstance();

    // What the timeline works with besides itself: what its events act through (see EventContext) and
    // the rules of what is never synchronised. Each part must outlive the timeline.
    struct Parts {
        MetadataDataBase& records;
        VolumeManager& volumes;
        ServerEnvironment& server;
        StatusBarManager& statusBar;
        RestoreDeletedManager& restorer;
        ExclusionManager& exclusions;
    };
    // Hands the parts over when they are first needed, once. They are not asked for at construction: the
    // process-wide timeline may be made by the first watcher report, on the kernel link's queue, before
    // the volumes exist, and a timeline that runs nothing opens nothing else.
    using PartsSource = std::function<Parts()>;
    // The process-wide parts (those of the shared timeline, handed over by the engine; tests and tools
    // whose own timeline works with them).
    static PartsSource sharedParts();

    // A timeline keeping Timeline.txt in `supportFolder` (ends with "/"). Created suspended, with the
    // saved deletes and moves replayed into the list.
    TimeLineManager(std::string supportFolder, PartsSource parts);
    // Pauses and waits for the loop to end (the running event finishes first).
    ~TimeLineManager();
    TimeLineManager(const TimeLineManager&) = delete;
    TimeLineManager& operator=(const TimeLineManager&) = delete;

    // What this timeline hands to every event it runs: itself as the timeline, its parts for the rest.
    // Built at first use (see PartsSource).
    EventContext& context();

    // Appends an already-built event and wakes an idle loop.
    void eventAppend(std::shared_ptr<TLEvent> event);

    // Queue an upload of a file (`addCloseEvent`: a file closed after writing, so it counts as changed).
    // Ignored and excluded paths are dropped after the event's own checks have run.
    void addUploadEvent(const std::string& path);
    void addCloseEvent(const std::string& path);
    // The watcher's report of a file closed after writing: held while its folder keeps changing, then
    // queued as `addCloseEvent` (see HeldCloses). A delete, move or exchange queued here first releases
    // what is held at its paths.
    void holdCloseEvent(const std::string& path);
    // Reports held, not yet queued (counted as pending work: the timeline is not idle while any is held).
    size_t heldCloseCount() const;
    // How long a folder must be quiet before its held files go, and the longest any file is held.
    void setCloseHold(std::chrono::milliseconds quiet, std::chrono::milliseconds ceiling);
    // Queues the creation of a local folder on the server when it is not yet known to the sync.
    // `contentFollows`: what the folder holds arrives by events of its own, so no listing follows its
    // creation (the watcher reports each item made in a new folder).
    void addCreateFolder(const std::string& path, bool contentFollows = false);
    // Queues the server delete of a local item, with its record from before it disappeared.
    void addDeleteEvent(const std::string& path, const CorvaneExtendedAttributes& xAttrs);
    // Queues a local rename or move, with the item's record from before the move.
    void addMoveEvent(const std::string& from, const std::string& to,
                      const CorvaneExtendedAttributes& xAttrs);
    // Ejects a volume the server no longer offers, in the background.
    void addRecoverVolumeEvent(std::shared_ptr<VolumeDetail> volume);
    // Exists for the in-location folders the server dropped; nothing is done to them.
    void addGhostCleanupEvent(const std::string& path);
    // Two files exchanged their contents: both are uploaded as changed files, in order.
    void addExchangeEvent(const std::string& file, const std::string& file2);

    // Queues the creation of a server item that has no local counterpart yet (a placeholder).
    void addDownloadSync(const std::string& path, const ServerFileObject& file, bool checkExists);
    // Queues on `downloadQueue` the download of the content of `path` + "/" + the entry's name.
    void addDownload(const std::string& path, const ServerFileObject& file);
    // A placeholder moved out of the synchronised area: its content is downloaded to `localPathDestination`
    // and the server item deleted afterwards.
    void addOutOfBandDownload(const std::string& localPathSource, const std::string& localPathDestination);

    // Queues a listing pass on `syncQueue`: of every mappoint for "/", else of that folder, ahead of
    // queued automatic listings when the user asked for it (never interrupting the one running).
    void addSyncFolderEvent(const std::string& path, bool userRequest);

    // Queues a listing pass of `path` on `syncQueue` that leaves a folder listed less than
    // `freshSeconds` ago as it is, ahead of normal passes when `urgent`; `done`, when given, hears how it
    // ended and how long it took (on the listing thread). A pass cancelled before it ran is not heard of.
    void addListing(const std::string& path, double freshSeconds, bool urgent,
                    std::function<void(ListingOutcome, std::chrono::steady_clock::duration)> done = {});

    // The listing passes themselves, given to this timeline by whoever builds the client (the folder
    // synchronisation, and what follows a pass). Until given, a pass only logs what it was asked for.
    // Each pass is handed the context of the timeline that runs it, so the work it finds is queued there.
    // `scanForChanges` looks for what changed unreported in the volume holding a folder (every volume
    // when it is empty); it returns at once and runs in the background.
    struct ListingPasses {
        std::function<void(EventContext& context)> syncMappoints;
        std::function<void(EventContext& context, const std::string& path, bool userRequest)> performSync;
        std::function<void(const std::string& folder)> scanForChanges;
        // A pass with its freshness limit given (`addListing`); without it, `performSync` runs as an
        // automatic pass.
        std::function<ListingOutcome(EventContext& context, const std::string& path, double freshSeconds)>
            listFolder;
    };
    void setListingPasses(ListingPasses passes);
    // Asks for that scan (events that learn an item will never be sent, so the user sees it listed);
    // nothing happens until the passes are given.
    void requestChangeScan(const std::string& folder);

    void pauseTimeLine();
    // Starts the loop, or keeps one that a pause is still winding down running.
    void resumeTimeLine();
    // Pauses, waits for the running event, writes Timeline.txt. The timeline stays paused.
    void saveTimeLine();

    // True when the path must never be synchronised: outside every volume, a volume's own system
    // folders, or excluded by the administrator's rules.
    bool inIgnoreList(const std::string& path);
    // The same rules, on the volumes and exclusions given (for those who have no timeline at hand).
    static bool inIgnoreList(const std::string& path, VolumeManager& volumes, ExclusionManager& exclusions);
    // True when an item at the path stays on this computer only: ignored, or under a name the server
    // cannot hold. An item moved there leaves the server; moved out of it, it is sent.
    bool staysHereOnly(const std::string& path);

    platform::OperationQueue& syncQueue() { return syncQueue_; }
    platform::OperationQueue& downloadQueue() { return downloadQueue_; }

    bool suspended() const { return suspended_; }
    bool eventQueueRunning() const { return eventQueueRunning_; }
    bool eventRunning() const { return eventRunning_; }
    bool idle() const { return idle_ && heldCloseCount() == 0; }
    int64_t idleAutomationCount() const { return idleAutomationCount_; }
    size_t eventCount() const;
    std::vector<std::shared_ptr<TLEvent>> events() const;
    // The events still to do: those set aside (waitingEvents) first, then the list.
    std::vector<std::shared_ptr<TLEvent>> pendingEvents() const;

    // Events that kept failing to reach the server at the head of the list are set aside so the rest
    // can go on; each keeps its Timeline.txt record and is tried again later (first after
    // `parkedRetryDelay`, then at growing intervals up to half an hour). What waits and why, for the
    // user: (description, reason).
    struct WaitingEvent {
        std::string description;
        std::string reason;
        int attempts = 0;
    };
    std::vector<WaitingEvent> waitingEvents() const;
    // How many runs in a row an event may ask to run again before it is set aside (tests shorten the
    // delays, not this).
    static constexpr int kRunsAtHead = 6;
    void setParkedRetryDelay(std::chrono::milliseconds delay) { parkedRetryDelay_ = delay; }
    // Waits until the loop is idle with an empty list, or the time-out passes (tests, automation).
    bool waitUntilIdle(std::chrono::milliseconds timeout) const;

    // Reads the delete and move records of an open timeline file. Never fails: records that cannot be
    // read are logged and returned in `unreadable`.
    static ReplayResult readReplay(int fd);

    std::string timelinePath() const { return supportFolder_ + "Timeline.txt"; }
    // How many times Timeline.txt has been written since creation (bursts are written together).
    uint64_t timelineWrites() const { return journalWrites_; }
    // Waits until every delete and move queued so far is in Timeline.txt (false after the time-out).
    bool waitUntilDurable(std::chrono::milliseconds timeout);

    // How long an event whose work did not reach the server waits before it runs again (tests
    // shorten it).
    std::chrono::milliseconds runAgainDelay() const { return runAgainDelay_.load(); }
    void setRunAgainDelay(std::chrono::milliseconds delay) { runAgainDelay_ = delay; }

    // The items (device, file number) one event acts on, held from `claimItems` until it goes.
    class ItemClaim {
    public:
        ItemClaim(ItemClaim&& other) noexcept
            : owner_(std::exchange(other.owner_, nullptr)), items_(std::move(other.items_)) {}
        ItemClaim& operator=(ItemClaim&&) = delete;
        ~ItemClaim();

    private:
        friend class TimeLineManager;
        ItemClaim(TimeLineManager* owner, std::vector<std::pair<uint64_t, uint64_t>> items)
            : owner_(owner), items_(std::move(items)) {}
        TimeLineManager* owner_;
        std::vector<std::pair<uint64_t, uint64_t>> items_;
    };
    // Claims every item given (pairs with file number 0 are skipped), or none when another event holds
    // one of them now: an event side by side acts on that file, and the caller hands itself back.
    std::optional<ItemClaim> claimItems(std::vector<std::pair<uint64_t, uint64_t>> items);
    // Serialises the read-change-write of the record of the item at `path` between events and the
    // producers that mark items as they queue them: held across one load and its save, never across a
    // request to the server.
    std::unique_lock<std::mutex> lockRecord(const std::string& path);

    // How many uploads of distinct files, queued one after another, are sent together (1: one at a
    // time). Each waits mostly on the server and the mount rather than on the processor.
    size_t uploadsAtOnce() const { return uploadsAtOnce_.load(); }
    void setUploadsAtOnce(size_t n) { uploadsAtOnce_ = std::max<size_t>(n, 1); }

private:
    void loadTimeLine();
    void runEventQueue();
    void loop();
    void runUntilPaused();
    std::shared_ptr<TLEvent> head() const;
    // The events queued from the head on that may run side by side: uploads and deletes of files, one
    // lane per path (a lane's events keep their order), at most `uploadsAtOnce` lanes. They stop at the
    // first event of another kind, or on a path above or below another lane's, which waits for all.
    // Nothing to run beside the head: empty.
    using Lanes = std::vector<std::vector<std::shared_ptr<TLEvent>>>;
    Lanes lanesFrom(const std::shared_ptr<TLEvent>& head) const;
    // How the head's run ended.
    enum class HeadRun { finished, runAgain, handedBack };
    // Runs the head alone and drops it from the list when it finished, paused meanwhile or not.
    HeadRun performHead(const std::shared_ptr<TLEvent>& head);
    // Runs the lanes (the head's own on this thread, whose first event is the head); each event leaves
    // the list as soon as it finished. Returns how the head's run ended.
    HeadRun performLanes(const std::shared_ptr<TLEvent>& head, const Lanes& lanes);
    // Runs `lane` from its event `first` on until one asks to run again or the timeline is paused.
    void runLane(const std::vector<std::shared_ptr<TLEvent>>& lane, size_t first);
    // Waits until the event's record, if it has one, is on disk; false when paused meanwhile.
    bool waitForItsRecord(const TLEvent* event);
    // Drops a finished event from the list, the set-aside ones and the journal.
    void removeEvent(const std::shared_ptr<TLEvent>& event);
    // The Timeline.txt text of the pending deletes and moves, in list order.
    std::string journalContent() const;
    // Asks the writer for a new Timeline.txt; returns the generation that will hold the change.
    uint64_t journalChanged();
    void journalWriter();
    // Waits until generation `target` is written; false when the timeline was paused meanwhile.
    bool waitForJournal(uint64_t target);

    std::string supportFolder_;
    // Before the queues: an operation still running while they are torn down may use them.
    PartsSource partsSource_;
    std::once_flag contextOnce_;
    std::optional<Parts> parts_;
    std::unique_ptr<EventContext> context_;
    mutable std::mutex passesMutex_;
    ListingPasses passes_;
    std::shared_ptr<platform::DispatchQueue> eventSyncQueue_;
    platform::OperationQueue syncQueue_;
    platform::OperationQueue downloadQueue_;
    std::deque<std::shared_ptr<TLEvent>> eventQueue_;  // under eventSyncQueue_; index 0 runs next
    struct Parked {
        std::shared_ptr<TLEvent> event;
        std::chrono::steady_clock::time_point nextTry;
        int rounds = 0;    // times it was set aside
        int attempts = 0;  // runs that did not reach the server
    };
    std::deque<Parked> parked_;  // under eventSyncQueue_; oldest first
    std::atomic<std::chrono::milliseconds> parkedRetryDelay_{std::chrono::minutes(1)};
    // Sets the head aside (its record stays in Timeline.txt).
    void parkHead(int attempts);
    // Puts the first parked event that is due back at the head; true when it did.
    bool unparkDue();
    std::atomic<bool> eventQueueRunning_{false};
    std::atomic<bool> suspended_{true};
    std::atomic<std::chrono::milliseconds> runAgainDelay_{std::chrono::seconds(5)};
    std::atomic<size_t> uploadsAtOnce_{4};
    std::atomic<bool> eventRunning_{false};
    std::mutex claimsMutex_;
    std::set<std::pair<uint64_t, uint64_t>> claimed_;  // under claimsMutex_
    void releaseClaim(const std::vector<std::pair<uint64_t, uint64_t>>& items);
    // Record locks, by the hash of the path: a few stripes are enough, they are held for microseconds.
    std::array<std::mutex, 64> recordLocks_;
    std::atomic<bool> idle_{false};
    std::atomic<int64_t> idleAutomationCount_{0};

    // Wakes the loop when an event is appended or the timeline is paused; also the loop's exit signal.
    mutable std::mutex wakeMutex_;
    mutable std::condition_variable wake_;
    std::mutex controlMutex_;  // serialises pause, resume and save

    // Pending deletes and moves are kept in Timeline.txt while they wait, not only at shutdown, so a
    // crash loses none: an event with a record runs only once a write holding it is on disk, and is
    // dropped from the file after it ran. One writer thread coalesces changes, so a burst of thousands
    // of queued deletes costs a handful of writes, not thousands.
    // The records in replay order, so that a write walks only the events that have one, not the whole
    // queue: set-aside events first, in the order they were set aside, then queued ones in queue order.
    // Both maps under eventSyncQueue_.
    enum class JournalPlace { parked = 0, queued = 1 };
    using JournalKey = std::pair<JournalPlace, uint64_t>;
    std::map<JournalKey, std::string> journal_;
    std::unordered_map<const TLEvent*, JournalKey> journalKeys_;
    uint64_t journalOrder_ = 0;
    void setRecordLocked(const TLEvent* event, std::string record, JournalPlace place);
    bool eraseRecordLocked(const TLEvent* event);
    // The journal generation whose write holds each event's record; under eventSyncQueue_.
    std::unordered_map<const TLEvent*, uint64_t> recordedAt_;
    mutable std::mutex journalMutex_;
    std::mutex journalFileMutex_;  // one writer of Timeline.txt at a time; never taken inside journalMutex_
    std::condition_variable journalCv_;
    uint64_t journalWanted_ = 0;   // generation asked for, under journalMutex_
    uint64_t journalWritten_ = 0;  // generation on disk, under journalMutex_
    bool journalStop_ = false;     // under journalMutex_
    std::atomic<uint64_t> journalWrites_{0};
    std::thread journalThread_;  // last: started once everything it touches exists

    // Last, so that it is built once everything its releases use exists; stopped first when this goes.
    std::unique_ptr<HeldCloses> heldCloses_;
};

}  // namespace tw
