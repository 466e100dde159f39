// The watcher's filter: the watch list, the event queue the application reads through the user client,
// and the questions that hold a file operation until the application answers.
//
// Questions: an operation that needs the application's consent queues a question and waits. Questions
// are answered in the order the application read them (it answers in that order): each read question
// joins the `awaiting_` line and an answer settles the oldest awaiting question about the same path, so
// one answer never decides another thread's question. A question not answered within the answer time
// lets the operation go on and is logged; a question that expired unread is never handed out, and one
// that expired after being read stays in the line so that its late answer is absorbed by it.
//
// Thread-safety: every public operation may be called from any thread. Lock order: `watchLock_` and
// `eventLock_` are never held together.
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
#include <vector>

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

class Brindle {
public:
    // `maxQueued` bounds the events kept for an application that does not read them (about 130 MiB
    // by default); beyond it reports are dropped and questions let their operation go on, each logged,
    // rather than let the daemon that hosts every mount run out of memory.
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
    // May wait for the application's answer.
    int BrindleActiveListener(Access access, Caller& caller, std::string_view path);
    // File-operation scope: reports what happened (close after modification, rename, exchange, delete,
    // a folder made).
    void BrindlePassiveListener(tw::pw::ReceiveActions op, Caller& caller, std::string_view path1,
                                std::string_view path2);

    // Whether a new name for an existing file (a hard link) at `path` is refused: inside a watched
    // folder, for everyone but the application. Each item keeps one record on its inode, so a second
    // name would share the first one's state while the server keeps two items.
    bool refusesLink(Caller& caller, std::string_view path) const;

    bool active() const { return active_.load(std::memory_order_acquire); }
    pid_t ignorePid() const { return ignorePid_.load(std::memory_order_acquire); }
    std::size_t queuedEvents() const;

private:
    struct Question;
    struct Pending;
    struct WatchPath {
        std::string path;                 // with trailing slash
        std::vector<std::string> ignore;  // watch path + suffix, newest first
    };

    bool ignoredCaller(Caller& caller) const;
    static bool isIndexer(const std::string& comm);
    bool QueueInformation(tw::pw::ReceiveActions action, std::string_view path1, std::string_view path2);
    // Queues a question and waits for its answer; true means refuse.
    bool askApplication(tw::pw::ReceiveActions action, std::string_view path, std::string_view path2);
    void acknowledge(const std::string& path, bool refuse);
    void releaseAllQuestions(const char* why);

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
};

}  // namespace gw
