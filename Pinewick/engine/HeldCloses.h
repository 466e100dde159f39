// Reports of files closed after writing, held while files keep being written and merged: a program
// that writes a tree (git, tar, a build) would otherwise pay, while it runs, for the record of every file
// it closes and for the upload beside it (on two cores, the client then takes most of one), and a file
// saved ten times in a burst would be handled ten times. Once no file was reported for `quiet`, all held
// files go; a file held for `ceiling` goes anyway, so files that never stop changing are still
// synchronised. The quiet is the synchronised folders' as a whole, not each folder's: programs that write
// trees touch many folders in turn, and each folder's own quiet came while the program still ran.
//
// Nothing here needs to survive a crash: a held file is still only a file changed here and its record,
// which the change scan at the next start compares (a file without a record, or with other content
// than its record says, is sent), and every pass that could act on a held file's server copy first looks
// whether the file changed since its record.
//
// While files are held and changes keep coming (`busy`), the timeline starts no event either: the
// deletes and moves of a program's run go with what it wrote, once it stopped or at the ceiling.
//
// Order: an event about to act on a path (a delete, a move) first has what is held at or under that
// path released, so it comes after the uploads its path's reports asked for, as without the hold. Files
// held elsewhere keep their place; uploads of distinct files have no order between them.
//
// Thread-safety: every member may be called from any thread. `release` is called with no lock of this
// class held but one that keeps releases one at a time, so a release made for an event is complete
// before that event is queued.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tw {

class HeldCloses {
public:
    using Clock = std::chrono::steady_clock;
    // Queues the upload of a path that was held; `settled` is told after each batch of releases.
    HeldCloses(std::function<void(const std::string& path)> release, std::function<void()> settled);
    // Stops the thread; what is still held is dropped (the change scan finds it at the next start).
    ~HeldCloses();
    HeldCloses(const HeldCloses&) = delete;
    HeldCloses& operator=(const HeldCloses&) = delete;

    void hold(const std::string& path);
    // Releases, in the order they were first reported, the paths held at or under any of `paths`.
    void releaseAt(const std::vector<std::string>& paths);
    // Releases everything, and from now on releases each report at once (the program is ending).
    void releaseAllAndStopHolding();
    // Held, or being released and not yet queued.
    size_t count() const;
    // Another change was reported (a delete, a move): files are still being changed.
    void noteActivity();
    // Files are held and changes still come, and the oldest has not waited its ceiling: the work queued
    // meanwhile had better wait too, rather than take the processor from the programs making them.
    bool busy() const;

    void setTimes(std::chrono::milliseconds quiet, std::chrono::milliseconds ceiling);

private:
    struct Entry {
        std::string path;
        Clock::time_point first;
    };
    using Order = std::list<Entry>;
    void run();
    // Takes out the entries given (in report order) or, without any, those `pick` chooses; under mutex_.
    template <typename Pick>
    std::vector<std::string> takeLocked(Pick pick);
    std::vector<std::string> takeLocked(std::vector<Order::iterator> entries);
    void releasePaths(std::vector<std::string> paths);

    std::function<void(const std::string&)> release_;
    std::function<void()> settled_;
    std::mutex releaseMutex_;  // one release at a time: an event queued after one follows all it released
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    Order order_;  // first reported first
    // By path, sorted, so that what lies under a folder is one range; with each entry's place in order_.
    std::map<std::string, std::pair<uint64_t, Order::iterator>> byPath_;
    uint64_t reported_ = 0;
    Clock::time_point lastReport_;
    size_t releasing_ = 0;
    bool holding_ = true;
    bool stop_ = false;
    std::chrono::milliseconds quiet_{1000};
    std::chrono::milliseconds ceiling_{10000};
    std::thread thread_;
};

}  // namespace tw
