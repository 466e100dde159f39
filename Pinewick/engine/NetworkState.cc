#include "Pinewick/engine/NetworkState.h"

#include "Pinewick/config/Log.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "platform/http.h"
#include "platform/reachability.h"

namespace tw {
namespace {

// What a warning about an unexpected answer says: enough to tell a captive portal from a proxy.
std::string describe(const platform::http::Response& response) {
    std::string text = "HTTP response for " + response.url + ": status " +
                       std::to_string(response.statusCode) + ", headers {";
    bool first = true;
    for (const auto& [name, value] : response.headers) {
        text += (first ? " " : "; ") + name + ": " + value;
        first = false;
    }
    return text + " }";
}

}  // namespace

std::string NetworkState::rawValue(NetworkStates state) {
    switch (state) {
        case NetworkStates::Unknown:
            return "Unknown";
        case NetworkStates::NoNetwork:
            return "NoNetwork";
        case NetworkStates::PaywallDetetced:
            return "PaywallDetetced";
        case NetworkStates::Okay:
            return "Okay";
    }
    return "Unknown";
}

std::optional<NetworkState::NetworkStates> NetworkState::fromRaw(const std::string& raw) {
    for (auto s : {NetworkStates::Unknown, NetworkStates::NoNetwork, NetworkStates::PaywallDetetced,
                   NetworkStates::Okay})
        if (rawValue(s) == raw) return s;
    return std::nullopt;
}

bool NetworkState::checkServers(const std::string& url) {
    TW_TRACE_IN("checkServers(_:)");
    platform::http::Request request;
    request.url = url;
    request.method = "HEAD";
    request.timeout = kRequestTimeout;
    request.caFile = environment_.caFile;
    bool result = false;
    if (platform::http::parseURL(url)) {
        auto answer = platform::http::Session::shared().perform(std::move(request));
        if (answer.response && !answer.error) {
            long status = answer.response->statusCode;
            if (status == 200 || status == 204)
                result = true;
            else if (status != 404)
                log().logWarning(describe(*answer.response));
        }
    }
    TW_TRACE_OUT("checkServers(_:)");
    return result;
}

NetworkState::NetworkStates NetworkState::probe(const std::string& paywallDetectURL) {
    if (!platform::networkReachable()) return NetworkStates::NoNetwork;
    std::string server = credentials_.serverName();
    if (server.empty()) {
        log().logWarning("No Tidewell Server configured");
        return NetworkStates::Okay;
    }
    // The administrator's paywall-detection address answers only while a captive portal intercepts
    // the traffic, so an answer there means the server cannot really be reached yet.
    if (!paywallDetectURL.empty() && checkServers(paywallDetectURL)) return NetworkStates::PaywallDetetced;
    return checkServers(credentials_.serverProtocol() + "://" + server + "/") ? NetworkStates::Okay
                                                                              : NetworkStates::NoNetwork;
}

void NetworkState::pause(std::chrono::seconds interval) const {
    environment_.sleepFor(interval);
}

}  // namespace tw
