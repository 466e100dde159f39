// The timeline loop with real threads: order, one event at a time, pause and resume, and which paths
// are never queued.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "Pinewick/config/ExclusionManager.h"
#include "Pinewick/engine/DownloadSync.h"
#include "Pinewick/engine/TLDownloadFile.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/places.h"
#include "support/log_capture.h"
#include "support/own_volumes.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using tw::TimeLineManager;
using tw::platform::Semaphore;

namespace {

// Records its run and catches two events running at once.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> order;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
};

class RecordingEvent : public tw::TLEvent {
public:
    RecordingEvent(Journal& j, std::string name) : journal_(j), name_(std::move(name)) {}
    void performAction(tw::EventContext&) override {
        if (journal_.inside.fetch_add(1) != 0) journal_.overlapped = true;
        std::this_thread::sleep_for(50us);
        {
            std::lock_guard l(journal_.mutex);
            journal_.order.push_back(name_);
        }
        journal_.inside.fetch_sub(1);
    }
    std::string description() override { return "Recording: " + name_; }

private:
    Journal& journal_;
    std::string name_;
};

// Blocks in performAction until released; counts its runs. With `cutByPause`, a run that ends while
// the timeline is paused says it was cut short, as a transfer the pause cancelled does.
class GateEvent : public tw::TLEvent {
public:
    explicit GateEvent(TimeLineManager* cutByPause = nullptr) : cutByPause_(cutByPause) {}
    void performAction(tw::EventContext&) override {
        runs++;
        started.signal();
        release.wait();
        if (cutByPause_ && cutByPause_->suspended()) runAgainLater("paused");
    }
    std::atomic<int> runs{0};
    Semaphore started, release;

private:
    TimeLineManager* cutByPause_;
};

}  // namespace

TEST(Timeline, FreshTimelineIsSuspendedEmptyAndRunsNothingUntilResumed) {
    tw::test::TempDir support;
    TimeLineManager t(support.str(), TimeLineManager::sharedParts());
    EXPECT_TRUE(t.suspended());
    EXPECT_FALSE(t.eventQueueRunning());
    EXPECT_EQ(t.eventCount(), 0u);
    Journal j;
    t.eventAppend(std::make_shared<RecordingEvent>(j, "a"));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(j.order.empty());
    EXPECT_EQ(t.eventCount(), 1u);
    t.resumeTimeLine();
    ASSERT_TRUE(t.waitUntilIdle(5s));
    EXPECT_EQ(j.order, std::vector<std::string>{"a"});
    EXPECT_TRUE(t.idle());
    EXPECT_GE(t.idleAutomationCount(), 1);
}

TEST(Timeline, EventsFromManyThreadsRunOneAtATimeInAppendOrder) {
    tw::test::TempDir support;
    TimeLineManager t(support.str(), TimeLineManager::sharedParts());
    t.resumeTimeLine();
    Journal j;
    std::mutex appendMutex;
    std::vector<std::string> appended;
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < 100; ++i) {
                std::string name = std::to_string(p) + ":" + std::to_string(i);
                // Appending under a lock makes the test's own record of the order exact.
                std::lock_guard l(appendMutex);
                appended.push_back(name);
                t.eventAppend(std::make_shared<RecordingEvent>(j, name));
            }
        });
    for (auto& th : producers) th.join();
    ASSERT_TRUE(t.waitUntilIdle(20s));
    EXPECT_FALSE(j.overlapped);
    EXPECT_EQ(j.order, appended);
    // Two events for the same work are both kept and both run.
    t.eventAppend(std::make_shared<RecordingEvent>(j, "same"));
    t.eventAppend(std::make_shared<RecordingEvent>(j, "same"));
    ASSERT_TRUE(t.waitUntilIdle(5s));
    EXPECT_EQ(std::count(j.order.begin(), j.order.end(), "same"), 2);
}

// A pause lets the running event end and starts nothing new. An event cut short by it stays first and
// runs again from the start after resume; one that finished leaves the list all the same (run again, a
// delete handed to its replacement would act twice).
TEST(Timeline, PauseDuringARunningEventKeepsItFirstOnlyWhenItWasCutShort) {
    tw::test::TempDir support;
    TimeLineManager t(support.str(), TimeLineManager::sharedParts());
    Journal j;
    auto cut = std::make_shared<GateEvent>(&t);
    auto finishes = std::make_shared<GateEvent>();
    t.eventAppend(cut);
    t.eventAppend(finishes);
    t.eventAppend(std::make_shared<RecordingEvent>(j, "after"));
    t.resumeTimeLine();
    ASSERT_TRUE(cut->started.waitFor(5s));
    EXPECT_TRUE(t.eventRunning());
    t.pauseTimeLine();
    EXPECT_TRUE(t.syncQueue().isSuspended());
    cut->release.signal();
    for (int i = 0; i < 500 && t.eventQueueRunning(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(t.eventQueueRunning());
    EXPECT_EQ(t.eventCount(), 3u);
    EXPECT_EQ(t.events().front(), cut);
    EXPECT_TRUE(j.order.empty());

    // Run again, it finishes; the next one is paused while it runs and finishes too.
    t.resumeTimeLine();
    ASSERT_TRUE(cut->started.waitFor(5s));
    cut->release.signal();
    ASSERT_TRUE(finishes->started.waitFor(5s));
    t.pauseTimeLine();
    finishes->release.signal();
    for (int i = 0; i < 500 && t.eventQueueRunning(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(t.eventQueueRunning());
    EXPECT_EQ(t.eventCount(), 1u) << "a finished event is not kept by the pause";
    EXPECT_EQ(cut->runs.load(), 2);
    EXPECT_EQ(finishes->runs.load(), 1);

    t.resumeTimeLine();
    ASSERT_TRUE(t.waitUntilIdle(5s));
    EXPECT_EQ(finishes->runs.load(), 1);
    EXPECT_EQ(j.order, std::vector<std::string>{"after"});
}

// A pause stops the loop only once the running event ends; a resume in that moment (a quick pause and
// resume from the menu, a network drop and return) must not be lost with it.
TEST(Timeline, AResumeWhileAPauseWindsTheLoopDownKeepsItRunning) {
    tw::test::TempDir support;
    TimeLineManager t(support.str(), TimeLineManager::sharedParts());
    Journal j;
    auto held = std::make_shared<GateEvent>(&t);
    t.eventAppend(held);
    t.eventAppend(std::make_shared<RecordingEvent>(j, "after"));
    t.resumeTimeLine();
    ASSERT_TRUE(held->started.waitFor(5s));
    t.pauseTimeLine();
    t.resumeTimeLine();
    EXPECT_FALSE(t.suspended());
    EXPECT_FALSE(t.syncQueue().isSuspended());
    held->release.signal();
    ASSERT_TRUE(t.waitUntilIdle(5s)) << "the resume was lost: the timeline stayed paused";
    EXPECT_EQ(held->runs.load(), 1);
    EXPECT_EQ(j.order, std::vector<std::string>{"after"});

    // Pauses and resumes in a tight loop while events come: whatever the moment, the last resume holds.
    for (int i = 0; i < 200; ++i) {
        t.eventAppend(std::make_shared<RecordingEvent>(j, "burst"));
        t.pauseTimeLine();
        t.resumeTimeLine();
    }
    ASSERT_TRUE(t.waitUntilIdle(10s));
    EXPECT_EQ(std::count(j.order.begin(), j.order.end(), "burst"), 200);
}

TEST(Timeline, ProducersKeepAppendingWhilePausedAndNothingRuns) {
    tw::test::TempDir support;
    TimeLineManager t(support.str(), TimeLineManager::sharedParts());
    t.resumeTimeLine();
    ASSERT_TRUE(t.waitUntilIdle(5s));
    t.pauseTimeLine();
    for (int i = 0; i < 500 && t.eventQueueRunning(); ++i) std::this_thread::sleep_for(10ms);
    Journal j;
    for (int i = 0; i < 3; ++i) t.eventAppend(std::make_shared<RecordingEvent>(j, std::to_string(i)));
    std::atomic<bool> listed{false};
    t.syncQueue().addOperation([&] { listed = true; });
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(j.order.empty());
    EXPECT_FALSE(listed);
    t.resumeTimeLine();
    ASSERT_TRUE(t.waitUntilIdle(5s));
    ASSERT_TRUE(t.syncQueue().waitUntilAllOperationsAreFinished(5s));
    EXPECT_EQ(j.order, (std::vector<std::string>{"0", "1", "2"}));
    EXPECT_TRUE(listed);
}

// Each timeline runs the listing passes it was given, handing them its own context: two timelines in
// one process (a test's and the program's) never run each other's passes or queue into each other.
TEST(Timeline, ListingPassesAreEachTimelinesOwn) {
    struct Seen {
        std::mutex m;
        std::vector<std::string> passes;
        std::vector<const TimeLineManager*> timelines;
    };
    auto passesInto = [](Seen& seen) {
        auto note = [&seen](tw::EventContext& context, const std::string& what) {
            std::lock_guard l(seen.m);
            seen.passes.push_back(what);
            seen.timelines.push_back(&context.timeline);
        };
        return TimeLineManager::ListingPasses{
            [note](tw::EventContext& context) { note(context, "all"); },
            [note](tw::EventContext& context, const std::string& path, bool) { note(context, path); }};
    };
    tw::test::TempDir supportA, supportB;
    TimeLineManager a(supportA.str(), TimeLineManager::sharedParts());
    TimeLineManager b(supportB.str(), TimeLineManager::sharedParts());
    Seen seenA, seenB;
    a.setListingPasses(passesInto(seenA));
    b.setListingPasses(passesInto(seenB));
    a.addSyncFolderEvent("/data/Team", true);
    b.addSyncFolderEvent("/", false);
    b.addSyncFolderEvent("/data/Desk", false);
    for (auto* t : {&a, &b}) {
        t->resumeTimeLine();
        ASSERT_TRUE(t->syncQueue().waitUntilAllOperationsAreFinished(5s));
    }
    EXPECT_EQ(seenA.passes, std::vector<std::string>{"/data/Team"});
    EXPECT_EQ(seenA.timelines, std::vector<const TimeLineManager*>{&a});
    EXPECT_EQ(seenB.passes, (std::vector<std::string>{"all", "/data/Desk"}));
    EXPECT_EQ(seenB.timelines, (std::vector<const TimeLineManager*>{&b, &b}));
}

TEST(Timeline, BaseEventLogsAndDescribesItself) {
    tw::TLEvent base;
    EXPECT_EQ(base.description(), "Base should be overridden");
    EXPECT_FALSE(base.timelineSave().has_value());
}

// The entry a record stands for: its revision makes it a file, and the size is the server's.
TEST(Timeline, AnEntryFromARecord) {
    tw::CorvaneExtendedAttributes record("/nonexistent/a.txt", "Revision: 9\nServerFileSize: 10\n");
    tw::ServerFileObject file = tw::entryFromRecord("a.txt", record);
    EXPECT_EQ(file.name, "a.txt");
    EXPECT_FALSE(file.isDirectory);
    EXPECT_EQ(file.revision, "9");
    EXPECT_EQ(file.size, 10u);
    tw::ServerFileObject folder =
        tw::entryFromRecord("dir", tw::CorvaneExtendedAttributes("/nonexistent/dir", ""));
    EXPECT_TRUE(folder.isDirectory);
    EXPECT_EQ(folder.revision, "0");
    EXPECT_EQ(folder.size, 0u);
}

TEST(Timeline, ExtractLineAndBlock) {
    std::string record =
        "Delete {\n    Path: /a/b\n    ExtentedAttributes: {\nStatus: Regular\nRevision: 4\n}\n}\n";
    EXPECT_EQ(tw::TLEvent::extractLine(record, "Path"), "/a/b");
    EXPECT_EQ(tw::TLEvent::extractBlock(record, "ExtentedAttributes"), "Status: Regular\nRevision: 4");
    EXPECT_FALSE(tw::TLEvent::extractLine("Path: /no/line/feed", "Path").has_value());
    EXPECT_FALSE(tw::TLEvent::extractLine(record, "Missing").has_value());
    EXPECT_FALSE(tw::TLEvent::extractBlock("ExtentedAttributes: {\nStatus: Regular\n", "ExtentedAttributes"));
}

// extractLine reads header lines only: the text of a key inside a path, or at the end of another key's
// name, is never taken for that key. Every record the events write still reads back whole.
TEST(Timeline, ExtractLineReadsOnlyHeaderLinesAndEveryWrittenRecordReadsBack) {
    std::string move =
        "Move {\n    From: /v/To: x\n    To: /v/b\n    ExtentedAttributes: {\nStatus: Regular\n}\n}\n";
    EXPECT_EQ(tw::TLEvent::extractLine(move, "To"), "/v/b");
    EXPECT_EQ(tw::TLEvent::extractLine(move, "From"), "/v/To: x");
    std::string del = "Delete {\n    OldPath: /x\n    Path: /a/b\n    ExtentedAttributes: {\n}\n}\n";
    EXPECT_EQ(tw::TLEvent::extractLine(del, "Path"), "/a/b");

    tw::CorvaneExtendedAttributes attrs("/v/a b", "Status: Regular\nRevision: 7\n");
    for (std::string path : {"/v/a b", "/v/Path: c", "/v/From: /v/To: d", "/v/x\r"}) {
        tw::TLDelete d(path, attrs);
        auto record = d.timelineSave();
        ASSERT_TRUE(record);
        EXPECT_EQ(tw::TLEvent::extractLine(*record, "Path"), path);
        tw::TLMove m(path, path + "2", attrs);
        auto moved = m.timelineSave();
        ASSERT_TRUE(moved);
        EXPECT_EQ(tw::TLEvent::extractLine(*moved, "From"), path);
        EXPECT_EQ(tw::TLEvent::extractLine(*moved, "To"), path + "2");
        auto block = tw::TLEvent::extractBlock(*moved, "ExtentedAttributes");
        ASSERT_TRUE(block);
        tw::CorvaneExtendedAttributes same = attrs;
        EXPECT_EQ(*block + "\n", same.encode());
    }
}

// ---- Paths that are never synchronised

class IgnoreList : public ::testing::Test {
protected:
    void SetUp() override {
        auto& vm = volumes.list;
        auto docs =
            std::make_shared<tw::VolumeDetail>("Docs", tw::ServerConfigurationDetails::sharedInstance());
        docs->state = tw::VolumeDetail::volumeStates::Visible;
        vm.addVolume(docs);
        root = docs->localFolder + "/";
    }
    tw::ServerEnvironment env;
    tw::test::OwnVolumes volumes;
    std::string root;
};

TEST_F(IgnoreList, RulesApplyToThePathWithinTheVolume) {
    tw::test::TempDir support;
    TimeLineManager timeline(support.str(), volumes.parts(env));
    auto& T = timeline;
    // Outside every volume.
    EXPECT_TRUE(T.inIgnoreList("/etc/hosts"));
    EXPECT_FALSE(T.inIgnoreList(root + "report.txt"));
    // .DS_Store anywhere.
    EXPECT_TRUE(T.inIgnoreList(root + "dir/.DS_Store"));
    // Top-level system folders, but only at the top level.
    EXPECT_TRUE(T.inIgnoreList(root + ".Trashes/501/x"));
    EXPECT_TRUE(T.inIgnoreList(root + ".Trashes"));
    EXPECT_TRUE(T.inIgnoreList(root + ".Spotlight-V100/Store"));
    EXPECT_TRUE(T.inIgnoreList(root + ".fseventsd"));
    EXPECT_FALSE(T.inIgnoreList(root + "dir/.Trashes/x"));
    EXPECT_FALSE(T.inIgnoreList(root + ".TrashesNot"));
    // The volume's icon and the desktop entry pointing at it, with the temporary files they are written
    // through; a folder's own desktop entry further down is the user's.
    EXPECT_TRUE(T.inIgnoreList(root + ".VolumeIcon.icns"));
    EXPECT_TRUE(T.inIgnoreList(root + ".VolumeIcon.svg"));
    EXPECT_TRUE(T.inIgnoreList(root + ".VolumeIcon.svg.tmp-42"));
    EXPECT_TRUE(T.inIgnoreList(root + ".directory"));
    EXPECT_TRUE(T.inIgnoreList(root + ".directory.tmp-42"));
    EXPECT_FALSE(T.inIgnoreList(root + "dir/.directory"));
    EXPECT_FALSE(T.inIgnoreList(root + "dir/.VolumeIcon.svg"));
    EXPECT_FALSE(T.inIgnoreList(root + ".directory-notes.txt"));
    // "Icon?" is matched literally: a real Icon\r is not ignored.
    EXPECT_TRUE(T.inIgnoreList(root + "Icon?"));
    EXPECT_FALSE(T.inIgnoreList(root + "Icon\r"));
    // Containment and endings at any depth below the top.
    EXPECT_TRUE(T.inIgnoreList(root + "a/.localized/b"));
    EXPECT_TRUE(T.inIgnoreList(root + "a/file.download/x"));
    EXPECT_TRUE(T.inIgnoreList(root + "a/.com.google.Chrome.x"));
    EXPECT_TRUE(T.inIgnoreList(root + "a/b.crdownload"));
    EXPECT_TRUE(T.inIgnoreList(root + "a/b.part"));
    EXPECT_TRUE(T.inIgnoreList(root + "a/~$report.docx"));
    EXPECT_FALSE(T.inIgnoreList(root + "~$top.docx"));  // containment of "/~$" needs a folder above
}

TEST_F(IgnoreList, AdministratorExclusionsApplyToFilesAndFolders) {
    auto& rules = tw::ExclusionManager::sharedInstance();
    rules.parseRules(nlohmann::ordered_json{{"tmp", "filePath= \\.tmp$"}, {"build", "filePath= ^build/"}});
    rules.parseExcludeFiles(nlohmann::ordered_json::array({"tmp"}));
    rules.parseExcludeDirectories(nlohmann::ordered_json::array({"build"}));
    tw::test::TempDir support;
    TimeLineManager timeline(support.str(), volumes.parts(env));
    EXPECT_TRUE(timeline.inIgnoreList(root + "x/y.TMP"));
    EXPECT_TRUE(timeline.inIgnoreList(root + "build/out.o"));
    // The rule sees the path within the volume, so the volume's own name never matches ^build/.
    EXPECT_FALSE(timeline.inIgnoreList(root + "src/build/x"));
}

namespace {

// A delete that never gets a usable answer until told otherwise (a proxy answering nonsense).
class StuckDelete : public tw::TLDelete {
public:
    explicit StuckDelete(std::string path) : TLDelete(std::move(path), tw::CorvaneExtendedAttributes(path)) {}
    void performAction(tw::EventContext&) override {
        runs++;
        if (!answers) runAgainLater("the server's answer was not usable");
    }
    std::atomic<int> runs{0};
    std::atomic<bool> answers{false};
};

// A delete that, when it runs, looks whether its own record is in the timeline file.
class DurableCheckDelete : public tw::TLDelete {
public:
    DurableCheckDelete(std::string path, const TimeLineManager& t, std::atomic<int>& missing)
        : TLDelete(path, tw::CorvaneExtendedAttributes(path)),
          path_(std::move(path)),
          t_(t),
          missing_(missing) {}
    void performAction(tw::EventContext&) override {
        if (tw::test::readFile(t_.timelinePath()).find(path_) == std::string::npos) ++missing_;
    }

private:
    std::string path_;
    const TimeLineManager& t_;
    std::atomic<int>& missing_;
};

}  // namespace

// A burst of deletes, appended while earlier ones run: none runs before its own record is on disk, so a
// crash while it runs finds it there, and none waits for the rewrites that drop finished ones.
TEST(Timeline, EveryRecordedEventRunsOnlyOnceItsRecordIsOnDisk) {
    tw::test::TempDir support;
    TimeLineManager t(support.str(), TimeLineManager::sharedParts());
    std::atomic<int> missing{0};
    t.resumeTimeLine();
    for (int i = 0; i < 400; ++i)
        t.eventAppend(std::make_shared<DurableCheckDelete>("/nowhere/burst/file" + std::to_string(i) + ".txt",
                                                           t, missing));
    ASSERT_TRUE(t.waitUntilIdle(60s));
    EXPECT_EQ(missing.load(), 0) << "an event ran before its record was written";
    EXPECT_LT(t.timelineWrites(), 400u) << "each event waited for a write of its own";
}

// Each write is the whole file: a burst of reports shares writes, however fast it comes, instead of
// rewriting megabytes once per report while the programs that made them wait for the machine.
TEST(Timeline, ABurstOfReportsIsWrittenAFewTimesASecondNotOncePerReport) {
    tw::test::TempDir support;
    TimeLineManager t(support.str(), TimeLineManager::sharedParts());
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3000; ++i) {
        std::string path = "/nowhere/burst/file" + std::to_string(i) + ".txt";
        t.eventAppend(std::make_shared<tw::TLDelete>(path, tw::CorvaneExtendedAttributes(path)));
    }
    ASSERT_TRUE(t.waitUntilDurable(30s));
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_LE(static_cast<double>(t.timelineWrites()), took.count() / 0.05 + 2)
        << "written more often than every 50 ms over " << took.count() << " s";
    EXPECT_NE(tw::test::readFile(t.timelinePath()).find("/nowhere/burst/file2999.txt"), std::string::npos);
}

TEST(Timeline, AnEventThatNeverReachesTheServerIsSetAsideKeptInTheFileAndTriedAgain) {
    tw::test::TempDir support;
    size_t from = tw::test::logSize();
    TimeLineManager t(support.str(), TimeLineManager::sharedParts());
    t.setRunAgainDelay(10ms);
    t.setParkedRetryDelay(300ms);
    auto stuck = std::make_shared<StuckDelete>("/nowhere/stuck.txt");
    Journal j;
    t.eventAppend(stuck);
    t.eventAppend(std::make_shared<RecordingEvent>(j, "after"));
    t.resumeTimeLine();
    // Everything behind it goes on once it has had its tries at the head.
    ASSERT_TRUE(t.waitUntilIdle(10s));
    EXPECT_EQ(j.order, std::vector<std::string>{"after"});
    EXPECT_GE(stuck->runs.load(), TimeLineManager::kRunsAtHead);
    auto waiting = t.waitingEvents();
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0].reason, "the server's answer was not usable");
    EXPECT_NE(waiting[0].description.find("/nowhere/stuck.txt"), std::string::npos);
    ASSERT_TRUE(t.waitUntilDurable(5s));
    EXPECT_NE(tw::test::readFile(t.timelinePath()).find("/nowhere/stuck.txt"), std::string::npos)
        << "a restart must still find it";
    EXPECT_TRUE(tw::test::logContains("waits: the server's answer was not usable", from));

    // Tried again later; once it gets through it is gone from the list and from the file.
    int before = stuck->runs.load();
    stuck->answers = true;
    for (int i = 0; i < 100 && !t.waitingEvents().empty(); ++i) std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(t.waitingEvents().empty());
    EXPECT_GT(stuck->runs.load(), before);
    ASSERT_TRUE(t.waitUntilDurable(5s));
    for (int i = 0; i < 100 && std::filesystem::exists(t.timelinePath()); ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(std::filesystem::exists(t.timelinePath()));
}

// The file is written from the records alone, in replay order: an event set aside comes before one
// queued after it, and one being tried again (set aside and at the head at once) is there once.
TEST(Timeline, TheFileHoldsEachRecordOnceAndSetAsideEventsFirst) {
    tw::test::TempDir support;
    TimeLineManager t(support.str(), TimeLineManager::sharedParts());
    t.setRunAgainDelay(1ms);
    t.setParkedRetryDelay(5ms);
    auto first = std::make_shared<StuckDelete>("/nowhere/first.txt");
    auto second = std::make_shared<StuckDelete>("/nowhere/second.txt");
    t.eventAppend(first);
    t.resumeTimeLine();
    for (int i = 0; i < 200 && t.waitingEvents().empty(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(t.waitingEvents().size(), 1u);
    t.eventAppend(second);
    auto count = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    for (int round = 0; round < 30; ++round) {
        ASSERT_TRUE(t.waitUntilDurable(5s));
        std::string text = tw::test::readFile(t.timelinePath());
        ASSERT_EQ(count(text, "/nowhere/first.txt"), 1u) << text;
        if (count(text, "/nowhere/second.txt") == 0) continue;  // not yet written
        ASSERT_EQ(count(text, "/nowhere/second.txt"), 1u) << text;
        EXPECT_LT(text.find("/nowhere/first.txt"), text.find("/nowhere/second.txt")) << text;
        std::this_thread::sleep_for(7ms);
    }
    first->answers = true;
    second->answers = true;
    for (int i = 0; i < 200 && !t.waitingEvents().empty(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(t.waitingEvents().empty());
}

TEST(Timeline, EventsDescribeThemselvesForTheLog) {
    nlohmann::json properties{{"name", "a.txt"}, {"revision", "7"}, {"directory", false}, {"size", 3}};
    tw::ServerFileObject entry(properties);
    std::string dump = entry.description();
    tw::DownloadSync sync("/v/f", entry, true);
    EXPECT_EQ(sync.description(), "Download Sync:{\r\nFolder /v/f\r\n" + dump + "}");
    tw::RevisionUpdate update("/v/f", entry);
    EXPECT_EQ(update.description(),
              "Revision Update: Folder:{\r\nFolder: /v/f\r\nServer Details: " + dump + "}");
    tw::TLServerRequestedDelete gone("/v/f/a.txt", tw::CorvaneExtendedAttributes("/v/f/a.txt", ""));
    EXPECT_EQ(gone.description(), "Server Requested Delete: /v/f/a.txt");
    // No description of its own: the base text.
    tw::TLOutOfBandDownload out("/v/f/a.txt", "/elsewhere/a.txt");
    EXPECT_EQ(out.description(), "Base should be overridden");
}
