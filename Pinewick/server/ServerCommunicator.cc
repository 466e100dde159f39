#include "Pinewick/server/ServerCommunicator.h"

#include <time.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

#include "Pinewick/config/Log.h"
#include "Pinewick/config/Logger.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/TextReplace.h"

namespace tw {

namespace {

struct ErrorName {
    serverError e;
    const char* name;
};

constexpr ErrorName kErrorNames[] = {
    {serverError::invalidCredentials, "invalidCredentials"},
    {serverError::tokenRefreshRequired, "tokenRefreshRequired"},
    {serverError::fileDownloadFailed, "fileDownloadFailed"},
    {serverError::requiredItemNotFound, "requiredItemNotFound"},
    {serverError::cannotDeleteNonExistingItem, "cannotDeleteNonExistingItem"},
    {serverError::itemAlreadyExist, "itemAlreadyExist"},
    {serverError::itemNotFound, "itemNotFound"},
    {serverError::quotaExceeded, "quotaExceeded"},
    {serverError::couldNotLockFile, "couldNotLockFile"},
    {serverError::smbFileSystemError, "smbFileSystemError"},
    {serverError::illegalFilename, "illegalFilename"},
    {serverError::remoteWipeLocked, "remoteWipeLocked"},
    {serverError::noMacsAllowed, "noMacsAllowed"},
    {serverError::clientTooOld, "clientTooOld"},
    {serverError::blockedByPolicy, "blockedByPolicy"},
    {serverError::accountLocked, "accountLocked"},
    {serverError::fileUploadBlocked, "fileUploadBlocked"},
    {serverError::fileTooLarge, "fileTooLarge"},
    {serverError::fileNotWriteable, "fileNotWriteable"},
    {serverError::ldapTimeOut, "ldapTimeOut"},
    {serverError::revisionsDoNotMatch, "revisionsDoNotMatch"},
    {serverError::mappointIsReadOnly, "mappointIsReadOnly"},
    {serverError::permissionDenied, "permissionDenied"},
    {serverError::lockedResource, "lockedResource"},
    {serverError::noError, "noError"},
    {serverError::certificateError, "certificateError"},
    {serverError::authenticationRequired, "authenticationRequired"},
    {serverError::serverTooOld, "serverTooOld"},
    {serverError::serverNotFound, "serverNotFound"},
    {serverError::noValidResponse, "noValidResponse"},
    {serverError::folderNotEmpty, "folderNotEmpty"},
    {serverError::canceled, "canceled"},
    {serverError::jsonResponseMissing, "jsonResponseMissing"},
};

}  // namespace

std::optional<serverError> serverErrorFromRaw(int64_t raw) {
    for (auto& n : kErrorNames)
        if (static_cast<int64_t>(n.e) == raw) return n.e;
    return std::nullopt;
}

const char* toString(serverError e) {
    for (auto& n : kErrorNames)
        if (n.e == e) return n.name;
    return "unknown";
}

std::optional<normalisedResponse> normalisedResponseFromRaw(int64_t raw) {
    if (raw >= 1 && raw <= 4) return static_cast<normalisedResponse>(raw);
    return std::nullopt;
}

const char* toString(normalisedResponse r) {
    switch (r) {
        case normalisedResponse::allOkay:
            return "allOkay";
        case normalisedResponse::attemptRecovery:
            return "attemptRecovery";
        case normalisedResponse::fatal:
            return "fatal";
        case normalisedResponse::tryAgain:
            return "tryAgain";
    }
    return "unknown";
}

std::string toString(const Classification& c) {
    return std::string("(") + toString(c.action) + ", " + toString(c.serverErrorCode) + ")";
}

std::string describeFailure(const platform::http::Result& result, const Classification& c) {
    std::string text = toString(c.serverErrorCode);
    if (result.error)
        text += " (transport error " + std::to_string(result.error->code) + ": " + result.error->description +
                ")";
    else if (result.response)
        text += " (HTTP " + std::to_string(result.response->statusCode) + ")";
    else
        text += " (no answer)";
    return text;
}

std::string composeNFC(const std::string& utf8) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status) || !nfc) return utf8;
    icu::UnicodeString in = icu::UnicodeString::fromUTF8(utf8);
    icu::UnicodeString out = nfc->normalize(in, status);
    if (U_FAILURE(status)) return utf8;
    std::string result;
    out.toUTF8String(result);
    return result;
}

// ---------------------------------------------------------------- lockQueue

ServerCommunicator::lockQueue::lockQueue()
    : lock_(platform::DispatchQueue::serial("com.meridot.tidewell.servercomms")) {}

ServerCommunicator::lockQueue& ServerCommunicator::lockQueue::sharedInstance() {
    static lockQueue q;
    return q;
}

// ---------------------------------------------------------------- classification

Classification ServerCommunicator::handleResponse(const ServerEnvironment& env,
                                                  const platform::http::Result& result) {
    using namespace platform::http;
    serverError errorCase = serverError::noError;
    auto& creds = env.account();

    if (result.error) {
        int code = result.error->code;
        if (code <= kSecureConnectionFailed && code >= kServerCertificateNotYetValid)
            return {normalisedResponse::fatal, serverError::certificateError};
        if (code == kUserAuthenticationRequired)
            return {normalisedResponse::fatal, serverError::authenticationRequired};
        if (code == kTimedOut || code == kCannotFindHost || code == kCannotConnectToHost ||
            code == kNetworkConnectionLost || code == kNotConnectedToInternet) {
            log().logWarning("Received network error:" + result.error->description);
            env.setNetworkAvailable(false);
            creds.backoffTimer = 10;
            return {normalisedResponse::fatal, serverError::serverNotFound};
        }
        if (code == kCancelled) {
            errorCase = serverError::canceled;
        } else {
            log().logFatal("Unhandled error " + result.error->description);
        }
    }

    if (result.response && (result.response->statusCode == 200 || result.response->statusCode == 204))
        return {normalisedResponse::allOkay, errorCase};

    Classification fallback{normalisedResponse::attemptRecovery, serverError::noValidResponse};
    if (!result.data || result.data->empty()) return fallback;

    auto body = nlohmann::json::parse(*result.data, nullptr, false);
    if (body.is_discarded()) return {normalisedResponse::attemptRecovery, serverError::jsonResponseMissing};
    if (!body.is_object()) return fallback;
    auto it = body.find("errorId");
    if (it == body.end() || !it->is_number()) return fallback;
    int64_t id = it->is_number_float() ? static_cast<int64_t>(it->get<double>()) : it->get<int64_t>();
    if (it->is_number_float() && static_cast<double>(id) != it->get<double>()) id = -1;

    switch (id) {
        case 1:
        case 6: {
            log().logAudit("Server has requested a new logon");
            // A session refreshed moments ago is kept: the server may simply not have caught up yet.
            // Refused again and again it is lost all the same (expired, or the server restarted):
            // without a new logon the refused request would go round and round until the two
            // minutes are up, syncing nothing.
            auto age = env.now() - creds.lastRefresh.load();
            int refusals = ++creds.refusalsSinceRefresh;
            if (age > std::chrono::milliseconds(120000) ||
                refusals >= ServerCredentials::kRefusalsBeforeNewLogon)
                creds.tokenValid = false;
            return {normalisedResponse::tryAgain,
                    id == 1 ? serverError::invalidCredentials : serverError::tokenRefreshRequired};
        }
        case 14:
        case 18:
        case 19:
        case 20:
        case 22:
        case 26:
        case 1001:
        case 1077:
        case 1082:
            return {normalisedResponse::attemptRecovery, *serverErrorFromRaw(id)};
        case 1021:
        case 1039:
        case 1046:
            return {normalisedResponse::fatal, *serverErrorFromRaw(id)};
        case 1066:
            return {normalisedResponse::tryAgain, serverError::ldapTimeOut};
        case 13:
        case 1007:
        case 1033:
        case 1045:
        case 1047:
        case 1050:
        case 1062:
        case 1083:
        case 1112:
        case 1113:
        case 1114:
        case 1115:
        case 1116:
        case 1117:
        case 1118:
        case 1119:
        case 1121:
        case 1122:
            log().logDebug("Unhandled Server Error Code " + body.dump());
            return {normalisedResponse::attemptRecovery, *serverErrorFromRaw(id)};
        default:
            log().logDebug("Unhandled Server Error " + body.dump());
            return fallback;
    }
}

bool ServerCommunicator::ready(const ServerEnvironment& env) {
    TW_TRACE_IN("ready()");
    bool result = true;
    auto& creds = env.account();
    if (closed()) {
        result = false;
    } else if (!env.networkAvailable()) {
        result = false;
    } else {
        uint32_t backoff = creds.backoffTimer.load();
        if (backoff != 0) {
            log().logDebug("Waiting for backOff " + std::to_string(backoff));
            env.sleepFor(std::chrono::seconds(backoff));
            creds.backoffTimer = 0;
        }
        lockQueue::sharedInstance().lock().sync([&] {
            if (!creds.tokenValid) {
                creds.refreshToken();
                result = creds.tokenValid;
            }
        });
    }
    if (log().enabled(Logger::logLevels::function))
        log().logFunction(prettyLog(std::string("<- ") + (result ? "true" : "false"), __FILE__, "ready()"));
    return result;
}

std::string ServerCommunicator::simpleDataEscape(const std::string& value) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(value.size() * 3);
    for (unsigned char c : value) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' ||
            c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string ServerCommunicator::macToWindows(const std::string& path) {
    if (path.empty()) return "";
    return simpleDataEscape(serverSpelling(path));
}

bool ServerCommunicator::nameFitsServer(const std::string& name) {
    return serverSpelling(name).size() <= kMaxServerNameBytes;
}

bool ServerCommunicator::pathFitsServer(const std::string& path) {
    for (size_t start = 0; start < path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (!nameFitsServer(path.substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

std::string ServerCommunicator::serverSpelling(const std::string& path) {
    if (path.empty()) return "";
    std::string s = path;
    const char singles[] = {'"', '*', ':', '<', '>', '?', '\\', '|'};
    for (unsigned i = 0; i < sizeof singles; ++i)
        replaceAll(s, std::string(1, singles[i]), privateUse(0x20 + i));
    replaceAll(s, " /", privateUse(0x28) + "/");
    replaceAll(s, "./", privateUse(0x29) + "/");
    if (!s.empty() && s.back() == ' ')
        s.replace(s.size() - 1, 1, privateUse(0x28));
    else if (!s.empty() && s.back() == '.')
        s.replace(s.size() - 1, 1, privateUse(0x29));
    return composeNFC(s);
}

std::string ServerCommunicator::formatDate(Date date) {
    time_t t = std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(date));
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[64];
    snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.000Z", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string ServerCommunicator::serviceBase(const ServerEnvironment& env) {
    return env.account().serviceBase();
}

platform::http::Request ServerCommunicator::makeRequest(const ServerEnvironment& env, const std::string& url,
                                                        const std::string& method,
                                                        const std::string& accept) {
    platform::http::Request r;
    r.url = url;
    r.method = method;
    r.headers.emplace_back("Accept", accept);
    r.caFile = env.caFile;
    r.timeout = env.requestTimeout;
    return r;
}

// ---------------------------------------------------------------- shutdown

namespace {

struct RunningExchanges {
    std::mutex mutex;
    bool closed = false;
    std::vector<ServerCommunicator::Cuttable*> running;
};

RunningExchanges& runningExchanges() {
    static RunningExchanges r;
    return r;
}

}  // namespace

ServerCommunicator::Cuttable::Cuttable(platform::http::Task& task) : task_(task) {
    auto& r = runningExchanges();
    std::lock_guard lock(r.mutex);
    r.running.push_back(this);
}

ServerCommunicator::Cuttable::~Cuttable() {
    auto& r = runningExchanges();
    std::lock_guard lock(r.mutex);
    std::erase(r.running, this);
}

void ServerCommunicator::closeForShutdown() {
    auto& r = runningExchanges();
    std::lock_guard lock(r.mutex);
    r.closed = true;
    for (auto* exchange : r.running) {
        exchange->cut_ = true;
        exchange->task_.cancel();
    }
}

void ServerCommunicator::reopen() {
    auto& r = runningExchanges();
    std::lock_guard lock(r.mutex);
    r.closed = false;
}

bool ServerCommunicator::closed() {
    auto& r = runningExchanges();
    std::lock_guard lock(r.mutex);
    return r.closed;
}

platform::http::Result ServerCommunicator::send(platform::http::Request request) {
    if (!platform::http::parseURL(request.url)) {
        platform::http::Result r;
        r.error = platform::http::TransportError{platform::http::kBadURL, "not a valid URL: " + request.url};
        return r;
    }
    platform::http::Result result;
    auto task = platform::http::Session::shared().start(
        std::move(request), [&](platform::http::Result r) { result = std::move(r); });
    {
        Cuttable cuttable(*task);
        task->wait();
    }
    return result;
}

normalisedResponse ServerCommunicator::requestCycle(const ServerEnvironment& env, const Pass& pass,
                                                    bool* answered) {
    normalisedResponse outcome = normalisedResponse::tryAgain;
    while (outcome == normalisedResponse::tryAgain) {
        outcome = normalisedResponse::fatal;
        if (answered) *answered = false;
        if (!ready(env)) break;
        auto request = pass.build();
        // A pass that declines to build its request has said why.
        if (!request) break;
        if (!platform::http::parseURL(request->url)) {
            log().logWarning("Request not sent: the server address does not make a valid URL");
            break;
        }
        platform::http::Result result;
        auto task = platform::http::Session::shared().start(
            std::move(*request), [&](platform::http::Result r) { result = std::move(r); });
        bool cut = false;
        {
            Cuttable cuttable(*task);
            if (pass.monitor) pass.monitor(*task);
            task->wait();
            cut = cuttable.cut();
        }
        if (answered) *answered = result.response.has_value() && !result.error;
        // Cut by the shutdown before any answer: nothing to judge, and the item is tried again at the
        // next start. An answer that did arrive is still taken.
        if (cut && !result.response) {
            log().logWarning("A request was cut short: the application is quitting");
            break;
        }
        outcome = pass.complete(result);
    }
    return outcome;
}

}  // namespace tw
