#include "platform/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using tw::platform::DispatchQueue;
using tw::platform::OperationQueue;
using tw::platform::Semaphore;

TEST(SerialQueue, RunsBlocksOneAtATimeInOrder) {
    auto q = DispatchQueue::serial("test.serial");
    std::vector<int> seen;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 200; ++i) {
        q->async([&, i] {
            if (inside.fetch_add(1) != 0) overlapped = true;
            seen.push_back(i);
            inside.fetch_sub(1);
        });
    }
    q->sync([] {});
    ASSERT_EQ(seen.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[i], i);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, NestedSyncRunsInlineInsteadOfDeadlocking) {
    auto q = DispatchQueue::serial("test.nested");
    int value = 0;
    q->sync([&] { q->sync([&] { value = 7; }); });
    EXPECT_EQ(value, 7);
}

TEST(ConcurrentQueue, BarrierExcludesOtherBlocks) {
    auto q = DispatchQueue::concurrent("test.concurrent");
    std::atomic<int> readers{0};
    std::atomic<bool> barrierSawReader{false};
    Semaphore done;
    for (int i = 0; i < 20; ++i) {
        q->async([&] {
            readers.fetch_add(1);
            std::this_thread::sleep_for(1ms);
            readers.fetch_sub(1);
            done.signal();
        });
        q->barrierSync([&] {
            if (readers.load() != 0) barrierSawReader = true;
        });
    }
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(done.waitFor(5s));
    EXPECT_FALSE(barrierSawReader);
}

TEST(SemaphoreTest, WaitForTimesOutWithoutSignal) {
    Semaphore s;
    EXPECT_FALSE(s.waitFor(20ms));
    s.signal();
    EXPECT_TRUE(s.waitFor(20ms));
}

TEST(OperationQueueTest, HighPriorityOvertakesQueuedButNotRunning) {
    OperationQueue q("test.ops");
    q.setSuspended(true);
    std::vector<std::string> order;
    std::mutex m;
    auto rec = [&](std::string s) {
        return [&, s] {
            std::lock_guard l(m);
            order.push_back(s);
        };
    };
    q.addOperation(rec("normal1"));
    q.addOperation(rec("normal2"));
    q.addOperation(rec("high"), OperationQueue::Priority::high);
    EXPECT_EQ(q.operationCount(), 3u);
    q.setSuspended(false);
    ASSERT_TRUE(q.waitUntilAllOperationsAreFinished(5s));
    EXPECT_EQ(order, (std::vector<std::string>{"high", "normal1", "normal2"}));
}

TEST(OperationQueueTest, SuspendLetsRunningOperationFinishAndHoldsTheRest) {
    OperationQueue q("test.suspend");
    Semaphore started, release;
    std::atomic<int> ran{0};
    q.addOperation([&] {
        started.signal();
        release.wait();
        ran++;
    });
    q.addOperation([&] { ran++; });
    ASSERT_TRUE(started.waitFor(5s));
    q.setSuspended(true);
    release.signal();
    EXPECT_FALSE(q.waitUntilAllOperationsAreFinished(100ms));
    EXPECT_EQ(ran.load(), 1);
    q.setSuspended(false);
    EXPECT_TRUE(q.waitUntilAllOperationsAreFinished(5s));
    EXPECT_EQ(ran.load(), 2);
}

TEST(GlobalQueueTest, ABlockQueuedBehindALongRunningOneStillRuns) {
    // Two blocks submitted back to back while one pool thread is idle: the second must get a thread of
    // its own even though the idle one was only just told about the first.
    auto& global = DispatchQueue::global(tw::platform::QoS::utility);
    for (int round = 0; round < 200; ++round) {
        // Shared: the blocks may still be leaving their waits when the round ends.
        auto idleAgain = std::make_shared<Semaphore>();
        global.async([idleAgain] { idleAgain->signal(); });
        ASSERT_TRUE(idleAgain->waitFor(5s));
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // let that thread go idle
        auto release = std::make_shared<Semaphore>(), second = std::make_shared<Semaphore>();
        global.async([release] { release->wait(); });
        global.async([second] { second->signal(); });
        bool ran = second->waitFor(5s);
        release->signal();
        ASSERT_TRUE(ran) << "round " << round << ": the second block waited for the first";
    }
}
