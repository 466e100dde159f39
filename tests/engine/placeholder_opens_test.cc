// Opens of placeholders by programs: who is refused, how waits meet one download, and how a wait ends
// when the download fails or takes too long. The download itself is stood in for; the real one runs in
// the program tests through real mounts.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>
#include <thread>

#include "Pinewick/engine/PlaceholderOpens.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
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
    std::atomic<int> fetches{0};
    std::promise<bool> release;
    std::shared_future<bool> released = release.get_future().share();
};

TEST_F(PlaceholderOpensTest, WhoIsRefusedAndWhatIsLetThroughAtOnce) {
    PlaceholderOpens opens([&](const std::string&) {
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
    PlaceholderOpens opens([&](const std::string&) {
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
    PlaceholderOpens opens([&](const std::string&) {
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

TEST_F(PlaceholderOpensTest, BytesArrivingKeepAWaitAlive) {
    std::string path = item("video.mkv", S::Placeholder);
    PlaceholderOpens opens([&](const std::string& p) {
        // A slow transfer: a little every 200 ms, for longer than the stall limit in all.
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

}  // namespace
}  // namespace tw
