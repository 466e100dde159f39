// Local deletes and moves carried to the reference server on loopback, with real files and real
// extended attributes: what the server holds, what comes back locally, and what survives a crash.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "Pinewick/engine/RestoreDeletedManager.h"
#include "Pinewick/engine/SyncFolder.h"
#include "Pinewick/engine/TLEvent.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/UploadDetails.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/keychain.h"
#include "support/child_process.h"
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
using E = CEAErrorStatus::keys;

const char* kPassword = "pa&ss=word";

class DeleteMoveEvents : public ::testing::Test {
protected:
    void SetUp() override {
        volumes.answer(env);
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
        ASSERT_TRUE(ServerCommunicator::ready(env));
        timeline = std::make_unique<TimeLineManager>(support(), volumes.parts(env));
    }
    void TearDown() override {
        timeline.reset();
        RestoreDeletedManager::sharedInstance().waitUntilIdle(10s);
        EXPECT_EQ(devserver.stop(), 0) << devserver.log();
    }

    std::string support() const { return (dir / "support").string() + "/"; }
    std::string local(const std::string& rel) const { return team->localFolder + "/" + rel; }
    fs::path serverFile(const std::string& rel) const { return dir / "root" / "data" / "Team" / rel; }
    void admin(const std::string& resource, const nlohmann::json& body) { devserver.admin(resource, body); }

    // A file that is on the server, as the sync leaves it after an upload.
    CorvaneExtendedAttributes uploaded(const std::string& rel, const std::string& content = "data") {
        std::string path = local(rel);
        fs::create_directories(fs::path(path).parent_path());
        EXPECT_TRUE(writeFile(path, content));
        UploadDetails up(env, path);
        EXPECT_EQ(up.uploadFile(), normalisedResponse::allOkay);
        CorvaneExtendedAttributes record(path);
        if (up.fileObject) record.ceaString.setAttribute(CEAString::keys::Revision, up.fileObject->revision);
        record.ceaStatus.setStatus(S::Regular);
        EXPECT_TRUE(record.save());
        return CorvaneExtendedAttributes(path);
    }
    // A file on the server put back here after its delete was refused as a conflict, holding `bytes`
    // (the marker, unless written to since).
    void putBack(const std::string& rel, const std::string& serverContent, const std::string& bytes) {
        auto record = uploaded(rel, serverContent);
        ASSERT_TRUE(writeFile(local(rel), bytes));
        record.ceaStatus.setStatus(S::ErrorPlaceHolder);
        record.ceaErrorStatus.setStatus(E::Conflict);
        record.ceaErrorStatus.setGenre(CEAErrorStatus::genres::Delete);
        record.ceaLong.setAttribute(CEALong::keys::ServerFileSize, serverContent.size());
        ASSERT_TRUE(record.save());
    }
    // Records its UUID on the volume folder, as an image carries one, so the database keeps rows for
    // its items. False when this file system takes no user attributes.
    bool giveTheVolumeAUUID(const std::string& uuid) {
        if (::setxattr(team->localFolder.c_str(), "user.com.meridot.tidewell.volumeuuid", uuid.data(),
                       uuid.size(), 0) != 0)
            return false;
        struct stat st {};
        if (::stat(team->localFolder.c_str(), &st) != 0) return false;
        team->setVolumeSystemNumber(st.st_dev);
        return true;
    }
    void deleteLocally(const std::string& rel) {
        CorvaneExtendedAttributes before(local(rel));
        fs::remove_all(local(rel));
        timeline->addDeleteEvent(local(rel), before);
    }
    void moveLocally(const std::string& from, const std::string& to) {
        CorvaneExtendedAttributes before(from);
        fs::rename(from, to);
        timeline->addMoveEvent(from, to, before);
    }
    void runTimeline() {
        // A resume while the loop still winds down from a pause is ignored: let it end first.
        for (int i = 0; i < 500 && timeline->suspended() && timeline->eventQueueRunning(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        timeline->resumeTimeLine();
        ASSERT_TRUE(timeline->waitUntilIdle(60s));
        ASSERT_TRUE(RestoreDeletedManager::sharedInstance().waitUntilIdle(10s));
    }

    TempDir dir;
    OwnServer own;
    ServerEnvironment& env = own.env;
    ServerCredentials& account = own.account;
    OwnVolumes volumes;
    ClientDevServer devserver;
    std::unique_ptr<platform::keychain::Keychain> keychain;
    std::shared_ptr<VolumeDetail> team;
    std::unique_ptr<TimeLineManager> timeline;
};

// ---- deletes

TEST_F(DeleteMoveEvents, DeletedRegularFileGoesFromTheServerWithItsAuditLine) {
    uploaded("doc.txt");
    ASSERT_TRUE(fs::exists(serverFile("doc.txt")));
    size_t from = logSize();
    deleteLocally("doc.txt");
    runTimeline();
    EXPECT_FALSE(fs::exists(serverFile("doc.txt")));
    EXPECT_TRUE(logContains("Delete of item " + local("doc.txt") + " requested by user", from));
    EXPECT_FALSE(fs::exists(local("doc.txt")));
}

TEST_F(DeleteMoveEvents, AFileChangedSinceItsUploadIsDeletedOnTheServerToo) {
    // Uploaded, then written to again (waiting to send the change), then removed before its record
    // could be read: only the database row still says which revision the server holds.
    const std::string uuid = "5A1F0C3E-0000-4000-8000-00000000D32A";
    if (!giveTheVolumeAUUID(uuid)) GTEST_SKIP() << "user extended attributes not supported here";
    auto sent = uploaded("draft.txt", "first");
    ASSERT_TRUE(fs::exists(serverFile("draft.txt")));
    writeFile(local("draft.txt"), "second");
    {
        CorvaneExtendedAttributes changed(local("draft.txt"));
        changed.ceaStatus.setStatus(S::RequireUpload);
        ASSERT_TRUE(changed.save());
    }
    auto row = MetadataDataBase::sharedInstance().findRecord(sent.fileNumber, uuid);
    ASSERT_TRUE(row && !row->revision.empty());
    fs::remove(local("draft.txt"));
    timeline->addDeleteEvent(local("draft.txt"), CorvaneExtendedAttributes(local("draft.txt")));
    runTimeline();
    EXPECT_FALSE(fs::exists(serverFile("draft.txt")));
}

// As a checkout leaves it: files removed and written again, removed for good, and new, queued in
// that order. Uploads and deletes of distinct files go side by side; each file's own events keep
// their order, or a delete would take the new copy from the server.
TEST_F(DeleteMoveEvents, ABurstOfRemovedAndRewrittenFilesEndsAsTheLocalTree) {
    ASSERT_GE(timeline->uploadsAtOnce(), 2u);
    const int kFiles = 24;
    auto name = [](int i) { return "co/f" + std::to_string(i) + ".txt"; };
    for (int i = 0; i < kFiles; ++i) uploaded(name(i), "old " + std::to_string(i));
    size_t from = logSize();
    for (int i = 0; i < kFiles; ++i) {
        deleteLocally(name(i));
        if (i % 3 == 0) continue;
        ASSERT_TRUE(writeFile(local(name(i)), "new " + std::to_string(i)));
        timeline->addCloseEvent(local(name(i)));
    }
    for (int i = kFiles; i < kFiles + 8; ++i) {
        ASSERT_TRUE(writeFile(local(name(i)), "new " + std::to_string(i)));
        timeline->addCloseEvent(local(name(i)));
    }
    runTimeline();
    for (int i = 0; i < kFiles + 8; ++i) {
        if (i < kFiles && i % 3 == 0) {
            EXPECT_FALSE(fs::exists(serverFile(name(i)))) << name(i);
            continue;
        }
        EXPECT_EQ(readFile(serverFile(name(i))), "new " + std::to_string(i)) << name(i);
        EXPECT_EQ(CorvaneExtendedAttributes(local(name(i))).ceaStatus.status, S::Regular) << name(i);
    }
    EXPECT_FALSE(logContains("refused as a conflict", from));
    EXPECT_FALSE(logContains("Failed to remove item", from));
}

// The folder went while its creation was on its way: the delete's record predates the creation, yet
// the server must not keep the folder.
TEST_F(DeleteMoveEvents, AFolderRemovedWhileTheServerCreatesItGoesFromTheServerToo) {
    if (!giveTheVolumeAUUID("5A1F0C3E-0000-4000-8000-00000000D32B"))
        GTEST_SKIP() << "user extended attributes not supported here";
    fs::create_directories(local("made"));
    struct stat st {};
    ASSERT_EQ(::stat(local("made").c_str(), &st), 0);
    // The record the watcher sends with a delete: the item's identity and its record as it stands.
    CorvaneExtendedAttributes before(local("made"), std::string());
    before.volumeNumber = st.st_dev;
    before.fileNumber = st.st_ino;
    admin("faults", {{"method", "POST"},
                     {"path", devserver.servicePath("folders/Team")},
                     {"action", "delay"},
                     {"delay_ms", 1500}});
    timeline->addCreateFolder(local("made"), false);
    timeline->resumeTimeLine();
    std::this_thread::sleep_for(500ms);
    fs::remove(local("made"));
    timeline->addDeleteEvent(local("made"), before);
    ASSERT_TRUE(timeline->waitUntilIdle(60s));
    EXPECT_FALSE(fs::exists(serverFile("made")));
}

// A pause that comes as a delete finishes runs it again from the start. Handed to the file made again
// under its name, the second run must not take that file's copy from the server.
TEST_F(DeleteMoveEvents, ADeleteRunAgainAfterItsHandOverLeavesTheServerCopy) {
    auto sent = uploaded("again.txt", "first");
    auto revision = sent.ceaString.getAttribute(CEAString::keys::Revision);
    ASSERT_TRUE(revision);
    // Saved as editors save: a new file renamed over the old one.
    ASSERT_TRUE(writeFile(local("again.new"), "second"));
    fs::rename(local("again.new"), local("again.txt"));
    TLDelete del(local("again.txt"), sent);
    del.performAction(timeline->context());
    ASSERT_EQ(CorvaneExtendedAttributes(local("again.txt")).ceaString.getAttribute(CEAString::keys::Revision),
              revision)
        << "the file made again continues the revision";
    del.performAction(timeline->context());
    EXPECT_TRUE(fs::exists(serverFile("again.txt")));
    EXPECT_FALSE(del.takeRunAgain());
}

// The file was renamed to another spelling of its name (as the server spells it) and the old name's
// delete came after: the server compares names without regard to case, so sending it would take the
// file that is still here.
TEST_F(DeleteMoveEvents, ADeleteOfAnotherSpellingOfAFileStillHereIsNotSent) {
    auto sent = uploaded("Spelt.txt", "kept");
    fs::rename(local("Spelt.txt"), local("SPELT.TXT"));
    size_t from = logSize();
    timeline->addDeleteEvent(local("Spelt.txt"), sent);
    // Made again under another spelling, a new file continues the server's item instead.
    auto other = uploaded("other.txt", "old");
    fs::remove(local("other.txt"));
    ASSERT_TRUE(writeFile(local("OTHER.txt"), "new"));
    timeline->addDeleteEvent(local("other.txt"), other);
    timeline->addCloseEvent(local("OTHER.txt"));
    runTimeline();
    EXPECT_EQ(readFile(serverFile("Spelt.txt")), "kept");
    EXPECT_TRUE(fs::exists(local("SPELT.TXT")));
    EXPECT_FALSE(logContains("Delete of item " + local("Spelt.txt") + " requested by user", from));
    bool either = fs::exists(serverFile("other.txt")) || fs::exists(serverFile("OTHER.txt"));
    EXPECT_TRUE(either);
    EXPECT_EQ(
        readFile(fs::exists(serverFile("other.txt")) ? serverFile("other.txt") : serverFile("OTHER.txt")),
        "new");
    EXPECT_FALSE(logContains("refused as a conflict", from));
}

TEST_F(DeleteMoveEvents, ReadOnlyItemIsNotQueuedButRestoredAsPermissionDenied) {
    auto record = uploaded("ro.txt");
    record.ceaBool.setAttribute(CEABool::keys::ReadOnly, true);
    ASSERT_TRUE(record.save());
    deleteLocally("ro.txt");
    EXPECT_EQ(timeline->eventCount(), 0u);
    ASSERT_TRUE(RestoreDeletedManager::sharedInstance().waitUntilIdle(10s));
    ASSERT_TRUE(fs::exists(local("ro.txt")));
    EXPECT_EQ(readFile(local("ro.txt")), RestoreDeletedManager::kGhostMarker);
    CorvaneExtendedAttributes back(local("ro.txt"));
    EXPECT_EQ(back.ceaStatus.status, S::ErrorPlaceHolder);
    EXPECT_EQ(back.ceaErrorStatus.status, E::PermissionDenied);
    EXPECT_EQ(back.ceaErrorStatus.genre, CEAErrorStatus::genres::Delete);
    EXPECT_TRUE(fs::exists(serverFile("ro.txt")));
}

TEST_F(DeleteMoveEvents, LockedItemIsTriedOnceMoreWithBothAuditLines) {
    uploaded("locked.txt");
    // Three refusals exhaust the request's own retries; the event's retry then succeeds.
    admin("faults",
          {{"method", "DELETE"}, {"action", "error"}, {"errorId", 26}, {"status", 423}, {"count", 3}});
    size_t from = logSize();
    deleteLocally("locked.txt");
    runTimeline();
    EXPECT_TRUE(logContains("Retrying delete of item " + local("locked.txt"), from));
    EXPECT_TRUE(logContains("Delete of item " + local("locked.txt") + " requested by user", from));
    EXPECT_FALSE(fs::exists(serverFile("locked.txt")));
    EXPECT_FALSE(fs::exists(local("locked.txt")));
}

TEST_F(DeleteMoveEvents, FolderTheServerStillFillsComesBackAsFolderNotEmpty) {
    uploaded("full/inner.txt");
    CorvaneExtendedAttributes folder(local("full"));
    // The inner file was deleted earlier; the server still holds it.
    deleteLocally("full");
    runTimeline();
    ASSERT_TRUE(fs::is_directory(local("full")));
    CorvaneExtendedAttributes back(local("full"));
    EXPECT_EQ(back.ceaStatus.status, S::ErrorPlaceHolder);
    EXPECT_EQ(back.ceaErrorStatus.status, E::FolderNotEmpty);
    EXPECT_EQ(back.ceaErrorStatus.genre, CEAErrorStatus::genres::Delete);
    EXPECT_TRUE(fs::exists(serverFile("full/inner.txt")));
}

TEST_F(DeleteMoveEvents, RevisionConflictRestoresTheFileWithConflict) {
    uploaded("changed.txt");
    admin("item", {{"path", "/Team/changed.txt"}, {"revision", "77"}});
    deleteLocally("changed.txt");
    runTimeline();
    CorvaneExtendedAttributes back(local("changed.txt"));
    EXPECT_EQ(back.ceaStatus.status, S::ErrorPlaceHolder);
    EXPECT_EQ(back.ceaErrorStatus.status, E::Conflict);
    EXPECT_EQ(back.ceaString.getAttribute(CEAString::keys::Revision), "77");
    EXPECT_TRUE(fs::exists(serverFile("changed.txt")));
}

TEST_F(DeleteMoveEvents, RefusalsOfAReadOnlyMappointOrWithoutPermissionRestoreAsPermissionDenied) {
    uploaded("ro-mappoint.txt");
    uploaded("denied.txt");
    admin("faults", {{"method", "DELETE"},
                     {"path", devserver.servicePath("folders/Team/ro-mappoint.txt")},
                     {"action", "error"},
                     {"errorId", 1082},
                     {"status", 403}});
    admin("faults", {{"method", "DELETE"},
                     {"path", devserver.servicePath("folders/Team/denied.txt")},
                     {"action", "error"},
                     {"errorId", 1083},
                     {"status", 403}});
    size_t from = logSize();
    deleteLocally("ro-mappoint.txt");
    deleteLocally("denied.txt");
    runTimeline();
    for (const char* name : {"ro-mappoint.txt", "denied.txt"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(fs::exists(local(name)));
        CorvaneExtendedAttributes back(local(name));
        EXPECT_EQ(back.ceaStatus.status, S::ErrorPlaceHolder);
        EXPECT_EQ(back.ceaErrorStatus.status, E::PermissionDenied);
        EXPECT_EQ(back.ceaErrorStatus.genre, CEAErrorStatus::genres::Delete);
        EXPECT_TRUE(fs::exists(serverFile(name)));
    }
    EXPECT_FALSE(logContains("Unhandled delete error", from)) << "both are foreseen refusals";
}

TEST_F(DeleteMoveEvents, ARefusalThatLeavesNothingToRestoreIsAuditedWithItsReason) {
    uploaded("broken.txt");
    uploaded("vanishing.txt");
    // The server's file system fails: such a refusal brings no entry back.
    admin("faults", {{"method", "DELETE"},
                     {"path", devserver.servicePath("folders/Team/broken.txt")},
                     {"action", "error"},
                     {"errorId", 1001},
                     {"status", 500}});
    // Refused, and asked again the server no longer says what it holds.
    admin("faults", {{"method", "DELETE"},
                     {"path", devserver.servicePath("folders/Team/vanishing.txt")},
                     {"action", "error"},
                     {"errorId", 1083},
                     {"status", 403}});
    admin("faults", {{"method", "GET"},
                     {"path", devserver.servicePath("folders/Team/vanishing.txt")},
                     {"action", "error"},
                     {"errorId", 20},
                     {"status", 404}});
    size_t from = logSize();
    deleteLocally("broken.txt");
    deleteLocally("vanishing.txt");
    runTimeline();
    EXPECT_TRUE(logContains(
        "Failed to remove item " + local("broken.txt") + " because of error smbFileSystemError", from));
    EXPECT_TRUE(logContains(
        "Failed to remove item " + local("vanishing.txt") + " because of error permissionDenied", from));
    // Nothing to put back: the local delete stands, and the server keeps its copy.
    EXPECT_FALSE(fs::exists(local("broken.txt")));
    EXPECT_FALSE(fs::exists(local("vanishing.txt")));
    EXPECT_TRUE(fs::exists(serverFile("broken.txt")));
    EXPECT_EQ(timeline->eventCount(), 0u) << "not queued again";
}

// Each refusal's reason as the restored item shows it. An unforeseen reason never reaches this through
// the server today (such a refusal is fatal and brings no entry to restore), but should one ever come
// back, it must carry a status the user can act on.
TEST(DeleteRefusals, EachReasonBecomesTheErrorStatusTheItemComesBackWith) {
    using SE = serverError;
    EXPECT_EQ(TLDelete::formErrorStatus(SE::couldNotLockFile), E::FileInUse);
    EXPECT_EQ(TLDelete::formErrorStatus(SE::revisionsDoNotMatch), E::Conflict);
    EXPECT_EQ(TLDelete::formErrorStatus(SE::mappointIsReadOnly), E::PermissionDenied);
    EXPECT_EQ(TLDelete::formErrorStatus(SE::permissionDenied), E::PermissionDenied);
    EXPECT_EQ(TLDelete::formErrorStatus(SE::folderNotEmpty), E::FolderNotEmpty);
    size_t from = logSize();
    EXPECT_EQ(TLDelete::formErrorStatus(SE::smbFileSystemError), E::PermissionDenied);
    EXPECT_TRUE(logContains("Unhandled delete error smbFileSystemError assuming permission denied", from));
}

TEST_F(DeleteMoveEvents, ItemTheServerNoLongerHasIsOnlyAudited) {
    uploaded("gone.txt");
    // Someone else deleted it on the server meanwhile.
    ASSERT_EQ(DeleteDetails(env, local("gone.txt"), false, "").performServerDelete(),
              normalisedResponse::allOkay);
    size_t from = logSize();
    deleteLocally("gone.txt");
    runTimeline();
    EXPECT_TRUE(logContains("Ignoring delete of item " + local("gone.txt"), from));
    EXPECT_FALSE(fs::exists(local("gone.txt")));
}

// A delete or move the server never heard of (nothing could be sent) waits, first in line and still
// on disk, and runs once the server can be reached: dropped, the file would come back at the next
// listing, or a moved one appear twice.
TEST_F(DeleteMoveEvents, DeletesAndMovesThatCouldNotBeSentWaitInOrderUntilTheServerAnswers) {
    uploaded("gone.txt");
    uploaded("old.txt", "moved");
    uploaded("Case.txt", "case");
    std::atomic<bool> online{false};
    env.networkAvailable = [&] { return online.load(); };
    timeline->setRunAgainDelay(50ms);
    size_t from = logSize();
    deleteLocally("gone.txt");
    moveLocally(local("old.txt"), local("new.txt"));
    moveLocally(local("Case.txt"), local("CASE.txt"));
    timeline->resumeTimeLine();
    ASSERT_TRUE(timeline->waitUntilDurable(10s));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(timeline->eventCount(), 3u) << "nothing may be dropped while the server is out of reach";
    EXPECT_TRUE(logContains("The delete of " + local("gone.txt") + " did not reach the server", from));
    EXPECT_TRUE(fs::exists(serverFile("gone.txt")));
    EXPECT_TRUE(fs::exists(serverFile("old.txt")));
    EXPECT_NE(readFile(timeline->timelinePath()).find(local("gone.txt")), std::string::npos)
        << "a crash now must still find the delete";

    online = true;
    ASSERT_TRUE(timeline->waitUntilIdle(60s));
    EXPECT_FALSE(fs::exists(serverFile("gone.txt")));
    EXPECT_FALSE(fs::exists(serverFile("old.txt")));
    EXPECT_EQ(readFile(serverFile("new.txt")), "moved");
    EXPECT_TRUE(fs::exists(serverFile("CASE.txt")));
    EXPECT_FALSE(fs::exists(serverFile("Case.txt.TWCC")));
    EXPECT_FALSE(logContains("Failed to remove item " + local("gone.txt"), from));
    EXPECT_TRUE(logContains("Delete of item " + local("gone.txt") + " requested by user", from));
}

// An answer cut off after the server acted: the event runs again, and the second run is harmless.
TEST_F(DeleteMoveEvents, AnAnswerLostAfterTheServerActedRunsAgainHarmlessly) {
    uploaded("cut.txt");
    uploaded("from.txt", "f");
    env.sleep = [](std::chrono::seconds) {};  // the back-off after the cut
    timeline->setRunAgainDelay(50ms);
    admin("faults", {{"method", "DELETE"}, {"action", "drop"}, {"stage", "response"}, {"after_bytes", 0}});
    admin("faults", {{"method", "POST"},
                     {"path", devserver.servicePath("folders/Team/from.txt")},
                     {"action", "drop"},
                     {"stage", "response"},
                     {"after_bytes", 0}});
    size_t from = logSize();
    deleteLocally("cut.txt");
    moveLocally(local("from.txt"), local("to.txt"));
    runTimeline();
    EXPECT_FALSE(fs::exists(serverFile("cut.txt")));
    EXPECT_EQ(readFile(serverFile("to.txt")), "f");
    EXPECT_FALSE(fs::exists(local("cut.txt")));
    EXPECT_TRUE(fs::exists(local("to.txt")));
    EXPECT_FALSE(logContains("Failed to remove item", from));
}

// ---- restores

TEST(RestoreDeleted, TenRequestsHalfASecondApartAllRunAboutOneSecondAfterTheLast) {
    TempDir dir;
    RestoreDeletedManager restorer(1s);
    ServerFileObject entry;
    entry.isDirectory = false;
    entry.revision = "3";
    std::chrono::steady_clock::time_point last;
    for (int i = 0; i < 10; ++i) {
        restorer.replaceItem((dir / ("f" + std::to_string(i))).string(), entry, E::Conflict);
        last = std::chrono::steady_clock::now();
        if (i < 9) {
            std::this_thread::sleep_for(500ms);
            // Still held: nothing has been restored while requests keep coming.
            EXPECT_FALSE(fs::exists(dir / "f0")) << "after request " << i;
        }
    }
    std::this_thread::sleep_for(700ms);
    EXPECT_FALSE(fs::exists(dir / "f0"));
    ASSERT_TRUE(restorer.waitUntilIdle(5s));
    auto done = std::chrono::steady_clock::now();
    EXPECT_LT(done - last, 2s);
    for (int i = 0; i < 10; ++i) {
        std::string path = (dir / ("f" + std::to_string(i))).string();
        EXPECT_EQ(readFile(path), RestoreDeletedManager::kGhostMarker);
        EXPECT_EQ(CorvaneExtendedAttributes(path).ceaStatus.status, S::ErrorPlaceHolder);
    }
}

TEST(RestoreDeleted, AnExistingItemIsNeverReplaced) {
    TempDir dir;
    RestoreDeletedManager restorer(50ms);
    std::string path = (dir / "mine.txt").string();
    ASSERT_TRUE(writeFile(path, "the user's own"));
    ServerFileObject entry;
    entry.isDirectory = false;
    restorer.replaceItem(path, entry, E::Conflict);
    ASSERT_TRUE(restorer.waitUntilIdle(5s));
    EXPECT_EQ(readFile(path), "the user's own");
    EXPECT_NE(CorvaneExtendedAttributes(path).ceaStatus.status, S::ErrorPlaceHolder);
}

// ---- moves

TEST_F(DeleteMoveEvents, RenameInsideTheMappointMovesOnTheServerKeepingTheRevision) {
    auto record = uploaded("old.txt", "body");
    auto revision = record.ceaString.getAttribute(CEAString::keys::Revision);
    fs::create_directories(local("sub"));
    ASSERT_EQ(CreateFolderDetails(env, local("sub"), std::chrono::system_clock::now()).createFolder(),
              normalisedResponse::allOkay);
    moveLocally(local("old.txt"), local("sub/new.txt"));
    runTimeline();
    EXPECT_FALSE(fs::exists(serverFile("old.txt")));
    EXPECT_EQ(readFile(serverFile("sub/new.txt")), "body");
    EXPECT_EQ(
        CorvaneExtendedAttributes(local("sub/new.txt")).ceaString.getAttribute(CEAString::keys::Revision),
        revision);
}

TEST_F(DeleteMoveEvents, FolderRenameMovesItsChildrenAndTheirDatabaseRowsFollow) {
    const std::string uuid = "5A1F0C3E-0000-4000-8000-00000000D31E";
    if (!giveTheVolumeAUUID(uuid)) GTEST_SKIP() << "user extended attributes not supported here";
    ASSERT_EQ(team->volumeUUID(), uuid);

    fs::create_directories(local("album"));
    ASSERT_EQ(CreateFolderDetails(env, local("album"), std::chrono::system_clock::now()).createFolder(),
              normalisedResponse::allOkay);
    {
        CorvaneExtendedAttributes folder(local("album"));
        folder.ceaStatus.setStatus(S::Regular);
        ASSERT_TRUE(folder.save());
    }
    auto photo = uploaded("album/p1.jpg", "jpeg");
    auto& database = MetadataDataBase::sharedInstance();
    ASSERT_TRUE(database.findRecord(photo.fileNumber, uuid).has_value());
    moveLocally(local("album"), local("pictures"));
    runTimeline();
    EXPECT_EQ(readFile(serverFile("pictures/p1.jpg")), "jpeg");
    EXPECT_FALSE(fs::exists(serverFile("album")));
    auto row = database.findRecord(photo.fileNumber, uuid);
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->path, local("pictures/p1.jpg"));
    EXPECT_EQ(
        CorvaneExtendedAttributes(local("pictures/p1.jpg")).ceaString.getAttribute(CEAString::keys::Revision),
        photo.ceaString.getAttribute(CEAString::keys::Revision));
}

// A folder made locally is created on the server by the first upload into it; renaming it then must move
// it (with its files) on the server, never create an empty one that a listing would empty locally too.
TEST_F(DeleteMoveEvents, FolderCreatedByAnUploadIntoItIsMovedWithItsFilesNotRecreatedEmpty) {
    fs::create_directories(local("made-here"));
    auto inside = uploaded("made-here/inside.txt", "kept");
    EXPECT_NE(CorvaneExtendedAttributes(local("made-here")).ceaStatus.status, S::Unknown)
        << "the folder the upload created on the server still looks never synchronised";
    // The same rename with the folder's record still unclassified (written before the upload's
    // answer, say): the server has the folder, so it is moved there too.
    fs::create_directories(local("older"));
    uploaded("older/note.txt", "note");
    {
        CorvaneExtendedAttributes folder(local("older"));
        folder.ceaStatus.setStatus(S::Unknown);
        ASSERT_TRUE(folder.save());
    }
    moveLocally(local("made-here"), local("renamed"));
    moveLocally(local("older"), local("older-renamed"));
    runTimeline();
    EXPECT_EQ(readFile(serverFile("renamed/inside.txt")), "kept");
    EXPECT_EQ(readFile(serverFile("older-renamed/note.txt")), "note");
    EXPECT_FALSE(fs::exists(serverFile("made-here")));
    EXPECT_FALSE(fs::exists(serverFile("older")));
    SyncFolder::performSync(timeline->context(), local("renamed"), true);
    SyncFolder::performSync(timeline->context(), local("older-renamed"), true);
    ASSERT_TRUE(timeline->waitUntilIdle(60s));
    EXPECT_EQ(readFile(local("renamed/inside.txt")), "kept");
    EXPECT_EQ(readFile(local("older-renamed/note.txt")), "note");
}

// An editor saves by writing a temporary file and renaming it over the original: the server keeps one
// item that gets a new revision, with no conflict and no delete.
TEST_F(DeleteMoveEvents, SafeSaveOverASynchronisedFileIsANewRevisionOfTheSameItem) {
    if (!giveTheVolumeAUUID("5A1F0C3E-0000-4000-8000-00000000D31F"))
        GTEST_SKIP() << "user extended attributes not supported here";

    auto before = uploaded("essay.txt", "first words");
    const std::string oldRevision = before.ceaString.getAttribute(CEAString::keys::Revision).value_or("");
    ASSERT_FALSE(oldRevision.empty());
    ASSERT_TRUE(writeFile(local(".essay.txt.swp"), "better words"));
    moveLocally(local(".essay.txt.swp"), local("essay.txt"));
    runTimeline();
    EXPECT_EQ(readFile(serverFile("essay.txt")), "better words");
    CorvaneExtendedAttributes after(local("essay.txt"));
    EXPECT_EQ(after.ceaStatus.status, S::Regular);
    EXPECT_EQ(after.ceaErrorStatus.status, CEAErrorStatus::keys::NoError);
    EXPECT_NE(after.ceaString.getAttribute(CEAString::keys::Revision).value_or(oldRevision), oldRevision);
    EXPECT_FALSE(fs::exists(serverFile(".essay.txt.swp")));
}

// sed -i renames its temporary file over the original, and rm -r may take the result before the
// move has written the server revision into its record: the delete that follows must still find that
// revision. (A FIFO stands for the item the record cannot be written to.)
TEST_F(DeleteMoveEvents, AFileRenamedOverASynchronisedOneWhoseRecordCannotBeWrittenStillLeavesTheServer) {
    if (!giveTheVolumeAUUID("5A1F0C3E-0000-4000-8000-00000000F1F0"))
        GTEST_SKIP() << "user extended attributes not supported here";

    auto before = uploaded("notes.txt", "first words");
    ASSERT_TRUE(before.ceaString.getAttribute(CEAString::keys::Revision));
    ASSERT_EQ(::mkfifo(local("sedX1b2c3").c_str(), 0644), 0);
    moveLocally(local("sedX1b2c3"), local("notes.txt"));
    runTimeline();
    EXPECT_EQ(readFile(serverFile("notes.txt")), "first words");

    deleteLocally("notes.txt");
    runTimeline();
    EXPECT_FALSE(fs::exists(serverFile("notes.txt"))) << "the server kept a file removed here";
}

TEST_F(DeleteMoveEvents, CaseOnlyRenameGoesThroughTheTemporaryName) {
    uploaded("Report.txt", "r");
    size_t from = logSize();
    moveLocally(local("Report.txt"), local("report.txt"));
    runTimeline();
    EXPECT_TRUE(fs::exists(serverFile("report.txt")));
    EXPECT_FALSE(fs::exists(serverFile("Report.txt.TWCC")));
    EXPECT_TRUE(logContains("Move of item from " + local("Report.txt") + " to " + local("report.txt"), from));
    // The second step is the move out of the temporary name: refused, the item goes back to its former
    // name, where a listing still finds it; the file here is never taken for one the server dropped.
    admin("faults", {{"method", "POST"},
                     {"path", devserver.servicePath("folders/Team/report.txt.TWCC")},
                     {"action", "error"},
                     {"errorId", 1083},
                     {"count", 1}});
    from = logSize();
    moveLocally(local("report.txt"), local("REPORT.txt"));
    runTimeline();
    EXPECT_FALSE(fs::exists(serverFile("report.txt.TWCC")));
    EXPECT_FALSE(fs::exists(serverFile("REPORT.txt")));
    EXPECT_EQ(readFile(serverFile("report.txt")), "r");
    EXPECT_FALSE(logContains("Move of item from " + local("report.txt"), from)) << "it did not move";
    SyncFolder::performSync(timeline->context(), team->localFolder, true);
    runTimeline();
    EXPECT_EQ(readFile(local("report.txt")), "r") << "renamed to the server's spelling, never removed";
}

TEST_F(DeleteMoveEvents, NeverUploadedFileMovedInsideIsUploadedAtItsNewPlace) {
    writeFile(local("draft.txt"), "draft");
    size_t from = logSize();
    moveLocally(local("draft.txt"), local("final.txt"));
    runTimeline();
    EXPECT_TRUE(logContains(
        "Move of file " + local("draft.txt") + " to " + local("final.txt") + " being changed to upload",
        from));
    EXPECT_EQ(readFile(serverFile("final.txt")), "draft");
    EXPECT_EQ(CorvaneExtendedAttributes(local("final.txt")).ceaStatus.status, S::Regular);
}

TEST_F(DeleteMoveEvents, ItemsMovedInFromOutsideAreUploadedOrCreated) {
    std::string outsideFile = (dir / "desktop.txt").string(), outsideFolder = (dir / "album").string();
    writeFile(outsideFile, "from the desktop");
    fs::create_directories(outsideFolder);
    moveLocally(outsideFile, local("desktop.txt"));
    moveLocally(outsideFolder, local("album"));
    runTimeline();
    EXPECT_EQ(readFile(serverFile("desktop.txt")), "from the desktop");
    EXPECT_TRUE(fs::is_directory(serverFile("album")));
}

TEST_F(DeleteMoveEvents, FolderMovedOutIsDeletedOnTheServerChildrenFirst) {
    fs::create_directories(local("leaving"));
    ASSERT_EQ(CreateFolderDetails(env, local("leaving"), std::chrono::system_clock::now()).createFolder(),
              normalisedResponse::allOkay);
    {
        CorvaneExtendedAttributes folder(local("leaving"));
        folder.ceaStatus.setStatus(S::Regular);
        ASSERT_TRUE(folder.save());
    }
    uploaded("leaving/1.txt");
    uploaded("leaving/2.txt");
    std::string outside = (dir / "outside").string();
    size_t from = logSize();
    moveLocally(local("leaving"), outside);
    // Queued as deletes, and the copies outside no longer look synchronised.
    EXPECT_FALSE(platform::getXattr(outside + "/1.txt", CorvaneExtendedAttributes::xAttrName, 1024));
    EXPECT_FALSE(platform::getXattr(outside, CorvaneExtendedAttributes::xAttrName, 1024));
    runTimeline();
    EXPECT_TRUE(logContains(
        "Move of item " + local("leaving") + " to " + outside + " being changed to delete", from));
    EXPECT_FALSE(fs::exists(serverFile("leaving/1.txt")));
    EXPECT_FALSE(fs::exists(serverFile("leaving/2.txt")));
    EXPECT_FALSE(fs::exists(serverFile("leaving")));
    // The user's files are where they put them, untouched.
    EXPECT_EQ(readFile(outside + "/1.txt"), "data");
    EXPECT_EQ(readFile(outside + "/2.txt"), "data");
}

// A folder whose name is too long for the server (its ":" and "?" take three bytes each there) is outside
// what can be synchronised, as an ignored place is: a file moved into it leaves the server and is kept
// here, no longer looking synchronised, so nothing ever takes its content for the server's. Moved back
// out, it is sent again.
TEST_F(DeleteMoveEvents, AFileMovedUnderANameTheServerCannotHoldLeavesTheServerAndIsKeptHere) {
    uploaded("plan.txt", "the plan");
    const std::string folder = "why " + std::string(90, '?');
    fs::create_directories(local(folder));
    moveLocally(local("plan.txt"), local(folder + "/plan.txt"));
    EXPECT_FALSE(platform::getXattr(local(folder + "/plan.txt"), CorvaneExtendedAttributes::xAttrName, 1024));
    runTimeline();
    EXPECT_FALSE(fs::exists(serverFile("plan.txt")));
    EXPECT_EQ(readFile(local(folder + "/plan.txt")), "the plan");

    moveLocally(local(folder + "/plan.txt"), local("plan.txt"));
    runTimeline();
    EXPECT_EQ(readFile(serverFile("plan.txt")), "the plan");
}

TEST_F(DeleteMoveEvents, PlaceholderMovedOutBecomesADownloadNotADelete) {
    auto record = uploaded("ghost.txt", "server bytes");
    record.ceaStatus.setStatus(S::Placeholder);
    ASSERT_TRUE(record.save());
    std::string outside = (dir / "ghost.txt").string();
    moveLocally(local("ghost.txt"), outside);
    EXPECT_EQ(CorvaneExtendedAttributes(outside).ceaStatus.status, S::RequireDownload);
    runTimeline();
    // Its content exists only on the server, which keeps it until the download has run.
    EXPECT_EQ(readFile(serverFile("ghost.txt")), "server bytes");
}

TEST_F(DeleteMoveEvents, ContentOnlyOnTheServerComesDownBeforeAFolderUnderANameTheServerCannotHoldLeavesIt) {
    // Neither holds its content here: a placeholder, and a file put back after the server refused its
    // delete (a colleague had changed it), whose bytes are the marker and whose record holds the
    // colleague's revision.
    auto placeholder = uploaded("box/plan.txt", "the plan");
    placeholder.ceaStatus.setStatus(S::Placeholder);
    placeholder.ceaLong.setAttribute(CEALong::keys::ServerFileSize, 8);
    ASSERT_TRUE(placeholder.save());
    ASSERT_EQ(::truncate(local("box/plan.txt").c_str(), 0), 0);
    putBack("box/notes.txt", "the colleague's notes", RestoreDeletedManager::kGhostMarker);

    const std::string folder = "why " + std::string(90, '?');
    moveLocally(local("box"), local(folder));
    runTimeline();

    EXPECT_EQ(readFile(local(folder + "/plan.txt")), "the plan");
    EXPECT_EQ(readFile(local(folder + "/notes.txt")), "the colleague's notes");
    // Only once the content is here does the server's copy go, the folder after its files.
    EXPECT_FALSE(fs::exists(serverFile("box")));
    EXPECT_TRUE(timeline->events().empty()) << "the move must not come back for ever";
}

TEST_F(DeleteMoveEvents, APutBackFileWrittenToSinceKeepsBothCopiesWhenMovedWhereTheServerCannotFollow) {
    putBack("mine.txt", "the colleague's notes",
            std::string(RestoreDeletedManager::kGhostMarker) + " my words");

    const std::string folder = "why " + std::string(90, '?');
    fs::create_directories(local(folder));
    moveLocally(local("mine.txt"), local(folder + "/mine.txt"));
    runTimeline();

    EXPECT_EQ(readFile(local(folder + "/mine.txt")),
              std::string(RestoreDeletedManager::kGhostMarker) + " my words");
    EXPECT_EQ(readFile(serverFile("mine.txt")), "the colleague's notes");
}

TEST_F(DeleteMoveEvents, RenameLoopBeforeTheEventsRunEndsWhereItStarted) {
    uploaded("a.txt", "loop");
    moveLocally(local("a.txt"), local("b.txt"));
    moveLocally(local("b.txt"), local("a.txt"));
    runTimeline();
    EXPECT_EQ(readFile(serverFile("a.txt")), "loop");
    EXPECT_FALSE(fs::exists(serverFile("b.txt")));
}

// ---- durability

TEST_F(DeleteMoveEvents, QueuedDeletesAndMovesSurviveACrashAndRunInOrder) {
    uploaded("one.txt");
    uploaded("two.txt");
    uploaded("three.txt", "3");
    deleteLocally("one.txt");
    moveLocally(local("three.txt"), local("moved.txt"));
    deleteLocally("two.txt");
    ASSERT_TRUE(timeline->waitUntilDurable(10s));
    // What is on disk now is all a crash leaves: copy it aside before the orderly destruction.
    std::string saved = readFile(timeline->timelinePath());
    timeline.reset();
    ASSERT_TRUE(writeFile(support() + "Timeline.txt", saved));
    timeline = std::make_unique<TimeLineManager>(support(), volumes.parts(env));
    auto events = timeline->events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0]->description().rfind("Delete: " + local("one.txt"), 0), 0u);
    EXPECT_EQ(events[1]->description().rfind("Move: From Path: " + local("three.txt"), 0), 0u);
    EXPECT_EQ(events[2]->description().rfind("Delete: " + local("two.txt"), 0), 0u);
    runTimeline();
    EXPECT_FALSE(fs::exists(serverFile("one.txt")));
    EXPECT_FALSE(fs::exists(serverFile("two.txt")));
    EXPECT_EQ(readFile(serverFile("moved.txt")), "3");
    // Done: dropped from the file.
    ASSERT_TRUE(timeline->waitUntilDurable(10s));
    EXPECT_FALSE(fs::exists(timeline->timelinePath()));

    // Replayed once more after a crash right after they ran: harmless.
    ASSERT_TRUE(writeFile(support() + "Timeline.txt", saved));
    timeline = std::make_unique<TimeLineManager>(support(), volumes.parts(env));
    size_t from = logSize();
    runTimeline();
    EXPECT_TRUE(logContains("Ignoring delete of item " + local("one.txt"), from));
    EXPECT_EQ(readFile(serverFile("moved.txt")), "3");
}

TEST_F(DeleteMoveEvents, TimelineCutOffMidRecordReplaysTheRecordsBeforeIt) {
    uploaded("x.txt");
    uploaded("y.txt");
    deleteLocally("x.txt");
    deleteLocally("y.txt");
    ASSERT_TRUE(timeline->waitUntilDurable(10s));
    std::string saved = readFile(timeline->timelinePath());
    timeline.reset();
    size_t second = saved.find("Delete {", 1);
    ASSERT_NE(second, std::string::npos);
    ASSERT_TRUE(writeFile(support() + "Timeline.txt", saved.substr(0, second + 30)));
    timeline = std::make_unique<TimeLineManager>(support(), volumes.parts(env));
    ASSERT_EQ(timeline->eventCount(), 1u);
    runTimeline();
    EXPECT_FALSE(fs::exists(serverFile("x.txt")));
    EXPECT_TRUE(fs::exists(serverFile("y.txt")));
}

TEST_F(DeleteMoveEvents, PausedBurstIsAllOnDiskInQueueingOrder) {
    CorvaneExtendedAttributes none(local("missing"));
    for (int i = 0; i < 2000; ++i) timeline->addDeleteEvent(local("burst/" + std::to_string(i)), none);
    ASSERT_TRUE(timeline->waitUntilDurable(20s));
    // Coalesced: never a write per event (how few is measured in bench/engine/durable_timeline.cc).
    EXPECT_LT(timeline->timelineWrites(), 2000u);
    platform::UniqueFd fd(::open(timeline->timelinePath().c_str(), O_RDONLY | O_CLOEXEC));
    auto events = TimeLineManager::readReplay(fd.get()).events;
    ASSERT_EQ(events.size(), 2000u);
    for (size_t i = 0; i < events.size(); i += 397)
        EXPECT_EQ(dynamic_cast<TLDelete&>(*events[i]).localPath, local("burst/" + std::to_string(i)));
}

TEST_F(DeleteMoveEvents, PathsOfFourThousandBytesAreKeptAndReplayed) {
    std::string rel;
    while (rel.size() < 4000) rel += std::string(200, 'd') + "/";
    rel += "leaf.txt";
    std::string path = local(rel);
    CorvaneExtendedAttributes none(local("x"));
    timeline->addMoveEvent(path, path + ".renamed", none);
    timeline->addDeleteEvent(path, none);
    ASSERT_TRUE(timeline->waitUntilDurable(10s));
    std::string saved = readFile(timeline->timelinePath());
    timeline.reset();
    ASSERT_TRUE(writeFile(support() + "Timeline.txt", saved));
    timeline = std::make_unique<TimeLineManager>(support(), volumes.parts(env));
    auto events = timeline->events();
    ASSERT_EQ(events.size(), 2u);
    auto* move = dynamic_cast<TLMove*>(events[0].get());
    ASSERT_NE(move, nullptr);
    EXPECT_EQ(move->localPathFrom, path);
    EXPECT_EQ(move->localPathTo, path + ".renamed");
    runTimeline();
}

}  // namespace
}  // namespace tw::test

namespace tw::test {
namespace {

// The child side of the crash test: queues deletes and moves without end on a paused timeline until
// it is killed. It only runs when started by the test below.
TEST(TimelineCrashChild, QueueUntilKilled) {
    const char* folder = std::getenv("TIDEWELL_CRASH_SUPPORT");
    if (!folder) GTEST_SKIP() << "only run as the crash test's child process";
    TimeLineManager timeline(folder, TimeLineManager::sharedParts());
    CorvaneExtendedAttributes record(std::string("/nowhere"), "Status: Regular\n");
    for (int i = 0;; ++i) {
        std::string n = std::to_string(i);
        if (i % 2 == 0)
            timeline.eventAppend(std::make_shared<TLDelete>("/V/Team/d" + n, record));
        else
            timeline.eventAppend(std::make_shared<TLMove>("/V/Team/m" + n, "/V/Team/moved" + n, record));
        if (i == 50) {
            timeline.waitUntilDurable(10s);
            writeFile(std::string(folder) + "ready", "");
        }
        std::this_thread::sleep_for(100us);
    }
}

TEST(TimelineCrash, KilledAtAnyMomentTheNextStartReplaysAnUnbrokenPrefixInOrder) {
    TempDir dir;
    std::string support = (dir / "support").string() + "/";
    fs::create_directories(support);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.push_back("TIDEWELL_CRASH_SUPPORT=" + support);
    for (int round = 0; round < 3; ++round) {
        fs::remove(support + "ready");
        fs::remove(support + "Timeline.txt");
        ChildProcess child;
        ChildOptions options;
        options.environment = env;
        std::string error;
        ASSERT_TRUE(child.start({platform::mainExecutablePath(), "--gtest_filter=TimelineCrashChild.*"},
                                options, &error))
            << error;
        for (int i = 0; i < 1000 && !fs::exists(support + "ready"); ++i) std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(fs::exists(support + "ready"));
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + 70 * round));
        child.kill();  // SIGKILL: no destructor, no save

        TimeLineManager replayed(support, TimeLineManager::sharedParts());
        auto events = replayed.events();
        ASSERT_GT(events.size(), 50u) << "everything queued before the durable point is back";
        for (size_t i = 0; i < events.size(); ++i) {
            std::string n = std::to_string(i);
            if (i % 2 == 0) {
                auto* d = dynamic_cast<TLDelete*>(events[i].get());
                ASSERT_NE(d, nullptr) << i;
                EXPECT_EQ(d->localPath, "/V/Team/d" + n);
            } else {
                auto* m = dynamic_cast<TLMove*>(events[i].get());
                ASSERT_NE(m, nullptr) << i;
                EXPECT_EQ(m->localPathTo, "/V/Team/moved" + n);
            }
        }
        // Nothing unreadable was left aside: every write was whole.
        for (auto& e : fs::directory_iterator(support))
            EXPECT_EQ(e.path().filename().string().find(".corrupt-"), std::string::npos);
    }
}

}  // namespace
}  // namespace tw::test
