#include "Pinewick/server/ServerCredentials.h"

#include <algorithm>
#include <iostream>
#include <nlohmann/json.hpp>

#include "Pinewick/config/Log.h"
#include "Pinewick/config/SystemInformation.h"
#include "platform/keychain.h"

namespace tw {
namespace {

std::string trimSlashes(const std::string& v) {
    size_t b = v.find_first_not_of('/');
    if (b == std::string::npos) return "";
    return v.substr(b, v.find_last_not_of('/') - b + 1);
}

}  // namespace

ServerCredentials::ServerCredentials(const ServerEnvironment& environment) : env_(environment) {
    resetFields();
    fetchKeychainDetails();
}

ServerCredentials::ServerCredentials(const ServerEnvironment& environment, NoAccount) : env_(environment) {
    resetFields();
}

void ServerCredentials::resetFields() {
    {
        std::lock_guard lock(mutex_);
        serverName_.clear();
        userName_.clear();
        serverProtocol_ = "https";
        auditEndpoint_.clear();
        brindleEndpoint_.clear();
    }
    tokenValid = false;
    brServerVersion = 0;
    lastRefresh = env_.now();
    refusalsSinceRefresh = 0;
    backoffTimer = 0;
    passwordRequired = false;
    errorCode = serverError::noError;
}

void ServerCredentials::resetForTesting() {
    resetFields();
    fetchKeychainDetails();
}

std::string ServerCredentials::serverName() const {
    std::lock_guard lock(mutex_);
    return serverName_;
}
void ServerCredentials::setServerName(const std::string& v) {
    std::lock_guard lock(mutex_);
    serverName_ = v;
}
std::string ServerCredentials::userName() const {
    std::lock_guard lock(mutex_);
    return userName_;
}
void ServerCredentials::setUserName(const std::string& v) {
    std::lock_guard lock(mutex_);
    userName_ = v;
}
std::string ServerCredentials::serverProtocol() const {
    std::lock_guard lock(mutex_);
    return serverProtocol_;
}
void ServerCredentials::setServerProtocol(const std::string& v) {
    std::lock_guard lock(mutex_);
    serverProtocol_ = v;
}
std::string ServerCredentials::auditEndpoint() const {
    std::lock_guard lock(mutex_);
    return auditEndpoint_;
}
void ServerCredentials::setAuditEndpoint(const std::string& v) {
    std::lock_guard lock(mutex_);
    auditEndpoint_ = v.empty() ? v : trimSlashes(v);
}
std::string ServerCredentials::brindleEndpoint() const {
    std::lock_guard lock(mutex_);
    return brindleEndpoint_;
}
std::string ServerCredentials::serviceBase() const {
    std::lock_guard lock(mutex_);
    return serverProtocol_ + "://" + serverName_ + "/" + brindleEndpoint_ + "/";
}
void ServerCredentials::setBrindleEndpoint(const std::string& v) {
    std::string base;
    {
        std::lock_guard lock(mutex_);
        brindleEndpoint_ = v.empty() ? v : trimSlashes(v);
        base = serverProtocol_ + "://" + serverName_ + "/" + brindleEndpoint_ + "/";
    }
    // A new service base starts without the cookies of an earlier session there.
    if (!v.empty()) platform::http::Session::shared().cookies().deleteCookiesFor(base);
}

bool ServerCredentials::fetchKeychainDetails() {
    std::vector<platform::keychain::Item> items;
    auto status = env_.keychainInUse().findItems(kKeychainLabel, kKeychainDescription, items);
    if (status != platform::keychain::Status::ok) return false;
    if (items.size() == 1) {
        setServerName(items[0].service);
        setUserName(items[0].account);
        return true;
    }
    if (items.empty()) {
        passwordRequired = true;
        log().logWarning("No Tidewell Accounts found in keychain");
        return false;
    }
    log().logFatal("Multiple Tidewell Accounts found in keychain");
    return false;
}

std::string ServerCredentials::userPassword() const {
    return env_.keychainInUse().password(serverName(), userName()).value_or("");
}

bool ServerCredentials::fetchEndpoints() {
    auto request = ServerCommunicator::makeRequest(
        env_, serverProtocol() + "://" + serverName() + "/" + "/endpoints", "GET");
    auto result = ServerCommunicator::send(std::move(request));
    auto c = ServerCommunicator::handleResponse(env_, result);
    bool ok = false;
    switch (c.action) {
        case normalisedResponse::fatal:
            errorCode = c.serverErrorCode;
            break;
        case normalisedResponse::attemptRecovery:
        case normalisedResponse::tryAgain:
            errorCode = c.serverErrorCode;
            std::cout << "Need to handle error:" << (result.error ? result.error->description : toString(c))
                      << std::endl;
            break;
        case normalisedResponse::allOkay: {
            auto doc = nlohmann::json::parse(result.data.value_or(""), nullptr, false);
            if (doc.is_discarded()) break;
            auto at = [](const nlohmann::json& j,
                         std::initializer_list<const char*> path) -> const nlohmann::json* {
                const nlohmann::json* cur = &j;
                for (const char* key : path) {
                    if (!cur->is_object()) return nullptr;
                    auto it = cur->find(key);
                    if (it == cur->end()) return nullptr;
                    cur = &*it;
                }
                return cur;
            };
            bool matched = false;
            for (int minor : {6, 5, 4, 3}) {
                std::string version = "1." + std::to_string(minor);
                auto* p = at(doc, {"br", "sync", version.c_str(), "path"});
                if (p && p->is_string()) {
                    brServerVersion = 65536 + minor;
                    setBrindleEndpoint(p->get<std::string>());
                    matched = true;
                    break;
                }
            }
            if (matched) {
                ok = true;
            } else {
                errorCode = serverError::serverTooOld;
            }
            if (auto* a = at(doc, {"br", "audit", "1", "path"}); a && a->is_string())
                setAuditEndpoint(a->get<std::string>());
            break;
        }
    }
    backoffTimer = 0;
    return ok;
}

bool ServerCredentials::login(const std::string& user, const std::string& password) {
    if (!fetchEndpoints()) return false;
    using SI = SystemInformation;
    const auto& system = env_.system;
    auto esc = ServerCommunicator::simpleDataEscape;
    auto request = ServerCommunicator::makeRequest(env_, serviceBase() + "sessions", "POST");
    request.body = "user_id=" + esc(user) + "&password=" + esc(password) +
                   "&device_id=" + esc(SI::deviceIdentifier(system)) +
                   "&platform=" + esc(SI::softwarePlatform(system)) +
                   "&client_version=" + esc(SI::productVersion(system)) +
                   "&client_platform_version=" + esc(SI::osVersion(system));
    auto result = ServerCommunicator::send(std::move(request));
    auto c = ServerCommunicator::handleResponse(env_, result);
    switch (c.action) {
        case normalisedResponse::allOkay:
            // The HTTP layer already keeps the cookies of the answer, in memory only and for this
            // process's lifetime, which is what a logon session cookie must be.
            tokenValid = true;
            lastRefresh = env_.now();
            refusalsSinceRefresh = 0;
            errorCode = serverError::noError;
            log().logAudit("Login as user " + user + " to server " + serverName() + " successful.");
            return true;
        case normalisedResponse::fatal:
            if (c.serverErrorCode == serverError::clientTooOld ||
                c.serverErrorCode == serverError::accountLocked) {
                errorCode = c.serverErrorCode;
            } else if (c.serverErrorCode == serverError::remoteWipeLocked) {
                errorCode = serverError::authenticationRequired;
            } else {
                log().logDebug(std::string("Need to handle fatal server error ") +
                               toString(c.serverErrorCode));
                errorCode = serverError::authenticationRequired;
            }
            break;
        case normalisedResponse::attemptRecovery:
        case normalisedResponse::tryAgain:
            errorCode = serverError::authenticationRequired;
            if (c.serverErrorCode != serverError::invalidCredentials) {
                log().logDebug("Darn login failed - Need to check for remote wipe");
                log().logDebug(result.response ? "status " + std::to_string(result.response->statusCode)
                                               : "no response");
                log().logDebug(result.error ? result.error->description : "no error");
                if (result.data) log().logDebug(*result.data);
                log().logDebug("Think error is " + toString(c));
            }
            break;
    }
    return false;
}

void ServerCredentials::refreshToken() {
    if (passwordRequired) return;
    if (fetchKeychainDetails()) {
        std::string password = userPassword();
        if (!password.empty()) {
            login(userName(), password);
            if (tokenValid) {
                env_.startUsageReport();
                return;
            }
        }
    }
    passwordRequired = true;
    env_.requestCredentials();
}

void ServerCredentials::logout() {
    passwordRequired = true;
    backoffTimer = 0;
    // No logon just to log off, and no long wait for it: at quit the server may be slow or gone, and
    // an unanswered logout only leaves a session that expires by itself.
    if (env_.networkAvailable() && tokenValid) {
        auto request = ServerCommunicator::makeRequest(env_, serviceBase() + "sessions", "DELETE");
        request.timeout = std::min<std::chrono::milliseconds>(request.timeout, kLogoutTimeout);
        ServerCommunicator::send(std::move(request));
    }
}

serverError ServerCredentials::attemptLogin(const std::string& server, const std::string& user,
                                            const std::string& password) {
    std::string previous = serverName();
    setServerName(server);
    serverError result;
    if (fetchEndpoints()) {
        // Judged by this logon, not by `tokenValid`: a session still open from earlier must not make
        // wrong credentials look right.
        result = login(user, password) ? serverError::noError : errorCode.load();
    } else {
        result = errorCode.load();
        // An answer that is not an endpoint document leaves the code of an earlier success behind;
        // it must not read as one.
        if (result == serverError::noError) result = serverError::noValidResponse;
    }
    setServerName(previous);
    return result;
}

std::string ServerCredentials::resultText(serverError e) {
    const std::string product = "Tidewell";
    switch (e) {
        case serverError::noMacsAllowed:
            return "The Mac client is not enabled for this " + product +
                   " server. Please contact your system administrator.";
        case serverError::clientTooOld:
            return "A newer client is required for this " + product +
                   " server. Please contact your system administrator.";
        case serverError::accountLocked:
            return "The user account has been locked. Please contact your system administrator.";
        case serverError::certificateError:
            return "A secure connection to the server cannot be made. The certificate for this server may be "
                   "invalid or "
                   "not trusted, or the server is insecure. Please contact your system administrator.";
        case serverError::authenticationRequired:
            return "The credentials specified are not valid for the " + product +
                   " server. Please check and try again.";
        case serverError::serverTooOld:
            return "The version of the " + product +
                   " server is not supported by this client. Please contact your system administrator.";
        default:
            return "The server specified is not a valid " + product +
                   " server or the server is not responding. Please check and try again";
    }
}

}  // namespace tw
