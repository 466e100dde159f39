// The periodic consistency check on real folders, a real SQLite file and the injected clock: which
// folder it takes, when it asks for a listing, and what it does with folders it cannot reach.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>
#include <mutex>

#include "Pinewick/engine/ConsistencyCheck.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/ConsistencyCheckDataBase.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/files.h"
#include "support/own_run_state.h"
#include "support/own_server.h"
#include "support/own_volumes.h"
#include "support/temp_dir.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kUuid = "0B5E3C1A-7D44-4E8B-9C21-5A6F0E1D2C3B";

class ConsistencyCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        volumes.answer(env);
        env.now = [this] {
            std::lock_guard l(m);
            return now;
        };
        team = std::make_shared<VolumeDetail>("Team", ServerConfigurationDetails::sharedInstance());
        team->state = VolumeDetail::volumeStates::Visible;
        fs::create_directories(team->localFolder);
        if (::setxattr(team->localFolder.c_str(), "user.com.meridot.tidewell.volumeuuid", kUuid.data(),
                       kUuid.size(), 0) != 0)
            GTEST_SKIP() << "user extended attributes not supported here";
        volumes.list.addVolume(team);
        struct stat st {};
        ASSERT_EQ(::stat(team->localFolder.c_str(), &st), 0);
        team->setVolumeSystemNumber(st.st_dev);
        ASSERT_EQ(team->volumeUUID(), kUuid);

        // What gatewarden answers for the volume: the current path of a (device, inode) pair.
        std::string root = team->localFolder;
        platform::setVolPathResolver([root](uint64_t dev, uint64_t ino) -> std::optional<std::string> {
            std::error_code ec;
            for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
                struct stat s {};
                if (::lstat(it->path().c_str(), &s) == 0 && s.st_dev == dev && s.st_ino == ino)
                    return it->path().string();
            }
            return std::nullopt;
        });

        timeline.setListingPasses({nullptr, [this](EventContext&, const std::string& path, bool userRequest) {
                                       {
                                           std::lock_guard l(m);
                                           listed.emplace_back(path, userRequest);
                                       }
                                       // A listing pass that succeeds reports back.
                                       if (passesSucceed) check.updateScanDate(path);
                                   }});
        timeline.resumeTimeLine();
        auto& state = run.state;
        state.networkAvailable.storeQuietly(true);
        state.allowServerCommunication = true;
    }
    void TearDown() override {
        timeline.syncQueue().waitUntilAllOperationsAreFinished(5s);
        platform::setVolPathResolver({});
    }

    std::string folder(const std::string& rel) {
        std::string p = team->localFolder + "/" + rel;
        fs::create_directories(p);
        return fs::canonical(p).string();
    }
    uint64_t inode(const std::string& path) {
        struct stat st {};
        ::stat(path.c_str(), &st);
        return st.st_ino;
    }
    void advance(std::chrono::seconds s) {
        std::lock_guard l(m);
        now += s;
    }
    // Runs one tick and waits for the listing it may have queued.
    std::vector<std::pair<std::string, bool>> fire() {
        check.timerFireMethod();
        timeline.syncQueue().waitUntilAllOperationsAreFinished(5s);
        std::lock_guard l(m);
        auto out = listed;
        listed.clear();
        return out;
    }
    Date clock() {
        std::lock_guard l(m);
        return now;
    }

    TempDir dir{"tw-cc"};
    OwnServer own;
    ServerEnvironment& env = own.env;
    ServerCredentials& account = own.account;
    OwnVolumes volumes;
    ConsistencyCheckDataBase db{(dir / "ConsistencyCheckDataBase.db").string()};
    TimeLineManager timeline{dir.str() + "/", volumes.parts(env)};  // where the check's passes go
    OwnRunState run{timeline, account};                             // whether the check may list
    ConsistencyCheck::Parts parts() { return {db, volumes.list, run.state, timeline}; }
    ConsistencyCheck check{parts()};
    std::shared_ptr<VolumeDetail> team;
    std::mutex m;
    Date now = Date(std::chrono::seconds(1'700'000'000));
    std::vector<std::pair<std::string, bool>> listed;
    bool passesSucceed = false;
};

// ---- Recording comparisons

TEST_F(ConsistencyCheckTest, AScanAddsTheFolderOnceAndLaterScansRefreshIt) {
    std::string a = folder("A");
    check.updateScanDate(a);
    advance(10min);
    check.updateScanDate(a);
    auto row = db.findRecord(inode(a), kUuid);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->refreshDate, clock());
    // One row: after removing it there is nothing left.
    db.removeRecord(*row);
    EXPECT_FALSE(db.lastRefreshDateRecord());
}

TEST_F(ConsistencyCheckTest, MissingFoldersAndFoldersOutsideEveryVolumeAreNotRecorded) {
    check.updateScanDate(team->localFolder + "/never made");
    EXPECT_FALSE(db.lastRefreshDateRecord());
    // A folder on another file system than the volume's: no volume UUID, so no row.
    auto shm = platform::attributesOfItem("/dev/shm");
    if (!shm || shm->systemNumber == team->volumeSystemNumber())
        GTEST_SKIP() << "no second file system to put a folder outside the volume on";
    TempDir outside("tw-cc-outside");
    std::string elsewhere = "/dev/shm/" + outside.path().filename().string();
    fs::create_directories(elsewhere);
    check.updateScanDate(elsewhere);
    fs::remove(elsewhere);
    EXPECT_FALSE(db.lastRefreshDateRecord());
}

// ---- The tick

TEST_F(ConsistencyCheckTest, WithAnEmptyTableNothingHappens) {
    advance(24h);
    EXPECT_TRUE(fire().empty());
    EXPECT_FALSE(db.lastRefreshDateRecord());
}

TEST_F(ConsistencyCheckTest,
       AFolderCompared59MinutesAgoWaitsAndOneCompared61MinutesAgoIsListedAutomatically) {
    std::string a = folder("A");
    check.updateScanDate(a);
    advance(59min);
    EXPECT_TRUE(fire().empty());
    advance(2min);
    auto listed = fire();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0], std::make_pair(a, false));
    // Exactly an hour is not "more than an hour".
    check.updateScanDate(a);
    advance(3600s);
    EXPECT_TRUE(fire().empty());
    advance(1s);
    EXPECT_EQ(fire().size(), 1u);
}

TEST_F(ConsistencyCheckTest, TheOldestFolderGoesFirstAndASuccessfulPassSendsItToTheBack) {
    passesSucceed = true;
    std::string a = folder("A"), b = folder("deep/B"), c = folder("C");
    check.updateScanDate(b);
    advance(1min);
    check.updateScanDate(a);
    advance(1min);
    check.updateScanDate(c);
    advance(2h);
    std::vector<std::string> order;
    for (int i = 0; i < 4; ++i) {
        for (auto& [path, user] : fire()) order.push_back(path);
        advance(1min);
    }
    // Each was listed once and then was fresh; the fourth tick found nothing stale.
    EXPECT_EQ(order, (std::vector<std::string>{b, a, c}));
}

TEST_F(ConsistencyCheckTest, ARenamedFolderIsFoundUnderItsNewName) {
    std::string a = folder("Old name");
    check.updateScanDate(a);
    fs::rename(a, team->localFolder + "/New name");
    advance(2h);
    auto listed = fire();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].first, fs::canonical(team->localFolder + "/New name").string());
}

TEST_F(ConsistencyCheckTest, AFolderOnAnUnmountedVolumeIsRefreshedAndTheNextOldestIsExaminedAMinuteLater) {
    std::string b = folder("B");
    db.addRecord({"11111111-2222-3333-4444-555555555555", 4242, clock() - 3h});
    check.updateScanDate(b);
    advance(90min);
    EXPECT_TRUE(fire().empty());
    auto stranger = db.findRecord(4242, "11111111-2222-3333-4444-555555555555");
    ASSERT_TRUE(stranger);
    EXPECT_EQ(stranger->refreshDate, clock());
    advance(1min);
    auto listed = fire();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].first, b);
}

TEST_F(ConsistencyCheckTest, ADeletedFoldersRowIsRemovedOnItsTurn) {
    std::string gone = folder("Gone");
    std::string kept = folder("Kept");
    uint64_t goneNode = inode(gone);
    check.updateScanDate(gone);
    advance(1min);
    check.updateScanDate(kept);
    fs::remove(gone);
    advance(2h);
    EXPECT_TRUE(fire().empty());
    EXPECT_FALSE(db.findRecord(goneNode, kUuid));
    ASSERT_TRUE(db.findRecord(inode(kept), kUuid));
}

TEST_F(ConsistencyCheckTest, AnIdentityNowHeldByAFileIsNotListedAndItsRowGoes) {
    std::string a = folder("A");
    uint64_t node = inode(a);
    check.updateScanDate(a);
    // Stands in for a file system that hands the folder's number to a new file.
    std::string file = team->localFolder + "/file.txt";
    ASSERT_TRUE(writeFile(file, "x"));
    db.removeRecord({kUuid, node, clock()});
    db.addRecord({kUuid, inode(file), clock()});
    advance(2h);
    EXPECT_TRUE(fire().empty());
    EXPECT_FALSE(db.lastRefreshDateRecord());
}

TEST_F(ConsistencyCheckTest, WhilePausedOrOfflineTheOldestRowIsNotExaminedAndKeepsItsTime) {
    std::string a = folder("A");
    check.updateScanDate(a);
    Date scanned = clock();
    advance(3h);
    auto& state = run.state;
    state.allowServerCommunication = false;
    EXPECT_TRUE(fire().empty());
    state.allowServerCommunication = true;
    state.networkAvailable.storeQuietly(false);
    EXPECT_TRUE(fire().empty());
    EXPECT_EQ(db.lastRefreshDateRecord()->refreshDate, scanned);
    // The same tick on an unmounted volume's row would have refreshed it; while paused it does not.
    db.addRecord({"11111111-2222-3333-4444-555555555555", 7, scanned - 1h});
    EXPECT_TRUE(fire().empty());
    EXPECT_EQ(db.lastRefreshDateRecord()->refreshDate, scanned - 1h);
}

TEST_F(ConsistencyCheckTest, TheTimerStartsStopsAndCanBeDroppedWhileRunning) {
    EXPECT_FALSE(check.running());
    check.start();
    EXPECT_TRUE(check.running());
    check.start();  // restarting replaces the timer
    EXPECT_TRUE(check.running());
    check.stop();
    EXPECT_FALSE(check.running());
    auto other = std::make_unique<ConsistencyCheck>(parts());
    other->start();
    other.reset();
}

// ---- The rotation's side: its next folder, and folders made here that were never listed

// The rotation takes the oldest folder past the age it is given, passing over those it is told to skip
// (a listing that just failed), and keeps the tick's ways with unmounted volumes and gone folders.
TEST_F(ConsistencyCheckTest, TheRotationTakesTheOldestDueFolderAndCanPassOverSome) {
    std::string a = folder("A"), b = folder("B"), c = folder("C");
    check.updateScanDate(a);
    advance(1min);
    check.updateScanDate(b);
    advance(1min);
    check.updateScanDate(c);
    advance(10min);
    EXPECT_FALSE(check.takeOldestDue(20min)) << "nothing is older than the age given";
    EXPECT_EQ(check.takeOldestDue(5min), a);
    EXPECT_EQ(check.takeOldestDue(5min, [&](const std::string& f) { return f == a; }), b);
    EXPECT_EQ(check.takeOldestDue(11min, [&](const std::string& f) { return f == a; }), std::nullopt)
        << "the next one is not old enough";
    // Gone: forgotten on its turn, the next call goes on.
    fs::remove(a);
    EXPECT_FALSE(check.takeOldestDue(5min));
    EXPECT_EQ(check.takeOldestDue(5min), b);
    EXPECT_EQ(db.rowCount(), 2u);
}

// Folders made here and never listed have no row: enrolled, they join the line first, as never
// compared; a folder known keeps its date. The volume counts as compared in full only once all were.
TEST_F(ConsistencyCheckTest, EnrolledFoldersComeFirstAndAVolumeIsComparedInFullOnlyOnceAllWere) {
    std::string a = folder("A"), made = folder("A/made here");
    check.updateScanDate(a);
    Date listedAt = clock();
    EXPECT_EQ(db.oldestRefresh(kUuid), listedAt);
    advance(1h);
    check.enrol(a);
    check.enrol(made);
    check.enrol(made);
    EXPECT_EQ(db.rowCount(), 2u);
    EXPECT_EQ(db.oldestRefresh(kUuid), Date{}) << "a folder never compared";
    EXPECT_EQ(check.takeOldestDue(30min), made);
    check.updateScanDate(made);
    EXPECT_EQ(db.oldestRefresh(kUuid), listedAt);
    EXPECT_FALSE(db.oldestRefresh("no such volume"));
}

}  // namespace
}  // namespace tw::test
