// What the server-protocol code needs from the rest of the application, as narrow hooks.
//
// The request code runs against the run-state manager (is the network there, may we talk to the
// server), the status bar (ask the user for a password), the volume list (local path to server path,
// which volume holds a path, the folders the usage report counts), the item metadata records, the
// metadata database and the usage report. Those live in other subsystems, above or beside this one.
// Every request, account and report is handed the environment it works in, like a database handed its
// `Env`: the program has one, made by the composition root, which installs the answers of the parts
// above (`answerFromVolumes` for the volume list and the database); a test makes its own. A fresh
// environment answers with the defaults: network available, communication allowed, nothing asked of
// the user, no volumes (a local path is its own server path), and records read from and written to the
// items' attributes without the database. The account the requests go out with is installed here too;
// by default none.
//
// Time is read and waited for through `now` and `sleep`, so the time-dependent rules (session
// freshness, back-off, lock retries) are tested with a fake clock instead of by waiting.
//
// Thread-safety: install hooks before the first request; afterwards the object is only read. The hooks
// themselves are called from request threads and must be thread-safe. An environment must outlive the
// requests, accounts and reports made with it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Pinewick/config/SystemInformation.h"
#include "Pinewick/metadata/CEAValues.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"

namespace tw::platform::keychain {
class Keychain;
}

namespace tw {

class MetadataDataBase;
class ServerCredentials;
class ServerFileObject;
class VolumeManager;

using Date = std::chrono::system_clock::time_point;

// Seconds since 1970 as a Date; nothing for a value no Date can hold (the clock counts nanoseconds, so
// about the years 1678 to 2262) or that is not a number.
inline std::optional<Date> dateFromSeconds(double secondsSince1970) {
    if (!(secondsSince1970 > -9.0e9 && secondsSince1970 < 9.0e9)) return std::nullopt;
    return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(secondsSince1970)));
}

// The facts of an item's metadata record the server code reads and writes.
struct ItemFacts {
    bool exists = false;                    // the item could be found (by path or node)
    std::optional<std::string> revision;    // `Revision`
    std::optional<std::string> uploadGUID;  // `UploadGUID`
    std::optional<Date> transferRecovery;   // `TransferRecovery`
    // `Status` as a load of the record reads it: Unknown for an item without one, or whose record came
    // with a file that replaced the item it was written for.
    CEAStatus::keys status = CEAStatus::keys::Unknown;
    uint64_t volumeNumber = 0;
    uint64_t fileNumber = 0;
    std::string nodePath() const {
        return "/.vol/" + std::to_string(volumeNumber) + "/" + std::to_string(fileNumber);
    }
};

// Access to item metadata records, by path or by (volume, file) numbers. The server code reaches the
// records only through this.
class ItemRecords {
public:
    virtual ~ItemRecords() = default;
    virtual ItemFacts load(const std::string& path) = 0;
    virtual ItemFacts loadNode(uint64_t volumeNumber, uint64_t fileNumber) = 0;
    // The setters say whether the record was written and, when it was not (the item keeps its earlier
    // record), why: the failed call with its path and errno, for the caller to tell. With `expectedNode`
    // (not 0) they write only when the item at `path` has that file number, so an upload never marks
    // another file that took the name while it ran: an item gone fails as "stat" would, another item at
    // the path as "save" with ESTALE.
    virtual SaveResult setUploadGUID(const std::string& path, const std::string& guid,
                                     uint64_t expectedNode = 0) = 0;
    virtual SaveResult setRevision(const std::string& path, const std::string& revision,
                                   uint64_t expectedNode = 0) = 0;
    virtual SaveResult setTransferRecovery(const std::string& path, std::optional<Date> date) = 0;
    // The item's record takes what `entry` says of it (revision, rights, server size) and, when it is
    // unclassified, the state the entry's mode gives it (CEAUtils::refreshFilePath).
    virtual SaveResult refreshFile(const std::string& path, const ServerFileObject& entry) = 0;
    // An item now known to be on the server leaves Unknown for the state it inherits; any other state is
    // kept, which counts as written (CEAUtils::setStatusIfUnknown).
    virtual SaveResult setStatusIfUnknown(const std::string& path) = 0;
    // The revision the metadata database holds for (file number, volume number), if any.
    virtual std::optional<std::string> databaseRevision(uint64_t volumeNumber, uint64_t fileNumber) = 0;
    // A folder creation about to go out, and one whose outcome is in the folder's record. Between the
    // two the note is all that says the server may hold the folder: should the process die before the
    // answer, a delete of the folder asks the server instead of taking it for never sent.
    virtual void noteFolderCreationSent(const std::string& path) = 0;
    virtual void forgetFolderCreationSent(const std::string& path) = 0;
};

struct VolumeFacts {
    std::string volumeName;
    bool canResumeUploads = false;
};

struct ServerEnvironment {
    // Run state.
    std::function<bool()> networkAvailable = [] { return true; };
    std::function<void(bool)> setNetworkAvailable = [](bool) {};
    std::function<bool()> allowServerCommunication = [] { return true; };
    // Status bar: the client cannot log on alone and needs the user's password.
    std::function<void()> requestCredentials = [] {};
    // Usage report after an automatic logon (runs it asynchronously).
    std::function<void()> startUsageReport = [] {};
    // The timeline's ignore list: paths never synchronised, so the usage report does not count them.
    std::function<bool(const std::string& path)> inIgnoreList = [](const std::string&) { return false; };
    // Volume list.
    std::function<std::string(const std::string& localPath)> serverFromLocal = [](const std::string& p) {
        return p;
    };
    std::function<std::optional<VolumeFacts>(const std::string& localPath)> findVolume =
        [](const std::string&) { return std::nullopt; };
    // The local folders of the active volumes: what the usage report counts.
    std::function<std::vector<std::string>()> activeFolders = [] { return std::vector<std::string>(); };
    // Item records; null means "no records" (every item loads as fresh, writes go nowhere).
    std::shared_ptr<ItemRecords> records = recordsOnAttributes();
    // The account and session every request goes out with; empty means none (requests find no server).
    // Asked for at each use, so installing it makes nothing.
    std::function<ServerCredentials&()> credentials;
    // Files smaller than this go in one request even where the volume could resume uploads: resuming
    // them would save nothing, and the resumable form costs a request more per file.
    int64_t resumableUploadsFrom = 1 << 20;
    // What the logon form says of this installation (device, platform, versions).
    SystemInformation::Sources system = SystemInformation::builtInSources();
    // Stored passwords; null means the platform's default keychain.
    platform::keychain::Keychain* keychain = nullptr;
    // CA bundle for the server's certificate (tests); empty means the system's trust store.
    std::string caFile;
    // Time a request may go without progress before it fails as timed out.
    std::chrono::milliseconds requestTimeout = std::chrono::seconds(60);
    // Clock and sleeper.
    std::function<Date()> now = [] { return std::chrono::system_clock::now(); };
    std::function<void(std::chrono::seconds)> sleep;  // default: the calling thread sleeps

    // The records, the account and the keychain in use: what is installed, else the defaults (no
    // records, no account, the platform's keychain).
    ItemRecords& itemRecords() const;
    ServerCredentials& account() const;
    platform::keychain::Keychain& keychainInUse() const;
    // Waits on the sleeper (the calling thread sleeps without one).
    void sleepFor(std::chrono::seconds seconds) const;

    // The records on the items' attributes, without the metadata database.
    static std::shared_ptr<ItemRecords> recordsOnAttributes();
};
// Installs in `env` the answers of the volume list and the metadata database: local to server path,
// the volume holding a path, the active folders, and item records on the items' attributes that read
// the database's revision of an item too. The parts are asked for at each answer, so installing them
// makes neither.
void answerFromVolumes(ServerEnvironment& env, std::function<VolumeManager&()> volumes,
                       std::function<MetadataDataBase&()> database);

}  // namespace tw
