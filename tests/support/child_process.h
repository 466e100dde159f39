// The one way tests start programs: the reference server, gatewarden, its helper tools and actors,
// in the foreground of the test or held running while it acts. Beside platform/process.h (what the
// application itself uses), this adds what only tests need: another user, a chosen environment, the
// standard streams of the test's choosing, and a child that is killed when its owner is dropped.
//
// Thread-safety: a ChildProcess is used by one thread at a time; `runToCompletion` is safe from any
// thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tw::test {

struct ChildOptions {
    int stdoutFd = -1;  // -1: the test's own
    int stderrFd = -1;
    // Run as this user (its group the same number, no supplementary groups); needs root.
    std::optional<uid_t> user;
    // Replaces the environment ("NAME=value" each) when given.
    std::optional<std::vector<std::string>> environment;
};

// A started program; standard input is /dev/null. Dropping it kills (SIGKILL) and reaps what still
// runs, so no test leaves a process behind.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { kill(); }
    ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `argv` (argv[0] a path). False, with `*error` saying why, when it could not be started.
    bool start(const std::vector<std::string>& argv, const ChildOptions& options = {},
               std::string* error = nullptr);

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }
    // Waits at most `timeout` for the exit. Its exit code (-1 when a signal ended it); none while it runs.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // SIGTERM, then up to `grace` for the exit. The exit code, or -1 when it had to be killed.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(20));
    // SIGKILL and reap.
    void kill();

private:
    pid_t pid_ = -1;
};

struct RunOutput {
    int exitCode = -1;  // -1: could not run, killed after the time-out, or ended by a signal
    std::string out;    // standard output
    pid_t pid = -1;     // the process it ran as
};

// Runs `argv` to completion with standard output captured; killed after `timeout`.
RunOutput runToCompletion(const std::vector<std::string>& argv,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30),
                          ChildOptions options = {});

// Copies the executable `binary` into `folder` (made if missing) with mode 0755, so that a user who
// cannot reach the build tree can still run it. The copy's path, or none when it could not be made.
std::optional<std::string> copyExecutable(const std::string& binary, const std::string& folder);

// Why `user` cannot reach (search every folder on the way to) `path`; empty when it can.
std::string unreachableReason(const std::string& path, uid_t user);

}  // namespace tw::test
