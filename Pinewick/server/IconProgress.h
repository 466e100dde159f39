// A transfer's progress shown on the file itself: while bytes move, the file's creation date is set to
// a marker date and the attribute user.com.apple.progress.fractionCompleted holds the fraction done
// ("0.42"); the file manager extension draws a bar from them. The real creation date is kept in the
// item record (`TransferRecovery`), so a bar left behind by a crash is recognised and undone the next
// time a transfer of that file starts.
//
// Thread-safety: one object serves one transfer, driven from one thread.
#pragma once

#include <cstdint>
#include <string>

#include "Pinewick/server/ServerEnvironment.h"

namespace tw {

class IconProgress {
  public:
    static constexpr const char* xAttrName = "com.apple.progress.fractionCompleted";
    static Date magicDate();

    IconProgress(std::string localPath, uint64_t totalExpectedTransfer)
        : localPath_(std::move(localPath)), totalExpectedTransfer_(totalExpectedTransfer) {}
    ~IconProgress();  // a bar still shown is removed
    IconProgress(const IconProgress&) = delete;
    IconProgress& operator=(const IconProgress&) = delete;

    void setInProgress(bool value);
    bool inProgress() const { return inProgress_; }
    void setTransfered(uint64_t value);
    uint64_t transfered() const { return transfered_; }
    uint64_t displayedPercent() const { return displayedPercent_; }
    bool isBarDisplayed() const { return isBarDisplayed_; }
    const std::string& localPath() const { return localPath_; }

  private:
    // False when the real creation date could not be kept: no bar may replace it then.
    bool grabCreationDate();
    void endBar();

    std::string localPath_;
    uint64_t totalExpectedTransfer_;
    Date creationDate_{};
    bool haveCreationDate_ = false;
    uint64_t displayedPercent_ = 0;
    bool isBarDisplayed_ = false;
    uint64_t transfered_ = 0;
    bool inProgress_ = false;
};

}  // namespace tw
