// A second copy of each synchronised item's identity, path, server revision and state, kept in the
// SQLite file "MetaDataDataBase.db" in the support folder. The extended attribute travels with the
// file; this table survives when it does not, and answers "where was this item last, at which
// revision" by identity (after a move) and "which identities had this path" (before a delete).
//
// Rows are keyed by (node, volume) without a unique constraint; `addRecord` keeps the pair unique by
// updating an existing row. A second table, SentUploads, keeps what uploads sent until they are
// answered (see `noteSentUpload`).
//
// Failures never reach the caller: they are logged. A database that cannot be opened, or a file that is
// not a database, is logged once as corrupt and left untouched, and every later operation does nothing.
//
// Thread-safety: every operation runs its statements synchronously on one serial queue, so callers on
// any thread see their own writes at once. Not to be called from a block running on that queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tw {

class SerialDatabase;

struct Record {
    std::string volumeUUID;  // the volume's UUID text
    uint64_t itemNode = 0;   // the item's file number on that volume
    std::string path;        // the item's local path
    std::string revision;    // the server revision text
    std::string state;       // the raw value of the item's state, e.g. "Regular"

    // All five fields with their names, for log lines.
    std::string description() const;
    bool operator==(const Record&) const = default;
};

class MetadataDataBase {
public:
    static constexpr const char* kFileName = "MetaDataDataBase.db";
    static constexpr const char* kQueueLabel = "com.meridot.tidewell.MetadataDataBase";

    // The process-wide database in the configuration's support folder, made by the engine on first use;
    // never destroyed.
    static MetadataDataBase& sharedInstance();

    // A database at an explicit file path (tests, tools).
    explicit MetadataDataBase(std::string databasePath);
    ~MetadataDataBase();
    MetadataDataBase(const MetadataDataBase&) = delete;
    MetadataDataBase& operator=(const MetadataDataBase&) = delete;

    // Adds the row, or updates path, revision and state of the row with the same (node, volume).
    void addRecord(const Record& record);
    // The row of this identity, if any.
    std::optional<Record> findRecord(uint64_t node, const std::string& volume);
    // Every row with this path, in storage order.
    std::vector<Record> findRecord(const std::string& path);
    void removeRecord(const Record& record);
    // The rows of items under the folder `from` name the folder `to` instead (the folder was moved):
    // those of items still in it and those of items replaced or removed in it since, which only their
    // path still ties to the server's items there.
    void moveFolderRows(const std::string& from, const std::string& to);

    // Uploads this client sent whose answer it may never have seen: the size and modification date (in
    // seconds, as sent) of the content sent to the server item of `path`, noted before it goes out and
    // forgotten once an upload of that path is answered. The server may have made any of them a
    // revision after the exchange was cut, or after this process died; a revision that has the facts of
    // one of them is this client's own, not a colleague's. A path keeps only its latest few.
    void noteSentUpload(const std::string& path, uint64_t size, int64_t modificationSeconds);
    bool sentUpload(const std::string& path, uint64_t size, int64_t modificationSeconds);
    bool anySentUpload(const std::string& path);
    // A folder creation is noted the same way, without size or date, and forgotten with them.
    void noteSentFolder(const std::string& path) { noteSentUpload(path, 0, kSentFolder); }
    bool sentFolder(const std::string& path) { return sentUpload(path, 0, kSentFolder); }
    void forgetSentUploads(const std::string& path);

    // False when the database could not be opened (or is not a database): operations then do nothing.
    bool isOpen() const;
    const std::string& databasePath() const { return path_; }

private:
    static constexpr int64_t kSentFolder = INT64_MIN;
    std::string path_;
    std::unique_ptr<SerialDatabase> db_;
};

}  // namespace tw
