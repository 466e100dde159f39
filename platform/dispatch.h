// Dispatch queues, semaphores, operation queues and timers: the concurrency vocabulary the engine is
// written in. Serial queues run one block at a time in submission order; concurrent queues run blocks
// side by side except barrier blocks, which run alone; global queues are a shared pool of worker
// threads; the main queue runs on whichever thread drains it (the headless loop or Qt's loop).
//
// Thread-safety: every operation here may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

namespace tw::platform {

using Block = std::function<void()>;

enum class QoS { background, utility, normal, userInitiated, userInteractive };

class DispatchQueue {
public:
    virtual ~DispatchQueue() = default;

    // A queue that runs one block at a time, in submission order, on pool threads.
    static std::shared_ptr<DispatchQueue> serial(std::string label);
    // A queue whose plain blocks may run side by side; barrier blocks run alone. Plain and barrier
    // `sync` blocks run on the caller's thread, holding the queue's shared or exclusive lock.
    static std::shared_ptr<DispatchQueue> concurrent(std::string label);
    // The process-wide pool for a quality of service. Blocks run concurrently; never destroyed.
    static DispatchQueue& global(QoS qos = QoS::normal);

    virtual void async(Block block) = 0;
    // Runs `block` and returns when it has run. On a serial queue, called from a block already running
    // on that queue, the block runs inline instead of deadlocking.
    virtual void sync(const Block& block) = 0;
    virtual void barrierAsync(Block block) { async(std::move(block)); }
    virtual void barrierSync(const Block& block) { sync(block); }

    const std::string& label() const { return label_; }

protected:
    explicit DispatchQueue(std::string label) : label_(std::move(label)) {}

private:
    std::string label_;
};

// The main queue. Blocks queue up until a thread drains it: `runMainLoop` (headless binary and tests)
// or `drainMainQueue` from a GUI loop that was told by the wake handler that work arrived.
class MainQueue {
public:
    static MainQueue& shared();

    void async(Block block);
    // Runs the block on the main queue and waits. Called from the draining thread itself, runs inline.
    void sync(const Block& block);
    // Runs queued blocks until `stop()` is called. Blocks in the thread that calls it.
    void runMainLoop();
    void stop();
    // Runs every block queued right now; returns how many ran.
    size_t drainMainQueue();
    // Called (from any thread) after a block has been queued; a GUI loop uses it to schedule a drain.
    void setWakeHandler(std::function<void()> handler);
    // Called (from the thread that called `stop`) after `stop()`; a GUI loop uses it to end its own
    // loop, since it never waits in `runMainLoop`.
    void setStopHandler(std::function<void()> handler);
    bool isMainThread() const;

private:
    MainQueue() = default;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Block> blocks_;
    std::function<void()> wake_;
    std::function<void()> stopHandler_;
    bool stop_ = false;
    std::atomic<std::thread::id> drainer_{};
};

// A counting semaphore with time-outs.
class Semaphore {
public:
    explicit Semaphore(long initial = 0) : count_(initial) {}
    void signal();
    void wait();
    // Returns false when the time-out passed without a signal.
    bool waitFor(std::chrono::milliseconds timeout);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    long count_;
};

// A queue of operations run one at a time on a worker thread it owns, highest priority first and in
// submission order within a priority. Suspending lets the running operation finish and holds the rest.
class OperationQueue {
public:
    enum class Priority { veryLow = -8, low = -4, normal = 0, high = 4, veryHigh = 8 };

    explicit OperationQueue(std::string name);
    // Drops operations not yet started and waits for the running one.
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    void addOperation(Block op, Priority priority = Priority::normal);
    void setSuspended(bool suspended);
    bool isSuspended() const;
    // Queued plus running operations.
    size_t operationCount() const;
    // Waits until no operation is queued or running; false when `timeout` passed first.
    bool waitUntilAllOperationsAreFinished(std::chrono::milliseconds timeout);
    // Drops every operation not yet started.
    void cancelAllOperations();
    const std::string& name() const { return name_; }

private:
    void run();

    std::string name_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    // Highest priority first; a multimap keeps insertion order within one priority.
    std::multimap<int, Block, std::greater<int>> pending_;
    bool running_ = false;
    bool suspended_ = false;
    bool stop_ = false;
    std::thread worker_;
};

// Calls `block` on `queue` every `interval` until dropped or cancelled. The first call comes after one
// interval. Dropping waits for no running block; the block must not outlive what it captures.
class RepeatingTimer {
public:
    RepeatingTimer(std::chrono::milliseconds interval, DispatchQueue& queue, Block block);
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;
    void cancel();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool cancelled_ = false;
    std::thread thread_;
};

}  // namespace tw::platform
