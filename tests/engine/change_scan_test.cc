// The change scan against the reference server on loopback, with real files and real extended
// attributes: changes made while nobody reported them (the program was not running, the watcher lost
// its reports) are found by comparing each item with its record and the metadata databases, and after
// the timeline has run the server holds exactly the local tree. The volume is a plain folder with a
// UUID; the identity resolver gatewarden would be is a walk of that folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>
#include <map>
#include <thread>

#include "Pinewick/engine/ChangeScan.h"
#include "Pinewick/engine/RestoreDeletedManager.h"
#include "Pinewick/engine/SyncFolder.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/server/ServerRequests.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/dispatch.h"
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

const char* kPassword = "scan-pw";
// Each test's volume has a UUID of its own: the metadata database outlives a test, and rows another
// test left under the same UUID and paths would be taken for this volume's items.
std::string freshUuid() {
    static int n = 0;
    char text[64];
    snprintf(text, sizeof text, "5CA40000-0000-4000-8000-%012d", ++n);
    return text;
}

// Every item under `root`: relative path -> content ("/" for a folder).
std::map<std::string, std::string> treeOf(const fs::path& root) {
    std::map<std::string, std::string> tree;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::string rel = fs::relative(it->path(), root).string();
        tree[rel] = it->is_directory() ? "/" : readFile(it->path());
    }
    return tree;
}

class ChangeScanTest : public ::testing::Test {
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
        fs::remove_all(team->localFolder);
        fs::create_directories(team->localFolder);
        uuid = freshUuid();
        if (::setxattr(team->localFolder.c_str(), "user.com.meridot.tidewell.volumeuuid", uuid.data(),
                       uuid.size(), 0) != 0)
            GTEST_SKIP() << "user extended attributes not supported here";
        struct stat st {};
        ASSERT_EQ(::stat(team->localFolder.c_str(), &st), 0);
        team->setVolumeSystemNumber(st.st_dev);
        ASSERT_EQ(team->volumeUUID(), uuid);
        answerIdentities(true);
        ASSERT_TRUE(ServerCommunicator::ready(env));
        timeline = std::make_unique<TimeLineManager>((dir / "support").string() + "/", volumes.parts(env));
        timeline->setListingPasses({nullptr, [](EventContext& context, const std::string& p, bool user) {
                                        SyncFolder::performSync(context, p, user);
                                    }});
        scanner = std::make_unique<ChangeScan>(options());
    }

    void TearDown() override {
        scanner.reset();
        timeline.reset();
        RestoreDeletedManager::sharedInstance().waitUntilIdle(10s);
        platform::setVolPathResolver(nullptr);
        EXPECT_EQ(devserver.stop(), 0) << devserver.log();
    }

    ChangeScan::Options options() {
        ChangeScan::Options o;
        o.timeline = timeline.get();
        o.metadataDatabasePath = MetadataDataBase::sharedInstance().databasePath();
        o.folderDatabasePath = (dir / "folders.db").string();
        std::string root = team->localFolder;
        o.roots = [root] { return std::vector<std::string>{root}; };
        o.schedule = [this](std::function<void()> block) { background->async(std::move(block)); };
        return o;
    }

    // What gatewarden answers: the current path of an identity on the volume. Off, as when the watcher
    // does not answer.
    void answerIdentities(bool on) {
        if (!on) {
            platform::setVolPathResolver(nullptr);
            return;
        }
        std::string root = team->localFolder;
        platform::setVolPathResolver([root](uint64_t dev, uint64_t ino) -> std::optional<std::string> {
            struct stat s {};
            if (::lstat(root.c_str(), &s) == 0 && s.st_dev == dev && s.st_ino == ino) return root;
            std::error_code ec;
            for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
                if (::lstat(it->path().c_str(), &s) == 0 && s.st_dev == dev && s.st_ino == ino)
                    return it->path().string();
            return std::nullopt;
        });
    }

    std::string local(const std::string& rel) const { return team->localFolder + "/" + rel; }
    fs::path serverRoot() const { return dir / "root" / "data" / "Team"; }
    fs::path serverFile(const std::string& rel) const { return serverRoot() / rel; }
    CorvaneExtendedAttributes record(const std::string& rel) const {
        return CorvaneExtendedAttributes(local(rel));
    }
    std::string revisionOf(const std::string& rel) const {
        return record(rel).ceaString.getAttribute(CEAString::keys::Revision).value_or("");
    }

    // What the watcher reports while the program runs: the files, then the timeline carries them.
    void synchronised(const std::map<std::string, std::string>& files) {
        for (const auto& [rel, content] : files) {
            ASSERT_TRUE(writeFile(local(rel), content));
            std::string folder = fs::path(rel).parent_path().string();
            for (fs::path p; const auto& part : fs::path(folder)) {
                p /= part;
                timeline->addCreateFolder(local(p.string()), true);
            }
            timeline->addCloseEvent(local(rel));
        }
        runTimeline();
        for (const auto& [rel, content] : files) {
            ASSERT_EQ(readFile(serverFile(rel)), content) << rel;
            ASSERT_EQ(record(rel).ceaStatus.status, S::Regular) << rel;
        }
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
        // Held while the test looks and scans, so what a scan queues stays in the list to be seen. A
        // resume while the loop has not yet noticed the pause does nothing, so the next run waits for it.
        timeline->pauseTimeLine();
        for (int i = 0; i < 300 && timeline->eventQueueRunning(); ++i) std::this_thread::sleep_for(10ms);
        ASSERT_FALSE(timeline->eventQueueRunning());
    }

    // The local tree and the server's, item for item and byte for byte.
    void expectServerHoldsTheLocalTree() {
        auto localTree = treeOf(team->localFolder);
        auto serverTree = treeOf(serverRoot());
        EXPECT_EQ(serverTree, localTree);
    }

    // Edits a file without anyone hearing of it, keeping its size; its time moves on, as a writer's does.
    void editUnreported(const std::string& rel, const std::string& content) {
        auto before = platform::attributesOfItem(local(rel));
        ASSERT_TRUE(before);
        ASSERT_EQ(before->size, content.size());
        ASSERT_TRUE(writeFile(local(rel), content));
        ASSERT_TRUE(platform::setModificationDate(local(rel), before->modificationDate + 7));
    }

    TempDir dir{"tw-scan"};
    OwnServer own;
    ServerEnvironment& env = own.env;
    ServerCredentials& account = own.account;
    OwnVolumes volumes;
    ClientDevServer devserver;
    std::unique_ptr<platform::keychain::Keychain> keychain;
    std::shared_ptr<VolumeDetail> team;
    std::string uuid;
    std::unique_ptr<TimeLineManager> timeline;
    std::shared_ptr<platform::DispatchQueue> background = platform::DispatchQueue::serial("scan-test");
    std::unique_ptr<ChangeScan> scanner;
};

// ---- what a scan finds

// Everything that can happen while the program is not running, at once: an edit that keeps the size, a
// new file, a new empty folder, a new folder with content, a rename, a folder rename, a move into a
// folder, a delete and the delete of a folder with its files. One scan and the timeline later, the
// server holds the local tree and nothing else; untouched files were not sent again.
TEST_F(ChangeScanTest, ChangesMadeWhileNothingWasReportedReachTheServer) {
    synchronised({{"edited.txt", "version 1"},
                  {"renamed.txt", "renamed content"},
                  {"moved.txt", "moved content"},
                  {"deleted.txt", "deleted content"},
                  {"untouched.txt", "untouched"},
                  {"docs/a.txt", "doc a"},
                  {"docs/b.txt", "doc b"},
                  {"old/gone.txt", "gone with its folder"},
                  {"target/here.txt", "already here"}});
    const std::string untouchedRevision = revisionOf("untouched.txt");
    // The scan that ran while the program did: it learns the folders.
    auto quiet = scanner->scan();
    ASSERT_EQ(quiet.queued(), 0u);

    editUnreported("edited.txt", "version 2");
    ASSERT_TRUE(writeFile(local("new.txt"), "new content"));
    fs::create_directories(local("empty"));
    ASSERT_TRUE(writeFile(local("fresh/inside.txt"), "inside a new folder"));
    fs::rename(local("renamed.txt"), local("renamed-now.txt"));
    fs::rename(local("moved.txt"), local("target/moved.txt"));
    fs::rename(local("docs"), local("papers"));
    fs::remove(local("deleted.txt"));
    fs::remove_all(local("old"));

    auto found = scanner->scan();
    EXPECT_EQ(found.volumesWithoutIdentity, 0u);
    EXPECT_EQ(found.uploads, 3u);  // edited, new, fresh/inside
    EXPECT_EQ(found.folderCreations, 2u);
    EXPECT_EQ(found.moves, 3u);  // a file renamed, a file moved, a folder renamed (not its files)
    EXPECT_EQ(found.deletes, 3u);
    runTimeline();

    expectServerHoldsTheLocalTree();
    EXPECT_EQ(readFile(serverFile("edited.txt")), "version 2");
    EXPECT_EQ(revisionOf("untouched.txt"), untouchedRevision);
    for (std::string rel : {"edited.txt", "new.txt", "fresh/inside.txt", "renamed-now.txt",
                            "target/moved.txt", "papers/a.txt", "papers/b.txt"})
        EXPECT_EQ(record(rel).ceaStatus.status, S::Regular) << rel;
    // Found once: the next scan finds nothing left to do.
    EXPECT_EQ(scanner->scan().queued(), 0u);
}

// A scan of a volume that matches its records and the databases queues nothing at all, however often
// it runs.
TEST_F(ChangeScanTest, AnUnchangedVolumeQueuesNothing) {
    synchronised({{"a.txt", "a"}, {"folder/b.txt", "b"}, {"folder/deeper/c.txt", "c"}});
    fs::create_directories(local("folder/empty"));
    timeline->addCreateFolder(local("folder/empty"), true);
    runTimeline();
    for (int i = 0; i < 2; ++i) {
        auto summary = scanner->scan();
        EXPECT_EQ(summary.queued(), 0u);
        EXPECT_EQ(summary.itemsChecked, 6u);
        EXPECT_EQ(timeline->eventCount(), 0u);
    }
}

// A colleague renamed a file and a folder by case alone; the listing gives the local items the server's
// spelling, and the next scan must take that for no change at all, not for moves to send back.
TEST_F(ChangeScanTest, ACaseOnlyRenameTheListingFollowsIsNotSentBackAsAMove) {
    synchronised({{"Report.txt", "report"}, {"Plans/Budget.txt", "budget"}, {"Plans/Q1/notes.txt", "n"}});
    auto colleagueRenames = [&](const std::string& from, const std::string& to, const std::string& revision) {
        // In two steps, as a client on a file system that ignores case must.
        for (auto [a, b] : {std::pair{from, from + ".aside"}, std::pair{from + ".aside", to}}) {
            MoveDetails move(env, local(a), local(b), revision);
            ASSERT_EQ(move.performServerAction().first, normalisedResponse::allOkay) << a << " -> " << b;
        }
    };
    colleagueRenames("Report.txt", "report.txt", revisionOf("Report.txt"));
    colleagueRenames("Plans", "PLANS", "");
    ASSERT_TRUE(fs::exists(serverFile("PLANS/Q1/notes.txt")));

    SyncFolder::performSync(timeline->context(), team->localFolder, true);
    runTimeline();
    ASSERT_TRUE(fs::exists(local("report.txt")));
    ASSERT_TRUE(fs::exists(local("PLANS/Q1/notes.txt")));

    auto summary = scanner->scan();
    EXPECT_EQ(summary.queued(), 0u);
    EXPECT_EQ(timeline->eventCount(), 0u);
    runTimeline();
    expectServerHoldsTheLocalTree();
}

// Two files that swapped names, and a chain of renames (a to b, b to c): the server takes each item
// aside before another is put in its place, so nothing is sent over anything.
TEST_F(ChangeScanTest, SwapsAndChainsOfRenamesEndWithEveryItemUnderItsNewName) {
    synchronised({{"left.txt", "left"}, {"right.txt", "right"}, {"one.txt", "one"}, {"two.txt", "two"}});
    fs::rename(local("left.txt"), local("tmp"));
    fs::rename(local("right.txt"), local("left.txt"));
    fs::rename(local("tmp"), local("right.txt"));
    fs::rename(local("two.txt"), local("three.txt"));
    fs::rename(local("one.txt"), local("two.txt"));
    ASSERT_EQ(scanner->scan().uploads, 0u);
    runTimeline();
    expectServerHoldsTheLocalTree();
    EXPECT_EQ(readFile(serverFile("left.txt")), "right");
    EXPECT_EQ(readFile(serverFile("three.txt")), "two");
}

// A file deleted and another made under its name while nobody reported either: the new file becomes a
// new revision of the server's item instead of a conflict with it.
TEST_F(ChangeScanTest, AFileMadeAgainUnderADeletedOnesNameReplacesItOnTheServer) {
    synchronised({{"report.txt", "first report"}});
    const std::string before = revisionOf("report.txt");
    // A backup keeps the first file linked outside the volume, so the new one cannot take its number.
    fs::create_hard_link(local("report.txt"), dir / "backup-of-report.txt");
    fs::remove(local("report.txt"));
    ASSERT_TRUE(writeFile(local("report.txt.new"), "second report"));
    fs::rename(local("report.txt.new"), local("report.txt"));
    auto summary = scanner->scan();
    EXPECT_EQ(summary.deletes, 1u);
    EXPECT_EQ(summary.uploads, 1u);
    runTimeline();
    EXPECT_EQ(readFile(serverFile("report.txt")), "second report");
    EXPECT_EQ(record("report.txt").ceaStatus.status, S::Regular);
    EXPECT_EQ(record("report.txt").ceaErrorStatus.status, CEAErrorStatus::keys::NoError);
    EXPECT_NE(revisionOf("report.txt"), before);
}

// ---- what a scan must never do

// Work the watcher did report is not queued a second time: a rename still waiting in the timeline, and
// a folder renamed (and moved on the server) since the scan last recorded where it was.
TEST_F(ChangeScanTest, WorkAlreadyReportedIsNotQueuedAgain) {
    synchronised({{"docs/a.txt", "doc a"}, {"note.txt", "note"}});
    ASSERT_EQ(scanner->scan().queued(), 0u);  // it records where the folder is

    CorvaneExtendedAttributes folderBefore(local("docs"));
    fs::rename(local("docs"), local("papers"));
    timeline->addMoveEvent(local("docs"), local("papers"), folderBefore);
    runTimeline();
    ASSERT_EQ(readFile(serverFile("papers/a.txt")), "doc a");
    const std::string revision = revisionOf("papers/a.txt");

    CorvaneExtendedAttributes noteBefore(local("note.txt"));
    fs::rename(local("note.txt"), local("note-renamed.txt"));
    timeline->addMoveEvent(local("note.txt"), local("note-renamed.txt"), noteBefore);
    auto summary = scanner->scan();
    EXPECT_EQ(summary.moves, 0u);
    EXPECT_EQ(summary.queued(), 0u);
    runTimeline();
    expectServerHoldsTheLocalTree();
    EXPECT_EQ(revisionOf("papers/a.txt"), revision) << "the folder's content was sent again";
}

// When the identities of items cannot be resolved (the watcher does not answer), a missing item is not
// proof that it is gone: nothing is deleted or moved on the server, while new content still goes up.
TEST_F(ChangeScanTest, WithoutResolvableIdentitiesNothingIsDeletedOrMoved) {
    synchronised({{"stays.txt", "stays"}, {"renamed.txt", "renamed"}});
    fs::remove(local("stays.txt"));
    fs::rename(local("renamed.txt"), local("renamed-now.txt"));
    ASSERT_TRUE(writeFile(local("new.txt"), "new"));
    answerIdentities(false);
    auto summary = scanner->scan();
    EXPECT_EQ(summary.volumesWithoutIdentity, 1u);
    EXPECT_EQ(summary.deletes, 0u);
    EXPECT_EQ(summary.moves, 0u);
    EXPECT_EQ(summary.uploads, 1u);
    runTimeline();
    EXPECT_EQ(readFile(serverFile("stays.txt")), "stays");
    EXPECT_EQ(readFile(serverFile("renamed.txt")), "renamed");
    EXPECT_EQ(readFile(serverFile("new.txt")), "new");
}

// A volume whose folder is not the mounted device its UUID was recorded for (a mount that is missing)
// looks empty: its items are not deleted on the server.
TEST_F(ChangeScanTest, AVolumeThatIsNotThereDeletesNothing) {
    synchronised({{"a.txt", "a"}, {"b.txt", "b"}});
    team->setVolumeSystemNumber(12345);  // the device it was mounted as is gone
    fs::remove(local("a.txt"));
    auto summary = scanner->scan();
    EXPECT_EQ(summary.deletes, 0u);
    EXPECT_EQ(summary.volumesWithoutIdentity, 1u);
    runTimeline();
    EXPECT_TRUE(fs::exists(serverFile("a.txt")));
}

// Names that are not UTF-8 and paths too long for the watcher's reports cannot be synchronised: they
// are listed with the reason, logged once, and nothing is sent for them or for what they hold.
TEST_F(ChangeScanTest, ItemsThatCannotBeSynchronisedAreListedAndNeverSent) {
    synchronised({{"ok.txt", "ok"}});
    ASSERT_TRUE(writeFile(local("bad\xff name.txt"), "latin-1 name"));
    ASSERT_TRUE(writeFile(local("bad\xfe folder/inside.txt"), "inside"));
    std::string deep = "deep";
    while ((team->localFolder + "/" + deep).size() < 1100) deep += "/" + std::string(100, 'd');
    ASSERT_TRUE(writeFile(local(deep + "/far.txt"), "far"));
    size_t logFrom = logSize();

    auto summary = scanner->scan();
    auto listed = scanner->notSynchronised();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(summary.notSynchronised, 3u);
    EXPECT_EQ(listed[0].path, team->localFolder + "/bad\\xFE folder");
    EXPECT_EQ(listed[1].path, team->localFolder + "/bad\\xFF name.txt");
    EXPECT_NE(listed[0].reason.find("UTF-8"), std::string::npos);
    EXPECT_EQ(listed[2].path.rfind(local("deep/"), 0), 0u) << listed[2].path;
    EXPECT_GE(listed[2].path.size(), 1024u);
    EXPECT_NE(listed[2].reason.find("1024"), std::string::npos);
    // The folders of the long path that still fit are synchronised; only what does not fit is held back.
    EXPECT_EQ(summary.uploads, 0u);
    scanner->scan();
    EXPECT_EQ(occurrences(sharedLogText().substr(logFrom), "bad\\xFF name.txt"), 1u) << "logged once";

    runTimeline();
    EXPECT_FALSE(fs::exists(serverRoot() / "bad\xff name.txt"));
    EXPECT_FALSE(fs::exists(serverRoot() / "bad\xfe folder"));
    EXPECT_FALSE(fs::exists(serverFile(deep + "/far.txt")));
    EXPECT_EQ(readFile(serverFile("ok.txt")), "ok");
    // Removed, it is no longer listed.
    fs::remove(local("bad\xff name.txt"));
    scanner->scan();
    EXPECT_EQ(scanner->notSynchronised().size(), 2u);
}

// A name of well under 255 bytes here can be longer on the server, where ":" and "?" and a trailing space
// take three bytes each. The server would refuse it on every attempt, so it is listed, not sent.
TEST_F(ChangeScanTest, ANameTooLongForTheServersSpellingIsListedAndNeverSent) {
    synchronised({{"ok.txt", "ok"}});
    const std::string colons = "times " + std::string(80, ':') + ".txt";   // 90 bytes, 250 on the server
    const std::string questions = "why " + std::string(90, '?') + ".txt";  // 98 bytes, 278 on the server
    ASSERT_TRUE(writeFile(local(colons), "fits"));
    ASSERT_TRUE(writeFile(local(questions), "does not fit"));
    ASSERT_TRUE(writeFile(local(questions + " folder/inside.txt"), "inside"));

    auto summary = scanner->scan();
    auto listed = scanner->notSynchronised();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].path, local(questions));
    EXPECT_EQ(listed[1].path, local(questions + " folder"));
    EXPECT_EQ(listed[0].reason, ChangeScan::kNameTooLongForServer);
    EXPECT_EQ(summary.uploads, 1u);
    runTimeline();
    EXPECT_EQ(readFile(serverFile(ServerCommunicator::serverSpelling(colons))), "fits");
    EXPECT_FALSE(fs::exists(serverFile(questions)));
    EXPECT_FALSE(fs::exists(serverFile(questions + " folder")));
}

// Reported closed, such a file is not sent either; its volume is scanned once so that the user sees it
// listed, however often a program writes it again. The timeline asks through the pass it was given.
TEST_F(ChangeScanTest, AClosedFileTheServerCouldNeverHoldAsksForOneScanAndIsNotSent) {
    std::mutex mutex;
    std::vector<std::string> asked;
    timeline->setListingPasses({nullptr,
                                [](EventContext& context, const std::string& p, bool user) {
                                    SyncFolder::performSync(context, p, user);
                                },
                                [&](const std::string& folder) {
                                    std::lock_guard lock(mutex);
                                    asked.push_back(folder);
                                }});
    const std::string name = "closed " + std::string(90, '?') + ".txt";  // 280 bytes on the server
    ASSERT_TRUE(writeFile(local(name), "does not fit"));
    timeline->addCloseEvent(local(name));
    runTimeline();
    ASSERT_TRUE(writeFile(local(name), "still does not fit"));
    timeline->addCloseEvent(local(name));
    runTimeline();
    std::lock_guard lock(mutex);
    EXPECT_EQ(asked, std::vector<std::string>{local(name)});
    EXPECT_FALSE(fs::exists(serverFile(name)));
}

// ---- asking for scans

// Requests that arrive while a scan runs make exactly one more scan afterwards, not one each; the
// requester never waits for a scan.
TEST_F(ChangeScanTest, RequestsDuringAScanMakeOneMoreScan) {
    std::mutex m;
    std::condition_variable cv;
    bool release = false, entered = false;
    ChangeScan::Options o = options();
    std::string root = team->localFolder;
    o.roots = [&, root] {
        std::unique_lock lock(m);
        entered = true;
        cv.notify_all();
        // Held until the test has asked again, so the requests below arrive while it runs.
        cv.wait_for(lock, 30s, [&] { return release; });
        return std::vector<std::string>{root};
    };
    scanner = std::make_unique<ChangeScan>(o);
    scanner->request();
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 30s, [&] { return entered; }));
    }
    auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) scanner->request(i % 2 ? "" : root + "/sub");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s) << "a request waited for the running scan";
    {
        std::lock_guard lock(m);
        release = true;
        cv.notify_all();
    }
    ASSERT_TRUE(scanner->waitUntilIdle(30s));
    EXPECT_EQ(scanner->scansCompleted(), 2u);
    // Idle again, a request makes a scan of its own.
    scanner->request(root);
    ASSERT_TRUE(scanner->waitUntilIdle(30s));
    EXPECT_EQ(scanner->scansCompleted(), 3u);
    scanner.reset();  // before what its roots refer to goes
}

}  // namespace
}  // namespace tw::test
