#include "Pinewick/engine/TLDownloadFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>

#include "Pinewick/config/Log.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CEAUtils.h"
#include "Pinewick/server/DownloadDetails.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "platform/casefold.h"
#include "platform/dispatch.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace tw {
namespace {

// One download of a file at a time. A program opening a placeholder and the download queue may ask for
// it at once; both would write its bytes, and the one finishing second would change the file after the
// first recorded it as in step, so that the server's next revision looked like a local edit and was
// refused as a conflict. The second waits for the first (which ends with its transfer: done, failed,
// cancelled or timed out) and then finds nothing left to fetch.
class OneDownloadPerFile {
public:
    explicit OneDownloadPerFile(std::string path) : path_(std::move(path)) {
        std::unique_lock lock(state().mutex);
        state().done.wait(lock, [&] { return state().running.count(path_) == 0; });
        state().running.insert(path_);
    }
    ~OneDownloadPerFile() {
        {
            std::lock_guard lock(state().mutex);
            state().running.erase(path_);
        }
        state().done.notify_all();
    }
    OneDownloadPerFile(const OneDownloadPerFile&) = delete;
    OneDownloadPerFile& operator=(const OneDownloadPerFile&) = delete;

private:
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        std::set<std::string> running;
    };
    // Never destroyed: downloads may still end while the process exits.
    static State& state() {
        static State* shared = new State();
        return *shared;
    }
    std::string path_;
};

void openWithDefaultApplication(const std::string& path) {
    std::string error;
    if (!platform::spawnDetached({"xdg-open", path}, &error))
        log().logWarning("Could not open " + path + ": " + error);
}

// The item's current path: by identity when that resolves, else where it was.
std::string currentPath(uint64_t volumeNumber, uint64_t fileNumber, const std::string& fallback) {
    if (volumeNumber || fileNumber) {
        std::string node = "/.vol/" + std::to_string(volumeNumber) + "/" + std::to_string(fileNumber);
        if (auto path = platform::resolveVolPath(node)) return *path;
    }
    return fallback;
}

}  // namespace

bool TLDownloadFile::performAction(StatusBarManager& statusBar, const ServerEnvironment& server,
                                   const std::string& localFolder, const ServerFileObject& file,
                                   const std::optional<std::string>& serverPath) {
    const std::string path = localFolder + "/" + file.name;
    OneDownloadPerFile alone(path);
    uint64_t volumeNumber = 0, fileNumber = 0;
    {
        CorvaneExtendedAttributes record(path);
        // Asked twice, or the item changed meanwhile: nothing to fetch.
        if (record.ceaStatus.status != CEAStatus::keys::RequireDownload) return false;
        volumeNumber = record.volumeNumber;
        fileNumber = record.fileNumber;
    }
    statusBar.updateDownloadActive(path);
    statusBar.updateIcon();

    // A failed attempt: the item's content either waits for the next attempt, or, taken back to a
    // placeholder meanwhile, must not keep partial bytes.
    auto recover = [&] {
        std::string now = currentPath(volumeNumber, fileNumber, path);
        CorvaneExtendedAttributes record(now);
        auto state = record.ceaStatus.status;
        if (state == CEAStatus::keys::RequireDownload) {
            log().logWarning("Download of " + path + " failed");
        } else if (state == CEAStatus::keys::Placeholder || state == CEAStatus::keys::ErrorPlaceHolder) {
            // Taken back to a placeholder while its content arrived: no partial content may stay.
            if (::truncate(now.c_str(), 0) != 0 && errno != ENOENT)
                log().logWarning("Could not empty the placeholder " + now + ": " + std::strerror(errno));
        } else {
            // Any other state means the file is the user's now (written to, or made local): its
            // bytes are left as they are.
            log().logWarning("Download of " + path + " stopped: the item is now " +
                             CEAStatus::rawValue(state) + "; its content is left alone");
        }
    };

    DownloadDetails details(server, localFolder, file, serverPath);
    normalisedResponse outcome = details.downloadFile();
    bool succeeded = false;
    switch (outcome) {
        case normalisedResponse::allOkay: {
            // Taken back (or written to) while the last bytes arrived: the item is not ours to finish.
            CorvaneExtendedAttributes check(path);
            auto attributes = platform::attributesOfItem(path);
            if (check.ceaStatus.status != CEAStatus::keys::RequireDownload || !attributes ||
                attributes->size != details.file.size) {
                recover();
                break;
            }
            log().logAudit("Downloaded file: " + path);
            CorvaneExtendedAttributes record = CEAUtils::refreshFilePath(path, details.file.serverFacts());
            bool launch = record.ceaBool.getAttribute(CEABool::keys::LaunchAfterDownload);
            record.ceaBool.setAttribute(CEABool::keys::LaunchAfterDownload, false);
            CEAUtils::recordSyncedContent(record, *attributes);
            record.ceaStatus.setStatus(CEAStatus::keys::Regular);
            if (!record.save()) {
                // The content is complete, but the item still says it waits for it: a later download
                // finds nothing left to fetch and finishes it then.
                log().logWarning("Download of " + path + " complete, but its record could not be saved");
                break;
            }
            succeeded = true;
            if (launch) {
                platform::DispatchQueue::global(platform::QoS::background).async([path] {
                    openWithDefaultApplication(path);
                });
            }
            break;
        }
        case normalisedResponse::attemptRecovery:
            recover();
            break;
        case normalisedResponse::fatal:
            log().logWarning("Download of " + path + " failed. Potentially not recoverable.");
            break;
        case normalisedResponse::tryAgain:
            break;
    }
    statusBar.updateDownloadActive(std::nullopt);
    statusBar.updateIcon();
    return succeeded;
}

// ---- TLOutOfBandDownload

TLOutOfBandDownload::TLOutOfBandDownload(std::string from, std::string to)
    : pathFrom(std::move(from)), pathTo(std::move(to)), storedXAttr(pathTo), destination_(pathTo) {
    if (auto attributes = platform::attributesOfItem(pathTo)) {
        identity_ = {attributes->systemNumber, attributes->systemFileNumber};
        pathTo = "/.vol/" + std::to_string(attributes->systemNumber) + "/" +
                 std::to_string(attributes->systemFileNumber);
    }
}

void TLOutOfBandDownload::performAction(EventContext& context) {
    // Where the item stands now: at the destination when it is still there, else where the watcher
    // says it went. Only a positive "no such item" counts as gone: a watcher that cannot be asked, or
    // an identity nobody can look up, leaves the server's copy where it is.
    std::optional<std::string> resolved;
    bool gone = false;
    if (identity_) {
        struct stat st {};
        if (::lstat(destination_.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == identity_->first &&
            static_cast<uint64_t>(st.st_ino) == identity_->second) {
            resolved = destination_;
        } else if (auto answer = platform::resolveVolPath(pathTo)) {
            if (platform::isVolPath(*answer))
                gone = true;
            else
                resolved = answer;
        }
    } else if (platform::attributesOfItem(destination_)) {
        resolved = destination_;
    }
    if (!resolved && !gone) {
        log().logWarning("Cannot tell where " + destination_ + " went; the server's copy of " + pathFrom +
                         " is kept");
        return;
    }
    if (resolved) {
        // A name the server cannot hold is as outside as an ignored place: taken for a move back in,
        // the move would only hand the item to this event again, for ever, and its content would never
        // come down.
        if (!context.timeline.staysHereOnly(*resolved)) {
            // Moved back into the synchronised area before this ran.
            if (platform::sameNameIgnoringCase(*resolved, pathFrom)) return;
            CorvaneExtendedAttributes record(*resolved);
            context.timeline.addMoveEvent(pathFrom, *resolved, record);
            return;
        }
        CorvaneExtendedAttributes record(*resolved);
        if (record.ceaStatus.status != CEAStatus::keys::RequireDownload) return;
        ServerFileObject entry = entryFromRecord(platform::lastPathComponent(*resolved), record);
        std::string serverPath = context.server.serverFromLocal(pathFrom);
        if (!TLDownloadFile::performAction(context.statusBar, context.server,
                                           platform::parentFolder(*resolved), entry, serverPath))
            return;
        // The copy outside is an ordinary file from now on.
        platform::SysError error;
        if (!platform::removeXattr(*resolved, CorvaneExtendedAttributes::xAttrName, &error) &&
            error.code != ENODATA && error.code != ENOENT)
            log().logWarning("Could not strip the metadata of " + *resolved + ": " + error.describe());
    }
    // The content is safe outside, or the user removed even that: the server item goes.
    context.timeline.addDeleteEvent(pathFrom, storedXAttr);
}

}  // namespace tw
