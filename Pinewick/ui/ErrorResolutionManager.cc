#include "Pinewick/ui/ErrorResolutionManager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/DownloadSync.h"
#include "Pinewick/engine/TLEvent.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/server/ServerFileObject.h"
#include "Pinewick/server/ServerRequests.h"
#include "platform/dispatch.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace tw {
namespace {

using S = CEAStatus::keys;
using E = CEAErrorStatus::keys;
using G = CEAErrorStatus::genres;

Logger& log() {
    return Logger::sharedInstance();
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

void removeString(CorvaneExtendedAttributes& record, CEAString::keys key) {
    if (record.ceaString.stringValues.erase(key) > 0) record.ceaString.shouldSave = true;
}

void clearError(CorvaneExtendedAttributes& record, S state) {
    record.ceaErrorStatus.setStatus(E::NoError);
    record.ceaErrorStatus.setGenre(G::None);
    record.ceaStatus.setStatus(state);
}

std::string quoted(const std::string& name) {
    return "\"" + name + "\"";
}

// A name that can stand for one entry of the item's folder.
bool usableName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

}  // namespace

ErrorResolutionManager& ErrorResolutionManager::sharedInstance() {
    static ErrorResolutionManager* shared = new ErrorResolutionManager();  // lives for the process
    return *shared;
}

ErrorResolutionManager::ErrorResolutionManager(TimeLineManager* timeline) : timeline_(timeline) {}

TimeLineManager& ErrorResolutionManager::timeline() {
    return timeline_ ? *timeline_ : TimeLineManager::sharedInstance();
}

void ErrorResolutionManager::setPresenter(Presenter* presenter) {
    presenter_ = presenter;
}

void ErrorResolutionManager::present(std::function<void(Presenter&)> what) {
    platform::MainQueue::shared().async([this, what = std::move(what)] {
        if (presenter_)
            what(*presenter_);
        else
            log().logWarning("An error resolution was asked for, but no window can be shown");
    });
}

void ErrorResolutionManager::resolveError(const std::string& path) {
    CorvaneExtendedAttributes record(path);
    switch (record.ceaErrorStatus.genre) {
        case G::None: {
            log().logDebug("Resolve Error for " + record.description());
            Alert alert{"Resolve Error",
                        "Cannot start the Resolve " + CEAErrorStatus::rawValue(G::None) +
                            " Manager at this time for the file " + path,
                        {}};
            present([alert](Presenter& p) { p.runAlert(alert); });
            return;
        }
        case G::Transfer:
            handleTransferErrors(path, record);
            return;
        case G::Delete:
            present([path, record](Presenter& p) { p.runDelete(path, record); });
            return;
    }
}

void ErrorResolutionManager::handleTransferErrors(const std::string& path,
                                                  const CorvaneExtendedAttributes& record) {
    switch (record.ceaErrorStatus.status) {
        case E::ReadOnlyMappoint: {
            Alert alert{"Resolve Read Only Server Error",
                        "Please move the file " + path + " to a different volume",
                        {}};
            present([alert](Presenter& p) { p.runAlert(alert); });
            return;
        }
        case E::QuotaExceeded: {
            Alert alert{"Quota exceeded",
                        "The file " + path +
                            " was rejected by the server due to a lack of space. Please free some space "
                            "on the server and retry.",
                        {"OK", "Retry"}};
            present([this, alert, path, record](Presenter& p) {
                if (p.runAlert(alert) != 1) return;
                if (retryUpload(path, record) == outcome::itemChanged) p.runAlert(itemChangedAlert(path));
            });
            return;
        }
        case E::Conflict:
            present([path, record](Presenter& p) { p.runConflict(path, record); });
            return;
        default: {
            Alert alert{"Resolve Error",
                        "Cannot start the Resolve Transfer Manager [" +
                            CEAErrorStatus::rawValue(record.ceaErrorStatus.status) +
                            "] at this time for the file " + path,
                        {}};
            present([alert](Presenter& p) { p.runAlert(alert); });
            return;
        }
    }
}

// ---- texts

std::string ErrorResolutionManager::conflictHelpText(const std::string& path,
                                                     const CorvaneExtendedAttributes* record) {
    if (!record) return "Problem uploading item at " + path;
    return "The server reported a problem (" + CEAErrorStatus::rawValue(record->ceaErrorStatus.status) +
           ") whilst trying to upload " + path;
}

std::string ErrorResolutionManager::deleteHelpText(const std::string& path,
                                                   const CorvaneExtendedAttributes* record) {
    if (!record) return "Problem deleting item at " + path;
    std::string name = quoted(platform::lastPathComponent(path));
    switch (record->ceaErrorStatus.status) {
        case E::Conflict:
            return "The locally deleted file " + name +
                   " had been modified on the server. Please review the content before retrying the "
                   "delete.";
        case E::PermissionDenied:
            return "The server has denied the deletion of " + name + ".";
        case E::FileInUse:
            return "The server could not remove " + name + " because it is in use. Please try again later.";
        case E::FolderNotEmpty:
            return "The locally deleted folder " + name +
                   " contained new content on the server. Please review the content before retrying the "
                   "delete.";
        default:
            return "The server reported a problem whilst trying to remove " + path;
    }
}

std::string ErrorResolutionManager::createConflictFilename(const std::string& path) {
    std::string folder = platform::parentFolder(path);
    std::string name = platform::lastPathComponent(path);
    // A leading dot starts a hidden name, not an extension (".profile" has none).
    size_t dot = name.rfind('.');
    std::string stem = name, extension;
    if (dot != std::string::npos && dot > 0 && dot + 1 < name.size()) {
        stem = name.substr(0, dot);
        extension = name.substr(dot);
    }
    std::string prefix = folder == "/" ? "/" : folder + "/";
    for (unsigned n = 2;; ++n) {
        std::string candidate = stem + " (" + std::to_string(n) + ")" + extension;
        if (!exists(prefix + candidate) || n == 100000) return candidate;
    }
}

ErrorResolutionManager::Alert ErrorResolutionManager::nameTakenAlert(const std::string& newName) {
    return {"Rename file",
            "The filename " + newName + " already exists, please select a different filename.",
            {}};
}

ErrorResolutionManager::Alert ErrorResolutionManager::itemChangedAlert(const std::string& path) {
    return {"Resolve Error",
            "The file " + path +
                " changed while this window was open, so nothing was done. Choose Resolve Error again to "
                "see its current state.",
            {}};
}

// ---- resolutions

bool ErrorResolutionManager::unchanged(const CorvaneExtendedAttributes& now,
                                       const CorvaneExtendedAttributes& seen) {
    return now.ceaStatus.status == seen.ceaStatus.status &&
           now.ceaErrorStatus.status == seen.ceaErrorStatus.status &&
           now.ceaErrorStatus.genre == seen.ceaErrorStatus.genre &&
           now.ceaString.getAttribute(CEAString::keys::Revision) ==
               seen.ceaString.getAttribute(CEAString::keys::Revision) &&
           now.ceaString.getAttribute(CEAString::keys::ConflictRevision) ==
               seen.ceaString.getAttribute(CEAString::keys::ConflictRevision);
}

ErrorResolutionManager::outcome ErrorResolutionManager::discardLocal(const std::string& path,
                                                                     const CorvaneExtendedAttributes& seen) {
    CorvaneExtendedAttributes record(path);
    if (!exists(path) || !unchanged(record, seen)) return outcome::itemChanged;
    // The record first: a crash between the two steps leaves an item waiting for its download (which
    // replaces the content the user chose to discard), never an empty file that claims to be in error.
    clearError(record, S::RequireDownload);
    if (!record.save()) return outcome::itemChanged;
    if (!RevisionUpdate::truncateFile(path)) log().logWarning("Could not empty " + path);
    ServerFileObject entry(platform::lastPathComponent(path), record);
    timeline().addDownload(platform::parentFolder(path), entry);
    log().logAudit("Discarded local changes of " + path);
    return outcome::done;
}

ErrorResolutionManager::outcome ErrorResolutionManager::overwriteServer(
    const std::string& path, const CorvaneExtendedAttributes& seen) {
    CorvaneExtendedAttributes record(path);
    if (!exists(path) || !unchanged(record, seen)) return outcome::itemChanged;
    if (auto conflict = record.ceaString.getAttribute(CEAString::keys::ConflictRevision)) {
        std::string value = *conflict;
        removeString(record, CEAString::keys::ConflictRevision);
        record.ceaString.setAttribute(CEAString::keys::Revision, value);
    }
    removeString(record, CEAString::keys::UploadGUID);
    clearError(record, S::RequireUpload);
    if (!record.save()) return outcome::itemChanged;
    timeline().addUploadEvent(path);
    log().logAudit("Overwriting the server copy of " + path);
    return outcome::done;
}

ErrorResolutionManager::outcome ErrorResolutionManager::prepareRename(const std::string& path,
                                                                      const std::string& newName,
                                                                      bool localTakesNewName,
                                                                      const CorvaneExtendedAttributes& seen,
                                                                      RenamePlan* plan) {
    std::string folder = platform::parentFolder(path);
    std::string newPath = (folder == "/" ? "" : folder) + "/" + newName;
    if (!usableName(newName) || exists(newPath)) return outcome::nameTaken;
    CorvaneExtendedAttributes record(path);
    if (!exists(path) || !unchanged(record, seen)) return outcome::itemChanged;

    ServerFileObject entry(platform::lastPathComponent(path), record);
    if (auto conflict = record.ceaString.getAttribute(CEAString::keys::ConflictRevision)) {
        entry.revision = *conflict;
        removeString(record, CEAString::keys::ConflictRevision);
    }
    // The local copy is a new file for the server.
    record.ceaString.setAttribute(CEAString::keys::Revision, "0");
    removeString(record, CEAString::keys::UploadGUID);
    clearError(record, S::RequireUpload);
    if (!record.save()) return outcome::itemChanged;

    plan->path = path;
    plan->newPath = newPath;
    plan->localTakesNewName = localTakesNewName;
    plan->serverRevision = entry.revision;
    plan->serverSize = record.ceaLong.getAttribute(CEALong::keys::ServerFileSize);
    return outcome::done;
}

void ErrorResolutionManager::finishRename(const RenamePlan& plan) {
    ServerFileObject entry(platform::lastPathComponent(plan.path), plan.serverRevision, plan.serverSize);
    if (plan.localTakesNewName) {
        if (::rename(plan.path.c_str(), plan.newPath.c_str()) != 0)
            log().logWarning("Could not rename " + plan.path + " to " + plan.newPath);
        timeline().addUploadEvent(plan.newPath);
        timeline().addDownloadSync(platform::parentFolder(plan.path), entry, false);
        log().logAudit("Conflict of " + plan.path + " resolved: the local copy is now " + plan.newPath);
        return;
    }
    MoveDetails move(plan.path, plan.newPath, plan.serverRevision);
    auto [result, error] = move.performServerAction();
    if (result != normalisedResponse::allOkay)
        log().logWarning("The server could not rename " + plan.path + " to " + plan.newPath + ": " +
                         toString(error));
    entry.name = platform::lastPathComponent(plan.newPath);
    timeline().addUploadEvent(plan.path);
    timeline().addDownloadSync(platform::parentFolder(plan.newPath), entry, false);
    log().logAudit("Conflict of " + plan.path + " resolved: the server copy is now " + plan.newPath);
}

ErrorResolutionManager::outcome ErrorResolutionManager::ignoreError(const std::string& path,
                                                                    const CorvaneExtendedAttributes& seen) {
    CorvaneExtendedAttributes record(path);
    if (!exists(path) || !unchanged(record, seen)) return outcome::itemChanged;
    clearError(record, S::Placeholder);
    if (!record.save()) return outcome::itemChanged;
    return outcome::done;
}

ErrorResolutionManager::outcome ErrorResolutionManager::retryDelete(const std::string& path,
                                                                    const CorvaneExtendedAttributes& seen) {
    CorvaneExtendedAttributes record(path);
    if (!exists(path) || !unchanged(record, seen)) return outcome::itemChanged;
    recurseRetryDelete(path);
    return outcome::done;
}

bool ErrorResolutionManager::recurseRetryDelete(const std::string& path) {
    auto attributes = platform::attributesOfItem(path);
    if (!attributes) return false;
    if (attributes->type == platform::kFileTypeDirectory) {
        auto entries = platform::entriesOfFolder(path);
        if (!entries) return false;
        bool all = true;
        for (const auto& name : *entries) all = recurseRetryDelete(path + "/" + name) && all;
        // A folder that keeps something the server never had stays, here and on the server.
        if (!all) return false;
        TLDelete(path, CorvaneExtendedAttributes(path)).performAction();
        std::error_code ec;
        std::filesystem::remove(path, ec);
        return !ec;
    }
    if (attributes->type == platform::kFileTypeRegular) {
        CorvaneExtendedAttributes record(path);
        auto state = record.ceaStatus.status;
        // Content written here that never reached the server would be lost with the file: keep it.
        if (state == S::RequireUpload || state == S::LocalOnly || state == S::Unknown) {
            log().logWarning("Not deleting " + path + ": it holds changes the server does not have");
            return false;
        }
        TLDelete(path, record).performAction();
        return ::unlink(path.c_str()) == 0;
    }
    return true;
}

ErrorResolutionManager::outcome ErrorResolutionManager::retryUpload(const std::string& path,
                                                                    const CorvaneExtendedAttributes& seen) {
    CorvaneExtendedAttributes record(path);
    if (!exists(path) || !unchanged(record, seen)) return outcome::itemChanged;
    clearError(record, S::RequireUpload);
    if (!record.save()) return outcome::itemChanged;
    timeline().addUploadEvent(path);
    return outcome::done;
}

}  // namespace tw
