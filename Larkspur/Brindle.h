// The watcher's filter: the watch list, the event queue the application reads through the user client,
// and the questions that hold a file operation until the application answers.
//
// Questions: an operation that needs the application's consent queues a question and waits. Questions
// are answered in the order the application read them (it answers in that order): each read question
// joins the `awaiting_` line and an answer settles the oldest awaiting question about the same path, so
// one answer never decides another thread's question. A question that expired unread is never handed
// out, and one that expired after being read stays in the line so that its late answer is absorbed by it.
//
// Deciding without the application: when no answer can be had (watching inactive, the application
// gone, the answer time passed, the queue full, a path too long for the record), the filter decides
// from the item's own record (ItemRecord.h) as the application would: content that is not here is
// never read as empty bytes, a read-only item is never changed. Items the record says nothing against
// go on, so a dead application never blocks the user's work. Each such refusal is logged, at most once
// a minute per path.
//
// Dropped reports: a report that cannot be queued (queue full, a path longer than a record field) is
// lost, so the application is told once per such spell, with a kauth_FILEOP_REPORTS_DROPPED record
// queued as soon as there is room again, to look for the changes itself.
//
// Thread-safety: every public operation may be called from any thread. Lock order: `watchLock_` and
// `eventLock_` are never held together; `refusalLogMutex_` is taken alone.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Larkspur/ItemRecord.h"
#include "platform/pwevent.h"

namespace gw {

// The process behind a file operation, looked up lazily from the thread id the FUSE request carries.
class Caller {
public:
    static Caller fromThread(pid_t tid) { return Caller(tid, std::nullopt); }
    static Caller fromProcess(pid_t tgid) { return Caller(tgid, tgid); }
    // The process id (thread-group id); 0 when the thread is gone or invisible.
    pid_t tgid();
    // The process's name (the leader's comm); empty when unknown.
    const std::string& comm();

private:
    Caller(pid_t tid, std::optional<pid_t> tgid) : tid_(tid), tgid_(tgid) {}
    pid_t tid_;
    std::optional<pid_t> tgid_;
    std::optional<std::string> comm_;
};

// What a vnode-scope check is about.
// createItem is a write of a name that does not exist yet: the application must decide it from the
// folder, because the kernel holds the folder locked while the create waits for the answer.
enum class Access { listDirectory, readData, writeData, readWriteData, deleteItem, createItem };

std::string CV_intToHexString(std::uint32_t value);
std::uint32_t CV_hexStringToInt(std::string_view text);

// Makes a path safe to print in a log line (control and non-ASCII bytes escaped).
std::string printable(std::string_view text);

// Where the filter reads records when it must decide without the application. Read on demand: most
// operations never need them.
class ItemRecords {
public:
    virtual ~ItemRecords() = default;
    // The record of the item the operation is about; unclassified when it does not exist.
    virtual ItemRecord item() = 0;
    // The record of the folder that holds it (or would hold it, for a name being created).
    virtual ItemRecord folder() = 0;
    // What the application keeps of an item about to go (the path2 of a WILL_DELETE report): its
    // identity and its record's text. None when it cannot be read or does not fit a record field.
    virtual std::optional<std::string> announcement() { return std::nullopt; }
};

class Brindle {
public:
    // `maxQueued` bounds the events kept for an application that does not read them (about 130 MiB
    // by default); beyond it reports are dropped (and the application told so once room returns) and
    // questions are decided from the records, rather than let the daemon that hosts every mount run out
    // of memory.
    explicit Brindle(std::chrono::milliseconds answerTimeout = std::chrono::seconds(10),
                     std::size_t maxQueued = 65536);
    ~Brindle();
    Brindle(const Brindle&) = delete;
    Brindle& operator=(const Brindle&) = delete;

    // One command record from the application. Records of another client family, unknown actions and
    // texts without a terminator inside their field are ignored with a log line.
    void BrindleHandleCommand(const tw::pw::_pwevent& record);
    // Moves the oldest event into `out` (zero-filled first); action 0 when there is none after waiting
    // up to `wait` for one. Holding an empty read lets a polling reader receive an event the moment it
    // is queued instead of at its next poll. The wait also ends, with action 0 and nothing taken, once
    // `stopWaiting` holds; it is evaluated under the queue lock, so whoever makes it true calls
    // `wakeReaders` afterwards. It must not take locks of its own.
    void BrindleEventRead(tw::pw::_pwevent& out,
                          std::chrono::microseconds wait = std::chrono::microseconds(0),
                          const std::function<bool()>& stopWaiting = nullptr);
    // The same for up to `max` events into `out`: waits as above for the first, then takes whatever else
    // is queued without waiting. Returns how many it took (0: none).
    std::size_t BrindleEventReadMany(tw::pw::_pwevent* out, std::size_t max,
                                     std::chrono::microseconds wait = std::chrono::microseconds(0),
                                     const std::function<bool()>& stopWaiting = nullptr);
    // Makes every waiting read look at its `stopWaiting` again.
    void wakeReaders();
    // Driver stop: inactive, every waiting operation goes on, the queue is emptied.
    void BrindleStop();
    // The user client that held the driver closed or died: nobody can answer any more, so watching
    // stops and every waiting operation goes on. Watch paths stay.
    void clientClosed();

    // Adds a folder (stored with a trailing slash, kept once whatever its letter case). False for an
    // empty or relative path or one of 1024 bytes or more.
    bool AddWatchPath(std::string_view path);
    bool InterestingFile(std::string_view path) const;

    // Vnode scope: 0 lets the operation go on, otherwise the error to refuse it with (EPERM, EROFS).
    // May wait for the application's answer; decides from `records` when there is none to be had
    // (without records such an operation goes on).
    int BrindleActiveListener(Access access, Caller& caller, std::string_view path,
                              ItemRecords* records = nullptr);
    // Decides from the records alone, as when the application cannot answer; `why` is logged with a
    // refusal. For sessions the application no longer sees (an ejected volume still serving open files).
    int decideWithoutApplication(Access access, Caller& caller, std::string_view path, ItemRecords* records,
                                 const char* why);
    // File-operation scope: reports what happened (close after modification, rename, exchange, delete,
    // a folder made).
    void BrindlePassiveListener(tw::pw::ReceiveActions op, Caller& caller, std::string_view path1,
                                std::string_view path2);

    // Whether a new name for an existing file (a hard link) at `path` is refused: inside a watched
    // folder, for everyone but the application. Each item keeps one record on its inode, so a second
    // name would share the first one's state while the server keeps two items.
    bool refusesLink(Caller& caller, std::string_view path) const;

    // Whether a new name `name` at `path` (its path on the mount as the application sees it) is
    // refused because the application could never synchronise it: 0, EILSEQ for a name that is not
    // UTF-8, ENAMETOOLONG for a path that does not fit a record field. Inside watched folders, for
    // everyone but the application.
    int refusesNewName(Caller& caller, std::string_view path, std::string_view name);

    bool active() const { return active_.load(std::memory_order_acquire); }
    // Whether `caller` is the application, which sees items as they are on disk (a placeholder empty).
    bool seesLocalTruth(Caller& caller) const { return ignoredCaller(caller); }
    pid_t ignorePid() const { return ignorePid_.load(std::memory_order_acquire); }
    std::size_t queuedEvents() const;

private:
    struct Question;
    struct Pending;
    struct WatchPath {
        std::string path;                 // with trailing slash
        std::vector<std::string> ignore;  // watch path + suffix, newest first
    };
    // fetching: the content is on its way and a second answer follows; failed and timedOut end such
    // a wait.
    enum class Answer { allow, refuse, none, fetching, failed, timedOut };
    // Reports lost since the application was last told; guarded by eventLock_.
    struct DroppedReports {
        bool pending = false;
        std::string folder;  // the watched folder concerned, no trailing slash; empty for several
        std::size_t count = 0;
    };

    bool ignoredCaller(Caller& caller) const;
    static bool isIndexer(const std::string& comm);
    // The watched folder (no trailing slash) that makes `path` interesting; none when it is not.
    std::optional<std::string> watchFolderOf(std::string_view path) const;
    // `folder`: the watched folder of the report, named in the notice should it be dropped.
    bool QueueInformation(tw::pw::ReceiveActions action, std::string_view path1, std::string_view path2,
                          std::string_view folder);
    // Queues a question and waits for its answer. `none` (with `*why` set) when no answer can be had.
    Answer askApplication(tw::pw::ReceiveActions action, std::string_view path, std::string_view path2,
                          const char** why);
    int decideAlone(Access access, Caller& caller, std::string_view path, ItemRecords* records,
                    const char* why);
    void logRefusal(std::string_view path, const char* what, const char* why);
    void acknowledge(const std::string& path, Answer answer);
    void releaseAllQuestions(const char* why);
    void noteDroppedLocked(std::string_view folder);
    // Queues the notice of a spell of dropped reports when one is pending and there is room.
    void queueDroppedNoticeLocked();

    const std::chrono::milliseconds answerTimeout_;
    const std::size_t maxQueued_;
    std::atomic<bool> active_{false};
    std::atomic<pid_t> ignorePid_{0};

    mutable std::shared_mutex watchLock_;
    std::vector<WatchPath> watchList_;  // oldest first; searched newest first

    mutable std::mutex eventLock_;
    std::deque<Pending> eventList_;
    // Readers wait on it under eventLock_. Notified to all: a reader that is being given up must not
    // take the one wake-up meant for the reader that replaces it.
    std::condition_variable eventQueued_;
    std::deque<std::shared_ptr<Question>> awaiting_;  // read, not yet answered; oldest first
    DroppedReports dropped_;

    std::mutex refusalLogMutex_;
    // When each path's last refusal without the application was logged.
    std::unordered_map<std::string, std::chrono::steady_clock::time_point> refusalLogged_;
};

}  // namespace gw
