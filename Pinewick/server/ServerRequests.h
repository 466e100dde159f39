// The three small requests that change the server's tree: create a folder (creating missing parents on
// the way), delete a file or an empty folder (and say what to restore locally when the server refuses),
// and move or rename an item. Each runs synchronously on the caller's thread, in the server environment
// it is handed (which must outlive it).
//
// Thread-safety: one object per request, used by one thread.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "Pinewick/server/ServerFileObject.h"

namespace tw {

class CreateFolderDetails {
public:
    CreateFolderDetails(const ServerEnvironment& env, std::string localPath, Date creationDate)
        : env(env), localPath(std::move(localPath)), creationDate(creationDate) {}
    // allOkay when the folder exists on the server afterwards.
    normalisedResponse createFolder();

    const ServerEnvironment& env;
    std::string localPath;
    Date creationDate;
    // False when the last exchange got no answer from the server (nothing could be sent, or it broke
    // off): the folder may or may not be there, and the creation is worth another try.
    bool answered = false;

private:
    int depth_ = 0;  // parents created on the way, to stop a server that never agrees
};

class DeleteDetails {
public:
    DeleteDetails(const ServerEnvironment& env, std::string localPath, bool isFolder, std::string revision)
        : env(env), localPath(std::move(localPath)), isFolder(isFolder), revision(std::move(revision)) {}
    normalisedResponse performServerDelete();
    normalisedResponse internalDelete();

    const ServerEnvironment& env;
    std::optional<ServerFileObject> restoreFile;
    std::string localPath;
    bool isFolder;
    std::string revision;
    serverError serverErrorCode = serverError::noError;
    // False when the server never answered (nothing could be sent, or the exchange broke off): the
    // delete may not have happened and is worth another try.
    bool answered = false;
};

class MoveDetails {
public:
    MoveDetails(const ServerEnvironment& env, std::string localSourcePath, std::string localDestinationPath,
                std::string revision)
        : env(env),
          localSourcePath(std::move(localSourcePath)),
          localDestinationPath(std::move(localDestinationPath)),
          revision(std::move(revision)) {}
    std::pair<normalisedResponse, serverError> performServerAction();

    const ServerEnvironment& env;
    std::string localSourcePath;
    std::string localDestinationPath;
    std::string revision;
    // False when the server never answered: the move may not have happened.
    bool answered = false;
};

}  // namespace tw
