#include "platform/notifications.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/dispatch.h"

using namespace std::chrono_literals;
using namespace tw::platform;

namespace {

// Collects what an observer saw; waits with a time-out so a lost signal fails instead of hanging.
struct Seen {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> items;
    Semaphore arrived;

    NotificationCallback callback() {
        return [this](const std::string& name, const std::string& object) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                items.emplace_back(name, object);
            }
            arrived.signal();
        };
    }
    bool waitFor(size_t count) {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (items.size() >= count) return true;
            }
            if (!arrived.waitFor(10s)) return false;
        }
    }
    std::vector<std::pair<std::string, std::string>> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return items;
    }
};

// Test processes run side by side on one session bus, so every name a test posts carries its pid.
std::string unique(const std::string& name) {
    return name + "-" + std::to_string(getpid());
}

struct SinkReset {
    ~SinkReset() { setDiagnosticSink(nullptr); }
};

#define REQUIRE_BUS(observer)     \
    if (!(observer)->connected()) \
    GTEST_SKIP() << "no D-Bus session bus (run the tests under dbus-run-session, as scripts/test.sh does)"

}  // namespace

TEST(Notifications, ObserversSeeTheirNameOrEverything) {
    DistributedNotificationCenter center;
    const std::string icon = unique("BrindleIconChange"), volume = unique("BrindleVolumeChange");
    Seen named, all;
    auto byName = center.observe(icon, named.callback());
    REQUIRE_BUS(byName);
    auto everything = center.observe("", all.callback());
    ASSERT_TRUE(everything->connected());

    EXPECT_TRUE(center.post(volume));
    EXPECT_TRUE(center.post(icon, "/Volumes/Work/a b.txt"));
    ASSERT_TRUE(named.waitFor(1));
    // The catch-all observer also hears other test processes; keep what this one posted.
    std::vector<std::pair<std::string, std::string>> mine;
    for (int round = 0; round < 100 && mine.size() < 2; ++round) {
        mine.clear();
        for (auto& item : all.snapshot())
            if (item.first == icon || item.first == volume) mine.push_back(item);
        if (mine.size() < 2) all.arrived.waitFor(100ms);
    }
    ASSERT_EQ(mine.size(), 2u);
    EXPECT_EQ(mine[0], std::make_pair(volume, std::string("")));
    EXPECT_EQ(mine[1], std::make_pair(icon, std::string("/Volumes/Work/a b.txt")));
    // The icon observer was handed nothing of the volume notification (posted first, so it would have
    // arrived before the one it did see).
    auto n = named.snapshot();
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].first, icon);
}

TEST(Notifications, NamesWithQuotesCannotWidenTheMatch) {
    DistributedNotificationCenter center;
    Seen seen;
    const std::string quoted = unique("it's");
    auto observer = center.observe(quoted, seen.callback());
    REQUIRE_BUS(observer);
    EXPECT_TRUE(center.post(unique("it")));
    EXPECT_TRUE(center.post(quoted, "x"));
    ASSERT_TRUE(seen.waitFor(1));
    auto s = seen.snapshot();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].first, quoted);
}

TEST(Notifications, PostingFromManyThreadsDeliversEverySignal) {
    DistributedNotificationCenter center;
    Seen seen;
    const std::string many = unique("Many");
    auto observer = center.observe(many, seen.callback());
    REQUIRE_BUS(observer);
    constexpr int kThreads = 4, kEach = 50;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                if (!center.post(many, std::to_string(t) + ":" + std::to_string(i))) ++failures;
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_TRUE(seen.waitFor(kThreads * kEach));
    // Each thread's own posts keep their order.
    std::vector<int> last(kThreads, -1);
    for (auto& [name, object] : seen.snapshot()) {
        int t = std::stoi(object.substr(0, object.find(':')));
        int i = std::stoi(object.substr(object.find(':') + 1));
        EXPECT_GT(i, last[t]);
        last[t] = i;
    }
}

TEST(Notifications, DroppedObserverStopsAndNeverCallsBack) {
    DistributedNotificationCenter center;
    std::atomic<int> calls{0};
    const std::string drop = unique("Drop");
    auto observer = center.observe(drop, [&](const std::string&, const std::string&) { ++calls; });
    REQUIRE_BUS(observer);
    observer.reset();  // joins the listener thread
    EXPECT_TRUE(center.post(drop));
    // A second observer that does see the post proves the signal went out while the first was gone.
    Seen seen;
    auto witness = center.observe(drop, seen.callback());
    EXPECT_TRUE(center.post(drop));
    ASSERT_TRUE(seen.waitFor(1));
    EXPECT_EQ(calls.load(), 0);
}

TEST(Notifications, WithoutABusPostingWarnsOnceAndObserversNeverFire) {
    SinkReset reset;
    std::mutex m;
    std::vector<std::string> warnings;
    setDiagnosticSink([&](DiagnosticLevel level, const std::string& message) {
        std::lock_guard<std::mutex> lock(m);
        if (level == DiagnosticLevel::warning) warnings.push_back(message);
    });
    DistributedNotificationCenter center("unix:path=/nonexistent/tidewell-test/bus");
    EXPECT_FALSE(center.post("BrindleIconChange", "/a"));
    EXPECT_FALSE(center.post("BrindleIconChange", "/b"));
    EXPECT_FALSE(center.post("BrindleVolumeChange"));
    auto observer = center.observe("", [](const std::string&, const std::string&) {});
    EXPECT_FALSE(observer->connected());
    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("No D-Bus session bus"), std::string::npos);
}

// A bus daemon that accepts connections and then never reads: a post gives up instead of hanging the
// thread that saves a record.
TEST(Notifications, AStuckBusDoesNotHoldThePoster) {
    SinkReset reset;
    std::atomic<int> warnings{0};
    setDiagnosticSink([&](DiagnosticLevel level, const std::string&) {
        if (level == DiagnosticLevel::warning) ++warnings;
    });
    char folder[] = "/tmp/tw-stuckbus-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    std::string socketPath = std::string(folder) + "/bus";
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 4), 0);  // connections wait in the backlog, never answered

    DistributedNotificationCenter center("unix:path=" + socketPath);
    EXPECT_FALSE(center.post("BrindleIconChange", "/a"));
    EXPECT_EQ(warnings.load(), 1);

    ::close(listener);
    ::unlink(socketPath.c_str());
    ::rmdir(folder);
}
