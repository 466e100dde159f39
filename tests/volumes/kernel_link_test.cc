// The kernel link against a stand-in watcher: a socket that speaks the user-client protocol, hands out
// the records a test queues and keeps what the link sends back. Records the real watcher only sends
// under load (it lost reports) can be given at will, and what the link does with them is seen where it
// lands: the engine's calls and the answers to the watcher's questions.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "Pinewick/volumes/EngineLink.h"
#include "Pinewick/volumes/KernelCommunicator.h"
#include "platform/fd.h"
#include "platform/unixsocket.h"
#include "platform/userclient.h"
#include "support/temp_dir.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;

// Serves one user client: open and close succeed, sent records are kept, a read hands out the next
// queued record or, after a short wait, an empty one (as the watcher answers an idle read).
class FakeWatcher {
public:
    explicit FakeWatcher(std::string path) : path_(std::move(path)) {
        listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
        bool ok = listener_ &&
                  ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  ::listen(listener_.get(), 4) == 0;
        if (ok) thread_ = std::thread([this] { serve(); });
    }
    ~FakeWatcher() {
        stop_ = true;
        ::shutdown(listener_.get(), SHUT_RDWR);
        {
            std::lock_guard lock(mutex_);
            if (client_ >= 0) ::shutdown(client_, SHUT_RDWR);
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
        ::unlink(path_.c_str());
    }

    void queue(std::uint8_t action, const std::string& path1, const std::string& path2 = "") {
        pw::_pwevent r{};
        r.userClient = pw::pwuc_Brindle;
        r.action = action;
        std::memcpy(r.path1, path1.data(), std::min(path1.size(), sizeof r.path1 - 1));
        std::memcpy(r.path2, path2.data(), std::min(path2.size(), sizeof r.path2 - 1));
        std::lock_guard lock(mutex_);
        pending_.push_back(r);
        changed_.notify_all();
    }
    // Waits until the link sent a record with this action and path1; its path2.
    std::optional<std::string> waitForSent(std::uint8_t action, const std::string& path1,
                                           std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        std::optional<std::string> found;
        changed_.wait_for(lock, timeout, [&] {
            for (const auto& r : sent_)
                if (r.action == action && platform::fieldText(r.path1) == path1)
                    found = platform::fieldText(r.path2);
            return found.has_value() || stop_;
        });
        return found;
    }

private:
    void serve() {
        platform::UniqueFd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!conn) return;
        {
            std::lock_guard lock(mutex_);
            client_ = conn.get();
        }
        while (!stop_) {
            auto deadline = std::chrono::steady_clock::now() + 60s;
            unsigned char head[8];
            if (platform::recvAll(conn.get(), head, sizeof head, deadline) != platform::IoResult::ok) break;
            std::uint32_t selector = platform::getU32(head), length = platform::getU32(head + 4);
            std::string input(length, '\0');
            if (length &&
                platform::recvAll(conn.get(), input.data(), length, deadline) != platform::IoResult::ok)
                break;
            std::string output;
            if (selector == pw::kSendDataToKernel && length == sizeof(pw::_pwevent)) {
                pw::_pwevent r{};
                std::memcpy(&r, input.data(), sizeof r);
                std::lock_guard lock(mutex_);
                sent_.push_back(r);
                changed_.notify_all();
            } else if (selector == pw::kRecieveDataFromKernel) {
                pw::_pwevent r{};
                std::unique_lock lock(mutex_);
                changed_.wait_for(lock, 50ms, [&] { return !pending_.empty() || stop_; });
                if (!pending_.empty()) {
                    r = pending_.front();
                    pending_.pop_front();
                }
                output.assign(reinterpret_cast<const char*>(&r), sizeof r);
            }
            std::string reply;
            platform::putU32(reply, 0);
            platform::putU32(reply, static_cast<std::uint32_t>(output.size()));
            reply += output;
            if (platform::sendAll(conn.get(), reply.data(), reply.size(), deadline) != platform::IoResult::ok)
                break;
        }
        std::lock_guard lock(mutex_);
        client_ = -1;
    }

    std::string path_;
    platform::UniqueFd listener_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    int client_ = -1;                   // under mutex_
    std::deque<pw::_pwevent> pending_;  // under mutex_
    std::vector<pw::_pwevent> sent_;    // under mutex_
};

class KernelLinkReports : public ::testing::Test {
protected:
    void SetUp() override {
        EngineLink l;
        l.scanForChanges = [this](const std::string& folder) {
            std::unique_lock lock(mutex);
            asked.push_back(folder);
            changed.notify_all();
            // As long as the test holds it: a slow engine must not hold up the watcher's questions.
            changed.wait_for(lock, 30s, [this] { return !holdScans; });
        };
        setEngineLink(std::move(l));
        KernelCommunicator::Options o;
        o.socketPath = (dir / "driver.sock").string();
        o.reconnected = [this] {
            std::lock_guard lock(mutex);
            asked.push_back("(remounted)");
            changed.notify_all();
        };
        watcher = std::make_unique<FakeWatcher>(o.socketPath);
        link = std::make_unique<KernelCommunicator>(o);
        ASSERT_TRUE(link->connected());
    }
    void TearDown() override {
        release();
        if (link) link->closeConnection();
        link.reset();
        watcher.reset();
        setEngineLink({});
    }

    bool waitForScans(size_t n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return asked.size() >= n; });
    }
    void release() {
        std::lock_guard lock(mutex);
        holdScans = false;
        changed.notify_all();
    }

    TempDir dir{"tw-kernel-link"};
    std::unique_ptr<FakeWatcher> watcher;
    std::unique_ptr<KernelCommunicator> link;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> asked;  // folders the engine was asked to scan, and remounts; under mutex
    bool holdScans = false;          // under mutex
};

// The watcher says it lost reports of one folder, then of every folder: each time the engine is asked
// to look for the changes itself, in what the watcher named.
TEST_F(KernelLinkReports, LostReportsMakeTheEngineLookForChanges) {
    watcher->queue(pw::kauth_FILEOP_REPORTS_DROPPED, "/Volumes/Team");
    watcher->queue(pw::kauth_FILEOP_REPORTS_DROPPED, "");
    ASSERT_TRUE(waitForScans(2));
    std::lock_guard lock(mutex);
    EXPECT_EQ(asked, (std::vector<std::string>{"/Volumes/Team", ""}));
}

// While the engine is still busy with the lost reports, a process waiting on the watcher's question is
// answered at once: the listen loop never waits for the scan.
TEST_F(KernelLinkReports, QuestionsAreAnsweredWhileTheEngineLooksForChanges) {
    {
        std::lock_guard lock(mutex);
        holdScans = true;
    }
    watcher->queue(pw::kauth_FILEOP_REPORTS_DROPPED, "");
    ASSERT_TRUE(waitForScans(1));
    std::string asking = (dir / "nothing-here.txt").string();
    watcher->queue(pw::kauth_FILEOP_ISGHOST, asking, "1234");
    auto answer = watcher->waitForSent(pw::sa_AcknowledgeDelete, asking, 5s);
    ASSERT_TRUE(answer) << "the question waited for the engine";
    EXPECT_EQ(*answer, pw::kAnswerAllow);
}

// A watcher that died and was started again reported nothing meanwhile, and its queue died with it:
// once the link is back and the volumes are mounted again, the engine looks for changes everywhere.
TEST_F(KernelLinkReports, AfterTheWatcherCameBackTheEngineLooksForChangesEverywhere) {
    std::string socket = (dir / "driver.sock").string();
    watcher.reset();
    watcher = std::make_unique<FakeWatcher>(socket);
    ASSERT_TRUE(waitForScans(2));
    std::lock_guard lock(mutex);
    EXPECT_EQ(asked, (std::vector<std::string>{"(remounted)", ""}));
    EXPECT_EQ(link->reconnectCount(), 1u);
}

}  // namespace
}  // namespace tw::test
