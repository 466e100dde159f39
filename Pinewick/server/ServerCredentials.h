// The one object that knows which server and user the client works for and whether a logon session is
// open: it reads the stored account from the keychain, discovers the server's service paths and
// protocol version ("/endpoints"), logs on and off ("sessions") and re-establishes the session by
// itself when the request core finds it invalid. The session itself is the set of cookies the server
// sets at logon, kept in memory by the HTTP layer's shared cookie store.
//
// Thread-safety: every field may be read and written from several threads at once (text fields under
// a mutex, the others atomic). `refreshToken` runs only on the request core's serial queue.
// `attemptLogin` and `logout` run on the caller's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "Pinewick/server/ServerCommunicator.h"

namespace tw {

class ServerCredentials {
public:
    // The program's account, made by the composition root.
    static ServerCredentials& sharedInstance();

    // The account stored in the keychain `environment` names; its logons, clock and questions to the
    // user go through `environment`, which must outlive it.
    explicit ServerCredentials(const ServerEnvironment& environment);
    // No account at all, without looking at the keychain: what requests go out with before one is
    // wired (they find no server).
    struct NoAccount {};
    ServerCredentials(const ServerEnvironment& environment, NoAccount);

    const ServerEnvironment& environment() const { return env_; }

    // Text fields.
    std::string serverName() const;
    void setServerName(const std::string& v);
    std::string userName() const;
    void setUserName(const std::string& v);
    std::string serverProtocol() const;
    void setServerProtocol(const std::string& v);
    std::string auditEndpoint() const;
    // Stores the value without leading or trailing "/".
    void setAuditEndpoint(const std::string& v);
    std::string brindleEndpoint() const;
    // protocol "://" server "/" endpoint "/": what every request's address starts with.
    std::string serviceBase() const;
    // Stores the value without leading or trailing "/"; a non-empty value also drops every cookie held
    // for the new service base.
    void setBrindleEndpoint(const std::string& v);

    std::atomic<bool> tokenValid{false};
    std::atomic<int64_t> brServerVersion{0};
    std::atomic<Date> lastRefresh;
    // Answers refusing the session since the last logon.
    std::atomic<int> refusalsSinceRefresh{0};
    // A session the server refused this often has been lost (expired, or the server restarted),
    // however fresh it is.
    static constexpr int kRefusalsBeforeNewLogon = 3;
    std::atomic<uint32_t> backoffTimer{0};
    std::atomic<bool> passwordRequired{false};
    std::atomic<serverError> errorCode{serverError::noError};

    // Tests the credentials the user typed; puts the previous server name back before returning.
    serverError attemptLogin(const std::string& server, const std::string& userName,
                             const std::string& password);
    // Re-establishes the session from the keychain (request core's serial queue only).
    void refreshToken();
    void logout();
    // How long a logout may wait for the server's answer.
    static constexpr std::chrono::milliseconds kLogoutTimeout{5000};

    bool fetchKeychainDetails();
    bool fetchEndpoints();
    // True when this logon succeeded (a failed one leaves `tokenValid` as it was).
    bool login(const std::string& userName, const std::string& password);
    // The stored password of (serverName, userName), read at each access; "" on any failure.
    std::string userPassword() const;

    // The text the Authenticate pane shows for a result of `attemptLogin`.
    static std::string resultText(serverError e);

    // Back to the values of creation, then reads the keychain again (tests).
    void resetForTesting();

    static constexpr const char* kKeychainLabel = "Tidewell";
    static constexpr const char* kKeychainDescription = "Tidewell Server Password";

private:
    void resetFields();

    const ServerEnvironment& env_;

    mutable std::mutex mutex_;  // guards the text fields below
    std::string serverName_;
    std::string userName_;
    std::string serverProtocol_ = "https";
    std::string auditEndpoint_;
    std::string brindleEndpoint_;
};

}  // namespace tw
