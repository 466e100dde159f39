// The filter on its own: watch list rules, what is queued, and how answers meet questions.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

#include "Larkspur/Brindle.h"
#include "platform/userclient.h"

namespace {

using namespace tw::pw;
using namespace std::chrono_literals;
using gw::Access;
using gw::Brindle;
using gw::Caller;

_pwevent command(SendActions a, const std::string& p1, const std::string& p2 = "") {
    return *tw::platform::formSendStructure(a, p1, p2);
}

void start(Brindle& b, pid_t ignore) {
    char hex[16];
    snprintf(hex, sizeof hex, "%2X", static_cast<unsigned>(ignore));
    b.BrindleHandleCommand(command(sa_StartWatching, hex));
}

_pwevent readOne(Brindle& b, std::chrono::milliseconds wait = 5s) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    _pwevent e;
    do {
        b.BrindleEventRead(e);
        if (e.action != no_MESSAGE) return e;
        std::this_thread::sleep_for(1ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return e;
}

// A pid that is neither ours nor ignored: the filter looks up /proc of the tid it is given.
Caller otherProcess() {
    return Caller::fromProcess(1);
}

TEST(WatchList, TrailingSlashCaseAndIgnoreSuffixes) {
    Brindle b;
    EXPECT_TRUE(b.AddWatchPath("/Volumes/Docs"));
    EXPECT_TRUE(b.AddWatchPath("/VOLUMES/docs/"));  // same folder in other letter case: kept once
    EXPECT_TRUE(b.InterestingFile("/Volumes/Docs/a.txt"));
    EXPECT_TRUE(b.InterestingFile("/volumes/DOCS/sub/b"));
    EXPECT_FALSE(b.InterestingFile("/Volumes/Docs"));  // the folder itself only with a slash
    EXPECT_TRUE(b.InterestingFile("/Volumes/Docs/"));
    EXPECT_FALSE(b.InterestingFile("/Volumes/Docsy/a"));
    for (const char* s : {".Spotlight-V100/", ".fseventsd/", ".DocumentRevisions-V100/", ".TemporaryItems/"})
        EXPECT_FALSE(b.InterestingFile(std::string("/Volumes/Docs/") + s + "x")) << s;
    EXPECT_TRUE(
        b.InterestingFile("/Volumes/Docs/.Spotlight-V100"));  // the folder name alone is not inside it

    // Once, not twice: a delete report shows up one time.
    start(b, 0);
    Caller c = otherProcess();
    b.BrindlePassiveListener(kauth_FILEOP_DELETE, c, "/Volumes/Docs/a.txt", kConfirmDeleteFile);
    EXPECT_EQ(b.queuedEvents(), 1u);
}

TEST(WatchList, BadWatchPathsRefused) {
    Brindle b;
    EXPECT_FALSE(b.AddWatchPath(""));
    EXPECT_FALSE(b.AddWatchPath("relative/path"));
    EXPECT_FALSE(b.AddWatchPath("/" + std::string(1100, 'a')));
    // A record whose path fills the whole field has no terminator: refused, never truncated.
    _pwevent rec = command(sa_AddWatchPath, "/x");
    memset(rec.path1, 'a', kPathFieldSize);
    rec.path1[0] = '/';
    b.BrindleHandleCommand(rec);
    EXPECT_FALSE(b.InterestingFile("/" + std::string(1023, 'a') + "/f"));
    EXPECT_FALSE(b.InterestingFile(std::string("/") + std::string(1022, 'a') + "/f"));
}

TEST(Commands, UnknownClientFamilyAndActionIgnored) {
    Brindle b;
    b.AddWatchPath("/w");
    _pwevent rec = command(sa_StartWatching, "1");
    rec.userClient = pwuc_Ostrel;
    b.BrindleHandleCommand(rec);
    EXPECT_FALSE(b.active());
    rec = command(sa_StartWatching, "1");
    rec.action = 99;
    b.BrindleHandleCommand(rec);
    EXPECT_FALSE(b.active());
    b.BrindleHandleCommand(command(sa_RemoveWatchPath, "/w"));
    EXPECT_TRUE(b.InterestingFile("/w/a"));
}

TEST(Hex, ProcessIdsBothWays) {
    EXPECT_EQ(gw::CV_intToHexString(0), "0");
    EXPECT_EQ(gw::CV_intToHexString(0x1a2b), "1a2b");
    EXPECT_EQ(gw::CV_hexStringToInt("1A2B"), 0x1a2bu);
    EXPECT_EQ(gw::CV_hexStringToInt(" 5"), 5u);  // "%2X" pads ids below 0x10 with a space
    EXPECT_EQ(gw::CV_hexStringToInt("ff"), 255u);
}

TEST(Listener, InactiveQueuesNothingAndNeverWaits) {
    Brindle b(200ms);
    b.AddWatchPath("/w");
    Caller c = otherProcess();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(b.BrindleActiveListener(Access::readData, c, "/w/a"), 0);
    EXPECT_EQ(b.BrindleActiveListener(Access::deleteItem, c, "/w/a"), 0);
    b.BrindlePassiveListener(kauth_FILEOP_CLOSE, c, "/w/a", "");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 100ms);
    EXPECT_EQ(b.queuedEvents(), 0u);

    // Stopping after a start empties the way again.
    start(b, 0);
    b.BrindleHandleCommand(command(sa_StopWatching, ""));
    EXPECT_EQ(b.BrindleActiveListener(Access::writeData, c, "/w/a"), 0);
    EXPECT_EQ(b.queuedEvents(), 0u);
}

TEST(Listener, IgnoredProcessAndIndexerPassUnasked) {
    Brindle b(5s);
    b.AddWatchPath("/w");
    start(b, getpid());
    Caller self = Caller::fromThread(static_cast<pid_t>(gettid()));  // a thread of the ignored process
    EXPECT_EQ(b.BrindleActiveListener(Access::readWriteData, self, "/w/a"), 0);
    EXPECT_EQ(b.BrindleActiveListener(Access::deleteItem, self, "/w/a"), 0);
    b.BrindlePassiveListener(kauth_FILEOP_RENAME, self, "/w/a", "/w/b");
    EXPECT_EQ(b.queuedEvents(), 0u);
}

TEST(Answers, EachQuestionGetsItsOwnAnswerInReadOrder) {
    Brindle b(10s);
    b.AddWatchPath("/w");
    start(b, 0);
    // Two threads ask at once; the application refuses one and allows the other.
    auto ask = [&](const char* path) {
        return std::async(std::launch::async, [&b, path] {
            Caller c = Caller::fromProcess(1);
            return b.BrindleActiveListener(Access::readData, c, path);
        });
    };
    auto ghost = ask("/w/ghost");
    _pwevent first = readOne(b);
    auto regular = ask("/w/regular");
    _pwevent second = readOne(b);
    ASSERT_EQ(first.action, kauth_FILEOP_ISGHOST);
    ASSERT_EQ(second.action, kauth_FILEOP_ISGHOST);
    EXPECT_STREQ(first.path1, "/w/ghost");
    EXPECT_STREQ(second.path1, "/w/regular");
    EXPECT_STREQ(first.path2, "1");  // the reader's pid in hexadecimal
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/ghost", kAnswerRefuse));
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/regular", kAnswerAllow));
    EXPECT_EQ(ghost.get(), EPERM);
    EXPECT_EQ(regular.get(), 0);
}

TEST(Answers, TimeoutGoesOnAndLateAnswerDecidesNothingElse) {
    Brindle b(300ms);
    b.AddWatchPath("/w");
    start(b, 0);
    Caller c = otherProcess();
    // Read but unanswered: goes on after the time-out, as allowed.
    auto first = std::async(std::launch::async, [&] {
        Caller k = otherProcess();
        return b.BrindleActiveListener(Access::writeData, k, "/w/a");
    });
    ASSERT_EQ(readOne(b).action, kauth_FILEOP_ISREADONLY);
    EXPECT_EQ(first.get(), 0);
    // The next question about the same file is refused by its own answer, not by the late one.
    auto second = std::async(std::launch::async, [&] {
        Caller k = otherProcess();
        return b.BrindleActiveListener(Access::writeData, k, "/w/a");
    });
    ASSERT_EQ(readOne(b).action, kauth_FILEOP_ISREADONLY);
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/a", kAnswerAllow));   // late, for the first
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/a", kAnswerRefuse));  // for the second
    EXPECT_EQ(second.get(), EROFS);
    // A question that expired unread is never handed out.
    EXPECT_EQ(b.BrindleActiveListener(Access::deleteItem, c, "/w/gone"), 0);
    _pwevent e;
    b.BrindleEventRead(e);
    EXPECT_EQ(e.action, no_MESSAGE);
}

TEST(Answers, ClientGoneReleasesWaitingOperations) {
    Brindle b(10s);
    b.AddWatchPath("/w");
    start(b, 0);
    auto waiting = std::async(std::launch::async, [&] {
        Caller k = otherProcess();
        return b.BrindleActiveListener(Access::deleteItem, k, "/w/a");
    });
    ASSERT_EQ(readOne(b).action, kauth_FILEOP_DELETE);
    auto t0 = std::chrono::steady_clock::now();
    b.clientClosed();
    EXPECT_EQ(waiting.get(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    EXPECT_FALSE(b.active());
}

TEST(Answers, AGivenUpReaderLeavesTheQueueToItsSuccessor) {
    Brindle b(10s);
    b.AddWatchPath("/w");
    start(b, 0);
    std::atomic<bool> wanted{true};
    auto reader = std::async(std::launch::async, [&] {
        _pwevent e;
        b.BrindleEventRead(e, 30s, [&] { return !wanted.load(); });
        return e.action;
    });
    std::this_thread::sleep_for(100ms);
    auto t0 = std::chrono::steady_clock::now();
    wanted = false;
    b.wakeReaders();
    EXPECT_EQ(reader.get(), no_MESSAGE);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s) << "not held for its full wait";
    // A reader that is no longer wanted takes nothing even when an event is there.
    Caller c = otherProcess();
    b.BrindlePassiveListener(kauth_FILEOP_CLOSE, c, "/w/a", "");
    _pwevent e;
    b.BrindleEventRead(e, 1s, [] { return true; });
    EXPECT_EQ(e.action, no_MESSAGE);
    EXPECT_STREQ(readOne(b).path1, "/w/a");
}

TEST(Listener, FullQueueDropsReportsAndLetsQuestionsGoOn) {
    Brindle b(10s, 3);
    b.AddWatchPath("/w");
    start(b, 0);
    Caller c = otherProcess();
    for (int i = 0; i < 5; ++i)
        b.BrindlePassiveListener(kauth_FILEOP_CLOSE, c, "/w/f" + std::to_string(i), "");
    EXPECT_EQ(b.queuedEvents(), 3u);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(b.BrindleActiveListener(Access::deleteItem, c, "/w/f0"), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    // Reading makes room again, in order.
    EXPECT_STREQ(readOne(b).path1, "/w/f0");
    b.BrindlePassiveListener(kauth_FILEOP_CLOSE, c, "/w/later", "");
    EXPECT_EQ(b.queuedEvents(), 3u);
}

TEST(Listener, PathsThatDoNotFitGoOnUnreported) {
    Brindle b(5s);
    b.AddWatchPath("/w");
    start(b, 0);
    Caller c = otherProcess();
    std::string longPath = "/w/" + std::string(1030, 'x');
    EXPECT_EQ(b.BrindleActiveListener(Access::readData, c, longPath), 0);
    b.BrindlePassiveListener(kauth_FILEOP_RENAME, c, "/w/a", longPath);
    EXPECT_EQ(b.queuedEvents(), 0u);
    // Exactly one byte short of the field still fits, with its terminator.
    std::string fits = "/w/" + std::string(kPathFieldSize - 4, 'y');
    b.BrindlePassiveListener(kauth_FILEOP_CLOSE, c, fits, "");
    _pwevent e = readOne(b);
    EXPECT_EQ(tw::platform::fieldText(e.path1), fits);
}

}  // namespace
