// The filter on its own: watch list rules, what is queued, and how answers meet questions.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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

TEST(WatchList, FolderNamesFoldAsTheMountFoldsThem) {
    // Full folding after composition, as the mount and the application compare names: "\u00df" is
    // "ss", so the watched folder's name may be spelt at another length than the path's.
    Brindle b;
    EXPECT_TRUE(
        b.AddWatchPath("/Volumes/Stra\xC3\x9F"
                       "e"));
    EXPECT_TRUE(b.InterestingFile("/Volumes/STRASSE/a.txt"));
    EXPECT_TRUE(b.InterestingFile("/volumes/strasse/sub/b"));
    EXPECT_TRUE(b.InterestingFile("/Volumes/STRASSE/"));
    EXPECT_FALSE(b.InterestingFile("/Volumes/STRASSE"));
    EXPECT_FALSE(b.InterestingFile("/Volumes/STRASSEN/a"));
    EXPECT_FALSE(b.InterestingFile("/Volumes/STRASSE/.TemporaryItems/x"));
    EXPECT_TRUE(b.AddWatchPath("/Volumes/Cafe\xCC\x81"));
    EXPECT_TRUE(b.InterestingFile("/Volumes/CAF\xC3\x89/x"));
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

// Records as a test sets them; counts how often each is read.
struct FakeRecords : gw::ItemRecords {
    gw::ItemRecord itemRecord, folderRecord;
    std::optional<std::string> announced;  // none: the announcement would not fit its field
    int itemReads = 0, folderReads = 0;
    gw::ItemRecord item() override {
        ++itemReads;
        return itemRecord;
    }
    gw::ItemRecord folder() override {
        ++folderReads;
        return folderRecord;
    }
    std::optional<std::string> announcement() override { return announced; }
};

FakeRecords placeholderRecords() {
    FakeRecords r;
    r.itemRecord.content = gw::ItemRecord::Content::notLocal;
    return r;
}

TEST(Answers, EachQuestionGetsItsOwnAnswerInReadOrder) {
    Brindle b(10s);
    b.AddWatchPath("/w");
    start(b, 0);
    // Two threads ask about placeholders at once; the application refuses one and allows the other.
    auto ask = [&](const char* path) {
        return std::async(std::launch::async, [&b, path] {
            Caller c = Caller::fromProcess(1);
            FakeRecords r = placeholderRecords();
            return b.BrindleActiveListener(Access::readData, c, path, &r);
        });
    };
    auto refused = ask("/w/refused");
    _pwevent first = readOne(b);
    auto allowed = ask("/w/allowed");
    _pwevent second = readOne(b);
    ASSERT_EQ(first.action, kauth_FILEOP_ISGHOST);
    ASSERT_EQ(second.action, kauth_FILEOP_ISGHOST);
    EXPECT_STREQ(first.path1, "/w/refused");
    EXPECT_STREQ(second.path1, "/w/allowed");
    EXPECT_STREQ(first.path2, "1");  // the reader's pid in hexadecimal
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/refused", kAnswerRefuse));
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/allowed", kAnswerAllow));
    EXPECT_EQ(refused.get(), EPERM);
    EXPECT_EQ(allowed.get(), 0);
}

TEST(Answers, TimeoutDecidesFromTheRecordAndALateAnswerDecidesNothingElse) {
    Brindle b(300ms);
    b.AddWatchPath("/w");
    start(b, 0);
    auto readPlaceholder = [&](const char* path) {
        return std::async(std::launch::async, [&b, path] {
            Caller k = otherProcess();
            FakeRecords r = placeholderRecords();
            return b.BrindleActiveListener(Access::readData, k, path, &r);
        });
    };
    // Read but unanswered: after the time-out the record decides, and a placeholder is not read.
    auto first = readPlaceholder("/w/a");
    ASSERT_EQ(readOne(b).action, kauth_FILEOP_ISGHOST);
    EXPECT_EQ(first.get(), EPERM);
    // The next question about the same file is allowed by its own answer, not refused by the late one.
    auto second = readPlaceholder("/w/a");
    ASSERT_EQ(readOne(b).action, kauth_FILEOP_ISGHOST);
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/a", kAnswerRefuse));  // late, for the first
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/a", kAnswerAllow));   // for the second
    EXPECT_EQ(second.get(), 0);
    // A question that expired unread is never handed out.
    EXPECT_EQ(readPlaceholder("/w/gone").get(), EPERM);
    _pwevent e;
    b.BrindleEventRead(e);
    EXPECT_EQ(e.action, no_MESSAGE);
}

// A placeholder being fetched: the open waits past the answer time for the answer that ends the wait,
// and each of two opens of the same file is ended by an answer of its own. Content that could not be
// had, or did not come in time, is an error, never empty bytes.
TEST(Answers, AnOpenWaitsForContentBeingFetchedAndEndsWithItsOutcome) {
    Brindle b(200ms);
    b.AddWatchPath("/w");
    start(b, 0);
    auto readPlaceholder = [&](const char* path) {
        return std::async(std::launch::async, [&b, path] {
            Caller k = otherProcess();
            FakeRecords r = placeholderRecords();
            return b.BrindleActiveListener(Access::readData, k, path, &r);
        });
    };
    auto first = readPlaceholder("/w/report.pdf");
    ASSERT_EQ(readOne(b).action, kauth_FILEOP_ISGHOST);
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/report.pdf", kAnswerDownloading));
    auto second = readPlaceholder("/w/report.pdf");
    ASSERT_EQ(readOne(b).action, kauth_FILEOP_ISGHOST);
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/report.pdf", kAnswerDownloading));
    // Well past the answer time, both still wait.
    EXPECT_EQ(first.wait_for(600ms), std::future_status::timeout);
    EXPECT_EQ(second.wait_for(0ms), std::future_status::timeout);
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/report.pdf", kAnswerAllow));
    EXPECT_EQ(first.get(), 0);
    EXPECT_EQ(second.wait_for(100ms), std::future_status::timeout);
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/report.pdf", kAnswerAllow));
    EXPECT_EQ(second.get(), 0);

    auto failed = readPlaceholder("/w/broken.bin");
    ASSERT_EQ(readOne(b).action, kauth_FILEOP_ISGHOST);
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/broken.bin", kAnswerDownloading));
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/broken.bin", kAnswerFailed));
    EXPECT_EQ(failed.get(), EIO);

    auto slow = readPlaceholder("/w/huge.iso");
    ASSERT_EQ(readOne(b).action, kauth_FILEOP_ISGHOST);
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/huge.iso", kAnswerDownloading));
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/huge.iso", kAnswerTimedOut));
    EXPECT_EQ(slow.get(), ETIMEDOUT);

    // The application gone while an open waits: the record decides, and a placeholder is not read.
    auto orphan = readPlaceholder("/w/orphan.txt");
    ASSERT_EQ(readOne(b).action, kauth_FILEOP_ISGHOST);
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/orphan.txt", kAnswerDownloading));
    b.clientClosed();
    EXPECT_EQ(orphan.get(), EPERM);
}

TEST(Answers, ClientGoneReleasesWaitingOperations) {
    Brindle b(10s);
    b.AddWatchPath("/w");
    start(b, 0);
    // A delete is asked about only when its announcement would not fit.
    auto waiting = std::async(std::launch::async, [&] {
        Caller k = otherProcess();
        FakeRecords r;
        return b.BrindleActiveListener(Access::deleteItem, k, "/w/a", &r);
    });
    _pwevent question = readOne(b);
    ASSERT_EQ(question.action, kauth_FILEOP_DELETE);
    EXPECT_STREQ(question.path2, "");
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

// A batch read takes what is queued, oldest first, up to its room, and waits only for the first: the
// rest is what came meanwhile. Nothing is taken twice or skipped between batches.
TEST(Answers, ABatchReadTakesWhatIsQueuedInOrderUpToItsRoom) {
    Brindle b(10s);
    b.AddWatchPath("/w");
    start(b, 0);
    Caller c = otherProcess();
    for (int i = 0; i < 100; ++i)
        b.BrindlePassiveListener(kauth_FILEOP_CLOSE, c, "/w/f" + std::to_string(i), "");
    std::vector<_pwevent> out(64);
    std::vector<std::string> seen;
    for (size_t expected : {64u, 36u}) {
        ASSERT_EQ(b.BrindleEventReadMany(out.data(), out.size()), expected);
        for (size_t i = 0; i < expected; ++i) seen.push_back(out[i].path1);
    }
    ASSERT_EQ(seen.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], "/w/f" + std::to_string(i));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(b.BrindleEventReadMany(out.data(), out.size(), 200ms), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 150ms) << "an empty batch read did not wait";
    // One report while a batch read waits: it is handed out at once, alone.
    auto reader =
        std::async(std::launch::async, [&] { return b.BrindleEventReadMany(out.data(), out.size(), 10s); });
    std::this_thread::sleep_for(50ms);
    b.BrindlePassiveListener(kauth_FILEOP_CLOSE, c, "/w/late", "");
    EXPECT_EQ(reader.get(), 1u);
    EXPECT_STREQ(out[0].path1, "/w/late");
}

std::vector<std::uint8_t> drain(Brindle& b) {
    std::vector<std::uint8_t> out;
    _pwevent e;
    for (b.BrindleEventRead(e); e.action != no_MESSAGE; b.BrindleEventRead(e)) out.push_back(e.action);
    return out;
}

TEST(Listener, FullQueueDropsReportsAndDecidesQuestionsFromTheRecord) {
    Brindle b(10s, 3);
    b.AddWatchPath("/w");
    start(b, 0);
    Caller c = otherProcess();
    for (int i = 0; i < 5; ++i)
        b.BrindlePassiveListener(kauth_FILEOP_CLOSE, c, "/w/f" + std::to_string(i), "");
    EXPECT_EQ(b.queuedEvents(), 3u);
    // No question can be asked: decided at once, from the record.
    FakeRecords plain, locked, announced;
    locked.itemRecord.readOnly = true;
    announced.announced = "1 2\n";
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(b.BrindleActiveListener(Access::deleteItem, c, "/w/f0", &plain), 0);
    EXPECT_EQ(b.BrindleActiveListener(Access::deleteItem, c, "/w/f1", &locked), EROFS);
    // An announcement that finds no room is lost like any report: the delete goes on.
    EXPECT_EQ(b.BrindleActiveListener(Access::deleteItem, c, "/w/f2", &announced), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    // Reading makes room again, in order; the lost reports are announced after those kept.
    EXPECT_STREQ(readOne(b).path1, "/w/f0");
    _pwevent notice;
    EXPECT_STREQ(readOne(b).path1, "/w/f1");
    EXPECT_STREQ(readOne(b).path1, "/w/f2");
    notice = readOne(b);
    EXPECT_EQ(notice.action, kauth_FILEOP_REPORTS_DROPPED);
    EXPECT_STREQ(notice.path1, "/w");
    EXPECT_TRUE(drain(b).empty());
}

TEST(Listener, OnlyAPlaceholderReadOrADeleteThatCannotBeAnnouncedWaitsForTheApplication) {
    using C = gw::ItemRecord::Content;
    Brindle b(3s);
    b.AddWatchPath("/w");
    start(b, 0);  // watching, but nobody reads: anything asked would wait out the answer time
    Caller c = otherProcess();
    auto decide = [&](Access a, C content, bool readOnly, bool folderReadOnly = false) {
        FakeRecords r;
        r.itemRecord = {content, readOnly};
        r.folderRecord.readOnly = folderReadOnly;
        r.announced = "7 42\nStatus: Regular\n";
        return b.BrindleActiveListener(a, c, "/w/item", &r);
    };
    auto t0 = std::chrono::steady_clock::now();
    // What the application would have answered, without a round trip through it.
    EXPECT_EQ(decide(Access::readData, C::local, true), 0);
    EXPECT_EQ(decide(Access::readData, C::unclassified, false), 0);
    EXPECT_EQ(decide(Access::readWriteData, C::local, false), 0);
    EXPECT_EQ(decide(Access::readWriteData, C::local, true), EROFS);
    EXPECT_EQ(decide(Access::writeData, C::local, false), 0);
    EXPECT_EQ(decide(Access::writeData, C::local, true), EROFS);
    EXPECT_EQ(decide(Access::writeData, C::notLocal, false), EROFS);
    EXPECT_EQ(decide(Access::writeData, C::unclassified, false, true), EROFS);
    EXPECT_EQ(decide(Access::createItem, C::unclassified, false), 0);
    EXPECT_EQ(decide(Access::createItem, C::unclassified, false, true), EROFS);
    EXPECT_EQ(decide(Access::deleteItem, C::local, true), EROFS);
    EXPECT_EQ(decide(Access::deleteItem, C::notLocal, false), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s) << "nothing waited for an answer";
    // The one delete that went on was announced, with what the records gave for it; nothing was asked.
    _pwevent e = readOne(b);
    EXPECT_EQ(e.action, kauth_FILEOP_WILL_DELETE);
    EXPECT_STREQ(e.path1, "/w/item");
    EXPECT_STREQ(e.path2, "7 42\nStatus: Regular\n");
    EXPECT_TRUE(drain(b).empty());
}

TEST(DroppedReports, OneNoticePerSpellNamingTheFolderConcerned) {
    Brindle b(10s, 3);
    b.AddWatchPath("/w");
    b.AddWatchPath("/v/");
    start(b, 0);
    Caller c = otherProcess();
    auto close = [&](const std::string& path) { b.BrindlePassiveListener(kauth_FILEOP_CLOSE, c, path, ""); };
    // A long spell: many reports lost, one notice, queued the moment there is room.
    for (int i = 0; i < 50; ++i) close("/w/f" + std::to_string(i));
    _pwevent first = readOne(b);
    EXPECT_STREQ(first.path1, "/w/f0");
    EXPECT_EQ(b.queuedEvents(), 3u) << "the notice took the room the read made";
    // A report made now comes after the notice, or is lost in a new spell; never ahead of it.
    close("/w/later");
    std::vector<std::uint8_t> expected{kauth_FILEOP_CLOSE, kauth_FILEOP_CLOSE, kauth_FILEOP_REPORTS_DROPPED,
                                       kauth_FILEOP_REPORTS_DROPPED};
    EXPECT_EQ(drain(b), expected) << "f1, f2, the notice of the first spell, then that of the second";
    // Nothing lost, nothing announced.
    close("/w/fine");
    EXPECT_EQ(drain(b), std::vector<std::uint8_t>{kauth_FILEOP_CLOSE});

    // Reports of two watched folders lost in one spell: the application looks at all of them.
    for (int i = 0; i < 3; ++i) close("/w/g" + std::to_string(i));
    close("/w/lost");
    close("/v/lost");
    drain(b);
    for (int i = 0; i < 3; ++i) close("/w/h" + std::to_string(i));
    b.BrindlePassiveListener(kauth_FILEOP_RENAME, c, "/elsewhere/a", "/v/b");  // lost; of /v by its target
    EXPECT_STREQ(readOne(b).path1, "/w/h0");
    readOne(b);
    readOne(b);
    _pwevent notice = readOne(b);
    EXPECT_EQ(notice.action, kauth_FILEOP_REPORTS_DROPPED);
    EXPECT_STREQ(notice.path1, "/v");
}

TEST(DroppedReports, APathThatCannotBeCarriedIsAnnouncedAtOnce) {
    Brindle b(10s);
    b.AddWatchPath("/w");
    start(b, 0);
    Caller c = otherProcess();
    std::string longPath = "/w/" + std::string(1030, 'x');
    b.BrindlePassiveListener(kauth_FILEOP_CLOSE, c, "/w/before", "");
    b.BrindlePassiveListener(kauth_FILEOP_DELETE, c, longPath, kConfirmDeleteFile);
    b.BrindlePassiveListener(kauth_FILEOP_CLOSE, c, "/w/after", "");
    EXPECT_STREQ(readOne(b).path1, "/w/before");
    _pwevent notice = readOne(b);
    EXPECT_EQ(notice.action, kauth_FILEOP_REPORTS_DROPPED);
    EXPECT_STREQ(notice.path1, "/w");
    EXPECT_STREQ(readOne(b).path1, "/w/after");
}

// A folder listed under a path too long to report, or while the queue is full, changed nothing: no
// lost changes are announced for it. (The application's scan lists that folder again; announcing would
// send it round for ever.)
TEST(DroppedReports, AListingThatCannotBeReportedLosesNoChange) {
    Brindle b(10s, 2);
    b.AddWatchPath("/w");
    start(b, 0);
    Caller c = otherProcess();
    b.BrindleActiveListener(Access::listDirectory, c, "/w/" + std::string(1030, 'x'), nullptr);
    b.BrindlePassiveListener(kauth_FILEOP_CLOSE, c, "/w/a", "");
    b.BrindlePassiveListener(kauth_FILEOP_CLOSE, c, "/w/b", "");
    b.BrindleActiveListener(Access::listDirectory, c, "/w/listed", nullptr);  // the queue is full
    EXPECT_EQ(drain(b), (std::vector<std::uint8_t>{kauth_FILEOP_CLOSE, kauth_FILEOP_CLOSE}));
}

TEST(DroppedReports, NothingIsAnnouncedWhileNobodyWatches) {
    Brindle b(10s, 1);
    b.AddWatchPath("/w");
    Caller c = otherProcess();
    for (int i = 0; i < 3; ++i) b.BrindlePassiveListener(kauth_FILEOP_CLOSE, c, "/w/f", "");
    start(b, 0);
    EXPECT_TRUE(drain(b).empty()) << "not reported is not lost: the application was not watching";
}

// ---- deciding without the application, from the item's record

TEST(Records, ParsedAsTheApplicationWritesThem) {
    using C = gw::ItemRecord::Content;
    struct Case {
        const char* text;
        C content;
        bool readOnly;
    } cases[] = {
        // The states.
        {"Status: Placeholder\n", C::notLocal, false},
        {"Status: ErrorPlaceHolder\n", C::notLocal, false},
        {"Status: RequireDownload\n", C::notLocal, false},
        {"Status: Regular\n", C::local, false},
        {"Status: RequireUpload\n", C::local, false},
        {"Status: LocalOnly\n", C::local, false},
        {"Status: Unknown\n", C::unclassified, false},
        {"Status: placeholder\n", C::unclassified, false},  // the application knows no such state
        {"", C::unclassified, false},
        // The flag, wherever its line stands, in either case, even on a last line without its feed.
        {"Status: Regular\nCanShare: false\nReadOnly: true\nRevision: 3\n", C::local, true},
        {"Revision: 3\nReadOnly: TRUE\nStatus: Placeholder", C::notLocal, true},
        {"ReadOnly: false\n", C::unclassified, false},
        // Only whole keys at the start of a line count.
        {"Error Status: ReadOnlyMappoint\nOldStatus: Placeholder\n", C::unclassified, false},
        {"ReadOnlyMappoint: true\nXReadOnly: true\nStatus:Placeholder\n", C::unclassified, false},
    };
    for (const auto& k : cases) {
        auto r = gw::parseItemRecord(k.text);
        EXPECT_EQ(r.content, k.content) << k.text;
        EXPECT_EQ(r.readOnly, k.readOnly) << k.text;
    }
    // The server's size, shown for a placeholder; anything but a whole number counts as none.
    EXPECT_EQ(gw::parseItemRecord("Status: Placeholder\nServerFileSize: 1048576\n").serverSize, 1048576u);
    EXPECT_EQ(gw::parseItemRecord("ServerFileSize: 12kB\n").serverSize, 0u);
    EXPECT_EQ(gw::parseItemRecord("ServerFileSize: -5\n").serverSize, 0u);
    EXPECT_EQ(gw::parseItemRecord("Status: Placeholder\n").serverSize, 0u);
}

TEST(Records, DecideWhatTheApplicationWouldHaveAnswered) {
    using C = gw::ItemRecord::Content;
    Brindle b(10s);  // never started: nobody can answer
    b.AddWatchPath("/w");
    Caller c = otherProcess();
    auto decide = [&](Access a, C content, bool readOnly, bool folderReadOnly = false) {
        FakeRecords r;
        r.itemRecord = {content, readOnly};
        r.folderRecord.readOnly = folderReadOnly;
        return b.BrindleActiveListener(a, c, "/w/item", &r);
    };
    // Content that is not here: no read, and no write into it.
    EXPECT_EQ(decide(Access::readData, C::notLocal, false), EPERM);
    EXPECT_EQ(decide(Access::readWriteData, C::notLocal, false), EPERM);
    EXPECT_EQ(decide(Access::writeData, C::notLocal, false), EROFS);
    EXPECT_EQ(decide(Access::deleteItem, C::notLocal, false), 0);
    // Read-only: read, yes; change or remove, no.
    EXPECT_EQ(decide(Access::readData, C::local, true), 0);
    EXPECT_EQ(decide(Access::readWriteData, C::local, true), EROFS);
    EXPECT_EQ(decide(Access::writeData, C::local, true), EROFS);
    EXPECT_EQ(decide(Access::deleteItem, C::local, true), EROFS);
    // An item never classified is writable where its folder is; a classified one by its own record.
    EXPECT_EQ(decide(Access::writeData, C::unclassified, false, true), EROFS);
    EXPECT_EQ(decide(Access::writeData, C::local, false, true), 0);
    EXPECT_EQ(decide(Access::createItem, C::unclassified, false, true), EROFS);
    EXPECT_EQ(decide(Access::createItem, C::unclassified, false, false), 0);
    // An ordinary item is never held up.
    for (Access a : {Access::readData, Access::readWriteData, Access::writeData, Access::deleteItem})
        EXPECT_EQ(decide(a, C::local, false), 0);
    EXPECT_EQ(decide(Access::listDirectory, C::notLocal, true), 0);
    // A read needs no more than the item's record.
    FakeRecords r;
    r.itemRecord.content = C::local;
    EXPECT_EQ(b.BrindleActiveListener(Access::readData, c, "/w/item", &r), 0);
    EXPECT_EQ(r.folderReads, 0);
}

TEST(Records, TheApplicationsOwnOperationsAndUnwatchedOnesAreNotJudged) {
    Brindle b(10s);
    b.AddWatchPath("/w");
    start(b, getpid());
    b.BrindleHandleCommand(command(sa_StopWatching, ""));
    FakeRecords ghost;
    ghost.itemRecord.content = gw::ItemRecord::Content::notLocal;
    Caller self = Caller::fromThread(static_cast<pid_t>(gettid()));
    EXPECT_EQ(b.BrindleActiveListener(Access::readData, self, "/w/ghost", &ghost), 0);
    Caller other = otherProcess();
    EXPECT_EQ(b.BrindleActiveListener(Access::readData, other, "/w/ghost", &ghost), EPERM);
    // While watching, a path outside every watched folder is the application's decision not to watch.
    start(b, getpid());
    EXPECT_EQ(b.BrindleActiveListener(Access::readData, other, "/elsewhere/ghost", &ghost), 0);
}

TEST(Records, AQuestionLeftUnansweredOrReleasedIsDecidedFromTheRecord) {
    Brindle b(300ms);
    b.AddWatchPath("/w");
    start(b, 0);
    FakeRecords ghost, plain;
    ghost.itemRecord.content = gw::ItemRecord::Content::notLocal;
    plain.itemRecord.content = gw::ItemRecord::Content::local;
    auto ask = [&](Brindle& filter, const std::string& path, FakeRecords& r) {
        return std::async(std::launch::async, [&filter, path, &r] {
            Caller k = otherProcess();
            return filter.BrindleActiveListener(Access::readData, k, path, &r);
        });
    };
    // Read, never answered.
    auto unanswered = ask(b, "/w/a", ghost);
    ASSERT_EQ(readOne(b).action, kauth_FILEOP_ISGHOST);
    EXPECT_EQ(unanswered.get(), EPERM);
    EXPECT_EQ(ask(b, "/w/b", plain).get(), 0);
    // Answered: the answer decides, not the record.
    auto answered = ask(b, "/w/c", ghost);
    ASSERT_EQ(readOne(b).action, kauth_FILEOP_ISGHOST);
    b.BrindleHandleCommand(command(sa_AcknowledgeDelete, "/w/c", kAnswerAllow));
    EXPECT_EQ(answered.get(), 0);
    // The application goes away while the question waits.
    Brindle slow(10s);
    slow.AddWatchPath("/w");
    start(slow, 0);
    auto released = ask(slow, "/w/d", ghost);
    ASSERT_EQ(readOne(slow).action, kauth_FILEOP_ISGHOST);
    auto t0 = std::chrono::steady_clock::now();
    slow.clientClosed();
    EXPECT_EQ(released.get(), EPERM);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
}

TEST(Names, OnlyUtf8NamesInPathsThatFitAreMade) {
    Brindle b(10s);
    b.AddWatchPath("/w");
    Caller c = otherProcess();
    // Valid UTF-8, up to four bytes a character.
    for (std::string ok : {"plain.txt", "Grüße", "日本語", "🎉", "\xf4\x8f\xbf\xbf"})
        EXPECT_EQ(b.refusesNewName(c, "/w/" + ok, ok), 0) << gw::printable(ok);
    // Stray and truncated bytes, overlong forms, surrogates, beyond U+10FFFF.
    for (std::string bad : {"\xff", "a\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                            "\xf8\x88\x80\x80\x80"})
        EXPECT_EQ(b.refusesNewName(c, "/w/" + bad, bad), EILSEQ) << gw::printable(bad);
    std::string dir = "/w/" + std::string(900, 'd') + "/";
    EXPECT_EQ(b.refusesNewName(c, dir + std::string(1023 - dir.size(), 'n'), "n"), 0);
    EXPECT_EQ(b.refusesNewName(c, dir + std::string(1024 - dir.size(), 'n'), "n"), ENAMETOOLONG);
    // Outside watched folders, and for the application itself, nothing is judged.
    EXPECT_EQ(b.refusesNewName(c, "/elsewhere/\xff", "\xff"), 0);
    start(b, getpid());
    Caller self = Caller::fromThread(static_cast<pid_t>(gettid()));
    EXPECT_EQ(b.refusesNewName(self, "/w/\xff", "\xff"), 0);
}

TEST(Listener, PathsThatDoNotFitAreNeverTruncatedIntoAnotherPath) {
    Brindle b(5s);
    b.AddWatchPath("/w");
    start(b, 0);
    Caller c = otherProcess();
    std::string longPath = "/w/" + std::string(1030, 'x');
    EXPECT_EQ(b.BrindleActiveListener(Access::readData, c, longPath), 0);
    b.BrindlePassiveListener(kauth_FILEOP_RENAME, c, "/w/a", longPath);
    // Neither asked nor reported; only the notice that something was not.
    _pwevent notice = readOne(b);
    EXPECT_EQ(notice.action, kauth_FILEOP_REPORTS_DROPPED);
    EXPECT_EQ(b.queuedEvents(), 0u);
    // Exactly one byte short of the field still fits, with its terminator.
    std::string fits = "/w/" + std::string(kPathFieldSize - 4, 'y');
    b.BrindlePassiveListener(kauth_FILEOP_CLOSE, c, fits, "");
    _pwevent e = readOne(b);
    EXPECT_EQ(tw::platform::fieldText(e.path1), fits);
}

}  // namespace
