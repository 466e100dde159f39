#include "Pinewick/server/IconProgress.h"

#include <cstdio>
#include <cstring>

#include "Pinewick/server/LocalFileDates.h"
#include "platform/files.h"

namespace tw {
Date IconProgress::magicDate() { return Date(std::chrono::seconds(443779200)); }

IconProgress::~IconProgress() { endBar(); }

void IconProgress::grabCreationDate() {
    auto current = creationDate(localPath_);
    if (!current) return;
    if (*current == magicDate()) {
        // An earlier bar was never taken down: the real date is the one saved in the record.
        if (auto saved = itemRecords().load(localPath_).transferRecovery) {
            creationDate_ = *saved;
            haveCreationDate_ = true;
        }
        return;
    }
    creationDate_ = *current;
    haveCreationDate_ = true;
    itemRecords().setTransferRecovery(localPath_, creationDate_);
}

void IconProgress::setInProgress(bool value) {
    inProgress_ = value;
    if (!value) {
        endBar();
        return;
    }
    if (isBarDisplayed_ || totalExpectedTransfer_ <= 65536) return;
    grabCreationDate();
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
        platform::setXattr(localPath_, xAttrName, std::string_view(buf, strlen(buf)));
    } else {
        setInProgress(false);
    }
}

void IconProgress::endBar() {
    if (!isBarDisplayed_) return;
    if (haveCreationDate_) setCreationDate(localPath_, creationDate_);
    platform::removeXattr(localPath_, xAttrName);
    itemRecords().setTransferRecovery(localPath_, std::nullopt);
    isBarDisplayed_ = false;
}

}  // namespace tw
