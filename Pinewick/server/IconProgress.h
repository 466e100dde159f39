// A transfer's progress, for everything that shows it.
//
// `Transfers` lists every transfer under way in this process with the bytes it moved: the tray, the
// status command and an open waiting for its download read it there.
//
// `IconProgress` is one transfer's part: it keeps the transfer listed while it lives, and shows the
// progress on the file itself: while bytes move, the file's creation date is set to a marker date and
// the progress attribute holds the fraction done ("0.42"); the file-manager extension draws it on the
// item, asked to look again by a progress notification with the file's path each time the attribute
// changes or goes away. The real creation date is kept in the item record (`TransferRecovery`), so a bar left
// behind by a crash is recognised and undone the next time a transfer of that file starts.
//
// Thread-safety: `Transfers` may be used from any thread. One IconProgress serves one transfer, driven
// from one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Pinewick/server/ServerEnvironment.h"
#include "platform/observerlist.h"
#include "platform/overmark.h"

namespace tw {

// One transfer under way, as far as it went.
struct TransferProgress {
    enum class Direction { download, upload };
    Direction direction = Direction::download;
    std::string path;    // the local file
    uint64_t done = 0;   // bytes of the file moved so far
    uint64_t total = 0;  // bytes of the file in all
    bool operator==(const TransferProgress&) const = default;
};

class Transfers {
public:
    // Observers hear of a transfer's bytes at most this often (its start and end at once), so that no
    // observer's work can pace a transfer.
    static constexpr std::chrono::milliseconds kReportInterval{250};

    static Transfers& shared();
    Transfers() = default;
    Transfers(const Transfers&) = delete;
    Transfers& operator=(const Transfers&) = delete;

    // Observers run on the thread that changed the list, with no lock of it held; they must not block.
    using Observer = std::function<void()>;
    int addObserver(Observer observer);
    void removeObserver(int token);

    // Lists a transfer; its token for the calls below.
    uint64_t begin(TransferProgress::Direction direction, std::string path, uint64_t total);
    // `done` above the total counts as the total.
    void update(uint64_t token, uint64_t done);
    void end(uint64_t token);

    // In the order they started.
    std::vector<TransferProgress> list() const;
    // The transfer of `path` that started last.
    std::optional<TransferProgress> find(const std::string& path) const;

private:
    struct Entry {
        uint64_t token;
        TransferProgress progress;
        std::chrono::steady_clock::time_point reported;
    };
    void notify();

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    uint64_t nextToken_ = 1;
    platform::ObserverList<> observers_;  // its lock is never held with mutex_
};

class IconProgress {
public:
    static constexpr const char* xAttrName = overmark::kProgressAttributeName;
    static Date magicDate();

    // A transfer is listed from the start; the file shows it only once the transfer has run for
    // `showAfter`, so a quick one never touches the file's dates or its record.
    // The real creation date is kept in the item's record in `records`, which must outlive the bar.
    IconProgress(ItemRecords& records, std::string localPath, uint64_t totalExpectedTransfer,
                 TransferProgress::Direction direction = TransferProgress::Direction::download,
                 std::chrono::milliseconds showAfter = std::chrono::milliseconds(0));
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
    // Asks the file manager to look at the file again; at most once per report interval unless `now`.
    void tellFileManager(bool now);

    ItemRecords& records_;
    std::string localPath_;
    uint64_t totalExpectedTransfer_;
    uint64_t listed_;  // the token in Transfers::shared()
    std::chrono::steady_clock::time_point showFrom_;
    Date creationDate_{};
    bool haveCreationDate_ = false;
    uint64_t displayedPercent_ = 0;
    bool isBarDisplayed_ = false;
    uint64_t transfered_ = 0;
    bool inProgress_ = false;
    std::chrono::steady_clock::time_point toldFileManager_{};
};

}  // namespace tw
