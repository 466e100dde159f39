#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Pinewick/engine/HeldCloses.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "platform/dispatch.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using tw::HeldCloses;

namespace {

struct Released {
    std::mutex mutex;
    std::vector<std::string> paths;
    void add(const std::string& p) {
        std::lock_guard lock(mutex);
        paths.push_back(p);
    }
    std::vector<std::string> get() {
        std::lock_guard lock(mutex);
        return paths;
    }
};

class RunsEvent : public tw::TLEvent {
public:
    void performAction(tw::EventContext&) override { ++runs; }
    std::atomic<int> runs{0};
};

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

}  // namespace

// Files written over and over while others are written go once each, in the order first reported, and
// only once the writing stopped.
TEST(HeldCloses, RepeatsMergeAndAllGoOnceTheWritingStops) {
    Released out;
    HeldCloses held([&](const std::string& p) { out.add(p); }, {});
    held.setTimes(300ms, 60s);
    for (int i = 0; i < 20; ++i) {
        held.hold("/v/a");
        held.hold("/v/dir/b");
        held.hold("/v/a");
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(out.get().empty()) << "released while files were still being written";
    EXPECT_EQ(held.count(), 2u);
    ASSERT_TRUE(waitFor([&] { return held.count() == 0; }, 5s));
    EXPECT_EQ(out.get(), (std::vector<std::string>{"/v/a", "/v/dir/b"}));
}

// A file written without pause is still sent: the ceiling counts from its first report.
TEST(HeldCloses, AFileThatNeverStopsChangingGoesAtTheCeiling) {
    Released out;
    HeldCloses held([&](const std::string& p) { out.add(p); }, {});
    held.setTimes(10s, 300ms);
    auto start = std::chrono::steady_clock::now();
    while (out.get().empty() && std::chrono::steady_clock::now() - start < 5s) {
        held.hold("/v/log.txt");
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(out.get(), std::vector<std::string>{"/v/log.txt"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

// A delete or move first releases what is held at its path and below it, in report order, and nothing
// else: not a sibling whose name merely starts the same.
TEST(HeldCloses, AnEventAtAPathReleasesWhatIsHeldThereFirst) {
    Released out;
    HeldCloses held([&](const std::string& p) { out.add(p); }, {});
    held.setTimes(60s, 60s);
    held.hold("/v/dir/x");
    held.hold("/v/dirother/z");
    held.hold("/v/dir/sub/y");
    held.hold("/v/dir");
    held.hold("/v/dir/x");
    held.releaseAt({"/v/dir"});
    EXPECT_EQ(out.get(), (std::vector<std::string>{"/v/dir/x", "/v/dir/sub/y", "/v/dir"}));
    EXPECT_EQ(held.count(), 1u);
    held.releaseAt({"/v/nothing", "/v/dirother/z"});
    EXPECT_EQ(out.get().back(), "/v/dirother/z");
    EXPECT_EQ(held.count(), 0u);

    // Ending: everything goes, and what comes after goes at once.
    held.hold("/v/late1");
    held.releaseAllAndStopHolding();
    held.hold("/v/late2");
    EXPECT_EQ(out.get(), (std::vector<std::string>{"/v/dir/x", "/v/dir/sub/y", "/v/dir", "/v/dirother/z",
                                                   "/v/late1", "/v/late2"}));
}

// A release in progress is still pending work, and an event at its path waits for it: it must not
// be queued ahead of the upload its path's report asked for.
TEST(HeldCloses, AReleaseInProgressCountsAndTheEventAtItsPathWaitsForIt) {
    Released out;
    tw::platform::Semaphore entered, proceed;
    std::atomic<bool> block{true};
    HeldCloses held(
        [&](const std::string& p) {
            if (block.exchange(false)) {
                entered.signal();
                proceed.waitFor(10s);
            }
            out.add(p);
        },
        {});
    held.setTimes(20ms, 60s);
    held.hold("/v/a");
    ASSERT_TRUE(entered.waitFor(5s));
    EXPECT_EQ(held.count(), 1u) << "a file being released is not pending any more";
    std::atomic<bool> eventQueued{false};
    std::thread event([&] {
        held.releaseAt({"/v/a"});
        eventQueued = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(eventQueued.load()) << "the event at the path went ahead of its upload";
    proceed.signal();
    event.join();
    EXPECT_EQ(out.get(), std::vector<std::string>{"/v/a"});
    EXPECT_EQ(held.count(), 0u);
}

// The timeline is not idle while a report is held, and is once it was handled.
TEST(HeldCloses, TheTimelineIsNotIdleWhileAReportIsHeld) {
    tw::test::TempDir support;
    tw::TimeLineManager t(support.str(), tw::TimeLineManager::sharedParts());
    t.resumeTimeLine();
    ASSERT_TRUE(t.waitUntilIdle(5s));
    t.setCloseHold(400ms, 60s);
    t.holdCloseEvent(support.str() + "/not-synchronised.txt");
    EXPECT_EQ(t.heldCloseCount(), 1u);
    EXPECT_FALSE(t.idle());
    EXPECT_FALSE(t.waitUntilIdle(100ms));
    EXPECT_TRUE(t.waitUntilIdle(5s));
    EXPECT_EQ(t.heldCloseCount(), 0u);
}

// While programs keep writing, the queued work (a delete, a move) waits with the held files rather than
// take the processor from them; once they stop, or at the ceiling, it runs.
TEST(HeldCloses, QueuedWorkWaitsWhileFilesAreBeingWrittenUpToTheCeiling) {
    tw::test::TempDir support;
    tw::TimeLineManager t(support.str(), tw::TimeLineManager::sharedParts());
    t.resumeTimeLine();
    const std::string outside = support.str() + "/not-synchronised.txt";
    for (auto ceiling : {60s, 1s}) {
        t.setCloseHold(300ms, ceiling);
        auto event = std::make_shared<RunsEvent>();
        t.holdCloseEvent(outside);
        t.eventAppend(event);
        auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < 1500ms && event->runs == 0) {
            t.holdCloseEvent(outside);
            std::this_thread::sleep_for(50ms);
        }
        if (ceiling == 60s)
            EXPECT_EQ(event->runs.load(), 0) << "ran while files were still being written";
        else
            EXPECT_EQ(event->runs.load(), 1) << "held past the ceiling";
        ASSERT_TRUE(t.waitUntilIdle(10s));
        EXPECT_EQ(event->runs.load(), 1);
    }
}
