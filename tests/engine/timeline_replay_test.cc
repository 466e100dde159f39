// Saving pending deletes and moves to Timeline.txt and replaying them at the next start, including
// files damaged in the ways a crash or a disk leaves them.
#include <gtest/gtest.h>

#include <filesystem>

#include "Pinewick/engine/TimeLineManager.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

using tw::CorvaneExtendedAttributes;
using tw::TimeLineManager;
using tw::test::readFile;
using tw::test::writeFile;
namespace fs = std::filesystem;

namespace {

CorvaneExtendedAttributes regularRecord(const std::string& path, const std::string& revision) {
    CorvaneExtendedAttributes r(
        path, std::string("Status: Regular\nRevision: ") + revision + "\nLocalFileId: 42\n");
    return r;
}

std::string deleteRecord(const std::string& path, const std::string& attrs) {
    return "Delete {\n    Path: " + path + "\n    ExtentedAttributes: {\n" + attrs + "}\n}\n";
}
std::string moveRecord(const std::string& from, const std::string& to, const std::string& attrs) {
    return "Move {\n    From: " + from + "\n    To: " + to + "\n    ExtentedAttributes: {\n" + attrs +
           "}\n}\n";
}

// Not persisted: dropped at shutdown.
class TransientEvent : public tw::TLEvent {};

std::vector<fs::path> corruptFiles(const fs::path& dir) {
    std::vector<fs::path> out;
    for (auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().rfind("Timeline.txt.corrupt-", 0) == 0) out.push_back(e.path());
    return out;
}

}  // namespace

TEST(TimelineReplay, SaveWritesDeleteAndMoveRecordsAndReplayRestoresThemInOrder) {
    tw::test::TempDir support;
    auto del = regularRecord("/V/Docs/gone.txt", "7");
    auto mov = regularRecord("/V/Docs/new.txt", "9");
    std::string delAttrs = CorvaneExtendedAttributes(del).encode();
    std::string movAttrs = CorvaneExtendedAttributes(mov).encode();
    {
        TimeLineManager t(support.str(), TimeLineManager::sharedParts());
        t.eventAppend(std::make_shared<tw::TLDelete>("/V/Docs/gone.txt", del));
        t.eventAppend(std::make_shared<TransientEvent>());
        t.eventAppend(std::make_shared<tw::TLMove>("/V/Docs/old.txt", "/V/Docs/new.txt", mov));
        t.saveTimeLine();
        EXPECT_TRUE(t.suspended());
    }
    std::string expected = deleteRecord("/V/Docs/gone.txt", delAttrs) + "\r\n" +
                           moveRecord("/V/Docs/old.txt", "/V/Docs/new.txt", movAttrs) + "\r\n";
    EXPECT_EQ(readFile(support / "Timeline.txt"), expected);

    TimeLineManager replayed(support.str(), TimeLineManager::sharedParts());
    // Still pending, so still on disk until they have run.
    EXPECT_EQ(readFile(support / "Timeline.txt"), expected);
    auto events = replayed.events();
    ASSERT_EQ(events.size(), 2u);
    auto* d = dynamic_cast<tw::TLDelete*>(events[0].get());
    auto* m = dynamic_cast<tw::TLMove*>(events[1].get());
    ASSERT_TRUE(d && m);
    EXPECT_EQ(d->localPath, "/V/Docs/gone.txt");
    EXPECT_EQ(d->xAttrs.ceaString.getAttribute(tw::CEAString::keys::Revision), "7");
    EXPECT_EQ(d->xAttrs.ceaStatus.status, tw::CEAStatus::keys::Regular);
    EXPECT_EQ(m->localPathFrom, "/V/Docs/old.txt");
    EXPECT_EQ(m->localPathTo, "/V/Docs/new.txt");
    EXPECT_EQ(m->originalXAttrs.localPath, "/V/Docs/new.txt");
    EXPECT_EQ(m->moveAction, tw::TLMove::moveActions::move);
    EXPECT_EQ(m->originalXAttrs.ceaString.getAttribute(tw::CEAString::keys::Revision), "9");
    // A second save of the replayed list writes the same bytes again.
    replayed.saveTimeLine();
    EXPECT_EQ(readFile(support / "Timeline.txt"), expected);
}

TEST(TimelineReplay, EmptyListWritesNoFileAndEmptyFileYieldsNothing) {
    tw::test::TempDir support;
    {
        TimeLineManager t(support.str(), TimeLineManager::sharedParts());
        t.saveTimeLine();
    }
    EXPECT_FALSE(fs::exists(support / "Timeline.txt"));
    writeFile(support / "Timeline.txt", "");
    TimeLineManager t(support.str(), TimeLineManager::sharedParts());
    EXPECT_EQ(t.eventCount(), 0u);
    EXPECT_FALSE(fs::exists(support / "Timeline.txt"));
    EXPECT_TRUE(corruptFiles(support.path()).empty());
}

TEST(TimelineReplay, DamagedRecordsAreSkippedKeptAndLoggedWhileGoodOnesReplay) {
    tw::test::TempDir support;
    size_t from = tw::test::logSize();
    std::string good1 = deleteRecord("/V/Docs/a", "Status: Regular\nRevision: 1\n");
    std::string notUtf8 = deleteRecord("/V/Docs/\xff\xfe", "Status: Regular\n");
    std::string unknown = "Frobnicate {\n    Path: /V/x\n}\n";
    std::string incomplete =
        "Move {\n    From: /V/Docs/b\n    ExtentedAttributes: {\nStatus: Regular\n}\n}\n";
    std::string good2 = moveRecord("/V/Docs/c", "/V/Docs/d", "Status: Regular\nRevision: 2\n");
    writeFile(support / "Timeline.txt",
              good1 + "\r\n" + notUtf8 + "\r\n" + unknown + "\r\n" + incomplete + "\r\n" + good2 + "\r\n");
    TimeLineManager t(support.str(), TimeLineManager::sharedParts());
    auto events = t.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(dynamic_cast<tw::TLDelete&>(*events[0]).localPath, "/V/Docs/a");
    EXPECT_EQ(dynamic_cast<tw::TLMove&>(*events[1]).localPathTo, "/V/Docs/d");
    EXPECT_TRUE(tw::test::logContains("  Fatal: Corruption of replay commands detected\n", from));
    EXPECT_TRUE(tw::test::logContains("  Fatal: Replay Command detected unknown event Frobnicate {", from));
    EXPECT_TRUE(tw::test::logContains(
        "  Fatal: Replay Command detected unknown event Move {\n    From: /V/Docs/b", from));
    // Nothing the user had is lost: what could not be replayed is kept for inspection.
    auto kept = corruptFiles(support.path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(readFile(kept[0]), notUtf8 + "\r\n" + unknown + "\r\n" + incomplete + "\r\n");
    // The timeline keeps only what it could replay, pending until run.
    std::string pending = readFile(support / "Timeline.txt");
    EXPECT_EQ(pending.rfind("Delete {\n    Path: /V/Docs/a\n", 0), 0u);
    EXPECT_NE(pending.find("Move {\n    From: /V/Docs/c\n    To: /V/Docs/d\n"), std::string::npos);
    EXPECT_EQ(pending.find("Frobnicate"), std::string::npos);
    EXPECT_EQ(pending.find("/V/Docs/b"), std::string::npos);
}

TEST(TimelineReplay, TruncatedFileKeepsEarlierRecordsAndTheTail) {
    tw::test::TempDir support;
    std::string good = deleteRecord("/V/Docs/a", "Status: Regular\n");
    std::string cut = moveRecord("/V/Docs/b", "/V/Docs/c", "Status: Regular\n").substr(0, 30);
    writeFile(support / "Timeline.txt", good + "\r\n" + cut);
    TimeLineManager t(support.str(), TimeLineManager::sharedParts());
    EXPECT_EQ(t.eventCount(), 1u);
    auto kept = corruptFiles(support.path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(readFile(kept[0]), cut);
}

TEST(TimelineReplay, LongAndNonAsciiRecordsAcrossReadBoundariesAreNotLost) {
    tw::test::TempDir support;
    // A move between two long paths does not fit one 2048-byte read.
    std::string longName(1500, 'n');
    std::string from = "/V/Docs/" + longName + "/from", to = "/V/Docs/" + longName + "/to";
    // Names of multi-byte characters make read boundaries fall inside a character.
    std::string accents;
    for (int i = 0; i < 300; ++i) accents += "\xc3\xa9";  // é
    std::string content = moveRecord(from, to, "Status: Regular\n") + "\r\n";
    for (int i = 0; i < 6; ++i)
        content += deleteRecord("/V/Docs/" + accents + std::to_string(i), "Status: Regular\n") + "\r\n";
    writeFile(support / "Timeline.txt", content);
    TimeLineManager t(support.str(), TimeLineManager::sharedParts());
    auto events = t.events();
    ASSERT_EQ(events.size(), 7u);
    EXPECT_EQ(dynamic_cast<tw::TLMove&>(*events[0]).localPathFrom, from);
    EXPECT_EQ(dynamic_cast<tw::TLDelete&>(*events[6]).localPath, "/V/Docs/" + accents + "5");
    EXPECT_TRUE(corruptFiles(support.path()).empty());
}

TEST(TimelineReplay, ANameWithALineBreakIsNeverReplayedAsAnotherItem) {
    tw::test::TempDir support;
    // Linux allows line breaks in names; Timeline.txt is read by lines, so the part of such a name
    // after the break would be read as the next line, and the rest as a whole path of its own:
    // "notes\nold" would come back as a pending delete of "notes", another file of the user's.
    auto record = regularRecord("/V/Docs/notes\nold", "4");
    {
        TimeLineManager t(support.str(), TimeLineManager::sharedParts());
        t.eventAppend(std::make_shared<tw::TLDelete>("/V/Docs/notes\nold", record));
        t.eventAppend(std::make_shared<tw::TLMove>("/V/Docs/a\r\nb", "/V/Docs/kept.txt", record));
        t.eventAppend(std::make_shared<tw::TLMove>("/V/Docs/kept.txt", "/V/Docs/x\ny", record));
        t.eventAppend(
            std::make_shared<tw::TLDelete>("/V/Docs/plain.txt", regularRecord("/V/Docs/plain.txt", "5")));
        t.saveTimeLine();
    }
    TimeLineManager replayed(support.str(), TimeLineManager::sharedParts());
    auto events = replayed.events();
    // Only records that read back as written are replayed; the plain delete is one of them.
    ASSERT_FALSE(events.empty());
    for (const auto& e : events) {
        if (auto* d = dynamic_cast<tw::TLDelete*>(e.get())) {
            EXPECT_TRUE(d->localPath == "/V/Docs/notes\nold" || d->localPath == "/V/Docs/plain.txt")
                << d->localPath;
        } else if (auto* m = dynamic_cast<tw::TLMove*>(e.get())) {
            bool asWritten = (m->localPathFrom == "/V/Docs/a\r\nb" && m->localPathTo == "/V/Docs/kept.txt") ||
                             (m->localPathFrom == "/V/Docs/kept.txt" && m->localPathTo == "/V/Docs/x\ny");
            EXPECT_TRUE(asWritten) << m->localPathFrom << " -> " << m->localPathTo;
        }
    }
    auto* last = dynamic_cast<tw::TLDelete*>(events.back().get());
    ASSERT_TRUE(last);
    EXPECT_EQ(last->localPath, "/V/Docs/plain.txt");
}

TEST(TimelineReplay, DeleteRecordsInTheHumanReadableFormStillDecode) {
    tw::test::TempDir support;
    // Older records carry the record's dump: a header before the first key and the volume after the last.
    std::string dump =
        "Corvane Extended Attributes: Status: Placeholder\nCanShare: true\nRevision: 12\nConflictRevision: "
        "99\n"
        "Error Status: NoError\nError Genre: None\nVolume: 0";
    writeFile(support / "Timeline.txt",
              "Delete {\n    Path: /V/Docs/x\n    ExtentedAttributes: {\n" + dump + "}\n}\n\r\n");
    TimeLineManager t(support.str(), TimeLineManager::sharedParts());
    ASSERT_EQ(t.eventCount(), 1u);
    auto& d = dynamic_cast<tw::TLDelete&>(*t.events()[0]);
    EXPECT_EQ(d.xAttrs.ceaStatus.status, tw::CEAStatus::keys::Placeholder);
    EXPECT_EQ(d.xAttrs.ceaString.getAttribute(tw::CEAString::keys::Revision), "12");
    EXPECT_EQ(d.xAttrs.ceaString.getAttribute(tw::CEAString::keys::ConflictRevision), "99");
    EXPECT_TRUE(d.xAttrs.ceaBool.getAttribute(tw::CEABool::keys::CanShare));
}

TEST(TimelineReplay, UnwritableSupportFolderLogsAndKeepsTheListInMemory) {
    tw::test::TempDir base;
    // A file where the folder should be: not even root can write below it.
    writeFile(base / "support", "not a folder");
    TimeLineManager t((base / "support").string() + "/", TimeLineManager::sharedParts());
    t.eventAppend(std::make_shared<tw::TLDelete>("/V/Docs/a", regularRecord("/V/Docs/a", "1")));
    size_t from = tw::test::logSize();
    t.saveTimeLine();
    EXPECT_TRUE(tw::test::logContains("Could not save the timeline to ", from));
    EXPECT_EQ(t.eventCount(), 1u);
}
