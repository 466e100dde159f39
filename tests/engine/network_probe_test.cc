// The run state's network probe, sleep and wake, and shutdown, with the real HTTP stack against the
// reference server and small loopback responders for the statuses it never gives. Time runs on the
// server layer's injected clock and sleeper: no test waits the real five seconds.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "Pinewick/config/Logger.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/NetworkState.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/server/ServerCredentials.h"
#include "fake_bus_peers.h"
#include "platform/keychain.h"
#include "platform/reachability.h"
#include "raw_server.h"
#include "support/devserver_process.h"
#include "support/log_capture.h"
#include "support/own_run_state.h"
#include "support/own_server.h"
#include "support/own_volumes.h"
#include "support/temp_dir.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A loopback responder that answers every request with `status` (and a Location for redirects) and
// counts the requests and their methods.
class StatusServer {
public:
    explicit StatusServer(int status)
        : server_([this, status](int fd, const std::string& head) {
              {
                  std::lock_guard l(m_);
                  heads_.push_back(head.substr(0, head.find("\r\n")));
              }
              std::string reason = status == 200 ? "OK" : status == 204 ? "No Content" : "Whatever";
              std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
              if (status / 100 == 3) answer += "Location: http://portal.example/login\r\n";
              answer += "X-Probe: yes\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
              writeAll(fd, answer);
          }) {}
    std::string url(const std::string& path = "/") const { return server_.base() + path; }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(server_.port()); }
    std::vector<std::string> requestLines() {
        std::lock_guard l(m_);
        return heads_;
    }

private:
    std::mutex m_;
    std::vector<std::string> heads_;
    RawServer server_;
};

// A loopback port nobody listens on.
std::string closedPortUrl() {
    int port;
    {
        RawServer s([](int, const std::string&) {});
        port = s.port();
    }
    return "http://127.0.0.1:" + std::to_string(port) + "/";
}

class NetworkProbe : public ::testing::Test {
protected:
    void SetUp() override {
        keychain = platform::keychain::makeFileKeychain((dir / "credentials.json").string());
        env.keychain = keychain.get();
        env.now = [this] {
            std::lock_guard l(m);
            return now;
        };
        env.sleep = [this](std::chrono::seconds s) {
            std::unique_lock l(m);
            sleeps.push_back(static_cast<int>(s.count()));
            now += s;
            if (onSleep) onSleep(sleeps.size());
            cv.notify_all();
            // Past the limit the loop is held here, so the test can look at a stable state.
            cv.wait(l, [&] { return sleeps.size() < sleepLimit || released; });
        };
        platform::setReachabilityOverride([this] { return reachable.load(); });
        Logger::sharedInstance().setLogLevel(Logger::logLevels::debug);
        account.resetForTesting();
        account.setServerProtocol("http");
        platform::http::Session::shared().cookies().removeAll();

        timeline.setListingPasses({[this](EventContext&) {
                                       std::lock_guard l(m);
                                       listings.push_back(now);
                                   },
                                   nullptr});
        state.systemStartup = false;
        state.allowServerCommunication = false;
        state.networkAvailable.storeQuietly(false);
        ServerConfigurationDetails::sharedInstance().paywallDetectURL.clear();
        state.triggerChanges();
    }

    void TearDown() override {
        state.systemShutdown = true;  // ends every probe loop at its next turn
        {
            std::lock_guard l(m);
            released = true;
        }
        cv.notify_all();
        EXPECT_TRUE(waitUntil([&] { return state.probeLoopsRunning() == 0; })) << "a probe loop did not end";
        platform::setReachabilityOverride({});
        if (server.running()) {
            EXPECT_EQ(server.stop(), 0);
        }
        // A shutdown cuts every exchange of the process: they are opened again for the next test.
        ServerCommunicator::reopen();
    }

    void startServer() {
        fs::create_directories(dir / "root");
        ASSERT_TRUE(server.start({"--root", (dir / "root").string(), "--listen", "127.0.0.1:0", "--user",
                                  "anna:pw", "--mappoint", "Team", "--faults", "--quiet"},
                                 dir / "devserver.log"));
        account.setServerName("127.0.0.1:" + std::to_string(server.port()));
    }

    // A probe of its own, on the credentials the fixture set up.
    NetworkState network() { return NetworkState(account, env); }
    static bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 15s) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
    bool waitForSleeps(size_t n) {
        std::unique_lock l(m);
        return cv.wait_for(l, 15s, [&] { return sleeps.size() >= n; });
    }
    size_t listingCount() {
        timeline.syncQueue().waitUntilAllOperationsAreFinished(5s);
        std::lock_guard l(m);
        return listings.size();
    }
    std::vector<int> sleepsSoFar() {
        std::lock_guard l(m);
        return sleeps;
    }
    Date clock() {
        std::lock_guard l(m);
        return now;
    }

    TempDir dir{"tw-probe"};
    OwnServer own;
    ServerEnvironment& env = own.env;
    ServerCredentials& account = own.account;
    ServerProcess server;
    std::unique_ptr<platform::keychain::Keychain> keychain;
    std::mutex m;
    std::condition_variable cv;
    Date now = Date(std::chrono::seconds(1'700'000'000));
    std::vector<int> sleeps;
    size_t sleepLimit = 1000;
    bool released = false;
    std::function<void(size_t)> onSleep;  // called under `m` with the count of sleeps so far
    std::vector<Date> listings;           // clock time of each listing of all mappoints
    std::atomic<bool> reachable{true};
    // A run state of the test's own, on a timeline nothing else resumes; last, so that it goes first,
    // waiting for its probe loops.
    OwnVolumes volumes;
    TimeLineManager timeline{dir.str() + "/", volumes.parts(env)};
    OwnRunState run{timeline, account};
    StateManager& state = run.state;
};

// ---- checkServers: what counts as an answer

TEST_F(NetworkProbe, TheReferenceServerAnswersHeadWithSuccess) {
    startServer();
    EXPECT_TRUE(network().checkServers(server.baseUrl() + "/"));
}

TEST_F(NetworkProbe, Status200And204AreReachableAndTheRequestIsAHead) {
    StatusServer ok(200), noContent(204);
    size_t from = logSize();
    EXPECT_TRUE(network().checkServers(ok.url()));
    EXPECT_TRUE(network().checkServers(noContent.url("/probe")));
    EXPECT_EQ(ok.requestLines(), std::vector<std::string>{"HEAD / HTTP/1.1"});
    EXPECT_EQ(noContent.requestLines(), std::vector<std::string>{"HEAD /probe HTTP/1.1"});
    EXPECT_FALSE(logContains("Warning: HTTP response", from));
}

TEST_F(NetworkProbe, NotFoundIsUnreachableWithoutAWarning) {
    StatusServer missing(404);
    size_t from = logSize();
    EXPECT_FALSE(network().checkServers(missing.url()));
    EXPECT_FALSE(logContains("Warning: HTTP response", from));
}

TEST_F(NetworkProbe, ARedirectIsNotFollowedAndOtherStatusesWarnWithTheResponse) {
    StatusServer redirect(302), broken(503);
    size_t from = logSize();
    EXPECT_FALSE(network().checkServers(redirect.url()));
    EXPECT_FALSE(network().checkServers(broken.url()));
    std::string log = sharedLogText().substr(from);
    EXPECT_NE(log.find("HTTP response for " + redirect.url() + ": status 302"), std::string::npos) << log;
    EXPECT_NE(log.find("Location: http://portal.example/login"), std::string::npos) << log;
    EXPECT_NE(log.find("status 503"), std::string::npos) << log;
    EXPECT_EQ(redirect.requestLines().size(), 1u);  // the portal it points to was never asked
}

TEST_F(NetworkProbe, NoAnswerAtAllIsUnreachable) {
    EXPECT_FALSE(network().checkServers(closedPortUrl()));
    EXPECT_FALSE(network().checkServers("not a url"));
}

TEST_F(NetworkProbe, StatesHaveTheirNamesAsRawValues) {
    using NS = NetworkState::NetworkStates;
    for (auto s : {NS::Unknown, NS::NoNetwork, NS::PaywallDetetced, NS::Okay})
        EXPECT_EQ(NetworkState::fromRaw(NetworkState::rawValue(s)), s);
    EXPECT_EQ(NetworkState::rawValue(NS::PaywallDetetced), "PaywallDetetced");
}

// ---- The probe loop

TEST_F(NetworkProbe, WithNoServerConfiguredTheNetworkCountsAsAvailableAndTheTimelineRuns) {
    account.setServerName("");
    state.allowServerCommunication = true;
    size_t from = logSize();
    state.pollForNetworkStatus();
    EXPECT_TRUE(state.networkAvailable);
    EXPECT_FALSE(timeline.suspended());
    EXPECT_EQ(listingCount(), 1u);
    std::string log = sharedLogText().substr(from);
    size_t first = log.find("Warning: No Tidewell Server configured");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("No Tidewell Server configured", first + 40), std::string::npos) << "once per loop";
    EXPECT_TRUE(sleepsSoFar().empty());
}

TEST_F(NetworkProbe, APaywallThatAnswersKeepsTheClientOfflineAndIsProbedEveryFiveSeconds) {
    startServer();
    StatusServer portal(200);
    ServerConfigurationDetails::sharedInstance().paywallDetectURL = portal.url("/detect");
    state.allowServerCommunication = true;
    sleepLimit = 3;
    state.systemStartup = true;
    state.finishLaunching();
    EXPECT_FALSE(state.systemStartup);
    ASSERT_TRUE(waitForSleeps(3));
    EXPECT_EQ(sleepsSoFar(), (std::vector<int>{5, 5, 5}));
    EXPECT_EQ(portal.requestLines().size(), 3u);
    EXPECT_FALSE(state.networkAvailable);
    EXPECT_TRUE(timeline.suspended());
    EXPECT_EQ(listingCount(), 0u);
    EXPECT_EQ(state.probeLoopsRunning(), 1);
}

TEST_F(NetworkProbe, APaywallAddressThatIsMissingOrDownLetsTheServerCheckDecide) {
    startServer();
    StatusServer missing(404);
    ServerConfigurationDetails::sharedInstance().paywallDetectURL = missing.url("/detect");
    state.pollForNetworkStatus();
    EXPECT_TRUE(state.networkAvailable);
    EXPECT_EQ(missing.requestLines().size(), 1u);

    state.networkAvailable.storeQuietly(false);
    ServerConfigurationDetails::sharedInstance().paywallDetectURL = closedPortUrl();
    state.pollForNetworkStatus();
    EXPECT_TRUE(state.networkAvailable);
    EXPECT_TRUE(sleepsSoFar().empty());
}

TEST_F(NetworkProbe, WithoutANetworkPathNothingIsAskedAndTheLoopRetriesUntilOneAppears) {
    StatusServer serverStandIn(200);
    account.setServerName(serverStandIn.hostPort());
    reachable = false;
    onSleep = [this](size_t n) {
        if (n == 2) reachable = true;
    };
    state.pollForNetworkStatus();
    EXPECT_TRUE(state.networkAvailable);
    EXPECT_EQ(sleepsSoFar(), (std::vector<int>{5, 5}));
    EXPECT_EQ(serverStandIn.requestLines().size(), 1u);
}

// A run state that goes takes its probe loop down with it: the loop, which refers to it, has ended by
// the time it is gone (ASan would see a loop still running on freed memory), and nothing probes after.
TEST_F(NetworkProbe, ARunStateThatGoesEndsItsProbeLoopFirst) {
    reachable = false;  // every probe fails, so the loop goes round until it is stopped
    // Never held in a sleep: a loop held there could not end, and the run state would wait for it for
    // ever (a busy machine lets the loop go round a thousand times before the reset below).
    sleepLimit = std::numeric_limits<size_t>::max();
    auto other = std::make_unique<OwnRunState>(timeline, account);
    other->state.systemStartup = false;
    other->state.networkAvailable = false;  // starts a loop
    ASSERT_TRUE(waitForSleeps(3));
    other.reset();
    size_t after = sleepsSoFar().size();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(sleepsSoFar().size(), after);
}

TEST_F(NetworkProbe, AServerThatAnswersWithAnErrorStatusKeepsTheLoopGoing) {
    StatusServer failing(503);
    account.setServerName(failing.hostPort());
    sleepLimit = 2;
    std::thread loop([this] { state.pollForNetworkStatus(); });
    ASSERT_TRUE(waitForSleeps(2));
    EXPECT_EQ(failing.requestLines(), (std::vector<std::string>{"HEAD / HTTP/1.1", "HEAD / HTTP/1.1"}));
    EXPECT_FALSE(state.networkAvailable);
    state.systemShutdown = true;
    {
        std::lock_guard l(m);
        released = true;
    }
    cv.notify_all();
    loop.join();
    EXPECT_FALSE(state.networkAvailable);
}

TEST_F(NetworkProbe, EachTransitionToRunningListsEverythingOnceAndANetworkErrorProbesAgainAfterFiveSeconds) {
    startServer();
    // A network failure a request sees reaches the run state, as the engine wires it.
    env.setNetworkAvailable = [this](bool available) {
        state.networkAvailable = available;
        state.triggerChanges();
    };
    state.allowServerCommunication = true;
    state.pollForNetworkStatus();
    ASSERT_TRUE(state.networkAvailable);
    EXPECT_EQ(listingCount(), 1u);

    // A request saw a network error: the timeline pauses, and a new loop starts five seconds later.
    env.setNetworkAvailable(false);
    EXPECT_TRUE(timeline.suspended());
    // Waits for what the failure leads to, not for "no probe loop running", which holds already
    // before the new loop has started.
    ASSERT_TRUE(waitUntil([&] {
        return state.networkAvailable && listingCount() == 2u && !timeline.suspended() &&
               state.probeLoopsRunning() == 0;
    })) << listingCount();
    EXPECT_TRUE(state.networkAvailable);
    EXPECT_FALSE(timeline.suspended());
    EXPECT_EQ(sleepsSoFar(), std::vector<int>{5});
    EXPECT_EQ(listingCount(), 2u);

    // The user's pause and resume is one more transition into running: one more listing. Coming
    // right after the pause, the resume finds the loop still winding down; it must still take.
    state.allowServerCommunication = false;
    state.triggerChanges();
    state.allowServerCommunication = true;
    state.triggerChanges();
    EXPECT_TRUE(waitUntil([&] { return listingCount() == 3u; })) << listingCount();
    EXPECT_FALSE(timeline.suspended());
    EXPECT_EQ(listingCount(), 3u);
}

TEST_F(NetworkProbe, NoProbeLoopIsScheduledBeforeLaunchHasFinished) {
    state.systemStartup = true;
    state.networkAvailable = false;
    EXPECT_EQ(state.probeLoopsRunning(), 0);
}

// ---- Sleep and wake

TEST_F(NetworkProbe, AfterAWakeTheTimelineStaysPausedUntilAProbeSucceedsAtLeastFiveSecondsLater) {
    startServer();
    state.allowServerCommunication = true;
    state.pollForNetworkStatus();
    ASSERT_FALSE(timeline.suspended());
    ASSERT_EQ(listingCount(), 1u);

    state.willSleep();
    EXPECT_TRUE(timeline.suspended());
    EXPECT_FALSE(state.allowServerCommunication);
    EXPECT_TRUE(state.lastState);

    sleepLimit = 1;  // hold the wake's probe loop in its first wait
    Date wokeAt = clock();
    state.didWake();
    EXPECT_TRUE(state.allowServerCommunication);  // the user's permission is back ...
    EXPECT_FALSE(state.networkAvailable);         // ... but the network is not trusted yet
    EXPECT_TRUE(timeline.suspended());
    ASSERT_TRUE(waitForSleeps(1));
    EXPECT_TRUE(timeline.suspended());
    {
        std::lock_guard l(m);
        released = true;
    }
    cv.notify_all();
    ASSERT_TRUE(waitUntil([&] { return state.probeLoopsRunning() == 0; }));
    EXPECT_FALSE(timeline.suspended());
    ASSERT_EQ(listingCount(), 2u);
    std::lock_guard l(m);
    EXPECT_GE(listings[1] - wokeAt, 5s);
}

TEST_F(NetworkProbe, AUserPauseSurvivesSleepAndARepeatedSleepSignalDoesNotLoseThePermission) {
    account.setServerName("");
    // Paused by the user: still paused after the wake.
    state.willSleep();
    state.didWake();
    EXPECT_FALSE(state.allowServerCommunication);
    ASSERT_TRUE(waitUntil([&] { return state.probeLoopsRunning() == 0; }));

    // Allowed, and the sleep announced twice: allowed again after the wake.
    state.allowServerCommunication = true;
    state.willSleep();
    state.willSleep();
    EXPECT_FALSE(state.allowServerCommunication);
    state.didWake();
    EXPECT_TRUE(state.allowServerCommunication);

    // A wake with no sleep before it leaves the user's choice alone.
    state.allowServerCommunication = false;
    state.didWake();
    EXPECT_FALSE(state.allowServerCommunication);
}

TEST_F(NetworkProbe, LogindsSleepSignalPausesAndItsWakeSignalResumesThroughAProbe) {
    if (sessionBusAddress().empty()) GTEST_SKIP() << "no D-Bus session bus (run under dbus-run-session)";
    FakeLogind logind;
    ASSERT_TRUE(logind.start());
    account.setServerName("");
    state.allowServerCommunication = true;
    state.pollForNetworkStatus();
    ASSERT_FALSE(timeline.suspended());

    state.observeSleepAndWake(sessionBusAddress());
    ASSERT_TRUE(logind.prepareForSleep(true));
    // The permission drops before the change suspends the timeline, on the bus thread: wait for both.
    ASSERT_TRUE(waitUntil([&] { return !state.allowServerCommunication && timeline.suspended(); }));
    ASSERT_TRUE(logind.prepareForSleep(false));
    ASSERT_TRUE(waitUntil([&] { return state.allowServerCommunication && state.networkAvailable; }));
    ASSERT_TRUE(waitUntil([&] { return state.probeLoopsRunning() == 0; }));
    EXPECT_FALSE(timeline.suspended());
    EXPECT_EQ(sleepsSoFar(), std::vector<int>{5});
}

// ---- Shutdown

// A pending event whose record tells when the timeline was saved.
class RecordingEvent : public TLEvent {
public:
    explicit RecordingEvent(std::function<void()> onSave) : onSave_(std::move(onSave)) {}
    void performAction(EventContext&) override { ADD_FAILURE() << "ran during shutdown"; }
    std::optional<std::string> timelineSave() override {
        onSave_();
        return std::nullopt;
    }
    std::string description() override { return "RecordingEvent"; }

private:
    std::function<void()> onSave_;
};

TEST_F(NetworkProbe, ShutdownPausesThenDetachesUnmountsClosesLogsOutAndSavesInThatOrder) {
    std::mutex om;
    std::vector<std::string> order;
    auto step = [&](const std::string& name) {
        std::lock_guard l(om);
        order.push_back(name);
    };
    StateManager::ShutdownSteps steps{.removeFinderBridge =
                                          [&] {
                                              step("bridge");
                                              EXPECT_TRUE(state.systemShutdown);
                                              EXPECT_FALSE(state.allowServerCommunication);
                                              EXPECT_TRUE(timeline.suspended());
                                          },
                                      .unmountVolumes = [&] { step("unmount"); },
                                      .closeKernelConnection = [&] { step("kernel"); }};
    // Logging out asks the request core whether it may send: that is where the logout shows.
    env.networkAvailable = [&] {
        step("logout");
        return false;
    };
    timeline.eventAppend(std::make_shared<RecordingEvent>([&] { step("save"); }));
    state.networkAvailable.storeQuietly(true);
    state.allowServerCommunication = false;
    state.shutdown(steps);
    EXPECT_EQ(order, (std::vector<std::string>{"bridge", "unmount", "kernel", "logout", "save"}));
    EXPECT_TRUE(account.passwordRequired);
    EXPECT_TRUE(timeline.suspended());
    EXPECT_TRUE(fs::exists(timeline.timelinePath()));
    state.triggerChanges();
    EXPECT_TRUE(timeline.suspended()) << "nothing resumes the timeline once shutdown began";
}

TEST_F(NetworkProbe, ShutdownWithoutStepsStillLogsOutAndSaves) {
    state.shutdown({});
    EXPECT_TRUE(account.passwordRequired);
    EXPECT_TRUE(timeline.suspended());
}

}  // namespace
}  // namespace tw::test
