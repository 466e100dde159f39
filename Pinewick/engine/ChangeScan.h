// The change scan: finds by itself the local changes nobody reported. The watcher's reports are not the
// only witness: reports are lost when the program is killed between reading and queueing them, when the
// watcher's queue overflows, while the program is not running and when the watcher restarts. The scan
// compares every item of the synchronised folders with its record and queues the timeline work that a
// report would have queued:
//   - a file without a record, or Unknown, or Regular with content changed since it last agreed with the
//     server: an upload as a changed file; a file waiting in RequireUpload: an upload;
//   - a folder never sent (Unknown): its creation;
//   - an item (file, or folder the scan saw before) standing at another path than the one the metadata
//     databases last knew: a move from there;
//   - an item gone from the volume, with nothing in its place: a delete of the server's copy.
// Moves and deletes are only decided when the volume's UUID and item identities can be resolved (the
// watcher answers); otherwise only uploads and creations are queued. Names that are not UTF-8 and paths
// of 1024 bytes or more cannot be synchronised: they are listed (`notSynchronised`), logged once each and
// never sent. Nothing here deletes, truncates or writes a user's file: the timeline's events do the work.
//
// A folder asked for is scanned as part of the whole volume holding it: moves and deletes can only be
// told apart with every item of the volume in view.
//
// Cost: one pass over each folder, and per item one stat and (synchronised items) one read of its
// record, both relative to the folder's descriptor; the databases are read once per volume.
//
// Thread-safety: `request` may be called from any thread and returns at once; the scans it causes run
// one at a time on the scheduler given (a request made while one runs makes exactly one more afterwards).
// `scan` runs on the caller's thread (it reads with helper threads of its own) and waits for a scan in
// progress first. `stop`, `waitUntilIdle` and the readers may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace tw {

class TimeLineManager;

class ChangeScan {
public:
    // An item the scan found but cannot synchronise.
    struct NotSynchronised {
        std::string path;    // printable: bytes that are not UTF-8 are written as \xNN
        std::string reason;  // why it cannot be synchronised
    };

    // What one scan found, and the work it handed to the timeline (each event's own checks may still
    // drop some, as for reported changes).
    struct Summary {
        uint64_t volumes = 0;          // folders scanned (mappoint volumes and in-location folders)
        uint64_t itemsChecked = 0;     // items examined, ignored ones included
        uint64_t uploads = 0;          // uploads queued
        uint64_t folderCreations = 0;  // folder creations queued
        uint64_t moves = 0;            // moves queued
        uint64_t deletes = 0;          // deletes queued
        uint64_t notSynchronised = 0;  // items that cannot be synchronised
        // Volumes whose moves and deletes were not decided (no UUID, or identities could not be
        // resolved): only uploads and creations were queued there.
        uint64_t volumesWithoutIdentity = 0;
        std::chrono::duration<double> elapsed{0};

        uint64_t queued() const { return uploads + folderCreations + moves + deletes; }
    };

    struct Options {
        // Where the work goes (required); the volumes and the rules of what is never synchronised are
        // the timeline's.
        TimeLineManager* timeline = nullptr;
        // The metadata database (read only, by its own connection; one query per volume).
        std::string metadataDatabasePath;
        // This scan's own record of where each synchronised folder was, so a folder renamed while
        // nobody reported it is found again by its identity.
        std::string folderDatabasePath;
        // The folders to scan: mappoint volumes and in-location folders (default: the timeline's volumes').
        std::function<std::vector<std::string>()> roots;
        // Runs a scan in the background (default: on the timeline's listing queue, ahead of listings
        // not yet started, so a listing never compares a folder whose missed moves are not queued yet).
        std::function<void(std::function<void()>)> schedule;
        // Threads reading folders at once: items on a watched mount cost a round trip to the watcher
        // each, which a second reader overlaps.
        unsigned readers = 2;
    };

    explicit ChangeScan(Options options);
    // Waits for a scan in progress (asked to stop first).
    ~ChangeScan();
    ChangeScan(const ChangeScan&) = delete;
    ChangeScan& operator=(const ChangeScan&) = delete;

    // Asks for a scan of the volume holding `folder`, or of every volume when it is empty. Returns at
    // once; requests made before the scan starts are merged into it.
    void request(const std::string& folder = "");
    // Scans now, on this thread: the volume holding `folder`, or every volume.
    Summary scan(const std::string& folder = "");
    // Makes a scan in progress end early and later requests do nothing (shutdown).
    void stop();

    // Waits until no scan is asked for or running; false after the time-out.
    bool waitUntilIdle(std::chrono::milliseconds timeout);
    // Scans finished since creation.
    uint64_t scansCompleted() const { return scansCompleted_; }
    Summary lastSummary() const;

    // Items found by the latest scan of their volume that cannot be synchronised, sorted by path.
    std::vector<NotSynchronised> notSynchronised() const;

    // Why an item whose name the server cannot hold is not synchronised.
    static constexpr const char* kNameTooLongForServer = "its name is longer than the server allows";
    // Why the item at `path` cannot be synchronised (a name along it that is not UTF-8 or that the
    // server cannot hold, or a path too long to be reported), or "" when it can. The server's listing
    // says nothing about such an item: it is never removed or emptied for what the server lacks.
    static std::string whyNotSynchronisable(const std::string& path);
    // `path` with every byte that is not part of a UTF-8 character written as \xNN, to log or show.
    static std::string printablePath(const std::string& path);

    // The name of the database file holding the folders' identities, in the support folder.
    static constexpr const char* kFolderDatabaseName = "ChangeScanFolders.db";

private:
    struct RootScan;
    // What a scheduled block reaches this object through.
    struct Alive {
        std::mutex mutex;  // held while a scheduled scan runs
        ChangeScan* self = nullptr;
    };
    void scheduleLocked();
    void runRequested();
    Summary scanRoots(const std::vector<std::string>& roots);
    void scanRoot(const std::string& root, Summary& summary);

    Options options_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> scansCompleted_{0};

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    bool scheduled_ = false;        // a scan is queued or running, under mutex_
    bool wantAll_ = false;          // asked for every volume, under mutex_
    std::set<std::string> wanted_;  // folders asked for, under mutex_
    Summary last_;                  // under mutex_
    // Root -> its items that cannot be synchronised, under mutex_.
    std::vector<std::pair<std::string, std::vector<NotSynchronised>>> unsynchronisable_;
    std::set<std::string> warned_;  // paths already logged, under mutex_

    std::mutex scanMutex_;  // one scan at a time (`scan` from tests, or the scheduled one)
    std::shared_ptr<Alive> alive_;
};

}  // namespace tw
