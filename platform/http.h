// HTTP client for every exchange with the synchronisation server, on libcurl.
//
// A request is started as a `Task`: it runs on its own worker thread, calls its completion handler there
// exactly once, and can be watched (bytes sent and received) and cancelled from any other thread. The
// caller that wants a synchronous call starts the task and waits on it; `Session::perform` does both.
// Request bodies come from memory or from a `BodySource` that hands out slices (a mapped file, for
// uploads); response bodies go to memory (capped, so a runaway answer cannot exhaust memory) or are
// streamed into a file descriptor.
//
// A session keeps the connections of finished exchanges open for the next ones (and with them the TLS
// session), so a burst of small requests costs one connection, not one each. A request is never sent a
// second time by this layer: when a kept connection dies before the answer, the exchange ends as a lost
// connection, since the server may have acted on it.
//
// One process-wide session keeps the cookies the server sets. They live in memory only and die with the
// process: nothing here ever writes a cookie to disk.
//
// Transport failures are reported with the numeric codes the request core classifies (negative, the
// same numbers the URL-loading system of other platforms uses), so callers never see libcurl codes.
//
// Thread-safety: `Session`, `CookieStore` and `Task` may be used from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tw::platform::http {

// Transport error codes.
enum ErrorCode : int {
    kUnknown = -1,
    kCancelled = -999,
    kBadURL = -1000,
    kTimedOut = -1001,
    kUnsupportedURL = -1002,
    kCannotFindHost = -1003,
    kCannotConnectToHost = -1004,
    kNetworkConnectionLost = -1005,
    kHTTPTooManyRedirects = -1007,
    kNotConnectedToInternet = -1009,
    kUserAuthenticationRequired = -1013,
    kRequestBodyStreamExhausted = -1021,
    kDataLengthExceedsMaximum = -1103,
    kSecureConnectionFailed = -1200,
    kServerCertificateHasBadDate = -1201,
    kServerCertificateUntrusted = -1202,
    kServerCertificateHasUnknownRoot = -1203,
    kServerCertificateNotYetValid = -1204,
    kCannotWriteToFile = -3003,
};

struct TransportError {
    int code = kUnknown;
    std::string description;  // human-readable, includes libcurl's own message
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct Response {
    long statusCode = 0;
    std::string url;     // the URL that was asked for
    HeaderList headers;  // in arrival order, names as sent
    // The first header named `name` (case-insensitive), if any.
    std::optional<std::string> header(const std::string& name) const;
    // Every value of the headers named `name` (case-insensitive).
    std::vector<std::string> headers_named(const std::string& name) const;
};

// Source of a streamed request body. `read` is called on the task's worker thread; it returns the count
// of bytes copied into `buffer` (0 at the end) or -1 when the body cannot be produced any more, which
// aborts the request with `kRequestBodyStreamExhausted` (nothing else is sent in its place).
class BodySource {
public:
    virtual ~BodySource() = default;
    virtual int64_t read(uint8_t* buffer, size_t maxLength) = 0;
    virtual int64_t length() const = 0;  // exact count of bytes `read` will deliver
};

// Receiver of a streamed response body that chooses by the answer's head where the body goes: a download
// writes file content straight to disk but keeps an error answer in memory. Both calls run on the task's
// worker thread, in order, and only when the answer has a body.
class ResponseSink {
public:
    virtual ~ResponseSink() = default;
    // Called once, before the first body byte, with the status and the headers received. False stops
    // the transfer at once (the task then ends with `kCannotWriteToFile`).
    virtual bool begin(const Response& head) = 0;
    // Takes the next bytes of the body. False stops the transfer (also `kCannotWriteToFile`).
    virtual bool write(const char* data, size_t count) = 0;
};

struct Request {
    std::string url;
    std::string method = "GET";
    HeaderList headers;  // sent as given, in order
    std::string body;    // used when `bodySource` is empty and the method sends one
    std::shared_ptr<BodySource> bodySource;
    // Response body into this descriptor instead of memory (not owned; must outlive the task).
    int responseFd = -1;
    // Response body into this sink instead (takes precedence over `responseFd`); `Result::data` stays
    // absent.
    std::shared_ptr<ResponseSink> responseSink;
    // Time allowed without progress: the connect limit and the low-speed window.
    std::chrono::milliseconds timeout = std::chrono::seconds(60);
    // Largest body kept in memory; a longer answer ends with `kDataLengthExceedsMaximum`.
    size_t maxResponseBytes = 32u << 20;
    // CA bundle to trust instead of the system's (tests with their own certificate authority).
    std::string caFile;
    // Sent from a thread at idle CPU and I/O priority: a transfer nobody is waiting for takes only what
    // the user's programs leave of the machine.
    bool idlePriority = false;
};

struct Result {
    std::optional<Response> response;     // absent when no HTTP answer arrived
    std::optional<std::string> data;      // absent when no body arrived (or it went to `responseFd`)
    std::optional<TransportError> error;  // absent on a completed exchange, whatever its status
};

class Session;

// One running or finished request.
class Task {
public:
    enum class State { running, completed };
    ~Task();  // cancels a running request and waits for its thread
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    State state() const { return completed_ ? State::completed : State::running; }
    int64_t countOfBytesSent() const { return sent_.load(); }
    int64_t countOfBytesReceived() const { return received_.load(); }
    // Asks the transfer to stop; the completion handler then sees `kCancelled`.
    void cancel() { cancelled_ = true; }
    // Waits until the completion handler has returned.
    void wait();
    bool waitFor(std::chrono::milliseconds timeout);

private:
    friend class Session;
    Task() = default;
    void run(Session& session, Request request, std::function<void(Result)> completion);

    std::atomic<bool> cancelled_{false};
    std::atomic<bool> completed_{false};
    std::atomic<int64_t> sent_{0};
    std::atomic<int64_t> received_{0};
    std::mutex mutex_;
    std::condition_variable done_;
    std::thread thread_;
};

// Session cookies, in memory only. A cookie is kept per (domain, path, name); the domain is the host of
// the URL that set it unless the cookie names a wider domain that the host belongs to.
class CookieStore {
public:
    struct Cookie {
        std::string name, value, domain, path = "/";
        bool hostOnly = true;
        bool secure = false;
        bool discard = true;  // always true here: every cookie ends with the process
    };
    // Takes every "Set-Cookie" header of `response`, as set for `url`.
    void storeFromResponse(const std::string& url, const Response& response);
    // Cookies a request to `url` carries.
    std::vector<Cookie> cookiesFor(const std::string& url) const;
    // The "Cookie" header value for `url`, or "" when none applies.
    std::string headerFor(const std::string& url) const;
    void setCookie(const Cookie& cookie);
    // Removes every cookie a request to `url` would carry.
    void deleteCookiesFor(const std::string& url);
    void removeAll();
    size_t count() const;

private:
    mutable std::mutex mutex_;
    std::vector<Cookie> cookies_;
};

class Session {
public:
    // The process-wide session with the process-wide cookie store.
    static Session& shared();
    Session();
    ~Session();

    // Starts `request`; `completion` runs once on the task's thread. Keep the task until it completed.
    std::unique_ptr<Task> start(Request request, std::function<void(Result)> completion);
    // Starts and waits.
    Result perform(Request request);

    CookieStore& cookies() { return cookies_; }

    // libcurl handles of finished exchanges, each with the connection it keeps open.
    struct HandleDeleter {
        void operator()(void* handle) const;
    };
    using Handle = std::unique_ptr<void, HandleDeleter>;
    // A handle whose options are reset, preferring one that holds an open connection.
    Handle takeHandle();
    // Keeps `handle` for the next request to reuse its connection (up to a few of them).
    void giveBack(Handle handle);
    // Closes the connections kept for reuse: a server being stopped need not wait for them to idle out.
    void closeIdleConnections();

private:
    CookieStore cookies_;
    std::mutex handlesMutex_;
    std::vector<Handle> idleHandles_;
};

// Parts of a URL, parsed by libcurl. Returns false when `url` is not a URL.
struct URLParts {
    std::string scheme, host, path;
    int port = 0;
};
std::optional<URLParts> parseURL(const std::string& url);

}  // namespace tw::platform::http
