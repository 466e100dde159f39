// `tidewell sync PATH`: every folder under the path listed whatever its freshness, the folders the
// listings bring down listed in turn, and the job's progress, on a real folder tree with the listings
// played by the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "Pinewick/engine/TreeSync.h"
#include "support/temp_dir.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class TreeSyncTest : public ::testing::Test {
protected:
    TreeSync::Parts parts() {
        TreeSync::Parts p;
        p.list = [this](const std::string& f, double fresh, bool urgent,
                        std::function<void(ListingOutcome, std::chrono::steady_clock::duration)> done) {
            EXPECT_EQ(fresh, 0.0) << "listed whatever its freshness";
            EXPECT_TRUE(urgent) << "as the user asked";
            std::lock_guard l(m);
            listed.push_back(f);
            // What a listing of "a" finds on the server: a folder new here, made by its events.
            if (f == root("a") && !fs::exists(root("a/new"))) fs::create_directories(root("a/new/deeper"));
            if (hold) {
                held.push_back(std::move(done));
                return;
            }
            done(f.find("broken") != std::string::npos ? ListingOutcome::failed : ListingOutcome::compared,
                 1ms);
        };
        p.roots = [this] { return std::vector<std::string>{root("a"), root("b")}; };
        p.ignored = [](const std::string& f) { return f.find(".Trash") != std::string::npos; };
        p.settle = [](std::chrono::milliseconds) {};
        return p;
    }
    std::string root(const std::string& rel) const { return (dir / rel).string(); }
    TreeSync::Progress wait(TreeSync& sync, uint64_t job) {
        for (int i = 0; i < 500; ++i) {
            auto p = sync.progress(job);
            if (p && p->done) return *p;
            std::this_thread::sleep_for(10ms);
        }
        ADD_FAILURE() << "the job did not end";
        return {};
    }

    TempDir dir{"tw-treesync"};
    std::mutex m;
    std::vector<std::string> listed;
    bool hold = false;
    std::vector<std::function<void(ListingOutcome, std::chrono::steady_clock::duration)>> held;
};

TEST_F(TreeSyncTest, EveryFolderUnderThePathIsListedOnceAndWhatTheListingsBringDownToo) {
    for (const char* f : {"a/x/y", "a/z", "a/.Trash-1000/old", "a/broken", "b/c"})
        fs::create_directories(root(f));
    TreeSync sync(parts());
    auto progress = wait(sync, sync.start(root("a")));
    std::set<std::string> once(listed.begin(), listed.end());
    EXPECT_EQ(once.size(), listed.size()) << "a folder is listed once per job";
    EXPECT_EQ(once, (std::set<std::string>{root("a"), root("a/x"), root("a/x/y"), root("a/z"),
                                           root("a/broken"), root("a/new"), root("a/new/deeper")}));
    EXPECT_EQ(progress.listed, 6u);
    EXPECT_EQ(progress.failed, 1u);
    EXPECT_EQ(progress.known, 7u);
    EXPECT_FALSE(sync.progress(999));

    // Without a path: every mappoint.
    listed.clear();
    wait(sync, sync.start("/"));
    EXPECT_EQ(std::count(listed.begin(), listed.end(), root("b/c")), 1);
    EXPECT_EQ(listed.size(), 9u);
}

// A job still waiting for its listings when the client quits ends at once; their late reports reach
// nobody.
TEST_F(TreeSyncTest, AJobWaitingForItsListingsEndsWhenTheClientGoes) {
    fs::create_directories(root("a/x"));
    hold = true;
    auto sync = std::make_unique<TreeSync>(parts());
    auto job = sync->start(root("a"));
    auto heldCount = [&] {
        std::lock_guard l(m);
        return held.size();
    };
    for (int i = 0; i < 500 && heldCount() < 2; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(heldCount(), 2u);
    EXPECT_FALSE(sync->progress(job)->done);
    sync.reset();
    for (auto& done : held) done(ListingOutcome::compared, 1ms);
}

}  // namespace
}  // namespace tw::test
