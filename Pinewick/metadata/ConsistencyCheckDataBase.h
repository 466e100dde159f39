// When each synchronised folder was last compared with the server, kept in the SQLite file
// "ConsistencyCheckDataBase.db" in the support folder, so the periodic consistency check can always
// take the folder that has waited longest. Folders are keyed by identity (file number and volume UUID),
// so a folder keeps its history across renames and moves.
//
// Failures never reach the caller: they are logged. A database that cannot be opened, or a file that is
// not a database, is logged once as corrupt and left untouched, and every later operation does nothing.
//
// Thread-safety: every operation runs its statements synchronously on one serial queue; callers may be
// on any thread but not on that queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tw {

class SerialDatabase;

struct CCDBRecord {
    std::string volumeUUID;                             // the volume's UUID text
    uint64_t folderNode = 0;                            // the folder's file number on that volume
    std::chrono::system_clock::time_point refreshDate;  // last comparison with the server

    // All three fields with their names, for log lines.
    std::string description() const;
};

class ConsistencyCheckDataBase {
public:
    static constexpr const char* kFileName = "ConsistencyCheckDataBase.db";
    static constexpr const char* kQueueLabel = "com.meridot.tidewell.ConsistencyCheckDataBase";

    // The process-wide database in the configuration's support folder, made by the engine on first use;
    // never destroyed.
    static ConsistencyCheckDataBase& sharedInstance();

    explicit ConsistencyCheckDataBase(std::string databasePath);
    ~ConsistencyCheckDataBase();
    ConsistencyCheckDataBase(const ConsistencyCheckDataBase&) = delete;
    ConsistencyCheckDataBase& operator=(const ConsistencyCheckDataBase&) = delete;

    // Inserts a row without looking for an existing one (the caller decides between add and refresh).
    void addRecord(const CCDBRecord& record);
    // Sets the refresh date of the rows with this identity.
    void refreshRecord(const CCDBRecord& record);
    void removeRecord(const CCDBRecord& record);
    // The first row with this identity, in storage order.
    std::optional<CCDBRecord> findRecord(uint64_t node, const std::string& volume);
    // The row compared longest ago; none when the table is empty.
    std::optional<CCDBRecord> lastRefreshDateRecord();
    // The `limit` rows compared longest ago, oldest first.
    std::vector<CCDBRecord> lastRefreshDateRecords(size_t limit);
    // How many folders the table knows.
    uint64_t rowCount();
    // When the folder of `volume` compared longest ago was compared: every folder the table knows there
    // has been compared with the server since. None when it knows no folder of that volume.
    std::optional<std::chrono::system_clock::time_point> oldestRefresh(const std::string& volume);

    bool isOpen() const;
    const std::string& databasePath() const { return path_; }

private:
    std::string path_;
    std::unique_ptr<SerialDatabase> db_;
};

}  // namespace tw
