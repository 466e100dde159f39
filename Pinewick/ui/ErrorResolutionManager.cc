#include "Pinewick/ui/ErrorResolutionManager.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "Pinewick/config/Log.h"
#include "Pinewick/engine/DownloadSync.h"
#include "Pinewick/engine/TLEvent.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CEAUtils.h"
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

ErrorResolutionManager::ErrorResolutionManager(TimeLineManager& timeline) : timeline_(timeline) {}

TimeLineManager& ErrorResolutionManager::timeline() {
    return timeline_;
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
            Alert alert = *alertFor(path, record);
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
    if (record.ceaErrorStatus.status == E::Conflict) {
        present([path, record](Presenter& p) { p.runConflict(path, record); });
        return;
    }
    Alert alert = *alertFor(path, record);
    if (record.ceaErrorStatus.status == E::QuotaExceeded) {
        present([this, alert, path, record](Presenter& p) {
            if (p.runAlert(alert) != 1) return;
            if (retryUpload(path, record) == outcome::itemChanged) p.runAlert(itemChangedAlert(path));
        });
        return;
    }
    present([alert](Presenter& p) { p.runAlert(alert); });
}

std::optional<ErrorResolutionManager::Alert> ErrorResolutionManager::alertFor(
    const std::string& path, const CorvaneExtendedAttributes& record) {
    switch (record.ceaErrorStatus.genre) {
        case G::None:
            return Alert{"Resolve Error",
                         "Cannot start the Resolve " + CEAErrorStatus::rawValue(G::None) +
                             " Manager at this time for the file " + path,
                         {}};
        case G::Delete:
            return std::nullopt;
        case G::Transfer:
            break;
    }
    switch (record.ceaErrorStatus.status) {
        case E::ReadOnlyMappoint:
            return Alert{"Resolve Read Only Server Error",
                         "Please move the file " + path + " to a different volume",
                         {}};
        case E::QuotaExceeded:
            return Alert{"Quota exceeded",
                         "The file " + path +
                             " was rejected by the server due to a lack of space. Please free some space on "
                             "the server and retry.",
                         {"OK", "Retry"}};
        case E::Conflict:
            return std::nullopt;
        default:
            return Alert{"Resolve Error",
                         "Cannot start the Resolve Transfer Manager [" +
                             CEAErrorStatus::rawValue(record.ceaErrorStatus.status) +
                             "] at this time for the file " + path,
                         {}};
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
        if (!platform::itemExists(prefix + candidate) || n == 100000) return candidate;
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
    if (!platform::itemExists(path) || !unchanged(record, seen)) return outcome::itemChanged;
    // The record first: a crash between the two steps leaves an item waiting for its download (which
    // replaces the content the user chose to discard), never an empty file that claims to be in error.
    clearError(record, S::RequireDownload);
    if (!record.save()) return outcome::itemChanged;
    if (!RevisionUpdate::truncateFile(path)) log().logWarning("Could not empty " + path);
    ServerFileObject entry = entryFromRecord(platform::lastPathComponent(path), record);
    timeline().addDownload(platform::parentFolder(path), entry);
    log().logAudit("Discarded local changes of " + path);
    return outcome::done;
}

ErrorResolutionManager::outcome ErrorResolutionManager::overwriteServer(
    const std::string& path, const CorvaneExtendedAttributes& seen) {
    CorvaneExtendedAttributes record(path);
    if (!platform::itemExists(path) || !unchanged(record, seen)) return outcome::itemChanged;
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
    if (!usableName(newName) || platform::itemExists(newPath)) return outcome::nameTaken;
    CorvaneExtendedAttributes record(path);
    if (!platform::itemExists(path) || !unchanged(record, seen)) return outcome::itemChanged;

    ServerFileObject entry = entryFromRecord(platform::lastPathComponent(path), record);
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

namespace {

// The server's version as it stands at `localPath` now. The record knew only the size of the version
// last synchronised, not of the one that conflicted with it: downloading with that size would be
// refused for ever.
ServerFileObject serverVersionAt(const ServerEnvironment& server, const std::string& localPath,
                                 ServerFileObject known) {
    FetchAttributes current(server, localPath);
    if (current.performServerAction() == normalisedResponse::allOkay && current.fileObject &&
        !current.fileObject->isDirectory) {
        ServerFileObject entry = *current.fileObject;
        entry.name = platform::lastPathComponent(localPath);
        return entry;
    }
    return known;
}

}  // namespace

void ErrorResolutionManager::finishRename(const RenamePlan& plan) {
    ServerFileObject entry(platform::lastPathComponent(plan.path), plan.serverRevision, plan.serverSize);
    if (plan.localTakesNewName) {
        if (::rename(plan.path.c_str(), plan.newPath.c_str()) != 0)
            log().logWarning("Could not rename " + plan.path + " to " + plan.newPath);
        timeline().addUploadEvent(plan.newPath);
        timeline().addDownloadSync(platform::parentFolder(plan.path),
                                   serverVersionAt(timeline().context().server, plan.path, entry), false);
        log().logAudit("Conflict of " + plan.path + " resolved: the local copy is now " + plan.newPath);
        return;
    }
    MoveDetails move(timeline().context().server, plan.path, plan.newPath, plan.serverRevision);
    auto [result, error] = move.performServerAction();
    if (result != normalisedResponse::allOkay)
        log().logWarning("The server could not rename " + plan.path + " to " + plan.newPath + ": " +
                         toString(error));
    entry.name = platform::lastPathComponent(plan.newPath);
    timeline().addUploadEvent(plan.path);
    timeline().addDownloadSync(platform::parentFolder(plan.newPath),
                               serverVersionAt(timeline().context().server, plan.newPath, entry), false);
    log().logAudit("Conflict of " + plan.path + " resolved: the server copy is now " + plan.newPath);
}

ErrorResolutionManager::outcome ErrorResolutionManager::ignoreError(const std::string& path,
                                                                    const CorvaneExtendedAttributes& seen) {
    CorvaneExtendedAttributes record(path);
    if (!platform::itemExists(path) || !unchanged(record, seen)) return outcome::itemChanged;
    clearError(record, S::Placeholder);
    if (!record.save()) return outcome::itemChanged;
    return outcome::done;
}

ErrorResolutionManager::outcome ErrorResolutionManager::retryDelete(const std::string& path,
                                                                    const CorvaneExtendedAttributes& seen,
                                                                    std::vector<std::string>* kept) {
    CorvaneExtendedAttributes record(path);
    if (!platform::itemExists(path) || !unchanged(record, seen)) return outcome::itemChanged;
    return recurseRetryDelete(path, kept) ? outcome::done : outcome::partlyDone;
}

bool ErrorResolutionManager::recurseRetryDelete(const std::string& path, std::vector<std::string>* kept) {
    auto attributes = platform::attributesOfItem(path);
    if (!attributes) return false;
    if (attributes->type == platform::kFileTypeDirectory) {
        auto entries = platform::entriesOfFolder(path);
        if (!entries) return false;
        bool all = true;
        for (const auto& name : *entries) all = recurseRetryDelete(path + "/" + name, kept) && all;
        // A folder that keeps something the server never had stays, here and on the server.
        if (!all) return false;
        TLDelete(path, CorvaneExtendedAttributes(path)).performAction(timeline().context());
        std::error_code ec;
        std::filesystem::remove(path, ec);
        return !ec;
    }
    if (attributes->type == platform::kFileTypeRegular) {
        CorvaneExtendedAttributes record(path);
        auto state = record.ceaStatus.status;
        // Content written here that never reached the server would be lost with the file: keep it. That
        // is content waiting to be sent, content the server refused (a conflict, a full server), and
        // a synchronised file changed since it last agreed with the server.
        if (state == S::RequireUpload || state == S::LocalOnly || state == S::Unknown ||
            state == S::ErrorRegular || (state == S::Regular && CEAUtils::hasLocalChanges(path, record))) {
            log().logWarning("Not deleting " + path + ": it holds changes the server does not have");
            if (kept) kept->push_back(path);
            return false;
        }
        TLDelete(path, record).performAction(timeline().context());
        return ::unlink(path.c_str()) == 0;
    }
    return true;
}

ErrorResolutionManager::outcome ErrorResolutionManager::retryUpload(const std::string& path,
                                                                    const CorvaneExtendedAttributes& seen) {
    CorvaneExtendedAttributes record(path);
    if (!platform::itemExists(path) || !unchanged(record, seen)) return outcome::itemChanged;
    clearError(record, S::RequireUpload);
    if (!record.save()) return outcome::itemChanged;
    timeline().addUploadEvent(path);
    return outcome::done;
}

// ---- the same choices without a window

const char* ErrorResolutionManager::actionName(action a) {
    switch (a) {
        case action::keepMine:
            return "keep-mine";
        case action::keepServer:
            return "keep-server";
        case action::keepBoth:
            return "keep-both";
        case action::retryDelete:
            return "retry-delete";
        case action::keepServerCopy:
            return "keep-server-copy";
        case action::retryQuota:
            return "retry-quota";
    }
    return "";
}

std::optional<ErrorResolutionManager::action> ErrorResolutionManager::actionNamed(const std::string& name) {
    for (action a : allActions)
        if (name == actionName(a)) return a;
    return std::nullopt;
}

std::string ErrorResolutionManager::actionLabel(action a) {
    switch (a) {
        case action::keepMine:
            return "Keep my version and replace the server's";
        case action::keepServer:
            return "Keep the server's version and discard my changes";
        case action::keepBoth:
            return "Keep both, giving one of them a new name";
        case action::retryDelete:
            return "Delete it again, here and on the server";
        case action::keepServerCopy:
            return "Keep the server's copy here";
        case action::retryQuota:
            return "Retry the upload, once there is space on the server";
    }
    return "";
}

std::vector<ErrorResolutionManager::action> ErrorResolutionManager::actionsFor(
    const CorvaneExtendedAttributes& record) {
    switch (record.ceaErrorStatus.genre) {
        case G::None:
            return {};
        case G::Delete:
            return {action::keepServerCopy, action::retryDelete};
        case G::Transfer:
            break;
    }
    switch (record.ceaErrorStatus.status) {
        case E::Conflict:
            return {action::keepMine, action::keepServer, action::keepBoth};
        case E::QuotaExceeded:
            return {action::retryQuota};
        default:
            return {};
    }
}

std::string ErrorResolutionManager::problemText(const std::string& path,
                                                const CorvaneExtendedAttributes& record) {
    if (record.ceaErrorStatus.genre == G::Delete) return deleteHelpText(path, &record);
    if (auto alert = alertFor(path, record)) return alert->informative;
    return conflictHelpText(path, &record);
}

namespace {

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : separator) + p;
    return out;
}

}  // namespace

ErrorResolutionManager::Result ErrorResolutionManager::resolveNow(const std::string& path,
                                                                  const Choice& choice) {
    if (!platform::itemExists(path)) return {outcome::notOffered, "There is no item at " + path + "."};
    CorvaneExtendedAttributes seen(path);
    auto offered = actionsFor(seen);
    if (std::find(offered.begin(), offered.end(), choice.what) == offered.end()) {
        auto state = seen.ceaStatus.status;
        if (seen.ceaErrorStatus.genre == G::None && state != S::ErrorRegular && state != S::ErrorPlaceHolder)
            return {outcome::notOffered, path + " is not in error: there is nothing to resolve."};
        if (offered.empty())
            return {outcome::notOffered,
                    "There is no choice to make for " + path + ". " + problemText(path, seen)};
        std::vector<std::string> names;
        for (action a : offered) names.push_back(actionName(a));
        return {outcome::notOffered, std::string(actionName(choice.what)) + " is not a choice for " + path +
                                         "; its choices are " + joined(names, ", ") + "."};
    }
    const std::string changed =
        path + " changed meanwhile, so nothing was done. Look at its state again before choosing.";
    outcome result = outcome::done;
    std::string text;
    switch (choice.what) {
        case action::keepMine:
            result = overwriteServer(path, seen);
            text = "Your version of " + path + " replaces the server's; it is being uploaded.";
            break;
        case action::keepServer:
            result = discardLocal(path, seen);
            text = "Your changes to " + path + " were discarded; the server's version is being downloaded.";
            break;
        case action::keepBoth: {
            const std::string name = choice.newName.empty() ? createConflictFilename(path) : choice.newName;
            RenamePlan plan;
            result = prepareRename(path, name, choice.localTakesNewName, seen, &plan);
            if (result == outcome::nameTaken) return {result, nameTakenAlert(name).informative};
            if (result == outcome::done) finishRename(plan);
            text = choice.localTakesNewName
                       ? "Your version of " + path + " is now " + quoted(name) +
                             " and is being uploaded; the server's version comes back under the old name."
                       : "The server's version of " + path + " is now " + quoted(name) +
                             "; yours replaces it under the old name and is being uploaded.";
            break;
        }
        case action::retryDelete: {
            std::vector<std::string> kept;
            result = retryDelete(path, seen, &kept);
            std::sort(kept.begin(), kept.end());
            if (result == outcome::partlyDone) {
                text = kept.empty()
                           ? "Not all of " + path + " could be deleted; the log says why."
                           : "Kept what holds changes the server does not have: " + joined(kept, ", ") +
                                 ". The rest of " + path + " was deleted here and on the server.";
            } else {
                text = path + " was deleted here and on the server.";
            }
            break;
        }
        case action::keepServerCopy:
            result = ignoreError(path, seen);
            text = path + " stays as the server's copy; its content comes down when it is opened.";
            break;
        case action::retryQuota:
            result = retryUpload(path, seen);
            text = path + " is being uploaded again.";
            break;
    }
    if (result == outcome::itemChanged) return {result, changed};
    if (result == outcome::done || result == outcome::partlyDone)
        log().logAudit("Error of " + path + " resolved from the command line: " + actionName(choice.what));
    return {result, text};
}

}  // namespace tw
