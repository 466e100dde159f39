// Bringing the content of one server file into its local placeholder. The body is written straight into
// the local file as it arrives (never held in memory); an interrupted transfer leaves the bytes it got,
// and the next download of the item measures them and asks only for the rest ("&skip=", "&count=").
//
// What keeps a file from ever looking complete when it is not: the item stays `RequireDownload` for the
// whole transfer, and only an answer of exactly the bytes asked for, of the revision asked for, written
// and flushed to disk, counts as `allOkay`. Any other answer (short, long, not file content, a write
// error such as a full disk) is a failure and the item stays `RequireDownload`; a crash at any point
// leaves resumable partial content of a `RequireDownload` item. Bytes of an answer that cannot be
// trusted (longer than asked) are dropped, so a later resume does not build on them.
//
// Thread-safety: a DownloadDetails serves one download on one thread. Its `DownloadProgress` receives
// the body on the request's own thread while the caller's thread watches the transfer.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Pinewick/server/ServerFileObject.h"
#include "platform/fd.h"
#include "platform/http.h"

namespace tw {

class DownloadDetails;

// The receiving side of one download pass: opens the local file when the server answers with file
// content and writes each slice where it belongs; keeps any other answer (an error) in memory.
class DownloadProgress final : public platform::http::ResponseSink {
public:
    // Largest error answer kept; a longer one is cut off (it is never file content).
    static constexpr size_t kMaxErrorBody = 1 << 20;

    // `expected`: the count of bytes asked for from the skip offset on.
    DownloadProgress(DownloadDetails& details, uint64_t expected);

    bool begin(const platform::http::Response& head) override;
    bool write(const char* data, size_t count) override;
    // Flushes and closes the file (after the task has completed). False, with `writeError` set, when the
    // content did not reach the disk.
    bool finish();

    // Why the body was not taken as file content, for the failure line; empty when it was.
    std::string refusal;
    // The errno of a failed open, write, flush or close; 0 when none failed.
    int writeError = 0;
    bool wroteFile() const { return fileOpened_; }
    bool overlong() const { return overlong_; }
    uint64_t received() const { return received_.load(); }
    std::optional<std::string> dpData;

private:
    // Writes the gathered bytes at the end of what the file holds; false (with `writeError`) on failure.
    bool flushBuffer();

    // The network hands over a few kilobytes at a time; written one by one, each is a request of its own
    // to the watcher's mount. Gathered to this size they cost what a copy's writes cost. Bytes not yet
    // written are simply fetched again after a crash: the file only ever holds a prefix of the content.
    static constexpr size_t kWriteBlock = 1 << 20;

    DownloadDetails& details_;
    uint64_t expected_;
    std::vector<char> buffer_;
    platform::UniqueFd fileHandle_;
    bool fileOpened_ = false;
    bool overlong_ = false;
    std::atomic<uint64_t> received_{0};
};

class DownloadDetails {
public:
    // `localPath` = `localFolder` + "/" + the entry's name; `serverPath` the given one, or the one the
    // volume list gives for `localPath`. Runs in `env`, which must outlive it.
    DownloadDetails(const ServerEnvironment& env, const std::string& localFolder, ServerFileObject file,
                    const std::optional<std::string>& serverPath = std::nullopt);

    // Downloads synchronously. allOkay: the local file holds the whole content. attemptRecovery:
    // cancelled (`serverError` = canceled), missing on the server, an answer that is not the content
    // asked for, a write failure, or another server error. fatal: not ready, refused, or the server
    // asked for a retry.
    normalisedResponse downloadFile();

    // The request URL for the current `localFileSize` (exposed for tests of the wire form).
    std::string requestURL() const;

    const ServerEnvironment& env;
    ServerFileObject file;
    std::atomic<uint64_t> localFileSize{0};
    std::string localPath;
    std::string serverPath;
    serverError serverError_ = serverError::noError;
    // Why the last `downloadFile` did not end `allOkay`; empty after a success.
    std::string failureReason;
    // How often each pass waits for the transfer before it checks the item and the run state again.
    std::chrono::milliseconds monitorInterval{1000};

private:
    friend class DownloadProgress;
    void updateLocalFileSize();
    // Empties the local file when it is still an item waiting for its content, so no untrusted or
    // outdated bytes remain to be resumed from. Never touches an item in another state.
    bool dropPartialContent(const std::string& why);
    bool stillWanted();

    uint64_t volumeNumber_ = 0;
    uint64_t fileNumber_ = 0;
};

}  // namespace tw
