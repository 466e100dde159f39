// The kernel link against a stand-in watcher: a socket that speaks the user-client protocol, hands out
// the records a test queues and keeps what the link sends back. Records the real watcher only sends
// under load (it lost reports) or for odd names can be given at will, and what the link does with them
// is seen where it lands: the engine's calls and the answers to the watcher's questions. The stand-in
// can also turn the link away, as a watcher held by another instance, or dying, would.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <ostream>
#include <thread>

#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/volumes/EngineLink.h"
#include "Pinewick/volumes/KernelCommunicator.h"
#include "platform/dispatch.h"
#include "platform/fd.h"
#include "platform/unixsocket.h"
#include "platform/userclient.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;

// How the stand-in meets the link's open call.
enum class OpenAnswer {
    accept,
    refuse,   // another instance of the application holds the watcher
    hangUp,   // the watcher dies before it answers
    garbage,  // a reply no watcher sends: an output longer than any call has
};

// Serves the application's user clients, each connection on its own thread as the watcher does: open
// (as told) and close succeed, sent records are kept whichever connection sends them, a read hands out
// the next queued record or, after a short wait, an empty one (as the watcher answers an idle read).
class FakeWatcher {
public:
    explicit FakeWatcher(std::string path, OpenAnswer open = OpenAnswer::accept)
        : path_(std::move(path)), open_(open) {
        listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
        bool ok = listener_ &&
                  ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  ::listen(listener_.get(), 4) == 0;
        if (ok) thread_ = std::thread([this] { accept(); });
    }
    ~FakeWatcher() {
        stop_ = true;
        ::shutdown(listener_.get(), SHUT_RDWR);
        {
            std::lock_guard lock(mutex_);
            for (int fd : clients_) ::shutdown(fd, SHUT_RDWR);
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
        for (auto& t : connections_) t.join();
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
    // False: answers batch reads as a watcher from before them does (not supported).
    void answerBatches(bool yes) { batches_ = yes; }
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
    void accept() {
        while (!stop_) {
            platform::UniqueFd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!conn) return;
            std::lock_guard lock(mutex_);
            if (stop_) return;
            clients_.push_back(conn.get());
            connections_.emplace_back([this, c = std::move(conn)]() mutable { serve(std::move(c)); });
        }
    }

    void serve(platform::UniqueFd conn) {
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
            std::uint32_t code = pw::kIOReturnSuccess;
            std::uint32_t outputLength = 0;
            if (selector == pw::kBrindleOpenConnection && open_ == OpenAnswer::hangUp) {
                break;
            } else if (selector == pw::kBrindleOpenConnection && open_ == OpenAnswer::refuse) {
                code = static_cast<std::uint32_t>(pw::kIOReturnExclusiveAccess);
            } else if (selector == pw::kBrindleOpenConnection && open_ == OpenAnswer::garbage) {
                outputLength = 0xFFFFFFF0u;
            } else if (selector == pw::kSendDataToKernel && length == sizeof(pw::_pwevent)) {
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
            } else if (selector == pw::kRecieveManyFromKernel && !batches_) {
                code = static_cast<std::uint32_t>(pw::kIOReturnUnsupported);
            } else if (selector == pw::kRecieveManyFromKernel) {
                std::unique_lock lock(mutex_);
                changed_.wait_for(lock, 50ms, [&] { return !pending_.empty() || stop_; });
                for (size_t n = 0; n < pw::kRecordsPerRead && !pending_.empty(); ++n) {
                    output.append(reinterpret_cast<const char*>(&pending_.front()), sizeof(pw::_pwevent));
                    pending_.pop_front();
                }
            }
            if (!output.empty()) outputLength = static_cast<std::uint32_t>(output.size());
            std::string reply;
            platform::putU32(reply, code);
            platform::putU32(reply, outputLength);
            reply += output;
            if (platform::sendAll(conn.get(), reply.data(), reply.size(), deadline) != platform::IoResult::ok)
                break;
        }
        std::lock_guard lock(mutex_);
        std::erase(clients_, conn.get());
    }

    std::string path_;
    OpenAnswer open_;
    platform::UniqueFd listener_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> clients_;              // under mutex_: the connections being served
    std::vector<std::thread> connections_;  // under mutex_ until the destructor joins them
    std::deque<pw::_pwevent> pending_;      // under mutex_
    std::vector<pw::_pwevent> sent_;        // under mutex_
    std::atomic<bool> batches_{true};       // false: a watcher from before batch reads
};

// One call the link made on the engine.
struct EngineCall {
    std::string what, path1, path2;
    bool operator==(const EngineCall&) const = default;
};
void PrintTo(const EngineCall& c, std::ostream* os) {
    *os << c.what << "(\"" << c.path1 << "\", \"" << c.path2 << "\")";
}

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
        l.addCloseEvent = [this](const std::string& p) { record({"close", p, ""}); };
        l.addCreateFolderEvent = [this](const std::string& p) { record({"mkdir", p, ""}); };
        l.addExchangeEvent = [this](const std::string& a, const std::string& b) {
            record({"exchange", a, b});
        };
        l.addMoveEvent = [this](const std::string& a, const std::string& b,
                                const CorvaneExtendedAttributes&) {
            record({"move", a, b});
        };
        l.addDeleteEvent = [this](const std::string& p, const CorvaneExtendedAttributes&) {
            record({"delete", p, ""});
        };
        // Counted where it runs: on the main queue, which only the test drains.
        l.terminate = [terminations = terminations] { ++*terminations; };
        KernelCommunicator::Options o;
        o.engine = std::make_shared<const EngineLink>(std::move(l));
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
    void record(EngineCall call) {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(call));
        changed.notify_all();
    }
    // Reports reach the engine in the order read: once this one is there, every earlier one is too.
    bool waitForCall(const EngineCall& call) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s,
                                [&] { return std::find(calls.begin(), calls.end(), call) != calls.end(); });
    }
    std::vector<EngineCall> engineCalls() {
        std::lock_guard lock(mutex);
        return calls;
    }

    TempDir dir{"tw-kernel-link"};
    std::unique_ptr<FakeWatcher> watcher;
    std::unique_ptr<KernelCommunicator> link;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> asked;  // folders the engine was asked to scan, and remounts; under mutex
    bool holdScans = false;          // under mutex
    std::vector<EngineCall> calls;   // timeline work, in order; under mutex
    std::shared_ptr<std::atomic<int>> terminations = std::make_shared<std::atomic<int>>(0);
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
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(asked, (std::vector<std::string>{"(remounted)", ""}));
    }
    EXPECT_EQ(link->reconnectCount(), 1u);
    // Losing a watcher that was there is no reason to end the application.
    platform::MainQueue::shared().drainMainQueue();
    EXPECT_EQ(*terminations, 0);
}

// A burst is read in batches; every report reaches the engine once, in the watcher's order, and so it
// does from a watcher that only hands them out one at a time.
TEST_F(KernelLinkReports, ABurstReachesTheEngineWholeAndInOrderWithOrWithoutBatches) {
    for (bool batches : {true, false}) {
        watcher->answerBatches(batches);
        std::vector<EngineCall> expected;
        for (int i = 0; i < 300; ++i) {
            std::string path = "/Volumes/Team/f" + std::to_string(i) + (batches ? ".new" : ".old");
            watcher->queue(i % 7 == 0 ? pw::kauth_FILEOP_CREATE_FOLDER : pw::kauth_FILEOP_CLOSE, path);
            expected.push_back({i % 7 == 0 ? "mkdir" : "close", path, ""});
        }
        ASSERT_TRUE(waitForCall(expected.back()));
        EXPECT_EQ(engineCalls(), expected) << (batches ? "in batches" : "one at a time");
        std::lock_guard lock(mutex);
        calls.clear();
    }
}

// Two names swapped contents (renameat2 with RENAME_EXCHANGE): one exchange of both, in the watcher's
// order. Taken for a move, the second name's server item would be deleted.
TEST_F(KernelLinkReports, AnExchangeReachesTheEngineAsOneExchangeOfBothNames) {
    watcher->queue(pw::kauth_FILEOP_EXCHANGE, "/Volumes/Team/draft.txt", "/Volumes/Team/final.txt");
    watcher->queue(pw::kauth_FILEOP_CLOSE, "/Volumes/Team/after.txt");
    ASSERT_TRUE(waitForCall({"close", "/Volumes/Team/after.txt", ""}));
    EXPECT_EQ(engineCalls(), (std::vector<EngineCall>{
                                 {"exchange", "/Volumes/Team/draft.txt", "/Volumes/Team/final.txt"},
                                 {"close", "/Volumes/Team/after.txt", ""},
                             }));
}

// A name in Latin-1, as an old archive extracts it: it could never be synchronised. Whatever the link
// makes of reports about it, they must not stand for another item, as a lossy reading would ("caf" for
// the folder, or a replacement character): the upload, move or delete would then hit a real item.
TEST_F(KernelLinkReports, AReportAboutANameThatIsNotUtf8NeverNamesAnotherItem) {
    const std::string bad = "/Volumes/Team/caf\xE9";
    const std::string good = "/Volumes/Team/cafe.txt", other = "/Volumes/Team/notes.txt";
    watcher->queue(pw::kauth_FILEOP_CLOSE, bad + ".txt");
    watcher->queue(pw::kauth_FILEOP_CREATE_FOLDER, bad);
    watcher->queue(pw::kauth_FILEOP_WILL_DELETE, bad + "/old.txt", "1 2\nStatus: Regular\n");
    watcher->queue(pw::kauth_FILEOP_DELETE, bad + "/old.txt", "Confirm Delete File");
    watcher->queue(pw::kauth_FILEOP_RENAME, bad + ".txt", good);
    watcher->queue(pw::kauth_FILEOP_EXCHANGE, other, bad + ".txt");
    watcher->queue(pw::kauth_FILEOP_CLOSE, "/Volumes/Team/after.txt");
    ASSERT_TRUE(waitForCall({"close", "/Volumes/Team/after.txt", ""}));
    for (const auto& c : engineCalls()) {
        for (const std::string& p : {c.path1, c.path2})
            EXPECT_TRUE(p.empty() || p == good || p == other || p == "/Volumes/Team/after.txt")
                << ::testing::PrintToString(c);
    }
}

// Reports about such a name alone reach nobody; a rename or exchange with it concerns the other name
// only: a move into the synchronised tree uploads, a swap gives the other name new content.
TEST_F(KernelLinkReports, AReportAboutANameThatIsNotUtf8AloneLeavesTheEngineAlone) {
    const std::string bad = "/Volumes/Team/caf\xE9";
    watcher->queue(pw::kauth_FILEOP_CLOSE, bad + ".txt");
    watcher->queue(pw::kauth_FILEOP_CREATE_FOLDER, bad);
    watcher->queue(pw::kauth_FILEOP_WILL_DELETE, bad + "/old.txt", "1 2\nStatus: Regular\n");
    watcher->queue(pw::kauth_FILEOP_DELETE, bad + "/old.txt", "Confirm Delete File");
    watcher->queue(pw::kauth_FILEOP_EXCHANGE, "/Volumes/Team/notes.txt", bad + ".txt");
    watcher->queue(pw::kauth_FILEOP_CLOSE, "/Volumes/Team/after.txt");
    ASSERT_TRUE(waitForCall({"close", "/Volumes/Team/after.txt", ""}));
    EXPECT_EQ(engineCalls(), (std::vector<EngineCall>{{"close", "/Volumes/Team/notes.txt", ""},
                                                      {"close", "/Volumes/Team/after.txt", ""}}));
}

// A question about such a name is answered for its own bytes, or the asking process would wait out the
// watcher's time-out; a placeholder there is refused like any other.
TEST_F(KernelLinkReports, AQuestionAboutANameThatIsNotUtf8IsAnsweredForThatName) {
    std::string asking = (dir / "caf\xE9.txt").string();
    ASSERT_TRUE(writeFile(asking, ""));
    CorvaneExtendedAttributes record(asking);
    record.ceaStatus.setStatus(CEAStatus::keys::Placeholder);
    ASSERT_TRUE(record.save());
    watcher->queue(pw::kauth_FILEOP_ISGHOST, asking, "1234");
    auto answer = watcher->waitForSent(pw::sa_AcknowledgeDelete, asking, 5s);
    ASSERT_TRUE(answer) << "the question was answered for another name, or not at all";
    EXPECT_EQ(*answer, pw::kAnswerRefuse);
}

// The application does not run without its file watcher: when none can be reached at start, or the one
// there will not take this link, the link asks the application to end. It asks through the main queue,
// never inline: the link is being made under the shared instance's lock.
class KernelLinkWithoutWatcher : public ::testing::TestWithParam<std::optional<OpenAnswer>> {
protected:
    void TearDown() override {
        // A request left behind would run in a later test's drain.
        platform::MainQueue::shared().drainMainQueue();
    }

    TempDir dir{"tw-kernel-link"};
    std::shared_ptr<std::atomic<int>> terminations = std::make_shared<std::atomic<int>>(0);
};

TEST_P(KernelLinkWithoutWatcher, TheApplicationIsAskedToEnd) {
    EngineLink engine;
    engine.terminate = [terminations = terminations] { ++*terminations; };
    KernelCommunicator::Options o;
    o.engine = std::make_shared<const EngineLink>(std::move(engine));
    o.socketPath = (dir / "driver.sock").string();
    std::unique_ptr<FakeWatcher> watcher;
    if (GetParam()) watcher = std::make_unique<FakeWatcher>(o.socketPath, *GetParam());
    pw::IOReturn expected = !GetParam()                         ? pw::kNoServiceFound
                            : *GetParam() == OpenAnswer::refuse ? pw::kIOReturnExclusiveAccess
                                                                : pw::kIOReturnNotAttached;
    size_t from = logSize();
    KernelCommunicator link(o);
    EXPECT_FALSE(link.connected());
    EXPECT_FALSE(link.running());
    EXPECT_TRUE(
        logContains("Kernel Driver connection failure with error: " + std::to_string(expected), from));
    EXPECT_EQ(*terminations, 0) << "asked inline";
    platform::MainQueue::shared().drainMainQueue();
    EXPECT_EQ(*terminations, 1);
    // Nothing is read from a link that never opened, and closing it is harmless.
    link.closeConnection();
    EXPECT_EQ(link.readCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(KernelLink, KernelLinkWithoutWatcher,
                         ::testing::Values(std::nullopt, OpenAnswer::refuse, OpenAnswer::hangUp,
                                           OpenAnswer::garbage),
                         [](const auto& info) -> std::string {
                             if (!info.param) return "NobodyListens";
                             switch (*info.param) {
                                 case OpenAnswer::refuse:
                                     return "OpenRefused";
                                 case OpenAnswer::hangUp:
                                     return "HungUpOnOpen";
                                 case OpenAnswer::garbage:
                                     return "GarbageAnswer";
                                 default:
                                     return "Accepted";
                             }
                         });

}  // namespace
}  // namespace tw::test
