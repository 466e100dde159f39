// A placeholder opened by a program: its content is downloaded while the open waits, so that any
// program (an editor, `cat`, `cp`, a backup tool) reads the real content, never an empty file.
// Indexers and thumbnailers are refused and trigger nothing; an administrator may refuse every read.
//
// The watcher asks about the open and waits; the first answer says whether the content is being
// fetched, and, if so, a second answer follows once the download ended (the content is here, the
// download failed), or once the open waited as long as it may (the download goes on). Two opens of
// the same placeholder wait for one download.
//
// An open that waits longer than `kLongWait` is told to the user once per download (by default as a
// desktop notification), since the program that opened the file seems to hang meanwhile.
//
// Thread-safety: callable from any thread; downloads run on a background queue, and one thread of its
// own watches the waits' limits while any wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tw {

class ServerConfigurationDetails;
class StatusBarManager;
struct ServerEnvironment;

class PlaceholderOpens {
public:
    // Sends an answer text (platform/pwevent.h) about the path asked about.
    using Answer = std::function<void(const char* text)>;
    // Brings a placeholder's content; true when it is here afterwards.
    using Fetch = std::function<bool(const std::string& path)>;

    struct Limits {
        // The longest an open waits for the content, and the longest it waits while no byte arrives.
        std::chrono::milliseconds total = std::chrono::seconds(300);
        std::chrono::milliseconds stalled = std::chrono::seconds(30);
    };

    // Tells the user that `program` (its executable's path; empty when unknown) waits for the download
    // of `path`. Called from the waits' own thread: it must not block.
    using TellWaiting = std::function<void(const std::string& path, const std::string& program)>;
    static constexpr std::chrono::milliseconds kLongWait{2000};

    // The download of an item's content in `server`, its progress shown through `statusBar`; both must
    // outlive the opens that use it.
    static Fetch download(StatusBarManager& statusBar, const ServerEnvironment& server);

    // The administrator's settings are read from `configuration` at each open. `fetch` brings an
    // item's content (`download` in the program). `tellWaiting` empty: a desktop notification.
    PlaceholderOpens(const ServerConfigurationDetails& configuration, Fetch fetch,
                     TellWaiting tellWaiting = {});
    ~PlaceholderOpens();
    PlaceholderOpens(const PlaceholderOpens&) = delete;
    PlaceholderOpens& operator=(const PlaceholderOpens&) = delete;

    // The first answer to an open of `path` by the program `program` (its executable's path; empty
    // when unknown). When it is "being fetched", `later` is called exactly once more, from another
    // thread. Refusal settings and limits are read from the administrator settings at each call.
    const char* open(const std::string& path, const std::string& program, Answer later);
    // As `open`, with the settings given (tests).
    const char* open(const std::string& path, const std::string& program, Answer later, bool refuseAll,
                     const std::vector<std::string>& refusedPrograms, Limits limits);

    // Whether a program, by its executable's name, is one that only looks (an indexer, a thumbnailer,
    // a virus scanner, a file-name database) or one an administrator listed.
    static bool onlyLooks(const std::string& program, const std::vector<std::string>& refusedPrograms);

    // Opens waiting now (tests).
    std::size_t waiting() const;

private:
    struct Waiter {
        Answer answer;
        std::chrono::steady_clock::time_point deadline;
        Limits limits;
    };
    struct Fetching {
        std::vector<Waiter> waiters;
        std::int64_t size = -1;  // the local size last seen, to tell a transfer that moves
        std::chrono::steady_clock::time_point lastProgress;
        std::chrono::steady_clock::time_point started;
        std::string program;  // the one whose open started the download
        bool told = false;    // the user heard of the wait
    };

    void finish(const std::string& path, bool here);
    void watchLimits(std::stop_token stop);

    const ServerConfigurationDetails& configuration_;
    Fetch fetch_;
    TellWaiting tellWaiting_;
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    std::map<std::string, Fetching> fetching_;
    std::jthread watcher_;  // last: stopped and joined first
};

}  // namespace tw
