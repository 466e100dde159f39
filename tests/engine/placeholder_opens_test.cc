// Opens of placeholders by programs: who is refused, how waits meet one download, and how a wait ends
// when the download fails or takes too long. The download itself is stood in for; the real one runs in
// the program tests through real mounts.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/PlaceholderOpens.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "platform/pwevent.h"
#include "support/temp_dir.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using S = CEAStatus::keys;
using test::TempDir;
using test::writeFile;

class Answers {
public:
    PlaceholderOpens::Answer collect() {
        auto p = std::make_shared<std::promise<std::string>>();
        futures_.push_back(p->get_future());
        return [p](const char* text) { p->set_value(text); };
    }
    std::future<std::string>& operator[](size_t i) { return futures_[i]; }

private:
    std::vector<std::future<std::string>> futures_;
};

class PlaceholderOpensTest : public ::testing::Test {
protected:
    std::string item(const std::string& name, S status) {
        std::string path = (dir / name).string();
        EXPECT_TRUE(writeFile(path, ""));
        CorvaneExtendedAttributes record(path);
        record.ceaStatus.setStatus(status);
        EXPECT_TRUE(record.save());
        return path;
    }

    TempDir dir{"tw-placeholder-opens"};
    StatusBarManager statusBar;
    std::atomic<int> fetches{0};
    std::promise<bool> release;
    std::shared_future<bool> released = release.get_future().share();
};

TEST_F(PlaceholderOpensTest, WhoIsRefusedAndWhatIsLetThroughAtOnce) {
    PlaceholderOpens opens(ServerConfigurationDetails::sharedInstance(), [&](const std::string&) {
        ++fetches;
        return true;
    });
    std::string placeholder = item("a.txt", S::Placeholder), regular = item("b.txt", S::Regular);
    std::string inError = item("c.txt", S::ErrorPlaceHolder);
    auto never = [](const char*) { ADD_FAILURE() << "no second answer was due"; };
    PlaceholderOpens::Limits limits;
    EXPECT_STREQ(opens.open(regular, "/usr/bin/cat", never, false, {}, limits), pw::kAnswerAllow);
    EXPECT_STREQ(opens.open(inError, "/usr/bin/cat", never, false, {}, limits), pw::kAnswerRefuse);
    EXPECT_STREQ(opens.open(placeholder, "/usr/libexec/tracker-extract-3", never, false, {}, limits),
                 pw::kAnswerRefuse);
    EXPECT_STREQ(opens.open(placeholder, "/usr/bin/backup-scanner", never, false, {"backup-scanner"}, limits),
                 pw::kAnswerRefuse);
    EXPECT_STREQ(opens.open(placeholder, "/usr/bin/cat", never, true, {}, limits), pw::kAnswerRefuse);
    EXPECT_EQ(fetches.load(), 0) << "a refused or unneeded open fetched";
    // A name that only resembles a listed one is not refused.
    EXPECT_FALSE(PlaceholderOpens::onlyLooks("/usr/bin/updatedb-helper", {}));
    EXPECT_TRUE(PlaceholderOpens::onlyLooks("/usr/sbin/updatedb.plocate", {}));
    EXPECT_FALSE(PlaceholderOpens::onlyLooks("", {}));
}

TEST_F(PlaceholderOpensTest, OpensOfOneFileWaitForOneDownloadAndLearnItsOutcome) {
    PlaceholderOpens opens(ServerConfigurationDetails::sharedInstance(), [&](const std::string&) {
        ++fetches;
        return released.get();
    });
    std::string path = item("report.pdf", S::Placeholder);
    Answers answers;
    PlaceholderOpens::Limits limits;
    EXPECT_STREQ(opens.open(path, "/usr/bin/evince", answers.collect(), false, {}, limits),
                 pw::kAnswerDownloading);
    EXPECT_STREQ(opens.open(path, "/usr/bin/cp", answers.collect(), false, {}, limits),
                 pw::kAnswerDownloading);
    EXPECT_EQ(opens.waiting(), 2u);
    EXPECT_EQ(answers[0].wait_for(300ms), std::future_status::timeout);
    release.set_value(false);
    EXPECT_EQ(answers[0].get(), pw::kAnswerFailed);
    EXPECT_EQ(answers[1].get(), pw::kAnswerFailed);
    EXPECT_EQ(fetches.load(), 1);
    EXPECT_EQ(opens.waiting(), 0u);
}

TEST_F(PlaceholderOpensTest, AWaitEndsAtItsLimitWhileTheDownloadGoesOn) {
    PlaceholderOpens opens(ServerConfigurationDetails::sharedInstance(), [&](const std::string&) {
        ++fetches;
        return released.get();
    });
    std::string path = item("huge.iso", S::RequireDownload);
    Answers answers;
    PlaceholderOpens::Limits shortWait{600ms, 30s}, stallOnly{30s, 600ms};
    EXPECT_STREQ(opens.open(path, "/usr/bin/cat", answers.collect(), false, {}, shortWait),
                 pw::kAnswerDownloading);
    EXPECT_STREQ(opens.open(path, "/usr/bin/cat", answers.collect(), false, {}, stallOnly),
                 pw::kAnswerDownloading);
    // Nothing arrives: both limits pass, each wait ends, the download is not abandoned.
    EXPECT_EQ(answers[0].get(), pw::kAnswerTimedOut);
    EXPECT_EQ(answers[1].get(), pw::kAnswerTimedOut);
    EXPECT_EQ(opens.waiting(), 0u);
    // A later open joins the download still running and learns how it ended.
    EXPECT_STREQ(opens.open(path, "/usr/bin/cat", answers.collect(), false, {}, PlaceholderOpens::Limits{}),
                 pw::kAnswerDownloading);
    release.set_value(true);
    EXPECT_EQ(answers[2].get(), pw::kAnswerAllow);
    EXPECT_EQ(fetches.load(), 1);
}

// A placeholder written to while nobody watched (the in-location folder is a plain folder while the
// application is stopped) holds the user's bytes: the open reads them, nothing is fetched over them, and
// the item becomes a conflict the user is shown.
TEST_F(PlaceholderOpensTest, BytesWrittenIntoAPlaceholderAreKeptNotFetchedOver) {
    std::string path = item("notes.txt", S::Placeholder);
    {
        CorvaneExtendedAttributes r(path);
        r.ceaString.setAttribute(CEAString::keys::Revision, "12");
        ASSERT_TRUE(r.save());
    }
    ASSERT_TRUE(writeFile(path, "typed while Tidewell was stopped"));
    ServerEnvironment env;
    // The real fetch: never reached.
    PlaceholderOpens opens(ServerConfigurationDetails::sharedInstance(),
                           PlaceholderOpens::download(statusBar, env));
    Answers answers;
    EXPECT_STREQ(opens.open(path, "/usr/bin/cat", answers.collect(), false, {}, PlaceholderOpens::Limits{}),
                 pw::kAnswerDownloading);
    EXPECT_EQ(answers[0].get(), pw::kAnswerAllow);
    EXPECT_EQ(test::readFile(path), "typed while Tidewell was stopped");
    CorvaneExtendedAttributes after(path);
    EXPECT_EQ(after.ceaStatus.status, S::ErrorRegular);
    EXPECT_EQ(after.ceaErrorStatus.status, CEAErrorStatus::keys::Conflict);
    EXPECT_EQ(after.ceaString.getAttribute(CEAString::keys::ConflictRevision), "12");
}

TEST_F(PlaceholderOpensTest, BytesArrivingKeepAWaitAlive) {
    std::string path = item("video.mkv", S::Placeholder);
    PlaceholderOpens opens(ServerConfigurationDetails::sharedInstance(), [&](const std::string& p) {
        // A slow transfer: a little every 200 ms, for longer than the stall limit in
        // all.
        for (int i = 0; i < 8; ++i) {
            std::this_thread::sleep_for(200ms);
            std::ofstream(p, std::ios::app) << std::string(1000, 'x');
        }
        return true;
    });
    Answers answers;
    EXPECT_STREQ(opens.open(path, "/usr/bin/mpv", answers.collect(), false, {}, {30s, 700ms}),
                 pw::kAnswerDownloading);
    EXPECT_EQ(answers[0].get(), pw::kAnswerAllow);
}

// The program that opened a file seems to hang while the download runs: a wait of more than a moment
// is told to the user, once per download, naming the program; a quick one is not told at all.
TEST_F(PlaceholderOpensTest, ALongWaitIsToldOnceNamingTheProgram) {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> told;
    std::chrono::steady_clock::time_point toldAt;
    PlaceholderOpens opens(
        ServerConfigurationDetails::sharedInstance(),
        [&](const std::string& p) {
            ++fetches;
            return p.ends_with("quick.txt") ? true : released.get();
        },
        [&](const std::string& p, const std::string& program) {
            std::lock_guard lock(mutex);
            told.emplace_back(p, program);
            toldAt = std::chrono::steady_clock::now();
        });
    auto toldSoFar = [&] {
        std::lock_guard lock(mutex);
        return told;
    };
    std::string quick = item("quick.txt", S::Placeholder), slow = item("slow.iso", S::Placeholder);
    Answers answers;
    EXPECT_STREQ(opens.open(quick, "/usr/bin/cat", answers.collect(), false, {}, {}), pw::kAnswerDownloading);
    EXPECT_EQ(answers[0].get(), pw::kAnswerAllow);

    const auto opened = std::chrono::steady_clock::now();
    EXPECT_STREQ(opens.open(slow, "/usr/bin/gedit", answers.collect(), false, {}, {}),
                 pw::kAnswerDownloading);
    std::this_thread::sleep_for(PlaceholderOpens::kLongWait / 2);
    EXPECT_STREQ(opens.open(slow, "/usr/bin/cp", answers.collect(), false, {}, {}), pw::kAnswerDownloading);
    for (int i = 0; i < 100 && toldSoFar().empty(); ++i) std::this_thread::sleep_for(50ms);
    // Half a long wait more: nothing more is told about the same download.
    std::this_thread::sleep_for(PlaceholderOpens::kLongWait / 2);
    auto heard = toldSoFar();
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0], std::make_pair(slow, std::string("/usr/bin/gedit")));
    EXPECT_GE(toldAt - opened, PlaceholderOpens::kLongWait);
    release.set_value(true);
    EXPECT_EQ(answers[1].get(), pw::kAnswerAllow);
    EXPECT_EQ(answers[2].get(), pw::kAnswerAllow);
    EXPECT_EQ(toldSoFar().size(), 1u);
}

}  // namespace
}  // namespace tw
