#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/unixsocket.h"

namespace gwtest {

using tw::platform::UniqueFd;
using namespace tw::pw;

RunResult run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    return tw::test::runToCompletion(argv, timeout);
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
    tw::test::ChildOptions options;
    options.user = uid;
    options.environment = std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtimeDir};
    tw::test::ChildProcess child;
    if (!child.start(argv, options)) return -1;
    return child.wait(60s).value_or(-1);
}

HeldActor::HeldActor(const std::vector<std::string>& args) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0) return;
    UniqueFd readEnd(p[0]), writeEnd(p[1]);
    std::vector<std::string> argv{GW_ACTOR_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    tw::test::ChildOptions options;
    options.stdoutFd = writeEnd.get();
    bool started = child_.start(argv, options);
    writeEnd.reset();
    if (!started) return;
    pollfd pf{readEnd.get(), POLLIN, 0};
    char buf[16] = {};
    if (poll(&pf, 1, 10000) == 1 && read(readEnd.get(), buf, sizeof buf - 1) > 0)
        holding_ = std::string(buf) == "open\n";
}

int HeldActor::release(std::chrono::milliseconds timeout) {
    if (!child_.running() || ::kill(child_.pid(), SIGUSR1) != 0) return -1;
    return child_.wait(timeout).value_or(-1);
}

std::string fuseUnavailableReason() {
    if (access("/dev/fuse", R_OK | W_OK) != 0)
        return std::string("/dev/fuse is not usable: ") + strerror(errno);
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

Daemon::Daemon(const fs::path& logPath, std::vector<std::string> extraArgs, uid_t uid,
               const std::string& binary)
    : logPath_(logPath) {
    socketPath = tw::platform::userClientSocketPath();
    controlPath = tw::platform::gatewardenControlSocketPath();
    for (size_t i = 0; i + 1 < extraArgs.size(); ++i) {
        if (extraArgs[i] == "--socket") socketPath = extraArgs[i + 1];
        if (extraArgs[i] == "--control-socket") controlPath = extraArgs[i + 1];
    }
    UniqueFd log(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    std::vector<std::string> argv{binary.empty() ? std::string(GW_DAEMON_BIN) : binary, "--foreground",
                                  "--verbose"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    tw::test::ChildOptions options;
    options.stdoutFd = log.get();
    options.stderrFd = log.get();
    if (uid != static_cast<uid_t>(-1)) options.user = uid;
    std::string why;
    if (!child_.start(argv, options, &why)) {
        std::ofstream(logPath, std::ios::app) << "cannot start gatewarden: " << why << "\n";
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (tw::platform::connectUnix(socketPath) && tw::platform::connectUnix(controlPath)) {
            ready_ = true;
            break;
        }
        if (child_.wait(0ms)) return;  // it ended before it listened
        std::this_thread::sleep_for(10ms);
    }
}

int Daemon::terminate(std::chrono::milliseconds wait) {
    return child_.stop(wait);
}

void Daemon::signal(int sig) {
    if (child_.running()) ::kill(child_.pid(), sig);
}

std::optional<int> Daemon::waitExit(std::chrono::milliseconds timeout) {
    return child_.wait(timeout);
}

void Daemon::killHard() {
    child_.kill();
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
    if (r && r->fields.size() >= 2 &&
        (r->fields[1] == std::to_string(EPERM) || r->fields[1] == std::to_string(ENODEV))) {
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

AnsweringClient::AnsweringClient(const std::string& socketPath) {
    client_ = tw::platform::UserClient::connect(socketPath);
}

AnsweringClient::~AnsweringClient() {
    stop();
}

IOReturn AnsweringClient::open() {
    return client_->openConnection();
}

IOReturn AnsweringClient::addWatchPath(const std::string& path) {
    auto r = tw::platform::formSendStructure(sa_AddWatchPath, path, kReadWrite);
    return r ? client_->send(*r) : kIOReturnBadArgument;
}

IOReturn AnsweringClient::startWatching(pid_t ignorePid) {
    char hex[16];
    snprintf(hex, sizeof hex, "%2X", static_cast<unsigned>(ignorePid));
    return client_->send(*tw::platform::formSendStructure(sa_StartWatching, hex, ""));
}

IOReturn AnsweringClient::stopWatching() {
    return client_->send(*tw::platform::formSendStructure(sa_StopWatching, "", ""));
}

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
            auto ack = tw::platform::formSendStructure(sa_AcknowledgeDelete, e.path1,
                                                       refuse ? kAnswerRefuse : kAnswerAllow);
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

bool AnsweringClient::waitFor(const std::function<bool(const std::vector<Event>&)>& pred,
                              std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pred(events_); });
}

bool AnsweringClient::waitForEvent(std::uint8_t action, const std::string& path1,
                                   std::chrono::milliseconds timeout) {
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
