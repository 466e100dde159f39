// A transfer's progress as every place shows it: the list of transfers under way and how often it
// tells its observers, the tray's state following it, the words and numbers for people ("45 % of
// 12.3 MB"), and the transfers in `tidewell status` and its JSON.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "Pinewick/app/TransferStatus.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/server/IconProgress.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using Direction = TransferProgress::Direction;

TEST(TransferProgressText, SizesPercentagesAndTheirLine) {
    const std::vector<std::pair<uint64_t, std::string>> sizes = {
        {0, "0 bytes"},
        {1, "1 byte"},
        {999, "999 bytes"},
        {1000, "1.0 kB"},
        {1049, "1.0 kB"},
        {12'300'000, "12.3 MB"},
        {999'949, "999.9 kB"},
        // Not "1000.0 kB": that is the next unit's 1.0.
        {999'950, "1.0 MB"},
        {1ull << 30, "1.1 GB"},
        {5'000'000'000'000, "5.0 TB"},
        {UINT64_MAX, "18.4 EB"},
    };
    for (const auto& [bytes, text] : sizes) EXPECT_EQ(StatusBarManager::sizeText(bytes), text) << bytes;

    EXPECT_EQ(StatusBarManager::percentDone(0, 1000), 0u);
    EXPECT_EQ(StatusBarManager::percentDone(455, 1000), 45u);
    EXPECT_EQ(StatusBarManager::percentDone(999, 1000), 99u);
    EXPECT_EQ(StatusBarManager::percentDone(1000, 1000), 100u);
    // 100 % means every byte, however close the rest comes; nothing overflows at the largest sizes.
    EXPECT_EQ(StatusBarManager::percentDone(UINT64_MAX - 1, UINT64_MAX), 99u);
    EXPECT_EQ(StatusBarManager::percentDone((1ull << 62) + 7, 1ull << 63), 50u);
    // An empty file is done as soon as it starts; more than the total is all of it.
    EXPECT_EQ(StatusBarManager::percentDone(0, 0), 100u);
    EXPECT_EQ(StatusBarManager::percentDone(20, 10), 100u);

    EXPECT_EQ(StatusBarManager::progressText(5'535'000, 12'300'000), "45 % of 12.3 MB");
}

// Observers hear of a start and an end at once, of moving bytes at most once per report interval, and
// always see the latest numbers when they ask.
TEST(Transfers, ListsEachTransferAndTellsObserversAFewTimesASecondAtMost) {
    Transfers transfers;
    std::atomic<int> told{0};
    int token = transfers.addObserver([&] { ++told; });

    uint64_t a = transfers.begin(Direction::download, "/v/Team/a.bin", 1000);
    uint64_t b = transfers.begin(Direction::upload, "/v/Team/b.bin", 50);
    EXPECT_EQ(told, 2);
    for (uint64_t done = 0; done <= 1000; ++done) transfers.update(a, done);
    EXPECT_EQ(told, 2) << "a burst of updates within one interval is told at its next one";
    auto list = transfers.list();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], (TransferProgress{Direction::download, "/v/Team/a.bin", 1000, 1000}));
    EXPECT_EQ(list[1], (TransferProgress{Direction::upload, "/v/Team/b.bin", 0, 50}));

    std::this_thread::sleep_for(Transfers::kReportInterval + 20ms);
    transfers.update(b, 80);  // more than the total counts as the total
    EXPECT_EQ(told, 3);
    EXPECT_EQ(transfers.find("/v/Team/b.bin")->done, 50u);

    // The same file twice (a second pass starts before the first is dropped): the later one counts.
    uint64_t again = transfers.begin(Direction::download, "/v/Team/a.bin", 2000);
    EXPECT_EQ(transfers.find("/v/Team/a.bin")->total, 2000u);
    transfers.end(again);
    EXPECT_EQ(transfers.find("/v/Team/a.bin")->total, 1000u);

    transfers.end(a);
    transfers.end(b);
    transfers.end(b);        // twice: nothing more happens
    transfers.update(a, 5);  // after its end: nothing comes back
    EXPECT_TRUE(transfers.list().empty());
    EXPECT_FALSE(transfers.find("/v/Team/a.bin"));
    EXPECT_EQ(told, 7);

    transfers.removeObserver(token);
    transfers.end(transfers.begin(Direction::upload, "/x", 1));
    EXPECT_EQ(told, 7);
}

// The transfer an IconProgress stands for is listed while it lives, with the bytes it was given.
TEST(Transfers, AnIconProgressListsItsTransferWhileItLives) {
    auto listed = [] { return Transfers::shared().find("/nonexistent/folder/report.pdf"); };
    ServerEnvironment env;  // where a shown bar would keep the file's creation date
    {
        IconProgress progress(env.itemRecords(), "/nonexistent/folder/report.pdf", 12'300'000,
                              Direction::upload);
        ASSERT_TRUE(listed());
        EXPECT_EQ(listed()->direction, Direction::upload);
        progress.setTransfered(5'535'000);
        EXPECT_EQ(listed()->done, 5'535'000u);
        EXPECT_EQ(listed()->total, 12'300'000u);
    }
    EXPECT_FALSE(listed());
}

// The tray's state follows the transfers: the line of the file being downloaded finds its progress.
TEST(Transfers, TheTraysStateFollowsThem) {
    auto& bar = StatusBarManager::sharedInstance();
    bar.updateDownloadActive("/v/Team/Big.iso");
    ServerEnvironment env;
    {
        IconProgress progress(env.itemRecords(), "/v/Team/Big.iso", 4000);
        progress.setTransfered(1000);
        std::this_thread::sleep_for(Transfers::kReportInterval + 20ms);
        progress.setTransfered(3000);
        auto state = bar.state();
        auto shown = state.progressOf(state.downloadFile);
        ASSERT_TRUE(shown);
        EXPECT_EQ(shown->done, 3000u);
        EXPECT_EQ(shown->total, 4000u);
        EXPECT_FALSE(state.progressOf(std::string("/v/Team/other.iso")));
        EXPECT_FALSE(state.progressOf(std::nullopt));
    }
    EXPECT_FALSE(bar.state().progressOf(std::string("/v/Team/Big.iso")));
    bar.updateDownloadActive(std::nullopt);
}

// A tray state that goes stops following: the transfers that outlive it never report to it again (ASan
// would see the report reach freed memory), and one that follows other transfers hears only those.
TEST(Transfers, ATrayStateThatGoesIsNoLongerTold) {
    Transfers transfers, others;
    auto bar = std::make_unique<StatusBarManager>();
    bar->follow(others);
    bar->follow(transfers);
    auto mine = transfers.begin(Direction::upload, "/v/Team/a.bin", 10);
    auto theirs = others.begin(Direction::upload, "/v/Team/b.bin", 10);
    auto state = bar->state();
    EXPECT_TRUE(state.progressOf(std::string("/v/Team/a.bin")));
    EXPECT_FALSE(state.progressOf(std::string("/v/Team/b.bin")));
    bar.reset();
    transfers.update(mine, 5);
    transfers.end(mine);
    others.end(theirs);
}

TEST(TransferStatus, JsonAndTextOfEachTransfer) {
    std::vector<TransferProgress> transfers = {
        {Direction::download, "/v/Team/big.bin", 5'535'000, 12'300'000},
        {Direction::upload, "/v/Team/notes \"draft\".txt", 0, 0},
    };
    auto json = transfersJson(transfers);
    ASSERT_TRUE(json.is_array());
    ASSERT_EQ(json.size(), 2u);
    EXPECT_EQ(json[0], nlohmann::json({{"direction", "download"},
                                       {"path", "/v/Team/big.bin"},
                                       {"bytesDone", 5'535'000},
                                       {"bytesTotal", 12'300'000},
                                       {"percent", 45}}));
    EXPECT_EQ(json[1]["direction"], "upload");
    EXPECT_EQ(json[1]["path"], "/v/Team/notes \"draft\".txt");
    EXPECT_EQ(json[1]["percent"], 100);
    // Numbers beyond what a double holds exactly stay exact.
    auto huge = transfersJson({{Direction::download, "/h", (1ull << 60) + 1, (1ull << 61) + 3}});
    EXPECT_EQ(huge[0]["bytesDone"].get<uint64_t>(), (1ull << 60) + 1);
    EXPECT_EQ(huge[0]["bytesTotal"].get<uint64_t>(), (1ull << 61) + 3);
    EXPECT_EQ(transfersJson({}), nlohmann::json::array());

    EXPECT_EQ(transfersText(transfers),
              "  downloading /v/Team/big.bin: 45 % of 12.3 MB (5535000 of 12300000 bytes)\n"
              "  uploading /v/Team/notes \"draft\".txt: 100 % of 0 bytes (0 of 0 bytes)\n");
    EXPECT_EQ(transfersText({}), "");
}

}  // namespace
}  // namespace tw
