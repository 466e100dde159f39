// The usage report sent to the server's audit service after every automatic logon: how many files and
// bytes the user keeps in the active mappoint folders (the server environment's `activeFolders`) and
// how many of them still wait for upload.
// `AuditStatistics` walks the folders and counts per file type; `Audit` posts the totals. The report
// is informational: nothing waits for it and a failure is only logged.
//
// Thread-safety: one `AuditStatistics` per report, used by one thread; `report` and `auditSend` hand
// their work to a background queue and return at once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "Pinewick/server/ServerCommunicator.h"

namespace tw {

class AuditStatistics {
public:
    struct Stats {
        uint64_t fileCount = 0;        // files seen
        uint64_t fileSize = 0;         // their bytes
        uint64_t needUploadCount = 0;  // files still to upload
        uint64_t needUploadSize = 0;   // their bytes
        // The four fields with their names.
        std::string description() const;
        bool operator==(const Stats&) const = default;
    };

    // A report in `env`, which must outlive it and the send it makes.
    explicit AuditStatistics(const ServerEnvironment& env) : env(env) {}

    // Runs a whole report (scan, summary, send, log) for a new, empty AuditStatistics on a
    // background-quality global queue and returns at once. `done`, when given, runs after the send
    // has been answered (or was not made), on a background thread.
    static void report(const ServerEnvironment& env, std::function<void()> done = {});
    // The same steps on the calling thread; `done` as above.
    void reportNow(std::function<void()> done = {});

    // Counts every regular file under `localFolder`, recursively; unreadable entries are skipped.
    void scanFolder(const std::string& localFolder);
    // Counts one file under its lower-case extension ("" for none), unless it is on the ignore list.
    // Pending means its synchronisation state is RequireUpload or Unknown.
    void auditFile(const std::string& filePath, uint64_t fileSize);
    // Adds every type's counts into `totalStats`.
    void createSummary();

    const ServerEnvironment& env;
    std::map<std::string, Stats> fileTypes;  // by lower-case extension, "" for none
    Stats totalStats;                        // the sum over all types (after createSummary)
};

class Audit {
public:
    explicit Audit(const ServerEnvironment& env) : env(env) {}

    // The report document: exactly "filesSyncPendingUpload", "sizeSyncPendingUpload",
    // "localCacheFileCount" and "localCacheSize", pretty-printed.
    static std::string reportDocument(const AuditStatistics::Stats& totals);
    // The request body: "data=" and the document, not escaped.
    static std::string reportBody(const AuditStatistics::Stats& totals);

    // Sends the totals when the request core is ready, and returns without waiting for the answer.
    // An answer other than allOkay is logged as a warning with the body. `completion`, when given,
    // runs on a background thread with the outcome (fatal when nothing was sent).
    void auditSend(const AuditStatistics& stats, std::function<void(normalisedResponse)> completion = {});

    const ServerEnvironment& env;
};

}  // namespace tw
