// Uploads and deletes of distinct files run side by side (lanes), through the timeline, against the
// reference server with transfers held by its delay faults: what a pause, a quit, a crash or a rename
// in the middle of a round does to the server's copy. Each case opens its window on purpose; none of
// them may lose a server copy, leave an edit unsent or show a conflict that no second writer caused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <thread>

#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/TLUpload.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "platform/fd.h"
#include "support/team_timeline.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using S = CEAStatus::keys;

class Lanes : public TeamTimeline {
protected:
    void expectInStep(const std::string& rel, const std::string& content) {
        std::string held = readFile(serverFile(rel));
        if (content.size() > 100)
            EXPECT_TRUE(held == content) << rel << ": the server holds " << held.size() << " bytes";
        else
            EXPECT_EQ(held, content) << rel;
        auto r = record(rel);
        EXPECT_EQ(r.ceaStatus.status, S::Regular) << rel;
        EXPECT_EQ(r.ceaErrorStatus.status, CEAErrorStatus::keys::NoError) << rel;
        EXPECT_FALSE(r.ceaString.getAttribute(CEAString::keys::ConflictRevision)) << rel;
    }
    // A file system may give a freed file number to the next file made; the mount never does. A link
    // kept outside the volume keeps the number taken, so a file made again is told apart by it.
    void keepItsNumber(const std::string& rel) {
        std::string kept = rel;
        std::replace(kept.begin(), kept.end(), '/', '-');
        fs::create_hard_link(local(rel), dir / ("kept-" + kept));
    }
    // The records Timeline.txt holds now.
    std::vector<std::string> journalled() {
        std::vector<std::string> paths;
        platform::UniqueFd fd(::open((supportFolder() + "Timeline.txt").c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd) return paths;
        for (const auto& e : TimeLineManager::readReplay(fd.get()).events)
            if (auto* d = dynamic_cast<TLDelete*>(e.get())) paths.push_back(d->localPath);
        return paths;
    }
};

// A checkout deletes a synchronised file and writes it again: lane 0 is [delete big, upload big], its
// upload held by the server, beside another held upload. The delete hands the server's item to the new
// file and is done; the user quits while the uploads are still held. The delete must not be replayed
// at the next start: it would find the new file carrying the revision and delete it on the server.
TEST_F(Lanes, AFinishedDeleteLeavesTheJournalAtOnceAndIsNotReplayedAfterAQuit) {
    uploaded("big.bin", "first version");
    keepItsNumber("big.bin");
    ASSERT_TRUE(writeFile(local("other.txt"), "other"));
    holdRequests("big.bin", 3000);
    holdRequests("other.txt", 3000);
    deleteLocally("big.bin");
    written("big.bin", "checked out again");
    timeline->addCloseEvent(local("other.txt"));
    resume();
    // The hand-over is written to the new file's record; the delete is then done, and leaves the
    // journal while the uploads of its round are still held.
    ASSERT_TRUE(waitUntil([&] { return !revisionOf("big.bin").empty(); }));
    ASSERT_TRUE(waitUntil([&] { return journalled().empty() || fs::exists(serverFile("other.txt")); }));
    EXPECT_TRUE(journalled().empty()) << "the finished delete stayed in Timeline.txt for the whole round";
    EXPECT_FALSE(fs::exists(serverFile("other.txt")));
    // Quit: the uploads are cut, the timeline saved.
    contactAllowed = false;
    timeline->saveTimeLine();
    timeline.reset();
    EXPECT_TRUE(journalled().empty());

    // The next start runs what Timeline.txt gave back first: the server's copy must still be there.
    timeline = makeTimeline();
    contactAllowed = true;
    runTimeline();
    // (It holds the new content when the server carried the cut upload out after the client gave up.)
    EXPECT_TRUE(fs::exists(serverFile("big.bin"))) << "the server's copy was deleted";
    // Then the change scan queues what waits to be sent; here, by hand.
    timeline->addUploadEvent(local("big.bin"));
    timeline->addUploadEvent(local("other.txt"));
    runTimeline();
    expectInStep("big.bin", "checked out again");
    expectInStep("other.txt", "other");
}

// The same delete, replayed after a crash that came before Timeline.txt was written again: it
// recognises the hand-over it made (the file standing there now carries the revision it deletes,
// under another file number) and sends nothing. Also after the new file's own upload made a newer
// revision.
TEST_F(Lanes, ADeleteReplayedAfterItsHandOverSendsNothing) {
    auto sent = uploaded("a.txt", "first");
    auto sentB = uploaded("b.txt", "first");
    keepItsNumber("a.txt");
    keepItsNumber("b.txt");
    fs::remove(local("a.txt"));
    fs::remove(local("b.txt"));
    ASSERT_TRUE(writeFile(local("a.txt"), "made again"));
    ASSERT_TRUE(writeFile(local("b.txt"), "made again"));
    for (auto [rel, before] : {std::pair{"a.txt", sent}, std::pair{"b.txt", sentB}})
        TLDelete(local(rel), before).performAction(timeline->context());
    ASSERT_EQ(revisionOf("a.txt"), sent.ceaString.getAttribute(CEAString::keys::Revision).value_or("-"));
    // b's upload ran before the crash: it holds a newer revision of the same server item.
    timeline->addUploadEvent(local("b.txt"));
    runTimeline();
    ASSERT_EQ(readFile(serverFile("b.txt")), "made again");

    // Replayed as Timeline.txt gives them back: new events from the records taken at the delete.
    for (auto [rel, before] : {std::pair{"a.txt", sent}, std::pair{"b.txt", sentB}}) {
        TLDelete replayed(local(rel), CorvaneExtendedAttributes(local(rel), before.encode()));
        replayed.performAction(timeline->context());
        EXPECT_FALSE(replayed.takeRunAgain());
    }
    EXPECT_EQ(readFile(serverFile("a.txt")), "first") << "the server's item stays for the new file";
    timeline->addUploadEvent(local("a.txt"));
    runTimeline();
    expectInStep("a.txt", "made again");
    expectInStep("b.txt", "made again");
}

// A pause while three uploads run side by side: the two beside the head are cut, never counted as
// done. They stay queued and go up at resume, the resumable one too (which had made an empty copy
// on the server first).
TEST_F(Lanes, UploadsCutByAPauseStayQueuedAndGoUpAtResume) {
    team->canResumeUploads = true;
    env.resumableUploadsFrom = 1 << 20;
    std::string big(1 << 20, 'x');
    for (size_t i = 0; i < big.size(); i += 997) big[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(writeFile(local("head.txt"), "head"));
    ASSERT_TRUE(writeFile(local("held.txt"), "held"));
    ASSERT_TRUE(writeFile(local("large.bin"), big));
    holdRequests("held.txt", 4000);
    devserver.fault({{"method", "POST"},
                     {"path", devserver.servicePath("resume/upload/Team/large.bin")},
                     {"action", "delay"},
                     {"delay_ms", 4000}});
    for (const char* rel : {"head.txt", "held.txt", "large.bin"}) timeline->addCloseEvent(local(rel));
    resume();
    ASSERT_TRUE(waitUntil([&] { return fs::exists(serverFile("head.txt")); }));
    std::this_thread::sleep_for(300ms);
    pause();
    EXPECT_EQ(timeline->eventCount(), 2u) << "the cut uploads stay queued";
    EXPECT_EQ(record("held.txt").ceaStatus.status, S::RequireUpload);
    EXPECT_EQ(record("large.bin").ceaStatus.status, S::RequireUpload);

    resume();
    runTimeline();
    expectInStep("head.txt", "head");
    expectInStep("held.txt", "held");
    expectInStep("large.bin", big);
}

// A program saves by writing a new file and renaming it over the old one while both files' uploads
// run in their lanes. Two lanes must never act on one file: it would end on the server under both
// names, both writing its record, and the move that follows would be refused.
TEST_F(Lanes, AFileRenamedOverAnotherDuringARoundIsSentOnceUnderItsNewName) {
    uploaded("doc.txt", "saved before");
    holdRequests("draft.tmp", 2500);
    holdRequests("doc.txt", 1000);
    // The editor's new version, and two closes of the old one (the second upload starts after the
    // rename, while the new version's upload still runs).
    written("draft.tmp", "saved now");
    written("doc.txt", "edited before");
    timeline->addCloseEvent(local("doc.txt"));
    resume();
    std::this_thread::sleep_for(400ms);
    moveLocally("draft.tmp", "doc.txt");
    runTimeline();
    EXPECT_FALSE(fs::exists(serverFile("draft.tmp")))
        << "the new version stayed on the server under its first name";
    expectInStep("doc.txt", "saved now");
}

// Six files rewritten while the server holds the uploads of three: the user pauses after a moment
// and resumes later. The server finished the held uploads after the client gave up on them; sent
// again on the old revision, they meet the server's revision of exactly these bytes, which is no
// conflict. One edited again meanwhile goes up on top of the revision its cut exchange made.
TEST_F(Lanes, AnExchangeCarriedOutAfterItsAnswerWasLostIsNoConflict) {
    for (int i = 0; i < 6; ++i) uploaded("g" + std::to_string(i) + ".txt", "first " + std::to_string(i));
    for (int i = 0; i < 3; ++i) holdRequests("g" + std::to_string(i) + ".txt", 3000);
    for (int i = 0; i < 6; ++i) written("g" + std::to_string(i) + ".txt", "second " + std::to_string(i));
    resume();
    std::this_thread::sleep_for(1500ms);
    pause();
    // The server carries the held uploads out once it is done holding them.
    ASSERT_TRUE(waitUntil([&] { return readFile(serverFile("g0.txt")) == "second 0"; }, 10s));
    ASSERT_TRUE(waitUntil([&] { return readFile(serverFile("g2.txt")) == "second 2"; }, 10s));
    ASSERT_TRUE(writeFile(local("g2.txt"), "third 2 after the pause"));
    timeline->addCloseEvent(local("g2.txt"));
    resume();
    runTimeline();
    for (int i = 0; i < 6; ++i) {
        std::string rel = "g" + std::to_string(i) + ".txt";
        expectInStep(rel, i == 2 ? "third 2 after the pause" : "second " + std::to_string(i));
    }
}

// A save renamed over the file while its upload is held: the user pauses, the server carries the held
// upload out after the client gave up on it, and the program saves once more by renaming. The move
// that runs again meets the revision its earlier run made; it is the client's own, not a colleague's.
TEST_F(Lanes, ASaveByRenameMeetsTheRevisionItsCutUploadMadeWithoutAConflict) {
    uploaded("doc.txt", "saved before");
    keepItsNumber("doc.txt");
    holdRequests("doc.txt", 2500);
    ASSERT_TRUE(writeFile(local("doc.txt.tmp1"), "first save"));
    moveLocally("doc.txt.tmp1", "doc.txt");
    resume();
    std::this_thread::sleep_for(700ms);
    pause();
    ASSERT_TRUE(waitUntil([&] { return readFile(serverFile("doc.txt")) == "first save"; }, 10s));
    ASSERT_TRUE(writeFile(local("doc.txt.tmp2"), "second save, longer"));
    moveLocally("doc.txt.tmp2", "doc.txt");
    resume();
    runTimeline();
    expectInStep("doc.txt", "second save, longer");
}

// The same across a quit: the upload is cut, the server carries it out after the client has gone, and
// the file is written to again before the next start. What was sent is kept on disk until an answer
// comes, so the next start knows the server's revision for its own.
TEST_F(Lanes, AnUploadCutByAQuitIsTheClientsOwnRevisionAfterTheRestart) {
    uploaded("report.txt", "before");
    holdRequests("report.txt", 2500);
    written("report.txt", "edited before the quit");
    resume();
    std::this_thread::sleep_for(700ms);
    contactAllowed = false;
    timeline->saveTimeLine();
    timeline.reset();
    ASSERT_TRUE(
        waitUntil([&] { return readFile(serverFile("report.txt")) == "edited before the quit"; }, 10s));
    ASSERT_TRUE(writeFile(local("report.txt"), "edited again while it was not running"));

    timeline = makeTimeline();
    contactAllowed = true;
    timeline->addCloseEvent(local("report.txt"));  // what the start-up scan finds
    runTimeline();
    expectInStep("report.txt", "edited again while it was not running");
}

// New files and a new folder whose uploads and creation a quit cut, carried out by the server after the
// client had gone, are removed before the next start: no record says they reached the server. The
// delete of each takes the server's copy its own exchange made (left there, the next listing brings
// it back and its folder cannot go); a file a colleague wrote there meanwhile stays.
TEST_F(Lanes, ItemsRemovedAfterTheirCutExchangesTakeTheServersCopyOnlyWhenItIsTheirOwn) {
    for (const char* rel : {"mine.txt", "theirs.txt"}) {
        written(rel, std::string("sent before the quit: ") + rel);
        holdRequests(rel, 2500);
    }
    resume();
    std::this_thread::sleep_for(700ms);
    contactAllowed = false;
    timeline->saveTimeLine();
    timeline.reset();
    ASSERT_TRUE(waitUntil([&] {
        return readFile(serverFile("mine.txt")) == "sent before the quit: mine.txt" &&
               readFile(serverFile("theirs.txt")) == "sent before the quit: theirs.txt";
    }));

    timeline = makeTimeline();
    contactAllowed = true;
    // And a folder whose creation the server carried out just before the client was killed, before
    // its record was written.
    fs::create_directories(local("made"));
    ASSERT_EQ(CreateFolderDetails(env, local("made"), std::chrono::system_clock::now()).createFolder(),
              normalisedResponse::allOkay);
    {
        CorvaneExtendedAttributes unknown(local("made"));
        unknown.ceaStatus.setStatus(S::Unknown);
        ASSERT_TRUE(unknown.save());
        timeline->context().records.noteSentFolder(local("made"));  // as the request left it
    }
    {
        // Her revision over it, sent from a file of her own an hour ago; the record is then again what
        // the cut upload left: no revision.
        FetchAttributes held(env, local("theirs.txt"));
        ASSERT_EQ(held.performServerAction(), normalisedResponse::allOkay);
        CorvaneExtendedAttributes r(local("theirs.txt"));
        r.ceaString.setAttribute(CEAString::keys::Revision, held.fileObject->revision);
        ASSERT_TRUE(r.save());
        ASSERT_TRUE(writeFile(local("theirs.txt"), "her own version, written over it"));
        ASSERT_TRUE(platform::setModificationDate(local("theirs.txt"), ::time(nullptr) - 3600));
        UploadDetails hers(env, local("theirs.txt"));
        ASSERT_EQ(hers.uploadFile(), normalisedResponse::allOkay);
        CorvaneExtendedAttributes after(local("theirs.txt"));
        after.ceaString.setAttribute(CEAString::keys::Revision, "");
        ASSERT_TRUE(after.save());
        auto& records = timeline->context().records;
        for (const auto& row : records.findRecord(local("theirs.txt"))) records.removeRecord(row);
    }
    fs::remove(supportFolder() + "Timeline.txt");  // the uploads are no more: their files went
    for (const char* rel : {"mine.txt", "theirs.txt", "made"}) deleteLocally(rel);
    runTimeline();
    EXPECT_FALSE(fs::exists(serverFile("mine.txt"))) << "the server kept a file the user removed";
    EXPECT_FALSE(fs::exists(serverFile("made"))) << "the server kept a folder the user removed";
    EXPECT_EQ(readFile(serverFile("theirs.txt")), "her own version, written over it");
}

// A folder the server lacked is made on the way to one inside it; the client is cut off (a quit, a
// kill) while that creation is held, and the server carries it out after the client has gone. No
// record places it there, but the user's `rm -r` of it must still reach the server, or the next
// listing brings the folder back and the folder above it cannot go.
TEST_F(Lanes, AFolderMadeOnTheWayToAnotherByACutCreationGoesWhenTheUserRemovesIt) {
    using namespace std::chrono_literals;
    fs::create_directories(local("made/inner"));
    // The creation of "inner" is refused (no "made" there yet), then that of "made" is held.
    devserver.fault({{"method", "POST"},
                     {"path", devserver.servicePath("folders/Team")},
                     {"action", "delay"},
                     {"delay_ms", 2000},
                     {"count", 2}});
    auto created = std::async(std::launch::async, [&] {
        return CreateFolderDetails(env, local("made/inner"), std::chrono::system_clock::now()).createFolder();
    });
    std::this_thread::sleep_for(3000ms);
    ServerCommunicator::closeForShutdown();
    EXPECT_NE(created.get(), normalisedResponse::allOkay);
    ServerCommunicator::reopen();
    ASSERT_TRUE(waitUntil([&] { return fs::is_directory(serverFile("made")); }, 10s));
    EXPECT_FALSE(fs::exists(serverFile("made/inner")));

    deleteLocally("made");
    runTimeline();
    EXPECT_FALSE(fs::exists(serverFile("made"))) << "the server kept a folder the user removed";
}

// An upload whose folders the server lacks makes them on its way; the user removes the whole tree
// while the upload is held, and its deletes find nothing on the server. The folders must not be made
// after that: nothing would remove them there, and the next listing would bring them back.
TEST_F(Lanes, AnUploadMakesNoFolderTheUserRemovedWhileItWasHeld) {
    using namespace std::chrono_literals;
    fs::create_directories(local("gone/inner"));
    ASSERT_TRUE(writeFile(local("gone/inner/f.txt"), "sent from a folder about to go"));
    holdRequests("gone/inner", 1500);
    auto sent = std::async(std::launch::async,
                           [&] { return UploadDetails(env, local("gone/inner/f.txt")).uploadFile(); });
    std::this_thread::sleep_for(500ms);
    fs::remove_all(local("gone"));
    (void)sent.get();
    EXPECT_FALSE(fs::exists(serverFile("gone"))) << "a folder the user removed was made on the server";
}

// A folder is renamed, and a program saves a file in it by renaming a new one over it, before the
// folder's move has run: the replaced file's row must follow the folder, or the save is taken for a
// new file and refused as a conflict with the client's own revision.
TEST_F(Lanes, ASaveInAFolderRenamedJustBeforeContinuesTheFilesRevision) {
    fs::create_directories(local("dir"));
    uploaded("dir/file.txt", "before");
    keepItsNumber("dir/file.txt");
    moveLocally("dir", "renamed");
    ASSERT_TRUE(writeFile(local("renamed/file.txt.tmp"), "saved after the rename"));
    moveLocally("renamed/file.txt.tmp", "renamed/file.txt");
    runTimeline();
    expectInStep("renamed/file.txt", "saved after the rename");
    EXPECT_FALSE(fs::exists(serverFile("dir")));
}

// The server made the revision, and the answer was lost on its way back (a dropped connection, a
// time-out): the same for a new file, sent on no revision at all.
TEST_F(Lanes, AnUploadWhoseAnswerWasDroppedIsAdoptedOnItsRetry) {
    uploaded("kept.txt", "first");
    for (const char* rel : {"kept.txt", "new.txt"})
        devserver.fault({{"method", "POST"},
                         {"path", devserver.servicePath(std::string("folders/Team/") + rel)},
                         {"action", "drop"},
                         {"stage", "response"},
                         {"after_bytes", 0}});
    timeline->setRunAgainDelay(50ms);
    written("kept.txt", "second");
    written("new.txt", "brand new");
    runTimeline();
    expectInStep("kept.txt", "second");
    expectInStep("new.txt", "brand new");
}

// A second writer is still a conflict: the server's revision holds other bytes of the same size, with
// another date.
TEST_F(Lanes, AColleaguesRevisionOfTheSameSizeIsStillAConflict) {
    uploaded("shared.txt", "ours 1");
    // Her revision, sent from a file of her own an hour ago.
    ASSERT_TRUE(writeFile(local("shared.txt"), "hers 1"));
    ASSERT_TRUE(platform::setModificationDate(local("shared.txt"), ::time(nullptr) - 3600));
    {
        UploadDetails hers(env, local("shared.txt"));
        ASSERT_EQ(hers.uploadFile(), normalisedResponse::allOkay);
    }
    written("shared.txt", "ours 2");
    runTimeline();
    auto r = record("shared.txt");
    EXPECT_EQ(r.ceaStatus.status, S::ErrorRegular);
    EXPECT_EQ(r.ceaErrorStatus.status, CEAErrorStatus::keys::Conflict);
    EXPECT_EQ(readFile(local("shared.txt")), "ours 2");
}

// The tray and the scripting query count every upload that runs, not only the head's.
TEST_F(Lanes, EveryUploadRunningBesideTheHeadIsShownInTheTray) {
    auto& bar = StatusBarManager::sharedInstance();
    auto removed = uploaded("removed.txt", "x");
    for (const char* rel : {"u1.txt", "u2.txt", "u3.txt"}) {
        ASSERT_TRUE(writeFile(local(rel), rel));
        holdRequests(rel, 2000);
    }
    deleteLocally("removed.txt");  // the head: done at once
    for (const char* rel : {"u1.txt", "u2.txt", "u3.txt"}) timeline->addCloseEvent(local(rel));
    resume();
    ASSERT_TRUE(waitUntil([&] { return bar.state().uploadFiles.size() == 3; }, 10s))
        << bar.state().uploadFiles.size();
    EXPECT_TRUE(bar.uploadActive());
    EXPECT_EQ(bar.state().icon, StatusBarManager::icons::statusBarBusyIcon);
    runTimeline();
    EXPECT_FALSE(bar.uploadActive());
    EXPECT_TRUE(bar.state().uploadFiles.empty());
    EXPECT_FALSE(fs::exists(serverFile("removed.txt")));
}

}  // namespace
}  // namespace tw::test
