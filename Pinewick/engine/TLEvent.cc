#include "Pinewick/engine/TLEvent.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>
#include <tuple>

#include "Pinewick/config/Log.h"
#include "Pinewick/engine/DownloadSync.h"
#include "Pinewick/engine/RestoreDeletedManager.h"
#include "Pinewick/engine/TLUpload.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CEAUtils.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/server/ServerCopy.h"
#include "Pinewick/server/ServerFileObject.h"
#include "Pinewick/volumes/EngineLink.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/casefold.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace tw {
namespace {

// Whether no file has identity (volume, node) any more, so a database row with it describes the item
// just deleted at `path`.
bool identityIsGone(uint64_t volume, uint64_t node, const std::string& path) {
    std::string volPath = "/.vol/" + std::to_string(volume) + "/" + std::to_string(node);
    if (auto resolved = platform::resolveVolPath(volPath)) return resolved->rfind("/.vol/", 0) == 0;
    // Nobody resolves identities here: the item at the path itself is the only one we can ask.
    struct stat st {};
    return !(::lstat(path.c_str(), &st) == 0 && st.st_dev == volume && st.st_ino == node);
}

bool isFolderType(const CorvaneExtendedAttributes& record) {
    return record.ceaString.getAttribute(CEAString::keys::FileType) ==
           std::string(platform::kFileTypeDirectory);
}

// How long a renamed item may stay out of sight under its new name after its report.
constexpr auto kRenameSettles = std::chrono::seconds(1);

// The watcher reports a rename just before the kernel takes it in (its reports keep the order of the
// operations so), so for a moment the new name may still be missing to anyone looking at the mount.
// Waits, up to `kRenameSettles`, for `path` to be there; false when it is not (gone since, or never
// came).
bool renamedItemArrives(const std::string& path) {
    const auto until = std::chrono::steady_clock::now() + kRenameSettles;
    for (;;) {
        platform::SysError error;
        if (platform::attributesOfItem(path, &error, false)) return true;
        if (error.code != ENOENT || std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

bool isFolderRecord(const CorvaneExtendedAttributes& record, const std::string& revision) {
    // Records written before the file type was kept tell a folder by its missing revision.
    if (auto type = record.ceaString.getAttribute(CEAString::keys::FileType))
        return *type == platform::kFileTypeDirectory;
    return revision.empty();
}

bool onServer(const CorvaneExtendedAttributes& record, const std::string& revision) {
    if (!revision.empty()) return true;
    switch (record.ceaStatus.status) {
        case CEAStatus::keys::Unknown:
        case CEAStatus::keys::LocalOnly:
            return false;
        case CEAStatus::keys::RequireUpload:
            // A file waiting for its first upload; a folder is never in this state unless it was known.
            return isFolderType(record);
        default:
            // Regular, placeholders and errors: states only an item the server has reaches.
            return true;
    }
}

ServerFileObject entryFromRecord(const std::string& name, const CorvaneExtendedAttributes& record) {
    return ServerFileObject(name, record.ceaString.getAttribute(CEAString::keys::Revision),
                            record.ceaLong.getAttribute(CEALong::keys::ServerFileSize));
}

void TLEvent::performAction(EventContext&) {
    log().logDebug("Calling base function");
}

std::optional<std::string> TLEvent::timelineSave() {
    return std::nullopt;
}

bool TLEvent::holdsLineFeed(const std::string& path) {
    // Records are read back by lines: the rest of such a path would be read as a path of its own. No
    // record is better than one that acts on another item; the server refuses such names anyway.
    return path.find('\n') != std::string::npos;
}

std::string TLEvent::description() {
    return "Base should be overridden";
}

std::optional<std::string> TLEvent::extractLine(const std::string& text, const std::string& attribute) {
    // Anchored to a header line, so a path that holds another key's text ("/x/To: y") is never read
    // for that key.
    return findLineValue(text, attribute, kRecordIndent);
}

std::optional<std::string> TLEvent::extractBlock(const std::string& text, const std::string& attribute) {
    std::string needle = attribute + ": {\n";
    size_t at = text.find(needle);
    if (at == std::string::npos) return std::nullopt;
    size_t start = at + needle.size();
    size_t end = text.find("\n}\n", start);
    if (end == std::string::npos) return std::nullopt;
    return text.substr(start, end - start);
}

// ---- TLDelete

TLDelete::TLDelete(std::string path, CorvaneExtendedAttributes attrs)
    : localPath(std::move(path)), xAttrs(std::move(attrs)) {}

bool TLDelete::precheck(EventContext& context) {
    log().logFunction(prettyLog("-> " + description(), __FILE__, "precheck()"));
    bool result = true;
    if (context.timeline.inIgnoreList(localPath)) {
        result = false;
    } else if (xAttrs.ceaBool.getAttribute(CEABool::keys::ReadOnly)) {
        // The item may not go: put it back for the user to see why.
        ServerFileObject entry = entryFromRecord(platform::lastPathComponent(localPath), xAttrs);
        context.restorer.resetTimer();
        context.restorer.replaceItem(localPath, entry, CEAErrorStatus::keys::PermissionDenied);
        result = false;
    }
    log().logFunction(prettyLog(std::string("<- ") + (result ? "true" : "false"), __FILE__, "precheck()"));
    return result;
}

CEAErrorStatus::keys TLDelete::formErrorStatus(serverError error) {
    switch (error) {
        case serverError::couldNotLockFile:
            return CEAErrorStatus::keys::FileInUse;
        case serverError::revisionsDoNotMatch:
            return CEAErrorStatus::keys::Conflict;
        case serverError::mappointIsReadOnly:
        case serverError::permissionDenied:
            return CEAErrorStatus::keys::PermissionDenied;
        case serverError::folderNotEmpty:
            return CEAErrorStatus::keys::FolderNotEmpty;
        default:
            log().logWarning(std::string("Unhandled delete error ") + toString(error) +
                             " assuming permission denied");
            return CEAErrorStatus::keys::PermissionDenied;
    }
}

void TLDelete::performAction(EventContext& context) {
    // Run again after a pause that came as it finished: what it did stands. Sent again, a delete
    // handed to the file made again would take that file's server copy.
    if (settled_) return;
    // The item deleted and whatever stands at its path now, which a hand-over writes to: an event
    // beside this one acting on either (a file renamed to or from this path) goes first.
    std::pair<uint64_t, uint64_t> standing{0, 0};
    if (auto now = platform::attributesOfItem(localPath, nullptr, false))
        standing = {now->systemNumber, now->systemFileNumber};
    auto claim = context.timeline.claimItems({{xAttrs.volumeNumber, xAttrs.fileNumber}, standing});
    if (!claim) {
        handBack("another event acts on this item now");
        return;
    }
    // Rows of items gone from this path: dropped once the delete is decided (see the hand-over).
    std::vector<Record> goneRows;
    if (!revisionToDelete_) {
        std::string revision = xAttrs.ceaString.getAttribute(CEAString::keys::Revision).value_or("");
        auto& database = context.records;
        for (const Record& row : database.findRecord(localPath)) {
            uint64_t volume = context.volumes.volumeNodeFromVolumeUUID(row.volumeUUID);
            if (volume == 0) continue;
            if (!identityIsGone(volume, row.itemNode, localPath)) continue;
            goneRows.push_back(row);
            auto state = CEAStatus::fromRaw(row.state);
            // A file waiting to send a change is on the server all the same when its row holds the
            // revision it was uploaded as: taken as never sent, the server would keep it, and a file
            // made again under its name would be refused as a conflict with this client's own upload.
            bool neverSent = !state || *state == CEAStatus::keys::LocalOnly ||
                             *state == CEAStatus::keys::Unknown ||
                             (*state == CEAStatus::keys::RequireUpload && row.revision.empty());
            if (!neverSent) revision = row.revision;
        }
        // An upload or a folder creation that finished after the item was announced for deletion left
        // its revision or state by the item's identity (the record taken at the delete predates it).
        if (revision.empty() && xAttrs.fileNumber != 0 &&
            identityIsGone(xAttrs.volumeNumber, xAttrs.fileNumber, localPath)) {
            // (Only while no item has that identity: on a file system that hands a freed number to the
            // next file, the row may be the new file's.)
            std::string uuid = context.volumes.volumeNodeToVolumeUUID(xAttrs.volumeNumber);
            if (!uuid.empty())
                if (auto row = database.findRecord(xAttrs.fileNumber, uuid)) {
                    if (!row->revision.empty()) revision = row->revision;
                    // A folder has no revision: its row's state says the server has it.
                    auto state = CEAStatus::fromRaw(row->state);
                    reachedServerSince_ = state && *state != CEAStatus::keys::Unknown &&
                                          *state != CEAStatus::keys::LocalOnly &&
                                          *state != CEAStatus::keys::RequireUpload;
                    goneRows.push_back(*row);
                }
        }
        revisionToDelete_ = revision;
    }
    auto dropGoneRows = [&] {
        for (const Record& row : goneRows) context.records.removeRecord(row);
    };
    if (!onServer(xAttrs, *revisionToDelete_) && !reachedServerSince_) {
        // Its upload may have been carried out without this client seeing the answer: left there, the
        // next listing brings back a file the user removed, and its folder cannot go.
        auto made = madeByUnansweredExchange(context);
        if (!made) {
            dropGoneRows();
            runAgainLater("the server could not be asked whether it holds an upload of it");
            return;
        }
        reachedServerSince_ = *made;
    }
    if (!onServer(xAttrs, *revisionToDelete_) && !reachedServerSince_) {
        // Made and removed before it ever reached the server (a lock file, an editor's backup, a
        // temporary file): there is nothing there to delete.
        dropGoneRows();
        log().logDebug("Delete of " + localPath + " not sent: the item never reached the server");
        settled_ = true;
        return;
    }
    // Handed over, the rows stay: should the program replace the file once more before its upload
    // runs (git rewrites a file several times a second), that newer file's upload is refused as a
    // conflict with the revision handed over, and these rows are what tell it that revision is this
    // client's own.
    if (handOverToReplacement(context) || handOverToOtherSpelling(context)) {
        settled_ = true;
        return;
    }
    dropGoneRows();
    const std::string& revision = *revisionToDelete_;
    // Not sent, or no answer: the server may still hold the item, and dropping the delete would bring
    // the file back at the next listing.
    auto unanswered = [&](const DeleteDetails& d) {
        if (d.answered) return false;
        log().logWarning("The delete of " + localPath + " did not reach the server; it waits to be sent");
        runAgainLater();
        return true;
    };

    bool folder = isFolderRecord(xAttrs, revision);
    if (!folder && revision.empty()) {
        // Without the revision the user last had, a delete would take whatever the server holds now,
        // a colleague's version the user never saw included: that one stays and comes down again.
        log().logDebug("Delete of " + localPath + " not sent: no revision of it is known here");
        return;
    }
    DeleteDetails first(context.server, localPath, folder, revision);
    if (first.performServerDelete() == normalisedResponse::allOkay) {
        log().logAudit("Delete of item " + localPath + " requested by user");
        context.records.forgetSentUploads(localPath);
        settled_ = true;
        return;
    }
    if (unanswered(first)) return;
    if (first.serverErrorCode == serverError::couldNotLockFile) {
        log().logAudit("Retrying delete of item " + localPath);
        DeleteDetails again(context.server, localPath, folder, revision);
        if (again.performServerDelete() == normalisedResponse::allOkay) {
            log().logAudit("Delete of item " + localPath + " requested by user");
            settled_ = true;
            return;
        }
        if (unanswered(again)) return;
    }
    if (!first.restoreFile) {
        if (!context.timeline.suspended())
            log().logAudit("Failed to remove item " + localPath + " because of error " +
                           toString(first.serverErrorCode));
        return;
    }
    CEAErrorStatus::keys errorCode = formErrorStatus(first.serverErrorCode);
    context.restorer.resetTimer();
    context.restorer.replaceItem(localPath, *first.restoreFile, errorCode);
}

std::optional<bool> TLDelete::madeByUnansweredExchange(EventContext& context) {
    auto& records = context.records;
    // Most items removed before they were sent (lock files, temporary files) never were: no request.
    // (A record taken before the watcher knew the item may not say which it was.)
    auto type = xAttrs.ceaString.getAttribute(CEAString::keys::FileType);
    bool maybeFolder = (!type || *type == platform::kFileTypeDirectory) && records.sentFolder(localPath);
    bool maybeFile = !isFolderType(xAttrs) && records.anySentUpload(localPath);
    if (!maybeFolder && !maybeFile) return false;
    FetchAttributes fetch(context.server, localPath);
    normalisedResponse outcome = fetch.performServerAction();
    if (outcome == normalisedResponse::attemptRecovery) {
        // Answered: not there (what was sent never became an item), or not this client's to see.
        if (fetch.serverErrorCode == serverError::itemNotFound) records.forgetSentUploads(localPath);
        return false;
    }
    if (outcome != normalisedResponse::allOkay) return std::nullopt;
    if (!fetch.fileObject) return false;
    bool folder = fetch.fileObject->isDirectory;
    if (folder ? !maybeFolder : !maybeFile) return false;
    // A folder may go: the server refuses to delete one that holds anything. A file only when it is
    // what this client sent: a colleague's file made there meanwhile stays.
    if (!folder) {
        auto held = heldFacts(*fetch.fileObject);
        if (!records.sentUpload(localPath, held.size, held.modificationSeconds)) return false;
        revisionToDelete_ = fetch.fileObject->revision;
    }
    log().logDebug("Delete of " + localPath +
                   " is sent: the server holds it from an exchange whose answer was lost");
    return true;
}

bool TLDelete::handOverToOtherSpelling(EventContext& context) {
    if (isFolderRecord(xAttrs, *revisionToDelete_)) return false;
    std::string folder = platform::parentFolder(localPath);
    std::string name = platform::lastPathComponent(localPath);
    // Read where the items live, when the volume's folder is known: one look per delete, and a burst
    // of deletes must not each list the folder through the mount.
    auto names = platform::entriesOfFolder(platform::backingPathOf(folder));
    if (!names) return false;
    platform::CaselessName caseless(name);
    for (const auto& other : *names) {
        if (other == name || !caseless.matches(other)) continue;
        std::string otherPath = folder + "/" + other;
        auto attrs = platform::attributesOfItem(otherPath);
        if (!attrs || attrs->type != platform::kFileTypeRegular) continue;
        auto lock = context.timeline.lockRecord(otherPath);
        CorvaneExtendedAttributes spelt(otherPath);
        const std::string& revision = *revisionToDelete_;
        if (!spelt.ceaString.getAttribute(CEAString::keys::Revision) && !revision.empty() &&
            (spelt.ceaStatus.status == CEAStatus::keys::Unknown ||
             spelt.ceaStatus.status == CEAStatus::keys::RequireUpload)) {
            // Made under another spelling of the name: its upload replaces the server's item.
            spelt.ceaString.setAttribute(CEAString::keys::Revision, revision);
            spelt.ceaStatus.setStatus(CEAStatus::keys::RequireUpload);
            // Unwritten (the record logged why), it is sent without the revision: the server refuses
            // that as a conflict with its item rather than replace it. The delete is not sent either way.
            (void)spelt.save();
        }
        log().logAudit("Delete of " + localPath + " not sent: the server's item is " + otherPath + " here");
        return true;
    }
    return false;
}

bool TLDelete::handOverToReplacement(EventContext& context) {
    auto now = platform::attributesOfItem(localPath);
    if (!now || (xAttrs.fileNumber != 0 && now->systemFileNumber == xAttrs.fileNumber)) return false;
    const std::string& revision = *revisionToDelete_;
    bool wasFolder = isFolderRecord(xAttrs, revision);
    auto lock = context.timeline.lockRecord(localPath);
    CorvaneExtendedAttributes replacement(localPath);
    if (now->type == platform::kFileTypeRegular && !wasFolder &&
        replacement.ceaStatus.status != CEAStatus::keys::Unknown &&
        replacement.ceaString.getAttribute(CEAString::keys::Revision)) {
        // The file standing here is tied to a server item of this name already, by a record of its own:
        // this delete handed it the revision before a restart replayed it, its upload has made a newer
        // one since, a listing brought it, or it was renamed here (its move replaces the server's item
        // itself). The server's item is that file's now: sent on the old revision, the delete would
        // take its copy, or be refused as a conflict of this client's own making.
        log().logDebug("Delete of " + localPath +
                       " not sent: the server's item is the file standing there now");
        return true;
    }
    if (now->type == platform::kFileTypeDirectory && wasFolder) {
        // A folder removed and made again (a checkout, an unpacked archive): the server's folder stays,
        // and what is inside it now is sent into it.
        if (replacement.ceaStatus.status != CEAStatus::keys::Unknown) return false;
        replacement.ceaStatus.setStatus(CEAUtils::determineInhert(localPath));
        // Unwritten (the record logged why), the folder stays unclassified: a creation of it finds the
        // server's folder there, and a move asks the server first. The server's folder stays either way.
        (void)replacement.save();
        log().logDebug("Folder " + localPath + " was made again; the server's folder is kept for it");
        return true;
    }
    if (now->type == platform::kFileTypeRegular && !wasFolder && !revision.empty() &&
        !replacement.ceaString.getAttribute(CEAString::keys::Revision) &&
        (replacement.ceaStatus.status == CEAStatus::keys::Unknown ||
         replacement.ceaStatus.status == CEAStatus::keys::RequireUpload)) {
        // A file deleted and made again under the same name: its upload replaces the server's copy as a
        // new revision of it, so nothing is deleted in between and a colleague's change meanwhile still
        // shows as a conflict.
        replacement.ceaString.setAttribute(CEAString::keys::Revision, revision);
        replacement.ceaStatus.setStatus(CEAStatus::keys::RequireUpload);
        // Unwritten (the record logged why), the file is sent without the revision: the server refuses
        // that as a conflict with its copy rather than replace it. The delete is not sent either way.
        (void)replacement.save();
        log().logDebug("File " + localPath + " was made again; its upload continues revision " + revision);
        return true;
    }
    return false;
}

std::optional<std::string> TLDelete::timelineSave() {
    if (holdsLineFeed(localPath)) return std::nullopt;
    // The encoded attribute text (not the human-readable dump) is stored: it decodes by line without the
    // dump's header and trailer. Records in the dump form are still read back.
    return std::string("Delete {\n") + kRecordIndent + "Path: " + localPath + "\n" + kRecordIndent +
           "ExtentedAttributes: {\n" + xAttrs.encode() + "}\n" + storeEventEnd;
}

std::string TLDelete::description() {
    return "Delete: " + localPath + "\r\n" + xAttrs.description();
}

// ---- TLMove

TLMove::TLMove(std::string from, std::string to, CorvaneExtendedAttributes attrs)
    : localPathFrom(std::move(from)), localPathTo(std::move(to)), originalXAttrs(std::move(attrs)) {}

bool TLMove::precheck(EventContext& context) {
    // A place whose name the server cannot hold is outside the synchronised tree as an ignored one is:
    // moved there, the item leaves the server (this copy is then listed as not synchronised); moved
    // out of it, it is sent.
    bool fromIgnored = context.timeline.staysHereOnly(localPathFrom);
    bool toIgnored = context.timeline.staysHereOnly(localPathTo);
    if (fromIgnored && toIgnored) return false;
    if (fromIgnored) {
        moveAction = moveActions::upload;
        CorvaneExtendedAttributes record(localPathTo);
        if (record.ceaString.getAttribute(CEAString::keys::FileType) ==
            std::string(platform::kFileTypeRegular)) {
            record.ceaStatus.setStatus(CEAStatus::keys::RequireUpload);
            // Unwritten (the record logged why): the upload this move turns into marks a Regular or
            // unclassified item again; an item in any other state is not sent and stays as it is.
            (void)record.save();
        }
        return true;
    }
    if (toIgnored) {
        moveAction = moveActions::delete_;
        // Looked at too soon, a placeholder moved here would be taken for gone: its content would never
        // be fetched, and the copy here would still look synchronised.
        if (!renamedItemArrives(localPathTo))
            log().logDebug("Moved item " + localPathTo + " is not there (gone since the move)");
        recurseDeleteCorvaneExtentedAttributes(context, localPathTo);
        // Listed by the scan of its volume, so the user sees it stays here only.
        if (!ServerCommunicator::pathFitsServer(localPathTo)) context.timeline.requestChangeScan(localPathTo);
        return true;
    }
    return true;
}

void TLMove::recurseDeleteCorvaneExtentedAttributes(EventContext& context, const std::string& path) {
    auto attrs = platform::attributesOfItem(path);
    if (!attrs) return;
    // Children first: a folder's server delete is only possible once what it held is gone, so its own
    // request must come after theirs.
    if (attrs->type == platform::kFileTypeDirectory) {
        std::error_code ec;
        std::vector<std::string> children;
        for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
            children.push_back(it->path().string());
        std::sort(children.begin(), children.end());
        size_t before = fetches_;
        for (const auto& child : children) recurseDeleteCorvaneExtentedAttributes(context, child);
        addToDeleteListIfRequired(context, path, fetches_ > before);
        return;
    }
    addToDeleteListIfRequired(context, path);
}

void TLMove::addToDeleteListIfRequired(EventContext& context, const std::string& path,
                                       bool contentComingDown) {
    CorvaneExtendedAttributes record(path);
    auto attrs = platform::attributesOfItem(path);
    // The copy outside must no longer look synchronised.
    platform::removeXattr(path, CorvaneExtendedAttributes::xAttrName);
    std::string formerPath = localPathFrom + path.substr(std::min(localPathTo.size(), path.size()));

    std::string revision = record.ceaString.getAttribute(CEAString::keys::Revision).value_or("");
    std::string uuid = context.volumes.volumeNodeToVolumeUUID(record.volumeNumber);
    if (!uuid.empty())
        if (auto row = context.records.findRecord(record.fileNumber, uuid))
            if (!row->revision.empty()) revision = row->revision;

    auto fileType = record.ceaString.getAttribute(CEAString::keys::FileType);
    bool isFolder = fileType ? *fileType == platform::kFileTypeDirectory
                             : (attrs && attrs->type == platform::kFileTypeDirectory);
    if (isFolder && contentComingDown) {
        // Its files stay on the server until their content is here, so its own delete would be refused
        // now: it is sent after theirs.
        foldersAfterFetches_.emplace_back(formerPath, std::move(record));
        return;
    }
    // A folder has no content of its own to fetch, whatever its state says of the files it gets.
    if (!isFolder && CEAStatus::contentOnlyOnServer(record.ceaStatus.status)) {
        // Its content exists only on the server: fetch it to the new place, then delete it there.
        if (record.ceaStatus.status == CEAStatus::keys::ErrorPlaceHolder &&
            (!RestoreDeletedManager::holdsOnlyMarker(path) || !RevisionUpdate::truncateFile(path, attrs))) {
            // Put back after a refused delete, it holds the marker, which a fetch would take for the
            // start of the content and append to; emptied first, it is fetched whole. Holding anything
            // else, it was written to here since: both copies stay, and the user has both.
            log().logWarning(path + " is kept here as it is, and the server keeps " + formerPath +
                             ": it was written to since it was put back");
            return;
        }
        record.ceaStatus.setStatus(CEAStatus::keys::RequireDownload);
        record.ceaStatus.shouldSave = true;  // the attribute was just removed: write it again
        if (auto saved = record.save(); !saved)
            // The fetch finds the item not waiting for its content and keeps the server's copy: the
            // item stays here as it is, without its content, and nothing is deleted on the server.
            log().logWarning("The content of " + path + " is not fetched, and the server keeps " +
                             formerPath + ": its record could not be written (" + saved.cause().describe() +
                             ")");
        context.timeline.addOutOfBandDownload(formerPath, path);
        ++fetches_;
        return;
    }
    deleteList.emplace_back(context.server, formerPath, isFolder, revision);
}

void TLMove::performAction(EventContext& context) {
    log().logFunction(prettyLog("-> " + localPathFrom + " : " + localPathTo, __FILE__, "performAction()"));
    switch (moveAction) {
        case moveActions::delete_:
            performMoveDelete(context);
            break;
        case moveActions::move:
            performMoveMove(context);
            break;
        case moveActions::upload:
            performMoveUpload(context);
            break;
    }
    log().logFunction(prettyLog("<- " + localPathFrom + " : " + localPathTo, __FILE__, "performAction()"));
}

void TLMove::performMoveUpload(EventContext& context) {
    auto attrs = platform::attributesOfItem(localPathTo);
    if (!attrs) return;
    if (attrs->type == platform::kFileTypeDirectory) {
        log().logAudit("Move of folder " + localPathFrom + " to " + localPathTo + " being changed to create");
        TLCreateFolder folder(localPathTo);
        // What it holds was never reported on its own (it came in with the folder): it is sent here.
        folder.contentFollows = true;
        folder.performAction(context);
        sendContent(context, localPathTo);
    } else {
        log().logAudit("Move of file " + localPathFrom + " to " + localPathTo + " being changed to upload");
        auto replaced = adoptReplacedRevision(context);
        TLUpload upload(localPathTo, false, context.timeline);
        upload.performAction(context);
        if (upload.takeRunAgain()) {
            // Cut before the server answered: the move runs again and sends what stands here then.
            upload.takeHandedBack();
            runAgainLater(upload.waitReason());
        }
        // The replaced file's row goes only once the server holds a newer revision of the item from
        // a file standing here. A program renaming over the file again between the adoption and the
        // upload (git writes its config so, several times a second; an editor's lock files) leaves a
        // newer file without the revision, or one whose upload did not go out: its upload is then
        // refused as a conflict with the revision this client wrote, or its own move adopts it, and
        // that row is what tells either it is this client's own.
        // With nothing left here (sed -i, then rm -r, before the revision could be written), the row
        // is the only holder of that revision: the delete that follows takes it from there, where
        // without it the delete would take the file for one that never reached the server and leave
        // the server's copy behind. Kept once the server moved on, a row of an old revision would be
        // taken for the replaced item by the next replacement here.
        if (replaced && platform::itemExists(localPathTo)) {
            auto standing =
                CorvaneExtendedAttributes(localPathTo).ceaString.getAttribute(CEAString::keys::Revision);
            if (standing && *standing != replaced->revision) context.records.removeRecord(*replaced);
        }
    }
}

void TLMove::sendContent(EventContext& context, const std::string& folder) {
    auto names = platform::entriesOfFolder(folder);
    if (!names) return;
    std::sort(names->begin(), names->end());
    auto& timeline = context.timeline;
    for (const auto& name : *names) {
        std::string child = folder + "/" + name;
        auto attrs = platform::attributesOfItem(child);
        if (!attrs || context.timeline.inIgnoreList(child)) continue;
        if (attrs->type == platform::kFileTypeDirectory) {
            timeline.addCreateFolder(child, true);
            sendContent(context, child);
        } else if (attrs->type == platform::kFileTypeRegular) {
            timeline.addUploadEvent(child);
        }
    }
}

std::optional<Record> TLMove::adoptReplacedRevision(EventContext& context) {
    auto lock = context.timeline.lockRecord(localPathTo);
    CorvaneExtendedAttributes record(localPathTo);
    if (record.ceaString.getAttribute(CEAString::keys::Revision)) return std::nullopt;
    auto replaced = replacedRow(context);
    if (!replaced) return std::nullopt;
    log().logDebug("Replacing " + localPathTo + " continues its server revision " + replaced->revision);
    record.ceaString.setAttribute(CEAString::keys::Revision, replaced->revision);
    record.ceaStatus.setStatus(CEAStatus::keys::RequireUpload);
    // Unwritten (the record logged why), the file is sent without the revision: the server refuses that
    // as a conflict with the replaced item's copy rather than replace it.
    (void)record.save();
    return replaced;
}

void TLMove::performMoveDelete(EventContext& context) {
    if (!deleteList.empty())
        log().logAudit("Move of item " + localPathFrom + " to " + localPathTo + " being changed to delete");
    for (DeleteDetails& request : deleteList) {
        if (request.answered) continue;  // done in an earlier run of this event
        if (request.isFolder) {
            FolderContentDetails listing(context.server, request.localPath);
            auto outcome = listing.fetchFolderContents().first;
            request.answered = outcome != normalisedResponse::fatal;
            if (outcome == normalisedResponse::allOkay) {
                if (!listing.contents.empty()) {
                    request.restoreFile = listing.rootObject;
                    request.serverErrorCode = serverError::folderNotEmpty;
                } else if (listing.rootObject && listing.rootObject->isDirectory) {
                    request.internalDelete();
                }
            }
        } else if (request.revision.empty()) {
            // Never reached the server as far as anyone here knows; a delete without a revision would
            // take whatever stands there now.
            request.answered = true;
        } else {
            request.internalDelete();
        }
        if (!request.answered) {
            // The rest cannot reach the server either; what was done is not sent again.
            log().logWarning("The delete of " + request.localPath +
                             " did not reach the server; it waits to be sent");
            runAgainLater();
            return;
        }
    }
    // The fetches ran before this event, and each queued its file's delete for once its content was
    // here: the folders go after those. One still holding a file whose fetch failed is refused as not
    // empty and comes back for the user to see.
    for (auto& [former, record] : foldersAfterFetches_) context.timeline.addDeleteEvent(former, record);
    foldersAfterFetches_.clear();
}

CorvaneExtendedAttributes TLMove::currentRecord() const {
    // The item as it is now when it still stands at the destination (an upload may have finished since
    // the move was reported); else as it was when it moved.
    if (originalXAttrs.fileNumber != 0) {
        auto attrs = platform::attributesOfItem(localPathTo);
        if (attrs && attrs->systemFileNumber == originalXAttrs.fileNumber) {
            CorvaneExtendedAttributes now(localPathTo);
            if (now.ceaStatus.status != CEAStatus::keys::Unknown ||
                now.ceaString.getAttribute(CEAString::keys::Revision))
                return now;
        }
    }
    return originalXAttrs;
}

std::string TLMove::knownRevision(EventContext& context, const CorvaneExtendedAttributes& record) const {
    if (auto revision = record.ceaString.getAttribute(CEAString::keys::Revision)) return *revision;
    // An upload that finished after the item moved on keeps its revision by the item's identity.
    if (record.fileNumber == 0) return "";
    std::string uuid = context.volumes.volumeNodeToVolumeUUID(record.volumeNumber);
    if (uuid.empty()) return "";
    auto row = context.records.findRecord(record.fileNumber, uuid);
    return row ? row->revision : "";
}

void TLMove::performMoveMove(EventContext& context) {
    CorvaneExtendedAttributes item = currentRecord();
    std::string revision = knownRevision(context, item);
    if (item.ceaStatus.status == CEAStatus::keys::Unknown && revision.empty()) {
        // A folder's record can be unclassified while the server has it (it was created there by an
        // upload into it, and the record was not written before a crash): creating an empty folder at
        // the new place would let the next listing remove the files it holds here. The server decides:
        // a move of a folder it lacks fails, and only then is the folder created.
        if (platform::isFolder(localPathTo) &&
            MoveDetails(context.server, localPathFrom, localPathTo, "").performServerAction().first ==
                normalisedResponse::allOkay) {
            // Left unclassified (the record logged why), the folder is still taken for the server's:
            // its next move asks the server first, as this one did.
            (void)CEAUtils::setStatusIfUnknown(localPathTo);
            followInDatabase(context);
            log().logAudit("Move of item from " + localPathFrom + " to " + localPathTo);
            return;
        }
    }
    if (!onServer(item, revision)) {
        // Never on the server (a temporary file renamed into place, a lock file renamed over the
        // file it replaces): there is nothing to move; the item is sent at its new place.
        performMoveUpload(context);
        return;
    }
    bool moved = false, answered = true;
    serverError error = serverError::noError;
    if (platform::sameNameIgnoringCase(localPathFrom, localPathTo)) {
        // The server refuses a rename onto a name it considers the same: go through a temporary name.
        // Run again, the first step finds its source gone and the second completes the rename.
        std::string temporary = localPathFrom + ".TWCC";
        MoveDetails toTemporary(context.server, localPathFrom, temporary, revision);
        bool atTemporary = toTemporary.performServerAction().first == normalisedResponse::allOkay;
        MoveDetails toFinal(context.server, temporary, localPathTo, revision);
        moved = toFinal.performServerAction().first == normalisedResponse::allOkay;
        answered = toTemporary.answered && toFinal.answered;
        if (atTemporary && !moved && toFinal.answered) {
            // Refused half way: left under the temporary name, the item would look gone to the next
            // listing, which would remove the file here. It goes back to its former name instead.
            MoveDetails back(context.server, temporary, localPathFrom, revision);
            if (back.performServerAction().first == normalisedResponse::allOkay) {
                log().logWarning("The server refused to rename " + localPathFrom + " to " +
                                 platform::lastPathComponent(localPathTo) +
                                 "; it keeps its former name there");
                return;
            }
            // Not answered: run again, the first step finds its source gone and the second is retried.
            answered = back.answered;
        }
    } else {
        std::tie(moved, answered, error) = moveOnServer(context, revision);
    }
    if (moved) {
        followInDatabase(context);
        learnRevision(context, revision);
    }
    if (!moved && !answered) {
        // Dropped, the server would keep the item at its old place: the next listing would bring it
        // back there and take it away here. The server may have carried it out all the same: the run
        // again then finds the item already at its new place.
        triedBefore_ = true;
        log().logWarning("The move of " + localPathFrom + " to " + localPathTo +
                         " did not reach the server; it waits to be sent");
        runAgainLater();
        return;
    }
    if (!moved && (error == serverError::itemNotFound || error == serverError::requiredItemNotFound) &&
        movedEarlier(context, revision)) {
        // Run again after an exchange whose answer never came: the server had carried it out.
        log().logAudit("Move of item from " + localPathFrom + " to " + localPathTo +
                       " (carried out by an earlier exchange)");
        followInDatabase(context);
        learnRevision(context, revision);
        return;
    }
    if (!moved && (error == serverError::itemNotFound || error == serverError::requiredItemNotFound)) {
        // The server has no such item at the old place after all: what stands here is sent as it is.
        log().logDebug("The server has no " + localPathFrom + " to move; " + localPathTo +
                       " is sent instead");
        performMoveUpload(context);
        return;
    }
    if (!moved) {
        log().logWarning("The server refused the move of " + localPathFrom + " to " + localPathTo);
        return;
    }
    log().logAudit("Move of item from " + localPathFrom + " to " + localPathTo);
}

bool TLMove::movedEarlier(EventContext& context, const std::string& revision) {
    if (!triedBefore_ && revision.empty()) return false;
    FetchAttributes at(context.server, localPathTo);
    if (at.performServerAction() != normalisedResponse::allOkay || !at.fileObject) return false;
    // A file with the very revision it was moved on is the same item (the server never gives two items
    // one revision), after a restart too. A folder has nothing of its own to tell it by: only right
    // after this event sent the move itself.
    if (at.fileObject->isDirectory) return triedBefore_ && platform::isFolder(localPathTo);
    return !revision.empty() && at.fileObject->revision == revision;
}

void TLMove::learnRevision(EventContext& context, const std::string& revision) {
    if (revision.empty() || originalXAttrs.fileNumber == 0) return;
    auto attrs = platform::attributesOfItem(localPathTo);
    if (!attrs || attrs->systemFileNumber != originalXAttrs.fileNumber) return;
    auto lock = context.timeline.lockRecord(localPathTo);
    CorvaneExtendedAttributes record(localPathTo);
    if (record.ceaString.getAttribute(CEAString::keys::Revision)) return;
    // An upload that finished while the item moved could not write its revision to the item: the move
    // carried it, and an item still waiting to be sent is sent on it.
    record.ceaString.setAttribute(CEAString::keys::Revision, revision);
    // Unwritten (the record logged why), the item is sent without the revision: the server refuses that
    // as a conflict with its copy rather than replace it.
    (void)record.save();
    lock.unlock();
    if (record.ceaStatus.status == CEAStatus::keys::RequireUpload)
        context.timeline.addUploadEvent(localPathTo);
}

std::tuple<bool, bool, serverError> TLMove::moveOnServer(EventContext& context, const std::string& revision) {
    MoveDetails move(context.server, localPathFrom, localPathTo, revision);
    auto [outcome, error] = move.performServerAction();
    if (outcome == normalisedResponse::allOkay) return {true, true, error};
    if (!move.answered || error != serverError::itemAlreadyExist) return {false, move.answered, error};
    // Renamed over an item the server has (a lock file over the file it replaces): that item goes
    // first, on the revision this client knew of it, so a colleague's change to it is never discarded.
    auto replacedItem = replacedRow(context);
    if (!replacedItem) return {false, true, error};
    context.records.removeRecord(*replacedItem);
    auto replaced = replacedItem->revision;
    DeleteDetails remove(context.server, localPathTo, false, replaced);
    if (remove.performServerDelete() != normalisedResponse::allOkay) {
        if (!remove.answered) return {false, false, error};
        log().logWarning("The move of " + localPathFrom + " over " + localPathTo +
                         " was refused: the server's copy of the replaced item changed");
        return {false, true, error};
    }
    MoveDetails again(context.server, localPathFrom, localPathTo, revision);
    auto [outcome2, error2] = again.performServerAction();
    return {outcome2 == normalisedResponse::allOkay, again.answered, error2};
}

std::optional<Record> TLMove::replacedRow(EventContext& context) {
    // The replaced file's row still names the destination; its identity is gone with the file.
    for (const Record& row : context.records.findRecord(localPathTo)) {
        uint64_t volume = context.volumes.volumeNodeFromVolumeUUID(row.volumeUUID);
        if (volume == 0 || !identityIsGone(volume, row.itemNode, localPathTo)) continue;
        if (row.revision.empty()) continue;
        return row;
    }
    return std::nullopt;
}

void TLMove::followInDatabase(EventContext& context) {
    auto& volumes = context.volumes;
    auto& database = context.records;
    std::string uuid = volumes.volumeNodeToVolumeUUID(originalXAttrs.volumeNumber);
    if (uuid.empty()) return;
    if (auto row = database.findRecord(originalXAttrs.fileNumber, uuid)) {
        row->path = localPathTo;
        database.addRecord(*row);
    }
    // The rows of what a moved folder holds name their old paths too; the files carry their identity.
    std::error_code ec;
    if (!std::filesystem::is_directory(localPathTo, ec)) return;
    // First by path: a file replaced in the folder since the move (a save renamed over it while this
    // event waited) is no longer there to be found by its identity, and its row is what tells the
    // upload of its replacement that the server's item there is this client's.
    database.moveFolderRows(localPathFrom, localPathTo);
    for (std::filesystem::recursive_directory_iterator it(localPathTo, ec), end; !ec && it != end;
         it.increment(ec)) {
        auto attrs = platform::attributesOfItem(it->path().string());
        if (!attrs) continue;
        std::string childUuid = volumes.volumeNodeToVolumeUUID(attrs->systemNumber);
        if (childUuid.empty()) continue;
        if (auto row = database.findRecord(attrs->systemFileNumber, childUuid)) {
            if (row->path == it->path().string()) continue;
            row->path = it->path().string();
            database.addRecord(*row);
        }
    }
}

std::optional<std::string> TLMove::timelineSave() {
    if (holdsLineFeed(localPathFrom) || holdsLineFeed(localPathTo)) return std::nullopt;
    return std::string("Move {\n") + kRecordIndent + "From: " + localPathFrom + "\n" + kRecordIndent +
           "To: " + localPathTo + "\n" + kRecordIndent + "ExtentedAttributes: {\n" + originalXAttrs.encode() +
           "}\n" + storeEventEnd;
}

std::string TLMove::description() {
    return "Move: From Path: " + localPathFrom + "\r\nTo Path: " + localPathTo + "\r\n" +
           originalXAttrs.description();
}

}  // namespace tw
