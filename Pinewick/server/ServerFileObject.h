// The client's picture of one server item (name, size, revision, dates, type, rights), built from the
// JSON the server returns for an item, or from what an item's stored metadata says of it (its revision
// and size); and the two requests that fetch such pictures: the listing of a folder and the entry of one
// item.
//
// Thread-safety: entries are plain values. A FolderContentDetails or FetchAttributes object is used by
// one thread; the shared date formatter may be used from any thread.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Pinewick/metadata/ServerItemFacts.h"
#include "Pinewick/server/ServerCommunicator.h"

namespace tw {

class ServerFileObject {
public:
    enum class modeKeys { Inherit, Manual, Automatic };
    static const char* toString(modeKeys m);
    static std::optional<modeKeys> modeFromRaw(const std::string& raw);

    // Server dates in and the instants they stand for.
    class BrindleDateFormatter {
    public:
        static BrindleDateFormatter& sharedInstance();
        // "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" (UTC) to an instant; unparseable text gives the 2001 reference
        // date, and exactly the magic grey date gives the current time.
        Date remoteToLocalDate(const std::string& text) const;
        static Date referenceDate();
        static Date magicGreyDate();
    };

    ServerFileObject() = default;
    // From a server dictionary; members missing or of another type keep the start values.
    explicit ServerFileObject(const nlohmann::json& properties);
    // For a local item from what its metadata record says: name, revision (makes it a file) and server
    // size.
    ServerFileObject(const std::string& filename, const std::optional<std::string>& revision,
                     const std::optional<uint64_t>& serverFileSize);

    static std::string windowsToMac(const std::string& name);
    // The server's current entry that an answer of revisionsDoNotMatch carries in "document_info"
    // (uploads, deletes, moves); none when the body holds no such entry.
    static std::optional<ServerFileObject> fromConflictAnswer(const std::optional<std::string>& body);
    // A name that can stand for one entry of a local folder: not empty, not "." or "..", no "/" or NUL.
    bool hasUsableName() const;

    std::string description() const;
    // What of this entry an item's metadata record keeps (CEAUtils copies it in).
    ServerItemFacts serverFacts() const;

    std::string name;
    modeKeys mode = modeKeys::Inherit;
    std::string diskType = "Inherit";
    std::string revision = "0";
    uint64_t size = 0;
    bool allowSharing = false;
    bool isDirectory = true;
    bool isReadOnly = false;
    Date creationDate = BrindleDateFormatter::referenceDate();
    Date modificationDate = BrindleDateFormatter::referenceDate();
};

// The listing of one server folder.
class FolderContentDetails {
public:
    FolderContentDetails(const ServerEnvironment& env, std::string localPath)
        : env(env), localPath(std::move(localPath)) {}
    std::pair<normalisedResponse, serverError> fetchFolderContents();
    // Fills `rootObject` and `contents` from a listing document (a folder dictionary or an array of
    // entries); false when the body is neither. Entries with unusable names are left out and logged.
    bool takeListing(const std::string& body);

    const ServerEnvironment& env;
    std::string localPath;
    std::vector<ServerFileObject> contents;
    std::optional<ServerFileObject> rootObject;
    serverError serverErrorCode = serverError::noError;
};

// The entry of one server item.
class FetchAttributes {
public:
    FetchAttributes(const ServerEnvironment& env, std::string localPath)
        : env(env), localPath(std::move(localPath)) {}
    normalisedResponse performServerAction();

    const ServerEnvironment& env;
    std::string localPath;
    std::optional<ServerFileObject> fileObject;
    // The error case of the last answer, so a caller can tell "missing" from other refusals.
    serverError serverErrorCode = serverError::noError;
};

// Date as the log prints it ("2019-05-01 10:20:30 +0000").
std::string describeDate(Date date);

}  // namespace tw
