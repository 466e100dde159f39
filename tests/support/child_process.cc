#include "support/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

namespace tw::test {
namespace {

std::vector<char*> cArgs(const std::vector<std::string>& items) {
    std::vector<char*> out;
    for (const auto& a : items) out.push_back(const_cast<char*>(a.c_str()));
    out.push_back(nullptr);
    return out;
}

// Owns one descriptor (tests sit above the platform layer's UniqueFd only by choice of include).
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

}  // namespace

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        kill();
        pid_ = other.pid_;
        other.pid_ = -1;
    }
    return *this;
}

bool ChildProcess::start(const std::vector<std::string>& argv, const ChildOptions& options,
                         std::string* error) {
    kill();
    if (argv.empty()) {
        if (error) *error = "no program given";
        return false;
    }
    // Everything the child needs is made before the fork: after it, only async-signal-safe calls.
    auto args = cArgs(argv);
    std::vector<char*> envp;
    if (options.environment) envp = cArgs(*options.environment);
    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
        if (error) *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    Fd readEnd{errorPipe[0]}, writeEnd{errorPipe[1]};
    pid_t pid = ::fork();
    if (pid < 0) {
        if (error) *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (devNull >= 0) ::dup2(devNull, 0);
        if (options.stdoutFd >= 0) ::dup2(options.stdoutFd, 1);
        if (options.stderrFd >= 0) ::dup2(options.stderrFd, 2);
        int err = 0;
        if (options.user) {
            uid_t u = *options.user;
            if (::setgroups(0, nullptr) != 0 || ::setresgid(u, u, u) != 0 || ::setresuid(u, u, u) != 0)
                err = errno;
        }
        if (err == 0) {
            if (options.environment)
                ::execve(args[0], args.data(), envp.data());
            else
                ::execv(args[0], args.data());
            err = errno;
        }
        // The parent reads why; the pipe closes without a word on a successful exec.
        ssize_t ignored = ::write(writeEnd.fd, &err, sizeof err);
        (void)ignored;
        ::_exit(127);
    }
    writeEnd.reset();
    int childErr = 0;
    ssize_t got;
    do {
        got = ::read(readEnd.fd, &childErr, sizeof childErr);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof childErr)) {
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (error) *error = argv[0] + ": " + std::strerror(childErr);
        return false;
    }
    pid_ = pid;
    return true;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 && errno != EINTR) {
            pid_ = -1;
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    if (auto code = wait(grace)) return *code;
    kill();
    return -1;
}

void ChildProcess::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

RunOutput runToCompletion(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                          ChildOptions options) {
    RunOutput r;
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return r;
    Fd readEnd{p[0]}, writeEnd{p[1]};
    options.stdoutFd = writeEnd.fd;
    ChildProcess child;
    if (!child.start(argv, options)) return r;
    r.pid = child.pid();
    writeEnd.reset();
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            child.kill();
            return r;
        }
        pollfd pf{readEnd.fd, POLLIN, 0};
        int ready = ::poll(&pf, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        ssize_t n = ::read(readEnd.fd, buf, sizeof buf);
        if (n <= 0) break;  // every writer closed: the program ended (or closed its output)
        r.out.append(buf, static_cast<size_t>(n));
    }
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    auto code = child.wait(std::max(left, std::chrono::milliseconds(0)));
    r.exitCode = code.value_or(-1);  // still running at the deadline: killed when `child` is dropped
    return r;
}

std::optional<std::string> copyExecutable(const std::string& binary, const std::string& folder) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(folder, ec);
    fs::path target = fs::path(folder) / fs::path(binary).filename();
    fs::copy_file(binary, target, fs::copy_options::overwrite_existing, ec);
    if (ec) return std::nullopt;
    if (::chmod(target.c_str(), 0755) != 0) return std::nullopt;
    return target.string();
}

std::string unreachableReason(const std::string& path, uid_t user) {
    namespace fs = std::filesystem;
    fs::path p = fs::absolute(path);
    for (fs::path folder = p.parent_path();; folder = folder.parent_path()) {
        struct stat st {};
        if (::stat(folder.c_str(), &st) != 0) return folder.string() + ": " + std::strerror(errno);
        bool owner = st.st_uid == user, group = st.st_gid == user;
        mode_t bit = owner ? S_IXUSR : group ? S_IXGRP : S_IXOTH;
        if (!(st.st_mode & bit)) return "user " + std::to_string(user) + " cannot enter " + folder.string();
        if (folder == folder.root_path()) break;
    }
    return {};
}

}  // namespace tw::test
