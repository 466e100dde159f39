// The client against the real reference server (tidewell-devserver) on a loopback port: discovery,
// logon and re-logon, listings, uploads in both forms with a cut connection, refusals, and the tree
// requests. Faults the server can make are queued through its administration endpoint.
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>

#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/server/ServerRequests.h"
#include "Pinewick/server/UploadDetails.h"
#include "fixture.h"
#include "support/certificate.h"
#include "support/client_devserver.h"
#include "support/random_bytes.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
using NR = normalisedResponse;
using SE = serverError;

const char* kPassword = "p&ss=w0rd";

class DevServerClient : public ServerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        ASSERT_TRUE(devserver.start(dir.path(), *keychain, account, kPassword))
            << "tidewell-devserver did not start";
        hostPort = devserver.hostPort;
        roVolume = std::make_shared<VolumeDetail>("RO", ServerConfigurationDetails::sharedInstance());
        volumes.list.addVolume(roVolume);
        std::filesystem::create_directories(roVolume->localFolder);
    }
    void TearDown() override {
        int status = devserver.stop();
        // The server's own report (for instance from a sanitizer) says why it did not stop cleanly.
        EXPECT_EQ(status, 0) << devserver.log();
        ServerFixture::TearDown();
    }

    nlohmann::json admin(const std::string& resource, const nlohmann::json& body) {
        return devserver.admin(resource, body);
    }
    void fault(const nlohmann::json& f) { devserver.fault(f); }

    // The server's bytes of a file, fetched the way a download asks.
    std::string serverContent(const std::string& serverPath) {
        FetchAttributes fetch(env, local(serverPath.substr(std::string("/Team/").size())));
        if (fetch.performServerAction() != NR::allOkay) return "<missing>";
        auto r = ServerCommunicator::makeRequest(env,
                                                 ServerCommunicator::serviceBase(env) + "folders" +
                                                     ServerCommunicator::macToWindows(serverPath) +
                                                     "?revision=" + fetch.fileObject->revision,
                                                 "GET", "application/octet-stream");
        r.maxResponseBytes = 64u << 20;
        auto result = ServerCommunicator::send(r);
        return result.data.value_or("<no body>");
    }

    ClientDevServer devserver;
    std::string hostPort;
    std::shared_ptr<VolumeDetail> roVolume;
};

TEST_F(DevServerClient, EveryServerErrorNumberIsClassifiedAsTheTableSays) {
    ASSERT_TRUE(ServerCommunicator::ready(env));
    auto& c = account;
    const std::string prefix = devserver.servicePath("");
    struct Row {
        int id;
        NR action;
        SE error;
    };
    std::vector<Row> rows = {
        {1, NR::tryAgain, SE::invalidCredentials},
        {6, NR::tryAgain, SE::tokenRefreshRequired},
        {14, NR::attemptRecovery, SE::requiredItemNotFound},
        {18, NR::attemptRecovery, SE::cannotDeleteNonExistingItem},
        {19, NR::attemptRecovery, SE::itemAlreadyExist},
        {20, NR::attemptRecovery, SE::itemNotFound},
        {22, NR::attemptRecovery, SE::quotaExceeded},
        {26, NR::attemptRecovery, SE::couldNotLockFile},
        {1001, NR::attemptRecovery, SE::smbFileSystemError},
        {1077, NR::attemptRecovery, SE::revisionsDoNotMatch},
        {1082, NR::attemptRecovery, SE::mappointIsReadOnly},
        {1021, NR::fatal, SE::remoteWipeLocked},
        {1039, NR::fatal, SE::clientTooOld},
        {1046, NR::fatal, SE::accountLocked},
        {1066, NR::tryAgain, SE::ldapTimeOut},
        {4711, NR::attemptRecovery, SE::noValidResponse},
    };
    for (int id : {13, 1007, 1033, 1045, 1047, 1050, 1062, 1083, 1112, 1113, 1114, 1115, 1116, 1117, 1118,
                   1119, 1121, 1122})
        rows.push_back({id, NR::attemptRecovery, *serverErrorFromRaw(id)});
    for (auto& r : rows) {
        fault({{"method", "GET"}, {"path", prefix + "folders/Team"}, {"action", "error"}, {"errorId", r.id}});
        c.lastRefresh = now.load();  // a fresh session: "new logon" answers do not drop it
        auto result = ServerCommunicator::send(ServerCommunicator::makeRequest(
            env, ServerCommunicator::serviceBase(env) + "folders/Team", "GET"));
        EXPECT_EQ(ServerCommunicator::handleResponse(env, result), (Classification{r.action, r.error}))
            << r.id;
    }
    EXPECT_TRUE(c.tokenValid);
    EXPECT_EQ(count(logText(), "Unhandled Server Error Code "), 18u);
}

TEST_F(DevServerClient, SlowAndCutAnswersAreNetworkFailures) {
    ASSERT_TRUE(ServerCommunicator::ready(env));
    auto& c = account;
    const std::string prefix = devserver.servicePath("");
    env.requestTimeout = 1s;
    fault({{"method", "GET"}, {"path", prefix + "folders/Team"}, {"action", "delay"}, {"delay_ms", 3000}});
    FolderContentDetails slow(env, volume->localFolder);
    EXPECT_EQ(slow.fetchFolderContents().first, NR::fatal);
    EXPECT_FALSE(network);
    EXPECT_EQ(c.backoffTimer.load(), 10u);

    network = true;
    env.requestTimeout = 60s;
    fault({{"method", "GET"},
           {"path", prefix + "folders/Team"},
           {"action", "drop"},
           {"stage", "response"},
           {"after_bytes", 10}});
    FolderContentDetails cut(env, volume->localFolder);
    EXPECT_EQ(cut.fetchFolderContents().first, NR::fatal);
    EXPECT_FALSE(network);
    EXPECT_GE(count(logText(), "Received network error:"), 2u);
}

TEST_F(DevServerClient, ASelfSignedServerIsACertificateError) {
    tw::test::TestCertificate certificate;
    if (!tw::test::makeSelfSignedCertificate(dir.path(), certificate))
        GTEST_SKIP() << "openssl cannot make a test certificate";
    const std::string &cert = certificate.cert, &key = certificate.key;
    std::filesystem::create_directories(dir / "tlsroot");
    ServerProcess tls;
    ASSERT_TRUE(tls.start({"--root", (dir / "tlsroot").string(), "--listen", "127.0.0.1:0", "--user",
                           std::string("anna:") + kPassword, "--tls-cert", cert, "--tls-key", key, "--quiet"},
                          dir / "tls.log"));
    auto& c = account;
    c.setServerProtocol("https");
    std::string tlsHost = "127.0.0.1:" + std::to_string(tls.port());
    EXPECT_EQ(c.attemptLogin(tlsHost, "anna", kPassword), SE::certificateError);
    EXPECT_TRUE(network);
    // Trusting that certificate lets the same logon through: the check is real, not a blanket refusal.
    env.caFile = cert;
    EXPECT_EQ(c.attemptLogin(tlsHost, "anna", kPassword), SE::noError);
    EXPECT_EQ(tls.stop(), 0);
}

TEST_F(DevServerClient, DiscoveryPicksTheNewestVersionAndRefusesTooOldServers) {
    auto& c = account;
    ASSERT_TRUE(c.fetchEndpoints());
    EXPECT_EQ(c.brServerVersion.load(), 65542);
    EXPECT_FALSE(c.brindleEndpoint().empty());
    EXPECT_FALSE(c.auditEndpoint().empty());
    struct Row {
        std::vector<std::string> offered;
        bool ok;
        int64_t version;
    };
    for (auto& r : {Row{{"1.5", "1.4"}, true, 65541}, Row{{"1.4"}, true, 65540}, Row{{"1.3"}, true, 65539},
                    Row{{"1.2"}, false, 0}}) {
        admin("versions", {{"versions", r.offered}});
        c.brServerVersion = 0;
        c.errorCode = SE::noError;
        EXPECT_EQ(c.fetchEndpoints(), r.ok) << r.offered.front();
        EXPECT_EQ(c.brServerVersion.load(), r.version) << r.offered.front();
        if (!r.ok) {
            EXPECT_EQ(c.errorCode.load(), SE::serverTooOld);
        }
    }
    EXPECT_EQ(c.attemptLogin(hostPort, "anna", kPassword), SE::serverTooOld);
}

TEST_F(DevServerClient, LogonWithAmpersandAndEqualsThenReLogonAfterExpiry) {
    ASSERT_TRUE(ServerCommunicator::ready(env));
    auto& c = account;
    EXPECT_TRUE(c.tokenValid);
    FolderContentDetails first(env, volume->localFolder);
    EXPECT_EQ(first.fetchFolderContents().first, NR::allOkay);

    admin("sessions/expire", nlohmann::json::object());
    now = now.load() + 300s;
    FolderContentDetails second(env, volume->localFolder);
    EXPECT_EQ(second.fetchFolderContents().first, NR::allOkay);
    EXPECT_NE(logText().find("Server has requested a new logon"), std::string::npos);
    EXPECT_EQ(count(logText(), "Login as user anna"), 2u);

    // Neither the password nor the session cookie was written anywhere under the user's home (the
    // test keeps its keychain file outside it): logs, records and databases included.
    std::string cookie =
        platform::http::Session::shared().cookies().headerFor(ServerCommunicator::serviceBase(env));
    ASSERT_NE(cookie.find('='), std::string::npos);
    std::string cookieValue = cookie.substr(cookie.find('=') + 1);
    Logger::sharedInstance().flush();
    for (auto& entry : std::filesystem::recursive_directory_iterator(testHome())) {
        if (!entry.is_regular_file()) continue;
        std::string content = readFile(entry.path());
        EXPECT_EQ(content.find(kPassword), std::string::npos) << entry.path();
        EXPECT_EQ(content.find(cookieValue), std::string::npos) << entry.path();
    }

    EXPECT_EQ(c.attemptLogin(hostPort, "anna", "wrong"), SE::authenticationRequired);
    EXPECT_EQ(c.attemptLogin("tidewell-test.invalid", "anna", kPassword), SE::serverNotFound);
}

TEST_F(DevServerClient, UploadListAndFetch) {
    std::string path = local("Report: Q1.txt");
    writeFile(path, "quarterly");
    UploadDetails up(env, path);
    ASSERT_EQ(up.uploadFile(), NR::allOkay);
    ASSERT_TRUE(up.fileObject);
    EXPECT_EQ(up.fileObject->name, "Report: Q1.txt");
    EXPECT_EQ(up.fileObject->size, 9u);

    FolderContentDetails listing(env, volume->localFolder);
    ASSERT_EQ(listing.fetchFolderContents().first, NR::allOkay);
    ASSERT_TRUE(listing.rootObject);
    bool found = false;
    for (auto& e : listing.contents)
        if (e.name == "Report: Q1.txt") {
            found = true;
            EXPECT_FALSE(e.isDirectory);
            EXPECT_EQ(e.revision, up.fileObject->revision);
            EXPECT_EQ(ServerCommunicator::formatDate(e.modificationDate),
                      ServerCommunicator::formatDate(up.modificationDate));
        }
    EXPECT_TRUE(found);
    FolderContentDetails top(env, "/");
    EXPECT_EQ(top.fetchFolderContents().first, NR::allOkay);
}

TEST_F(DevServerClient, SingleShotUploadArrivesByteForByte) {
    std::string path = local("blob.bin");
    std::string data = randomBytes(5u << 20, 3);
    writeFile(path, data);
    UploadDetails up(env, path);
    ASSERT_EQ(up.uploadFile(), NR::allOkay);
    EXPECT_EQ(up.fileObject->size, data.size());
    EXPECT_TRUE(serverContent("/Team/blob.bin") == data);

    // A second upload with the revision the record now holds replaces it.
    CorvaneExtendedAttributes record(path);
    record.ceaString.setAttribute(CEAString::keys::Revision, up.fileObject->revision);
    ASSERT_TRUE(record.save());
    writeFile(path, "short now");
    UploadDetails again(env, path);
    ASSERT_EQ(again.uploadFile(), NR::allOkay);
    EXPECT_EQ(serverContent("/Team/blob.bin"), "short now");
}

TEST_F(DevServerClient, ResumableUploadCutOffAndFinished) {
    volume->canResumeUploads = true;
    std::string path = local("resume.bin");
    std::string data = randomBytes(1u << 20, 5);
    writeFile(path, data);
    ASSERT_TRUE(ServerCommunicator::ready(env));
    fault({{"method", "POST"},
           {"path", devserver.servicePath("") + "resume/upload"},
           {"action", "drop"},
           {"after_bytes", 300000}});
    UploadDetails first(env, path);
    EXPECT_EQ(first.uploadFile(), NR::fatal);
    EXPECT_FALSE(network);
    network = true;

    UploadDetails second(env, path);
    EXPECT_EQ(second.resumeGUID, first.resumeGUID);
    ASSERT_EQ(second.uploadFile(), NR::allOkay);
    EXPECT_GT(second.bytesSent, 200000);
    EXPECT_LT(second.bytesSent, 300000);
    EXPECT_TRUE(serverContent("/Team/resume.bin") == data);
}

TEST_F(DevServerClient, LockedResumeConflictQuotaReadOnlyAndMissingParent) {
    ASSERT_TRUE(ServerCommunicator::ready(env));
    // is_locked
    volume->canResumeUploads = true;
    std::string lockedPath = local("locked.bin");
    writeFile(lockedPath, "0123456789");
    ASSERT_EQ(UploadDetails(env, lockedPath).uploadFile(), NR::allOkay);
    {
        CorvaneExtendedAttributes record(lockedPath);
        record.ceaString.setAttribute(CEAString::keys::UploadGUID, "RESUME-AGAIN");
        ASSERT_TRUE(record.save());
    }
    admin("lock", {{"path", "/Team/locked.bin"}, {"locked", true}});
    UploadDetails locked(env, lockedPath);
    EXPECT_EQ(locked.uploadFile(), NR::attemptRecovery);
    EXPECT_EQ(locked.recoveryType, recoveryErrors::locked);
    admin("lock", {{"path", "/Team/locked.bin"}, {"locked", false}});
    volume->canResumeUploads = false;

    // Conflict with "document_info" (a stale revision).
    std::string conflictPath = local("conflict.txt");
    writeFile(conflictPath, "v1");
    UploadDetails v1(env, conflictPath);
    ASSERT_EQ(v1.uploadFile(), NR::allOkay);
    {
        CorvaneExtendedAttributes record(conflictPath);
        record.ceaString.setAttribute(CEAString::keys::Revision, "stale");
        ASSERT_TRUE(record.save());
    }
    UploadDetails stale(env, conflictPath);
    EXPECT_EQ(stale.uploadFile(), NR::attemptRecovery);
    EXPECT_EQ(stale.recoveryType, recoveryErrors::conflict);
    ASSERT_TRUE(stale.conflictFile);
    EXPECT_EQ(stale.conflictFile->revision, v1.fileObject->revision);
    // Conflict without it: the entry is fetched.
    std::string prefix = devserver.servicePath("");
    fault({{"method", "POST"},
           {"path", prefix + "folders/Team/conflict.txt"},
           {"action", "error"},
           {"errorId", 1077}});
    UploadDetails bare(env, conflictPath);
    EXPECT_EQ(bare.uploadFile(), NR::attemptRecovery);
    EXPECT_EQ(bare.recoveryType, recoveryErrors::conflict);
    ASSERT_TRUE(bare.conflictFile);
    EXPECT_EQ(bare.conflictFile->revision, v1.fileObject->revision);

    // Quota.
    admin("quota", {{"bytes", 100}});
    std::string big = local("big.txt");
    writeFile(big, std::string(1000, 'q'));
    UploadDetails quota(env, big);
    EXPECT_EQ(quota.uploadFile(), NR::attemptRecovery);
    EXPECT_EQ(quota.recoveryType, recoveryErrors::quotaExceeded);
    admin("quota", {{"bytes", 0}});

    // Read-only mappoint.
    std::string ro = roVolume->localFolder + "/x.txt";
    writeFile(ro, "x");
    UploadDetails readOnly(env, ro);
    EXPECT_EQ(readOnly.uploadFile(), NR::attemptRecovery);
    EXPECT_EQ(readOnly.recoveryType, recoveryErrors::readOnlyMappoint);

    // The back-end refuses a file whose folder is missing; the folder is made and the upload repeated.
    std::filesystem::create_directories(local("made/here"));
    std::string deep = local("made/here/f.txt");
    writeFile(deep, "deep");
    ASSERT_EQ(UploadDetails(env, deep).uploadFile(), NR::allOkay);
    EXPECT_EQ(serverContent("/Team/made/here/f.txt"), "deep");
}

TEST_F(DevServerClient, CreateDeleteAndMove) {
    ASSERT_TRUE(ServerCommunicator::ready(env));
    Date when = Date(std::chrono::seconds(1556706030));
    std::filesystem::create_directories(local("a/b/c"));
    ASSERT_EQ(CreateFolderDetails(env, local("a/b/c"), when).createFolder(), NR::allOkay);
    FetchAttributes c(env, local("a/b/c"));
    ASSERT_EQ(c.performServerAction(), NR::allOkay);
    EXPECT_TRUE(c.fileObject->isDirectory);
    EXPECT_EQ(CreateFolderDetails(env, local("a/b/c"), when).createFolder(), NR::allOkay);  // already there

    DeleteDetails missing(env, local("never.txt"), false, "1");
    EXPECT_EQ(missing.performServerDelete(), NR::allOkay);

    DeleteDetails notEmpty(env, local("a"), true, "");
    EXPECT_EQ(notEmpty.performServerDelete(), NR::attemptRecovery);
    EXPECT_EQ(notEmpty.serverErrorCode, SE::folderNotEmpty);
    ASSERT_TRUE(notEmpty.restoreFile);
    EXPECT_EQ(notEmpty.restoreFile->name, "a");

    std::string file = local("a/doc.txt");
    writeFile(file, "doc");
    UploadDetails up(env, file);
    ASSERT_EQ(up.uploadFile(), NR::allOkay);
    admin("lock", {{"path", "/Team/a/doc.txt"}, {"locked", true}});
    sleeps.clear();
    DeleteDetails locked(env, file, false, up.fileObject->revision);
    EXPECT_EQ(locked.performServerDelete(), NR::attemptRecovery);
    EXPECT_EQ(locked.serverErrorCode, SE::couldNotLockFile);
    EXPECT_EQ(sleeps, (std::vector<int>{5, 5}));
    ASSERT_TRUE(locked.restoreFile);
    EXPECT_EQ(locked.restoreFile->revision, up.fileObject->revision);
    admin("lock", {{"path", "/Team/a/doc.txt"}, {"locked", false}});

    MoveDetails move(env, file, local("a/b/moved doc.txt"), "");
    auto [outcome, error] = move.performServerAction();
    EXPECT_EQ(outcome, NR::allOkay);
    EXPECT_EQ(error, SE::noError);
    EXPECT_EQ(serverContent("/Team/a/b/moved doc.txt"), "doc");

    DeleteDetails del(env, local("a/b/moved doc.txt"), false, up.fileObject->revision);
    EXPECT_EQ(del.performServerDelete(), NR::allOkay);
    DeleteDetails emptyFolder(env, local("a/b/c"), true, "");
    EXPECT_EQ(emptyFolder.performServerDelete(), NR::allOkay);
    FetchAttributes gone(env, local("a/b/c"));
    EXPECT_EQ(gone.performServerAction(), NR::attemptRecovery);
}

}  // namespace
}  // namespace tw::test
