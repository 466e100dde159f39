#include "Pinewick/server/DownloadDetails.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Pinewick/config/Log.h"
#include "Pinewick/server/IconProgress.h"
#include "platform/files.h"

namespace tw {
namespace {

// A download that ends sooner leaves the file's dates and record alone.
constexpr std::chrono::seconds kShowProgressAfter{1};

bool startsWithIgnoringCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

}  // namespace

// ---------------------------------------------------------------- DownloadProgress

DownloadProgress::DownloadProgress(DownloadDetails& details, uint64_t expected)
    : details_(details), expected_(expected) {}

bool DownloadProgress::begin(const platform::http::Response& head) {
    if (head.statusCode != 200) return true;  // an error answer: kept in memory for the classification
    // Only file content of the revision asked for may go into the file. A captive portal or a proxy
    // answers 200 too, with a page of its own.
    auto type = head.header("Content-Type");
    if (!type || !startsWithIgnoringCase(*type, "application/octet-stream")) {
        refusal = "the answer is not file content (" + type.value_or("no content type") + ")";
        return true;
    }
    if (auto revision = head.header("X-Revision");
        revision && !details_.file.revision.empty() && *revision != details_.file.revision) {
        refusal = "the server sent revision " + *revision + " instead of " + details_.file.revision;
        return false;
    }
    if (auto length = head.header("Content-Length")) {
        char* end = nullptr;
        errno = 0;
        unsigned long long n = std::strtoull(length->c_str(), &end, 10);
        if (errno != 0 || end == length->c_str() || n != expected_) {
            refusal = "the server announced " + *length + " bytes where " + std::to_string(expected_) +
                      " were asked for";
            overlong_ = errno == 0 && n > expected_;
            return false;
        }
    }
    // No O_CREAT: a placeholder that vanished is not brought back; no O_TRUNC: the bytes before the
    // skip offset are the ones already downloaded.
    fileHandle_.reset(::open(details_.localPath.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (!fileHandle_ || ::fstat(fileHandle_.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        writeError = fileHandle_ ? EINVAL : errno;
        fileHandle_.reset();
        refusal = "the local file cannot be opened for writing";
        return false;
    }
    fileOpened_ = true;
    return true;
}

bool DownloadProgress::write(const char* data, size_t count) {
    if (!fileHandle_) {
        if (!dpData) dpData.emplace();
        if (dpData->size() + count > kMaxErrorBody) return false;
        dpData->append(data, count);
        return true;
    }
    uint64_t got = received_.load();
    if (got + count > expected_) {
        // Not one byte past what was asked for: the answer is not the content the entry describes.
        overlong_ = true;
        refusal = "the server sent more than the " + std::to_string(expected_) + " bytes asked for";
        return false;
    }
    if (buffer_.capacity() < kWriteBlock) buffer_.reserve(kWriteBlock);
    buffer_.insert(buffer_.end(), data, data + count);
    received_ = got + count;
    return buffer_.size() < kWriteBlock || flushBuffer();
}

bool DownloadProgress::flushBuffer() {
    uint64_t offset = details_.localFileSize.load();
    size_t done = 0;
    while (done < buffer_.size()) {
        ssize_t w = ::pwrite(fileHandle_.get(), buffer_.data() + done, buffer_.size() - done,
                             static_cast<off_t>(offset + done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            writeError = w < 0 ? errno : EIO;
            details_.localFileSize = offset + done;
            buffer_.clear();
            return false;
        }
        done += static_cast<size_t>(w);
    }
    details_.localFileSize = offset + done;
    buffer_.clear();
    return true;
}

bool DownloadProgress::finish() {
    if (!fileHandle_) return true;
    bool ok = writeError == 0 && flushBuffer();
    // The item is marked complete only after this; a crash before leaves it waiting for its content.
    if (::fdatasync(fileHandle_.get()) != 0 && errno != EINVAL) {
        if (!writeError) writeError = errno;
        ok = false;
    }
    int fd = fileHandle_.release();
    if (::close(fd) != 0 && errno != EINTR) {
        if (!writeError) writeError = errno;
        ok = false;
    }
    return ok && writeError == 0;
}

// ---------------------------------------------------------------- DownloadDetails

DownloadDetails::DownloadDetails(const ServerEnvironment& environment, const std::string& localFolder,
                                 ServerFileObject entry, const std::optional<std::string>& givenServerPath)
    : env(environment), file(std::move(entry)) {
    localPath = (localFolder.empty() ? std::string() : localFolder) + "/" + file.name;
    serverPath = givenServerPath ? *givenServerPath : env.serverFromLocal(localPath);
}

std::string DownloadDetails::requestURL() const {
    std::string url = ServerCommunicator::serviceBase(env) + "folders" +
                      ServerCommunicator::macToWindows(serverPath) +
                      "?revision=" + ServerCommunicator::simpleDataEscape(file.revision);
    uint64_t have = localFileSize.load();
    if (have != 0 && have <= file.size)
        url += "&skip=" + std::to_string(have) + "&count=" + std::to_string(file.size - have);
    return url;
}

void DownloadDetails::updateLocalFileSize() {
    if (auto attributes = platform::attributesOfItem(localPath)) localFileSize = attributes->size;
}

bool DownloadDetails::stillWanted() {
    // By identity where it can be resolved, so a file renamed during the transfer is still followed.
    std::string path = localPath;
    if (volumeNumber_ || fileNumber_) {
        std::string node = "/.vol/" + std::to_string(volumeNumber_) + "/" + std::to_string(fileNumber_);
        if (auto current = platform::resolveVolPath(node)) path = *current;
    }
    return env.itemRecords().load(path).status == CEAStatus::keys::RequireDownload;
}

bool DownloadDetails::dropPartialContent(const std::string& why) {
    if (env.itemRecords().load(localPath).status != CEAStatus::keys::RequireDownload) return false;
    if (::truncate(localPath.c_str(), 0) != 0) {
        log().logWarning("Could not empty " + localPath + " (" + why + "): " + std::strerror(errno));
        return false;
    }
    localFileSize = 0;
    return true;
}

normalisedResponse DownloadDetails::downloadFile() {
    serverError_ = serverError::noError;
    failureReason.clear();
    {
        // Content is only ever written into an item that waits for it: any other item may hold the
        // user's own bytes.
        auto record = env.itemRecords().load(localPath);
        volumeNumber_ = record.volumeNumber;
        fileNumber_ = record.fileNumber;
        if (record.status != CEAStatus::keys::RequireDownload) {
            failureReason = "the item no longer waits for its content";
            serverError_ = serverError::canceled;
            return normalisedResponse::attemptRecovery;
        }
    }
    // A file that changes faster than it can be fetched is left for a later download.
    constexpr int kMaxRevisionChanges = 5;
    int revisionChanges = 0;
    for (;;) {
        if (!env.allowServerCommunication() || !ServerCommunicator::ready(env)) {
            failureReason = "not sent: no network, server communication not allowed, or no session";
            return normalisedResponse::fatal;
        }
        updateLocalFileSize();
        if (localFileSize.load() > file.size) {
            // More than the server has cannot be the start of its content (a count below zero is never
            // asked for): the file is fetched again from the start.
            log().logWarning("Local file " + localPath + " holds " + std::to_string(localFileSize.load()) +
                             " bytes, more than the server's " + std::to_string(file.size) +
                             "; it is downloaded again from the start");
            if (!dropPartialContent("longer than the server's file")) {
                failureReason = "the local file is longer than the server's and cannot be emptied";
                return normalisedResponse::attemptRecovery;
            }
        }
        const uint64_t skip = localFileSize.load();
        const uint64_t expected = file.size - skip;

        auto request = ServerCommunicator::makeRequest(env, requestURL(), "GET", "application/octet-stream");
        auto sink = std::make_shared<DownloadProgress>(*this, expected);
        request.responseSink = sink;
        IconProgress iconProgress(env.itemRecords(), localPath, file.size,
                                  TransferProgress::Direction::download, kShowProgressAfter);
        bool cancelled = false;

        platform::http::Result result;
        auto task = platform::http::Session::shared().start(
            std::move(request), [&](platform::http::Result r) { result = std::move(r); });
        // The bytes that arrived are sampled often, for whoever shows them; whether the transfer is still
        // wanted (a look at the item's record) is asked only once per monitor interval.
        const auto sample = std::min(monitorInterval, std::chrono::milliseconds(Transfers::kReportInterval));
        auto nextCheck = std::chrono::steady_clock::now() + monitorInterval;
        ServerCommunicator::Cuttable cuttable(*task);
        while (!task->waitFor(sample)) {
            iconProgress.setTransfered(skip + sink->received());
            if (cancelled || std::chrono::steady_clock::now() < nextCheck) continue;
            nextCheck = std::chrono::steady_clock::now() + monitorInterval;
            if (!stillWanted() || !env.networkAvailable() || !env.allowServerCommunication()) {
                task->cancel();
                cancelled = true;
            }
        }
        task->wait();
        if (cuttable.cut()) cancelled = true;
        bool flushed = sink->finish();
        if (sink->wroteFile() && sink->received() == expected)
            iconProgress.setTransfered(localFileSize.load());
        iconProgress.setInProgress(false);

        // Local failures first: they say more than the transport's view of them.
        if (sink->writeError != 0 || !flushed) {
            failureReason = sink->refusal.empty()
                                ? std::string("cannot write to the file: ") + std::strerror(sink->writeError)
                                : sink->refusal + ": " + std::strerror(sink->writeError);
            log().logWarning("Download of " + localPath + " stopped, " + failureReason +
                             "; it stays waiting for its content");
            return normalisedResponse::attemptRecovery;
        }
        if (sink->overlong()) {
            failureReason = sink->refusal;
            log().logWarning("Download of " + localPath + " refused: " + failureReason +
                             "; the bytes received are dropped and it stays waiting for its content");
            dropPartialContent("answer longer than asked for");
            return normalisedResponse::attemptRecovery;
        }
        if (!sink->refusal.empty() && result.error && !cancelled) {
            failureReason = sink->refusal;
            log().logWarning("Download of " + localPath + " refused: " + failureReason +
                             "; it stays waiting for its content");
            return normalisedResponse::attemptRecovery;
        }

        if (cancelled && result.error && result.error->code == platform::http::kCancelled) {
            serverError_ = serverError::canceled;
            failureReason = "cancelled";
            return normalisedResponse::attemptRecovery;
        }

        platform::http::Result classified = result;
        classified.data = sink->dpData;
        auto c = ServerCommunicator::handleResponse(env, classified);
        switch (c.action) {
            case normalisedResponse::allOkay: {
                if (cancelled) {
                    serverError_ = serverError::canceled;
                    failureReason = "cancelled";
                    return normalisedResponse::attemptRecovery;
                }
                bool content = sink->wroteFile() || (expected == 0 && !sink->dpData);
                if (!content || sink->received() != expected || localFileSize.load() != file.size) {
                    failureReason =
                        !content ? (sink->refusal.empty() ? std::string("the answer is not file content")
                                                          : sink->refusal)
                                 : "the server sent " + std::to_string(sink->received()) + " of the " +
                                       std::to_string(expected) + " bytes asked for";
                    log().logWarning("Download of " + localPath + " incomplete: " + failureReason +
                                     "; it stays waiting for its content");
                    return normalisedResponse::attemptRecovery;
                }
                return normalisedResponse::allOkay;
            }
            case normalisedResponse::tryAgain:
                failureReason = "the server asked for a retry";
                return normalisedResponse::fatal;
            case normalisedResponse::fatal:
                log().logFatal("Disaster error encountered");
                failureReason = describeFailure(result, c);
                return normalisedResponse::fatal;
            case normalisedResponse::attemptRecovery:
                break;
        }
        if (c.serverErrorCode == serverError::itemNotFound) {
            failureReason = "missing on the server";
            log().logWarning("Download item missing on server " + localPath);
            return normalisedResponse::attemptRecovery;
        }
        if (c.serverErrorCode == serverError::revisionsDoNotMatch) {
            auto newer = ServerFileObject::fromConflictAnswer(sink->dpData);
            if (newer && ++revisionChanges <= kMaxRevisionChanges) {
                // The bytes so far belong to the old revision; the new one is fetched from the start.
                if (!dropPartialContent("the server's file changed")) {
                    failureReason = "the server's file changed and the local file cannot be emptied";
                    return normalisedResponse::attemptRecovery;
                }
                newer->name = file.name;
                // Unwritten (the record logged why), the item keeps the old revision meanwhile: it
                // still waits for its content, and the completed download writes the revision fetched.
                (void)env.itemRecords().refreshFile(localPath, *newer);
                file = *newer;
                continue;
            }
            failureReason = "the server's file changed";
            return normalisedResponse::attemptRecovery;
        }
        if (c.serverErrorCode == serverError::canceled) serverError_ = serverError::canceled;
        failureReason = describeFailure(result, c);
        log().logWarning("Download of " + localPath + " failed with error " + toString(c.serverErrorCode));
        return normalisedResponse::attemptRecovery;
    }
}

}  // namespace tw
