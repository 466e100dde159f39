// What every request to the synchronisation server shares: the readiness check made before each
// request (network, back-off, session), the classification of each exchange into an outcome and an
// error case, the escaping of paths and form values, the date format the client sends, and the request
// cycle that repeats a request while the classification says "try again".
//
// All operations are type-level; those that talk to the server are handed the environment they work in,
// and the session state they read and change lives in its account (`ServerEnvironment::account`).
//
// Thread-safety: every operation may be called from several threads at once. Token refresh is
// serialised on one serial queue, so at most one logon runs at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "Pinewick/server/ServerEnvironment.h"
#include "platform/dispatch.h"
#include "platform/http.h"

namespace tw {

// Error cases; the raw values are the server's "errorId" numbers (the client-side cases too).
enum class serverError : int {
    invalidCredentials = 1,
    tokenRefreshRequired = 6,
    fileDownloadFailed = 13,
    requiredItemNotFound = 14,
    cannotDeleteNonExistingItem = 18,
    itemAlreadyExist = 19,
    itemNotFound = 20,
    quotaExceeded = 22,
    couldNotLockFile = 26,
    smbFileSystemError = 1001,
    illegalFilename = 1007,
    remoteWipeLocked = 1021,
    noMacsAllowed = 1033,
    clientTooOld = 1039,
    blockedByPolicy = 1045,
    accountLocked = 1046,
    fileUploadBlocked = 1047,
    fileTooLarge = 1050,
    fileNotWriteable = 1062,
    ldapTimeOut = 1066,
    revisionsDoNotMatch = 1077,
    mappointIsReadOnly = 1082,
    permissionDenied = 1083,
    lockedResource = 1112,
    noError = 1113,
    certificateError = 1114,
    authenticationRequired = 1115,
    serverTooOld = 1116,
    serverNotFound = 1117,
    noValidResponse = 1118,
    folderNotEmpty = 1119,
    canceled = 1121,
    jsonResponseMissing = 1122,
};
std::optional<serverError> serverErrorFromRaw(int64_t raw);
const char* toString(serverError e);

enum class normalisedResponse : int { allOkay = 1, attemptRecovery = 2, fatal = 3, tryAgain = 4 };
std::optional<normalisedResponse> normalisedResponseFromRaw(int64_t raw);
const char* toString(normalisedResponse r);

struct Classification {
    normalisedResponse action;
    serverError serverErrorCode;
    bool operator==(const Classification&) const = default;
};
std::string toString(const Classification& c);
// The cause of a failed exchange for a failure line: the error case, then the transport code and text
// or the HTTP status, as far as the exchange got ("quotaExceeded (HTTP 500)").
std::string describeFailure(const platform::http::Result& result, const Classification& c);

class ServerCommunicator {
public:
    // The shared serial queue "com.meridot.tidewell.servercomms" that serialises token refresh.
    class lockQueue {
    public:
        static lockQueue& sharedInstance();
        platform::DispatchQueue& lock() { return *lock_; }

    private:
        lockQueue();
        std::shared_ptr<platform::DispatchQueue> lock_;
    };

    // Classifies the three things a finished exchange hands back.
    static Classification handleResponse(const ServerEnvironment& env, const platform::http::Result& result);
    // True when a request may be sent now. May sleep (back-off) and log on (token refresh).
    static bool ready(const ServerEnvironment& env);
    // Percent-escapes everything but ASCII letters, digits, "." and "/", in lower-case hex.
    static std::string simpleDataEscape(const std::string& value);
    // Local-style server path to the escaped path segment of request URLs.
    static std::string macToWindows(const std::string& path);
    // The server's spelling of a path, before it is escaped for a URL: the characters its file system
    // cannot hold become private-use characters, three bytes each, and the text is composed (NFC).
    static std::string serverSpelling(const std::string& path);
    // Whether the server can hold a name (one path component) of this client's: its server spelling
    // is at most kMaxServerNameBytes long.
    static bool nameFitsServer(const std::string& name);
    // Whether every name along `path` fits the server.
    static bool pathFitsServer(const std::string& path);
    static constexpr size_t kMaxServerNameBytes = 255;
    // "yyyy-MM-dd'T'HH:mm:ss.000'Z'" in UTC: the form of every date the client sends.
    static std::string formatDate(Date date);
    // Service base of the environment's account: protocol "://" server "/" endpoint "/".
    static std::string serviceBase(const ServerEnvironment& env);

    // One pass of a request: the request to send (nothing: the URL is unusable, the cycle ends fatal)
    // and what to make of the finished exchange. `monitor`, when given, runs on the caller's thread
    // while the task runs (uploads watch progress and cancellation there).
    struct Pass {
        std::function<std::optional<platform::http::Request>()> build;
        std::function<normalisedResponse(const platform::http::Result&)> complete;
        std::function<void(platform::http::Task&)> monitor;
    };
    // The request cycle: repeats while the outcome is `tryAgain`; each pass first asks `ready()`.
    // Never returns `tryAgain`. `answered`, when given, says whether the last pass got an answer from
    // the server: false when nothing could be sent or the exchange broke off, so the server may not
    // have acted on it.
    static normalisedResponse requestCycle(const ServerEnvironment& env, const Pass& pass,
                                           bool* answered = nullptr);
    // One exchange without the readiness check (discovery, logon, logout).
    static platform::http::Result send(platform::http::Request request);

    // Quitting must not wait out a slow server: every exchange running now is cut (a cycle then ends
    // `fatal`, as one that got no answer, so its item is tried again at the next start) and `ready()`
    // says no from here on. `send` still works, for the logout that follows.
    static void closeForShutdown();
    // Undoes `closeForShutdown` (tests that go on after a shutdown).
    static void reopen();
    static bool closed();
    // Keeps `task` cut by `closeForShutdown` while it lives; says whether it was cut. For exchanges
    // started outside `requestCycle` and `send` (downloads).
    class Cuttable {
    public:
        explicit Cuttable(platform::http::Task& task);
        ~Cuttable();
        Cuttable(const Cuttable&) = delete;
        Cuttable& operator=(const Cuttable&) = delete;
        bool cut() const { return cut_.load(); }

    private:
        friend class ServerCommunicator;
        platform::http::Task& task_;
        std::atomic<bool> cut_{false};
    };
    // A request with the platform defaults, the environment's trust store and time-out, and "Accept".
    static platform::http::Request makeRequest(const ServerEnvironment& env, const std::string& url,
                                               const std::string& method,
                                               const std::string& accept = "application/json");
};

// NFC composition of UTF-8 text (ICU); invalid UTF-8 comes back unchanged.
std::string composeNFC(const std::string& utf8);

}  // namespace tw
