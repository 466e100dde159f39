#include "Pinewick/engine/TLEvent.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/RestoreDeletedManager.h"
#include "Pinewick/engine/TLUpload.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/CEAUtils.h"
#include "Pinewick/server/ServerFileObject.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/casefold.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace tw {
namespace {

Logger& log() {
    return Logger::sharedInstance();
}

// Whether no file has identity (volume, node) any more, so a database row with it describes the item
// just deleted at `path`.
bool identityIsGone(uint64_t volume, uint64_t node, const std::string& path) {
    std::string volPath = "/.vol/" + std::to_string(volume) + "/" + std::to_string(node);
    if (auto resolved = platform::resolveVolPath(volPath)) return resolved->rfind("/.vol/", 0) == 0;
    // Nobody resolves identities here: the item at the path itself is the only one we can ask.
    struct stat st {};
    return !(::lstat(path.c_str(), &st) == 0 && st.st_dev == volume && st.st_ino == node);
}

}  // namespace

void TLEvent::performAction() {
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

bool TLDelete::precheck() {
    log().logFunction(prettyLog("-> " + description(), __FILE__, "precheck()"));
    bool result = true;
    if (TimeLineManager::inIgnoreList(localPath)) {
        result = false;
    } else if (xAttrs.ceaBool.getAttribute(CEABool::keys::ReadOnly)) {
        // The item may not go: put it back for the user to see why.
        ServerFileObject entry(platform::lastPathComponent(localPath), xAttrs);
        auto& restorer = RestoreDeletedManager::sharedInstance();
        restorer.resetTimer();
        restorer.replaceItem(localPath, entry, CEAErrorStatus::keys::PermissionDenied);
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

void TLDelete::performAction() {
    if (!revisionToDelete_) {
        std::string revision = xAttrs.ceaString.getAttribute(CEAString::keys::Revision).value_or("");
        auto& database = MetadataDataBase::sharedInstance();
        for (const Record& row : database.findRecord(localPath)) {
            uint64_t volume = VolumeManager::sharedInstance().volumeNodeFromVolumeUUID(row.volumeUUID);
            if (volume == 0) continue;
            if (!identityIsGone(volume, row.itemNode, localPath)) continue;
            database.removeRecord(row);
            auto state = CEAStatus::fromRaw(row.state);
            if (state && *state != CEAStatus::keys::RequireUpload && *state != CEAStatus::keys::LocalOnly &&
                *state != CEAStatus::keys::Unknown)
                revision = row.revision;
        }
        revisionToDelete_ = revision;
    }
    const std::string& revision = *revisionToDelete_;
    // Not sent, or no answer: the server may still hold the item, and dropping the delete would bring
    // the file back at the next listing.
    auto unanswered = [&](const DeleteDetails& d) {
        if (d.answered) return false;
        log().logWarning("The delete of " + localPath + " did not reach the server; it waits to be sent");
        runAgainLater();
        return true;
    };

    DeleteDetails first(localPath, revision.empty(), revision);
    if (first.performServerDelete() == normalisedResponse::allOkay) {
        log().logAudit("Delete of item " + localPath + " requested by user");
        return;
    }
    if (unanswered(first)) return;
    if (first.serverErrorCode == serverError::couldNotLockFile) {
        log().logAudit("Retrying delete of item " + localPath);
        DeleteDetails again(localPath, revision.empty(), revision);
        if (again.performServerDelete() == normalisedResponse::allOkay) {
            log().logAudit("Delete of item " + localPath + " requested by user");
            return;
        }
        if (unanswered(again)) return;
    }
    if (!first.restoreFile) {
        if (!TimeLineManager::sharedInstance().suspended())
            log().logAudit("Failed to remove item " + localPath + " because of error " +
                           toString(first.serverErrorCode));
        return;
    }
    CEAErrorStatus::keys errorCode = formErrorStatus(first.serverErrorCode);
    auto& restorer = RestoreDeletedManager::sharedInstance();
    restorer.resetTimer();
    restorer.replaceItem(localPath, *first.restoreFile, errorCode);
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

bool TLMove::precheck() {
    bool fromIgnored = TimeLineManager::inIgnoreList(localPathFrom);
    bool toIgnored = TimeLineManager::inIgnoreList(localPathTo);
    if (fromIgnored && toIgnored) return false;
    if (fromIgnored) {
        moveAction = moveActions::upload;
        CorvaneExtendedAttributes record(localPathTo);
        if (record.ceaString.getAttribute(CEAString::keys::FileType) ==
            std::string(platform::kFileTypeRegular)) {
            record.ceaStatus.setStatus(CEAStatus::keys::RequireUpload);
            record.save();
        }
        return true;
    }
    if (toIgnored) {
        moveAction = moveActions::delete_;
        recurseDeleteCorvaneExtentedAttributes(localPathTo);
        return true;
    }
    return true;
}

void TLMove::recurseDeleteCorvaneExtentedAttributes(const std::string& path) {
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
        for (const auto& child : children) recurseDeleteCorvaneExtentedAttributes(child);
    }
    addToDeleteListIfRequired(path);
}

void TLMove::addToDeleteListIfRequired(const std::string& path) {
    CorvaneExtendedAttributes record(path);
    auto attrs = platform::attributesOfItem(path);
    // The copy outside must no longer look synchronised.
    platform::removeXattr(path, CorvaneExtendedAttributes::xAttrName);
    std::string formerPath = localPathFrom + path.substr(std::min(localPathTo.size(), path.size()));

    std::string revision = record.ceaString.getAttribute(CEAString::keys::Revision).value_or("");
    std::string uuid = VolumeManager::sharedInstance().volumeNodeToVolumeUUID(record.volumeNumber);
    if (!uuid.empty())
        if (auto row = MetadataDataBase::sharedInstance().findRecord(record.fileNumber, uuid))
            if (!row->revision.empty()) revision = row->revision;

    auto state = record.ceaStatus.status;
    if (state == CEAStatus::keys::Placeholder || state == CEAStatus::keys::RequireDownload) {
        // Its content exists only on the server: fetch it to the new place, then delete it there.
        record.ceaStatus.setStatus(CEAStatus::keys::RequireDownload);
        record.ceaStatus.shouldSave = true;  // the attribute was just removed: write it again
        record.save();
        TimeLineManager::sharedInstance().addOutOfBandDownload(formerPath, path);
        return;
    }
    auto fileType = record.ceaString.getAttribute(CEAString::keys::FileType);
    bool isFolder = fileType ? *fileType == platform::kFileTypeDirectory
                             : (attrs && attrs->type == platform::kFileTypeDirectory);
    deleteList.emplace_back(formerPath, isFolder, revision);
}

void TLMove::performAction() {
    log().logFunction(prettyLog("-> " + localPathFrom + " : " + localPathTo, __FILE__, "performAction()"));
    switch (moveAction) {
        case moveActions::delete_:
            performMoveDelete();
            break;
        case moveActions::move:
            performMoveMove();
            break;
        case moveActions::upload:
            performMoveUpload();
            break;
    }
    log().logFunction(prettyLog("<- " + localPathFrom + " : " + localPathTo, __FILE__, "performAction()"));
}

void TLMove::performMoveUpload() {
    auto attrs = platform::attributesOfItem(localPathTo);
    if (!attrs) return;
    if (attrs->type == platform::kFileTypeDirectory) {
        log().logAudit("Move of folder " + localPathFrom + " to " + localPathTo + " being changed to create");
        TLCreateFolder(localPathTo).performAction();
    } else {
        log().logAudit("Move of file " + localPathFrom + " to " + localPathTo + " being changed to upload");
        adoptReplacedRevision();
        TLUpload(localPathTo, false).performAction();
    }
}

void TLMove::adoptReplacedRevision() {
    CorvaneExtendedAttributes record(localPathTo);
    if (record.ceaString.getAttribute(CEAString::keys::Revision)) return;
    // The replaced file's row still names this path; its identity is gone with the file.
    auto& database = MetadataDataBase::sharedInstance();
    for (const Record& row : database.findRecord(localPathTo)) {
        uint64_t volume = VolumeManager::sharedInstance().volumeNodeFromVolumeUUID(row.volumeUUID);
        if (volume == 0 || !identityIsGone(volume, row.itemNode, localPathTo)) continue;
        database.removeRecord(row);
        auto state = CEAStatus::fromRaw(row.state);
        if (row.revision.empty() || !state || *state == CEAStatus::keys::Unknown ||
            *state == CEAStatus::keys::LocalOnly)
            continue;
        log().logDebug("Replacing " + localPathTo + " continues its server revision " + row.revision);
        record.ceaString.setAttribute(CEAString::keys::Revision, row.revision);
        record.ceaStatus.setStatus(CEAStatus::keys::RequireUpload);
        record.save();
        return;
    }
}

void TLMove::performMoveDelete() {
    if (deleteList.empty()) return;
    log().logAudit("Move of item " + localPathFrom + " to " + localPathTo + " being changed to delete");
    for (DeleteDetails& request : deleteList) {
        if (request.answered) continue;  // done in an earlier run of this event
        if (request.isFolder) {
            FolderContentDetails listing(request.localPath);
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
}

void TLMove::performMoveMove() {
    if (originalXAttrs.ceaStatus.status == CEAStatus::keys::Unknown) {
        // A folder's record can be unclassified while the server has it (it was created there by an
        // upload into it, and the record was not written before a crash): creating an empty folder at
        // the new place would let the next listing remove the files it holds here. The server decides:
        // a move of a folder it lacks fails, and only then is the folder created.
        auto attrs = platform::attributesOfItem(localPathTo);
        if (attrs && attrs->type == platform::kFileTypeDirectory &&
            MoveDetails(localPathFrom, localPathTo, "").performServerAction().first ==
                normalisedResponse::allOkay) {
            CEAUtils::setStatusIfUnknown(localPathTo);
            followInDatabase();
            log().logAudit("Move of item from " + localPathFrom + " to " + localPathTo);
            return;
        }
        // Never on the server: there is nothing to move, the item is sent at its new place.
        performMoveUpload();
        return;
    }
    std::string revision = originalXAttrs.ceaString.getAttribute(CEAString::keys::Revision).value_or("");
    bool moved = false, answered = true;
    if (platform::sameNameIgnoringCase(localPathFrom, localPathTo)) {
        // The server refuses a rename onto a name it considers the same: go through a temporary name.
        // Run again, the first step finds its source gone and the second completes the rename.
        std::string temporary = localPathFrom + ".TWCC";
        MoveDetails toTemporary(localPathFrom, temporary, revision);
        toTemporary.performServerAction();
        MoveDetails toFinal(temporary, localPathTo, revision);
        moved = toFinal.performServerAction().first == normalisedResponse::allOkay;
        answered = toTemporary.answered && toFinal.answered;
    } else {
        MoveDetails move(localPathFrom, localPathTo, revision);
        moved = move.performServerAction().first == normalisedResponse::allOkay;
        answered = move.answered;
    }
    if (moved) followInDatabase();
    if (!moved && !answered) {
        // Dropped, the server would keep the item at its old place: the next listing would bring it
        // back there and take it away here.
        log().logWarning("The move of " + localPathFrom + " to " + localPathTo +
                         " did not reach the server; it waits to be sent");
        runAgainLater();
        return;
    }
    log().logAudit("Move of item from " + localPathFrom + " to " + localPathTo);
}

void TLMove::followInDatabase() {
    auto& volumes = VolumeManager::sharedInstance();
    auto& database = MetadataDataBase::sharedInstance();
    std::string uuid = volumes.volumeNodeToVolumeUUID(originalXAttrs.volumeNumber);
    if (uuid.empty()) return;
    if (auto row = database.findRecord(originalXAttrs.fileNumber, uuid)) {
        row->path = localPathTo;
        database.addRecord(*row);
    }
    // The rows of what a moved folder holds name their old paths too; the files carry their identity.
    std::error_code ec;
    if (!std::filesystem::is_directory(localPathTo, ec)) return;
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
