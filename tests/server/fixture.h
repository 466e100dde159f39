// Shared set-up for the server-protocol tests: a fake server on loopback, a private keychain file, and a
// server environment and account of the test's own (`env`, `account`) with a fake clock and sleeper,
// run-state hooks that record what they were told, and one mappoint volume "Team" under the test's
// volumes root (server folder "/Team") on a volume list of the test's own, which the environment answers
// from as in the application.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <vector>

#include "Pinewick/config/Logger.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/ServerFileObject.h"
#include "Pinewick/server/UploadDetails.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "fake_server.h"
#include "platform/keychain.h"
#include "platform/places.h"
#include "support/log_capture.h"
#include "support/own_server.h"
#include "support/own_volumes.h"
#include "support/temp_dir.h"

namespace tw::test {

class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        volumes.answer(env);
        env.resumableUploadsFrom = 0;  // resuming is exercised with small files here
        keychain = platform::keychain::makeFileKeychain((dir / "credentials.json").string());
        env.keychain = keychain.get();
        now = Date(std::chrono::seconds(1'700'000'000));
        env.now = [this] { return now.load(); };
        env.sleep = [this](std::chrono::seconds s) {
            std::lock_guard lock(mutex);
            sleeps.push_back(static_cast<int>(s.count()));
            now = now.load() + s;
        };
        env.networkAvailable = [this] { return network.load(); };
        env.setNetworkAvailable = [this](bool b) {
            network = b;
            ++networkChanges;
        };
        env.allowServerCommunication = [this] { return allowed.load(); };
        env.requestCredentials = [this] { ++credentialRequests; };
        env.startUsageReport = [this] { ++usageReports; };
        platform::http::Session::shared().cookies().removeAll();
        volume = std::make_shared<VolumeDetail>("Team", ServerConfigurationDetails::sharedInstance());
        volumes.list.addVolume(volume);
        std::filesystem::create_directories(volume->localFolder);
        Logger::sharedInstance().setLogLevel(Logger::logLevels::debug);
        account.resetForTesting();
    }

    void TearDown() override { Logger::sharedInstance().flush(); }

    // Stores the fake server's account in the keychain and reads it, as at start-up.
    void storeAccount(const std::string& password = "s3cret") {
        keychain->addItem({server.hostPort(), server.user, "Tidewell", "Tidewell Server Password"}, password);
        auto& c = account;
        c.resetForTesting();
        c.setServerProtocol("http");
    }

    // A session as after start-up: endpoints discovered and logged on.
    void logOn() {
        storeAccount();
        ASSERT_TRUE(ServerCommunicator::ready(env));
        ASSERT_TRUE(account.tokenValid);
    }

    std::string local(const std::string& rel) const { return volume->localFolder + "/" + rel; }

    // Log text written so far.
    static std::string logText() {
        Logger::sharedInstance().flush();
        return readFile(Logger::sharedInstance().logPath());
    }
    static size_t count(const std::string& text, const std::string& what) { return occurrences(text, what); }

    OwnServer own;
    ServerEnvironment& env = own.env;
    ServerCredentials& account = own.account;
    FakeSyncServer server;
    TempDir dir;
    OwnVolumes volumes;
    std::unique_ptr<platform::keychain::Keychain> keychain;
    std::shared_ptr<VolumeDetail> volume;
    std::atomic<Date> now;
    std::mutex mutex;
    std::vector<int> sleeps;
    std::atomic<bool> network{true};
    std::atomic<bool> allowed{true};
    std::atomic<int> networkChanges{0};
    std::atomic<int> credentialRequests{0};
    std::atomic<int> usageReports{0};
};

}  // namespace tw::test
