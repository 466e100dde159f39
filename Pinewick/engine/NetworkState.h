// The network probe's questions: is there a network path at all (platform/reachability.h), and does a
// given address answer an HTTP HEAD request with success. The run-state manager asks them in its probe
// loop, for the administrator's paywall-detection address and for the server, which the credentials it
// is built with name.
//
// Thread-safety: holds no state of its own (the credentials guard theirs); every operation may be called
// from several threads at once. Each HEAD request blocks its caller until it has an answer or its
// 30-second time-out passes.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace tw {

class ServerCredentials;
struct ServerEnvironment;

class NetworkState {
public:
    // Outcomes of one probe. The misspelt case is the name other code and the logs know it by.
    enum class NetworkStates { Unknown, NoNetwork, PaywallDetetced, Okay };
    static std::string rawValue(NetworkStates state);
    static std::optional<NetworkStates> fromRaw(const std::string& raw);

    static constexpr std::chrono::seconds kRequestTimeout{30};

    // A probe asking for the server `credentials` name, trusting the certificates and keeping the time
    // of `environment` (neither owned; both must outlive the probe).
    NetworkState(ServerCredentials& credentials, const ServerEnvironment& environment)
        : credentials_(credentials), environment_(environment) {}

    // True only when `url` answered a HEAD request with status 200 or 204. 404 and transport failures
    // are false quietly; any other status (a redirect too: it is not followed) is false with a warning
    // that describes the response.
    bool checkServers(const std::string& url);

    // One pass of the probe: no network path → NoNetwork; no server configured → Okay (with the warning
    // "No Tidewell Server configured"); `paywallDetectURL` non-empty and answering → PaywallDetetced;
    // then the server's root ("protocol://name/") answering → Okay, else NoNetwork.
    NetworkStates probe(const std::string& paywallDetectURL);

    // The wait between two probes, on the environment's sleeper (a test's own clock).
    void pause(std::chrono::seconds interval) const;

private:
    ServerCredentials& credentials_;
    const ServerEnvironment& environment_;
};

}  // namespace tw
