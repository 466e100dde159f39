// The reference server as the client's own tests meet it: a loopback tidewell-devserver with user
// "anna", the mappoints "Team" and "RO" (read-only) and its fault queue, and the client pointed at it
// (the account in the test's keychain, the test's account reset to it for plain HTTP). Tests of the request
// layer and of the timeline's uploads share it, so both meet the same server the same way.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/server/ServerCredentials.h"
#include "platform/http.h"
#include "platform/keychain.h"
#include "support/devserver_process.h"
#include "support/temp_dir.h"

namespace tw::test {

class ClientDevServer {
public:
    // Starts the server with its tree in `dir`/root and its log in `dir`/devserver.log, stores anna's
    // `password` for it in `keychain` and resets `account` to it.
    bool start(const std::filesystem::path& dir, platform::keychain::Keychain& keychain,
               ServerCredentials& account, const std::string& password) {
        dir_ = dir;
        std::filesystem::create_directories(dir / "root");
        if (!process.start(
                {"--root", (dir / "root").string(), "--listen", "127.0.0.1:0", "--user", "anna:" + password,
                 "--mappoint", "Team", "--mappoint", "RO:::ro", "--faults", "--quiet"},
                dir / "devserver.log"))
            return false;
        hostPort = "127.0.0.1:" + std::to_string(process.port());
        keychain.addItem({hostPort, "anna", "Tidewell", "Tidewell Server Password"}, password);
        account.resetForTesting();
        account.setServerProtocol("http");
        account_ = &account;
        return true;
    }
    // Stops the server; its exit status, with its own log as the message of a failure.
    int stop() { return process.stop(); }
    std::string log() const { return readFile(dir_ / "devserver.log"); }

    // POSTs `body` to the administration endpoint; the JSON answer (discarded when it is none).
    nlohmann::json admin(const std::string& resource, const nlohmann::json& body) {
        platform::http::Request r;
        r.url = "http://" + hostPort + "/admin/" + resource;
        r.method = "POST";
        r.body = body.dump();
        r.headers.emplace_back("Content-Type", "application/json");
        auto result = platform::http::Session::shared().perform(r);
        EXPECT_TRUE(result.response && result.response->statusCode == 200)
            << resource << " " << result.data.value_or("");
        return nlohmann::json::parse(result.data.value_or(""), nullptr, false);
    }
    // Queues one fault in the server's fault queue.
    void fault(const nlohmann::json& f) { admin("faults", f); }
    // The path of a service request as faults match it ("/br/sync/1.6/" + resource).
    std::string servicePath(const std::string& resource) const {
        return account_->serviceBase().substr(7 + hostPort.size()) + resource;
    }

    ServerProcess process;
    std::string hostPort;

private:
    std::filesystem::path dir_;
    ServerCredentials* account_ = nullptr;  // the account `start` pointed at this server
};

}  // namespace tw::test
