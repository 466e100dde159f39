#include "Pinewick/engine/TLUpload.h"

#include <filesystem>
#include <mutex>
#include <set>

#include "Pinewick/config/Log.h"
#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/ChangeScan.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CEAUtils.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/server/ServerCopy.h"
#include "Pinewick/server/ServerRequests.h"
#include "Pinewick/server/UploadDetails.h"
#include "Pinewick/volumes/EngineLink.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/files.h"

namespace tw {
namespace {

bool itemExists(const std::string& path) {
    return platform::attributesOfItem(path, nullptr, false).has_value();
}

// Sets the item into an error state for a refused transfer; only real changes mark the record.
void setTransferError(CorvaneExtendedAttributes& record, CEAErrorStatus::keys error) {
    record.ceaStatus.setStatus(CEAStatus::keys::ErrorRegular);
    record.ceaErrorStatus.setStatus(error);
    record.ceaErrorStatus.setGenre(CEAErrorStatus::genres::Transfer);
}

// Whether this client knows `revision` of the server item at `path`: it wrote or fetched it there, for
// this item or for one that stood under the name before.
bool revisionKnownAt(EventContext& context, const std::string& path, const std::string& revision) {
    if (revision.empty()) return false;
    for (const Record& row : context.records.findRecord(path))
        if (row.revision == revision) return true;
    return false;
}

// The revision the server holds for an item that went away before its upload finished, kept by its
// identity so that the delete queued when it went finds it.
void rememberSentRevision(EventContext& context, const platform::FileAttributes& item,
                          const std::string& path, const std::string& revision) {
    std::string uuid = context.volumes.volumeNodeToVolumeUUID(item.systemNumber);
    if (uuid.empty()) return;
    context.records.addRecord(
        Record{uuid, item.systemFileNumber, path, revision, CEAStatus::rawValue(CEAStatus::keys::Regular)});
}

// Removes UploadGUID, marking the record only when there was one.
void dropUploadGUID(CorvaneExtendedAttributes& record) {
    if (record.ceaString.stringValues.erase(CEAString::keys::UploadGUID) != 0)
        record.ceaString.shouldSave = true;
}

// An item under a name the server cannot hold (its spelling there is too long), its own or a folder's
// above it, is never sent: the server would refuse it every time. The scan of its volume lists it, so
// the user is told it stays on this computer.
bool serverCanHold(TimeLineManager& timeline, const std::string& localPath) {
    if (ServerCommunicator::pathFitsServer(localPath)) return true;
    // Said, and its volume scanned, once per item: a program writing there again and again must not
    // have the volume scanned at every close.
    static std::mutex mutex;
    static std::set<std::string> told;
    {
        std::lock_guard lock(mutex);
        if (!told.insert(localPath).second) return false;
    }
    log().logWarning(localPath + " is not synchronised: " + ChangeScan::kNameTooLongForServer);
    timeline.requestChangeScan(localPath);
    return false;
}

}  // namespace

// ---- TLUpload

TLUpload::TLUpload(std::string path, bool fileChanged, TimeLineManager& timeline)
    : localPath(std::move(path)) {
    if (timeline.inIgnoreList(localPath)) {
        log().logWarning("Ignoring upload request for " + localPath);
        return;
    }
    if (!itemExists(localPath)) return;
    auto lock = timeline.lockRecord(localPath);
    CorvaneExtendedAttributes record(localPath);
    switch (record.ceaStatus.status) {
        case CEAStatus::keys::RequireUpload:
            uploadRequired = true;
            break;
        case CEAStatus::keys::Regular:
        case CEAStatus::keys::Unknown:
            record.ceaStatus.setStatus(CEAStatus::keys::RequireUpload);
            uploadRequired = true;
            break;
        case CEAStatus::keys::LocalOnly:
            break;
        case CEAStatus::keys::RequireDownload:
        case CEAStatus::keys::Placeholder:
        case CEAStatus::keys::ErrorRegular:
        case CEAStatus::keys::ErrorPlaceHolder:
            log().logWarning("Possible problem with upload " + CEAStatus::rawValue(record.ceaStatus.status) +
                             ": " + localPath);
            break;
    }
    // A changed file abandons any partly sent upload: the next upload starts afresh.
    if (fileChanged) dropUploadGUID(record);
    // Unwritten (the record logged why), the item is not sent now: perform() sends only an item whose
    // record waits for it. The file stays as it is, and differs from what it last sent, so the next
    // change to it or the change scan queues it again.
    (void)record.save();
}

void TLUpload::performAction(EventContext& context) {
    if (!uploadRequired) return;
    // What is sent is the item standing at the path now, whichever event was queued for it: a burst
    // that replaced the file sends the replacement once, not each version in turn.
    auto before = platform::attributesOfItem(localPath, nullptr, false);
    if (!before || before->type != platform::kFileTypeRegular || !serverCanHold(context.timeline, localPath))
        return;
    // Queued under its own path, another event beside this one may be acting on the same file (renamed
    // from one path to the other since): sent twice, it would end on the server under both names, with
    // both events writing its record. The one that came first goes on; this one runs after it.
    auto claim = context.timeline.claimItems({{before->systemNumber, before->systemFileNumber}});
    if (!claim) {
        handBack("another transfer of this file runs now");
        return;
    }
    if (CorvaneExtendedAttributes(localPath).ceaStatus.status != CEAStatus::keys::RequireUpload) return;
    context.statusBar.uploadStarted(localPath);
    send(context, *before);
    context.statusBar.uploadEnded(localPath);
}

void TLUpload::send(EventContext& context, const platform::FileAttributes& before) {
    bool adopted = false;
    for (;;) {
        UploadDetails details(context.server, localPath);
        if (details.fileNumber() != before.systemFileNumber) {
            // Another file took the path since it was claimed: the next run looks afresh.
            handBack("another file stands at its path now");
            return;
        }
        const SentFacts facts = sentFacts(static_cast<uint64_t>(details.localSize), details.modificationDate);
        // Noted before it goes out: cut before its answer, or this process killed meanwhile, the server
        // may make it a revision all the same, which the next upload of the path meets.
        context.records.noteSentUpload(localPath, facts.size, facts.modificationSeconds);
        normalisedResponse outcome = details.uploadFile();
        // Once the server's answer is in the record, what earlier exchanges sent is history; forgotten
        // before that, a kill in between would leave the server's copy this client's without a trace.
        auto forgetSentOnceRecorded = [&] {
            if (outcome == normalisedResponse::allOkay) context.records.forgetSentUploads(localPath);
        };
        if (outcome != normalisedResponse::allOkay && !details.answered &&
            (details.sent || !reachable(context))) {
            if (details.sent && reachable(context) &&
                !context.server.itemRecords().load(localPath).uploadGUID) {
                // Cancelled because the file changed while it was sent: the close that changed it queued
                // the upload that sends it as it is now.
                return;
            }
            // Cut before the server answered (a pause, a sleep, a network error, a quit), or never sent
            // because the server could not be reached: not done. The server may have made the revision
            // all the same; the run again finds that out (below).
            log().logWarning("The upload of " + localPath +
                             (details.sent ? " was cut short before the server answered"
                                           : " could not be sent: the server cannot be reached") +
                             "; it waits to be sent");
            runAgainLater("its upload was cut short before the server answered");
            return;
        }
        // The outcome belongs to the item that was read, wherever it stands now: renamed meanwhile it
        // is followed; replaced or removed, nobody else's record is touched.
        auto where = platform::pathOfItem(before.systemNumber, before.systemFileNumber, localPath);
        if (!where) {
            if (outcome == normalisedResponse::allOkay && details.fileObject) {
                // The server holds it now; the delete queued when it went finds its revision here.
                log().logAudit("Uploaded file: " + localPath);
                rememberSentRevision(context, before, localPath, details.fileObject->revision);
            }
            forgetSentOnceRecorded();
            return;
        }
        bool conflict = outcome == normalisedResponse::attemptRecovery &&
                        details.recoveryType == recoveryErrors::conflict && details.conflictFile;
        if (conflict && !adopted && continuesOwnRevision(context, *details.conflictFile, facts)) {
            // The server's copy is this client's own: replacing it is what the user did here, not a
            // second writer. The record now names that revision, and the file is sent on it.
            auto lock = context.timeline.lockRecord(*where);
            CorvaneExtendedAttributes record(*where);
            record.ceaString.setAttribute(CEAString::keys::Revision, details.conflictFile->revision);
            // Unwritten (the record logged why), the next attempt is sent on the old revision again and
            // refused again: the conflict is shown to the user, and nothing is replaced on the server.
            (void)record.save();
            adopted = true;
            continue;
        }
        if (conflict && serverHoldsIt(context, *details.conflictFile, facts)) {
            // An earlier exchange made this very content the server's revision, and its answer never
            // came (or the record was not written before a crash): the file is in step with it.
            log().logAudit("Upload of " + localPath + " not needed: the server's revision " +
                           details.conflictFile->revision + " is this content, sent before");
            auto lock = context.timeline.lockRecord(*where);
            CorvaneExtendedAttributes record(*where);
            adoptHeldRevision(record, *details.conflictFile, before);
            return;
        }
        // Loaded after the transfer, so that what the upload itself wrote (its resumable identifier,
        // the transfer date) is the base of the final save.
        auto lock = context.timeline.lockRecord(*where);
        CorvaneExtendedAttributes record(*where);
        applyOutcome(context, record, details, outcome, before);
        forgetSentOnceRecorded();
        return;
    }
}

bool TLUpload::reachable(EventContext& context) {
    return context.server.networkAvailable() && context.server.allowServerCommunication() &&
           !context.timeline.suspended();
}

bool TLUpload::continuesOwnRevision(EventContext& context, const ServerFileObject& held,
                                    const SentFacts& sending) {
    // A revision this client wrote or fetched at this path (the file was deleted and made again, or
    // renamed over).
    if (revisionKnownAt(context, localPath, held.revision)) {
        log().logDebug("Upload of " + localPath + " continues the revision it replaces, " + held.revision);
        return true;
    }
    // What an exchange for this path sent before its answer was lost (or this process died): the server
    // made it a revision, and the file has changed since.
    // Facts equal to those of the exchange just refused prove nothing (the same size written twice in
    // one second): only the bytes can tell those apart.
    auto made = heldFacts(held);
    if (made != sending && context.records.sentUpload(localPath, made.size, made.modificationSeconds)) {
        log().logDebug("Upload of " + localPath + " continues revision " + held.revision +
                       ", which an earlier exchange of it made");
        return true;
    }
    return false;
}

bool TLUpload::serverHoldsIt(EventContext& context, const ServerFileObject& held, const SentFacts& facts) {
    auto same = serverHoldsLocalContent(context.server, localPath, held, facts.size);
    if (!same)
        log().logDebug("Could not compare " + localPath + " with the server's revision " + held.revision);
    return same.value_or(false);
}

void TLUpload::adoptHeldRevision(CorvaneExtendedAttributes& record, const ServerFileObject& held,
                                 const platform::FileAttributes& sent) {
    CEAUtils::updateCorvaneExtendedAttributes(record, held.serverFacts());
    auto now = platform::attributesOfItem(record.localPath, nullptr, false);
    if (now && now->sameContentAs(sent)) {
        CEAUtils::recordSyncedContent(record, sent);
        record.ceaStatus.setStatus(CEAStatus::keys::Regular);
    }
    // Written to since it was compared, it stays to be sent, on top of that revision.
    dropUploadGUID(record);
    // Unwritten (the record logged why), the next upload of it meets the same revision and is adopted
    // the same way.
    (void)record.save();
}

void TLUpload::applyOutcome(EventContext& context, CorvaneExtendedAttributes& record,
                            const UploadDetails& details, normalisedResponse outcome,
                            const platform::FileAttributes& sent) {
    switch (outcome) {
        case normalisedResponse::allOkay: {
            log().logAudit("Uploaded file: " + localPath);
            if (details.fileObject)
                CEAUtils::updateCorvaneExtendedAttributes(record, details.fileObject->serverFacts());
            auto now = platform::attributesOfItem(record.localPath, nullptr, false);
            if (now && now->sameContentAs(sent)) {
                CEAUtils::recordSyncedContent(record, sent);
                record.ceaStatus.setStatus(CEAStatus::keys::Regular);
            } else {
                // Written to while it was read: the server has the revision sent, the file has more. It
                // stays to be sent, on top of the revision just made, by the upload its close queued.
                log().logDebug(localPath + " changed while it was uploaded; it stays to be sent");
            }
            dropUploadGUID(record);
            if (!record.save() && details.fileObject)
                // The item went (or was replaced) after the transfer and before this save. The server
                // holds the revision all the same, and the delete queued when it went must find it, or
                // the server keeps a file that no longer exists here.
                rememberSentRevision(context, sent, localPath, details.fileObject->revision);
            break;
        }
        case normalisedResponse::attemptRecovery:
            switch (details.recoveryType) {
                case recoveryErrors::conflict:
                    // Said in the log with what was sent: a conflict is shown to the user, and the
                    // revisions are what tell a second writer from a history this client replayed.
                    log().logWarning(
                        "Upload of " + localPath + " refused as a conflict: sent on revision \"" +
                        details.revision + "\", the server holds \"" +
                        (details.conflictFile ? details.conflictFile->revision : std::string()) + "\"");
                    setTransferError(record, CEAErrorStatus::keys::Conflict);
                    if (details.conflictFile)
                        record.ceaString.setAttribute(CEAString::keys::ConflictRevision,
                                                      details.conflictFile->revision);
                    // These error states only tell the user. Unwritten (the record logged why), the
                    // item still waits to be sent, and the server refuses it again the next time.
                    (void)record.save();
                    break;
                case recoveryErrors::unknown:
                    record.ceaStatus.setStatus(CEAStatus::keys::ErrorRegular);
                    (void)record.save();  // as for a conflict
                    break;
                case recoveryErrors::quotaExceeded:
                    setTransferError(record, CEAErrorStatus::keys::QuotaExceeded);
                    (void)record.save();  // as for a conflict
                    break;
                case recoveryErrors::readOnlyMappoint:
                    setTransferError(record, CEAErrorStatus::keys::ReadOnlyMappoint);
                    (void)record.save();  // as for a conflict
                    break;
                case recoveryErrors::locked:
                    log().logWarning("Server returned locked whilst attempting upload of file:" + localPath);
                    break;
                case recoveryErrors::userCanceled:
                case recoveryErrors::systemCanceled:
                    break;
            }
            break;
        case normalisedResponse::fatal:
        case normalisedResponse::tryAgain:
            log().logWarning("Error in uploading " + localPath + ": " + details.failureReason);
            break;
    }
}

// ---- TLCreateFolder

bool TLCreateFolder::precheck(TimeLineManager& timeline) {
    if (timeline.inIgnoreList(localPath)) return false;
    CorvaneExtendedAttributes record(localPath);
    return record.ceaStatus.status == CEAStatus::keys::Unknown && serverCanHold(timeline, localPath);
}

void TLCreateFolder::performAction(EventContext& context) {
    log().logFunction(prettyLog("-> " + localPath, __FILE__, "performAction()"));
    bool result = false;
    if (auto attrs = platform::attributesOfItem(localPath)) {
        CorvaneExtendedAttributes record(localPath);
        if (record.ceaStatus.status == CEAStatus::keys::Unknown) {
            auto created = std::chrono::system_clock::time_point(
                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    std::chrono::duration<double>(attrs->creationDate)));
            // Noted as sent until the record below is written (the request notes it before it goes).
            CreateFolderDetails request(context.server, localPath, created);
            normalisedResponse outcome = request.createFolder();
            if (outcome != normalisedResponse::allOkay && !request.answered) {
                // Not done: an empty folder would otherwise wait for the next scan to reach the server.
                log().logWarning("The creation of folder " + localPath +
                                 " did not reach the server; it waits to be sent");
                runAgainLater();
            }
            if (outcome == normalisedResponse::allOkay) {
                log().logAudit("Created Folder " + localPath);
                CorvaneExtendedAttributes fresh(localPath);
                auto state = CEAUtils::determineInhert(localPath);
                fresh.ceaStatus.setStatus(state);
                bool recorded = static_cast<bool>(fresh.save());
                if (!recorded) {
                    // Removed (or replaced) while it was created: the delete queued when it went took a
                    // record that predates the creation, and must learn from its identity that the
                    // server holds the folder now, or the server keeps a folder gone from here.
                    std::string uuid = context.volumes.volumeNodeToVolumeUUID(attrs->systemNumber);
                    recorded = !uuid.empty();
                    if (recorded)
                        context.records.addRecord(
                            Record{uuid, attrs->systemFileNumber, localPath, "", CEAStatus::rawValue(state)});
                }
                if (recorded) context.records.forgetSentUploads(localPath);
                if (!contentFollows) refreshIfRequired(context);
                result = true;
            }
        }
    }
    log().logFunction(
        prettyLog("<- " + localPath + " = " + (result ? "true" : "false"), __FILE__, "performAction()"));
}

void TLCreateFolder::refreshIfRequired(EventContext& context) {
    log().logFunction(prettyLog("-> " + localPath, __FILE__, "refreshIfRequired()"));
    std::error_code ec;
    std::filesystem::directory_iterator it(localPath, ec);
    // Content already inside the new folder is reconciled with the server by a listing pass.
    if (!ec && it != std::filesystem::directory_iterator())
        context.timeline.addSyncFolderEvent(localPath, false);
    log().logFunction(prettyLog("<- " + localPath, __FILE__, "refreshIfRequired()"));
}

}  // namespace tw
