// Test harness for gatewarden: runs the real daemon in a temporary folder, helper processes, and an
// application-side client that reads the event queue and answers questions.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/userclient.h"
#include "platform/volpath.h"
#include "support/child_process.h"

namespace gwtest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using RunResult = tw::test::RunOutput;
// Runs a program to completion (killed after `timeout`), capturing standard output.
RunResult run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = 30s);
// Runs gw_actor with the arguments; exit code is the errno of the operation.
RunResult actor(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 30s);
RunResult hdiutil(const std::vector<std::string>& args);
// Runs a program as another user with XDG_RUNTIME_DIR set to `runtimeDir`; only the exit code.
int runAsUser(uid_t uid, const std::string& runtimeDir, const std::vector<std::string>& argv);

// gw_actor holding something ("hold-open PATH", "hold-write PATH DATA", "hold-driver SOCKET") until
// dropped (SIGKILL).
class HeldActor {
public:
    explicit HeldActor(const std::vector<std::string>& args);
    bool holding() const { return holding_; }
    void kill() { child_.kill(); }
    // Lets a "hold-write" actor save and close; its exit code (the errno of the save), -1 when it did
    // not end within `timeout`.
    int release(std::chrono::milliseconds timeout = 30s);

private:
    tw::test::ChildProcess child_;
    bool holding_ = false;
};

// Why FUSE tests cannot run here; empty when they can.
std::string fuseUnavailableReason();

// The daemon as a child process, with its log in `logPath`. Dropping it sends SIGTERM, waits, kills
// if need be, and detaches anything still mounted at the mount points the test asked for.
class Daemon {
public:
    // `uid` other than -1 runs the daemon as that user (group the same number), for tests as root.
    // `binary` replaces the daemon of the build tree (a copy that user can reach).
    explicit Daemon(const fs::path& logPath, std::vector<std::string> extraArgs = {},
                    uid_t uid = static_cast<uid_t>(-1), const std::string& binary = "");
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    bool ready() const { return ready_; }
    pid_t pid() const { return child_.pid(); }
    // SIGTERM and wait for the exit; returns the exit status (-1 if it had to be killed).
    int terminate(std::chrono::milliseconds wait = 20s);
    // Sends `sig` and returns at once.
    void signal(int sig);
    // Waits at most `timeout` for the daemon to end; its exit code, none while it runs.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    void killHard();
    std::string log() const;

    // Asks for an in-place mount. `skipReason` is set when the machine does not allow mounting.
    bool attachInPlace(const fs::path& folder, std::string* skipReason);
    void remember(const std::string& mountPoint) { mounts_.push_back(mountPoint); }

    std::string socketPath;
    std::string controlPath;

private:
    tw::test::ChildProcess child_;
    bool ready_ = false;
    fs::path logPath_;
    std::vector<std::string> mounts_;
};

bool isMountPoint(const std::string& path);

struct Event {
    std::uint8_t action = 0;
    std::string path1, path2;
    bool isQuestion() const;
};

// The application side: opens the driver, starts watching, reads events and answers questions.
class AnsweringClient {
public:
    using Policy = std::function<bool(const Event&)>;  // true: refuse

    explicit AnsweringClient(const std::string& socketPath);
    ~AnsweringClient();

    bool connected() const { return client_ != nullptr; }
    tw::platform::UserClient& raw() { return *client_; }
    tw::pw::IOReturn open();
    tw::pw::IOReturn addWatchPath(const std::string& path);
    tw::pw::IOReturn startWatching(pid_t ignorePid);
    tw::pw::IOReturn stopWatching();

    // Starts the reading thread. With `answer` false, questions are read but never answered.
    void run(Policy policy = nullptr, bool answer = true);
    void stop();

    std::vector<Event> events();
    void clear();
    // Waits until `pred` holds for the events read so far.
    bool waitFor(const std::function<bool(const std::vector<Event>&)>& pred,
                 std::chrono::milliseconds timeout = 10s);
    bool waitForEvent(std::uint8_t action, const std::string& path1, std::chrono::milliseconds timeout = 10s);
    std::size_t count(std::uint8_t action, const std::string& path1);

private:
    void loop();
    std::unique_ptr<tw::platform::UserClient> client_;
    Policy policy_;
    bool answer_ = true;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

}  // namespace gwtest
