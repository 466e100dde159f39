// Child processes: the tools the application runs to completion (tidewell-hdiutil, tidewell-mdutil,
// fusermount3, xdg-open) and the programs it starts and leaves running (gatewarden, tidewell).
//
// Thread-safety: every function may be called from any thread. Children get /dev/null as standard
// input, so a tool can never wait on a terminal, and inherit no descriptor but 0, 1 and 2.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tw::platform {

struct ProcessResult {
    bool started = false;   // false: the program could not be run (`error` says why)
    bool timedOut = false;  // killed (SIGKILL) after the time-out
    int exitCode = -1;      // the exit status; -1 when it did not exit normally
    int signal = 0;         // the signal that ended it, if one did
    std::string output;     // standard output, when asked for (at most 1 MiB kept)
    std::string error;      // why it could not be started, with the errno text

    bool succeeded() const { return started && !timedOut && exitCode == 0; }
};

// Runs `argv` (argv[0] a path, or a name looked up in PATH) and waits for it to exit, at most
// `timeout`; then it is killed. Standard output is captured when `captureOutput`, otherwise discarded;
// standard error goes where ours goes.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60),
                         bool captureOutput = false);

// Starts `argv` in its own session and does not wait for it; it is reaped by a short-lived
// intermediate process, so it never becomes our zombie and outlives us. Returns its process id, or
// none (with `*error` set) when it could not be started. Its standard output and error are appended
// to `logFile` (created 0600), or go to /dev/null without one: it never holds on to ours.
std::optional<pid_t> spawnDetached(const std::vector<std::string>& argv, std::string* error = nullptr,
                                   const std::string& logFile = "");

// Starts `argv` as our child with standard output and error appended to `logFile` (or inherited when
// empty), and returns its pid; the caller reaps it (`reap`). None when it could not be started.
std::optional<pid_t> spawnChild(const std::vector<std::string>& argv, const std::string& logFile = "",
                                std::string* error = nullptr);
// Collects a child that has exited without waiting; true when it has (its status is then gone).
bool reap(pid_t pid, bool wait = false);

// The folder of our own executable (from /proc/self/exe), without a trailing slash.
std::string executableFolder();
// Where a companion program lives: $TIDEWELL_TOOLS_DIR/name when that variable is set, else beside our
// own executable.
std::string toolPath(const std::string& name);

// Moves the calling thread to the idle CPU scheduling class (SCHED_IDLE) and the idle I/O class: it
// runs only on what other work leaves. One way: an unprivileged thread may not come back, so this is
// for threads that end with their work. False (the thread unchanged) when the system refuses.
bool runThisThreadAtIdlePriority();

}  // namespace tw::platform
