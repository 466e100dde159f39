// The user-client socket of a running gatewarden: open/close rules, structure sizes, bad clients.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "harness.h"
#include "platform/unixsocket.h"
#include "support/temp_dir.h"

namespace {

using namespace gwtest;
using namespace tw::pw;
using tw::platform::UserClient;

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        daemon_ = std::make_unique<Daemon>(dir_ / "gatewarden.log");
        ASSERT_TRUE(daemon_->ready()) << daemon_->log();
    }
    void TearDown() override {
        if (HasFailure()) fprintf(stderr, "---- gatewarden log ----\n%s\n", daemon_->log().c_str());
    }
    std::unique_ptr<UserClient> client() { return UserClient::connect(daemon_->socketPath); }

    tw::test::TempDir dir_{"gw-driver"};
    std::unique_ptr<Daemon> daemon_;
};

TEST_F(DriverTest, SocketIsPrivate) {
    struct stat st;
    ASSERT_EQ(stat(daemon_->socketPath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(::stat(daemon_->controlPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(DriverTest, TransfersNeedAnOpenDriver) {
    auto c = client();
    ASSERT_TRUE(c);
    _pwevent rec;
    EXPECT_EQ(c->receive(rec), kIOReturnNotOpen);
    EXPECT_EQ(c->send(*tw::platform::formSendStructure(sa_StopWatching, "", "")), kIOReturnNotOpen);
    EXPECT_EQ(c->closeConnection(), kIOReturnNotOpen);
    ASSERT_EQ(c->openConnection(), kIOReturnSuccess);
    // An empty queue reads successfully with action 0.
    memset(&rec, 0xAB, sizeof rec);
    EXPECT_EQ(c->receive(rec), kIOReturnSuccess);
    EXPECT_EQ(rec.action, no_MESSAGE);
    std::vector<_pwevent> batch(3);
    EXPECT_EQ(c->receiveMany(batch), kIOReturnSuccess);
    EXPECT_TRUE(batch.empty()) << "an empty queue read in a batch gives no record";
    EXPECT_EQ(c->closeConnection(), kIOReturnSuccess);
    EXPECT_EQ(c->receive(rec), kIOReturnNotOpen);
    EXPECT_EQ(c->receiveMany(batch), kIOReturnNotOpen);
}

TEST_F(DriverTest, OneOpenClientAtATime) {
    auto first = client();
    auto second = client();
    ASSERT_EQ(first->openConnection(), kIOReturnSuccess);
    EXPECT_EQ(second->openConnection(), kIOReturnExclusiveAccess);
    _pwevent rec;
    EXPECT_EQ(second->receive(rec), kIOReturnNotOpen);
    // Closing hands the driver over.
    ASSERT_EQ(first->closeConnection(), kIOReturnSuccess);
    EXPECT_EQ(second->openConnection(), kIOReturnSuccess);
    // A client that just goes away releases it too.
    second->disconnect();
    auto third = client();
    for (int i = 0; i < 200 && third->openConnection() != kIOReturnSuccess; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(third->closeConnection(), kIOReturnSuccess);
}

TEST_F(DriverTest, TheHoldersAnswersGoOnItsOtherConnectionWhileItsReadWaits) {
    auto app = client();
    auto answers = client();
    ASSERT_EQ(app->openConnection(), kIOReturnSuccess);
    std::atomic<bool> readReturned{false};
    std::thread reader([&] {
        _pwevent rec;
        app->receive(rec);  // nothing to report: held for up to a second
        readReturned = true;
    });
    std::this_thread::sleep_for(100ms);
    auto watch = tw::platform::formSendStructure(sa_AddWatchPath, (dir_ / "w").string(), kReadWrite);
    EXPECT_EQ(answers->send(*watch), kIOReturnSuccess);
    EXPECT_FALSE(readReturned) << "the command waited for the held read";
    // Reading stays the holder's own connection's.
    _pwevent rec;
    EXPECT_EQ(answers->receive(rec), kIOReturnNotOpen);
    reader.join();
    ASSERT_EQ(app->closeConnection(), kIOReturnSuccess);
    EXPECT_EQ(answers->send(*watch), kIOReturnNotOpen);

    // Another process holding the driver does not make this one's commands welcome.
    HeldActor holder({"hold-driver", daemon_->socketPath});
    ASSERT_TRUE(holder.holding());
    EXPECT_EQ(answers->send(*watch), kIOReturnNotOpen);
}

TEST_F(DriverTest, DeadClientReleasesTheDriver) {
    // The holder is a separate process that opens the driver and is then killed.
    HeldActor holder({"hold-driver", daemon_->socketPath});
    ASSERT_TRUE(holder.holding());
    auto app = client();
    EXPECT_EQ(app->openConnection(), kIOReturnExclusiveAccess);
    holder.kill();
    IOReturn rc = kIOReturnExclusiveAccess;
    for (int i = 0; i < 200 && rc != kIOReturnSuccess; ++i) {
        rc = app->openConnection();
        if (rc != kIOReturnSuccess) std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(rc, kIOReturnSuccess);
}

TEST_F(DriverTest, EmptyReadWaitsForAnEventThenAnswersEmpty) {
    auto c = client();
    ASSERT_EQ(c->openConnection(), kIOReturnSuccess);
    _pwevent rec;
    memset(&rec, 0xAB, sizeof rec);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(c->receive(rec), kIOReturnSuccess);
    auto held = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(rec.action, no_MESSAGE);
    EXPECT_EQ(rec.userClient, 0);
    EXPECT_GE(held, 500ms) << "an empty read is held for an event, not answered at once";
    EXPECT_LT(held, 10s);
}

TEST_F(DriverTest, StoppingIsNotHeldUpByAWaitingRead) {
    auto c = client();
    ASSERT_EQ(c->openConnection(), kIOReturnSuccess);
    std::atomic<bool> returned{false};
    std::thread reader([&] {
        _pwevent rec;
        c->receive(rec);  // ends one way or the other: empty, or the connection gone
        returned = true;
    });
    std::this_thread::sleep_for(200ms);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(daemon_->terminate(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    reader.join();
    EXPECT_TRUE(returned);
}

TEST_F(DriverTest, ClientDyingDuringAWaitingReadFreesTheDriverAtOnce) {
    // The holder reads without pause, as the application does, so it dies inside a waiting read.
    HeldActor holder({"hold-driver-reading", daemon_->socketPath});
    ASSERT_TRUE(holder.holding());
    auto app = client();
    EXPECT_EQ(app->openConnection(), kIOReturnExclusiveAccess);
    std::this_thread::sleep_for(100ms);
    holder.kill();
    // No retry: the new instance is not turned away while the dead one's read would still wait.
    EXPECT_EQ(app->openConnection(), kIOReturnSuccess);
    _pwevent rec;
    EXPECT_EQ(app->receive(rec), kIOReturnSuccess);
    EXPECT_EQ(rec.action, no_MESSAGE);
    // A client that is alive keeps the driver.
    EXPECT_EQ(client()->openConnection(), kIOReturnExclusiveAccess);
}

TEST_F(DriverTest, StructureSizesAreChecked) {
    auto c = client();
    ASSERT_EQ(c->openConnection(), kIOReturnSuccess);
    std::vector<std::uint8_t> shortRecord(kRecordSize - 1, 0), longRecord(kRecordSize + 1, 0), one(1, 0);
    EXPECT_EQ(c->call(kSendDataToKernel, shortRecord.data(), shortRecord.size()).code, kIOReturnBadArgument);
    EXPECT_EQ(c->call(kSendDataToKernel, longRecord.data(), longRecord.size()).code, kIOReturnBadArgument);
    EXPECT_EQ(c->call(kRecieveDataFromKernel, one.data(), one.size()).code, kIOReturnBadArgument);
    EXPECT_EQ(c->call(kRecieveManyFromKernel, one.data(), one.size()).code, kIOReturnBadArgument);
    EXPECT_EQ(c->call(kBrindleOpenConnection, one.data(), one.size()).code, kIOReturnBadArgument);
    EXPECT_EQ(c->call(7, nullptr, 0).code, kIOReturnUnsupported);
    auto reply = c->call(kRecieveDataFromKernel, nullptr, 0);
    EXPECT_EQ(reply.code, kIOReturnSuccess);
    EXPECT_EQ(reply.output.size(), kRecordSize);
    // Commands of another client family or with an unknown action are accepted and ignored.
    _pwevent rec = *tw::platform::formSendStructure(sa_AddWatchPath, "/w", kReadWrite);
    rec.userClient = pwuc_Ostrel;
    EXPECT_EQ(c->send(rec), kIOReturnSuccess);
    rec.userClient = pwuc_Brindle;
    rec.action = 77;
    EXPECT_EQ(c->send(rec), kIOReturnSuccess);
    // A watch path filling the whole field (no terminator) is refused, not truncated.
    memset(rec.path1, 'a', sizeof rec.path1);
    rec.path1[0] = '/';
    rec.action = sa_AddWatchPath;
    EXPECT_EQ(c->send(rec), kIOReturnSuccess);
    EXPECT_NE(daemon_->log().find("does not fit"), std::string::npos);
}

TEST_F(DriverTest, WatchPathInOtherLetterCaseKeptOnce) {
    auto c = client();
    ASSERT_EQ(c->openConnection(), kIOReturnSuccess);
    EXPECT_EQ(c->send(*tw::platform::formSendStructure(sa_AddWatchPath, "/Volumes/Docs", kReadWrite)),
              kIOReturnSuccess);
    EXPECT_EQ(c->send(*tw::platform::formSendStructure(sa_AddWatchPath, "/VOLUMES/docs/", kReadWrite)),
              kIOReturnSuccess);
    EXPECT_EQ(c->send(*tw::platform::formSendStructure(sa_AddWatchPath, "/Volumes/Other", kReadWrite)),
              kIOReturnSuccess);
    std::string log = daemon_->log();
    size_t added = 0;
    for (size_t at = log.find("Added "); at != std::string::npos; at = log.find("Added ", at + 1)) ++added;
    EXPECT_EQ(added, 2u) << log;
}

TEST_F(DriverTest, BrokenClientsDoNotHurtTheDaemon) {
    auto holder = client();
    ASSERT_EQ(holder->openConnection(), kIOReturnSuccess);
    auto now = [] { return std::chrono::steady_clock::now() + 5s; };
    {
        // Disconnects halfway through its input.
        auto fd = tw::platform::connectUnix(daemon_->socketPath);
        std::string head;
        tw::platform::putU32(head, kSendDataToKernel);
        tw::platform::putU32(head, kRecordSize);
        head += std::string(100, 'x');
        ASSERT_EQ(tw::platform::sendAll(fd.get(), head.data(), head.size(), now()),
                  tw::platform::IoResult::ok);
    }
    {
        // Announces an absurd input length.
        auto fd = tw::platform::connectUnix(daemon_->socketPath);
        std::string head;
        tw::platform::putU32(head, kSendDataToKernel);
        tw::platform::putU32(head, 0x7FFFFFFF);
        tw::platform::sendAll(fd.get(), head.data(), head.size(), now());
        char b;
        EXPECT_EQ(tw::platform::recvAll(fd.get(), &b, 1, now()), tw::platform::IoResult::closed);
    }
    {
        // Sends half a header and leaves.
        auto fd = tw::platform::connectUnix(daemon_->socketPath);
        tw::platform::sendAll(fd.get(), "\x02\x00", 2, now());
    }
    // The holder still holds the driver and is served.
    _pwevent rec;
    EXPECT_EQ(holder->receive(rec), kIOReturnSuccess);
    EXPECT_EQ(client()->openConnection(), kIOReturnExclusiveAccess);
    EXPECT_EQ(daemon_->terminate(), 0);
}

TEST_F(DriverTest, NoServiceWithoutDaemon) {
    daemon_->terminate();
    IOReturn err = kIOReturnSuccess;
    EXPECT_EQ(UserClient::connect(daemon_->socketPath, &err), nullptr);
    EXPECT_EQ(err, kNoServiceFound);
    EXPECT_FALSE(std::filesystem::exists(daemon_->socketPath));
}

}  // namespace
