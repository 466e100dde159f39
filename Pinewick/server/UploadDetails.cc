#include "Pinewick/server/UploadDetails.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>

#include "Pinewick/config/Log.h"
#include "Pinewick/server/IconProgress.h"
#include "Pinewick/server/LocalFileDates.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "Pinewick/server/ServerRequests.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/uuid.h"

namespace tw {
namespace {

constexpr int64_t kReleaseChunk = 8 << 20;  // drop sent pages from memory in steps of this size
// An upload that ends sooner leaves the file's dates and record alone.
constexpr std::chrono::seconds kShowProgressAfter{1};

// Why an upload stops before sending anything: the identifier that lets a restart resume it (and the
// watch tell it from a cancelled one) is not on the file.
std::string unrecordedIdentifier(const SaveResult& result) {
    return "its upload identifier could not be recorded on the file (" + result.cause().describe() + ")";
}

}  // namespace

std::optional<recoveryErrors> recoveryErrorsFromRaw(int64_t raw) {
    if (raw >= 1 && raw <= 7) return static_cast<recoveryErrors>(raw);
    return std::nullopt;
}

const char* toString(recoveryErrors r) {
    switch (r) {
        case recoveryErrors::userCanceled:
            return "userCanceled";
        case recoveryErrors::conflict:
            return "conflict";
        case recoveryErrors::unknown:
            return "unknown";
        case recoveryErrors::locked:
            return "locked";
        case recoveryErrors::systemCanceled:
            return "systemCanceled";
        case recoveryErrors::quotaExceeded:
            return "quotaExceeded";
        case recoveryErrors::readOnlyMappoint:
            return "readOnlyMappoint";
    }
    return "unknown";
}

// ---------------------------------------------------------------- MappedFile

std::unique_ptr<MappedFile> MappedFile::open(const std::string& path) {
    std::unique_ptr<MappedFile> m(new MappedFile());
    m->fd_.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!m->fd_) return nullptr;
    struct stat st {};
    if (::fstat(m->fd_.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    m->size_ = st.st_size;
    if (m->size_ == 0) return m;
    void* p = ::mmap(nullptr, static_cast<size_t>(m->size_), PROT_READ, MAP_SHARED, m->fd_.get(), 0);
    if (p == MAP_FAILED) return nullptr;
    m->data_ = static_cast<const uint8_t*>(p);
    ::madvise(p, static_cast<size_t>(m->size_), MADV_SEQUENTIAL);
    return m;
}

namespace {

// A read of a mapped page past the end of a file that was truncated after mapping raises SIGBUS. The
// copy below marks its thread as guarded; the handler jumps back out of a guarded copy and hands every
// other SIGBUS to whoever handled it before.
thread_local sigjmp_buf* t_guard = nullptr;
struct sigaction g_previousBus;

void onBus(int sig, siginfo_t* info, void* context) {
    if (sigjmp_buf* env = t_guard) {
        t_guard = nullptr;
        siglongjmp(*env, 1);
    }
    if (g_previousBus.sa_flags & SA_SIGINFO) {
        if (g_previousBus.sa_sigaction) return g_previousBus.sa_sigaction(sig, info, context);
    } else if (g_previousBus.sa_handler != SIG_DFL && g_previousBus.sa_handler != SIG_IGN &&
               g_previousBus.sa_handler) {
        return g_previousBus.sa_handler(sig);
    }
    ::signal(SIGBUS, SIG_DFL);
    ::raise(SIGBUS);
}

void installBusGuard() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = onBus;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGBUS, &sa, &g_previousBus);
    });
}

}  // namespace

bool MappedFile::copyOut(uint8_t* destination, int64_t offset, int64_t count) const {
    if (offset < 0 || count < 0 || offset + count > size_) return false;
    if (count == 0) return true;
    installBusGuard();
    sigjmp_buf env;
    if (sigsetjmp(env, 1) != 0) return false;  // the pages vanished under the copy
    t_guard = &env;
    memcpy(destination, data_ + offset, static_cast<size_t>(count));
    t_guard = nullptr;
    return true;
}

MappedFile::~MappedFile() {
    if (data_) ::munmap(const_cast<uint8_t*>(data_), static_cast<size_t>(size_));
}

// ---------------------------------------------------------------- UploadStream

std::shared_ptr<UploadStream> UploadStream::make(std::string header, std::string footer,
                                                 const std::string& localPath, int64_t resumeFrom,
                                                 uint64_t expectedNode) {
    auto file = MappedFile::open(localPath);
    if (!file) return nullptr;
    struct stat st {};
    if (expectedNode != 0 && (::fstat(file->fd(), &st) != 0 || st.st_ino != expectedNode)) return nullptr;
    if (resumeFrom < 0 || resumeFrom > file->size()) return nullptr;
    std::shared_ptr<UploadStream> s(new UploadStream());
    s->header_ = std::move(header);
    s->footer_ = std::move(footer);
    s->fileResumeFrom_ = resumeFrom;
    s->releasedUpTo_ = resumeFrom;
    s->fileTransferSize_ = file->size() - resumeFrom;
    s->fileData_ = std::move(file);
    s->streamSize_ = static_cast<int64_t>(s->header_.size() + s->footer_.size()) + s->fileTransferSize_;
    return s;
}

bool UploadStream::hasBytesAvailable() {
    if (currentOffset_ == streamSize_) myStatus_ = Status::atEnd;
    return currentOffset_ < streamSize_;
}

void UploadStream::releaseSent(int64_t fileOffset) {
    // Sent pages are of no further use; dropping them keeps the resident size flat for any file size,
    // and telling the page cache the same keeps the read uncached.
    if (fileOffset - releasedUpTo_ < kReleaseChunk && fileOffset < fileData_->size()) return;
    int64_t page = sysconf(_SC_PAGESIZE);
    int64_t from = releasedUpTo_ / page * page;
    int64_t to = fileOffset / page * page;
    if (to <= from) return;
    ::madvise(const_cast<uint8_t*>(fileData_->data()) + from, static_cast<size_t>(to - from), MADV_DONTNEED);
    ::posix_fadvise(fileData_->fd(), from, to - from, POSIX_FADV_DONTNEED);
    releasedUpTo_ = to;
}

int64_t UploadStream::read(uint8_t* buffer, size_t maxLength) {
    const int64_t headerLength = static_cast<int64_t>(header_.size());
    int64_t n = std::min<int64_t>(static_cast<int64_t>(maxLength), streamSize_ - currentOffset_);
    int64_t count = 0;
    if (currentOffset_ < headerLength) {
        count = std::min(n, headerLength - currentOffset_);
        memcpy(buffer, header_.data() + currentOffset_, static_cast<size_t>(count));
    } else if (currentOffset_ < headerLength + fileTransferSize_) {
        count = std::min(n, headerLength + fileTransferSize_ - currentOffset_);
        int64_t fileOffset = currentOffset_ + fileResumeFrom_ - headerLength;
        // Reading a mapped page past the end of a file that shrank would fault; look first.
        struct stat st {};
        if (::fstat(fileData_->fd(), &st) != 0 || st.st_size < fileOffset + count) {
            log().logWarning("File changed size while it was being uploaded; the upload is stopped");
            return -1;
        }
        if (!fileData_->copyOut(buffer, fileOffset, count)) {
            log().logWarning("File changed size while it was being uploaded; the upload is stopped");
            return -1;
        }
        releaseSent(fileOffset + count);
    } else if (currentOffset_ == streamSize_) {
        myStatus_ = Status::atEnd;
        return 0;
    } else {
        count = std::min(n, streamSize_ - currentOffset_);
        memcpy(buffer, footer_.data() + (currentOffset_ - headerLength - fileTransferSize_),
               static_cast<size_t>(count));
    }
    currentOffset_ += count;
    if (currentOffset_ == streamSize_) myStatus_ = Status::atEnd;
    return count;
}

// ---------------------------------------------------------------- UploadDetails

std::string UploadDetails::valueSection(const std::string& boundary, const std::string& field,
                                        const std::string& value) {
    return "\r\n--" + boundary + "\r\nContent-Disposition:form-data; name=\"" + field + "\"\r\n\r\n" + value;
}

std::string UploadDetails::fileSection(const std::string& boundary, const std::string& filename) {
    return "\r\n--" + boundary + "\r\nContent-Disposition:form-data; name=\"file\"; filename=\"" + filename +
           "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
}

UploadDetails::UploadDetails(const ServerEnvironment& environment, std::string path)
    : env(environment), localPath(std::move(path)) {
    auto facts = env.itemRecords().load(localPath);
    if (facts.revision) revision = *facts.revision;
    if (facts.uploadGUID) resumeGUID = *facts.uploadGUID;
    volumeNumber_ = facts.volumeNumber;
    fileNumber_ = facts.fileNumber;
    if (auto f = localFileFacts(localPath)) {
        localSize = f->size;
        creationDate = f->creationDate;
        modificationDate = f->modificationDate;
    } else {
        creationDate = modificationDate = env.now();
    }
    if (facts.exists)
        if (auto dbRevision = env.itemRecords().databaseRevision(volumeNumber_, fileNumber_))
            revision = *dbRevision;
}

std::string UploadDetails::description() const {
    return "UploadDetails\r{\r        Local Path: " + localPath + "\r       Resume GUID: " + resumeGUID +
           "\r          Revision: " + revision + "\r        Local Size: " + std::to_string(localSize) +
           "\r        Bytes Sent: " + std::to_string(bytesSent) +
           "\r     Creation Date: " + describeDate(creationDate) +
           "\r Modification Date: " + describeDate(modificationDate) + "\r}\r";
}

std::string UploadDetails::serverPath() const {
    return env.serverFromLocal(localPath);
}

normalisedResponse UploadDetails::cycle(const ServerCommunicator::Pass& pass) {
    ServerCommunicator::Pass watched = pass;
    watched.build = [&]() -> std::optional<platform::http::Request> {
        auto request = pass.build();
        sent = sent || request.has_value();
        return request;
    };
    sent = false;
    return ServerCommunicator::requestCycle(env, watched, &answered);
}

normalisedResponse UploadDetails::uploadFile() {
    auto volume = env.findVolume(localPath);
    if (!volume) {
        failureReason = "the file is on no mappoint volume";
        return normalisedResponse::fatal;
    }
    // What stands when no request could be sent at all; every later failure says its own cause.
    failureReason = "not sent: no network, server communication not allowed, or no session";
    return volume->canResumeUploads && localSize >= env.resumableUploadsFrom ? resumable() : singleShot();
}

void UploadDetails::monitor(platform::http::Task& task, IconProgress& progress, bool sleepFirst,
                            int64_t headerBytes, int64_t fileBytes) {
    // The bytes sent are sampled often, for whoever shows them; whether the upload is still wanted is
    // asked once a second, at the start of each second in the resumable form and at its end in the other.
    const auto checkInterval = std::chrono::seconds(1);
    auto nextCheck = std::chrono::steady_clock::now();
    if (sleepFirst) nextCheck += checkInterval;
    while (task.state() == platform::http::Task::State::running) {
        // The body's header goes first: what counts is the file's own bytes.
        int64_t ofFile = std::clamp<int64_t>(task.countOfBytesSent() - headerBytes, 0, fileBytes);
        progress.setTransfered(static_cast<uint64_t>(bytesSent + ofFile));
        if (std::chrono::steady_clock::now() >= nextCheck) {
            nextCheck = std::chrono::steady_clock::now() + checkInterval;
            // By identity first, so a renamed file is still found; by path where identity cannot be
            // resolved.
            ItemFacts facts;
            if (volumeNumber_ || fileNumber_) facts = env.itemRecords().loadNode(volumeNumber_, fileNumber_);
            if (!facts.exists) facts = env.itemRecords().load(localPath);
            if (facts.exists && !facts.uploadGUID) task.cancel();
            if (!env.networkAvailable() || !env.allowServerCommunication()) task.cancel();
        }
        // Waiting on the task rather than sleeping ends the watch as soon as it is done.
        if (task.waitFor(Transfers::kReportInterval)) break;
    }
}

normalisedResponse UploadDetails::singleShot() {
    resumeGUID = platform::newUUID();
    // The transfer is watched through this identifier on the record: without it the watch would take
    // the upload for one the user cancelled.
    if (auto marked = env.itemRecords().setUploadGUID(localPath, resumeGUID, fileNumber_); !marked) {
        failureReason = unrecordedIdentifier(marked);
        return normalisedResponse::fatal;
    }
    std::optional<IconProgress> progress;
    int64_t headerBytes = 0;
    ServerCommunicator::Pass pass;
    pass.build = [&]() -> std::optional<platform::http::Request> {
        std::string path = serverPath();
        auto request = ServerCommunicator::makeRequest(
            env, ServerCommunicator::serviceBase(env) + "folders" + ServerCommunicator::macToWindows(path),
            "POST");
        request.idlePriority = true;  // nobody waits for an upload
        resumeGUID = platform::newUUID();
        request.headers.emplace_back("Content-Type", "multipart/form-data; boundary=" + boundary());
        std::string header =
            valueSection(boundary(), "operation", "create") +
            valueSection(boundary(), "creation_time", ServerCommunicator::formatDate(creationDate)) +
            valueSection(boundary(), "modification_time", ServerCommunicator::formatDate(modificationDate)) +
            valueSection(boundary(), "size", std::to_string(localSize)) +
            valueSection(boundary(), "revision", revision) +
            fileSection(boundary(), platform::lastPathComponent(path));
        std::string footer = "\r\n--" + boundary() + "--\r\n";
        return withFileBody(std::move(request), header, footer, 0, localSize, progress, headerBytes);
    };
    pass.monitor = [&](platform::http::Task& task) {
        monitor(task, *progress, true, headerBytes, localSize);
    };
    pass.complete = [&](const platform::http::Result& result) {
        progress->setInProgress(false);
        return parseUploadResponse(result);
    };
    return cycle(pass);
}

std::optional<platform::http::Request> UploadDetails::withFileBody(
    platform::http::Request request, const std::string& header, const std::string& footer, int64_t offset,
    int64_t fileBytes, std::optional<IconProgress>& progress, int64_t& headerBytes) {
    auto stream = UploadStream::make(header, footer, localPath, offset, fileNumber_);
    if (!stream || stream->fileTransferSize() != fileBytes) {
        // Nothing may go out in place of the file, and a size that changed since the facts were read
        // would contradict the size section.
        log().logWarning("Upload of " + localPath + " not sent: the file cannot be read as it was");
        failureReason = "the file cannot be read as it was";
        return std::nullopt;
    }
    request.headers.emplace_back("Content-Length", std::to_string(stream->streamSize()));
    request.bodySource = stream;
    headerBytes = static_cast<int64_t>(header.size());
    progress.emplace(env.itemRecords(), localPath, static_cast<uint64_t>(localSize),
                     TransferProgress::Direction::upload, kShowProgressAfter);
    return request;
}

normalisedResponse UploadDetails::parseUploadResponse(const platform::http::Result& result) {
    auto c = ServerCommunicator::handleResponse(env, result);
    auto fatal = [&](std::string why) {
        failureReason = std::move(why);
        return normalisedResponse::fatal;
    };
    switch (c.action) {
        case normalisedResponse::allOkay: {
            auto doc = nlohmann::json::parse(result.data.value_or(""), nullptr, false);
            if (!doc.is_object()) {
                log().logWarning("Upload of " + localPath + " answered without an entry");
                return fatal("the server answered without an entry");
            }
            fileObject = ServerFileObject(doc);
            return normalisedResponse::allOkay;
        }
        case normalisedResponse::fatal:
            return fatal(describeFailure(result, c));
        case normalisedResponse::tryAgain:
            return normalisedResponse::tryAgain;
        case normalisedResponse::attemptRecovery:
            break;
    }
    if (!result.data || result.data->empty()) {
        if (!result.error || result.error->code != platform::http::kCancelled)
            return fatal(describeFailure(result, c));
        recoveryType = env.networkAvailable() && env.allowServerCommunication()
                           ? recoveryErrors::userCanceled
                           : recoveryErrors::systemCanceled;
        failureReason = recoveryType == recoveryErrors::userCanceled
                            ? "cancelled: the file changed or is no longer to be sent"
                            : "cancelled: server contact paused or the network gone";
        return normalisedResponse::attemptRecovery;
    }
    switch (c.serverErrorCode) {
        case serverError::quotaExceeded:
            recoveryType = recoveryErrors::quotaExceeded;
            return normalisedResponse::attemptRecovery;
        case serverError::mappointIsReadOnly:
            recoveryType = recoveryErrors::readOnlyMappoint;
            return normalisedResponse::attemptRecovery;
        case serverError::smbFileSystemError: {
            CreateFolderDetails create(env, platform::parentFolder(localPath), creationDate);
            if (create.createFolder() == normalisedResponse::allOkay) {
                bytesSent = 0;
                return normalisedResponse::tryAgain;
            }
            return fatal(describeFailure(result, c) + ", and its folder could not be created");
        }
        case serverError::revisionsDoNotMatch: {
            recoveryType = recoveryErrors::unknown;
            conflictFile = ServerFileObject::fromConflictAnswer(result.data);
            if (conflictFile) {
                recoveryType = recoveryErrors::conflict;
            } else {
                FetchAttributes fetch(env, localPath);
                if (fetch.performServerAction() == normalisedResponse::allOkay) {
                    conflictFile = fetch.fileObject;
                    recoveryType = recoveryErrors::conflict;
                }
            }
            return normalisedResponse::attemptRecovery;
        }
        default:
            return fatal(describeFailure(result, c));
    }
}

normalisedResponse UploadDetails::createZero() {
    ServerCommunicator::Pass pass;
    pass.build = [&]() -> std::optional<platform::http::Request> {
        std::string escaped = ServerCommunicator::macToWindows(serverPath());
        auto request = ServerCommunicator::makeRequest(
            env, ServerCommunicator::serviceBase(env) + "folders" + escaped, "POST");
        resumeGUID = platform::newUUID();
        request.headers.emplace_back("Content-Type", "multipart/form-data; boundary=" + boundary());
        request.body =
            valueSection(boundary(), "operation", "create") +
            valueSection(boundary(), "creation_time", ServerCommunicator::formatDate(creationDate)) +
            valueSection(boundary(), "modification_time", ServerCommunicator::formatDate(modificationDate)) +
            valueSection(boundary(), "size", "0") + valueSection(boundary(), "revision", revision) +
            fileSection(boundary(), platform::lastPathComponent(escaped)) + "\r\n--" + boundary() + "--\r\n";
        request.headers.emplace_back("Content-Length", std::to_string(request.body.size()));
        return request;
    };
    pass.complete = [&](const platform::http::Result& result) { return parseUploadResponse(result); };
    return cycle(pass);
}

normalisedResponse UploadDetails::setupResume() {
    ServerCommunicator::Pass pass;
    pass.build = [&]() -> std::optional<platform::http::Request> {
        return ServerCommunicator::makeRequest(env,
                                               ServerCommunicator::serviceBase(env) + "resume/upload" +
                                                   ServerCommunicator::macToWindows(serverPath()) +
                                                   "?resume_id=" + resumeGUID,
                                               "GET");
    };
    pass.complete = [&](const platform::http::Result& result) {
        auto c = ServerCommunicator::handleResponse(env, result);
        if (c.action == normalisedResponse::fatal) failureReason = describeFailure(result, c);
        if (c.action != normalisedResponse::allOkay) return c.action;
        auto doc = nlohmann::json::parse(result.data.value_or(""), nullptr, false);
        auto locked = doc.is_object() ? doc.find("is_locked") : doc.end();
        if (!doc.is_object() || locked == doc.end() || !locked->is_string()) {
            failureReason = "the server's resume state has no lock flag";
            return normalisedResponse::fatal;
        }
        // The platform's boolValue rule: leading blanks, optional sign and zeros, then Y/y/T/t or 1-9.
        std::string v = locked->get<std::string>();
        size_t i = v.find_first_not_of(" \t\n");
        if (i != std::string::npos && (v[i] == '+' || v[i] == '-')) ++i;
        while (i != std::string::npos && i < v.size() && v[i] == '0') ++i;
        bool isLocked =
            i != std::string::npos && i < v.size() &&
            (v[i] == 'Y' || v[i] == 'y' || v[i] == 'T' || v[i] == 't' || (v[i] >= '1' && v[i] <= '9'));
        if (isLocked) {
            recoveryType = recoveryErrors::locked;
            return normalisedResponse::attemptRecovery;
        }
        auto received = doc.find("bytes_received");
        int64_t bytes = 0;
        if (received != doc.end() && received->is_string()) {
            const std::string& digits = received->get_ref<const std::string&>();
            bool ok = !digits.empty() && digits.size() < 19 &&
                      digits.find_first_not_of("0123456789") == std::string::npos;
            if (ok) bytes = std::stoll(digits);
        }
        // A count the file cannot have would make the resumed request lie about its offset.
        if (bytes < 0 || bytes > localSize) {
            log().logWarning("Resumable upload of " + localPath +
                             ": server reports more bytes than the file has");
            failureReason = "the server reports more bytes than the file has";
            return normalisedResponse::fatal;
        }
        bytesSent = bytes;
        return normalisedResponse::allOkay;
    };
    return cycle(pass);
}

normalisedResponse UploadDetails::resumable() {
    if (resumeGUID.empty() && revision.empty()) {
        // A new item is made empty first, with the protocol's own create, which the server refuses
        // when an item stands under the name already: the resume that follows is then checked
        // against this item's revision, never against nothing. Not for a file that is no longer the
        // one these facts are about.
        if (fileNumber_ != 0) {
            auto now = platform::attributesOfItem(localPath);
            if (!now || now->systemFileNumber != fileNumber_) {
                failureReason = "the file cannot be read as it was";
                return normalisedResponse::fatal;
            }
        }
        auto created = createZero();
        if (created != normalisedResponse::allOkay) return created;
        if (fileObject) revision = fileObject->revision;
        resumeGUID = platform::newUUID();
        SaveResult marked = env.itemRecords().setUploadGUID(localPath, resumeGUID, fileNumber_);
        if (marked) marked = env.itemRecords().setRevision(localPath, revision, fileNumber_);
        if (!marked) {
            // The file went away meanwhile: the empty item just made would stand on the server with
            // nobody here knowing it.
            DeleteDetails(env, localPath, false, revision).internalDelete();
            failureReason = unrecordedIdentifier(marked);
            return normalisedResponse::fatal;
        }
    } else if (resumeGUID.empty()) {
        // A new revision of an existing item starts at offset 0 under an identifier recorded on the
        // file first, so a restart resumes it. The bytes gather in the server's resume area and
        // become a revision only when the last one arrives, checked against the revision the file is
        // based on: colleagues never see an empty or partial revision, whatever happens in between.
        resumeGUID = platform::newUUID();
        if (auto marked = env.itemRecords().setUploadGUID(localPath, resumeGUID, fileNumber_); !marked) {
            failureReason = unrecordedIdentifier(marked);
            return normalisedResponse::fatal;
        }
        bytesSent = 0;
    } else {
        auto setup = setupResume();
        if (setup != normalisedResponse::allOkay) return setup;
    }
    std::optional<IconProgress> progress;
    int64_t headerBytes = 0;
    ServerCommunicator::Pass pass;
    pass.build = [&]() -> std::optional<platform::http::Request> {
        int64_t remaining = localSize - bytesSent;
        std::string escaped = ServerCommunicator::macToWindows(serverPath());
        auto request = ServerCommunicator::makeRequest(
            env,
            ServerCommunicator::serviceBase(env) + "resume/upload" + escaped + "?resume_id=" + resumeGUID,
            "POST");
        request.idlePriority = true;  // nobody waits for an upload
        if (bytesSent == 0) request.headers.emplace_back("br_start", "true");
        request.headers.emplace_back("br_file_size", std::to_string(localSize));
        request.headers.emplace_back("br_offset", std::to_string(bytesSent));
        request.headers.emplace_back("br_block_size", std::to_string(remaining));
        request.headers.emplace_back("br_new_path", escaped);
        request.headers.emplace_back("br_finish", "true");
        request.headers.emplace_back("br_file_hash_type", "NONE");
        request.headers.emplace_back("br_block_hash_type", "NONE");
        request.headers.emplace_back("br_revision", revision);
        request.headers.emplace_back("br_file_creation_time", ServerCommunicator::formatDate(creationDate));
        request.headers.emplace_back("br_file_modification_time",
                                     ServerCommunicator::formatDate(modificationDate));
        request.headers.emplace_back("Content-Type", "multipart/form-data; boundary=" + boundary());
        std::string header = valueSection(boundary(), "operation", "create") +
                             valueSection(boundary(), "size", std::to_string(remaining)) +
                             fileSection(boundary(), platform::lastPathComponent(escaped) + ".frag");
        std::string footer = "\r\n--" + boundary() + "\r\n";
        return withFileBody(std::move(request), header, footer, bytesSent, remaining, progress, headerBytes);
    };
    pass.monitor = [&](platform::http::Task& task) {
        monitor(task, *progress, false, headerBytes, localSize - bytesSent);
    };
    pass.complete = [&](const platform::http::Result& result) {
        progress->setInProgress(false);
        return parseUploadResponse(result);
    };
    return cycle(pass);
}

}  // namespace tw
