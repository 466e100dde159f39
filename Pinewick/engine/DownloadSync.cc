#include "Pinewick/engine/DownloadSync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "Pinewick/config/Log.h"
#include "Pinewick/engine/ChangeScan.h"
#include "Pinewick/engine/TLUpload.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CEAUtils.h"
#include "platform/fd.h"
#include "platform/files.h"

namespace tw {
namespace {

using S = CEAStatus::keys;

double secondsSince1970(Date d) {
    return std::chrono::duration<double>(d.time_since_epoch()).count();
}

void applyDates(const std::string& path, const ServerFileObject& file) {
    platform::SysError e;
    if (!platform::setCreationDate(path, secondsSince1970(file.creationDate), &e))
        log().logWarning("Could not set the creation date: " + e.describe());
    if (!platform::setModificationDate(path, secondsSince1970(file.modificationDate), &e))
        log().logWarning("Could not set the modification date: " + e.describe());
}

}  // namespace

// ---- DownloadSync

void DownloadSync::performAction(EventContext& context) {
    std::string path = localFolder + "/" + file.name;
    log().logFunction(prettyLog("-> " + path, __FILE__, "performAction()"));
    auto done = [&] { log().logFunction(prettyLog("<- " + path, __FILE__, "performAction()")); };
    if (!file.hasUsableName()) {
        log().logWarning("Not creating a server item with an unusable name in " + localFolder);
        return done();
    }
    if (checkExists) {
        FetchAttributes again(context.server, path);
        if (again.performServerAction() != normalisedResponse::allOkay) return done();
    }
    // The folder itself may have been removed while the event waited: nothing is made in its place.
    if (!platform::isFolder(localFolder)) {
        log().logWarning("The folder " + localFolder + " is gone; not creating " + file.name + " in it");
        return done();
    }
    auto& timeline = context.timeline;
    if (file.isDirectory) {
        if (::mkdir(path.c_str(), 0755) != 0 && !(errno == EEXIST && platform::isFolder(path))) {
            log().logWarning("Could not create the folder " + path + ": " + std::strerror(errno));
            return done();
        }
        applyDates(path, file);
        auto record = CEAUtils::refreshFolder(path, file.serverFacts());
        if (record.ceaStatus.status == S::Regular) timeline.addSyncFolderEvent(path, false);
        return done();
    }
    platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
        // Something took the name since the listing (a file the user just made): it is left alone,
        // and the next listing compares it with the server like any item on both sides.
        log().logWarning("Not creating a placeholder over an existing item " + path + ": " +
                         std::strerror(errno));
        return done();
    }
    fd.reset();
    applyDates(path, file);
    // Saved once, in the state the item is to have: a Regular record written first over the empty file
    // would stand for content it does not hold, and a failed second save would leave it so (its
    // "change" would then be sent over the server's content).
    auto record = CEAUtils::refreshedFile(path, file.serverFacts());
    // Automatic mode: the placeholder's content is fetched at once.
    bool fetch = record.ceaStatus.status == S::Regular;
    if (fetch) record.ceaStatus.setStatus(S::RequireDownload);
    if (auto saved = record.save(); !saved) {
        // Nothing written: the empty file is taken for one never synchronised, and sent without a
        // revision the server refuses it as a conflict with its item. Nothing is fetched into it.
        log().logWarning("The placeholder " + path + " was made, but its record could not be written (" +
                         saved.cause().describe() + ")");
        return done();
    }
    if (fetch) timeline.addDownload(localFolder, file);
    done();
}

// ---- RevisionUpdate

RevisionUpdate::RevisionUpdate(std::string folder, ServerFileObject entry)
    : localFolder(std::move(folder)), file(std::move(entry)), snapshotXAttr(localFolder + "/" + file.name) {}

bool RevisionUpdate::truncateFile(const std::string& path, std::optional<platform::FileAttributes> expected) {
    platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        log().logWarning("Could not open " + path + " to empty it: " + std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    // Checked on the open file, right before emptying it, so a write that landed after the decision
    // keeps the file whole.
    int64_t mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    if (expected &&
        (static_cast<uint64_t>(st.st_size) != expected->size || mtime != expected->modificationNanos)) {
        log().logWarning("Not emptying " + path + ": it changed locally");
        return false;
    }
    if (::ftruncate(fd.get(), 0) != 0) {
        log().logWarning("Could not empty " + path + ": " + std::strerror(errno));
        return false;
    }
    return fd.close();
}

void RevisionUpdate::performAction(EventContext& context) {
    std::string path = localFolder + "/" + file.name;
    log().logFunction(prettyLog("-> " + path, __FILE__, "performAction()"));
    auto done = [&] { log().logFunction(prettyLog("<- " + path, __FILE__, "performAction()")); };
    auto attrs = platform::attributesOfItem(path);
    if (!attrs || attrs->type != platform::kFileTypeRegular) return done();
    auto& timeline = context.timeline;
    CorvaneExtendedAttributes record(path);
    auto revision = record.ceaString.getAttribute(CEAString::keys::Revision);
    S state = record.ceaStatus.status;
    if (!revision) {
        // A local file the sync never classified, beside a server file of the same name: sending it
        // with no revision lets the server report the conflict instead of either side being lost.
        if (state == S::Unknown) timeline.addUploadEvent(path);
        return done();
    }
    if (*revision == file.revision) {
        if (state == S::RequireUpload)
            timeline.addUploadEvent(path);
        else if (state == S::RequireDownload)
            timeline.addDownload(localFolder, file);
        else if (state == S::Regular && file.size != attrs->size &&
                 record.ceaLong.getAttribute(CEALong::keys::ServerFileSize) == file.size)
            // In step when last synchronised, another size now: saved while no report of it reached
            // the engine (it was not running, or was stopped between the watcher's report and its
            // handling). Sent now, on the server's revision.
            timeline.addCloseEvent(path);
        return done();
    }
    switch (state) {
        case S::Placeholder:
        case S::ErrorPlaceHolder:
            CEAUtils::refreshFilePath(path, file.serverFacts());
            break;
        case S::Regular: {
            if (snapshotXAttr.ceaStatus.status == S::RequireUpload) break;
            if (CEAUtils::hasLocalChanges(path, record)) {
                // Changed here and on the server: the upload on the old revision is refused by the
                // server and leaves the file in conflict for the user; both copies survive.
                log().logWarning("Changed locally and on the server, not replaced: " + path);
                timeline.addCloseEvent(path);
                break;
            }
            if (!truncateFile(path, attrs)) {
                timeline.addCloseEvent(path);
                break;
            }
            // The new revision and the wait for its content are saved together: the new revision
            // written alone over the emptied file would have that file sent over the server's content.
            auto refreshed = CEAUtils::refreshedFile(path, file.serverFacts());
            refreshed.ceaStatus.setStatus(S::RequireDownload);
            if (auto saved = refreshed.save(); !saved) {
                // Nothing written: the record still names the old revision and the content it had. The
                // emptied file differs from that, and sent on the old revision it is refused as a
                // conflict: shown to the user, and nothing is replaced on the server.
                log().logWarning(path + " was emptied for revision " + file.revision +
                                 ", but its record could not be written (" + saved.cause().describe() +
                                 "); it is not fetched");
                break;
            }
            timeline.addDownload(localFolder, file);
            break;
        }
        default:
            // Pending local changes and errors wait for their own resolution.
            break;
    }
    done();
}

// ---- TLServerRequestedDelete

namespace {
// An item under a name the system cannot synchronise never reached the server as itself (renamed so
// while nobody watched, it may still carry the record of what it was): the server's delete is not about
// it, and it stays.
bool keptAsUnsynchronisable(const std::string& path) {
    std::string why = ChangeScan::whyNotSynchronisable(path);
    if (why.empty()) return false;
    log().logWarning("Keeping " + ChangeScan::printablePath(path) + ": " + why);
    return true;
}
}  // namespace

void TLServerRequestedDelete::performAction(EventContext& context) {
    log().logFunction(prettyLog("-> " + localPath, __FILE__, "performAction()"));
    auto done = [&] { log().logFunction(prettyLog("<- " + localPath, __FILE__, "performAction()")); };
    auto attrs = platform::attributesOfItem(localPath);
    if (!attrs) return done();
    FetchAttributes again(context.server, localPath);
    // Only the server's plain "no such item" counts; any other refusal or failure leaves the item.
    if (again.performServerAction() != normalisedResponse::attemptRecovery ||
        again.serverErrorCode != serverError::itemNotFound) {
        log().logDebug("The server still answers for " + localPath + "; keeping it");
        return done();
    }
    if (attrs->type == platform::kFileTypeDirectory) {
        recurseDelete(context, localPath);
        return done();
    }
    CorvaneExtendedAttributes record(localPath);
    if (record.ceaStatus.status == snapshotXAttr.ceaStatus.status)
        deleteOrUploadFile(context, localPath);
    else
        log().logDebug("State of " + localPath + " changed since the listing; keeping it");
    done();
}

void TLServerRequestedDelete::deleteOrUploadFile(EventContext& context, const std::string& path) {
    if (keptAsUnsynchronisable(path)) return;
    auto& timeline = context.timeline;
    CorvaneExtendedAttributes record(path);
    auto attrs = platform::attributesOfItem(path);
    if (!attrs) return;
    bool remove = false;
    switch (record.ceaStatus.status) {
        case S::RequireUpload:
            timeline.addUploadEvent(path);
            break;
        case S::ErrorRegular:
            break;
        case S::LocalOnly:
            // Never on the server by design: its absence there says nothing about it.
            break;
        case S::Unknown:
            if (!context.timeline.inIgnoreList(path)) {
                timeline.addCloseEvent(path);
            } else if (attrs->size == 0 || path.ends_with(".DS_Store")) {
                remove = true;
            } else {
                // Never synchronised, so the server's delete cannot be about it.
                log().logWarning("Keeping the unsynchronised file " + path);
            }
            break;
        case S::Regular:
            if (attrs->type == platform::kFileTypeRegular && CEAUtils::hasLocalChanges(path, record)) {
                log().logWarning("Changed locally, uploading instead of deleting: " + path);
                timeline.addCloseEvent(path);
            } else {
                remove = true;
            }
            break;
        case S::Placeholder:
        case S::ErrorPlaceHolder:
            // A placeholder holds no content of its own; one that does was written by someone.
            if (attrs->type == platform::kFileTypeRegular && attrs->size != 0)
                log().logWarning("Keeping the placeholder " + path + ": it holds content");
            else
                remove = true;
            break;
        case S::RequireDownload:
            remove = true;
            break;
    }
    if (!remove) return;
    if (::unlink(path.c_str()) == 0)
        log().logAudit("Deleted file " + path + " because it is no longer on the server");
    else
        log().logWarning("Could not delete " + path + ": " + std::strerror(errno));
}

void TLServerRequestedDelete::recurseDelete(EventContext& context, const std::string& path) {
    auto names = platform::entriesOfFolder(path);
    if (!names) return;
    for (const auto& name : *names) {
        std::string entry = path + "/" + name;
        auto a = platform::attributesOfItem(entry);
        if (!a || keptAsUnsynchronisable(entry)) continue;
        // lstat: a link to a folder is removed as a link, never followed out of the tree.
        if (a->type == platform::kFileTypeDirectory)
            recurseDelete(context, entry);
        else
            deleteOrUploadFile(context, entry);
    }
    removeEmptyFolder(context, path);
}

void TLServerRequestedDelete::removeEmptyFolder(EventContext& context, const std::string& path) {
    auto names = platform::entriesOfFolder(path);
    if (!names) return;
    if (names->empty()) {
        if (::rmdir(path.c_str()) == 0)
            log().logAudit("Deleting folder " + path + " because it is no longer on server");
        else
            log().logWarning("Could not delete the folder " + path + ": " + std::strerror(errno));
        return;
    }
    // Files kept for upload need their folder on the server again. The folder's record says it was
    // synchronised, which would make the creation a no-op; it is new to the server now.
    {
        CorvaneExtendedAttributes record(path);
        record.ceaStatus.setStatus(S::Unknown);
        // Unwritten (the record logged why), the creation below finds the folder classified and does
        // nothing; the uploads of the files kept create it on the server when they find it missing.
        (void)record.save();
    }
    TLCreateFolder(path).performAction(context);
}

}  // namespace tw
