#include "Pinewick/engine/TLUpload.h"

#include <filesystem>

#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/server/CEAUtils.h"
#include "Pinewick/server/ServerRequests.h"
#include "Pinewick/server/UploadDetails.h"
#include "platform/files.h"

namespace tw {
namespace {

Logger& log() {
    return Logger::sharedInstance();
}

bool itemExists(const std::string& path) {
    return platform::attributesOfItem(path).has_value();
}

// Sets the item into an error state for a refused transfer; only real changes mark the record.
void setTransferError(CorvaneExtendedAttributes& record, CEAErrorStatus::keys error) {
    record.ceaStatus.setStatus(CEAStatus::keys::ErrorRegular);
    record.ceaErrorStatus.setStatus(error);
    record.ceaErrorStatus.setGenre(CEAErrorStatus::genres::Transfer);
}

// Removes UploadGUID, marking the record only when there was one.
void dropUploadGUID(CorvaneExtendedAttributes& record) {
    if (record.ceaString.stringValues.erase(CEAString::keys::UploadGUID) != 0)
        record.ceaString.shouldSave = true;
}

}  // namespace

// ---- TLUpload

TLUpload::TLUpload(std::string path, bool fileChanged) : localPath(std::move(path)) {
    if (TimeLineManager::inIgnoreList(localPath)) {
        log().logWarning("Ignoring upload request for " + localPath);
        return;
    }
    if (!itemExists(localPath)) return;
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
    record.save();
}

void TLUpload::performAction() {
    if (!uploadRequired) return;
    if (!itemExists(localPath)) return;
    {
        CorvaneExtendedAttributes record(localPath);
        if (record.ceaStatus.status != CEAStatus::keys::RequireUpload) return;
    }
    auto& statusBar = StatusBarManager::sharedInstance();
    statusBar.updateUploadActive(localPath);

    UploadDetails details(localPath);
    normalisedResponse outcome = details.uploadFile();
    // The record is loaded after the transfer so that what the upload itself wrote (its resumable
    // identifier, the transfer date) is the base of the final save.
    CorvaneExtendedAttributes record(localPath);
    switch (outcome) {
        case normalisedResponse::allOkay:
            log().logAudit("Uploaded file: " + localPath);
            if (details.fileObject) CEAUtils::updateCorvaneExtendedAttributes(record, *details.fileObject);
            record.ceaStatus.setStatus(CEAStatus::keys::Regular);
            dropUploadGUID(record);
            record.save();
            break;
        case normalisedResponse::attemptRecovery:
            switch (details.recoveryType) {
                case recoveryErrors::conflict:
                    setTransferError(record, CEAErrorStatus::keys::Conflict);
                    if (details.conflictFile)
                        record.ceaString.setAttribute(CEAString::keys::ConflictRevision,
                                                      details.conflictFile->revision);
                    record.save();
                    break;
                case recoveryErrors::unknown:
                    record.ceaStatus.setStatus(CEAStatus::keys::ErrorRegular);
                    record.save();
                    break;
                case recoveryErrors::quotaExceeded:
                    setTransferError(record, CEAErrorStatus::keys::QuotaExceeded);
                    record.save();
                    break;
                case recoveryErrors::readOnlyMappoint:
                    setTransferError(record, CEAErrorStatus::keys::ReadOnlyMappoint);
                    record.save();
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
    statusBar.updateUploadActive(std::nullopt);
}

// ---- TLCreateFolder

bool TLCreateFolder::precheck() {
    if (TimeLineManager::inIgnoreList(localPath)) return false;
    CorvaneExtendedAttributes record(localPath);
    return record.ceaStatus.status == CEAStatus::keys::Unknown;
}

void TLCreateFolder::performAction() {
    log().logFunction(prettyLog("-> " + localPath, __FILE__, "performAction()"));
    bool result = false;
    if (auto attrs = platform::attributesOfItem(localPath)) {
        CorvaneExtendedAttributes record(localPath);
        if (record.ceaStatus.status == CEAStatus::keys::Unknown) {
            auto created = std::chrono::system_clock::time_point(
                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    std::chrono::duration<double>(attrs->creationDate)));
            CreateFolderDetails request(localPath, created);
            if (request.createFolder() == normalisedResponse::allOkay) {
                log().logAudit("Created Folder " + localPath);
                CorvaneExtendedAttributes fresh(localPath);
                fresh.ceaStatus.setStatus(CEAUtils::determineInhert(localPath));
                fresh.save();
                refreshIfRequired();
                result = true;
            }
        }
    }
    log().logFunction(
        prettyLog("<- " + localPath + " = " + (result ? "true" : "false"), __FILE__, "performAction()"));
}

void TLCreateFolder::refreshIfRequired() {
    log().logFunction(prettyLog("-> " + localPath, __FILE__, "refreshIfRequired()"));
    std::error_code ec;
    std::filesystem::directory_iterator it(localPath, ec);
    // Content already inside the new folder is reconciled with the server by a listing pass.
    if (!ec && it != std::filesystem::directory_iterator())
        TimeLineManager::sharedInstance().addSyncFolderEvent(localPath, false);
    log().logFunction(prettyLog("<- " + localPath, __FILE__, "refreshIfRequired()"));
}

}  // namespace tw
