#include "Pinewick/engine/HeldCloses.h"

#include <algorithm>
#include <utility>

namespace tw {

HeldCloses::HeldCloses(std::function<void(const std::string& path)> release, std::function<void()> settled)
    : release_(std::move(release)), settled_(std::move(settled)), thread_([this] { run(); }) {}

HeldCloses::~HeldCloses() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        cv_.notify_all();
    }
    thread_.join();
}

void HeldCloses::hold(const std::string& path) {
    {
        std::lock_guard lock(mutex_);
        if (stop_) return;
        if (holding_) {
            auto now = Clock::now();
            lastReport_ = now;
            // Written again while held: one upload, of what stands there when it goes, and the file keeps
            // its place (its ceiling counts from its first report).
            if (!byPath_.count(path)) {
                order_.push_back(Entry{path, now});
                byPath_.emplace(path, std::make_pair(reported_++, std::prev(order_.end())));
                if (order_.size() == 1) cv_.notify_all();
            }
            return;
        }
        ++releasing_;
    }
    releasePaths({path});
}

template <typename Pick>
std::vector<std::string> HeldCloses::takeLocked(Pick pick) {
    std::vector<Order::iterator> entries;
    for (auto it = order_.begin(); it != order_.end(); ++it)
        if (pick(*it)) entries.push_back(it);
    return takeLocked(std::move(entries));
}

std::vector<std::string> HeldCloses::takeLocked(std::vector<Order::iterator> entries) {
    std::vector<std::string> taken;
    taken.reserve(entries.size());
    for (auto it : entries) {
        byPath_.erase(it->path);
        taken.push_back(std::move(it->path));
        order_.erase(it);
    }
    releasing_ += taken.size();
    return taken;
}

void HeldCloses::releasePaths(std::vector<std::string> paths) {
    for (const auto& path : paths) release_(path);
    {
        std::lock_guard lock(mutex_);
        releasing_ -= paths.size();
    }
    if (settled_) settled_();
}

void HeldCloses::releaseAt(const std::vector<std::string>& paths) {
    std::lock_guard one(releaseMutex_);
    std::vector<std::string> taken;
    {
        std::lock_guard lock(mutex_);
        if (order_.empty()) return;
        // A delete or move comes for every item a program removes: one look per path, not per held file.
        std::vector<std::pair<uint64_t, Order::iterator>> found;
        for (const auto& p : paths) {
            if (p.empty()) continue;
            if (auto exact = byPath_.find(p); exact != byPath_.end()) found.push_back(exact->second);
            const std::string under = p.back() == '/' ? p : p + '/';
            for (auto it = byPath_.lower_bound(under);
                 it != byPath_.end() && it->first.compare(0, under.size(), under) == 0; ++it)
                found.push_back(it->second);
        }
        std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        found.erase(std::unique(found.begin(), found.end(),
                                [](const auto& a, const auto& b) { return a.first == b.first; }),
                    found.end());
        std::vector<Order::iterator> entries;
        for (const auto& f : found) entries.push_back(f.second);
        taken = takeLocked(std::move(entries));
    }
    if (!taken.empty()) releasePaths(std::move(taken));
}

void HeldCloses::releaseAllAndStopHolding() {
    std::lock_guard one(releaseMutex_);
    std::vector<std::string> taken;
    {
        std::lock_guard lock(mutex_);
        holding_ = false;
        taken = takeLocked([](const Entry&) { return true; });
    }
    releasePaths(std::move(taken));
}

size_t HeldCloses::count() const {
    std::lock_guard lock(mutex_);
    return order_.size() + releasing_;
}

void HeldCloses::noteActivity() {
    std::lock_guard lock(mutex_);
    if (holding_ && !order_.empty()) lastReport_ = Clock::now();
}

bool HeldCloses::busy() const {
    std::lock_guard lock(mutex_);
    if (!holding_ || order_.empty()) return false;
    auto now = Clock::now();
    return now - lastReport_ < quiet_ && now - order_.front().first < ceiling_;
}

void HeldCloses::setTimes(std::chrono::milliseconds quiet, std::chrono::milliseconds ceiling) {
    std::lock_guard lock(mutex_);
    quiet_ = quiet;
    ceiling_ = ceiling;
    cv_.notify_all();
}

void HeldCloses::run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
        if (order_.empty()) {
            cv_.wait(lock, [this] { return stop_ || !order_.empty(); });
            continue;
        }
        // A tenth of the shorter wait between looks: files go at most that late.
        auto tick = std::max(std::min(quiet_, ceiling_) / 10, std::chrono::milliseconds(10));
        cv_.wait_for(lock, tick, [this] { return stop_; });
        if (stop_) break;
        lock.unlock();
        {
            std::lock_guard one(releaseMutex_);
            std::vector<std::string> taken;
            {
                std::lock_guard again(mutex_);
                auto now = Clock::now();
                const bool quiet = now - lastReport_ >= quiet_;
                taken = takeLocked([&](const Entry& e) { return quiet || now - e.first >= ceiling_; });
            }
            if (!taken.empty()) releasePaths(std::move(taken));
        }
        lock.lock();
    }
}

}  // namespace tw
