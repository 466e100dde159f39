#include "Pinewick/server/IconProgress.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Pinewick/config/Logger.h"
#include "Pinewick/server/LocalFileDates.h"
#include "platform/files.h"

namespace tw {
Date IconProgress::magicDate() {
    return Date(std::chrono::seconds(443779200));
}

IconProgress::~IconProgress() {
    endBar();
}

bool IconProgress::grabCreationDate() {
    auto current = creationDate(localPath_);
    if (!current) return false;
    if (*current == magicDate()) {
        // An earlier bar was never taken down: the real date is the one saved in the record.
        if (auto saved = itemRecords().load(localPath_).transferRecovery) {
            creationDate_ = *saved;
            haveCreationDate_ = true;
        }
        return true;
    }
    creationDate_ = *current;
    haveCreationDate_ = true;
    // The bar replaces the creation date; unless the real one is kept in the record, a crash while the
    // bar shows would lose it for good.
    if (!itemRecords().setTransferRecovery(localPath_, creationDate_)) {
        Logger::sharedInstance().logWarning("No progress shown on " + localPath_ +
                                            ": its creation date could not be kept in its record");
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
    setInProgress(true);
    if (!isBarDisplayed_) return;
    uint64_t percent = totalExpectedTransfer_ ? value * 100 / totalExpectedTransfer_ : 100;
    if (percent <= displayedPercent_) return;
    displayedPercent_ = percent;
    if (percent < 100) {
        char buf[32];
        snprintf(buf, sizeof buf, "%.2f", static_cast<double>(percent) / 100.0);
        platform::SysError error;
        if (!platform::setXattr(localPath_, xAttrName, std::string_view(buf, strlen(buf)), &error))
            Logger::sharedInstance().logWarning("Could not show progress on " + localPath_ + ": " +
                                                std::strerror(error.code));
    } else {
        setInProgress(false);
    }
}

void IconProgress::endBar() {
    if (!isBarDisplayed_) return;
    if (haveCreationDate_ && !setCreationDate(localPath_, creationDate_))
        Logger::sharedInstance().logWarning("Could not restore the creation date of " + localPath_);
    platform::SysError error;
    if (!platform::removeXattr(localPath_, xAttrName, &error) && error.code != ENODATA)
        Logger::sharedInstance().logWarning("Could not take the progress off " + localPath_ + ": " +
                                            std::strerror(error.code));
    itemRecords().setTransferRecovery(localPath_, std::nullopt);
    isBarDisplayed_ = false;
}

}  // namespace tw
