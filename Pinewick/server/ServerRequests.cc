#include "Pinewick/server/ServerRequests.h"

#include <nlohmann/json.hpp>

#include "Pinewick/config/Log.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace tw {
namespace {

constexpr int kMaxFolderDepth = 256;

// A folder that is now on the server is no longer unclassified: a rename of it must be moved there, not
// taken for a folder never sent (which would create an empty one and let a listing empty it here too).
normalisedResponse markCreated(const ServerEnvironment& env, const std::string& localPath) {
    // The folder is on the server whether or not its record says so. Left unclassified (the record
    // logged why), it is still taken for the server's: a creation of it finds it there and marks it
    // again, and a move of it asks the server before anything is created (TLMove::performMoveMove).
    if (env.itemRecords().setStatusIfUnknown(localPath))
        env.itemRecords().forgetFolderCreationSent(localPath);
    return normalisedResponse::allOkay;
}

}  // namespace

normalisedResponse CreateFolderDetails::createFolder() {
    std::string serverPath = env.serverFromLocal(localPath);
    std::string parent = platform::parentFolder(serverPath);
    std::string name = platform::lastPathComponent(serverPath);
    platform::http::Result result;
    Classification c{normalisedResponse::fatal, serverError::noError};
    auto failure = [&] {
        log().logDebug("(Debug) Fatal error in CreateFolder");
        log().logWarning("Could not create folder " + localPath +
                         " on the server: " + describeFailure(result, c));
        if (result.data) log().logDebug(*result.data);
        // Refused: nothing was made. "Already there" may be a folder an earlier creation made, cut
        // short before its answer; the note stays for a delete to ask.
        if (answered && c.serverErrorCode != serverError::itemAlreadyExist)
            env.itemRecords().forgetFolderCreationSent(localPath);
        return normalisedResponse::fatal;
    };
    // Gone from here since it was asked for (an upload's folder, removed with an rm -r while the upload
    // ran): not made. Its delete may have run already, finding nothing on the server, and nothing would
    // ever remove it there: the next listing would bring back a folder the user removed.
    if (!platform::attributesOfItem(localPath, nullptr, false)) {
        log().logWarning("Folder " + localPath + " is not created on the server: it is no longer here");
        return normalisedResponse::fatal;
    }
    // Noted before it goes, whether this folder is the one asked for or a missing folder above an item
    // being sent (made here too): a process killed before the answer leaves a folder on the server that
    // no record places there.
    env.itemRecords().noteFolderCreationSent(localPath);
    for (;;) {
        answered = false;
        if (!ServerCommunicator::ready(env)) return normalisedResponse::fatal;
        auto request = ServerCommunicator::makeRequest(
            env, ServerCommunicator::serviceBase(env) + "folders" + ServerCommunicator::macToWindows(parent),
            "POST");
        auto now = env.now();
        request.body = "name=" + ServerCommunicator::macToWindows(name) + "&operation=create" +
                       "&creation_time=" + ServerCommunicator::formatDate(creationDate) +
                       "&modification_time=" + ServerCommunicator::formatDate(now);
        result = ServerCommunicator::send(std::move(request));
        answered = result.response.has_value() && !result.error;
        c = ServerCommunicator::handleResponse(env, result);
        switch (c.action) {
            case normalisedResponse::allOkay:
                return markCreated(env, localPath);
            case normalisedResponse::tryAgain:
                continue;
            case normalisedResponse::fatal:
                log().logFatal("unexpected CreateFolder error");
                return failure();
            case normalisedResponse::attemptRecovery:
                break;
        }
        if (c.serverErrorCode == serverError::requiredItemNotFound) {
            // A server that keeps saying the parent is missing must not drive us past the root.
            if (platform::parentFolder(localPath) == localPath || depth_ >= kMaxFolderDepth) return failure();
            CreateFolderDetails parentFolder(env, platform::parentFolder(localPath), creationDate);
            parentFolder.depth_ = depth_ + 1;
            if (parentFolder.createFolder() == normalisedResponse::allOkay) continue;
            answered = parentFolder.answered;
            return failure();
        }
        if (c.serverErrorCode == serverError::itemAlreadyExist ||
            c.serverErrorCode == serverError::mappointIsReadOnly) {
            FetchAttributes fetch(env, localPath);
            if (fetch.performServerAction() == normalisedResponse::allOkay && fetch.fileObject &&
                fetch.fileObject->isDirectory)
                return markCreated(env, localPath);
        }
        return failure();
    }
}

normalisedResponse DeleteDetails::performServerDelete() {
    if (!isFolder) return internalDelete();
    FolderContentDetails listing(env, localPath);
    auto [outcome, error] = listing.fetchFolderContents();
    // A listing that ends fatal reached no answer (or no usable one): the folder is still to be seen.
    answered = outcome != normalisedResponse::fatal;
    if (outcome != normalisedResponse::allOkay)
        return error == serverError::itemNotFound ? normalisedResponse::allOkay
                                                  : normalisedResponse::attemptRecovery;
    if (!listing.contents.empty()) {
        restoreFile = listing.rootObject;
        serverErrorCode = serverError::folderNotEmpty;
        return normalisedResponse::attemptRecovery;
    }
    if (listing.rootObject && listing.rootObject->isDirectory) return internalDelete();
    return normalisedResponse::allOkay;
}

normalisedResponse DeleteDetails::internalDelete() {
    int retries = 0;
    std::string serverPath = env.serverFromLocal(localPath);
    ServerCommunicator::Pass pass;
    pass.build = [&]() -> std::optional<platform::http::Request> {
        return ServerCommunicator::makeRequest(
            env,
            ServerCommunicator::serviceBase(env) + "folders" + ServerCommunicator::macToWindows(serverPath) +
                "?revision=" + ServerCommunicator::simpleDataEscape(revision),
            "DELETE");
    };
    pass.complete = [&](const platform::http::Result& result) {
        auto c = ServerCommunicator::handleResponse(env, result);
        switch (c.action) {
            case normalisedResponse::allOkay:
                return normalisedResponse::allOkay;
            case normalisedResponse::tryAgain:
                retries = 0;
                return normalisedResponse::tryAgain;
            case normalisedResponse::fatal:
                return normalisedResponse::fatal;
            case normalisedResponse::attemptRecovery:
                break;
        }
        serverErrorCode = c.serverErrorCode;
        switch (c.serverErrorCode) {
            case serverError::cannotDeleteNonExistingItem:
                log().logAudit("Ignoring delete of item " + localPath);
                return normalisedResponse::allOkay;
            case serverError::couldNotLockFile:
                if (retries <= 1) {
                    log().logWarning("Retrying deletion of " + localPath);
                    env.sleepFor(std::chrono::seconds(5));
                    ++retries;
                    return normalisedResponse::tryAgain;
                }
                return normalisedResponse::attemptRecovery;
            case serverError::mappointIsReadOnly:
            case serverError::permissionDenied:
                return normalisedResponse::attemptRecovery;
            case serverError::revisionsDoNotMatch:
                restoreFile = ServerFileObject::fromConflictAnswer(result.data);
                return restoreFile ? normalisedResponse::attemptRecovery : normalisedResponse::fatal;
            default:
                log().logFatal(prettyLog(std::string("Unhandled Delete Error ") + toString(c.serverErrorCode),
                                         __FILE__, "internalDelete()"));
                return normalisedResponse::fatal;
        }
    };
    auto outcome = ServerCommunicator::requestCycle(env, pass, &answered);
    if (outcome == normalisedResponse::attemptRecovery && !restoreFile) {
        FetchAttributes fetch(env, localPath);
        if (fetch.performServerAction() == normalisedResponse::allOkay) restoreFile = fetch.fileObject;
    }
    return outcome;
}

std::pair<normalisedResponse, serverError> MoveDetails::performServerAction() {
    serverError error = serverError::noError;
    ServerCommunicator::Pass pass;
    pass.build = [&]() -> std::optional<platform::http::Request> {
        auto request = ServerCommunicator::makeRequest(
            env,
            ServerCommunicator::serviceBase(env) + "folders" +
                ServerCommunicator::macToWindows(env.serverFromLocal(localSourcePath)),
            "POST");
        request.body = "name=" + ServerCommunicator::macToWindows(env.serverFromLocal(localDestinationPath)) +
                       "&operation=move" + "&overwrite=false" +
                       "&revision=" + ServerCommunicator::simpleDataEscape(revision);
        return request;
    };
    pass.complete = [&](const platform::http::Result& result) {
        auto c = ServerCommunicator::handleResponse(env, result);
        if (c.action == normalisedResponse::attemptRecovery) error = c.serverErrorCode;
        return c.action;
    };
    auto outcome = ServerCommunicator::requestCycle(env, pass, &answered);
    if (outcome != normalisedResponse::attemptRecovery) error = serverError::noError;
    return {outcome, error};
}

}  // namespace tw
