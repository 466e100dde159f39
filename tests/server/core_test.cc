// Request core and session: classification of real exchanges, readiness, escaping, endpoint discovery,
// logon and automatic re-logon, keychain accounts.

#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>

#include "../platform/raw_server.h"
#include "Pinewick/config/SystemInformation.h"
#include "fixture.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
using NR = normalisedResponse;
using SE = serverError;

class CoreTest : public ServerFixture {
protected:
    // One GET through the request core's classification, answered by the fake server's intercept.
    Classification classify(const HttpReply& reply) {
        server.setIntercept([&](const HttpRequest&) { return reply; });
        auto result = ServerCommunicator::send(
            ServerCommunicator::makeRequest(env, "http://" + server.hostPort() + "/api/folders/x", "GET"));
        server.setIntercept(nullptr);
        return ServerCommunicator::handleResponse(env, result);
    }
};

// ---- classification of body shapes (every "errorId" row runs against the reference server)

TEST_F(CoreTest, StatusAndBodyShapes) {
    EXPECT_EQ(classify(HttpReply::json(204, "")), (Classification{NR::allOkay, SE::noError}));
    EXPECT_EQ(classify(HttpReply::json(200, "not json at all")), (Classification{NR::allOkay, SE::noError}));
    // Other statuses are judged by their body only.
    EXPECT_EQ(classify(HttpReply::json(500, "")), (Classification{NR::attemptRecovery, SE::noValidResponse}));
    EXPECT_EQ(classify(HttpReply::json(500, "<html>")),
              (Classification{NR::attemptRecovery, SE::jsonResponseMissing}));
    EXPECT_EQ(classify(HttpReply::json(500, "[1077]")),
              (Classification{NR::attemptRecovery, SE::noValidResponse}));
    EXPECT_EQ(classify(HttpReply::json(500, R"({"errorId": "1077"})")),
              (Classification{NR::attemptRecovery, SE::noValidResponse}));
    EXPECT_EQ(classify(HttpReply::json(500, R"({"errorId": 1077.5})")),
              (Classification{NR::attemptRecovery, SE::noValidResponse}));
    EXPECT_EQ(classify(HttpReply::json(500, R"({"errorId": 1e300})")),
              (Classification{NR::attemptRecovery, SE::noValidResponse}));
    EXPECT_EQ(classify(HttpReply::json(404, R"({"errorId": 20, "x": [1,2]})")),
              (Classification{NR::attemptRecovery, SE::itemNotFound}));
}

TEST_F(CoreTest, ANewLogonIsAskedForAndTheSessionDroppedOnlyWhenStale) {
    auto& c = account;
    c.tokenValid = true;
    c.lastRefresh = now.load() - 100s;
    EXPECT_EQ(classify(HttpReply::error(1, 401)), (Classification{NR::tryAgain, SE::invalidCredentials}));
    EXPECT_TRUE(c.tokenValid);
    c.lastRefresh = now.load() - 130s;
    EXPECT_EQ(classify(HttpReply::error(6, 401)), (Classification{NR::tryAgain, SE::tokenRefreshRequired}));
    EXPECT_FALSE(c.tokenValid);
    EXPECT_EQ(count(logText(), "Server has requested a new logon"), 2u);
}

TEST_F(CoreTest, AFreshSessionTheServerKeepsRefusingIsLoggedOnAnew) {
    // A fresh session is kept at first (the server may not have caught up), but not for the two
    // minutes a stale one would wait: each of those refusals is the same request sent again.
    auto& c = account;
    c.tokenValid = true;
    c.lastRefresh = now.load();
    c.refusalsSinceRefresh = 0;
    for (int i = 1; i < ServerCredentials::kRefusalsBeforeNewLogon; ++i) {
        EXPECT_EQ(classify(HttpReply::error(1, 401)), (Classification{NR::tryAgain, SE::invalidCredentials}));
        EXPECT_TRUE(c.tokenValid) << i;
    }
    EXPECT_EQ(classify(HttpReply::error(1, 401)), (Classification{NR::tryAgain, SE::invalidCredentials}));
    EXPECT_FALSE(c.tokenValid);
}

// ---- transport failures

TEST_F(CoreTest, NetworkClassFailuresMarkTheNetworkDownAndImposeABackOff) {
    auto& c = account;
    auto expectNetworkClass = [&](const platform::http::Result& r, const char* what) {
        network = true;
        c.backoffTimer = 0;
        EXPECT_EQ(ServerCommunicator::handleResponse(env, r), (Classification{NR::fatal, SE::serverNotFound}))
            << what;
        EXPECT_FALSE(network) << what;
        EXPECT_EQ(c.backoffTimer.load(), 10u) << what;
    };
    // Connection refused: a port nobody listens on.
    int port;
    {
        FakeSyncServer gone;
        port = gone.port();
    }
    expectNetworkClass(ServerCommunicator::send(ServerCommunicator::makeRequest(
                           env, "http://127.0.0.1:" + std::to_string(port) + "/", "GET")),
                       "refused");
    expectNetworkClass(
        ServerCommunicator::send(ServerCommunicator::makeRequest(env, "http://tidewell.invalid/", "GET")),
        "unknown host");
    // No network at all (the platform's "not connected" when no route leads anywhere).
    platform::http::Result offline;
    offline.error = platform::http::TransportError{platform::http::kNotConnectedToInternet, "offline"};
    expectNetworkClass(offline, "not connected");
    // Time-out: a server that accepts and never answers.
    RawServer silent([](int, const std::string&) { std::this_thread::sleep_for(3s); });
    env.requestTimeout = 1s;
    expectNetworkClass(
        ServerCommunicator::send(ServerCommunicator::makeRequest(env, silent.base() + "/", "GET")),
        "timeout");
    // Dropped mid-body.
    server.setIntercept([](const HttpRequest&) {
        HttpReply r = HttpReply::json(200, std::string(5000, 'x'));
        r.cutBodyAfter = 100;
        return r;
    });
    expectNetworkClass(ServerCommunicator::send(
                           ServerCommunicator::makeRequest(env, "http://" + server.hostPort() + "/", "GET")),
                       "dropped");
    EXPECT_GE(count(logText(), "Received network error:"), 4u);

    // The next ready() with the network back serves the back-off, then proceeds.
    server.setIntercept(nullptr);
    storeAccount();
    network = true;
    c.backoffTimer = 10;
    sleeps.clear();
    EXPECT_TRUE(ServerCommunicator::ready(env));
    EXPECT_EQ(sleeps, std::vector<int>{10});
    EXPECT_EQ(c.backoffTimer.load(), 0u);
    EXPECT_NE(logText().find("Waiting for backOff 10"), std::string::npos);
}

// Transport failures outside the network class touch neither the network state nor the back-off: a
// login the transport itself was refused is an authentication matter, and a failure of no known kind is
// logged as such and judged by whatever answer came with it.
TEST_F(CoreTest, OtherTransportFailuresAreNotTakenForALostNetwork) {
    auto& c = account;
    network = true;
    c.backoffTimer = 0;
    const size_t networkErrors = count(logText(), "Received network error:");
    platform::http::Result login;
    login.error = platform::http::TransportError{platform::http::kUserAuthenticationRequired, "login denied"};
    EXPECT_EQ(ServerCommunicator::handleResponse(env, login),
              (Classification{NR::fatal, SE::authenticationRequired}));

    // A scheme the transport does not speak: its own error, with no answer at all.
    size_t before = count(logText(), "Fatal: Unhandled error ");
    auto unknown =
        ServerCommunicator::send(ServerCommunicator::makeRequest(env, "tidewell-nothing://host/", "GET"));
    ASSERT_TRUE(unknown.error.has_value());
    EXPECT_EQ(ServerCommunicator::handleResponse(env, unknown),
              (Classification{NR::attemptRecovery, SE::noValidResponse}));
    EXPECT_EQ(count(logText(), "Fatal: Unhandled error "), before + 1);
    // With an answer, the answer decides.
    platform::http::Result answered;
    answered.error = platform::http::TransportError{platform::http::kCannotWriteToFile, "disk full"};
    answered.response = platform::http::Response{200, "", {}};
    EXPECT_EQ(ServerCommunicator::handleResponse(env, answered), (Classification{NR::allOkay, SE::noError}));

    EXPECT_TRUE(network);
    EXPECT_EQ(c.backoffTimer.load(), 0u);
    EXPECT_EQ(count(logText(), "Received network error:"), networkErrors);
}

TEST_F(CoreTest, CancelledTasksKeepTheirAnswerOrBecomeRecoverable) {
    platform::http::Result cancelledWithAnswer;
    cancelledWithAnswer.error = platform::http::TransportError{platform::http::kCancelled, "cancelled"};
    cancelledWithAnswer.response = platform::http::Response{200, "", {}};
    EXPECT_EQ(ServerCommunicator::handleResponse(env, cancelledWithAnswer),
              (Classification{NR::allOkay, SE::canceled}));

    // A real cancel of a running request.
    server.setIntercept([](const HttpRequest&) {
        std::this_thread::sleep_for(500ms);
        return HttpReply::json(200, "{}");
    });
    platform::http::Result result;
    auto task = platform::http::Session::shared().start(
        ServerCommunicator::makeRequest(env, "http://" + server.hostPort() + "/", "GET"),
        [&](platform::http::Result r) { result = std::move(r); });
    std::this_thread::sleep_for(100ms);
    task->cancel();
    task->wait();
    EXPECT_EQ(ServerCommunicator::handleResponse(env, result),
              (Classification{NR::attemptRecovery, SE::noValidResponse}));
}

// A delay fault on the server held `tidewell quit` until the request's own time-out: quitting cuts what
// runs, leaves it for the next start, sends nothing new, and still logs off.
TEST_F(CoreTest, QuittingCutsARequestTheServerHoldsAndSendsNothingNewButTheLogout) {
    logOn();
    std::mutex m;
    std::condition_variable cv;
    bool arrived = false, released = false;
    server.setIntercept([&](const HttpRequest& r) -> std::optional<HttpReply> {
        if (r.path != "/api/folders/slow") return std::nullopt;
        std::unique_lock lock(m);
        arrived = true;
        cv.notify_all();
        cv.wait_for(lock, 30s, [&] { return released; });
        return HttpReply::json(200, "{}");
    });
    std::atomic<bool> judged{false};
    ServerCommunicator::Pass pass;
    pass.build = [this] {
        return ServerCommunicator::makeRequest(env, ServerCommunicator::serviceBase(env) + "folders/slow",
                                               "GET");
    };
    pass.complete = [&](const platform::http::Result&) {
        judged = true;
        return NR::allOkay;
    };
    bool answered = true;
    auto cycle = std::async(std::launch::async,
                            [&] { return ServerCommunicator::requestCycle(env, pass, &answered); });
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return arrived; }));
    }
    // Shutting down closes the process's exchanges: open them again for the tests that follow.
    struct Reopen {
        ~Reopen() { ServerCommunicator::reopen(); }
    } reopen;
    ServerCommunicator::closeForShutdown();
    // Bounded only so a failure reports instead of hanging; the server holds the answer for 30 s.
    ASSERT_EQ(cycle.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(cycle.get(), NR::fatal);
    EXPECT_FALSE(answered);
    EXPECT_FALSE(judged) << "a cut exchange has no answer to judge";

    server.clearRequests();
    EXPECT_FALSE(ServerCommunicator::ready(env));
    EXPECT_EQ(ServerCommunicator::requestCycle(env, pass), NR::fatal);
    EXPECT_TRUE(server.requests().empty());

    {
        std::lock_guard lock(m);
        released = true;  // this server answers one connection at a time
    }
    cv.notify_all();
    account.logout();
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests().back().method, "DELETE");
    server.setIntercept(nullptr);
}

TEST_F(CoreTest, AnUnusableServerAddressEndsTheCycleWithoutContact) {
    storeAccount();
    ASSERT_TRUE(ServerCommunicator::ready(env));
    account.setServerName("bad host name");
    server.clearRequests();
    ServerCommunicator::Pass pass;
    pass.build = [this] {
        return ServerCommunicator::makeRequest(env, ServerCommunicator::serviceBase(env) + "folders/a",
                                               "GET");
    };
    pass.complete = [](const platform::http::Result&) { return NR::allOkay; };
    EXPECT_EQ(ServerCommunicator::requestCycle(env, pass), NR::fatal);
    EXPECT_TRUE(server.requests().empty());
}

// ---- readiness

TEST_F(CoreTest, ReadyIsFalseWithoutNetworkAndNeverContactsTheServer) {
    storeAccount();
    network = false;
    EXPECT_FALSE(ServerCommunicator::ready(env));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(CoreTest, ConcurrentReadyLogsOnOnce) {
    storeAccount();
    std::vector<std::thread> threads;
    std::atomic<int> readyCount{0};
    for (int i = 0; i < 6; ++i)
        threads.emplace_back([&] {
            if (ServerCommunicator::ready(env)) ++readyCount;
            (void)account.serverName();
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(readyCount.load(), 6);
    EXPECT_EQ(server.logons(), 1);
    EXPECT_EQ(usageReports.load(), 1);
}

TEST_F(CoreTest, AnExpiredSessionIsReestablishedAndTheRequestRepeated) {
    logOn();
    server.addFolder("/Team");
    server.expireSessions();
    now = now.load() + 200s;  // the session is stale
    FolderContentDetails listing(env, local(""));
    listing.localPath = volume->localFolder;
    auto [outcome, error] = listing.fetchFolderContents();
    EXPECT_EQ(outcome, NR::allOkay);
    EXPECT_EQ(server.logons(), 2);
    EXPECT_TRUE(account.tokenValid);
}

TEST_F(CoreTest, SessionsExpiredMomentsAfterALogonAreReestablished) {
    // The server dropped every session (expired, or restarted) just after this client logged on.
    logOn();
    server.addFolder("/Team");
    server.expireSessions();
    size_t refusedBefore = count(logText(), "Server has requested a new logon");
    FolderContentDetails listing(env, local(""));
    listing.localPath = volume->localFolder;
    auto [outcome, error] = listing.fetchFolderContents();
    EXPECT_EQ(outcome, NR::allOkay);
    EXPECT_EQ(server.logons(), 2);
    EXPECT_LE(count(logText(), "Server has requested a new logon") - refusedBefore,
              static_cast<size_t>(ServerCredentials::kRefusalsBeforeNewLogon));
}

// ---- escaping

TEST(Escaping, SimpleDataEscape) {
    EXPECT_EQ(ServerCommunicator::simpleDataEscape("a b"), "a%20b");
    EXPECT_EQ(ServerCommunicator::simpleDataEscape("\xc3\xa9"), "%c3%a9");
    EXPECT_EQ(ServerCommunicator::simpleDataEscape("x-y_z"), "x%2dy%5fz");
    EXPECT_EQ(ServerCommunicator::simpleDataEscape("/a.b/C9~"), "/a.b/C9%7e");
    EXPECT_EQ(ServerCommunicator::simpleDataEscape(std::string("a\0b", 3)), "a%00b");
}

TEST(Escaping, MacToWindowsAndBack) {
    // The example path: the dot after c is followed by a space and stays; the trailing dot is mapped.
    EXPECT_EQ(ServerCommunicator::macToWindows("/a:b/c. /d."), "/a%ef%80%a2b/c.%ef%80%a8/d%ef%80%a9");
    EXPECT_EQ(ServerCommunicator::macToWindows(""), "");
    EXPECT_EQ(ServerCommunicator::macToWindows("/"), "/");
    EXPECT_EQ(ServerCommunicator::macToWindows("/x "), "/x%ef%80%a8");
    // Decomposed e + combining acute is composed before escaping.
    EXPECT_EQ(ServerCommunicator::macToWindows("/e\xcc\x81"), "/%c3%a9");

    // Round trips: a component as the server stores it comes back as the local name.
    const std::string names[] = {"a:b", "q?*\"<>|\\x", "trailing.", "trailing ", "dots.. ok", "caf\xc3\xa9"};
    for (auto& n : names) {
        std::string escaped = ServerCommunicator::macToWindows("/" + n);
        std::string server = percentDecode(escaped).substr(1);
        EXPECT_EQ(ServerFileObject::windowsToMac(server), n) << n;
    }
}

TEST(Dates, SendFormat) {
    Date d = Date(std::chrono::seconds(1556706030)) + std::chrono::milliseconds(123);
    EXPECT_EQ(ServerCommunicator::formatDate(d), "2019-05-01T10:20:30.000Z");
}

// ---- endpoints, logon, keychain

TEST_F(CoreTest, EndpointVersionSelection) {
    auto& c = account;
    c.setServerName(server.hostPort());
    c.setServerProtocol("http");
    struct Row {
        std::string doc;
        bool ok;
        int64_t version;
        std::string endpoint;
    };
    const Row rows[] = {
        {R"({"br":{"sync":{"1.3":{"path":"/v3/"},"1.6":{"path":"/v6/"},"1.5":{"path":"v5"}}}})", true, 65542,
         "v6"},
        {R"({"br":{"sync":{"1.4":{"path":"/v4"},"1.5":{"path":"/v5/"}}}})", true, 65541, "v5"},
        {R"({"br":{"sync":{"1.4":{"path":"v4"},"1.3":{"path":"v3"}}}})", true, 65540, "v4"},
        {R"({"br":{"sync":{"1.3":{"path":"/api/"}}}})", true, 65539, "api"},
        {R"({"br":{"sync":{"1.6":{"path":7},"1.3":{"path":"x"}}}})", true, 65539, "x"},
    };
    for (auto& r : rows) {
        server.endpoints = r.doc;
        EXPECT_EQ(c.fetchEndpoints(), r.ok) << r.doc;
        EXPECT_EQ(c.brServerVersion.load(), r.version) << r.doc;
        EXPECT_EQ(c.brindleEndpoint(), r.endpoint) << r.doc;
    }
    EXPECT_EQ(server.requests().back().target, "//endpoints");

    c.errorCode = SE::noError;
    server.endpoints = R"({"br":{"sync":{"1.2":{"path":"/old/"}},"audit":{"1":{"path":"/aud/"}}}})";
    EXPECT_FALSE(c.fetchEndpoints());
    EXPECT_EQ(c.errorCode.load(), SE::serverTooOld);
    EXPECT_EQ(c.auditEndpoint(), "aud");
    EXPECT_EQ(ServerCredentials::resultText(SE::serverTooOld),
              "The version of the Tidewell server is not supported by this client. Please contact your "
              "system administrator.");

    // Garbage documents fail without changing anything they do not name.
    for (const char* doc : {"not json", "[]", R"({"br": 5})", R"({"br":{"sync":[]}})"}) {
        server.endpoints = doc;
        EXPECT_FALSE(c.fetchEndpoints()) << doc;
    }
}

TEST_F(CoreTest, LogonFormEscapesEveryValue) {
    SystemInformation::Sources s;
    s.shortVersion = "2.5";
    s.buildVersion = "1234";
    s.osReleaseFile = (dir / "none").string();
    s.serialFile = (dir / "none").string();
    s.useHostName = false;
    env.system = s;
    server.password = "p&ss=w rd";
    storeAccount("p&ss=w rd");
    EXPECT_TRUE(ServerCommunicator::ready(env));
    std::string body;
    for (auto& r : server.requests())
        if (r.path == "/api/sessions") body = r.body;
    EXPECT_EQ(body,
              "user_id=anna&password=p%26ss%3dw%20rd&device_id=Tidewell%20Mac%20%2d%20S/"
              "N%20Serial%20number%20not%20detected"
              "&platform=Platform%20not%20detected&client_version=2.5.1234&client_platform_version=O/"
              "S%20version%20not%20detected");
    for (auto& r : server.requests()) EXPECT_EQ(r.header("content-type"), "") << r.path;
    EXPECT_EQ(logText().find("p&ss=w rd"), std::string::npos);  // the password is never logged
}

TEST_F(CoreTest, AttemptLoginLeavesTheServerNameAlone) {
    auto& c = account;
    c.setServerProtocol("http");
    c.setServerName("kept.example");
    EXPECT_EQ(c.attemptLogin("tidewell.invalid", "anna", "x"), SE::serverNotFound);
    EXPECT_EQ(c.serverName(), "kept.example");
    EXPECT_EQ(c.attemptLogin(server.hostPort(), "anna", "wrong"), SE::authenticationRequired);
    EXPECT_EQ(c.serverName(), "kept.example");
    EXPECT_EQ(c.attemptLogin(server.hostPort(), "anna", "s3cret"), SE::noError);
    EXPECT_EQ(c.serverName(), "kept.example");
    EXPECT_TRUE(c.tokenValid);
    EXPECT_EQ(c.brindleEndpoint(), "api");
    EXPECT_NE(logText().find("Login as user anna to server " + server.hostPort() + " successful."),
              std::string::npos);
}

TEST_F(CoreTest, LogonRefusalsSetTheErrorCode) {
    auto& c = account;
    c.setServerProtocol("http");
    struct Row {
        int errorId;
        SE expected;
    };
    for (auto r : {Row{1039, SE::clientTooOld}, Row{1046, SE::accountLocked},
                   Row{1021, SE::authenticationRequired}, Row{1033, SE::authenticationRequired}}) {
        server.setIntercept([&](const HttpRequest& req) -> std::optional<HttpReply> {
            if (req.path == "/api/sessions") return HttpReply::error(r.errorId, 403);
            return std::nullopt;
        });
        EXPECT_EQ(c.attemptLogin(server.hostPort(), "anna", "s3cret"), r.expected) << r.errorId;
    }
}

TEST_F(CoreTest, KeychainWithZeroOneAndTwoAccounts) {
    auto& c = account;
    // Zero: the user is asked, nothing is sent.
    c.resetForTesting();
    EXPECT_TRUE(c.passwordRequired);
    EXPECT_FALSE(ServerCommunicator::ready(env));
    EXPECT_EQ(credentialRequests.load(), 0);  // passwordRequired was already set by the empty keychain
    EXPECT_NE(logText().find("No Tidewell Accounts found in keychain"), std::string::npos);

    // One: server and user come from it and the logon succeeds.
    storeAccount();
    EXPECT_EQ(c.serverName(), server.hostPort());
    EXPECT_EQ(c.userName(), "anna");
    EXPECT_EQ(c.userPassword(), "s3cret");
    EXPECT_TRUE(ServerCommunicator::ready(env));

    // Two: logged at fatal level, no logon, the user is asked.
    keychain->addItem({"other.example", "bert", "Tidewell", "Tidewell Server Password"}, "x");
    c.tokenValid = false;
    server.clearRequests();
    EXPECT_FALSE(ServerCommunicator::ready(env));
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(credentialRequests.load(), 1);
    EXPECT_TRUE(c.passwordRequired);
    EXPECT_NE(logText().find("Multiple Tidewell Accounts found in keychain"), std::string::npos);
}

TEST_F(CoreTest, LogoutEndsTheSessionOnTheServer) {
    logOn();
    auto& c = account;
    c.backoffTimer = 10;
    c.logout();
    EXPECT_TRUE(c.passwordRequired);
    EXPECT_EQ(c.backoffTimer.load(), 0u);
    EXPECT_EQ(server.requests().back().method, "DELETE");
    EXPECT_EQ(server.requests().back().path, "/api/sessions");
}

TEST(SystemInformationTest, SourcesAndFallbacks) {
    TempDir d;
    writeFile(d / "os-release", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n");
    writeFile(d / "serial", "ABC123\n");
    SystemInformation::Sources s;
    s.shortVersion = "2.5";
    s.osReleaseFile = (d / "os-release").string();
    s.serialFile = (d / "serial").string();
    EXPECT_EQ(SystemInformation::productVersion(s), "2.5.Developer build");
    EXPECT_EQ(SystemInformation::softwarePlatform(s), "Debian GNU/Linux");
    EXPECT_EQ(SystemInformation::osVersion(s), "12");
    EXPECT_EQ(SystemInformation::computerSerialNumber(s), "ABC123");
    std::string id = SystemInformation::deviceIdentifier(s);
    EXPECT_EQ(id.substr(id.size() - 13), " - S/N ABC123");
    s.useHostName = false;
    s.shortVersion.reset();
    s.serialFile = (d / "missing").string();
    s.osReleaseFile = (d / "missing").string();
    EXPECT_EQ(SystemInformation::productVersion(s), "1.0.Developer build");
    EXPECT_EQ(SystemInformation::deviceIdentifier(s), "Tidewell Mac - S/N Serial number not detected");
    EXPECT_EQ(SystemInformation::softwarePlatform(s), "Platform not detected");
    EXPECT_EQ(SystemInformation::osVersion(s), "O/S version not detected");
    EXPECT_FALSE(SystemInformation::copyright(s).empty());
    EXPECT_EQ(SystemInformation::productVersion().rfind("1.0.", 0), 0u);  // from the build's project version
}

}  // namespace
}  // namespace tw::test
