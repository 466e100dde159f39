// Bursts of changes that programs (git, tar, editors, office suites) make faster than the timeline
// runs their events, carried to the reference server on loopback with real files and real extended
// attributes. By the time an event runs, its item may have been removed, made again, renamed or
// written to: what the server holds afterwards and the state of the local item are the point.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "Pinewick/engine/RestoreDeletedManager.h"
#include "Pinewick/engine/SyncFolder.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/server/UploadDetails.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/http.h"
#include "platform/keychain.h"
#include "support/client_devserver.h"
#include "support/own_server.h"
#include "support/own_volumes.h"
#include "support/temp_dir.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using S = CEAStatus::keys;

const char* kPassword = "burst-pw";
// Requests a counting fault can see before it is used up.
constexpr int kCounted = 1000;

class BurstEvents : public ::testing::Test {
protected:
    void SetUp() override {
        volumes.answer(env);
        SyncFolder::resetGuard();
        keychain = platform::keychain::makeFileKeychain((dir / "credentials.json").string());
        env.keychain = keychain.get();
        ASSERT_TRUE(devserver.start(dir.path(), *keychain, account, kPassword))
            << "tidewell-devserver did not start";
        platform::http::Session::shared().cookies().removeAll();
        auto& vm = volumes.list;
        team = std::make_shared<VolumeDetail>("Team", ServerConfigurationDetails::sharedInstance());
        team->state = VolumeDetail::volumeStates::Visible;
        vm.addVolume(team);
        fs::create_directories(team->localFolder);
        // A volume with a UUID, as every mounted one has: the metadata database then keeps the
        // revisions of items that are gone, which replaced and re-made files depend on.
        if (!giveTheVolumeAUUID("5A1F0C3E-0000-4000-8000-0000000B0257"))
            GTEST_SKIP() << "user extended attributes not supported here";
        ASSERT_TRUE(ServerCommunicator::ready(env));
        timeline = std::make_unique<TimeLineManager>((dir / "support").string() + "/", volumes.parts(env));
        timeline->setListingPasses({nullptr, [](EventContext& context, const std::string& p, bool user) {
                                        SyncFolder::performSync(context, p, user);
                                    }});
    }
    void TearDown() override {
        timeline.reset();
        RestoreDeletedManager::sharedInstance().waitUntilIdle(10s);
        EXPECT_EQ(devserver.stop(), 0) << devserver.log();
    }

    bool giveTheVolumeAUUID(const std::string& uuid) {
        if (::setxattr(team->localFolder.c_str(), "user.com.meridot.tidewell.volumeuuid", uuid.data(),
                       uuid.size(), 0) != 0)
            return false;
        struct stat st {};
        if (::stat(team->localFolder.c_str(), &st) != 0) return false;
        team->setVolumeSystemNumber(st.st_dev);
        return team->volumeUUID() == uuid;
    }

    std::string local(const std::string& rel) const { return team->localFolder + "/" + rel; }
    fs::path serverFile(const std::string& rel) const { return dir / "root" / "data" / "Team" / rel; }
    CorvaneExtendedAttributes record(const std::string& rel) const {
        return CorvaneExtendedAttributes(local(rel));
    }
    std::string revisionOf(const std::string& rel) const {
        return record(rel).ceaString.getAttribute(CEAString::keys::Revision).value_or("");
    }

    // A file that is on the server, as the sync leaves it after an upload.
    void uploaded(const std::string& rel, const std::string& content) {
        ASSERT_TRUE(writeFile(local(rel), content));
        UploadDetails up(env, local(rel));
        ASSERT_EQ(up.uploadFile(), normalisedResponse::allOkay);
        ASSERT_TRUE(up.fileObject);
        CorvaneExtendedAttributes r(local(rel));
        r.ceaString.setAttribute(CEAString::keys::Revision, up.fileObject->revision);
        r.ceaStatus.setStatus(S::Regular);
        ASSERT_TRUE(r.save());
    }
    // What the watcher reports for a file written and closed.
    void written(const std::string& rel, const std::string& content) {
        ASSERT_TRUE(writeFile(local(rel), content));
        timeline->addCloseEvent(local(rel));
    }
    void deleteLocally(const std::string& rel) {
        CorvaneExtendedAttributes before(local(rel));
        fs::remove_all(local(rel));
        timeline->addDeleteEvent(local(rel), before);
    }
    void moveLocally(const std::string& from, const std::string& to) {
        CorvaneExtendedAttributes before(local(from));
        fs::rename(local(from), local(to));
        timeline->addMoveEvent(local(from), local(to), before);
    }

    // Runs the queued events, the listing passes and all they queue in turn.
    void runTimeline() {
        // A resume while the loop still winds down from a pause is ignored: let it end first.
        for (int i = 0; i < 500 && timeline->suspended() && timeline->eventQueueRunning(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        timeline->resumeTimeLine();
        for (int i = 0; i < 100; ++i) {
            ASSERT_TRUE(timeline->syncQueue().waitUntilAllOperationsAreFinished(60s));
            ASSERT_TRUE(timeline->waitUntilIdle(60s));
            if (timeline->syncQueue().operationCount() == 0 && timeline->eventCount() == 0) break;
        }
        ASSERT_TRUE(RestoreDeletedManager::sharedInstance().waitUntilIdle(10s));
    }

    // Counts the requests that name `rel` (or anything under it): a fault that changes nothing and is
    // used up one request at a time.
    void countRequests(const std::string& rel, const std::string& method = "") {
        devserver.admin("faults", {{"method", method},
                                   {"path", devserver.servicePath("folders/Team/" + rel)},
                                   {"action", "delay"},
                                   {"delay_ms", 0},
                                   {"count", kCounted}});
    }
    int requestsFor(const std::string& rel) {
        // Adding nothing answers the fault queue as it stands.
        for (const auto& f : devserver.admin("faults", nlohmann::json::array()))
            if (f["path"] == devserver.servicePath("folders/Team/" + rel))
                return kCounted - f["count"].get<int>();
        return kCounted;
    }

    TempDir dir{"tw-burst"};
    OwnServer own;
    ServerEnvironment& env = own.env;
    ServerCredentials& account = own.account;
    OwnVolumes volumes;
    ClientDevServer devserver;
    std::unique_ptr<platform::keychain::Keychain> keychain;
    std::shared_ptr<VolumeDetail> team;
    std::unique_ptr<TimeLineManager> timeline;
};

void expectInStep(const CorvaneExtendedAttributes& r) {
    EXPECT_EQ(r.ceaStatus.status, S::Regular) << r.localPath;
    EXPECT_EQ(r.ceaErrorStatus.status, CEAErrorStatus::keys::NoError) << r.localPath;
    EXPECT_FALSE(r.ceaString.getAttribute(CEAString::keys::ConflictRevision)) << r.localPath;
}

// A checkout or an unpacked archive writes a synchronised file, removes it and writes it again before
// any of its events ran: the server ends with what stands there now, as a new revision of the file
// this client had sent itself, neither deleted nor taken for a colleague's conflicting change. The
// first version of kept.txt stays linked elsewhere (a backup's hard link), so its replacement can
// never be taken for it by number.
TEST_F(BurstEvents, SynchronisedFileRemadeUnderItsNameBeforeItsEventsRanIsOneNewRevision) {
    uploaded("notes.txt", "first");
    uploaded("kept.txt", "first");
    const std::string firstRevision = revisionOf("kept.txt");
    fs::create_hard_link(local("kept.txt"), dir / "backup-of-kept.txt");
    for (std::string name : {"notes.txt", "kept.txt"}) {
        written(name, "edited");
        deleteLocally(name);
        written(name, "made again");
    }
    runTimeline();
    for (std::string name : {"notes.txt", "kept.txt"}) {
        EXPECT_EQ(readFile(serverFile(name)), "made again") << name;
        expectInStep(record(name));
    }
    EXPECT_NE(revisionOf("kept.txt"), firstRevision);
}

// The same for a file that had not reached the server yet: its first upload sends what stands there
// now, and the delete of the first version must not remove that from the server.
TEST_F(BurstEvents, NewFileRemadeUnderItsNameBeforeItsEventsRanEndsOnTheServer) {
    written("todo.txt", "first");
    deleteLocally("todo.txt");
    written("todo.txt", "made again");
    runTimeline();
    EXPECT_EQ(readFile(serverFile("todo.txt")), "made again");
    expectInStep(record("todo.txt"));
}

// A lock or temporary file that lived only between two runs of the timeline costs the server nothing.
TEST_F(BurstEvents, ItemsMadeAndRemovedBeforeTheirEventsRanSendNoRequest) {
    countRequests("~lock.report.odt");
    countRequests("tmp-unpack");
    written("~lock.report.odt", "me,host");
    deleteLocally("~lock.report.odt");
    fs::create_directories(local("tmp-unpack"));
    timeline->addCreateFolder(local("tmp-unpack"));
    deleteLocally("tmp-unpack");
    runTimeline();
    EXPECT_EQ(requestsFor("~lock.report.odt"), 0);
    EXPECT_EQ(requestsFor("tmp-unpack"), 0);
    EXPECT_FALSE(fs::exists(serverFile("~lock.report.odt")));
    EXPECT_FALSE(fs::exists(serverFile("tmp-unpack")));
}

// Saving through a lock file renamed over the document: the server keeps one document with a new
// revision, whether or not the lock file had reached the server before the rename.
TEST_F(BurstEvents, FileRenamedOverASynchronisedOneReplacesItOnTheServer) {
    uploaded("plan.txt", "old plan");
    const std::string planRevision = revisionOf("plan.txt");
    uploaded("budget.txt", "old budget");
    written("budget.lock", "new budget");
    runTimeline();  // this lock file reaches the server before its rename
    ASSERT_TRUE(fs::exists(serverFile("budget.lock")));
    const std::string lockRevision = revisionOf("budget.lock");

    // This one is renamed before the timeline runs again: held, it cannot reach the server first.
    timeline->pauseTimeLine();
    countRequests("plan.txt", "DELETE");
    written("plan.lock", "new plan");
    moveLocally("plan.lock", "plan.txt");
    moveLocally("budget.lock", "budget.txt");
    runTimeline();

    EXPECT_EQ(readFile(serverFile("plan.txt")), "new plan");
    EXPECT_FALSE(fs::exists(serverFile("plan.lock")));
    expectInStep(record("plan.txt"));
    EXPECT_NE(revisionOf("plan.txt"), planRevision);
    EXPECT_EQ(requestsFor("plan.txt"), 0) << "the document was deleted on the server, not replaced";

    EXPECT_EQ(readFile(serverFile("budget.txt")), "new budget");
    EXPECT_FALSE(fs::exists(serverFile("budget.lock")));
    expectInStep(record("budget.txt"));
    EXPECT_EQ(revisionOf("budget.txt"), lockRevision);
}

// Renamed before anything was sent: the server gets the items under the names they have now, and
// nothing under the names they had.
TEST_F(BurstEvents, ItemsRenamedBeforeTheyWereSentArriveUnderTheirNewNames) {
    written("draft.txt", "draft");
    moveLocally("draft.txt", "final.txt");

    // A copied folder renamed at once (cp -r src copy; mv copy moved). A dozen files: a listing of the
    // new folder in place of sending what it holds would keep them back as a mass removal.
    for (int i = 0; i < 12; ++i) uploaded("src/" + std::to_string(i) + ".txt", "file " + std::to_string(i));
    uploaded("src/inner/deep.txt", "deep");
    fs::copy(local("src"), local("copy"), fs::copy_options::recursive);
    timeline->addCreateFolder(local("copy"));
    timeline->addCreateFolder(local("copy/inner"));
    for (const auto& entry : fs::recursive_directory_iterator(local("copy")))
        if (entry.is_regular_file()) timeline->addCloseEvent(entry.path().string());
    moveLocally("copy", "moved");
    runTimeline();

    EXPECT_EQ(readFile(serverFile("final.txt")), "draft");
    EXPECT_FALSE(fs::exists(serverFile("draft.txt")));
    expectInStep(record("final.txt"));

    EXPECT_FALSE(fs::exists(serverFile("copy")));
    for (int i = 0; i < 12; ++i) {
        std::string name = std::to_string(i) + ".txt";
        EXPECT_EQ(readFile(serverFile("moved/" + name)), "file " + std::to_string(i)) << name;
        EXPECT_EQ(readFile(serverFile("src/" + name)), "file " + std::to_string(i)) << name;
        expectInStep(record("moved/" + name));
    }
    EXPECT_EQ(readFile(serverFile("moved/inner/deep.txt")), "deep");
    EXPECT_TRUE(SyncFolder::foldersAwaitingConfirmation().empty());
}

// Written to while its upload ran: the server has the version that was read, the file has more, and
// it goes up again.
TEST_F(BurstEvents, FileChangedWhileItsUploadRanIsSentAgain) {
    devserver.fault({{"method", "POST"},
                     {"path", devserver.servicePath("folders/Team/log.txt")},
                     {"action", "delay"},
                     {"delay_ms", 1500}});
    written("log.txt", "entry 1");
    timeline->resumeTimeLine();
    // The fault is used up once the upload is at the server, its bytes sent with it.
    bool atServer = false;
    for (int i = 0; i < 500 && !atServer; ++i) {
        atServer = devserver.admin("faults", nlohmann::json::array()).empty();
        if (!atServer) std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(atServer);
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(writeFile(local("log.txt"), "entry 2"));  // the same size: only the time tells
    ASSERT_TRUE(timeline->waitUntilIdle(60s));
    // The server has what was read; the file is not taken for the revision just made.
    EXPECT_EQ(readFile(serverFile("log.txt")), "entry 1");
    EXPECT_EQ(record("log.txt").ceaStatus.status, S::RequireUpload);

    // The watcher's report of the close queues the upload that sends the rest.
    timeline->addCloseEvent(local("log.txt"));
    ASSERT_TRUE(timeline->waitUntilIdle(60s));
    EXPECT_EQ(readFile(serverFile("log.txt")), "entry 2");
    expectInStep(record("log.txt"));
}

}  // namespace
}  // namespace tw::test
