// Sending one local file to the server: in one multipart request, or, when the file's volume allows it,
// through the server's resumable upload service, which continues an interrupted transfer from where the
// server says it stopped. The body is an `UploadStream`: the prepared multipart header, the file's bytes
// straight from a read-only mapping of the file, and the prepared footer. The file is never copied into
// memory; pages already sent are dropped from the mapping as the transfer moves on.
//
// Thread-safety: an UploadDetails serves one upload on one thread. The HTTP layer reads the stream on
// the request's own thread while the caller's thread watches progress.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Pinewick/server/ServerFileObject.h"
#include "platform/fd.h"
#include "platform/http.h"

namespace tw {

enum class recoveryErrors : int {
    userCanceled = 1,
    conflict = 2,
    unknown = 3,
    locked = 4,
    systemCanceled = 5,
    quotaExceeded = 6,
    readOnlyMappoint = 7,
};
std::optional<recoveryErrors> recoveryErrorsFromRaw(int64_t raw);
const char* toString(recoveryErrors r);

// A read-only shared mapping of a whole file, unmapped and closed when dropped.
class MappedFile {
public:
    // Nothing when the file cannot be opened or mapped. An empty file maps to an empty view.
    static std::unique_ptr<MappedFile> open(const std::string& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    const uint8_t* data() const { return data_; }
    int64_t size() const { return size_; }
    int fd() const { return fd_.get(); }
    // Copies `count` bytes from `offset` of the mapping. False, instead of a crash, when the pages are
    // gone because the file was truncated since it was mapped (the fault is caught on this thread).
    bool copyOut(uint8_t* destination, int64_t offset, int64_t count) const;

private:
    MappedFile() = default;
    platform::UniqueFd fd_;
    const uint8_t* data_ = nullptr;
    int64_t size_ = 0;
};

class UploadStream final : public platform::http::BodySource {
public:
    enum class Status { notOpen = 0, open = 2, atEnd = 5, closed = 6 };

    // Nothing when the file cannot be read now (nothing must be sent in its place), or when the file at
    // `localPath` is not the item with file number `expectedNode` (0: any), so that another file that
    // took the name meanwhile is never sent as this one.
    static std::shared_ptr<UploadStream> make(std::string header, std::string footer,
                                              const std::string& localPath, int64_t resumeFrom,
                                              uint64_t expectedNode = 0);

    void open() { myStatus_ = Status::open; }
    void close() { myStatus_ = Status::closed; }
    // Copies the next slice; never crosses from header to file to footer in one call. -1 when the file
    // shrank under the upload: the request is then aborted rather than sent short or padded.
    int64_t read(uint8_t* buffer, size_t maxLength) override;
    int64_t length() const override { return streamSize_; }
    bool getBuffer() const { return false; }
    bool hasBytesAvailable();
    Status streamStatus() const { return myStatus_; }
    int64_t streamSize() const { return streamSize_; }
    int64_t currentOffset() const { return currentOffset_; }
    int64_t fileTransferSize() const { return fileTransferSize_; }

private:
    UploadStream() = default;
    void releaseSent(int64_t fileOffset);

    std::string header_;
    std::string footer_;
    std::unique_ptr<MappedFile> fileData_;
    int64_t currentOffset_ = 0;
    int64_t streamSize_ = 0;
    Status myStatus_ = Status::notOpen;
    int64_t fileResumeFrom_ = 0;
    int64_t fileTransferSize_ = 0;
    int64_t releasedUpTo_ = 0;  // file offset below which the mapping's pages were dropped
};

class UploadDetails {
public:
    // The upload of `localPath` in `env`, which must outlive it.
    UploadDetails(const ServerEnvironment& env, std::string localPath);
    normalisedResponse uploadFile();

    std::string boundary() const { return "---" + resumeGUID + "---"; }
    std::string description() const;

    const ServerEnvironment& env;
    std::string revision;
    Date creationDate;
    Date modificationDate;
    int64_t localSize = 0;
    std::string localPath;
    std::string resumeGUID;
    int64_t bytesSent = 0;
    std::optional<ServerFileObject> fileObject;
    recoveryErrors recoveryType = recoveryErrors::unknown;
    std::optional<ServerFileObject> conflictFile;
    // Why the last `uploadFile` ended `fatal`: the server's error case, the transport code, or the local
    // cause.
    std::string failureReason;
    // Whether the last exchange was sent, and whether the server answered it. Sent and unanswered (a
    // cancel, a cut connection, a time-out, a quit), the server may have carried it out all the same.
    bool sent = false;
    bool answered = false;
    // The file the facts were read from (its number on its volume; 0 when it could not be examined).
    uint64_t fileNumber() const { return fileNumber_; }

    // Multipart pieces (exposed for tests of the wire form).
    static std::string valueSection(const std::string& boundary, const std::string& field,
                                    const std::string& value);
    static std::string fileSection(const std::string& boundary, const std::string& filename);

private:
    normalisedResponse singleShot();
    normalisedResponse resumable();
    // The first step of a new item's resumable upload: the item made empty on the server.
    normalisedResponse createZero();
    normalisedResponse setupResume();
    normalisedResponse parseUploadResponse(const platform::http::Result& result);
    // `request` with the multipart body `header`, the file's bytes from `offset` on and `footer`, and
    // the file's progress shown from now on (`headerBytes` set for `monitor`). None, with the failure
    // noted, when the file no longer reads as `fileBytes` bytes from there.
    std::optional<platform::http::Request> withFileBody(platform::http::Request request,
                                                        const std::string& header, const std::string& footer,
                                                        int64_t offset, int64_t fileBytes,
                                                        std::optional<class IconProgress>& progress,
                                                        int64_t& headerBytes);
    // Watches one request: samples the file's bytes sent (those after the body's `headerBytes`, at most
    // `fileBytes`) and cancels the request when the upload is no longer wanted.
    void monitor(platform::http::Task& task, class IconProgress& progress, bool sleepFirst,
                 int64_t headerBytes, int64_t fileBytes);
    std::string serverPath() const;
    // One request cycle, noting whether its last exchange was sent and answered.
    normalisedResponse cycle(const ServerCommunicator::Pass& pass);

    uint64_t volumeNumber_ = 0;
    uint64_t fileNumber_ = 0;
};

}  // namespace tw
