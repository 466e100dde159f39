#include "Pinewick/engine/ListingPace.h"

#include <algorithm>

#include "Pinewick/config/Log.h"
#include "Pinewick/engine/PlaceholderOpens.h"
#include "platform/dispatch.h"

namespace tw {
namespace {

using namespace std::chrono_literals;

// The share of the rate a slow or failing server leaves: halved at each bad answer down to this, and
// given back a little at each quick one.
constexpr double kSlowestShare = 1.0 / 64;
constexpr double kShareRegained = 0.1;
// An answer slower than this counts as the server under load.
constexpr auto kSlowAnswer = 2s;
constexpr auto kQuickAnswer = 500ms;
// A folder whose rotation listing failed is passed over this long, so it cannot hold up the line.
constexpr auto kFailedWaits = 60s;
// How often the rotation's size is counted again.
constexpr auto kCountEvery = 10s;

double seconds(ListingPace::Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

ListingPace::ListingPace(Parts parts) : parts_(std::move(parts)), alive_(std::make_shared<Alive>()) {
    alive_->self = this;
}

ListingPace::~ListingPace() {
    stop();
    {
        // A discovery still walking uses the parts this object was given.
        std::unique_lock lock(mutex_);
        discovered_.wait(lock, [this] { return !discovering_; });
    }
    std::lock_guard lock(alive_->mutex);
    alive_->self = nullptr;
}

void ListingPace::start() {
    std::weak_ptr<Alive> weak = alive_;
    auto next = std::make_unique<platform::RepeatingTimer>(
        kStep, platform::DispatchQueue::global(platform::QoS::utility), [weak] {
            auto alive = weak.lock();
            if (!alive) return;
            std::lock_guard lock(alive->mutex);
            if (alive->self) alive->self->step(Clock::now());
        });
    std::unique_ptr<platform::RepeatingTimer> previous;
    std::lock_guard lock(timerMutex_);
    previous = std::move(timer_);
    timer_ = std::move(next);
}

void ListingPace::stop() {
    std::unique_ptr<platform::RepeatingTimer> previous;
    std::lock_guard lock(timerMutex_);
    previous = std::move(timer_);
}

void ListingPace::folderInUse(const std::string& folder, const std::string& program, Clock::time_point now) {
    if (folder.empty() || PlaceholderOpens::onlyLooks(program, {})) return;
    if (parts_.ignored && parts_.ignored(folder)) return;
    std::lock_guard lock(mutex_);
    auto [it, added] = inUse_.try_emplace(folder, Use{now, std::nullopt});
    it->second.lastUse = now;
    if (!added || inUse_.size() <= kMostInUse) return;
    // Too many folders in use: the one used longest ago goes.
    auto oldest = std::min_element(inUse_.begin(), inUse_.end(), [](const auto& a, const auto& b) {
        return a.second.lastUse < b.second.lastUse;
    });
    inUse_.erase(oldest);
}

std::optional<std::string> ListingPace::takeInUseDueLocked(Clock::time_point now) {
    auto best = inUse_.end();
    for (auto it = inUse_.begin(); it != inUse_.end();) {
        if (now - it->second.lastUse > kInUseFor) {
            it = inUse_.erase(it);
            continue;
        }
        const auto& listed = it->second.lastListed;
        bool due = !listed || now - *listed >= kInUseRefresh;
        // The one waiting longest first; one never listed by the pace before all others.
        if (due && (best == inUse_.end() || !listed ||
                    (best->second.lastListed && *listed < *best->second.lastListed)))
            best = it;
        ++it;
    }
    if (best == inUse_.end()) return std::nullopt;
    best->second.lastListed = now;
    return best->first;
}

void ListingPace::step(Clock::time_point now) {
    bool allowed = (!parts_.mayContact || parts_.mayContact()) && !(parts_.lowBattery && parts_.lowBattery());
    Settings settings = parts_.settings ? parts_.settings() : Settings{};
    bool count = false, discover = false;
    {
        std::lock_guard lock(mutex_);
        double elapsed = lastStep_ ? std::max(0.0, seconds(now - *lastStep_)) : 0.0;
        lastStep_ = now;
        waiting_ = !allowed;
        if (!allowed) {
            // Nothing saved up while waiting: coming back must not burst.
            tokens_ = rotationTokens_ = 0;
            return;
        }
        count = !lastCount_ || now - *lastCount_ >= kCountEvery;
        discover = parts_.discover && !discovering_ &&
                   (!lastDiscovery_ || seconds(now - *lastDiscovery_) >= settings.cycleSeconds);
        if (discover) {
            discovering_ = true;
            lastDiscovery_ = now;
        }
        rate_ = std::max(0.0, settings.rate) * backoff_;
        // Past the size the rate allows in a cycle, the cycle grows, never the rate.
        rotationRate_ = std::min(rate_, static_cast<double>(folders_) / std::max(1.0, settings.cycleSeconds));
        tokens_ = std::min(tokens_ + elapsed * rate_, std::max(1.0, rate_));
        rotationTokens_ = std::min(rotationTokens_ + elapsed * rotationRate_, std::max(1.0, rotationRate_));
    }
    if (count && parts_.folders) {
        uint64_t folders = parts_.folders();
        std::lock_guard lock(mutex_);
        folders_ = folders;
        lastCount_ = now;
    }
    if (discover) {
        std::weak_ptr<Alive> weak = alive_;
        platform::DispatchQueue::global(platform::QoS::background).async([this] {
            parts_.discover();
            // The destructor waits for this: the object is still here.
            std::lock_guard lock(mutex_);
            discovering_ = false;
            discovered_.notify_all();
        });
    }
    // Folders in use first; the rotation takes what is left of the budget, up to its own share.
    for (;;) {
        std::optional<std::string> folder;
        {
            std::lock_guard lock(mutex_);
            if (tokens_ < 1 || outstanding_ >= kMostOutstanding) return;
            folder = takeInUseDueLocked(now);
            if (folder) {
                tokens_ -= 1;
                ++outstanding_;
                ++listed_;
            } else if (rotationTokens_ < 1) {
                return;
            }
        }
        if (folder) {
            queue(*folder, false);
            continue;
        }
        if (!parts_.oldestDue) return;
        auto staleAfter = std::chrono::seconds(
            static_cast<int64_t>(std::max<double>(kInUseRefresh.count(), settings.cycleSeconds / 2)));
        auto rotation = parts_.oldestDue(staleAfter, [this, now](const std::string& f) {
            std::lock_guard lock(mutex_);
            auto it = failedRecently_.find(f);
            if (it == failedRecently_.end()) return false;
            if (now - it->second < kFailedWaits) return true;
            failedRecently_.erase(it);
            return false;
        });
        {
            std::lock_guard lock(mutex_);
            if (!rotation) {
                // Nothing due: the rotation saves nothing up for later.
                rotationTokens_ = std::min(rotationTokens_, 1.0);
                return;
            }
            tokens_ -= 1;
            rotationTokens_ -= 1;
            ++outstanding_;
            ++listed_;
        }
        queue(*rotation, true);
    }
}

void ListingPace::queue(const std::string& folder, bool rotation) {
    if (!parts_.list) {
        std::lock_guard lock(mutex_);
        --outstanding_;
        return;
    }
    std::weak_ptr<Alive> weak = alive_;
    // Listed again unless it was compared within the minute: the 60-second freshness of a user's request.
    parts_.list(folder, static_cast<double>(kInUseRefresh.count()), !rotation,
                [weak, folder, rotation](ListingOutcome outcome, Clock::duration took) {
                    auto alive = weak.lock();
                    if (!alive) return;
                    std::lock_guard lock(alive->mutex);
                    if (alive->self) alive->self->ended(folder, rotation, outcome, took);
                });
}

void ListingPace::ended(const std::string& folder, bool rotation, ListingOutcome outcome,
                        Clock::duration took) {
    std::lock_guard lock(mutex_);
    --outstanding_;
    bool bad = outcome == ListingOutcome::failed || took > kSlowAnswer;
    if (bad) {
        double before = backoff_;
        backoff_ = std::max(kSlowestShare, backoff_ / 2);
        if (before == 1 && backoff_ < 1)
            log().logDebug("Listing " + folder + " took " + std::to_string(seconds(took)) +
                           "s or failed: folders are listed less often for a while");
        if (rotation && outcome == ListingOutcome::failed) failedRecently_[folder] = Clock::now();
    } else if (took < kQuickAnswer) {
        backoff_ = std::min(1.0, backoff_ + kShareRegained);
    }
}

ListingPace::Figures ListingPace::figures() const {
    std::lock_guard lock(mutex_);
    return Figures{rate_, rotationRate_, inUse_.size(), outstanding_, listed_, waiting_};
}

}  // namespace tw
