// The upload path through the timeline against the reference server on loopback: real files, real
// extended attributes, a real HTTP server. What the item's record says afterwards is the point.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/TLUpload.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/ServerRequests.h"
#include "Pinewick/server/UploadDetails.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/keychain.h"
#include "support/client_devserver.h"
#include "support/log_capture.h"
#include "support/own_server.h"
#include "support/own_volumes.h"
#include "support/temp_dir.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using S = CEAStatus::keys;

const char* kPassword = "pa&ss=word";

class UploadEvents : public ::testing::Test {
protected:
    void SetUp() override {
        volumes.answer(env);
        env.resumableUploadsFrom = 0;  // resuming is exercised with small files here
        keychain = platform::keychain::makeFileKeychain((dir / "credentials.json").string());
        env.keychain = keychain.get();
        ASSERT_TRUE(devserver.start(dir.path(), *keychain, account, kPassword))
            << "tidewell-devserver did not start";
        hostPort = devserver.hostPort;
        platform::http::Session::shared().cookies().removeAll();

        auto& vm = volumes.list;
        team = std::make_shared<VolumeDetail>("Team", ServerConfigurationDetails::sharedInstance());
        team->state = VolumeDetail::volumeStates::Visible;
        ro = std::make_shared<VolumeDetail>("RO", ServerConfigurationDetails::sharedInstance());
        ro->state = VolumeDetail::volumeStates::Visible;
        vm.addVolume(team);
        vm.addVolume(ro);
        fs::create_directories(team->localFolder);
        fs::create_directories(ro->localFolder);
        ASSERT_TRUE(ServerCommunicator::ready(env));
        timeline = std::make_unique<TimeLineManager>((dir / "support").string() + "/", volumes.parts(env));
    }

    void TearDown() override {
        timeline.reset();
        EXPECT_EQ(devserver.stop(), 0) << devserver.log();
    }

    std::string local(const std::string& rel) const { return team->localFolder + "/" + rel; }
    fs::path serverFile(const std::string& serverPath) const {
        return dir / "root" / "data" / serverPath.substr(1);
    }

    void admin(const std::string& resource, const nlohmann::json& body) { devserver.admin(resource, body); }
    std::string servicePath(const std::string& resource) const { return devserver.servicePath(resource); }

    // Records a UUID on the volume folder, as an image carries one, so the metadata database keeps
    // rows for its items. False when this file system takes no user attributes.
    bool giveTheVolumeAUUID(const std::string& uuid) {
        if (::setxattr(team->localFolder.c_str(), "user.com.meridot.tidewell.volumeuuid", uuid.data(),
                       uuid.size(), 0) != 0)
            return false;
        struct stat st {};
        if (::stat(team->localFolder.c_str(), &st) != 0) return false;
        team->setVolumeSystemNumber(st.st_dev);
        return true;
    }

    // Runs everything queued so far to completion.
    void runTimeline() {
        // A resume while the loop still winds down from a pause is ignored: let it end first.
        for (int i = 0; i < 500 && timeline->suspended() && timeline->eventQueueRunning(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        timeline->resumeTimeLine();
        ASSERT_TRUE(timeline->waitUntilIdle(60s));
    }

    TempDir dir;
    OwnServer own;
    ServerEnvironment& env = own.env;
    ServerCredentials& account = own.account;
    OwnVolumes volumes;
    ClientDevServer devserver;
    std::string hostPort;
    std::unique_ptr<platform::keychain::Keychain> keychain;
    std::shared_ptr<VolumeDetail> team, ro;
    std::unique_ptr<TimeLineManager> timeline;
};

TEST_F(UploadEvents, NewFileIsUploadedOnceAndItsRecordTellsTheTruth) {
    std::string path = local("report.txt");
    ASSERT_TRUE(writeFile(path, "quarterly numbers"));
    size_t from = logSize();
    timeline->addCloseEvent(path);
    // Queued, not yet run: the record already says the file must go up.
    EXPECT_EQ(CorvaneExtendedAttributes(path).ceaStatus.status, S::RequireUpload);
    // A second upload of the same file is queued too, and finds nothing left to send.
    timeline->addUploadEvent(path);
    EXPECT_EQ(timeline->eventCount(), 2u);
    runTimeline();

    CorvaneExtendedAttributes record(path);
    EXPECT_EQ(record.ceaStatus.status, S::Regular);
    auto revision = record.ceaString.getAttribute(CEAString::keys::Revision);
    ASSERT_TRUE(revision.has_value());
    EXPECT_FALSE(revision->empty());
    EXPECT_EQ(record.ceaLong.getAttribute(CEALong::keys::ServerFileSize), 17u);
    EXPECT_FALSE(record.ceaString.getAttribute(CEAString::keys::UploadGUID).has_value());
    EXPECT_FALSE(record.ceaBool.getAttribute(CEABool::keys::ReadOnly));
    EXPECT_EQ(readFile(serverFile("/Team/report.txt")), "quarterly numbers");
    EXPECT_EQ(occurrences(sharedLogText().substr(from), "Uploaded file: " + path), 1u);
    // The local file is never changed by its upload.
    EXPECT_EQ(readFile(path), "quarterly numbers");
}

TEST_F(UploadEvents, QueueingDecidesByStateAndVanishedFilesSendNothing) {
    std::string regular = local("regular.txt"), localOnly = local("private.txt"), gone = local("gone.txt");
    writeFile(regular, "r");
    writeFile(localOnly, "l");
    writeFile(gone, "g");
    {
        CorvaneExtendedAttributes r(regular);
        r.ceaStatus.setStatus(S::Regular);
        r.ceaString.setAttribute(CEAString::keys::Revision, "1");
        ASSERT_TRUE(r.save());
        CorvaneExtendedAttributes l(localOnly);
        l.ceaStatus.setStatus(S::LocalOnly);
        ASSERT_TRUE(l.save());
    }
    timeline->addUploadEvent(regular);
    timeline->addUploadEvent(localOnly);
    timeline->addUploadEvent(gone);
    EXPECT_EQ(CorvaneExtendedAttributes(regular).ceaStatus.status, S::RequireUpload);
    EXPECT_EQ(CorvaneExtendedAttributes(localOnly).ceaStatus.status, S::LocalOnly);
    fs::remove(gone);
    size_t from = logSize();
    runTimeline();
    std::string log = sharedLogText().substr(from);
    EXPECT_EQ(log.find("Uploaded file: " + localOnly), std::string::npos);
    EXPECT_EQ(log.find(gone), std::string::npos);
    EXPECT_FALSE(fs::exists(serverFile("/Team/gone.txt")));
    EXPECT_FALSE(fs::exists(serverFile("/Team/private.txt")));
    EXPECT_EQ(CorvaneExtendedAttributes(localOnly).ceaStatus.status, S::LocalOnly);
}

TEST_F(UploadEvents, IgnoredExcludedAndOutsidePathsAreNeverQueuedOrTouched) {
    std::string outside = (dir / "elsewhere.txt").string();
    std::string trash = local(".Trashes/501/x");
    std::string partial = local("movie.part");
    for (auto& p : {outside, trash, partial}) writeFile(p, "x");
    size_t from = logSize();
    timeline->addCloseEvent(outside);
    timeline->addCloseEvent(trash);
    timeline->addUploadEvent(partial);
    EXPECT_EQ(timeline->eventCount(), 0u);
    EXPECT_TRUE(logContains("Warning: Ignoring upload request for " + trash, from));
    // Their records were never written.
    for (auto& p : {outside, trash, partial})
        EXPECT_FALSE(platform::getXattr(p, "com.meridot.tidewell", 1024));
}

// What dresses a mounted volume in the file managers (its icon, and the desktop entry at its root that
// points at it) belongs to this machine, never to the user's files; a desktop entry further down does.
TEST_F(UploadEvents, TheVolumesIconAndItsDesktopEntryAreNeverSent) {
    writeFile(local(".VolumeIcon.svg"), "<svg/>");
    writeFile(local(".directory"), "[Desktop Entry]\nIcon=./.VolumeIcon.svg\n");
    fs::create_directories(local("photos"));
    ASSERT_EQ(CreateFolderDetails(env, local("photos"), std::chrono::system_clock::now()).createFolder(),
              normalisedResponse::allOkay);
    writeFile(local("photos/.directory"), "[Dolphin]\nViewMode=1\n");
    for (const char* rel : {".VolumeIcon.svg", ".directory", "photos/.directory"})
        timeline->addCloseEvent(local(rel));
    EXPECT_EQ(timeline->eventCount(), 1u);
    runTimeline();
    EXPECT_FALSE(fs::exists(serverFile("/Team/.VolumeIcon.svg")));
    EXPECT_FALSE(fs::exists(serverFile("/Team/.directory")));
    EXPECT_EQ(readFile(serverFile("/Team/photos/.directory")), "[Dolphin]\nViewMode=1\n");
    EXPECT_FALSE(platform::getXattr(local(".directory"), "com.meridot.tidewell", 1024)) << "never a record";
}

// The revision an upload replaces is the one the metadata database holds for the item, not whatever its
// own record says: a record written back by a program that keeps attributes (a restore from a backup,
// say) can name another revision, and sending that would be refused as a conflict with the item's own
// last upload.
TEST_F(UploadEvents, TheRevisionReplacedIsTheOneTheDatabaseHoldsForTheItem) {
    const std::string uuid = "5A1F0C3E-0000-4000-8000-00000000AB27";
    if (!giveTheVolumeAUUID(uuid)) GTEST_SKIP() << "user extended attributes not supported here";
    std::string path = local("ledger.txt");
    writeFile(path, "first");
    timeline->addCloseEvent(path);
    runTimeline();
    CorvaneExtendedAttributes first(path);
    ASSERT_EQ(first.ceaStatus.status, S::Regular);
    auto revision = first.ceaString.getAttribute(CEAString::keys::Revision);
    ASSERT_TRUE(revision.has_value());
    auto row = MetadataDataBase::sharedInstance().findRecord(first.fileNumber, uuid);
    ASSERT_TRUE(row.has_value());
    ASSERT_EQ(row->revision, *revision);

    // Held until the record is made stale: a running timeline would send the change at once.
    timeline->pauseTimeLine();
    writeFile(path, "second");
    timeline->addCloseEvent(path);
    // The record on the file now names a revision the server never had; the database still knows.
    CorvaneExtendedAttributes stale(path);
    stale.ceaString.setAttribute(CEAString::keys::Revision, "0");
    ASSERT_TRUE(platform::setXattr(path, CorvaneExtendedAttributes::xAttrName, stale.encode()));
    EXPECT_EQ(UploadDetails(env, path).revision, *revision);
    runTimeline();
    CorvaneExtendedAttributes after(path);
    EXPECT_EQ(after.ceaStatus.status, S::Regular);
    EXPECT_EQ(after.ceaErrorStatus.status, CEAErrorStatus::keys::NoError);
    EXPECT_EQ(readFile(serverFile("/Team/ledger.txt")), "second");
}

TEST_F(UploadEvents, CloseAfterWritingStartsAnInterruptedResumableUploadAfresh) {
    team->canResumeUploads = true;
    std::string path = local("big.bin");
    std::string data(1u << 20, '\0');
    std::mt19937 rng(7);
    for (auto& c : data) c = static_cast<char>(rng());
    writeFile(path, data);
    admin("faults", {{"method", "POST"},
                     {"path", servicePath("resume/upload")},
                     {"action", "drop"},
                     {"after_bytes", 300000}});
    // Counts the questions for the server's count of bytes received.
    admin("faults", {{"method", "GET"},
                     {"path", servicePath("resume/upload")},
                     {"action", "delay"},
                     {"delay_ms", 0},
                     {"count", 1000}});
    timeline->setRunAgainDelay(10ms);
    timeline->addUploadEvent(path);
    // The cut leaves the file waiting, with the identifier of the half-sent upload, and the event
    // queued: it runs again by itself and resumes from the server's count.
    runTimeline();
    nlohmann::json faults;
    devserver.admin("faults", nlohmann::json::array()).swap(faults);
    ASSERT_EQ(faults.size(), 1u) << faults.dump();
    EXPECT_EQ(faults[0]["count"], 999) << "one question for the count, then the rest of the bytes";
    CorvaneExtendedAttributes done(path);
    EXPECT_EQ(done.ceaStatus.status, S::Regular);
    EXPECT_FALSE(done.ceaString.getAttribute(CEAString::keys::UploadGUID).has_value());
    EXPECT_TRUE(readFile(serverFile("/Team/big.bin")) == data);

    // A close after writing drops any identifier, so a half-finished upload is never continued.
    // Paused, so the upload the close queues cannot start and hand out a fresh identifier first.
    timeline->pauseTimeLine();
    {
        CorvaneExtendedAttributes r(path);
        r.ceaString.setAttribute(CEAString::keys::UploadGUID, "stale-guid");
        ASSERT_TRUE(r.save());
    }
    timeline->addCloseEvent(path);
    EXPECT_FALSE(
        CorvaneExtendedAttributes(path).ceaString.getAttribute(CEAString::keys::UploadGUID).has_value());
}

TEST_F(UploadEvents, RefusalsLeaveErrorStatesAndLockedOnlyWarns) {
    std::string conflict = local("conflict.txt");
    writeFile(conflict, "v1");
    timeline->addCloseEvent(conflict);
    runTimeline();
    ASSERT_EQ(CorvaneExtendedAttributes(conflict).ceaStatus.status, S::Regular);
    // Someone else changed it on the server.
    admin("item", {{"path", "/Team/conflict.txt"}, {"revision", "77"}});
    writeFile(conflict, "v2 local");
    timeline->addCloseEvent(conflict);
    runTimeline();
    {
        CorvaneExtendedAttributes r(conflict);
        EXPECT_EQ(r.ceaStatus.status, S::ErrorRegular);
        EXPECT_EQ(r.ceaErrorStatus.status, CEAErrorStatus::keys::Conflict);
        EXPECT_EQ(r.ceaErrorStatus.genre, CEAErrorStatus::genres::Transfer);
        EXPECT_EQ(r.ceaString.getAttribute(CEAString::keys::ConflictRevision), "77");
    }
    EXPECT_EQ(readFile(conflict), "v2 local");

    // Read-only mappoint.
    std::string readOnly = ro->localFolder + "/note.txt";
    writeFile(readOnly, "n");
    timeline->addCloseEvent(readOnly);
    runTimeline();
    {
        CorvaneExtendedAttributes r(readOnly);
        EXPECT_EQ(r.ceaStatus.status, S::ErrorRegular);
        EXPECT_EQ(r.ceaErrorStatus.status, CEAErrorStatus::keys::ReadOnlyMappoint);
        EXPECT_EQ(r.ceaErrorStatus.genre, CEAErrorStatus::genres::Transfer);
    }

    // Quota.
    admin("quota", {{"bytes", 1}});
    std::string big = local("over-quota.txt");
    writeFile(big, "more than one byte");
    timeline->addCloseEvent(big);
    runTimeline();
    {
        CorvaneExtendedAttributes r(big);
        EXPECT_EQ(r.ceaStatus.status, S::ErrorRegular);
        EXPECT_EQ(r.ceaErrorStatus.status, CEAErrorStatus::keys::QuotaExceeded);
    }
    admin("quota", {{"bytes", 0}});
}

TEST_F(UploadEvents, LockedResumableUploadStaysWaitingWithOneWarning) {
    team->canResumeUploads = true;
    std::string locked = local("locked.bin");
    writeFile(locked, std::string(200000, 'a'));
    // An interrupted upload leaves its identifier behind, so its run again asks to resume, and finds
    // the item locked.
    admin("faults", {{"method", "POST"},
                     {"path", servicePath("resume/upload")},
                     {"action", "drop"},
                     {"after_bytes", 1000}});
    timeline->setRunAgainDelay(10ms);
    timeline->addUploadEvent(locked);
    timeline->resumeTimeLine();
    for (int i = 0;
         i < 500 && !CorvaneExtendedAttributes(locked).ceaString.getAttribute(CEAString::keys::UploadGUID);
         ++i)
        std::this_thread::sleep_for(10ms);
    admin("lock", {{"path", "/Team/locked.bin"}, {"locked", true}});
    size_t from = logSize();
    runTimeline();
    EXPECT_EQ(CorvaneExtendedAttributes(locked).ceaStatus.status, S::RequireUpload);
    EXPECT_EQ(occurrences(sharedLogText().substr(from),
                          "Warning: Server returned locked whilst attempting upload of file:" + locked),
              1u);
}

TEST_F(UploadEvents, RevisionMismatchWithoutTheServerEntryAsksTheServerForIt) {
    std::string known = local("known.txt"), fresh = local("fresh.txt");
    writeFile(known, "1");
    timeline->addCloseEvent(known);
    runTimeline();
    auto serverRevision = CorvaneExtendedAttributes(known).ceaString.getAttribute(CEAString::keys::Revision);
    ASSERT_TRUE(serverRevision.has_value());
    // The refusal carries no entry: the client fetches it, and records the server's revision.
    writeFile(known, "2");
    admin("faults", {{"method", "POST"},
                     {"path", servicePath("folders")},
                     {"action", "error"},
                     {"errorId", 1077},
                     {"status", 409}});
    timeline->addCloseEvent(known);
    runTimeline();
    {
        CorvaneExtendedAttributes r(known);
        EXPECT_EQ(r.ceaStatus.status, S::ErrorRegular);
        EXPECT_EQ(r.ceaErrorStatus.status, CEAErrorStatus::keys::Conflict);
        EXPECT_EQ(r.ceaString.getAttribute(CEAString::keys::ConflictRevision), serverRevision);
    }
    // Nothing on the server to fetch: an error the user must look at, with no conflict claimed.
    writeFile(fresh, "x");
    admin("faults", {{"method", "POST"},
                     {"path", servicePath("folders")},
                     {"action", "error"},
                     {"errorId", 1077},
                     {"status", 409}});
    timeline->addCloseEvent(fresh);
    runTimeline();
    CorvaneExtendedAttributes r(fresh);
    EXPECT_EQ(r.ceaStatus.status, S::ErrorRegular);
    EXPECT_EQ(r.ceaErrorStatus.status, CEAErrorStatus::keys::NoError);
    EXPECT_FALSE(r.ceaString.getAttribute(CEAString::keys::ConflictRevision).has_value());
}

// A connection cut before the server answered leaves the file untouched and waiting, and its event
// queued: it is sent again by itself, once.
TEST_F(UploadEvents, ServerThatDropsTheConnectionLeavesTheFileWaitingAndSendsItAgain) {
    std::string path = local("flaky.txt");
    writeFile(path, "content");
    admin("faults",
          {{"method", "POST"}, {"path", servicePath("folders")}, {"action", "drop"}, {"after_bytes", 10}});
    timeline->setRunAgainDelay(2s);
    size_t from = logSize();
    timeline->addCloseEvent(path);
    timeline->resumeTimeLine();
    for (int i = 0; i < 500 && !logContains("it waits to be sent", from); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(logContains("Warning: The upload of " + path + " was cut short", from));
    EXPECT_EQ(CorvaneExtendedAttributes(path).ceaStatus.status, S::RequireUpload);
    EXPECT_EQ(timeline->eventCount(), 1u);
    EXPECT_FALSE(fs::exists(serverFile("/Team/flaky.txt")));
    runTimeline();
    EXPECT_EQ(readFile(path), "content");
    EXPECT_EQ(readFile(serverFile("/Team/flaky.txt")), "content");
    EXPECT_EQ(CorvaneExtendedAttributes(path).ceaStatus.status, S::Regular);
}

TEST_F(UploadEvents, ExchangeUploadsBothInOrderEvenWhenTheFirstFails) {
    std::string a = ro->localFolder + "/a.txt";  // refused: read-only mappoint
    std::string b = local("b.txt");
    writeFile(a, "A");
    writeFile(b, "B");
    size_t from = logSize();
    timeline->addExchangeEvent(a, b);
    ASSERT_EQ(timeline->eventCount(), 1u);
    EXPECT_NE(timeline->events()[0]->description().find("Exchange: Upload: " + a + " with: Upload: " + b),
              std::string::npos);
    runTimeline();
    EXPECT_EQ(CorvaneExtendedAttributes(a).ceaStatus.status, S::ErrorRegular);
    EXPECT_EQ(CorvaneExtendedAttributes(b).ceaStatus.status, S::Regular);
    EXPECT_TRUE(logContains("Uploaded file: " + b, from));
    EXPECT_EQ(readFile(serverFile("/Team/b.txt")), "B");
}

TEST_F(UploadEvents, StatusBarShowsTheUploadWhileItRunsAndClearsAfterEveryAttempt) {
    auto& bar = StatusBarManager::sharedInstance();
    std::string path = local("slow.txt");
    writeFile(path, "slow");
    admin("faults",
          {{"method", "POST"}, {"path", servicePath("folders")}, {"action", "delay"}, {"delay_ms", 1500}});
    timeline->addCloseEvent(path);
    timeline->resumeTimeLine();
    bool seen = false;
    for (int i = 0; i < 300 && !seen; ++i) {
        auto s = bar.state();
        seen = bar.uploadActive() && s.uploadFile == path &&
               s.icon == StatusBarManager::icons::statusBarBusyIcon;
        if (!seen) std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(seen);
    ASSERT_TRUE(timeline->waitUntilIdle(30s));
    EXPECT_FALSE(bar.uploadActive());
    EXPECT_EQ(bar.state().icon, StatusBarManager::icons::statusBarIcon);

    // A failed attempt clears it too.
    std::string failing = local("failing.txt");
    writeFile(failing, "f");
    admin("faults",
          {{"method", "POST"}, {"path", servicePath("folders")}, {"action", "error"}, {"errorId", 1083}});
    timeline->addCloseEvent(failing);
    runTimeline();
    EXPECT_FALSE(bar.uploadActive());
    EXPECT_FALSE(bar.state().uploadFile.has_value());
}

class CreateFolderEvents : public UploadEvents {
protected:
    void SetUp() override {
        UploadEvents::SetUp();
        if (!timeline) return;
        timeline->setListingPasses(
            {nullptr, [this](EventContext&, const std::string& path, bool userRequest) {
                 std::lock_guard l(mutex);
                 listings.emplace_back(path, userRequest);
             }});
    }
    void TearDown() override {
        if (timeline) timeline->syncQueue().waitUntilAllOperationsAreFinished(10s);
        UploadEvents::TearDown();
    }
    std::vector<std::pair<std::string, bool>> takeListings() {
        timeline->syncQueue().waitUntilAllOperationsAreFinished(10s);
        std::lock_guard l(mutex);
        return std::exchange(listings, {});
    }
    std::mutex mutex;
    std::vector<std::pair<std::string, bool>> listings;
};

TEST_F(CreateFolderEvents, FolderWithFilesIsCreatedWithItsParentsAndListedOnce) {
    // The parent "a" is new to the server too.
    std::string folder = local("a/b/c");
    fs::create_directories(folder);
    for (auto name : {"1.txt", "2.txt", "3.txt"}) writeFile(folder + "/" + name, name);
    timeline->addCreateFolder(folder);
    ASSERT_EQ(timeline->eventCount(), 1u);
    size_t from = logSize();
    runTimeline();
    EXPECT_TRUE(fs::is_directory(serverFile("/Team/a/b/c")));
    EXPECT_EQ(occurrences(sharedLogText().substr(from), "Created Folder " + folder), 1u);
    // The new folder inherits from the volume root: known, not Unknown any more.
    EXPECT_NE(CorvaneExtendedAttributes(folder).ceaStatus.status, S::Unknown);
    auto listed = takeListings();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0], std::make_pair(folder, false));

    // Already known: not created again.
    timeline->addCreateFolder(folder);
    EXPECT_EQ(timeline->eventCount(), 0u);
}

TEST_F(CreateFolderEvents, EmptyFolderIsCreatedButNotListed) {
    std::string folder = local("empty");
    fs::create_directories(folder);
    timeline->addCreateFolder(folder);
    runTimeline();
    EXPECT_TRUE(fs::is_directory(serverFile("/Team/empty")));
    EXPECT_TRUE(takeListings().empty());
    // Ignored folders never get that far.
    fs::create_directories(local(".TemporaryItems"));
    timeline->addCreateFolder(local(".TemporaryItems"));
    EXPECT_EQ(timeline->eventCount(), 0u);
}

// When its turn comes, a folder may be gone, known to the server already (a listing or an upload into it
// got there first), or refused: none of these creates anything or claims to have.
TEST_F(CreateFolderEvents, AFolderGoneKnownOrRefusedWhenItsTurnComesIsNotCreatedOrAudited) {
    std::string gone = local("gone"), known = local("known"), refused = local("refused");
    for (const auto& f : {gone, known, refused}) fs::create_directories(f);
    for (const auto& f : {gone, known, refused}) timeline->addCreateFolder(f);
    ASSERT_EQ(timeline->eventCount(), 3u);
    fs::remove(gone);
    {
        CorvaneExtendedAttributes r(known);
        r.ceaStatus.setStatus(S::Regular);
        ASSERT_TRUE(r.save());
    }
    // The one request that should go out is refused.
    admin("faults", {{"method", "POST"},
                     {"path", servicePath("folders/Team")},
                     {"action", "error"},
                     {"errorId", 1083},
                     {"status", 403}});
    size_t from = logSize();
    runTimeline();
    for (const char* name : {"gone", "known", "refused"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(fs::exists(serverFile(std::string("/Team/") + name)));
        EXPECT_FALSE(logContains("Created Folder " + local(name), from));
    }
    EXPECT_EQ(CorvaneExtendedAttributes(known).ceaStatus.status, S::Regular);
    EXPECT_EQ(CorvaneExtendedAttributes(refused).ceaStatus.status, S::Unknown) << "left for a later attempt";
    EXPECT_TRUE(takeListings().empty());
}

}  // namespace
}  // namespace tw::test
