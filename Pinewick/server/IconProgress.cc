#include "Pinewick/server/IconProgress.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Pinewick/config/Log.h"
#include "Pinewick/server/LocalFileDates.h"
#include "platform/files.h"
#include "platform/notifications.h"

namespace tw {

// ---------------------------------------------------------------- Transfers

Transfers& Transfers::shared() {
    static Transfers* shared = new Transfers();
    return *shared;
}

int Transfers::addObserver(Observer observer) {
    return observers_.add(std::move(observer));
}

void Transfers::removeObserver(int token) {
    observers_.remove(token);
}

void Transfers::notify() {
    for (const auto& o : observers_.snapshot()) o();
}

uint64_t Transfers::begin(TransferProgress::Direction direction, std::string path, uint64_t total) {
    uint64_t token;
    {
        std::lock_guard lock(mutex_);
        token = nextToken_++;
        entries_.push_back(Entry{token, TransferProgress{direction, std::move(path), 0, total},
                                 std::chrono::steady_clock::now()});
    }
    notify();
    return token;
}

void Transfers::update(uint64_t token, uint64_t done) {
    {
        std::lock_guard lock(mutex_);
        auto it =
            std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.token == token; });
        if (it == entries_.end()) return;
        it->progress.done = std::min(done, it->progress.total);
        auto now = std::chrono::steady_clock::now();
        if (now - it->reported < kReportInterval) return;
        it->reported = now;
    }
    notify();
}

void Transfers::end(uint64_t token) {
    {
        std::lock_guard lock(mutex_);
        auto it =
            std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.token == token; });
        if (it == entries_.end()) return;
        entries_.erase(it);
    }
    notify();
}

std::vector<TransferProgress> Transfers::list() const {
    std::lock_guard lock(mutex_);
    std::vector<TransferProgress> out;
    out.reserve(entries_.size());
    for (const auto& e : entries_) out.push_back(e.progress);
    return out;
}

std::optional<TransferProgress> Transfers::find(const std::string& path) const {
    std::lock_guard lock(mutex_);
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
        if (it->progress.path == path) return it->progress;
    return std::nullopt;
}

// ---------------------------------------------------------------- IconProgress

Date IconProgress::magicDate() {
    return Date(std::chrono::seconds(443779200));
}

IconProgress::IconProgress(ItemRecords& records, std::string localPath, uint64_t totalExpectedTransfer,
                           TransferProgress::Direction direction, std::chrono::milliseconds showAfter)
    : records_(records),
      localPath_(std::move(localPath)),
      totalExpectedTransfer_(totalExpectedTransfer),
      listed_(Transfers::shared().begin(direction, localPath_, totalExpectedTransfer)),
      showFrom_(std::chrono::steady_clock::now() + showAfter) {
    // A bar a crash left behind is taken down at the end of this transfer, however quick it is.
    if (totalExpectedTransfer_ > 65536 && creationDate(localPath_) == magicDate() && grabCreationDate())
        isBarDisplayed_ = true;
}

IconProgress::~IconProgress() {
    endBar();
    Transfers::shared().end(listed_);
}

void IconProgress::tellFileManager(bool now) {
    auto at = std::chrono::steady_clock::now();
    if (!now && at - toldFileManager_ < Transfers::kReportInterval) return;
    toldFileManager_ = at;
    platform::postNotification(overmark::kProgressChangeNotification, localPath_);
}

bool IconProgress::grabCreationDate() {
    auto current = creationDate(localPath_);
    if (!current) return false;
    if (*current == magicDate()) {
        // An earlier bar was never taken down: the real date is the one saved in the record.
        if (auto saved = records_.load(localPath_).transferRecovery) {
            creationDate_ = *saved;
            haveCreationDate_ = true;
        }
        return true;
    }
    creationDate_ = *current;
    haveCreationDate_ = true;
    // The bar replaces the creation date; unless the real one is kept in the record, a crash while the
    // bar shows would lose it for good.
    if (auto kept = records_.setTransferRecovery(localPath_, creationDate_); !kept) {
        log().logWarning("No progress shown on " + localPath_ +
                         ": its creation date could not be kept in its record (" + kept.cause().describe() +
                         ")");
        return false;
    }
    return true;
}

void IconProgress::setInProgress(bool value) {
    inProgress_ = value;
    if (!value) {
        endBar();
        return;
    }
    if (isBarDisplayed_ || totalExpectedTransfer_ <= 65536) return;
    if (!grabCreationDate()) return;
    if (setCreationDate(localPath_, magicDate())) isBarDisplayed_ = true;
}

void IconProgress::setTransfered(uint64_t value) {
    transfered_ = value;
    Transfers::shared().update(listed_, value);
    if (!isBarDisplayed_ && std::chrono::steady_clock::now() < showFrom_) return;
    setInProgress(true);
    if (!isBarDisplayed_) return;
    uint64_t percent = totalExpectedTransfer_ ? value * 100 / totalExpectedTransfer_ : 100;
    if (percent <= displayedPercent_) return;
    displayedPercent_ = percent;
    if (percent < 100) {
        // "0.42", by hand: printf's decimal point is the locale's, and the desktop's may be a comma.
        std::string fraction = "0." + std::to_string(percent / 10) + std::to_string(percent % 10);
        platform::SysError error;
        if (platform::setXattr(localPath_, xAttrName, fraction, &error))
            tellFileManager(false);
        else
            log().logWarning("Could not show progress on " + localPath_ + ": " + std::strerror(error.code));
    } else {
        setInProgress(false);
    }
}

void IconProgress::endBar() {
    if (!isBarDisplayed_) return;
    if (haveCreationDate_ && !setCreationDate(localPath_, creationDate_))
        log().logWarning("Could not restore the creation date of " + localPath_);
    platform::SysError error;
    if (!platform::removeXattr(localPath_, xAttrName, &error) && error.code != ENODATA)
        log().logWarning("Could not take the progress off " + localPath_ + ": " + std::strerror(error.code));
    // Left in the record, the kept date is only put back again by the next start's recovery: worth a
    // line, not a failure.
    if (auto cleared = records_.setTransferRecovery(localPath_, std::nullopt); !cleared)
        log().logWarning("Could not clear the kept creation date of " + localPath_ + ": " +
                         cleared.cause().describe());
    isBarDisplayed_ = false;
    tellFileManager(true);
}

}  // namespace tw
