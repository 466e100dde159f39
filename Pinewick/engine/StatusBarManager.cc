#include "Pinewick/engine/StatusBarManager.h"

#include <algorithm>
#include <cstdio>

#include "platform/dispatch.h"

namespace tw {

std::optional<TransferProgress> StatusBarManager::State::progressOf(
    const std::optional<std::string>& path) const {
    if (!path) return std::nullopt;
    for (auto it = transfers.rbegin(); it != transfers.rend(); ++it)
        if (it->path == *path) return *it;
    return std::nullopt;
}

std::string StatusBarManager::sizeText(uint64_t bytes) {
    if (bytes == 1) return "1 byte";
    if (bytes < 1000) return std::to_string(bytes) + " bytes";
    static constexpr const char* units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes) / 1000.0;
    size_t unit = 0;
    // 999,950 bytes would print as "1000.0 kB": it is the next unit's 1.0.
    while (value >= 999.95 && unit + 1 < std::size(units)) {
        value /= 1000.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

unsigned StatusBarManager::percentDone(uint64_t done, uint64_t total) {
    if (done >= total) return 100;
    // In floating point: done × 100 would overflow for the largest sizes. A fraction that rounds up to
    // 100 is not every byte.
    auto percent = static_cast<unsigned>(static_cast<double>(done) * 100.0 / static_cast<double>(total));
    return percent > 99 ? 99 : percent;
}

std::string StatusBarManager::progressText(uint64_t done, uint64_t total) {
    return std::to_string(percentDone(done, total)) + " % of " + sizeText(total);
}

const char* StatusBarManager::iconName(icons icon) {
    switch (icon) {
        case icons::statusBarIcon:
            return "StatusBarIcon";
        case icons::statusBarPauseIcon:
            return "StatusBarPause";
        case icons::statusBarErrorIcon:
            return "StatusBarError";
        case icons::statusBarBusyIcon:
            return "StatusBarBusy";
        case icons::statusBarNoNetworkIcon:
            return "StatusBarNoNetwork";
    }
    return "StatusBarIcon";
}

StatusBarManager::~StatusBarManager() {
    stopFollowing();
}

void StatusBarManager::follow(Transfers& transfers) {
    stopFollowing();
    auto follower = std::make_shared<Follower>();
    follower->manager = this;
    followToken_ = transfers.addObserver([follower, &transfers] {
        std::lock_guard lock(follower->mutex);
        if (follower->manager) follower->manager->transfersChanged(transfers);
    });
    follower_ = std::move(follower);
    followed_ = &transfers;
}

void StatusBarManager::stopFollowing() {
    if (!follower_) return;
    followed_->removeObserver(followToken_);
    {
        std::lock_guard lock(follower_->mutex);
        follower_->manager = nullptr;
    }
    follower_.reset();
    followed_ = nullptr;
}

void StatusBarManager::transfersChanged(const Transfers& transfers) {
    State snapshot;
    {
        // Read under the lock: of two changes reported at once, the list read last is the one kept.
        std::lock_guard lock(mutex_);
        state_.transfers = transfers.list();
        snapshot = state_;
    }
    publish(snapshot);
}

void StatusBarManager::setRunState(RunState runState) {
    std::lock_guard lock(mutex_);
    runState_ = std::move(runState);
}

void StatusBarManager::updateIcon() {
    State snapshot;
    {
        std::lock_guard lock(mutex_);
        bool network = runState_.networkAvailable ? runState_.networkAvailable() : true;
        bool allowed = runState_.allowServerCommunication ? runState_.allowServerCommunication() : true;
        // The first rule that applies wins: no network over pause over error over activity.
        if (!network)
            state_.icon = icons::statusBarNoNetworkIcon;
        else if (!allowed)
            state_.icon = icons::statusBarPauseIcon;
        else if (errorState_)
            state_.icon = icons::statusBarErrorIcon;
        else if (downloadActive_ || !state_.uploadFiles.empty())
            state_.icon = icons::statusBarBusyIcon;
        else
            state_.icon = icons::statusBarIcon;
        snapshot = state_;
    }
    publish(snapshot);
}

void StatusBarManager::updateUploadActive(const std::optional<std::string>& localPath) {
    {
        std::lock_guard lock(mutex_);
        state_.uploadFiles.clear();
        if (localPath) state_.uploadFiles.push_back(*localPath);
        state_.uploadFile = localPath;
    }
    updateIcon();
}

void StatusBarManager::uploadStarted(const std::string& localPath) {
    {
        std::lock_guard lock(mutex_);
        state_.uploadFiles.push_back(localPath);
        state_.uploadFile = state_.uploadFiles.front();
    }
    updateIcon();
}

void StatusBarManager::uploadEnded(const std::string& localPath) {
    {
        std::lock_guard lock(mutex_);
        auto& files = state_.uploadFiles;
        if (auto it = std::find(files.begin(), files.end(), localPath); it != files.end()) files.erase(it);
        state_.uploadFile = files.empty() ? std::nullopt : std::optional<std::string>(files.front());
    }
    updateIcon();
}

void StatusBarManager::updateDownloadActive(const std::optional<std::string>& localPath) {
    {
        std::lock_guard lock(mutex_);
        downloadActive_ = localPath.has_value();
        state_.downloadFile = localPath;
    }
    updateIcon();
}

bool StatusBarManager::uploadActive() const {
    std::lock_guard lock(mutex_);
    return !state_.uploadFiles.empty();
}

bool StatusBarManager::downloadActive() const {
    std::lock_guard lock(mutex_);
    return downloadActive_;
}

void StatusBarManager::setErrorState(bool error) {
    {
        std::lock_guard lock(mutex_);
        errorState_ = error;
    }
    updateIcon();
}

void StatusBarManager::setAttention(Attention attention) {
    {
        std::lock_guard lock(mutex_);
        errorState_ = attention.count() > 0;
        state_.attention = std::move(attention);
    }
    updateIcon();
}

StatusBarManager::State StatusBarManager::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

int StatusBarManager::addObserver(Observer observer) {
    return observers_.add(std::move(observer));
}

void StatusBarManager::removeObserver(int token) {
    observers_.remove(token);
}

void StatusBarManager::publish(const State& state) {
    auto observers = observers_.snapshot();
    if (observers.empty()) return;
    // Menus and icons change on the main thread only.
    platform::MainQueue::shared().async([observers = std::move(observers), state] {
        for (const auto& o : observers) o(state);
    });
}

}  // namespace tw
