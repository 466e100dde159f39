// What the engine installs in the server layer, against the reference server: the usage report that
// follows every automatic logon, and the request for a password when the client cannot log on alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "Pinewick/app/Engine.h"
#include "Pinewick/app/Parts.h"
#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "fake_bus_peers.h"
#include "platform/keychain.h"
#include "support/devserver_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class ServerHooks : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir / "root");
        ASSERT_TRUE(server.start({"--root", (dir / "root").string(), "--listen", "127.0.0.1:0", "--user",
                                  "anna:right", "--mappoint", "Team", "--faults", "--quiet"},
                                 dir / "devserver.log"));
        hostPort = "127.0.0.1:" + std::to_string(server.port());
        keychain = platform::keychain::makeFileKeychain((dir / "credentials.json").string());
        env.keychain = keychain.get();
        Engine::wireServerLayer();
        auto& state = StateManager::sharedInstance();
        state.networkAvailable.storeQuietly(true);
        state.allowServerCommunication = true;
        Logger::sharedInstance().setLogLevel(Logger::logLevels::debug);
        platform::http::Session::shared().cookies().removeAll();
        VolumeManager::sharedInstance().clear();
        team = std::make_shared<VolumeDetail>("Team", ServerConfigurationDetails::sharedInstance());
        team->state = VolumeDetail::volumeStates::Visible;
        VolumeManager::sharedInstance().addVolume(team);
        fs::create_directories(team->localFolder);
    }
    void TearDown() override {
        EXPECT_EQ(server.stop(), 0) << readFile(dir / "devserver.log");
        env.keychain = nullptr;  // the test's keychain goes with it
    }

    void storeAccount(const std::string& password) {
        keychain->addItem({hostPort, "anna", "Tidewell", "Tidewell Server Password"}, password);
        auto& c = ServerCredentials::sharedInstance();
        c.resetForTesting();
        c.setServerProtocol("http");
    }
    void writeWithState(const std::string& rel, const std::string& content,
                        std::optional<CEAStatus::keys> state) {
        std::string path = team->localFolder + "/" + rel;
        ASSERT_TRUE(writeFile(path, content));
        if (!state) return;
        CorvaneExtendedAttributes record(path);
        record.ceaStatus.setStatus(*state);
        ASSERT_TRUE(record.save());
    }
    nlohmann::json audits() {
        platform::http::Request r;
        r.url = "http://" + hostPort + "/admin/audit";
        auto result = platform::http::Session::shared().perform(r);
        return nlohmann::json::parse(result.data.value_or("[]"), nullptr, false);
    }

    TempDir dir{"tw-hooks"};
    // The program's, as the engine wires it: what is under test here.
    ServerEnvironment& env = parts::serverEnvironment();
    ServerProcess server;
    std::string hostPort;
    std::unique_ptr<platform::keychain::Keychain> keychain;
    std::shared_ptr<VolumeDetail> team;
};

TEST_F(ServerHooks, AnAutomaticLogonIsFollowedByTheUsageReportWithoutIgnoredFiles) {
    writeWithState("a.PDF", std::string(10, 'a'), CEAStatus::keys::RequireUpload);
    writeWithState("docs/b.pdf", std::string(20, 'b'), CEAStatus::keys::Regular);
    writeWithState("README", std::string(5, 'r'), std::nullopt);            // no record yet: still to upload
    writeWithState("docs/.DS_Store", std::string(100, 'x'), std::nullopt);  // never synchronised
    storeAccount("right");
    size_t from = logSize();
    ASSERT_TRUE(ServerCommunicator::ready(env));

    nlohmann::json list;
    for (int i = 0; i < 200; ++i) {
        list = audits();
        if (list.is_array() && !list.empty()) break;
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(list.is_array() && list.size() == 1) << list.dump();
    EXPECT_EQ(list[0]["user"], "anna");
    auto doc = list[0]["document"].is_string() ? nlohmann::json::parse(list[0]["document"].get<std::string>())
                                               : list[0]["document"];
    EXPECT_EQ(doc, (nlohmann::json{{"filesSyncPendingUpload", 2},
                                   {"sizeSyncPendingUpload", 15},
                                   {"localCacheFileCount", 3},
                                   {"localCacheSize", 35}}));
    ASSERT_TRUE([&] {
        for (int i = 0; i < 100; ++i) {
            if (logContains("Reporting statistic ", from)) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }());
    EXPECT_TRUE(logContains(
        "Reporting statistic Stats(fileCount: 3, fileSize: 35, needUploadCount: 2, needUploadSize: 15)",
        from));
}

TEST_F(ServerHooks, AClientThatCannotLogOnAloneSaysToRunTidewellLoginInTheLogAndOnTheDesktop) {
    FakeNotificationDaemon daemon;
    bool haveDaemon = !sessionBusAddress().empty() && daemon.start();
    storeAccount("wrong");
    size_t from = logSize();
    EXPECT_FALSE(ServerCommunicator::ready(env));
    EXPECT_TRUE(ServerCredentials::sharedInstance().passwordRequired);
    EXPECT_TRUE(logContains("Warning: Tidewell needs your password to log on to the Tidewell server " +
                                hostPort + ": run \"tidewell login\" to enter it.",
                            from));
    // Asked once: a client waiting for the user does not ask again at every request.
    EXPECT_FALSE(ServerCommunicator::ready(env));
    std::string log = sharedLogText().substr(from);
    size_t first = log.find("tidewell login");
    EXPECT_EQ(log.find("tidewell login", first + 1), std::string::npos);
    if (!haveDaemon) GTEST_SKIP() << "no D-Bus session bus: the desktop notification was not checked";
    ASSERT_TRUE(daemon.waitForCalls(1));
    std::this_thread::sleep_for(200ms);
    auto calls = daemon.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].appName, "Tidewell");
    EXPECT_EQ(calls[0].summary, "Tidewell needs your password");
    EXPECT_NE(calls[0].body.find("\"tidewell login\""), std::string::npos) << calls[0].body;
    EXPECT_NE(calls[0].body.find(hostPort), std::string::npos) << calls[0].body;
    // No report follows a logon that failed.
    EXPECT_TRUE(audits().empty());
}

}  // namespace
}  // namespace tw::test
