#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/fd.h"
#include "platform/files.h"

extern char** environ;

namespace tw::platform {
namespace {

constexpr size_t kOutputCap = 1 << 20;

std::vector<char*> cArgs(const std::vector<std::string>& argv) {
    std::vector<char*> out;
    out.reserve(argv.size() + 1);
    for (const auto& a : argv) out.push_back(const_cast<char*>(a.c_str()));
    out.push_back(nullptr);
    return out;
}

// Owns posix_spawn's attribute and file-action objects for one spawn.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
        // A child must not inherit our blocked signals (the daemons wait for signals with sigwait) nor
        // signals we ignore (SIGPIPE): a tool behaves as if started from a shell.
        sigset_t none, reset;
        sigemptyset(&none);
        sigemptyset(&reset);
        for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2})
            sigaddset(&reset, sig);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &reset);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // Starts `argv` (argv[0] looked up in PATH when it names no folder); 0 or an error number.
    int spawn(const std::vector<std::string>& argv, pid_t& pid) const {
        auto args = cArgs(argv);
        return argv[0].find('/') == std::string::npos
                   ? posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ)
                   : posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
    }
};

std::string errnoText(const std::string& what, int err) {
    return what + ": " + strerror(err);
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         bool captureOutput) {
    ProcessResult result;
    if (argv.empty()) {
        result.error = "no program given";
        return result;
    }
    int pipeFds[2] = {-1, -1};
    if (captureOutput && pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.error = errnoText("pipe", errno);
        return result;
    }
    UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    if (captureOutput)
        posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), 1);
    else
        posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = setup.spawn(argv, pid);
    writeEnd.reset();
    if (rc != 0) {
        result.error = errnoText(argv[0], rc);
        return result;
    }
    result.started = true;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto drain = [&](int waitMs) {
        if (!readEnd.valid()) return;
        pollfd p{readEnd.get(), POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) return;
        char buf[8192];
        ssize_t got = read(readEnd.get(), buf, sizeof buf);
        if (got > 0 && result.output.size() < kOutputCap)
            result.output.append(
                buf, std::min<size_t>(static_cast<size_t>(got), kOutputCap - result.output.size()));
        if (got == 0) readEnd.reset();
    };
    int status = 0;
    bool exited = false;
    for (;;) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            exited = true;
            break;
        }
        if (w < 0 && errno != EINTR) break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            result.timedOut = true;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        if (readEnd.valid())
            drain(static_cast<int>(std::min<long long>(left.count(), 50)));
        else
            usleep(static_cast<useconds_t>(std::min<long long>(left.count(), 5) * 1000));
    }
    // What the program wrote just before exiting; a descendant holding the pipe cannot keep us here.
    for (int i = 0; i < 256 && readEnd.valid(); ++i) drain(0);
    if (exited || result.timedOut) {
        if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    }
    return result;
}

std::optional<pid_t> spawnChild(const std::vector<std::string>& argv, const std::string& logFile,
                                std::string* error) {
    if (argv.empty()) {
        if (error) *error = "no program given";
        return std::nullopt;
    }
    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    if (!logFile.empty()) {
        posix_spawn_file_actions_addopen(&setup.actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0600);
        posix_spawn_file_actions_adddup2(&setup.actions, 1, 2);
    }
    pid_t pid = -1;
    int rc = setup.spawn(argv, pid);
    if (rc != 0) {
        if (error) *error = errnoText(argv[0], rc);
        return std::nullopt;
    }
    return pid;
}

bool reap(pid_t pid, bool wait) {
    int status = 0;
    for (;;) {
        pid_t w = waitpid(pid, &status, wait ? 0 : WNOHANG);
        if (w == pid) return true;
        if (w < 0 && errno == EINTR) continue;
        return w < 0 && errno == ECHILD;  // already collected by someone else counts as gone
    }
}

std::optional<pid_t> spawnDetached(const std::vector<std::string>& argv, std::string* error,
                                   const std::string& logFile) {
    if (argv.empty()) {
        if (error) *error = "no program given";
        return std::nullopt;
    }
    // The intermediate child starts the program in a new session and exits at once; the pipe hands
    // the grandchild's pid (or the spawn error) back.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        if (error) *error = errnoText("pipe", errno);
        return std::nullopt;
    }
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    auto args = cArgs(argv);
    // Everything that allocates is prepared before the fork: the child of a threaded process may only
    // make the spawn call itself.
    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    // A program that outlives us must not hold our standard streams (a pipe a caller reads to its end).
    posix_spawn_file_actions_addopen(&setup.actions, 1, logFile.empty() ? "/dev/null" : logFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&setup.actions, 1, 2);
    posix_spawnattr_setflags(&setup.attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const bool searchPath = argv[0].find('/') == std::string::npos;
    pid_t middle = fork();
    if (middle < 0) {
        if (error) *error = errnoText("fork", errno);
        return std::nullopt;
    }
    if (middle == 0) {
        pid_t pid = -1;
        int rc = searchPath ? posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ)
                            : posix_spawn(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ);
        long long msg[2] = {rc, pid};
        ssize_t ignored = write(writeEnd.get(), msg, sizeof msg);
        (void)ignored;
        _exit(0);
    }
    writeEnd.reset();
    long long msg[2] = {ECHILD, -1};
    ssize_t got;
    do {
        got = read(readEnd.get(), msg, sizeof msg);
    } while (got < 0 && errno == EINTR);
    reap(middle, true);
    if (got != static_cast<ssize_t>(sizeof msg) || msg[0] != 0) {
        if (error)
            *error = errnoText(argv[0],
                               got == static_cast<ssize_t>(sizeof msg) ? static_cast<int>(msg[0]) : ECHILD);
        return std::nullopt;
    }
    return static_cast<pid_t>(msg[1]);
}

std::string executableFolder() {
    std::string path = mainExecutablePath();
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string toolPath(const std::string& name) {
    if (const char* dir = getenv("TIDEWELL_TOOLS_DIR"); dir && *dir) return std::string(dir) + "/" + name;
    return executableFolder() + "/" + name;
}

bool runThisThreadAtIdlePriority() {
    sched_param param{};
    param.sched_priority = 0;
    bool cpu = pthread_setschedparam(pthread_self(), SCHED_IDLE, &param) == 0;
    // The idle I/O class (IOPRIO_CLASS_IDLE, 3, in the class bits from 13) for this thread alone
    // (IOPRIO_WHO_PROCESS, 1, with its thread id); glibc has no wrapper.
    constexpr int kWhoProcess = 1;
    constexpr int kClassIdle = 3;
    constexpr int kClassShift = 13;
    bool io =
        syscall(SYS_ioprio_set, kWhoProcess, static_cast<int>(gettid()), kClassIdle << kClassShift) == 0;
    return cpu && io;
}

}  // namespace tw::platform
