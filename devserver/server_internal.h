// Pieces shared by the server's request handlers: server.cc (dispatch, discovery, sessions, usage
// reports, administration) and transfers.cc (listings, downloads, uploads, tree changes, resumable
// uploads). Private to the devserver library.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "devserver/faults.h"
#include "devserver/multipart.h"
#include "devserver/server.h"
#include "devserver/store.h"
#include "devserver/wire.h"
#include "platform/fd.h"

namespace tw::devserver {
namespace detail {

using json = nlohmann::json;

// httplib reads a multipart body with its own parser when it sees this content type; the server
// reads multipart itself (streamed, and tolerant of the unclosed fragment of a resumed upload), so the
// original value is moved to this header before routing.
constexpr const char* kMultipartHeader = "X-Devserver-Multipart";
constexpr size_t kSmallBodyLimit = 1 << 20;
constexpr int kMaxReportDepth = 64;  // nesting levels of a usage report
constexpr size_t kIoChunk = 256 * 1024;

// JSON text that never throws: invalid UTF-8 is replaced.
std::string dumpJson(const json& j);
// The document of a usage report body ("data=" and a JSON object nested at most kMaxReportDepth
// levels); none, with the reason in `why`, for anything else.
std::optional<json> readReport(const std::string& body, std::string& why);
// A decimal count of at most 19 digits.
std::optional<uint64_t> parseCount(std::string_view s);
// Letters, digits and "-", 1 to 64 of them: safe inside a file name.
bool isResumeId(std::string_view s);
inline bool writeAll(int fd, const char* data, size_t size) {
    return tw::platform::writeAll(fd, std::string_view(data, size));
}
// Cuts the TCP connection that carries `req` without an answer. Call only from the thread serving it.
void cutConnection(const httplib::Request& req);
bool hasBody(const httplib::Request& req);

// Gathers small writes into large ones: the socket hands over the body a few kilobytes at a time.
class BufferedWriter {
public:
    explicit BufferedWriter(int fd) : fd_(fd) { buffer_.reserve(kIoChunk); }
    bool write(const char* data, size_t size) {
        if (buffer_.size() + size > kIoChunk && !flush()) return false;
        if (size >= kIoChunk) return writeAll(fd_, data, size);
        buffer_.append(data, size);
        return true;
    }
    bool flush() {
        bool ok = writeAll(fd_, buffer_.data(), buffer_.size());
        buffer_.clear();
        return ok;
    }

private:
    int fd_;
    std::string buffer_;
};

// One request as it passes through the server.
struct Exchange {
    const httplib::Request& req;
    httplib::Response& res;
    const httplib::ContentReader* reader = nullptr;  // absent for methods without a body
    std::string path;                                // decoded path of the target
    std::map<std::string, std::string> query;
    std::string user;
    std::optional<uint64_t> dropRequestAfter;
    std::optional<uint64_t> dropResponseAfter;
    int holdBeforeCutMs = 0;    // a response cut is preceded by this long a silence (a stalled peer)
    bool bodyTouched = false;   // the body was (or was started to be) read
    bool bodyComplete = false;  // ... and to its end
    bool cut = false;           // the connection is to be cut (once the handler has finished)

    std::string header(const char* name) const { return req.get_header_value(name); }
    bool hasQuery(const char* key) const { return query.count(key) != 0; }
    std::string queryValue(const char* key) const {
        auto it = query.find(key);
        return it == query.end() ? std::string() : it->second;
    }
};

// What a multipart upload body delivered.
struct UploadBody {
    std::map<std::string, std::string> fields;
    bool sawFile = false;
    bool fileDone = false;
    uint64_t fileBytes = 0;
    int errorId = 0;  // first problem found while reading
    std::string message;
    MultipartReader::Ending ending = MultipartReader::Ending::malformed;
};

// Reads the multipart body of `ex`, collecting value fields and handing file bytes to `onFile`.
// `beforeFile` runs once when the file part starts (all earlier fields known) and may refuse it by
// returning an error number; the rest of the body is then read and dropped.
bool readMultipart(Exchange& ex, UploadBody& out, const std::function<int()>& beforeFile,
                   const std::function<bool(const char*, size_t)>& onFile);

}  // namespace detail

struct DevServer::Impl {
    using Exchange = detail::Exchange;
    using json = detail::json;

    ServerConfig config;
    std::unique_ptr<Store> store;
    std::unique_ptr<httplib::Server> http;
    FaultQueue faults;
    int boundPort = 0;

    struct Session {
        std::string user;
        std::chrono::steady_clock::time_point expires;
    };
    std::mutex mutex;  // guards sessions, versions, quota, activeResumes
    std::map<std::string, Session> sessions;
    std::vector<std::string> versions;
    uint64_t quota = 0;
    std::set<std::string> activeResumes;

    void install();
    void dispatch(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader* reader);
    void route(Exchange& ex);

    // Replies.
    void sendJson(Exchange& ex, int status, const json& body);
    void sendError(Exchange& ex, int errorId, const std::optional<Item>& current = std::nullopt,
                   json extra = {});
    void sendOutcome(Exchange& ex, const Outcome& o);

    // Bodies.
    std::optional<std::string> readSmallBody(Exchange& ex, size_t limit);
    // Streams the request body to `sink`, honouring a queued drop fault. False when the body did not
    // arrive whole (the connection is then cut or broken).
    static bool readBody(Exchange& ex, const std::function<void(const char*, size_t)>& sink);
    void drain(Exchange& ex);

    // Endpoints.
    void endpoints(Exchange& ex);
    void login(Exchange& ex);
    void logout(Exchange& ex);
    bool authenticate(Exchange& ex);
    void folders(Exchange& ex, const std::string& rest);
    void listOrAttributes(Exchange& ex, const ParsedPath& p);
    void download(Exchange& ex, const ParsedPath& p);
    void upload(Exchange& ex, const ParsedPath& p);
    void formRequest(Exchange& ex, const ParsedPath& p);
    void remove(Exchange& ex, const ParsedPath& p);
    void resumeUpload(Exchange& ex, const std::string& rest);
    void resumeStatus(Exchange& ex, const std::string& path, const std::string& id);
    void resumeAppend(Exchange& ex, const std::string& path, const std::string& id);
    void audit(Exchange& ex);
    void admin(Exchange& ex, const std::string& rest);

    uint64_t currentQuota() {
        std::lock_guard lock(mutex);
        return quota;
    }
};

}  // namespace tw::devserver
