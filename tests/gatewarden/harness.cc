#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/unixsocket.h"
#include <gtest/gtest.h>

extern char** environ;

namespace gwtest {

using tw::platform::UniqueFd;
using namespace tw::pw;

namespace {
bool waitExit(pid_t pid, std::chrono::milliseconds timeout, int* status) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
}

pid_t spawnWith(const std::vector<std::string>& argv, int stdoutFd, int stderrFd) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&fa, stdoutFd, 1);
    if (stderrFd >= 0) posix_spawn_file_actions_adddup2(&fa, stderrFd, 2);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}
}  // namespace

RunResult run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    RunResult r;
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0) return r;
    UniqueFd readEnd(p[0]), writeEnd(p[1]);
    pid_t pid = spawnWith(argv, writeEnd.get(), -1);
    writeEnd.reset();
    r.pid = pid;
    if (pid < 0) return r;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        pollfd pf{readEnd.get(), POLLIN, 0};
        if (poll(&pf, 1, static_cast<int>(left.count())) <= 0) continue;
        ssize_t n = read(readEnd.get(), buf, sizeof buf);
        if (n <= 0) break;
        r.out.append(buf, static_cast<size_t>(n));
    }
    int status = 0;
    waitExit(pid, 5s, &status) || (kill(pid, SIGKILL), waitExit(pid, 5s, &status));
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

RunResult actor(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
    std::vector<std::string> argv{GW_ACTOR_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, timeout);
}

RunResult hdiutil(const std::vector<std::string>& args) {
    std::vector<std::string> argv{GW_HDIUTIL_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, 60s);
}

int runAsUser(uid_t uid, const std::string& runtimeDir, const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::string env = "XDG_RUNTIME_DIR=" + runtimeDir;
    char* envp[] = {const_cast<char*>(env.c_str()), nullptr};
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) _exit(126);
        execve(args[0], args.data(), envp);
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || !waitExit(pid, 60s, &status)) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

HeldActor::HeldActor(const std::vector<std::string>& args) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0) return;
    UniqueFd readEnd(p[0]), writeEnd(p[1]);
    std::vector<std::string> argv{GW_ACTOR_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = spawnWith(argv, writeEnd.get(), -1);
    writeEnd.reset();
    if (pid_ < 0) return;
    pollfd pf{readEnd.get(), POLLIN, 0};
    char buf[16] = {};
    if (poll(&pf, 1, 10000) == 1 && read(readEnd.get(), buf, sizeof buf - 1) > 0) holding_ = std::string(buf) == "open\n";
}

void HeldActor::kill() {
    if (pid_ < 0) return;
    ::kill(pid_, SIGKILL);
    int status;
    waitExit(pid_, 10s, &status);
    pid_ = -1;
}

std::string fuseUnavailableReason() {
    if (access("/dev/fuse", R_OK | W_OK) != 0) return std::string("/dev/fuse is not usable: ") + strerror(errno);
    return {};
}

bool isMountPoint(const std::string& path) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string a, b, c, d, point;
        f >> a >> b >> c >> d >> point;
        if (point == path) return true;
    }
    return false;
}

Daemon::Daemon(const fs::path& logPath, std::vector<std::string> extraArgs, uid_t uid) : logPath_(logPath) {
    socketPath = tw::platform::userClientSocketPath();
    controlPath = tw::platform::gatewardenControlSocketPath();
    for (size_t i = 0; i + 1 < extraArgs.size(); ++i) {
        if (extraArgs[i] == "--socket") socketPath = extraArgs[i + 1];
        if (extraArgs[i] == "--control-socket") controlPath = extraArgs[i + 1];
    }
    UniqueFd log(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    std::vector<std::string> argv{GW_DAEMON_BIN, "--foreground", "--verbose"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    if (uid == static_cast<uid_t>(-1)) {
        pid_ = spawnWith(argv, log.get(), log.get());
    } else {
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(log.get(), 1);
            dup2(log.get(), 2);
            if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) _exit(126);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    if (pid_ < 0) return;
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (tw::platform::connectUnix(socketPath) && tw::platform::connectUnix(controlPath)) {
            ready_ = true;
            break;
        }
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
}

int Daemon::terminate(std::chrono::milliseconds wait) {
    if (pid_ < 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    int rc = -1;
    if (waitExit(pid_, wait, &status)) {
        rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else {
        kill(pid_, SIGKILL);
        waitExit(pid_, 10s, &status);
    }
    pid_ = -1;
    return rc;
}

void Daemon::killHard() {
    if (pid_ < 0) return;
    kill(pid_, SIGKILL);
    int status;
    waitExit(pid_, 10s, &status);
    pid_ = -1;
}

Daemon::~Daemon() {
    terminate();
    // The daemon is built with the same sanitizers as the tests; whatever they found fails the test.
    std::string text = log();
    if (text.find("Sanitizer") != std::string::npos || text.find("runtime error:") != std::string::npos)
        ADD_FAILURE() << "gatewarden reported a sanitizer finding:\n" << text;
    for (const auto& m : mounts_)
        if (isMountPoint(m)) umount2(m.c_str(), MNT_DETACH);
}

std::string Daemon::log() const {
    std::ifstream in(logPath_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Daemon::attachInPlace(const fs::path& folder, std::string* skipReason) {
    remember(folder.string());
    auto r = tw::platform::controlRequest({"attach-in-place", folder.string()}, 30s, controlPath);
    if (r && r->ok) return true;
    if (r && r->fields.size() >= 2 && (r->fields[1] == std::to_string(EPERM) || r->fields[1] == std::to_string(ENODEV))) {
        if (skipReason) *skipReason = "mounting is not allowed here: " + r->fields[0];
    } else if (skipReason) {
        skipReason->clear();
    }
    return false;
}

bool Event::isQuestion() const {
    return action == kauth_FILEOP_ISGHOST || action == kauth_FILEOP_ISREADONLY ||
           (action == kauth_FILEOP_DELETE && path2.empty());
}

AnsweringClient::AnsweringClient(const std::string& socketPath) { client_ = tw::platform::UserClient::connect(socketPath); }

AnsweringClient::~AnsweringClient() { stop(); }

IOReturn AnsweringClient::open() { return client_->openConnection(); }

IOReturn AnsweringClient::addWatchPath(const std::string& path) {
    auto r = tw::platform::formSendStructure(sa_AddWatchPath, path, kReadWrite);
    return r ? client_->send(*r) : kIOReturnBadArgument;
}

IOReturn AnsweringClient::startWatching(pid_t ignorePid) {
    char hex[16];
    snprintf(hex, sizeof hex, "%2X", static_cast<unsigned>(ignorePid));
    return client_->send(*tw::platform::formSendStructure(sa_StartWatching, hex, ""));
}

IOReturn AnsweringClient::stopWatching() { return client_->send(*tw::platform::formSendStructure(sa_StopWatching, "", "")); }

void AnsweringClient::run(Policy policy, bool answer) {
    policy_ = std::move(policy);
    answer_ = answer;
    running_ = true;
    thread_ = std::thread([this] { loop(); });
}

void AnsweringClient::stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
}

void AnsweringClient::loop() {
    while (running_) {
        _pwevent rec;
        IOReturn code = client_->receive(rec);
        if (code != kIOReturnSuccess || rec.action == no_MESSAGE) {
            std::this_thread::sleep_for(200us);
            continue;
        }
        Event e{rec.action, tw::platform::fieldText(rec.path1), tw::platform::fieldText(rec.path2)};
        if (e.isQuestion() && answer_) {
            bool refuse = policy_ ? policy_(e) : false;
            auto ack = tw::platform::formSendStructure(sa_AcknowledgeDelete, e.path1, refuse ? kAnswerRefuse : kAnswerAllow);
            if (ack) client_->send(*ack);
        }
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
        changed_.notify_all();
    }
}

std::vector<Event> AnsweringClient::events() {
    std::lock_guard lock(mutex_);
    return events_;
}

void AnsweringClient::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

bool AnsweringClient::waitFor(const std::function<bool(const std::vector<Event>&)>& pred, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pred(events_); });
}

bool AnsweringClient::waitForEvent(std::uint8_t action, const std::string& path1, std::chrono::milliseconds timeout) {
    return waitFor(
        [&](const std::vector<Event>& ev) {
            for (auto& e : ev)
                if (e.action == action && e.path1 == path1) return true;
            return false;
        },
        timeout);
}

std::size_t AnsweringClient::count(std::uint8_t action, const std::string& path1) {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (auto& e : events_)
        if (e.action == action && e.path1 == path1) ++n;
    return n;
}

}  // namespace gwtest
