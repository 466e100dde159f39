#include "platform/dispatch.h"

#include <pthread.h>

#include <vector>

namespace tw::platform {
namespace {

// Hands `block` to `submit`, which runs it exactly once on some other thread, and returns once it ran.
template <class Submit>
void runAndWait(Submit&& submit, const Block& block) {
    Semaphore done;
    submit([&] {
        block();
        done.signal();
    });
    done.wait();
}

// Worker threads grow on demand (a block never waits for another block to finish) and retire after a
// while without work. Threads are detached: the pool is never destroyed, so blocks that run for the
// life of the process (the timeline loop) never hold up exit.
class ThreadPool {
public:
    void submit(Block block) {
        std::unique_lock lock(mutex_);
        blocks_.push_back(std::move(block));
        // An idle thread that was notified counts as idle until it has taken its block, so every queued
        // block needs an idle thread of its own; otherwise a block queued right behind one that runs
        // for ever (the timeline loop) would wait for ever too.
        if (idle_ >= static_cast<int>(blocks_.size())) {
            cv_.notify_one();
            return;
        }
        ++threads_;
        lock.unlock();
        std::thread([this] { work(); }).detach();
    }

private:
    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            bool got = cv_.wait_for(lock, std::chrono::seconds(30), [this] { return !blocks_.empty(); });
            --idle_;
            if (!got) {
                --threads_;
                return;
            }
            Block b = std::move(blocks_.front());
            blocks_.pop_front();
            lock.unlock();
            b();
            b = nullptr;  // captured state dies outside the lock
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Block> blocks_;
    int idle_ = 0;
    int threads_ = 0;
};

ThreadPool& pool() {
    static ThreadPool* p = new ThreadPool();  // never destroyed, see above
    return *p;
}

class GlobalQueue final : public DispatchQueue {
public:
    explicit GlobalQueue(std::string label) : DispatchQueue(std::move(label)) {}
    void async(Block block) override { pool().submit(std::move(block)); }
    void sync(const Block& block) override {
        runAndWait([](Block b) { pool().submit(std::move(b)); }, block);
    }
};

// Which serial queue the current thread is draining, so a nested sync can run inline.
thread_local const DispatchQueue* t_current_serial = nullptr;

class SerialQueue final : public DispatchQueue, public std::enable_shared_from_this<SerialQueue> {
public:
    explicit SerialQueue(std::string label) : DispatchQueue(std::move(label)) {}

    void async(Block block) override {
        std::unique_lock lock(mutex_);
        blocks_.push_back(std::move(block));
        if (draining_) return;
        draining_ = true;
        lock.unlock();
        pool().submit([self = shared_from_this()] { self->drain(); });
    }

    void sync(const Block& block) override {
        if (t_current_serial == this) {
            block();
            return;
        }
        runAndWait([this](Block b) { async(std::move(b)); }, block);
    }

private:
    void drain() {
        const DispatchQueue* outer = t_current_serial;
        t_current_serial = this;
        std::unique_lock lock(mutex_);
        while (!blocks_.empty()) {
            Block b = std::move(blocks_.front());
            blocks_.pop_front();
            lock.unlock();
            b();
            b = nullptr;
            lock.lock();
        }
        draining_ = false;
        t_current_serial = outer;
    }

    std::mutex mutex_;
    std::deque<Block> blocks_;
    bool draining_ = false;
};

class ConcurrentQueue final : public DispatchQueue, public std::enable_shared_from_this<ConcurrentQueue> {
public:
    explicit ConcurrentQueue(std::string label) : DispatchQueue(std::move(label)) {}

    void async(Block block) override {
        pool().submit([self = shared_from_this(), b = std::move(block)] {
            std::shared_lock lock(self->rw_);
            b();
        });
    }
    void sync(const Block& block) override {
        std::shared_lock lock(rw_);
        block();
    }
    void barrierAsync(Block block) override {
        pool().submit([self = shared_from_this(), b = std::move(block)] {
            std::unique_lock lock(self->rw_);
            b();
        });
    }
    void barrierSync(const Block& block) override {
        std::unique_lock lock(rw_);
        block();
    }

private:
    std::shared_mutex rw_;
};

}  // namespace

std::shared_ptr<DispatchQueue> DispatchQueue::serial(std::string label) {
    return std::make_shared<SerialQueue>(std::move(label));
}

std::shared_ptr<DispatchQueue> DispatchQueue::concurrent(std::string label) {
    return std::make_shared<ConcurrentQueue>(std::move(label));
}

DispatchQueue& DispatchQueue::global(QoS qos) {
    // One pool serves every quality of service; the distinction only names the queue.
    static GlobalQueue* queues[] = {
        new GlobalQueue("global.background"),      new GlobalQueue("global.utility"),
        new GlobalQueue("global.default"),         new GlobalQueue("global.userInitiated"),
        new GlobalQueue("global.userInteractive"),
    };
    return *queues[static_cast<int>(qos)];
}

// ---- MainQueue

MainQueue& MainQueue::shared() {
    static MainQueue* q = new MainQueue();
    return *q;
}

void MainQueue::async(Block block) {
    std::function<void()> wake;
    {
        std::lock_guard lock(mutex_);
        blocks_.push_back(std::move(block));
        wake = wake_;
    }
    cv_.notify_all();
    if (wake) wake();
}

void MainQueue::sync(const Block& block) {
    if (isMainThread()) {
        block();
        return;
    }
    runAndWait([this](Block b) { async(std::move(b)); }, block);
}

void MainQueue::runMainLoop() {
    drainer_ = std::this_thread::get_id();
    std::unique_lock lock(mutex_);
    stop_ = false;
    while (!stop_) {
        cv_.wait(lock, [this] { return stop_ || !blocks_.empty(); });
        while (!blocks_.empty()) {
            Block b = std::move(blocks_.front());
            blocks_.pop_front();
            lock.unlock();
            b();
            b = nullptr;
            lock.lock();
        }
    }
    drainer_ = std::thread::id{};
}

void MainQueue::stop() {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        handler = stopHandler_;
    }
    cv_.notify_all();
    if (handler) handler();
}

void MainQueue::setStopHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    stopHandler_ = std::move(handler);
}

size_t MainQueue::drainMainQueue() {
    drainer_ = std::this_thread::get_id();
    std::deque<Block> now;
    {
        std::lock_guard lock(mutex_);
        now.swap(blocks_);
    }
    for (auto& b : now) b();
    return now.size();
}

void MainQueue::setWakeHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    wake_ = std::move(handler);
}

bool MainQueue::isMainThread() const {
    return drainer_.load() == std::this_thread::get_id();
}

// ---- Semaphore

void Semaphore::signal() {
    // Notify under the lock: a waiter may return and destroy the semaphore (sync() keeps it on its
    // stack) as soon as it sees the count, which would leave a later notify on a dead condition.
    std::lock_guard lock(mutex_);
    ++count_;
    cv_.notify_one();
}

void Semaphore::wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return count_ > 0; });
    --count_;
}

bool Semaphore::waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return count_ > 0; })) return false;
    --count_;
    return true;
}

// ---- OperationQueue

OperationQueue::OperationQueue(std::string name) : name_(std::move(name)) {
    worker_ = std::thread([this] { run(); });
}

OperationQueue::~OperationQueue() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        pending_.clear();
    }
    cv_.notify_all();
    worker_.join();
}

void OperationQueue::addOperation(Block op, Priority priority) {
    {
        std::lock_guard lock(mutex_);
        pending_.emplace(static_cast<int>(priority), std::move(op));
    }
    cv_.notify_all();
}

void OperationQueue::setSuspended(bool suspended) {
    {
        std::lock_guard lock(mutex_);
        suspended_ = suspended;
    }
    cv_.notify_all();
}

bool OperationQueue::isSuspended() const {
    std::lock_guard lock(mutex_);
    return suspended_;
}

size_t OperationQueue::operationCount() const {
    std::lock_guard lock(mutex_);
    return pending_.size() + (running_ ? 1 : 0);
}

bool OperationQueue::waitUntilAllOperationsAreFinished(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return pending_.empty() && !running_; });
}

void OperationQueue::cancelAllOperations() {
    {
        std::lock_guard lock(mutex_);
        pending_.clear();
    }
    cv_.notify_all();
}

void OperationQueue::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return stop_ || (!suspended_ && !pending_.empty()); });
        if (stop_) return;
        // Within one priority the multimap keeps insertion order, so the first entry is the oldest.
        auto it = pending_.begin();
        Block op = std::move(it->second);
        pending_.erase(it);
        running_ = true;
        lock.unlock();
        op();
        op = nullptr;
        lock.lock();
        running_ = false;
        cv_.notify_all();
    }
}

// ---- RepeatingTimer

RepeatingTimer::RepeatingTimer(std::chrono::milliseconds interval, DispatchQueue& queue, Block block) {
    thread_ = std::thread([this, interval, &queue, b = std::move(block)] {
        std::unique_lock lock(mutex_);
        while (!cv_.wait_for(lock, interval, [this] { return cancelled_; })) queue.async(b);
    });
}

RepeatingTimer::~RepeatingTimer() {
    cancel();
    if (thread_.joinable()) thread_.join();
}

void RepeatingTimer::cancel() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    cv_.notify_all();
}

}  // namespace tw::platform
