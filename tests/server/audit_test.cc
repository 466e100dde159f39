// The usage report against the reference server, which keeps every report it receives: the counts per
// file type, the four members of the document, and what a refusal leaves behind.
#include "Pinewick/server/Audit.h"

#include <sys/stat.h>

#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>

#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "fixture.h"
#include "support/devserver_process.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using S = CEAStatus::keys;
using Stats = AuditStatistics::Stats;

class AuditReport : public ServerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        fs::create_directories(dir / "root");
        ASSERT_TRUE(process.start({"--root", (dir / "root").string(), "--listen", "127.0.0.1:0", "--user",
                                   "anna:pw", "--mappoint", "Team", "--faults", "--quiet"},
                                  dir / "devserver.log"));
        hostPort = "127.0.0.1:" + std::to_string(process.port());
        keychain->addItem({hostPort, "anna", "Tidewell", "Tidewell Server Password"}, "pw");
        auto& c = account;
        c.resetForTesting();
        c.setServerProtocol("http");
        ASSERT_TRUE(ServerCommunicator::ready(env));
        ASSERT_EQ(c.auditEndpoint(), "br/audit/1");
        volume->state = VolumeDetail::volumeStates::Visible;
    }
    void TearDown() override {
        EXPECT_EQ(process.stop(), 0) << readFile(dir / "devserver.log");
        ServerFixture::TearDown();
    }

    void file(const std::string& rel, size_t size, std::optional<S> state) {
        ASSERT_TRUE(writeFile(local(rel), std::string(size, 'x')));
        if (!state) return;
        CorvaneExtendedAttributes record(local(rel));
        record.ceaStatus.setStatus(*state);
        ASSERT_TRUE(record.save());
    }
    // Runs a whole report and waits until the server has answered it.
    AuditStatistics runReport() {
        AuditStatistics stats(env);
        std::promise<void> answered;
        stats.reportNow([&] { answered.set_value(); });
        EXPECT_EQ(answered.get_future().wait_for(30s), std::future_status::ready);
        return stats;
    }
    nlohmann::json reports() {
        platform::http::Request r;
        r.url = "http://" + hostPort + "/admin/audit";
        auto result = platform::http::Session::shared().perform(r);
        return nlohmann::json::parse(result.data.value_or("[]"), nullptr, false);
    }
    nlohmann::json lastDocument() {
        auto list = reports();
        if (!list.is_array() || list.empty()) return nullptr;
        auto doc = list.back()["document"];
        return doc.is_string() ? nlohmann::json::parse(doc.get<std::string>(), nullptr, false) : doc;
    }
    static nlohmann::json document(uint64_t pending, uint64_t pendingSize, uint64_t files, uint64_t size) {
        return {{"filesSyncPendingUpload", pending},
                {"sizeSyncPendingUpload", pendingSize},
                {"localCacheFileCount", files},
                {"localCacheSize", size}};
    }
    void fault(const nlohmann::json& f) {
        platform::http::Request r;
        r.url = "http://" + hostPort + "/admin/faults";
        r.method = "POST";
        r.body = f.dump();
        r.headers.emplace_back("Content-Type", "application/json");
        auto result = platform::http::Session::shared().perform(r);
        ASSERT_TRUE(result.response && result.response->statusCode == 200);
    }

    ServerProcess process;
    std::string hostPort;
};

TEST_F(AuditReport, TwoPdfFilesOfWhichOneIsPendingMakeOnePdfEntryAndTheSameTotals) {
    file("a.PDF", 10, S::RequireUpload);
    file("b.pdf", 20, S::Regular);
    auto stats = runReport();
    ASSERT_EQ(stats.fileTypes.size(), 1u);
    ASSERT_TRUE(stats.fileTypes.count("pdf"));
    EXPECT_EQ(stats.fileTypes["pdf"], (Stats{2, 30, 1, 10}));
    EXPECT_EQ(stats.totalStats, (Stats{2, 30, 1, 10}));
    EXPECT_EQ(lastDocument(), document(1, 10, 2, 30));
    EXPECT_TRUE(count(logText(),
                      "Reporting statistic Stats(fileCount: 2, fileSize: 30, needUploadCount: 1, "
                      "needUploadSize: 10)") == 1);
}

TEST_F(AuditReport, FilesWithoutExtensionCountUnderTheEmptyKeyAndUnknownStatesArePending) {
    file("Makefile", 7, S::Regular);
    file(".profile", 3, std::nullopt);  // a leading dot starts no extension; no record: pending
    file("deep/er/notes.TXT", 5, S::Placeholder);
    file("deep/er/draft.txt", 4, S::ErrorRegular);
    auto stats = runReport();
    EXPECT_EQ(stats.fileTypes[""], (Stats{2, 10, 1, 3}));
    EXPECT_EQ(stats.fileTypes["txt"], (Stats{2, 9, 0, 0}));
    EXPECT_EQ(stats.fileTypes.size(), 2u);
    EXPECT_EQ(lastDocument(), document(1, 3, 4, 19));
}

TEST_F(AuditReport, OnlyRegularFilesOfActiveFoldersAreCountedAndIgnoredOnesAreLeftOut) {
    file("kept.doc", 8, S::Regular);
    file("skip.tmp", 50, S::Regular);
    ASSERT_EQ(::symlink(local("kept.doc").c_str(), local("link.doc").c_str()), 0);
    ASSERT_EQ(::mkfifo(local("pipe").c_str(), 0600), 0);
    env.inIgnoreList = [](const std::string& path) { return path.ends_with(".tmp"); };
    // A hidden volume is not active: its files are not the user's local cache.
    auto hidden = std::make_shared<VolumeDetail>("Hidden", ServerConfigurationDetails::sharedInstance());
    volumes.list.addVolume(hidden);
    ASSERT_TRUE(writeFile(hidden->localFolder + "/big.bin", std::string(1000, 'x')));
    auto stats = runReport();
    EXPECT_EQ(stats.totalStats, (Stats{1, 8, 0, 0}));
    EXPECT_EQ(lastDocument(), document(0, 0, 1, 8));
}

TEST_F(AuditReport, WithNoActiveVolumesTheReportIsSentWithFourZeros) {
    volumes.list.clear();
    auto stats = runReport();
    EXPECT_TRUE(stats.fileTypes.empty());
    EXPECT_EQ(lastDocument(), document(0, 0, 0, 0));
    EXPECT_EQ(reports().size(), 1u);
}

TEST_F(AuditReport, AServerErrorLeavesOneWarningLineWithTheBodyAndNothingElse) {
    file("a.PDF", 10, S::RequireUpload);
    fault({{"action", "error"}, {"errorId", 1033}, {"status", 403}, {"path", "/br/audit/"}});
    size_t from = logText().size();
    runReport();
    std::string log = logText().substr(from);
    EXPECT_EQ(count(log, "Warning: "), 1u) << log;
    EXPECT_NE(log.find("Warning: Failed to audit statistics data={\n"
                       "  \"filesSyncPendingUpload\": 1,\n"
                       "  \"sizeSyncPendingUpload\": 10,\n"
                       "  \"localCacheFileCount\": 1,\n"
                       "  \"localCacheSize\": 10\n"
                       "}"),
              std::string::npos)
        << log;
    // Not repeated: the server holds no report, and the next one goes through normally.
    EXPECT_TRUE(reports().empty());
    runReport();
    EXPECT_EQ(reports().size(), 1u);
}

TEST_F(AuditReport, NothingIsSentWhenTheRequestCoreIsNotReady) {
    network = false;
    size_t from = logText().size();
    std::promise<normalisedResponse> outcome;
    AuditStatistics stats(env);
    Audit(env).auditSend(stats, [&](normalisedResponse r) { outcome.set_value(r); });
    auto f = outcome.get_future();
    ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(f.get(), normalisedResponse::fatal);
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(count(logText().substr(from), "Warning: "), 0u);
}

TEST_F(AuditReport, TheSharedReportRunsInTheBackgroundAndReturnsAtOnce) {
    file("a.PDF", 10, S::Regular);
    std::promise<void> done;
    AuditStatistics::report(env, [&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(30s), std::future_status::ready);
    EXPECT_EQ(lastDocument(), document(0, 0, 1, 10));
}

}  // namespace
}  // namespace tw::test
