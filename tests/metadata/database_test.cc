#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <limits>
#include <thread>
#include <vector>

#include "Pinewick/config/Logger.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/metadata/ConsistencyCheckDataBase.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/metadata/SqliteConnection.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace tw;
using tw::test::TempDir;

namespace {

std::string logText() {
    Logger::sharedInstance().flush();
    return tw::test::readFile(Logger::sharedInstance().logPath());
}

std::chrono::system_clock::time_point at(double secondsSince1970) {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<double>(secondsSince1970)));
}

// Bytes that SQLite will not take for a database, the way a user's stray file might look.
const std::string kNotADatabase =
    std::string("This is somebody's notes, not a database.\n") + std::string(4096, 'z');

}  // namespace

TEST(MetadataDataBase, SharedInstanceLivesInTheSupportFolder) {
    auto& db = MetadataDataBase::sharedInstance();
    std::string folder = ServerConfigurationDetails::sharedInstance().supportFolder;
    EXPECT_EQ(db.databasePath(), folder + "MetaDataDataBase.db");
    EXPECT_EQ(db.databasePath().find("//"), std::string::npos);
    EXPECT_TRUE(db.isOpen());
    EXPECT_TRUE(fs::exists(db.databasePath()));
    EXPECT_EQ(ConsistencyCheckDataBase::sharedInstance().databasePath(),
              folder + "ConsistencyCheckDataBase.db");
}

TEST(MetadataDataBase, AddingAnIdentityAgainUpdatesItsRow) {
    TempDir dir;
    MetadataDataBase db((dir / "m.db").string());
    db.addRecord({"VOL-A", 10, "/Volumes/A/one", "1", "Placeholder"});
    db.addRecord({"VOL-A", 10, "/Volumes/A/renamed", "2", "Regular"});
    db.addRecord({"VOL-B", 10, "/Volumes/B/other", "7", "Regular"});  // same node, other volume

    auto row = db.findRecord(10, "VOL-A");
    ASSERT_TRUE(row);
    EXPECT_EQ(*row, (Record{"VOL-A", 10, "/Volumes/A/renamed", "2", "Regular"}));
    EXPECT_TRUE(db.findRecord("/Volumes/A/one").empty());
    EXPECT_EQ(db.findRecord("/Volumes/A/renamed").size(), 1u);
    EXPECT_FALSE(db.findRecord(11, "VOL-A"));
    EXPECT_EQ(db.findRecord(10, "VOL-B")->path, "/Volumes/B/other");
}

TEST(MetadataDataBase, PathLookupFindsEveryIdentityThatHadIt) {
    TempDir dir;
    MetadataDataBase db((dir / "m.db").string());
    db.addRecord({"VOL", 1, "/v/report.doc", "1", "Regular"});
    db.addRecord({"VOL", 2, "/v/report.doc", "3", "RequireUpload"});  // replaced by a copy
    db.addRecord({"VOL", 3, "/v/other.doc", "1", "Regular"});
    auto rows = db.findRecord("/v/report.doc");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (Record{"VOL", 1, "/v/report.doc", "1", "Regular"}));
    EXPECT_EQ(rows[1], (Record{"VOL", 2, "/v/report.doc", "3", "RequireUpload"}));

    db.removeRecord(rows[0]);
    EXPECT_EQ(db.findRecord("/v/report.doc").size(), 1u);
    EXPECT_FALSE(db.findRecord(1, "VOL"));
    db.removeRecord(rows[0]);  // already gone: no harm
}

TEST(MetadataDataBase, RowsPersistAndTextsAreKeptExactly) {
    TempDir dir;
    std::string path = (dir / "m.db").string();
    std::string odd = "/v/it's \"quoted\"; DROP TABLE Metadata;--/caf\xc3\xa9";
    {
        MetadataDataBase db(path);
        db.addRecord({"VOL", 5, odd, "r'1", "Regular"});
    }
    MetadataDataBase again(path);
    auto row = again.findRecord(5, "VOL");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->path, odd);
    EXPECT_EQ(row->revision, "r'1");
    EXPECT_EQ(again.findRecord(odd).size(), 1u);
}

// What uploads sent outlives the process until an answer comes; a path keeps its latest eight, and
// one answered upload forgets them all.
TEST(MetadataDataBase, SentUploadsPersistPerPathAndAreForgottenOnce) {
    TempDir dir;
    std::string path = (dir / "m.db").string();
    {
        MetadataDataBase db(path);
        for (int i = 0; i < 10; ++i) db.noteSentUpload("/v/a.txt", 100 + static_cast<uint64_t>(i), 1000 + i);
        db.noteSentUpload("/v/b.txt", 7, 70);
        db.noteSentUpload("/v/b.txt", 7, 70);  // the same twice is one
    }
    MetadataDataBase again(path);
    EXPECT_FALSE(again.sentUpload("/v/a.txt", 100, 1000)) << "the oldest go past eight";
    EXPECT_FALSE(again.sentUpload("/v/a.txt", 101, 1001));
    for (int i = 2; i < 10; ++i)
        EXPECT_TRUE(again.sentUpload("/v/a.txt", 100 + static_cast<uint64_t>(i), 1000 + i));
    EXPECT_FALSE(again.sentUpload("/v/a.txt", 105, 1004)) << "size and date go together";
    EXPECT_TRUE(again.sentUpload("/v/b.txt", 7, 70));
    again.forgetSentUploads("/v/a.txt");
    EXPECT_FALSE(again.sentUpload("/v/a.txt", 109, 1009));
    EXPECT_TRUE(again.sentUpload("/v/b.txt", 7, 70));
}

// A folder moved: the rows under it follow, gone items' too; a sibling whose name only begins like
// the folder's stays.
TEST(MetadataDataBase, RowsUnderAMovedFolderFollowIt) {
    TempDir dir;
    MetadataDataBase db((dir / "m.db").string());
    db.addRecord({"VOL", 1, "/v/dir/a.txt", "1", "Regular"});
    db.addRecord({"VOL", 2, "/v/dir/sub/b.txt", "2", "Regular"});
    db.addRecord({"VOL", 3, "/v/dir two/c.txt", "3", "Regular"});
    db.addRecord({"VOL", 4, "/v/dir", "", "Regular"});
    db.moveFolderRows("/v/dir", "/v/renamé");
    EXPECT_EQ(db.findRecord(1, "VOL")->path, "/v/renamé/a.txt");
    EXPECT_EQ(db.findRecord(2, "VOL")->path, "/v/renamé/sub/b.txt");
    EXPECT_EQ(db.findRecord(3, "VOL")->path, "/v/dir two/c.txt");
    EXPECT_EQ(db.findRecord(4, "VOL")->path, "/v/dir") << "the folder's own row is its move's to change";
    db.moveFolderRows("/v/renamé", "/v/x");
    EXPECT_EQ(db.findRecord(1, "VOL")->path, "/v/x/a.txt");
}

TEST(MetadataDataBase, NodesBeyondSignedRangeAreRefused) {
    TempDir dir;
    MetadataDataBase db((dir / "m.db").string());
    uint64_t big = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1;
    db.addRecord({"VOL", big, "/v/big", "1", "Regular"});
    EXPECT_FALSE(db.findRecord(big, "VOL"));
    EXPECT_TRUE(db.findRecord("/v/big").empty());
    uint64_t largest = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    db.addRecord({"VOL", largest, "/v/largest", "1", "Regular"});
    EXPECT_EQ(db.findRecord(largest, "VOL")->path, "/v/largest");
    EXPECT_EQ(db.findRecord("/v/largest")[0].itemNode, largest);
}

TEST(MetadataDataBase, CallersOnManyThreadsSeeTheirOwnWrites) {
    TempDir dir;
    MetadataDataBase db((dir / "m.db").string());
    std::vector<std::thread> threads;
    std::atomic<int> misses{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                uint64_t node = static_cast<uint64_t>(t * 100 + i);
                db.addRecord({"VOL", node, "/v/" + std::to_string(node), "1", "Regular"});
                if (!db.findRecord(node, "VOL")) ++misses;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(misses.load(), 0);
}

TEST(MetadataDataBase, AFileThatIsNotADatabaseIsReportedAndLeftAlone) {
    TempDir dir;
    std::string path = (dir / "MetaDataDataBase.db").string();
    ASSERT_TRUE(tw::test::writeFile(path, kNotADatabase));
    {
        MetadataDataBase db(path);
        EXPECT_FALSE(db.isOpen());
        db.addRecord({"VOL", 1, "/v/a", "1", "Regular"});
        EXPECT_FALSE(db.findRecord(1, "VOL"));
        EXPECT_TRUE(db.findRecord("/v/a").empty());
        db.removeRecord({"VOL", 1, "/v/a", "1", "Regular"});
    }
    EXPECT_EQ(tw::test::readFile(path), kNotADatabase);
    EXPECT_FALSE(fs::exists(path + "-journal"));
    EXPECT_NE(logText().find("  Fatal: the Database at " + path + " is corrupt.\n"), std::string::npos);
}

TEST(MetadataDataBase, AnUnusableSupportFolderIsReported) {
    TempDir dir;
    // A regular file where the folder should be: no one, not even root, can create the database.
    ASSERT_TRUE(tw::test::writeFile(dir / "support", "file"));
    std::string path = (dir / "support" / "MetaDataDataBase.db").string();
    MetadataDataBase db(path);
    EXPECT_FALSE(db.isOpen());
    db.addRecord({"VOL", 1, "/v/a", "1", "Regular"});
    EXPECT_FALSE(db.findRecord(1, "VOL"));
    EXPECT_NE(logText().find("the Database at " + path + " is corrupt."), std::string::npos);
}

TEST(MetadataDataBase, AReadOnlySupportFolderIsReported) {
    if (geteuid() == 0) GTEST_SKIP() << "running as root: folder permissions do not stop root";
    TempDir dir;
    fs::create_directories(dir / "ro");
    fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);
    std::string path = (dir / "ro" / "MetaDataDataBase.db").string();
    MetadataDataBase db(path);
    EXPECT_FALSE(db.isOpen());
    EXPECT_NE(logText().find("the Database at " + path + " is corrupt."), std::string::npos);
}

TEST(ConsistencyCheckDataBase, OldestCheckComesFirstUntilRefreshed) {
    TempDir dir;
    ConsistencyCheckDataBase db((dir / "c.db").string());
    EXPECT_FALSE(db.lastRefreshDateRecord());
    db.addRecord({"VOL", 1, at(1000)});
    db.addRecord({"VOL", 2, at(500)});
    db.addRecord({"VOL", 3, at(750)});

    auto oldest = db.lastRefreshDateRecord();
    ASSERT_TRUE(oldest);
    EXPECT_EQ(oldest->folderNode, 2u);
    EXPECT_EQ(oldest->volumeUUID, "VOL");
    EXPECT_EQ(oldest->refreshDate, at(500));

    db.refreshRecord({"VOL", 2, at(2000)});
    EXPECT_EQ(db.lastRefreshDateRecord()->folderNode, 3u);
    db.removeRecord({"VOL", 3, {}});
    EXPECT_EQ(db.lastRefreshDateRecord()->folderNode, 1u);
    EXPECT_FALSE(db.findRecord(3, "VOL"));
}

TEST(ConsistencyCheckDataBase, AddDoesNotLookForAnExistingRow) {
    TempDir dir;
    ConsistencyCheckDataBase db((dir / "c.db").string());
    db.addRecord({"VOL", 7, at(100)});
    db.addRecord({"VOL", 7, at(50)});
    auto found = db.findRecord(7, "VOL");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->refreshDate, at(100));  // the first row
    // Refreshing updates both; removing removes both.
    db.refreshRecord({"VOL", 7, at(300)});
    EXPECT_EQ(db.lastRefreshDateRecord()->refreshDate, at(300));
    db.removeRecord({"VOL", 7, {}});
    EXPECT_FALSE(db.lastRefreshDateRecord());
}

TEST(ConsistencyCheckDataBase, DatesKeepSubSecondPrecisionAndPersist) {
    TempDir dir;
    std::string path = (dir / "c.db").string();
    auto now = std::chrono::system_clock::now();
    {
        ConsistencyCheckDataBase db(path);
        db.addRecord({"VOL", 9, now});
    }
    ConsistencyCheckDataBase again(path);
    auto found = again.findRecord(9, "VOL");
    ASSERT_TRUE(found);
    auto diff = found->refreshDate - now;
    EXPECT_LT(std::chrono::abs(diff), 1us);
}

TEST(ConsistencyCheckDataBase, AFileThatIsNotADatabaseIsReportedAndLeftAlone) {
    TempDir dir;
    std::string path = (dir / "ConsistencyCheckDataBase.db").string();
    ASSERT_TRUE(tw::test::writeFile(path, kNotADatabase));
    {
        ConsistencyCheckDataBase db(path);
        EXPECT_FALSE(db.isOpen());
        db.addRecord({"VOL", 1, at(1)});
        db.refreshRecord({"VOL", 1, at(2)});
        EXPECT_FALSE(db.lastRefreshDateRecord());
        EXPECT_FALSE(db.findRecord(1, "VOL"));
    }
    EXPECT_EQ(tw::test::readFile(path), kNotADatabase);
    EXPECT_NE(logText().find("  Fatal: the Database at " + path + " is corrupt.\n"), std::string::npos);
}

TEST(ConsistencyCheckDataBase, AnUnusableSupportFolderIsReported) {
    TempDir dir;
    ASSERT_TRUE(tw::test::writeFile(dir / "support", "file"));
    std::string path = (dir / "support" / "ConsistencyCheckDataBase.db").string();
    ConsistencyCheckDataBase db(path);
    EXPECT_FALSE(db.isOpen());
    db.addRecord({"VOL", 1, at(1)});
    EXPECT_FALSE(db.lastRefreshDateRecord());
    EXPECT_NE(logText().find("the Database at " + path + " is corrupt."), std::string::npos);
}

// Statements are kept prepared between uses: each use starts afresh (no binding or half-read result
// left from the last), and the same text used inside its own loop gets a statement of its own.
TEST(SqliteConnection, AKeptStatementStartsAfreshAndANestedUseGetsItsOwn) {
    TempDir dir;
    auto db = SqliteConnection::open((dir.path() / "t.db").string(),
                                     {"CREATE TABLE IF NOT EXISTS T (k INTEGER, v TEXT);"});
    ASSERT_TRUE(db);
    for (int k = 0; k < 3; ++k) {
        auto insert = db->prepare("INSERT INTO T (k, v) VALUES (?, ?);");
        ASSERT_TRUE(insert);
        ASSERT_TRUE(insert->bind(1, int64_t{k}).bind(2, "v" + std::to_string(k)).run());
    }
    const char* byKey = "SELECT v FROM T WHERE k = ?;";
    {
        // Left after its first row, with its binding: the next use must not see either.
        auto first = db->prepare(byKey);
        ASSERT_TRUE(first && first->bind(1, int64_t{1}).row());
        EXPECT_EQ(first->columnText(0), "v1");
    }
    auto unbound = db->prepare(byKey);
    ASSERT_TRUE(unbound);
    EXPECT_FALSE(unbound->row()) << "a binding of the last use was kept";

    auto all = db->prepare("SELECT k FROM T ORDER BY k;");
    ASSERT_TRUE(all);
    std::vector<std::string> seen;
    while (all->row()) {
        auto inner = db->prepare(byKey);
        ASSERT_TRUE(inner);
        ASSERT_TRUE(inner->bind(1, all->columnInt64(0)).row());
        seen.push_back(inner->columnText(0));
        auto nested = db->prepare("SELECT k FROM T ORDER BY k;");
        ASSERT_TRUE(nested && nested->row());
        EXPECT_EQ(nested->columnInt64(0), 0) << "the loop's own statement was lent out mid-loop";
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"v0", "v1", "v2"}));
    EXPECT_FALSE(db->prepare("SELECT nonsense FROM nowhere;")) << "a statement that does not prepare";
}
