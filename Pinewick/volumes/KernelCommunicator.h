// The application's side of the link to gatewarden, the file watcher: opens its user client, tells it
// which folders to watch and which process to leave alone (this one), polls its event queue, turns
// each reported file operation into timeline work and answers its blocking questions (may this file
// be read, written, deleted).
//
// When no watcher answers, the one installed beside this executable is started and given up to five
// seconds; if the connection drops later (the watcher died), it is started again, the watch paths are
// given again and the volumes remounted, and no queued work is lost meanwhile. Changes made while no
// watcher ran, and those the watcher says it could not report (kauth_FILEOP_REPORTS_DROPPED), are
// left to the engine to find by itself (EngineLink::scanForChanges).
//
// Thread-safety: one listen thread reads the queue and answers the questions; the reports it reads are
// handed, in order, to one serial queue, the only user of `deleteList`. `addWatchPath` and
// `closeConnection` may be called from any thread (calls on the connection are serialised).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/volumes/EngineLink.h"
#include "platform/dispatch.h"
#include "platform/pwevent.h"
#include "platform/userclient.h"

namespace tw {

class KernelCommunicator {
public:
    struct Options {
        std::string socketPath;      // the user-client socket
        std::string gatewardenPath;  // started when nobody answers; empty: never start one
        std::chrono::milliseconds startWait{5000};
        // Called after a lost connection was rebuilt and the watch paths given again: remount.
        std::function<void()> reconnected;
        // The executables (as /proc/PID/exe names them) whose opening of a folder counts as the user
        // browsing it, asked at each such open; empty: no program does.
        std::function<std::vector<std::string>()> validApps;
        // What the reports become: the engine's work. None: they are read, answered and dropped (tests
        // of the link alone).
        std::shared_ptr<const EngineLink> engine;
    };
    // The process-wide link, made on `options` by the first call, which connects it (starting gatewarden
    // when none answers); later calls return it and leave their options unused. A failure logs "Kernel
    // Driver connection failure with error:" and asks the application to end.
    static KernelCommunicator& connectShared(Options options);
    // The places of the user's own session (its user-client socket, the installed gatewarden), with the
    // programs that count as the user browsing.
    static Options userOptions(std::function<std::vector<std::string>()> validApps);
    // The shared link if it was made (or installed), else none: volumes ask it to watch their folders
    // only when the application runs one.
    static std::shared_ptr<KernelCommunicator> current();
    // Makes `link` the shared one (tests that run their own watcher); none removes it.
    static void install(std::shared_ptr<KernelCommunicator> link);

    // A link on explicit places (tests). Connects at once, like the shared link.
    explicit KernelCommunicator(Options options);
    ~KernelCommunicator();
    KernelCommunicator(const KernelCommunicator&) = delete;
    KernelCommunicator& operator=(const KernelCommunicator&) = delete;

    // Stops the watcher's reports, closes the user client and ends the listen loop (shutdown).
    void closeConnection();
    // Asks the watcher to watch a folder (kept, and given again after a reconnection). Returns the
    // user-client code; a failure is logged as "Failed to add path ...".
    pw::IOReturn addWatchPath(const std::string& path);

    bool connected() const { return connected_; }
    bool running() const { return running_; }
    // Number of records handled since start (tests and benchmarks).
    uint64_t handledCount() const { return handled_; }
    // Reads of the watcher's queue, empty ones included (the idle cost).
    uint64_t readCount() const { return reads_; }
    // Times a lost connection was rebuilt.
    uint64_t reconnectCount() const { return reconnects_; }
    // Sets how a later reconnection remounts volumes (the volume manager installs it).
    void setReconnected(std::function<void()> reconnected);

    static constexpr const char* kCorvaneDriverClassName = pw::kCorvaneDriverClassName;

private:
    // What one record from the watcher leads to: a question is answered at once, a report is queued.
    void handle(std::uint8_t action, const std::string& rawPath1, const std::string& rawPath2);
    // A report turned into engine work (on `reports_`).
    void report(std::uint8_t action, const std::string& path1, const std::string& path2);
    bool openConnection();
    bool connectOnce(pw::IOReturn* error);
    void startLogging();
    void stopLogging();
    void listen();
    bool reconnect();
    pw::IOReturn send(pw::SendActions action, const std::string& path1, const std::string& path2);
    void acknowledgeDelete(const std::string& path, bool readOnly);
    // Answers the watcher's question about `path` with `text` (platform/pwevent.h).
    void answer(const std::string& path, const char* text);

    Options options_;
    std::mutex clientMutex_;  // guards client_ and commands_ replacement; each serialises its own calls
    std::shared_ptr<platform::UserClient> client_;
    // A second connection for what the application sends, so that an answer never waits behind the
    // listening thread's read (which the watcher holds while it has nothing to report). Null when the
    // watcher does not take commands there; then they go on `client_`.
    std::shared_ptr<platform::UserClient> commands_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> closing_{false};
    std::atomic<uint64_t> handled_{0};
    std::atomic<uint64_t> reads_{0};
    std::atomic<uint64_t> reconnects_{0};
    std::thread listenThread_;

    std::mutex watchMutex_;
    std::vector<std::string> watchPaths_;  // under watchMutex_, in the order given

    std::mutex reconnectedMutex_;
    std::function<void()> reconnected_;  // under reconnectedMutex_

    // Runs the reports one at a time, in the order the listen thread read them.
    std::shared_ptr<platform::DispatchQueue> reports_;
    // Records of items whose delete the watcher announced and has not yet confirmed. `reports_` only.
    std::map<std::string, CorvaneExtendedAttributes> deleteList;
};

}  // namespace tw
