// Callbacks registered under a token, called later from a copy of the list: an observer may be added
// or removed (even by an observer being called) without waiting for the others to run, and none is
// called while the list's lock is held.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace tw::platform {

template <class... Args>
class ObserverList {
public:
    using Observer = std::function<void(Args...)>;

    // The token for `remove`.
    int add(Observer observer) {
        std::lock_guard lock(mutex_);
        observers_.emplace_back(nextToken_, std::move(observer));
        return nextToken_++;
    }
    void remove(int token) {
        std::lock_guard lock(mutex_);
        std::erase_if(observers_, [token](const auto& o) { return o.first == token; });
    }
    // The observers registered now, in the order they were added.
    std::vector<Observer> snapshot() const {
        std::lock_guard lock(mutex_);
        std::vector<Observer> out;
        out.reserve(observers_.size());
        for (const auto& o : observers_) out.push_back(o.second);
        return out;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<int, Observer>> observers_;
    int nextToken_ = 1;
};

}  // namespace tw::platform
