// The pace of listings that bring server changes down, on simulated time: the budget the folders in use
// and the rotation share, the rotation's rate for trees of every size, the back-off from a slow or
// failing server, and the times nothing is listed at all.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Pinewick/engine/ListingPace.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
using Clock = ListingPace::Clock;

// A listing the pace queued.
struct Listed {
    std::string folder;
    bool urgent;
    Clock::time_point at;
};

class Pace : public ::testing::Test {
protected:
    ListingPace::Parts parts() {
        ListingPace::Parts p;
        p.list = [this](const std::string& f, double fresh, bool urgent,
                        std::function<void(ListingOutcome, Clock::duration)> done) {
            EXPECT_EQ(fresh, 60.0);
            listed.push_back({f, urgent, now});
            done(outcome, took);
        };
        // The line as the consistency check keeps it: the same oldest folders until one is compared
        // (here, a folder compared goes to the back at once, so the line is taken from its start).
        p.oldestDue = [](std::chrono::seconds, const std::function<bool(const std::string&)>& skip) {
            for (int i = 0; i < 8; ++i) {
                std::string f = "/v/rot" + std::to_string(i);
                if (skip && skip(f)) continue;
                return std::optional<std::string>(f);
            }
            return std::optional<std::string>();
        };
        p.folders = [this] { return folders; };
        p.mayContact = [this] { return contact; };
        p.lowBattery = [this] { return lowBattery; };
        p.settings = [this] { return settings; };
        p.ignored = [](const std::string& f) { return f.find("/ignored") != std::string::npos; };
        return p;
    }
    // Steps the pace every 200 ms of simulated time for `d`.
    void run(ListingPace& pace, Clock::duration d) {
        for (auto end = now + d; now < end;) {
            now += ListingPace::kStep;
            pace.step(now);
        }
    }
    size_t count(const std::string& prefix, bool urgent) const {
        size_t n = 0;
        for (const auto& l : listed) n += l.folder.rfind(prefix, 0) == 0 && l.urgent == urgent;
        return n;
    }

    Clock::time_point now = Clock::now();
    std::vector<Listed> listed;
    ListingOutcome outcome = ListingOutcome::compared;
    Clock::duration took = 100ms;
    uint64_t folders = 0;
    bool contact = true, lowBattery = false;
    ListingPace::Settings settings;
    std::atomic<int> discoveries{0};
};

// `git status` reads a thousand folders every few seconds: they are in use, and listed again each
// minute, but never faster than the budget allows, the ones waiting longest first.
TEST_F(Pace, FoldersInUseShareTheBudgetAndEachIsListedAtMostOnceAMinute) {
    ListingPace pace(parts());
    for (int i = 0; i < 1000; ++i) pace.folderInUse("/v/repo/d" + std::to_string(i), "/usr/bin/git", now);
    run(pace, 100s);
    // Three a second, whatever a thousand folders would want.
    EXPECT_GE(listed.size(), 295u);
    EXPECT_LE(listed.size(), 301u);
    std::map<std::string, Clock::time_point> last;
    for (const auto& l : listed) {
        EXPECT_TRUE(l.urgent) << "a folder in use is listed ahead of the automatic passes";
        if (auto it = last.find(l.folder); it != last.end()) {
            EXPECT_GE(l.at - it->second, ListingPace::kInUseRefresh) << l.folder;
        }
        last[l.folder] = l.at;
    }
    EXPECT_EQ(pace.figures().inUse, 1000u);
}

// One folder in use is listed again every minute while it is in use; an hour after its last use it
// no longer is. Indexers and thumbnailers do not make a folder in use, nor does a folder never
// synchronised.
TEST_F(Pace, AFolderInUseIsListedEveryMinuteForAnHourAndIndexersDoNotCount) {
    ListingPace pace(parts());
    pace.folderInUse("/v/notes", "/usr/bin/vim", now);
    pace.folderInUse("/v/photos", "/usr/libexec/tracker-miner-fs-3", now);
    pace.folderInUse("/v/photos", "/usr/bin/gdk-pixbuf-thumbnailer", now);
    pace.folderInUse("/v/ignored", "/usr/bin/ls", now);
    run(pace, 10min);
    EXPECT_EQ(count("/v/notes", true), 10u);
    EXPECT_EQ(count("/v/photos", true), 0u);
    EXPECT_EQ(count("/v/ignored", true), 0u);
    run(pace, 2h);
    EXPECT_EQ(count("/v/notes", true), 60u) << "listed for the hour after its use, then no more";
    EXPECT_EQ(pace.figures().inUse, 0u);
}

// The rotation spreads its listings over the cycle: a tree of 1,000 folders costs a listing every 3.6
// seconds, one of 10,000 about three a second; past that the rate stays and the cycle grows.
TEST_F(Pace, TheRotationsRateFollowsTheTreeUpToTheBudget) {
    for (uint64_t size : {1'000u, 10'000u, 100'000u}) {
        folders = size;
        listed.clear();
        ListingPace pace(parts());
        run(pace, 20s);  // the first count of the tree
        listed.clear();
        run(pace, 360s);
        double expected = std::min(3.0, static_cast<double>(size) / 3600) * 360;
        EXPECT_NEAR(static_cast<double>(count("/v/rot", false)), expected, expected * 0.05 + 2) << size;
        EXPECT_NEAR(pace.figures().rotationRate, expected / 360, 0.01) << size;
    }
}

// Folders in use come first: the rotation takes what the budget leaves.
TEST_F(Pace, TheRotationTakesWhatTheFoldersInUseLeave) {
    folders = 100'000;
    ListingPace pace(parts());
    for (int i = 0; i < 100; ++i) pace.folderInUse("/v/busy/d" + std::to_string(i), "", now);
    run(pace, 20s);
    EXPECT_GT(count("/v/busy", true), 55u);
    EXPECT_LT(count("/v/rot", false), 10u);
    EXPECT_LE(listed.size(), 61u);
}

// A server that answers slowly or fails lowers the rate, halving it at each such answer; quick answers
// give it back a little at a time.
TEST_F(Pace, ASlowOrFailingServerLowersTheRateAndQuickAnswersRestoreIt) {
    folders = 100'000;
    ListingPace pace(parts());
    run(pace, 20s);
    EXPECT_NEAR(pace.figures().rate, 3.0, 1e-9);
    took = 3s;
    run(pace, 4s);
    EXPECT_LT(pace.figures().rate, 0.5);
    size_t before = listed.size();
    run(pace, 10s);
    EXPECT_LT(listed.size() - before, 5u) << "a slow server is asked less often";
    outcome = ListingOutcome::failed;
    took = 10ms;
    run(pace, 60s);
    EXPECT_LT(pace.figures().rate, 0.1);
    outcome = ListingOutcome::compared;
    run(pace, 300s);
    EXPECT_NEAR(pace.figures().rate, 3.0, 1e-9);
}

// A folder whose rotation listing failed is passed over for a minute: it cannot hold up the line.
TEST_F(Pace, AFolderWhoseListingFailedDoesNotHoldUpTheRotation) {
    folders = 100'000;
    ListingPace pace(parts());
    outcome = ListingOutcome::failed;
    run(pace, 30s);
    std::map<std::string, int> times;
    for (const auto& l : listed) ++times[l.folder];
    for (const auto& [f, n] : times) EXPECT_EQ(n, 1) << f;
}

// Nothing is listed while the server may not be contacted (paused, asleep, offline) or a battery runs
// the machine low; coming back does not make up for the time lost in a burst.
TEST_F(Pace, NothingIsListedWhilePausedOrOnALowBatteryAndNothingIsSavedUp) {
    folders = 100'000;
    ListingPace pace(parts());
    pace.folderInUse("/v/notes", "", now);
    contact = false;
    run(pace, 10min);
    EXPECT_TRUE(listed.empty());
    EXPECT_TRUE(pace.figures().waiting);
    contact = true;
    lowBattery = true;
    run(pace, 10min);
    EXPECT_TRUE(listed.empty());
    lowBattery = false;
    run(pace, 1s);
    EXPECT_LE(listed.size(), 4u);
    EXPECT_FALSE(pace.figures().waiting);
}

// The rotation learns of the folders there are at its first step and once a cycle after.
TEST_F(Pace, FoldersAreDiscoveredAtTheStartAndOnceACycle) {
    settings.cycleSeconds = 600;
    {
        auto p = parts();
        p.discover = [this] { ++discoveries; };
        ListingPace pace(p);
        pace.step(now);
        for (int i = 0; i < 100 && discoveries == 0; ++i) std::this_thread::sleep_for(10ms);
        run(pace, 1min);
        for (int i = 0; i < 100 && discoveries < 1; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_EQ(discoveries, 1);
        run(pace, 10min);
        for (int i = 0; i < 100 && discoveries < 2; ++i) std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(discoveries, 2);
}

}  // namespace
}  // namespace tw::test
