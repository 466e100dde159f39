// Downloads against the reference server on loopback: real placeholder files with real extended
// attributes, a second client that changes the server through its own HTTP interface, and the server's
// fault queue for dropped connections, delays and odd answers. What lands in the file and what the
// item's record says afterwards is the point: never a `Regular` item with wrong content.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>

#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/ContextMenuHandler.h"
#include "Pinewick/engine/OpenFile.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/TLDownloadFile.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CEAUtils.h"
#include "Pinewick/server/DownloadDetails.h"
#include "Pinewick/server/IconProgress.h"
#include "Pinewick/server/LocalFileDates.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/fd.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/keychain.h"
#include "platform/notifications.h"
#include "platform/places.h"
#include "platform/process.h"
#include "support/client_devserver.h"
#include "support/log_capture.h"
#include "support/own_run_state.h"
#include "support/own_server.h"
#include "support/own_volumes.h"
#include "support/random_bytes.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using S = CEAStatus::keys;

const char* kPassword = "pa&ss=word";

// Another device of the same user: its own session and cookies, changing the server through the same
// HTTP interface the client uses.
class ServerPeer {
public:
    explicit ServerPeer(std::string hostPort) : base_("http://" + std::move(hostPort) + "/br/sync/1.6/") {}

    bool logon() {
        platform::http::Request r;
        r.url = base_ + "sessions";
        r.method = "POST";
        r.body = std::string("user_id=anna&password=") + ServerCommunicator::simpleDataEscape(kPassword);
        auto result = session_.perform(r);
        return result.response && result.response->statusCode == 200;
    }

    // Uploads `content` to `serverPath` ("/Team/a.bin"); the new entry.
    ServerFileObject upload(const std::string& serverPath, const std::string& content,
                            const std::string& revision = "") {
        const std::string b = "peerboundary";
        auto section = [&](const std::string& name, const std::string& value) {
            return "\r\n--" + b + "\r\nContent-Disposition:form-data; name=\"" + name + "\"\r\n\r\n" + value;
        };
        platform::http::Request r;
        r.url = base_ + "folders" + ServerCommunicator::macToWindows(serverPath);
        r.method = "POST";
        r.headers.emplace_back("Content-Type", "multipart/form-data; boundary=" + b);
        r.body = section("operation", "create") + section("creation_time", "2026-12-07T10:00:00.000Z") +
                 section("modification_time", "2026-12-07T10:00:00.000Z") +
                 section("size", std::to_string(content.size())) + section("revision", revision) + "\r\n--" +
                 b +
                 "\r\nContent-Disposition:form-data; name=\"file\"; filename=\"x\"\r\n"
                 "Content-Type: application/octet-stream\r\n\r\n" +
                 content + "\r\n--" + b + "--\r\n";
        auto result = session_.perform(r);
        EXPECT_TRUE(result.response && result.response->statusCode == 200) << result.data.value_or("");
        return ServerFileObject(nlohmann::json::parse(result.data.value_or("{}"), nullptr, false));
    }

    // Creates the folder "/Team/..." `serverPath`.
    void createFolder(const std::string& serverPath) {
        auto slash = serverPath.rfind('/');
        platform::http::Request r;
        r.url = base_ + "folders" + ServerCommunicator::macToWindows(serverPath.substr(0, slash));
        r.method = "POST";
        r.body = "name=" + ServerCommunicator::simpleDataEscape(serverPath.substr(slash + 1)) +
                 "&operation=create&creation_time=2026-12-07T10:00:00.000Z&modification_time=2026-12-07T10:"
                 "00:00.000Z";
        auto result = session_.perform(r);
        EXPECT_TRUE(result.response && result.response->statusCode == 200) << result.data.value_or("");
    }

private:
    std::string base_;
    platform::http::Session session_;
};

// Makes a file refuse every open for writing while the object lives: by its mode, or, for root, whom
// modes do not stop, by the file system's immutable flag. `why` says why it could not be done.
class WriteProtected {
public:
    explicit WriteProtected(std::string path) : path_(std::move(path)) {
        if (::geteuid() != 0) {
            if (::chmod(path_.c_str(), 0444) == 0)
                how_ = How::mode;
            else
                why = std::strerror(errno);
            return;
        }
        platform::UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
        int flags = 0;
        if (!fd || ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) {
            why = std::string("no file flags here: ") + std::strerror(errno);
            return;
        }
        flags |= FS_IMMUTABLE_FL;
        if (::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) != 0) {
            why = std::string("no immutable flag here: ") + std::strerror(errno);
            return;
        }
        how_ = How::immutable;
    }
    ~WriteProtected() {
        if (how_ == How::mode) ::chmod(path_.c_str(), 0644);
        if (how_ != How::immutable) return;
        platform::UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
        int flags = 0;
        if (fd && ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags);
        }
    }
    bool holds() const { return how_ != How::none; }
    std::string why;

private:
    enum class How { none, mode, immutable };
    std::string path_;
    How how_ = How::none;
};

class Downloads : public ::testing::Test {
protected:
    void SetUp() override {
        volumes.answer(env);
        keychain = platform::keychain::makeFileKeychain((dir / "credentials.json").string());
        env.keychain = keychain.get();
        // A dropped connection sets a back-off; the tests do not wait it out.
        env.sleep = [](std::chrono::seconds) {};
        env.allowServerCommunication = [this] { return allowed.load(); };
        ASSERT_TRUE(devserver.start(dir.path(), *keychain, account, kPassword))
            << "tidewell-devserver did not start";
        platform::http::Session::shared().cookies().removeAll();

        auto& vm = volumes.list;
        team = std::make_shared<VolumeDetail>("Team", ServerConfigurationDetails::sharedInstance());
        team->state = VolumeDetail::volumeStates::Visible;
        vm.addVolume(team);
        fs::create_directories(team->localFolder);
        ASSERT_TRUE(ServerCommunicator::ready(env));
        peer = std::make_unique<ServerPeer>(devserver.hostPort);
        ASSERT_TRUE(peer->logon());
        timeline = std::make_unique<TimeLineManager>((dir / "support").string() + "/", volumes.parts(env));
        // The desktop's opener stands in as a program of its own on PATH, noting what it was asked to open.
        fs::create_directories(dir / "bin");
        std::ofstream(dir / "bin/xdg-open")
            << "#!/bin/sh\necho \"$1\" >> '" << (dir / "opened").string() << "'\n";
        fs::permissions(dir / "bin/xdg-open", fs::perms::owner_all);
        openerOnPath.emplace("PATH", (dir / "bin").string() + ":" + getenv("PATH"));
    }

    void TearDown() override {
        timeline.reset();
        peer.reset();  // its open connection would hold the server's end back
        EXPECT_EQ(devserver.stop(), 0) << devserver.log();
    }

    std::string local(const std::string& rel) const { return team->localFolder + "/" + rel; }

    // A server file "/Team/<name>" and its local placeholder in `state`, as a listing leaves it.
    ServerFileObject placeholder(const std::string& name, const std::string& content,
                                 S state = S::RequireDownload, const std::string& localContent = "") {
        auto entry = peer->upload("/Team/" + name, content);
        EXPECT_TRUE(writeFile(local(name), localContent));
        CorvaneExtendedAttributes record(local(name));
        record.ceaStatus.setStatus(state);
        record.ceaString.setAttribute(CEAString::keys::Revision, entry.revision);
        record.ceaString.setAttribute(CEAString::keys::FileType, platform::kFileTypeRegular);
        record.ceaLong.setAttribute(CEALong::keys::ServerFileSize, entry.size);
        EXPECT_TRUE(record.save());
        return entryFromRecord(name, CorvaneExtendedAttributes(local(name)));
    }

    S stateOf(const std::string& path) const { return CorvaneExtendedAttributes(path).ceaStatus.status; }

    // Runs the download queue until it is empty.
    void runDownloads() {
        timeline->resumeTimeLine();
        ASSERT_TRUE(timeline->downloadQueue().waitUntilAllOperationsAreFinished(60s));
    }

    size_t faultsQueued() {
        platform::http::Request r;
        r.url = "http://" + devserver.hostPort + "/admin/faults";
        auto result = platform::http::Session::shared().perform(r);
        auto doc = nlohmann::json::parse(result.data.value_or(""), nullptr, false);
        return doc.is_array() ? doc.size() : 1000;
    }

    // What the desktop's opener was asked to open, in order.
    std::vector<std::string> openedPaths() {
        std::vector<std::string> lines;
        std::ifstream in(dir / "opened");
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    TempDir dir;
    OwnServer own;
    ServerEnvironment& env = own.env;
    ServerCredentials& account = own.account;
    OwnVolumes volumes;
    ClientDevServer devserver;
    std::unique_ptr<platform::keychain::Keychain> keychain;
    std::shared_ptr<VolumeDetail> team;
    std::unique_ptr<ServerPeer> peer;
    std::unique_ptr<TimeLineManager> timeline;
    std::atomic<bool> allowed{true};
    std::optional<ScopedEnv> openerOnPath;
};

// ---- the wire form and resuming

TEST_F(Downloads, FirstDownloadAsksForTheWholeFileAndTheTimelineMarksItRegular) {
    std::string content = randomBytes(1000, 3);
    auto entry = placeholder("a.bin", content);
    DownloadDetails probe(env, team->localFolder, entry);
    EXPECT_EQ(probe.requestURL().find("&skip="), std::string::npos);
    EXPECT_NE(probe.requestURL().find("folders/Team/a.bin?revision=" + entry.revision), std::string::npos);

    size_t from = logSize();
    timeline->addDownload(team->localFolder, entry);
    runDownloads();
    EXPECT_EQ(readFile(local("a.bin")), content);
    EXPECT_EQ(stateOf(local("a.bin")), S::Regular);
    EXPECT_EQ(occurrences(sharedLogText().substr(from), "Downloaded file: " + local("a.bin")), 1u);
    EXPECT_TRUE(openedPaths().empty());
}

TEST_F(Downloads, AConnectionDroppedMidBodyResumesWithSkipAndCount) {
    std::string content = randomBytes(300000, 5);
    auto entry = placeholder("big.bin", content);
    devserver.fault({{"action", "drop"},
                     {"after_bytes", 100000},
                     {"stage", "response"},
                     {"path", devserver.servicePath("folders/Team/big.bin")}});
    DownloadDetails first(env, team->localFolder, entry);
    EXPECT_EQ(first.downloadFile(), normalisedResponse::fatal);
    uint64_t have = fs::file_size(local("big.bin"));
    ASSERT_GT(have, 0u);
    ASSERT_LT(have, content.size());
    // What arrived is the start of the content, and the item still waits for the rest.
    EXPECT_EQ(readFile(local("big.bin")), content.substr(0, have));
    EXPECT_EQ(stateOf(local("big.bin")), S::RequireDownload);

    // The resumed request asks for exactly the rest: a delay fault matching only that URL is used up.
    std::string rest = "?revision=" + entry.revision + "&skip=" + std::to_string(have) +
                       "&count=" + std::to_string(content.size() - have);
    devserver.fault({{"action", "delay"},
                     {"delay_ms", 1},
                     {"path", devserver.servicePath("folders/Team/big.bin") + rest}});
    DownloadDetails second(env, team->localFolder, entry);
    EXPECT_EQ(second.downloadFile(), normalisedResponse::allOkay) << second.failureReason;
    EXPECT_EQ(faultsQueued(), 0u);
    EXPECT_EQ(readFile(local("big.bin")), content);
}

TEST_F(Downloads, ALocalFileLongerThanTheServersIsFetchedAgainFromTheStart) {
    std::string content = randomBytes(500, 8);
    auto entry = placeholder("long.bin", content, S::RequireDownload, randomBytes(900, 9));
    DownloadDetails details(env, team->localFolder, entry);
    EXPECT_EQ(details.downloadFile(), normalisedResponse::allOkay) << details.failureReason;
    EXPECT_EQ(readFile(local("long.bin")), content);
}

TEST_F(Downloads, AChangedRevisionRestartsFromZeroWithTheNewEntry) {
    std::string old = randomBytes(4000, 1), fresh = randomBytes(3000, 2);
    auto entry = placeholder("doc.bin", old, S::RequireDownload, old.substr(0, 1500));
    auto newer = peer->upload("/Team/doc.bin", fresh, entry.revision);
    ASSERT_NE(newer.revision, entry.revision);
    DownloadDetails details(env, team->localFolder, entry);
    EXPECT_EQ(details.downloadFile(), normalisedResponse::allOkay) << details.failureReason;
    EXPECT_EQ(readFile(local("doc.bin")), fresh);
    EXPECT_EQ(details.file.revision, newer.revision);
    EXPECT_EQ(CorvaneExtendedAttributes(local("doc.bin")).ceaString.getAttribute(CEAString::keys::Revision),
              newer.revision);
    EXPECT_EQ(stateOf(local("doc.bin")), S::RequireDownload);  // Regular is the event's to set
}

// ---- answers that are not the content

TEST_F(Downloads, AMissingItemWritesNothingAndWarnsOnce) {
    std::string partial = "already here";
    ASSERT_TRUE(writeFile(local("gone.bin"), partial));
    CorvaneExtendedAttributes record(local("gone.bin"));
    record.ceaStatus.setStatus(S::RequireDownload);
    record.ceaString.setAttribute(CEAString::keys::Revision, "4");
    record.ceaLong.setAttribute(CEALong::keys::ServerFileSize, 100);
    ASSERT_TRUE(record.save());
    size_t from = logSize();
    DownloadDetails details(env, team->localFolder,
                            entryFromRecord("gone.bin", CorvaneExtendedAttributes(local("gone.bin"))));
    EXPECT_EQ(details.downloadFile(), normalisedResponse::attemptRecovery);
    EXPECT_EQ(details.serverError_, serverError::noError);
    EXPECT_EQ(readFile(local("gone.bin")), partial);
    std::string log = sharedLogText().substr(from);
    EXPECT_EQ(occurrences(log, "Warning"), 1u) << log;
    EXPECT_EQ(occurrences(log, "Download item missing on server " + local("gone.bin")), 1u) << log;
}

TEST_F(Downloads, APortalPageWithStatus200LeavesTheItemWaiting) {
    auto entry = placeholder("portal.bin", randomBytes(2000, 4));
    devserver.fault({{"action", "error"},
                     {"errorId", 1113},
                     {"status", 200},
                     {"path", devserver.servicePath("folders/Team/portal.bin")}});
    size_t from = logSize();
    timeline->addDownload(team->localFolder, entry);
    runDownloads();
    EXPECT_EQ(fs::file_size(local("portal.bin")), 0u);
    EXPECT_EQ(stateOf(local("portal.bin")), S::RequireDownload);
    EXPECT_TRUE(logContains("not file content", from));
}

TEST_F(Downloads, AnAnswerLongerOrShorterThanAskedLeavesTheItemWaitingAndWritesNothing) {
    // The entry the client holds disagrees with the server's file under the same revision.
    std::string content = randomBytes(1000, 6);
    auto longer = placeholder("longer.bin", content);
    longer.size = 600;
    auto shorter = placeholder("shorter.bin", content);
    shorter.size = 1600;
    for (auto* entry : {&longer, &shorter}) {
        SCOPED_TRACE(entry->name);
        DownloadDetails details(env, team->localFolder, *entry);
        EXPECT_EQ(details.downloadFile(), normalisedResponse::attemptRecovery);
        EXPECT_FALSE(details.failureReason.empty());
        EXPECT_EQ(fs::file_size(local(entry->name)), 0u);
        EXPECT_EQ(stateOf(local(entry->name)), S::RequireDownload);
    }
    // Through the event too: never Regular.
    timeline->addDownload(team->localFolder, longer);
    runDownloads();
    EXPECT_EQ(stateOf(local("longer.bin")), S::RequireDownload);
}

TEST_F(Downloads, AWriteFailureStopsTheDownloadAndKeepsItWaiting) {
    // A file-size limit stands in for a full disk: the write fails part-way as it would with ENOSPC.
    std::string content = randomBytes(600000, 10);
    auto entry = placeholder("full.bin", content);
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 200000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    DownloadDetails details(env, team->localFolder, entry);
    auto outcome = details.downloadFile();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(outcome, normalisedResponse::attemptRecovery);
    EXPECT_NE(details.failureReason.find("cannot write"), std::string::npos) << details.failureReason;
    EXPECT_EQ(stateOf(local("full.bin")), S::RequireDownload);
    uint64_t have = fs::file_size(local("full.bin"));
    EXPECT_LE(have, 200000u);
    EXPECT_EQ(readFile(local("full.bin")), content.substr(0, have));  // resumable, not garbage
}

// A server that asks for the same request again is not asked at once (the next attempt is a later
// download's), and one that refuses outright is a disaster for this download; both leave the item
// waiting, empty.
TEST_F(Downloads, ARetryRequestedOrAFatalRefusalEndsTheDownloadAndLeavesTheItemWaiting) {
    auto retry = placeholder("retry.bin", randomBytes(1000, 30));
    devserver.fault({{"action", "error"},
                     {"errorId", 1066},
                     {"status", 503},
                     {"path", devserver.servicePath("folders/Team/retry.bin")}});
    size_t from = logSize();
    DownloadDetails details(env, team->localFolder, retry);
    EXPECT_EQ(details.downloadFile(), normalisedResponse::fatal);
    EXPECT_EQ(faultsQueued(), 0u);
    EXPECT_EQ(fs::file_size(local("retry.bin")), 0u) << "asked again at once";
    EXPECT_EQ(stateOf(local("retry.bin")), S::RequireDownload);
    EXPECT_FALSE(logContains("Disaster error encountered", from));

    auto refused = placeholder("refused.bin", randomBytes(1000, 31));
    devserver.fault({{"action", "error"},
                     {"errorId", 1039},
                     {"status", 403},
                     {"path", devserver.servicePath("folders/Team/refused.bin")}});
    from = logSize();
    EXPECT_FALSE(
        TLDownloadFile::performAction(timeline->context().statusBar, env, team->localFolder, refused));
    EXPECT_TRUE(logContains("Fatal: Disaster error encountered", from));
    EXPECT_TRUE(
        logContains("Download of " + local("refused.bin") + " failed. Potentially not recoverable.", from));
    EXPECT_EQ(fs::file_size(local("refused.bin")), 0u);
    EXPECT_EQ(stateOf(local("refused.bin")), S::RequireDownload);
}

TEST_F(Downloads, ALocalFileThatCannotBeOpenedForWritingKeepsWaitingUntouched) {
    auto entry = placeholder("locked.bin", randomBytes(1000, 32));
    WriteProtected locked(local("locked.bin"));
    if (!locked.holds()) GTEST_SKIP() << "cannot make a file unwritable here: " << locked.why;
    size_t from = logSize();
    DownloadDetails details(env, team->localFolder, entry);
    EXPECT_EQ(details.downloadFile(), normalisedResponse::attemptRecovery);
    EXPECT_NE(details.failureReason.find("cannot be opened for writing"), std::string::npos)
        << details.failureReason;
    EXPECT_FALSE(TLDownloadFile::performAction(timeline->context().statusBar, env, team->localFolder, entry));
    EXPECT_TRUE(logContains("Warning: Download of " + local("locked.bin") + " failed", from));
    EXPECT_EQ(fs::file_size(local("locked.bin")), 0u);
    EXPECT_EQ(stateOf(local("locked.bin")), S::RequireDownload);
}

// ---- cancelling

// A program's open and the download queue can ask for the same placeholder at once. It is written once:
// a second download writing the same bytes after the first recorded the file as in step would make it
// look edited here, and the server's next revision would be refused as a conflict.
TEST_F(Downloads, TwoDownloadsOfOneFileAtOnceWriteItOnceAndLeaveItInStep) {
    std::string content = randomBytes(1000, 21);
    auto entry = placeholder("twice.bin", content);
    for (int delay : {300, 1500})
        devserver.fault({{"action", "delay"},
                         {"delay_ms", delay},
                         {"path", devserver.servicePath("folders/Team/twice.bin")}});
    size_t from = logSize();
    auto download = [&] {
        TLDownloadFile::performAction(StatusBarManager::sharedInstance(), env, team->localFolder, entry,
                                      std::nullopt);
    };
    std::thread first(download), second(download);
    first.join();
    second.join();
    EXPECT_EQ(readFile(local("twice.bin")), content);
    CorvaneExtendedAttributes record(local("twice.bin"));
    EXPECT_EQ(record.ceaStatus.status, S::Regular);
    EXPECT_FALSE(CEAUtils::hasLocalChanges(local("twice.bin"), record));
    EXPECT_EQ(occurrences(sharedLogText().substr(from), "Downloaded file: " + local("twice.bin")), 1u);
}

TEST_F(Downloads, TakingTheItemOutOfRequireDownloadCancelsWithinAboutASecond) {
    auto entry = placeholder("slow.bin", randomBytes(1000, 11));
    devserver.fault(
        {{"action", "delay"}, {"delay_ms", 4000}, {"path", devserver.servicePath("folders/Team/slow.bin")}});
    DownloadDetails details(env, team->localFolder, entry);
    std::thread change([&] {
        std::this_thread::sleep_for(300ms);
        CorvaneExtendedAttributes record(local("slow.bin"));
        record.ceaStatus.setStatus(S::Placeholder);
        ASSERT_TRUE(record.save());
    });
    auto start = std::chrono::steady_clock::now();
    auto outcome = details.downloadFile();
    auto took = std::chrono::steady_clock::now() - start;
    change.join();
    EXPECT_EQ(outcome, normalisedResponse::attemptRecovery);
    EXPECT_EQ(details.serverError_, serverError::canceled);
    EXPECT_LT(took, 3s);
    EXPECT_EQ(fs::file_size(local("slow.bin")), 0u);
}

TEST_F(Downloads, PausingCancelsTheRunningDownloadAndTheItemStaysWaiting) {
    auto entry = placeholder("paused.bin", randomBytes(1000, 12));
    devserver.fault({{"action", "delay"},
                     {"delay_ms", 4000},
                     {"path", devserver.servicePath("folders/Team/paused.bin")}});
    std::thread pause([&] {
        std::this_thread::sleep_for(300ms);
        allowed = false;
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(TLDownloadFile::performAction(timeline->context().statusBar, env, team->localFolder, entry));
    auto took = std::chrono::steady_clock::now() - start;
    pause.join();
    EXPECT_LT(took, 3s);
    EXPECT_EQ(stateOf(local("paused.bin")), S::RequireDownload);
    // Not even started while communication is not allowed.
    DownloadDetails again(env, team->localFolder, entry);
    EXPECT_EQ(again.downloadFile(), normalisedResponse::fatal);
}

// ---- the progress bar on the file

TEST_F(Downloads, ProgressOnFilesOver64KiBIsPutBackAtTheEnd) {
    auto entry = placeholder("bar.bin", randomBytes(200000, 13));
    Date created = Date(std::chrono::seconds(1600000000));
    ASSERT_TRUE(setCreationDate(local("bar.bin"), created));
    DownloadDetails details(env, team->localFolder, entry);
    ASSERT_EQ(details.downloadFile(), normalisedResponse::allOkay) << details.failureReason;
    EXPECT_EQ(creationDate(local("bar.bin")), created);
    EXPECT_FALSE(platform::getXattr(local("bar.bin"), IconProgress::xAttrName, 64).has_value());
    EXPECT_FALSE(
        CorvaneExtendedAttributes(local("bar.bin")).ceaDate.getAttribute(CEADate::keys::TransferRecovery));
}

TEST_F(Downloads, ABarLeftByACrashIsUndoneWithTheSavedDate) {
    auto entry = placeholder("crashed.bin", randomBytes(100000, 14), S::RequireDownload);
    Date saved = Date(std::chrono::seconds(1500000000));
    ASSERT_TRUE(setCreationDate(local("crashed.bin"), IconProgress::magicDate()));
    ASSERT_TRUE(platform::setXattr(local("crashed.bin"), IconProgress::xAttrName, "0.37"));
    ASSERT_TRUE(env.itemRecords().setTransferRecovery(local("crashed.bin"), saved));
    DownloadDetails details(env, team->localFolder, entry);
    ASSERT_EQ(details.downloadFile(), normalisedResponse::allOkay) << details.failureReason;
    EXPECT_EQ(creationDate(local("crashed.bin")), saved);
    EXPECT_FALSE(platform::getXattr(local("crashed.bin"), IconProgress::xAttrName, 64).has_value());
}

// ---- the download event and opening

TEST_F(Downloads, ARegularItemIsNotDownloadedAgain) {
    auto entry = placeholder("done.bin", "server bytes", S::Regular, "local bytes");
    devserver.fault(
        {{"action", "error"}, {"errorId", 13}, {"path", devserver.servicePath("folders/Team/done.bin")}});
    EXPECT_FALSE(TLDownloadFile::performAction(timeline->context().statusBar, env, team->localFolder, entry));
    EXPECT_EQ(readFile(local("done.bin")), "local bytes");
    EXPECT_EQ(faultsQueued(), 1u);  // no request went out
}

TEST_F(Downloads, OpeningAPlaceholderDownloadsItAndOpensItOnce) {
    std::string content = randomBytes(5000, 15);
    placeholder("open.bin", content, S::Placeholder);
    EXPECT_TRUE(OpenFile::application(StatusBarManager::sharedInstance(), env, local("open.bin")));
    for (int i = 0; i < 200 && openedPaths().empty(); ++i) std::this_thread::sleep_for(50ms);
    ASSERT_EQ(openedPaths(), std::vector<std::string>{local("open.bin")});
    EXPECT_EQ(readFile(local("open.bin")), content);
    CorvaneExtendedAttributes record(local("open.bin"));
    EXPECT_EQ(record.ceaStatus.status, S::Regular);
    EXPECT_FALSE(record.ceaBool.getAttribute(CEABool::keys::LaunchAfterDownload));

    // A later download of the same file does not open it again.
    ASSERT_TRUE(writeFile(local("open.bin"), ""));
    record.ceaStatus.setStatus(S::RequireDownload);
    ASSERT_TRUE(record.save());
    EXPECT_TRUE(TLDownloadFile::performAction(timeline->context().statusBar, env, team->localFolder,
                                              entryFromRecord("open.bin", record)));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(openedPaths().size(), 1u);

    // Opening a Regular file changes nothing and downloads nothing.
    EXPECT_TRUE(OpenFile::application(StatusBarManager::sharedInstance(), env, local("open.bin")));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(stateOf(local("open.bin")), S::Regular);
    EXPECT_EQ(openedPaths().size(), 1u);
}

TEST_F(Downloads, ATakenBackPlaceholderIsEmptiedButAUserFileIsNot) {
    auto entry = placeholder("back.bin", randomBytes(1000, 16));
    devserver.fault(
        {{"action", "delay"}, {"delay_ms", 4000}, {"path", devserver.servicePath("folders/Team/back.bin")}});
    std::thread change([&] {
        std::this_thread::sleep_for(300ms);
        writeFile(local("back.bin"), "the user's own words");
        CorvaneExtendedAttributes record(local("back.bin"));
        record.ceaStatus.setStatus(S::RequireUpload);
        ASSERT_TRUE(record.save());
    });
    EXPECT_FALSE(TLDownloadFile::performAction(timeline->context().statusBar, env, team->localFolder, entry));
    change.join();
    EXPECT_EQ(readFile(local("back.bin")), "the user's own words");
    EXPECT_EQ(stateOf(local("back.bin")), S::RequireUpload);
}

// ---- a placeholder moved out of the synchronised area

class OutOfBand : public Downloads {
protected:
    void SetUp() override {
        Downloads::SetUp();
        if (HasFatalFailure()) return;
        fs::create_directories(dir / "Desktop");
        // Identities resolve as the watcher would answer: among the places these tests use; an
        // identity it knows nothing of stays "/.vol/..."; while `watcherSilent`, no answer at all.
        platform::setVolPathResolver([this](uint64_t dev, uint64_t ino) -> std::optional<std::string> {
            if (watcherSilent) return std::nullopt;
            for (const auto& place : {fs::path(team->localFolder), dir / "Desktop"})
                for (auto& e : fs::directory_iterator(place)) {
                    struct stat st {};
                    if (::stat(e.path().c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino)
                        return e.path().string();
                }
            return "/.vol/" + std::to_string(dev) + "/" + std::to_string(ino);
        });
    }
    void TearDown() override {
        platform::setVolPathResolver(nullptr);
        Downloads::TearDown();
    }
    // The move out as the watcher reports it: the file is outside, its record there waits for content.
    std::string moveOut(const std::string& name, const std::string& content) {
        placeholder(name, content, S::Placeholder);
        std::string to = (dir / "Desktop" / name).string();
        fs::rename(local(name), to);
        CorvaneExtendedAttributes record(to);
        record.ceaStatus.setStatus(S::RequireDownload);
        EXPECT_TRUE(record.save());
        return to;
    }
    std::atomic<bool> watcherSilent{false};
    // Runs the queued out-of-band event with the timeline's context while the timeline stays paused, so
    // that what it queues stays in the list to be looked at instead of running.
    void runQueued() {
        auto events = timeline->events();
        ASSERT_FALSE(events.empty());
        events.front()->performAction(timeline->context());
    }
    bool deleteQueuedFor(const std::string& path) {
        for (auto& e : timeline->events())
            if (auto d = std::dynamic_pointer_cast<TLDelete>(e); d && d->localPath == path) return true;
        return false;
    }
};

TEST_F(OutOfBand, TheContentIsDownloadedOutsideThenTheServerItemDeleted) {
    std::string content = randomBytes(3000, 40);
    std::string to = moveOut("out.bin", content);
    size_t from = logSize();
    timeline->addOutOfBandDownload(local("out.bin"), to);
    EXPECT_TRUE(logContains("Changing move of file from  " + local("out.bin") + " to a download to " + to +
                                " followed by server delete",
                            from));
    runQueued();
    EXPECT_EQ(readFile(to), content);
    // An ordinary file now: no record of ours on it.
    EXPECT_FALSE(platform::getXattr(to, CorvaneExtendedAttributes::xAttrName, 1024).has_value());
    EXPECT_TRUE(deleteQueuedFor(local("out.bin")));
}

TEST_F(OutOfBand, AFailedDownloadDeletesNothingOnTheServer) {
    std::string to = moveOut("kept.bin", randomBytes(3000, 41));
    devserver.fault(
        {{"action", "error"}, {"errorId", 13}, {"path", devserver.servicePath("folders/Team/kept.bin")}});
    timeline->addOutOfBandDownload(local("kept.bin"), to);
    runQueued();
    EXPECT_FALSE(deleteQueuedFor(local("kept.bin")));
    EXPECT_EQ(CorvaneExtendedAttributes(to).ceaStatus.status, S::RequireDownload);
}

TEST_F(OutOfBand, AVanishedDestinationOnlyDeletesOnTheServer) {
    std::string to = moveOut("vanished.bin", "x");
    timeline->addOutOfBandDownload(local("vanished.bin"), to);
    fs::remove(to);
    runQueued();
    EXPECT_FALSE(fs::exists(to));
    EXPECT_TRUE(deleteQueuedFor(local("vanished.bin")));
}

TEST_F(OutOfBand, AnItemNobodyCanLocateKeepsItsServerCopy) {
    // Renamed away from its destination while the watcher did not answer: it may well exist, with
    // the only copy of its content on the server.
    std::string to = moveOut("elsewhere.bin", "z");
    timeline->addOutOfBandDownload(local("elsewhere.bin"), to);
    fs::rename(to, (dir / "Desktop" / "renamed.bin").string());
    watcherSilent = true;
    size_t from = logSize();
    runQueued();
    EXPECT_FALSE(deleteQueuedFor(local("elsewhere.bin")));
    EXPECT_TRUE(logContains("the server's copy of " + local("elsewhere.bin") + " is kept", from));
    EXPECT_TRUE(fs::exists(dir / "root" / "data" / "Team" / "elsewhere.bin"));
}

TEST_F(OutOfBand, MovedBackInUnderAnotherNameItBecomesAMoveOnTheServer) {
    std::string to = moveOut("returned.bin", "w");
    timeline->addOutOfBandDownload(local("returned.bin"), to);
    fs::rename(to, local("renamed.bin"));
    runQueued();
    bool moved = false;
    for (auto& e : timeline->events())
        if (auto m = std::dynamic_pointer_cast<TLMove>(e))
            moved = moved ||
                    (m->localPathFrom == local("returned.bin") && m->localPathTo == local("renamed.bin"));
    EXPECT_TRUE(moved);
    EXPECT_FALSE(deleteQueuedFor(local("returned.bin")));
    EXPECT_EQ(fs::file_size(local("renamed.bin")), 0u) << "nothing downloaded for it";
    EXPECT_TRUE(fs::exists(dir / "root" / "data" / "Team" / "returned.bin"));
}

TEST_F(OutOfBand, StillOutsideButNoLongerWaitingForItsContentNothingHappens) {
    // The user wrote to the copy outside before the event ran: it is theirs now.
    std::string to = moveOut("written.bin", "server bytes");
    timeline->addOutOfBandDownload(local("written.bin"), to);
    ASSERT_TRUE(writeFile(to, "my own words"));
    {
        CorvaneExtendedAttributes record(to);
        record.ceaStatus.setStatus(S::RequireUpload);
        ASSERT_TRUE(record.save());
    }
    runQueued();
    EXPECT_EQ(readFile(to), "my own words");
    EXPECT_EQ(CorvaneExtendedAttributes(to).ceaStatus.status, S::RequireUpload) << "its record left alone";
    EXPECT_FALSE(deleteQueuedFor(local("written.bin")));
    EXPECT_EQ(readFile(dir / "root" / "data" / "Team" / "written.bin"), "server bytes");
}

TEST_F(OutOfBand, MovedBackToItsFormerPlaceNothingHappens) {
    std::string to = moveOut("back.bin", "y");
    timeline->addOutOfBandDownload(local("back.bin"), to);
    fs::rename(to, local("back.bin"));
    runQueued();
    EXPECT_FALSE(deleteQueuedFor(local("back.bin")));
    EXPECT_EQ(fs::file_size(local("back.bin")), 0u);
}

// ---- the file manager's requests

class FileManagerRequests : public Downloads {
protected:
    void SetUp() override {
        if (!getenv("DBUS_SESSION_BUS_ADDRESS"))
            GTEST_SKIP() << "no session bus (run inside dbus-run-session)";
        Downloads::SetUp();
        if (HasFatalFailure()) return;
        run = std::make_unique<OwnRunState>(*timeline, account);
        handler = std::make_unique<ContextMenuHandler>(*timeline, run->state);
        ASSERT_TRUE(handler->start());
        timeline->resumeTimeLine();
    }
    void TearDown() override {
        if (!handler) return;
        handler.reset();
        run.reset();
        Downloads::TearDown();
    }
    // Waits until the requests posted so far have run and their downloads finished.
    void settle() {
        std::this_thread::sleep_for(300ms);
        ASSERT_TRUE(handler->contextQueue().waitUntilAllOperationsAreFinished(30s));
        ASSERT_TRUE(timeline->downloadQueue().waitUntilAllOperationsAreFinished(60s));
    }
    void folder(const std::string& rel, S state) {
        peer->createFolder("/Team/" + rel);
        fs::create_directories(local(rel));
        CorvaneExtendedAttributes record(local(rel));
        record.ceaStatus.setStatus(state);
        record.ceaString.setAttribute(CEAString::keys::FileType, platform::kFileTypeDirectory);
        ASSERT_TRUE(record.save());
    }

    std::unique_ptr<OwnRunState> run;  // what the file manager's pause and resume change
    std::unique_ptr<ContextMenuHandler> handler;
};

TEST_F(FileManagerRequests, ThreeSelectedItemsAreDownloadedInTheOrderPosted) {
    std::vector<std::string> names{"one.bin", "two.bin", "three.bin"};
    for (size_t i = 0; i < names.size(); ++i)
        placeholder(names[i], randomBytes(300 + i, 20 + i), S::Placeholder);
    size_t from = logSize();
    for (auto& n : names) ASSERT_TRUE(platform::postNotification("BrindleDownload", local(n)));
    settle();
    std::string log = sharedLogText().substr(from);
    size_t last = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(stateOf(local(names[i])), S::Regular) << names[i];
        EXPECT_EQ(fs::file_size(local(names[i])), 300 + i);
        size_t at = log.find("Downloaded file: " + local(names[i]));
        ASSERT_NE(at, std::string::npos) << names[i];
        EXPECT_GE(at, last);
        last = at;
    }
}

TEST_F(FileManagerRequests, AFolderDownloadMarksEveryPlaceholderFileInTheTree) {
    folder("Projects", S::Placeholder);
    folder("Projects/Old", S::Placeholder);
    placeholder("Projects/a.bin", "aaa", S::Placeholder);
    placeholder("Projects/Old/b.bin", "bbbb", S::Placeholder);
    placeholder("Projects/c.bin", "local", S::RequireUpload, "local");
    ASSERT_TRUE(platform::postNotification("BrindleDownload", local("Projects")));
    settle();
    EXPECT_EQ(stateOf(local("Projects")), S::Regular);
    EXPECT_EQ(stateOf(local("Projects/Old")), S::Regular);
    EXPECT_EQ(readFile(local("Projects/a.bin")), "aaa");
    EXPECT_EQ(readFile(local("Projects/Old/b.bin")), "bbbb");
    EXPECT_EQ(stateOf(local("Projects/c.bin")), S::RequireUpload);
}

// A download a crash interrupted leaves the item waiting with part of its content; asking for it again
// fetches only the rest instead of waiting for the folder's next listing.
TEST_F(FileManagerRequests, AskingAgainForAnInterruptedDownloadFetchesTheRest) {
    std::string bytes = randomBytes(200000, 31);
    auto entry = placeholder("half.bin", bytes, S::RequireDownload, bytes.substr(0, 80000));
    // A harmless fault that only the request for the rest matches: it is gone once that was asked.
    const std::string rest = devserver.servicePath("folders/Team/half.bin?revision=" + entry.revision +
                                                   "&skip=80000&count=120000");
    devserver.fault({{"action", "delay"}, {"delay_ms", 1}, {"path", rest}});
    ASSERT_TRUE(platform::postNotification("BrindleDownload", local("half.bin")));
    settle();
    EXPECT_EQ(stateOf(local("half.bin")), S::Regular);
    EXPECT_TRUE(readFile(local("half.bin")) == bytes);
    auto queue = devserver.admin("faults", {{"action", "delay"}, {"delay_ms", 1}, {"path", "/nothing"}});
    EXPECT_EQ(queue.dump().find("skip=80000"), std::string::npos) << queue.dump();
}

TEST_F(FileManagerRequests, RemovingADownloadEmptiesRegularFilesOnly) {
    placeholder("kept.bin", "content", S::Regular, "content");
    placeholder("edited.bin", "content", S::RequireUpload, "my edit");
    ASSERT_TRUE(platform::postNotification("BrindleRemoveDownload", local("kept.bin")));
    ASSERT_TRUE(platform::postNotification("BrindleRemoveDownload", local("edited.bin")));
    settle();
    EXPECT_EQ(stateOf(local("kept.bin")), S::Placeholder);
    EXPECT_EQ(fs::file_size(local("kept.bin")), 0u);
    EXPECT_EQ(stateOf(local("edited.bin")), S::RequireUpload);
    EXPECT_EQ(readFile(local("edited.bin")), "my edit");
}

// Removing a download empties the file only when the server holds its content: a file changed since it
// was sent (its change not yet reported), or under a name the server cannot hold (renamed so while
// nobody watched, it still carries the record of what it was), keeps its bytes.
TEST_F(FileManagerRequests, RemovingADownloadNeverEmptiesContentTheServerDoesNotHold) {
    placeholder("changed.bin", "content", S::Regular, "content, and an edit nobody reported");
    placeholder("renamed.bin", "content", S::Regular, "content");
    const std::string bad = local("why " + std::string(90, '?') + ".bin");
    fs::rename(local("renamed.bin"), bad);
    ASSERT_TRUE(platform::postNotification("BrindleRemoveDownload", local("changed.bin")));
    ASSERT_TRUE(platform::postNotification("BrindleRemoveDownload", bad));
    settle();
    EXPECT_EQ(readFile(local("changed.bin")), "content, and an edit nobody reported");
    EXPECT_NE(stateOf(local("changed.bin")), S::Placeholder);
    EXPECT_EQ(readFile(bad), "content");
}

TEST_F(FileManagerRequests, ADownloadThenARemovalOfOneItemRunInThatOrder) {
    std::string bytes = randomBytes(2000, 30);
    placeholder("both.bin", bytes, S::Placeholder);
    ASSERT_TRUE(platform::postNotification("BrindleDownload", local("both.bin")));
    ASSERT_TRUE(platform::postNotification("BrindleRemoveDownload", local("both.bin")));
    settle();
    // The download runs on its own queue, so it may finish before or after the removal; either way
    // the item is consistent: a placeholder with no content, or the server's whole file.
    if (stateOf(local("both.bin")) == S::Regular) {
        EXPECT_EQ(readFile(local("both.bin")), bytes);
    } else {
        EXPECT_EQ(stateOf(local("both.bin")), S::Placeholder);
        EXPECT_EQ(fs::file_size(local("both.bin")), 0u);
    }
}

TEST_F(FileManagerRequests, RequestsWithoutAPathAreIgnored) {
    placeholder("still.bin", "x", S::Placeholder);
    size_t from = logSize();
    ASSERT_TRUE(platform::postNotification("BrindleDownload", ""));
    ASSERT_TRUE(platform::postNotification("BrindleRemoveDownload", "relative/path"));
    // A signal of another shape, as a foreign sender might post it.
    auto sent = platform::runProcess(
        {"dbus-send", "--session", "--type=signal", "/com/meridot/tidewell",
         "com.meridot.tidewell.DistributedNotification.Post", "string:BrindleDownload", "int32:7"},
        10s);
    settle();
    EXPECT_EQ(stateOf(local("still.bin")), S::Placeholder);
    // Only this test's own requests count: the tests beside it share the session bus, and their
    // requests name their own files.
    std::istringstream lines(sharedLogText().substr(std::min(from, sharedLogText().size())));
    for (std::string line; std::getline(lines, line);) {
        if (line.find("Warning") == std::string::npos) continue;
        bool anotherTests = line.find("tw-home-") != std::string::npos &&
                            line.find(platform::homeFolder()) == std::string::npos;
        if (!anotherTests) ADD_FAILURE() << line;
    }
    (void)sent;
}

TEST_F(FileManagerRequests, SuspendWhileAlreadyForbiddenDoesNothing) {
    auto& state = run->state;
    state.allowServerCommunication = false;
    size_t from = logSize();
    ASSERT_TRUE(platform::postNotification("BrindleAutomatedTestChangeCommunicationState", "Suspend"));
    settle();
    EXPECT_FALSE(state.allowServerCommunication);
    EXPECT_FALSE(logContains("Automated test", from));
}

}  // namespace
}  // namespace tw::test
