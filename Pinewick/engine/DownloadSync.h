// The timeline events a listing pass queues to bring server changes down: a server item with no local
// counterpart becomes an empty placeholder (DownloadSync), an item on both sides is checked for a newer
// server revision (RevisionUpdate), and a local item the server no longer lists is removed once the
// server confirms it is gone (TLServerRequestedDelete).
//
// None of them ever loses a user's content: a file with local changes is uploaded (or left in
// conflict for the user), never truncated, overwritten or deleted.
//
// Thread-safety: built on the listing thread, run on the timeline thread.
#pragma once

#include <string>

#include "Pinewick/engine/TLEvent.h"
#include "Pinewick/server/ServerFileObject.h"
#include "platform/files.h"

namespace tw {

class DownloadSync : public TLEvent {
public:
    DownloadSync(std::string localFolder, ServerFileObject file, bool checkExists)
        : localFolder(std::move(localFolder)), file(std::move(file)), checkExists(checkExists) {}
    void performAction(EventContext& context) override;
    std::string description() override {
        return "Download Sync:{\r\nFolder " + localFolder + "\r\n" + file.description() + "}";
    }

    std::string localFolder;
    ServerFileObject file;
    bool checkExists;  // ask the server again first (the folder was listed before)
};

class RevisionUpdate : public TLEvent {
public:
    // Takes the item's record as it is now, so a change made while the event waits can be told apart.
    RevisionUpdate(std::string localFolder, ServerFileObject file);
    void performAction(EventContext& context) override;
    std::string description() override {
        return "Revision Update: Folder:{\r\nFolder: " + localFolder +
               "\r\nServer Details: " + file.description() + "}";
    }

    // Empties a file's content, keeping its record. False when the file could not be opened or
    // truncated, or when `expected` is given and the open file no longer has its size and modification
    // time (it changed since the decision).
    static bool truncateFile(const std::string& path,
                             std::optional<platform::FileAttributes> expected = std::nullopt);

    std::string localFolder;
    ServerFileObject file;
    CorvaneExtendedAttributes snapshotXAttr;
};

class TLServerRequestedDelete : public TLEvent {
public:
    TLServerRequestedDelete(std::string localPath, CorvaneExtendedAttributes snapshotXAttr)
        : localPath(std::move(localPath)), snapshotXAttr(std::move(snapshotXAttr)) {}
    void performAction(EventContext& context) override;
    std::string description() override { return "Server Requested Delete: " + localPath; }

    // Removes an empty folder; a folder that still holds kept files is created on the server again.
    static void removeEmptyFolder(EventContext& context, const std::string& path);

    std::string localPath;
    CorvaneExtendedAttributes snapshotXAttr;

private:
    static void deleteOrUploadFile(EventContext& context, const std::string& path);
    static void recurseDelete(EventContext& context, const std::string& path);
};

}  // namespace tw
