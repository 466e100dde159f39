// A watched folder mounted in place by a real gatewarden: every question and report made by another
// process, read and answered through the user-client socket.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "Larkspur/Brindle.h"
#include "harness.h"
#include "platform/pwevent.h"
#include "support/temp_dir.h"

namespace {

using namespace gwtest;
using namespace tw::pw;

std::string hex(pid_t pid) {
    char b[16];
    snprintf(b, sizeof b, "%x", static_cast<unsigned>(pid));
    return b;
}

// The record the application keeps on an item, as it writes it.
std::string recordText(const std::string& status, bool readOnly) {
    return "Status: " + status + "\nCanShare: false\nReadOnly: " + (readOnly ? "true" : "false") +
           "\nLaunchAfterDownload: false\nRevision: r1\n";
}

const std::string kRegular = recordText("Regular", false);
const std::string kReadOnly = recordText("Regular", true);
const std::string kPlaceholder = recordText("Placeholder", false);

// Gives the item at `path` the record `text`. Through a mount only the application's own process may,
// unjudged; before mounting, an in-place folder is its own backing folder.
void setRecord(const std::string& path, const std::string& text) {
    ASSERT_EQ(setxattr(path.c_str(), "user.com.meridot.tidewell", text.data(), text.size(), 0), 0)
        << path << ": " << strerror(errno);
}

// A watched folder whose items carry the records gatewarden decides by: "plain.txt" (content here),
// "locked.txt" (read-only), "ghost.txt" and "refused ghost.txt" (placeholders of 200 KiB, so that a
// read of one takes many read calls), the read-only folder "ro" and the unrecorded folder "sub".
class WatchedFolder : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = fuseUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
        folder_ = (dir_ / "Docs").string();
        std::filesystem::create_directories(folder_ + "/sub");
        std::filesystem::create_directories(folder_ + "/ro");
        write("plain.txt", std::string(200 * 1024, 'p'));
        setRecord(at("plain.txt"), kRegular);
        write("locked.txt", "locked content");
        setRecord(at("locked.txt"), kReadOnly);
        placeholder("ghost.txt", kPlaceholder);
        placeholder("refused ghost.txt", kPlaceholder);
        setRecord(at("ro"), kReadOnly);
        daemon_ = std::make_unique<Daemon>(dir_ / "gatewarden.log");
        ASSERT_TRUE(daemon_->ready()) << daemon_->log();
        std::string skip;
        if (!daemon_->attachInPlace(folder_, &skip)) {
            if (!skip.empty()) GTEST_SKIP() << skip;
            FAIL() << "in-place mount failed\n" << daemon_->log();
        }
        app_ = std::make_unique<AnsweringClient>(daemon_->socketPath);
        ASSERT_EQ(app_->open(), kIOReturnSuccess);
        ASSERT_EQ(app_->addWatchPath(folder_), kIOReturnSuccess);
        ASSERT_EQ(app_->startWatching(getpid()), kIOReturnSuccess);
    }
    void TearDown() override {
        app_.reset();
        if (daemon_ && HasFailure())
            fprintf(stderr, "---- gatewarden log ----\n%s\n", daemon_->log().c_str());
        daemon_.reset();
    }
    // Refuses every question about a path containing "refused" and allows the others: an application
    // that fetches every placeholder but those.
    void answerByName() {
        app_->run([](const Event& e) { return e.path1.find("refused") != std::string::npos; });
    }
    std::string at(const std::string& name) const { return folder_ + "/" + name; }
    void write(const std::string& name, const std::string& content) {
        std::ofstream(at(name), std::ios::trunc) << content;
    }
    std::string read(const std::string& name) {
        std::ifstream in(at(name));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // An item whose content is only on the server: its size, no bytes, and the record `text`.
    void placeholder(const std::string& name, const std::string& text) {
        std::ofstream(at(name), std::ios::trunc).close();
        std::filesystem::resize_file(at(name), 200 * 1024);
        setRecord(at(name), text);
    }
    // The first line of an item's announcement: its device and number as `stat` shows them on the mount.
    std::string identity(const std::string& name) {
        struct stat st;
        if (::lstat(at(name).c_str(), &st) != 0) {
            ADD_FAILURE() << name << ": " << strerror(errno);
            return "?";
        }
        return std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + "\n";
    }
    // The queue is first in, first out: once a later sentinel report arrived, everything before it has.
    void settle() {
        static int n = 0;
        std::string s = at("sentinel-" + std::to_string(++n));
        write(s.substr(folder_.size() + 1), "s");
        ASSERT_EQ(actor({"unlink", s}).exitCode, 0);
        ASSERT_TRUE(app_->waitFor([&](const std::vector<Event>& ev) {
            for (auto& e : ev)
                if (e.path1 == s && e.path2 == kConfirmDeleteFile) return true;
            return false;
        }));
        std::this_thread::sleep_for(100ms);  // releases are sent when the kernel lets go of a file
    }
    std::vector<Event> about(const std::string& path) {
        std::vector<Event> out;
        for (auto& e : app_->events())
            if (e.path1 == path) out.push_back(e);
        return out;
    }
    static std::vector<std::uint8_t> actions(const std::vector<Event>& events) {
        std::vector<std::uint8_t> out;
        for (auto& e : events) out.push_back(e.action);
        return out;
    }
    // Nothing is asked but what the test names: a placeholder's read is, and a delete whose
    // announcement would not fit.
    void expectNoQuestionBut(const std::vector<std::string>& paths = {}) {
        for (auto& e : app_->events()) {
            if (!e.isQuestion()) continue;
            EXPECT_NE(std::find(paths.begin(), paths.end(), e.path1), paths.end())
                << "asked " << int(e.action) << " about " << gw::printable(e.path1);
        }
    }

    tw::test::TempDir dir_{"gw-fuse"};
    std::string folder_;
    std::unique_ptr<Daemon> daemon_;
    std::unique_ptr<AnsweringClient> app_;
};

TEST_F(WatchedFolder, OnlyPlaceholderReadsAreAskedOncePerOpenAndARefusalIsEperm) {
    answerByName();
    write("unrecorded.txt", "new");
    EXPECT_EQ(actor({"read", at("plain.txt")}).exitCode, 0);
    EXPECT_EQ(actor({"read", at("locked.txt")}).exitCode, 0) << "a read-only item is still read";
    EXPECT_EQ(actor({"read", at("unrecorded.txt")}).exitCode, 0);
    auto r = actor({"read", at("ghost.txt")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(actor({"read", at("refused ghost.txt")}).exitCode, EPERM);
    settle();
    // Content that is here is read without a question; an open that only reads reports nothing.
    EXPECT_TRUE(about(at("plain.txt")).empty());
    EXPECT_TRUE(about(at("locked.txt")).empty());
    EXPECT_TRUE(about(at("unrecorded.txt")).empty());
    auto ghost = about(at("ghost.txt"));
    ASSERT_EQ(ghost.size(), 1u) << "one question for a 200 KiB read made of many read calls";
    EXPECT_EQ(ghost[0].action, kauth_FILEOP_ISGHOST);
    EXPECT_EQ(ghost[0].path2, hex(r.pid));
    EXPECT_EQ(actions(about(at("refused ghost.txt"))), std::vector<std::uint8_t>{kauth_FILEOP_ISGHOST});
}

TEST_F(WatchedFolder, AReadWriteOpenOfAPlaceholderAsksOnlyAboutTheRead) {
    answerByName();
    placeholder("read-only ghost.txt", recordText("Placeholder", true));
    EXPECT_EQ(actor({"rdwr", at("ghost.txt")}).exitCode, 0);
    EXPECT_EQ(actor({"rdwr", at("refused ghost.txt")}).exitCode, EPERM);
    EXPECT_EQ(actor({"rdwr", at("read-only ghost.txt")}).exitCode, EROFS) << "its record forbids the write";
    settle();
    for (const char* name : {"ghost.txt", "refused ghost.txt", "read-only ghost.txt"})
        EXPECT_EQ(actions(about(at(name))), std::vector<std::uint8_t>{kauth_FILEOP_ISGHOST}) << name;
}

TEST_F(WatchedFolder, WritesAreDecidedFromTheRecordsUnaskedAndChangesReported) {
    answerByName();
    // A read-only item is never changed, and content that is not here is never written into.
    for (const char* name : {"locked.txt", "ghost.txt"}) {
        EXPECT_EQ(actor({"write", at(name), "changed"}).exitCode, EROFS) << name;
        EXPECT_EQ(actor({"truncate", at(name), "0"}).exitCode, EROFS) << name;
        EXPECT_EQ(actor({"open-write-close", at(name)}).exitCode, EROFS) << name;
    }
    EXPECT_EQ(actor({"rdwr", at("locked.txt")}).exitCode, EROFS);
    EXPECT_EQ(read("locked.txt"), "locked content");
    EXPECT_EQ(std::filesystem::file_size(at("ghost.txt")), 200u * 1024);
    // A read-only folder takes no new file; an item in it is judged by its own record, or, never
    // classified, by the folder's.
    write("ro/inside.txt", "inside");
    setRecord(at("ro/inside.txt"), kRegular);
    write("ro/unrecorded.txt", "unrecorded");
    EXPECT_EQ(actor({"create", at("ro/new.txt"), "x"}).exitCode, EROFS);
    EXPECT_FALSE(std::filesystem::exists(at("ro/new.txt")));
    EXPECT_EQ(actor({"write", at("ro/unrecorded.txt"), "changed"}).exitCode, EROFS);
    EXPECT_EQ(read("ro/unrecorded.txt"), "unrecorded");
    EXPECT_EQ(actor({"write", at("ro/inside.txt"), "edited"}).exitCode, 0);
    EXPECT_EQ(read("ro/inside.txt"), "edited");

    EXPECT_EQ(actor({"write", at("plain.txt"), "changed"}).exitCode, 0);
    EXPECT_TRUE(app_->waitForEvent(kauth_FILEOP_CLOSE, at("plain.txt")));
    EXPECT_EQ(read("plain.txt"), "changed");
    EXPECT_EQ(actor({"truncate", at("plain.txt"), "3"}).exitCode, 0);
    EXPECT_EQ(actor({"rdwr", at("plain.txt")}).exitCode, 0);
    EXPECT_EQ(actor({"open-write-close", at("plain.txt")}).exitCode,
              0);  // opened for writing, nothing written
    EXPECT_EQ(actor({"create", at("new.txt"), "n"}).exitCode, 0);
    settle();
    // The write and the truncation are reported as modifications; a read-write open and a write open
    // that wrote nothing are not.
    std::vector<std::uint8_t> modified{kauth_FILEOP_CLOSE, kauth_FILEOP_CLOSE};
    EXPECT_EQ(actions(about(at("plain.txt"))), modified);
    EXPECT_EQ(actions(about(at("new.txt"))), std::vector<std::uint8_t>{kauth_FILEOP_CLOSE});
    EXPECT_EQ(actions(about(at("ro/inside.txt"))), std::vector<std::uint8_t>{kauth_FILEOP_CLOSE});
    for (const char* refused : {"locked.txt", "ghost.txt", "ro/new.txt", "ro/unrecorded.txt"})
        EXPECT_TRUE(about(at(refused)).empty()) << refused;
    expectNoQuestionBut();
}

TEST_F(WatchedFolder, AFolderMadeIsDecidedFromItsParentThenReportedEvenWhenItStaysEmpty) {
    answerByName();
    // The server must get an empty folder too, so making one is reported; a read-only folder takes no
    // new folder either.
    EXPECT_EQ(actor({"mkdir", at("empty")}).exitCode, 0);
    EXPECT_EQ(actor({"mkdir", at("ro/sub")}).exitCode, EROFS);
    EXPECT_FALSE(std::filesystem::exists(at("ro/sub")));
    EXPECT_EQ(actor({"mkdir", at("empty")}).exitCode, EEXIST);
    settle();
    // Reported once: for the mkdir that made it, not for the one that found it there.
    EXPECT_EQ(actions(about(at("empty"))), std::vector<std::uint8_t>{kauth_FILEOP_CREATE_FOLDER});
    EXPECT_TRUE(about(at("ro/sub")).empty());
    expectNoQuestionBut();
}

TEST_F(WatchedFolder, AHardLinkIsRefusedBecauseTwoNamesWouldShareOneRecord) {
    answerByName();
    // One inode holds one record, and the server knows two items: a server change of one name would
    // empty and refill the content that the other name holds, unsent edits included.
    EXPECT_EQ(actor({"link", at("plain.txt"), at("second name.txt")}).exitCode, EPERM);
    EXPECT_FALSE(std::filesystem::exists(at("second name.txt")));
    struct stat st;
    ASSERT_EQ(stat(at("plain.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
}

TEST_F(WatchedFolder, DeletesAreDecidedFromTheRecordAnnouncedWithItThenConfirmed) {
    answerByName();
    EXPECT_EQ(actor({"unlink", at("locked.txt")}).exitCode, EROFS);
    EXPECT_EQ(actor({"rmdir", at("ro")}).exitCode, EROFS);
    EXPECT_TRUE(std::filesystem::exists(at("locked.txt")));
    EXPECT_TRUE(std::filesystem::exists(at("ro")));
    std::string plain = identity("plain.txt"), ghost = identity("ghost.txt");
    EXPECT_EQ(actor({"unlink", at("plain.txt")}).exitCode, 0);
    EXPECT_EQ(actor({"unlink", at("ghost.txt")}).exitCode, 0) << "nothing is fetched to delete a placeholder";
    std::filesystem::create_directories(at("folder"));
    std::string folder = identity("folder");
    EXPECT_EQ(actor({"rmdir", at("folder")}).exitCode, 0);
    settle();
    EXPECT_TRUE(about(at("locked.txt")).empty()) << "refused before anything was announced";
    EXPECT_TRUE(about(at("ro")).empty());
    // Announced before it goes with what the application keeps of it once it is gone: its identity
    // and its record exactly as it carried it (nothing after the identity when it had none).
    struct Case {
        std::string name, announced, confirmed;
    } cases[] = {
        {"plain.txt", plain + kRegular, kConfirmDeleteFile},
        {"ghost.txt", ghost + kPlaceholder, kConfirmDeleteFile},
        {"folder", folder, kFolderDelete},
    };
    for (const auto& k : cases) {
        auto events = about(at(k.name));
        ASSERT_EQ(events.size(), 2u) << k.name;
        EXPECT_EQ(events[0].action, kauth_FILEOP_WILL_DELETE) << k.name;
        EXPECT_EQ(events[0].path2, k.announced) << k.name;
        EXPECT_EQ(events[1].action, kauth_FILEOP_DELETE) << k.name;
        EXPECT_EQ(events[1].path2, k.confirmed) << k.name;
    }
    expectNoQuestionBut();
}

TEST_F(WatchedFolder, AnItemWhoseAnnouncementWouldNotFitIsAskedAboutInstead) {
    answerByName();
    // The announcement, identity line and record, must fit a field of 1024 bytes with its terminator.
    // Gives `name` a record that makes its announcement `size` bytes long; returns the announcement.
    auto announcedIn = [&](const std::string& name, std::size_t size) {
        write(name, "content");
        std::string id = identity(name);
        std::string text = "Status: Regular\nReadOnly: false\nRevision: ";
        text += std::string(size - id.size() - text.size() - 1, 'r') + "\n";
        setRecord(at(name), text);
        return id + text;
    };
    std::string fits = announcedIn("fits.txt", kPathFieldSize - 1);
    announcedIn("one over.txt", kPathFieldSize);
    announcedIn("refused one over.txt", kPathFieldSize);
    announcedIn("moved one over.txt", kPathFieldSize);
    // A record longer than a field, and one that a terminated field would cut short.
    write("long record.txt", "content");
    setRecord(at("long record.txt"), kRegular + "Note: " + std::string(1100, 'n') + "\n");
    write("cut record.txt", "content");
    setRecord(at("cut record.txt"), std::string("Status: Regular\n\0ReadOnly: true\n", 32));

    for (const char* name : {"fits.txt", "one over.txt", "long record.txt", "cut record.txt"})
        EXPECT_EQ(actor({"unlink", at(name)}).exitCode, 0) << name;
    EXPECT_EQ(actor({"unlink", at("refused one over.txt")}).exitCode, EROFS) << "the answer decides";
    EXPECT_TRUE(std::filesystem::exists(at("refused one over.txt")));
    EXPECT_EQ(actor({"rename", at("moved one over.txt"), at("moved.txt")}).exitCode, 0);
    settle();
    auto announced = about(at("fits.txt"));
    ASSERT_EQ(announced.size(), 2u);
    EXPECT_EQ(announced[0].action, kauth_FILEOP_WILL_DELETE);
    EXPECT_EQ(announced[0].path2, fits);
    EXPECT_EQ(announced[0].path2.size(), kPathFieldSize - 1);
    EXPECT_EQ(announced[1].path2, kConfirmDeleteFile);
    for (const char* name : {"one over.txt", "long record.txt", "cut record.txt"}) {
        auto events = about(at(name));
        ASSERT_EQ(events.size(), 2u) << name;
        EXPECT_TRUE(events[0].action == kauth_FILEOP_DELETE && events[0].isQuestion()) << name;
        EXPECT_EQ(events[1].path2, kConfirmDeleteFile) << name;
    }
    auto refused = about(at("refused one over.txt"));
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_TRUE(refused[0].action == kauth_FILEOP_DELETE && refused[0].isQuestion());
    auto moved = about(at("moved one over.txt"));
    ASSERT_EQ(moved.size(), 2u) << "a rename's source is asked the same way";
    EXPECT_TRUE(moved[0].action == kauth_FILEOP_DELETE && moved[0].isQuestion());
    EXPECT_EQ(moved[1].action, kauth_FILEOP_RENAME);
    EXPECT_EQ(moved[1].path2, at("moved.txt"));
    expectNoQuestionBut({at("one over.txt"), at("long record.txt"), at("cut record.txt"),
                         at("refused one over.txt"), at("moved one over.txt")});
}

TEST_F(WatchedFolder, RenamesAnnounceSourceAndReplacedTargetExchangesAreReported) {
    answerByName();
    write("a.txt", "a");
    setRecord(at("a.txt"), kRegular);
    write("b.txt", "b");
    setRecord(at("b.txt"), recordText("RequireUpload", false));
    write("c.txt", "c");
    std::string a = identity("a.txt"), b = identity("b.txt"), c = identity("c.txt");
    EXPECT_EQ(actor({"rename", at("a.txt"), at("b.txt")}).exitCode, 0);
    EXPECT_EQ(actor({"rename", at("c.txt"), at("new name.txt")}).exitCode, 0);
    EXPECT_EQ(actor({"rename", at("locked.txt"), at("moved.txt")}).exitCode, EROFS);
    write("d.txt", "d");
    EXPECT_EQ(actor({"rename", at("d.txt"), at("locked.txt")}).exitCode, EROFS)
        << "the target it would replace";
    write("x.txt", "x");
    EXPECT_EQ(actor({"exchange", at("x.txt"), at("b.txt")}).exitCode, 0);
    settle();
    // The source, then the target it replaces, each with its own identity and record, then the move.
    std::vector<Event> replace;
    for (auto& e : app_->events())
        if (e.path1 == at("a.txt") || e.path1 == at("b.txt")) replace.push_back(e);
    ASSERT_EQ(replace.size(), 3u);
    EXPECT_EQ(replace[0].action, kauth_FILEOP_WILL_DELETE);
    EXPECT_EQ(replace[0].path1, at("a.txt"));
    EXPECT_EQ(replace[0].path2, a + kRegular);
    EXPECT_EQ(replace[1].action, kauth_FILEOP_WILL_DELETE);
    EXPECT_EQ(replace[1].path1, at("b.txt"));
    EXPECT_EQ(replace[1].path2, b + recordText("RequireUpload", false));
    EXPECT_EQ(replace[2].action, kauth_FILEOP_RENAME);
    EXPECT_EQ(replace[2].path1, at("a.txt"));
    EXPECT_EQ(replace[2].path2, at("b.txt"));
    // Only the source of a move onto a free name.
    auto moved = about(at("c.txt"));
    ASSERT_EQ(moved.size(), 2u);
    EXPECT_EQ(moved[0].action, kauth_FILEOP_WILL_DELETE);
    EXPECT_EQ(moved[0].path2, c);
    EXPECT_EQ(moved[1].action, kauth_FILEOP_RENAME);
    EXPECT_EQ(moved[1].path2, at("new name.txt"));
    EXPECT_TRUE(about(at("new name.txt")).empty());
    // Refused: neither side moved, nothing reported as moved.
    EXPECT_TRUE(about(at("locked.txt")).empty());
    EXPECT_EQ(read("locked.txt"), "locked content");
    EXPECT_FALSE(std::filesystem::exists(at("moved.txt")));
    EXPECT_EQ(read("d.txt"), "d");
    EXPECT_EQ(app_->count(kauth_FILEOP_RENAME, at("d.txt")), 0u);
    // An exchange replaces nothing, so nothing is announced.
    auto x = about(at("x.txt"));
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ(x[0].action, kauth_FILEOP_EXCHANGE);
    EXPECT_EQ(x[0].path2, at("b.txt"));
    EXPECT_EQ(read("x.txt"), "a");
    expectNoQuestionBut();
}

TEST_F(WatchedFolder, ListingsReportTheLister) {
    answerByName();
    auto r = actor({"list", folder_});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(actor({"list", at("sub")}).exitCode, 0);
    settle();
    auto root = about(folder_);
    ASSERT_EQ(root.size(), 1u);
    EXPECT_EQ(root[0].action, kauth_FILEOP_OPEN);
    EXPECT_EQ(root[0].path2, hex(r.pid));
    EXPECT_EQ(app_->count(kauth_FILEOP_OPEN, at("sub")), 1u);
}

TEST_F(WatchedFolder, OwnProcessPassesUnaskedFromAnyThread) {
    answerByName();
    auto work = std::async(std::launch::async, [&] {
        std::string content = read("locked.txt");
        write("locked.txt", "mine");
        std::filesystem::rename(at("plain.txt"), at("moved.txt"));
        std::filesystem::remove(at("moved.txt"));
        std::filesystem::directory_iterator it(folder_);
        return content;
    });
    EXPECT_EQ(work.get(), "locked content");
    settle();
    for (auto& e : app_->events()) EXPECT_NE(e.path1.find("sentinel"), std::string::npos) << e.path1;
}

TEST_F(WatchedFolder, IgnoredFoldersAreNeverReported) {
    answerByName();
    for (const char* d : {".Spotlight-V100", ".fseventsd", ".DocumentRevisions-V100", ".TemporaryItems"}) {
        std::filesystem::create_directories(at(d));
        std::string f = at(std::string(d) + "/locked-store");
        EXPECT_EQ(actor({"create", f, "x"}).exitCode, 0);
        EXPECT_EQ(actor({"read", f}).exitCode, 0);
        EXPECT_EQ(actor({"unlink", f}).exitCode, 0);
    }
    settle();
    for (auto& e : app_->events()) EXPECT_NE(e.path1.find("sentinel"), std::string::npos) << e.path1;
}

TEST_F(WatchedFolder, IndexersNeverReadAPlaceholderAndAreKnownByTheirExactName) {
    answerByName();  // would let the placeholder be read
    EXPECT_EQ(actor({"--name", "mdworker", "read", at("ghost.txt")}).exitCode, EPERM);
    EXPECT_EQ(actor({"--name", "mdworker", "read", at("plain.txt")}).exitCode, 0);
    EXPECT_EQ(actor({"--name", "mdworkerX", "read", at("ghost.txt")}).exitCode, 0) << "no indexer: asked";
    settle();
    EXPECT_EQ(app_->count(kauth_FILEOP_ISGHOST, at("ghost.txt")), 1u);
}

TEST_F(WatchedFolder, InactiveQueuesNothingAndNothingWaits) {
    ASSERT_EQ(app_->stopWatching(), kIOReturnSuccess);
    // Nobody answers: an operation that waited would take the full answer time.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(actor({"read", at("locked.txt")}).exitCode, 0);
    EXPECT_EQ(actor({"write", at("plain.txt"), "w"}).exitCode, 0);
    EXPECT_EQ(actor({"unlink", at("plain.txt")}).exitCode, 0);
    EXPECT_EQ(actor({"list", folder_}).exitCode, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    std::this_thread::sleep_for(200ms);
    _pwevent rec;
    ASSERT_EQ(app_->raw().receive(rec), kIOReturnSuccess);
    EXPECT_EQ(rec.action, no_MESSAGE);
}

TEST_F(WatchedFolder, ConcurrentQuestionsGetTheirOwnAnswers) {
    answerByName();
    std::vector<std::future<int>> results;
    for (int i = 0; i < 6; ++i) {
        std::string file = at(i % 2 ? "refused ghost.txt" : "ghost.txt");
        results.push_back(std::async(std::launch::async, [file] { return actor({"read", file}).exitCode; }));
    }
    for (int i = 0; i < 6; ++i) EXPECT_EQ(results[i].get(), i % 2 ? EPERM : 0) << i;
}

TEST_F(WatchedFolder, OddPathsNeitherCrashNorLie) {
    answerByName();
    // Invalid UTF-8 in a name travels as bytes and is answered by the same bytes.
    std::string bad = at("refused\xff.txt");
    std::ofstream(bad) << "x";
    setRecord(bad, kPlaceholder);
    EXPECT_EQ(actor({"read", bad}).exitCode, EPERM);
    // A path longer than the field is neither truncated into another path nor announced; the
    // application is told that reports were lost instead.
    std::string deep = folder_;
    for (int i = 0; i < 5; ++i) deep += "/" + std::string(240, static_cast<char>('a' + i));
    std::filesystem::create_directories(deep);
    std::string longFile = deep + "/plain.txt";
    std::ofstream(longFile) << "deep";
    setRecord(longFile, kRegular);
    EXPECT_EQ(actor({"read", longFile}).exitCode, 0);
    EXPECT_EQ(actor({"unlink", longFile}).exitCode, 0);
    settle();
    EXPECT_EQ(app_->count(kauth_FILEOP_ISGHOST, bad), 1u);
    for (auto& e : app_->events()) EXPECT_LT(e.path1.size(), kPathFieldSize);
    EXPECT_GE(app_->count(kauth_FILEOP_REPORTS_DROPPED, folder_), 1u);
    EXPECT_NE(daemon_->log().find("does not fit"), std::string::npos);
}

TEST_F(WatchedFolder, PassesEverythingThrough) {
    // Done by the ignored process: plain file-system behaviour through the mount.
    ASSERT_EQ(setxattr(at("plain.txt").c_str(), "user.com.meridot.tidewell", "v1", 2, 0), 0);
    char buf[16] = {};
    EXPECT_EQ(getxattr(at("plain.txt").c_str(), "user.com.meridot.tidewell", buf, sizeof buf), 2);
    EXPECT_STREQ(buf, "v1");
    ASSERT_EQ(link(at("plain.txt").c_str(), at("hard.txt").c_str()), 0);
    struct stat a, b;
    ASSERT_EQ(stat(at("plain.txt").c_str(), &a), 0);
    ASSERT_EQ(stat(at("hard.txt").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_nlink, 2u);
    ASSERT_EQ(symlink("plain.txt", at("sym").c_str()), 0);
    char target[64] = {};
    EXPECT_EQ(readlink(at("sym").c_str(), target, sizeof target), 9);
    EXPECT_EQ(
        renameat2(AT_FDCWD, at("hard.txt").c_str(), AT_FDCWD, at("locked.txt").c_str(), RENAME_NOREPLACE),
        -1);
    EXPECT_EQ(errno, EEXIST);
    struct statvfs sv;
    EXPECT_EQ(statvfs(folder_.c_str(), &sv), 0);
    timespec times[2] = {{1000, 0}, {2000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, at("plain.txt").c_str(), times, 0), 0);
    ASSERT_EQ(stat(at("plain.txt").c_str(), &a), 0);
    EXPECT_EQ(a.st_mtim.tv_sec, 2000);
}

TEST_F(WatchedFolder, WaitingReadGetsAQuestionTheMomentItIsAsked) {
    // Only process 1 is ignored from here on, so this test's own open is asked about.
    ASSERT_EQ(app_->startWatching(1), kIOReturnSuccess);
    _pwevent rec;
    IOReturn code = kIOReturnError;
    // One read only: it must come back with the question asked while it waits, not empty.
    std::thread reader([&] { code = app_->raw().receive(rec); });
    std::this_thread::sleep_for(150ms);
    auto content = std::async(std::launch::async, [&] { return read("ghost.txt"); });
    reader.join();
    ASSERT_EQ(code, kIOReturnSuccess);
    EXPECT_EQ(rec.action, kauth_FILEOP_ISGHOST);
    EXPECT_EQ(tw::platform::fieldText(rec.path1), at("ghost.txt"));
    ASSERT_EQ(app_->raw().send(
                  *tw::platform::formSendStructure(sa_AcknowledgeDelete, at("ghost.txt"), kAnswerAllow)),
              kIOReturnSuccess);
    EXPECT_EQ(content.get().size(), 200u * 1024);
}

TEST_F(WatchedFolder, ApplicationRestartedDuringAWaitingReadGetsTheQuestions) {
    ASSERT_EQ(app_->raw().closeConnection(), kIOReturnSuccess);
    // An instance that dies inside a waiting read; its read must not take what its successor is asked.
    {
        HeldActor holder({"hold-driver-reading", daemon_->socketPath});
        ASSERT_TRUE(holder.holding());
        std::this_thread::sleep_for(100ms);
    }
    auto next = std::make_unique<AnsweringClient>(daemon_->socketPath);
    ASSERT_EQ(next->open(), kIOReturnSuccess);
    ASSERT_EQ(next->startWatching(getpid()), kIOReturnSuccess);
    next->run();  // lets the placeholder be read, which its record alone would not
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(actor({"read", at("ghost.txt")}).exitCode, 0) << "answered by the new instance";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 8s) << "not left to the answer time";
    EXPECT_TRUE(next->waitForEvent(kauth_FILEOP_ISGHOST, at("ghost.txt")));
}

TEST_F(WatchedFolder, UnansweredQuestionIsDecidedFromTheRecordAfterTenSeconds) {
    app_->run(nullptr, /*answer=*/false);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(actor({"read", at("ghost.txt")}, 30s).exitCode, EPERM)
        << "a placeholder is never read as empty bytes";
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, 9500ms);
    EXPECT_LT(waited, 15s);
    EXPECT_TRUE(app_->waitForEvent(kauth_FILEOP_ISGHOST, at("ghost.txt")));
    EXPECT_NE(daemon_->log().find("No answer within"), std::string::npos);
}

// ---- names the application could never synchronise

TEST_F(WatchedFolder, NamesThatCannotBeSynchronisedAreRefusedWhenMade) {
    answerByName();
    write("a.txt", "a");
    // Not UTF-8: a stray byte, an overlong "/", a lone surrogate.
    for (std::string bad : {"bad\xff name", "slash\xc0\xaf", "half\xed\xa0\x80"}) {
        EXPECT_EQ(actor({"create", at(bad), "x"}).exitCode, EILSEQ) << gw::printable(bad);
        EXPECT_EQ(actor({"mkdir", at(bad)}).exitCode, EILSEQ);
        EXPECT_EQ(actor({"mkfifo", at(bad)}).exitCode, EILSEQ);
        EXPECT_EQ(actor({"symlink", "a.txt", at(bad)}).exitCode, EILSEQ);
        EXPECT_EQ(actor({"link", at("a.txt"), at(bad)}).exitCode, EILSEQ);
        EXPECT_EQ(actor({"rename", at("a.txt"), at(bad)}).exitCode, EILSEQ);
        EXPECT_FALSE(std::filesystem::exists(at(bad)));
    }
    EXPECT_EQ(read("a.txt"), "a");
    EXPECT_EQ(actor({"create", at("Grüße 日本 🎉.txt"), "x"}).exitCode, 0);

    // A path that cannot fit a record field (1024 bytes with its terminator).
    std::string deep = folder_;
    while (deep.size() < 800) deep += "/" + std::string(200, 'd');
    std::filesystem::create_directories(deep);  // by the application: never refused
    ASSERT_LE(deep.size(), 1022u);
    const std::size_t fill = 1023 - deep.size();  // a name making the path exactly 1024 bytes
    ASSERT_LE(fill, 255u);
    EXPECT_EQ(actor({"create", deep + "/" + std::string(fill, 'c'), "x"}).exitCode, ENAMETOOLONG);
    EXPECT_EQ(actor({"mkdir", deep + "/" + std::string(fill, 'm')}).exitCode, ENAMETOOLONG);
    EXPECT_EQ(actor({"rename", at("a.txt"), deep + "/" + std::string(fill, 'r')}).exitCode, ENAMETOOLONG);
    EXPECT_EQ(actor({"symlink", "a.txt", deep + "/" + std::string(fill, 's')}).exitCode, ENAMETOOLONG);
    EXPECT_EQ(actor({"create", deep + "/" + std::string(fill - 1, 'c'), "x"}).exitCode, 0)
        << "1023 bytes fit";
    // The longest name there is, in a short path.
    EXPECT_EQ(actor({"create", at(std::string(255, 'n')), "x"}).exitCode, 0);
    EXPECT_EQ(actor({"mkdir", at(std::string(255, 'm'))}).exitCode, 0);
    EXPECT_EQ(actor({"rename", at("a.txt"), at(std::string(255, 'r'))}).exitCode, 0);
    settle();
    for (auto& e : app_->events()) {
        EXPECT_EQ(e.path1.find("bad"), std::string::npos) << "refused before anything was asked";
        EXPECT_LT(e.path1.size(), kPathFieldSize);
    }
}

TEST_F(WatchedFolder, ItemsThatAlreadyHaveSuchNamesAreLeftAsTheyAre) {
    answerByName();
    // Made by the application itself (never refused), as if made before or beside the mount.
    std::string bad = at("old\xfe");
    ASSERT_EQ(::mkdir(bad.c_str(), 0755), 0);
    std::string inside = bad + "/kept.txt";
    std::ofstream(inside) << "kept";
    std::string badFile = at("file\xfe");
    std::ofstream(badFile) << "old";
    EXPECT_EQ(actor({"read", badFile}).exitCode, 0);
    EXPECT_EQ(actor({"write", badFile, "new"}).exitCode, 0);
    EXPECT_EQ(actor({"mkdir", bad}).exitCode, EEXIST) << "an existing name keeps its usual answer";
    EXPECT_EQ(actor({"create", at("inside-ok.txt"), "x"}).exitCode, 0);
    EXPECT_EQ(actor({"create", bad + "/new.txt", "x"}).exitCode, 0) << "only the new name is judged";
    EXPECT_EQ(actor({"rename", badFile, at("renamed well.txt")}).exitCode, 0);
    EXPECT_EQ(read("renamed well.txt"), "new");
    EXPECT_EQ(actor({"unlink", inside}).exitCode, 0);
}

// ---- reports the application never got

class SmallQueue : public WatchedFolder {
protected:
    void SetUp() override {
        if (auto why = fuseUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
        folder_ = (dir_ / "Docs").string();
        std::filesystem::create_directories(folder_);
        daemon_ =
            std::make_unique<Daemon>(dir_ / "gatewarden.log", std::vector<std::string>{"--max-queued", "3"});
        ASSERT_TRUE(daemon_->ready()) << daemon_->log();
        std::string skip;
        if (!daemon_->attachInPlace(folder_, &skip)) {
            if (!skip.empty()) GTEST_SKIP() << skip;
            FAIL() << "in-place mount failed\n" << daemon_->log();
        }
        app_ = std::make_unique<AnsweringClient>(daemon_->socketPath);
        ASSERT_EQ(app_->open(), kIOReturnSuccess);
        ASSERT_EQ(app_->addWatchPath(folder_), kIOReturnSuccess);
        ASSERT_EQ(app_->startWatching(getpid()), kIOReturnSuccess);
    }
    std::vector<std::uint8_t> actions() {
        std::vector<std::uint8_t> out;
        for (auto& e : app_->events()) out.push_back(e.action);
        return out;
    }
};

TEST_F(SmallQueue, AnApplicationThatFellBehindIsToldOnceToLookForItself) {
    // Nobody reads: listings (reports that hold nothing up) fill the queue of three; the listings after
    // them are dropped without a notice (a listing changes nothing), the folders made after them are
    // changes lost.
    for (int i = 0; i < 5; ++i) ASSERT_EQ(actor({"list", folder_}).exitCode, 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(actor({"mkdir", at("made" + std::to_string(i))}).exitCode, 0);
    app_->run();
    ASSERT_TRUE(app_->waitForEvent(kauth_FILEOP_REPORTS_DROPPED, folder_));
    std::this_thread::sleep_for(300ms);
    std::vector<std::uint8_t> expected{kauth_FILEOP_OPEN, kauth_FILEOP_OPEN, kauth_FILEOP_OPEN,
                                       kauth_FILEOP_REPORTS_DROPPED};
    EXPECT_EQ(actions(), expected) << "the three kept, then one notice for the changes lost";

    // Once told, reports flow again and no further notice comes until something else is lost.
    app_->clear();
    write("later.txt", "x");
    EXPECT_EQ(actor({"unlink", at("later.txt")}).exitCode, 0);
    ASSERT_TRUE(app_->waitFor(
        [&](const std::vector<Event>& ev) { return !ev.empty() && ev.back().path2 == kConfirmDeleteFile; }));
    EXPECT_EQ(app_->count(kauth_FILEOP_REPORTS_DROPPED, folder_), 0u);
}

// ---- deciding without the application

// Items with their records, as the application leaves them, in a folder mounted by a daemon that
// gets no answers (each test says why).
class ApplicationCannotAnswer : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = fuseUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
        folder_ = (dir_ / "Docs").string();
        std::filesystem::create_directories(folder_ + "/ro");
        item("ghost.txt", "", "Placeholder", false);
        item("pending.txt", "", "RequireDownload", false);
        item("failed.txt", "", "ErrorPlaceHolder", false);
        item("locked.txt", "locked content", "Regular", true);
        item("plain.txt", "plain content", "Regular", false);
        item("deletable.txt", "d", "Regular", false);
        item("ro/inside.txt", "inside", "Regular", false);
        std::ofstream(at("unrecorded.txt")) << "no record yet";
        record(at("ro"), "Regular", true);
        // Records too long to be announced with a delete: such a delete is asked about instead.
        bigItem("big locked.txt", true);
        bigItem("big.txt", false);
    }
    void TearDown() override {
        app_.reset();
        if (daemon_ && HasFailure())
            fprintf(stderr, "---- gatewarden log ----\n%s\n", daemon_->log().c_str());
        daemon_.reset();
    }
    // Starts the daemon and mounts the folder; `mounted_` stays false (the test skipped or failed)
    // when it cannot mount.
    void mount(std::vector<std::string> args = {}) {
        daemon_ = std::make_unique<Daemon>(dir_ / "gatewarden.log", args);
        ASSERT_TRUE(daemon_->ready()) << daemon_->log();
        std::string skip;
        if (!daemon_->attachInPlace(folder_, &skip)) {
            if (!skip.empty()) GTEST_SKIP() << skip;
            FAIL() << "in-place mount failed\n" << daemon_->log();
        }
        mounted_ = true;
    }
    void connect() {
        app_ = std::make_unique<AnsweringClient>(daemon_->socketPath);
        ASSERT_EQ(app_->open(), kIOReturnSuccess);
        ASSERT_EQ(app_->addWatchPath(folder_), kIOReturnSuccess);
        ASSERT_EQ(app_->startWatching(getpid()), kIOReturnSuccess);
    }
    static void record(const std::string& path, const std::string& status, bool readOnly) {
        setRecord(path, recordText(status, readOnly));
    }
    void item(const std::string& name, const std::string& content, const std::string& status, bool readOnly) {
        std::ofstream(at(name)) << content;
        record(at(name), status, readOnly);
    }
    // A record of 1020 bytes: read as any other, but with an identity line of at least four bytes
    // ahead of it, too long for an announcement's field.
    void bigItem(const std::string& name, bool readOnly) {
        std::ofstream(at(name)) << "big";
        std::string text = recordText("Regular", readOnly) + "Note: ";
        text += std::string(kPathFieldSize - 4 - text.size() - 1, 'n') + "\n";
        setRecord(at(name), text);
    }
    std::string at(const std::string& name) const { return folder_ + "/" + name; }
    std::string read(const std::string& name) {
        std::ifstream in(at(name));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // What each operation comes to when only the records decide. Every operation is another process's.
    void expectDecidedByRecords() {
        // Content that is not here is never read as empty bytes, nor written into.
        EXPECT_EQ(actor({"read", at("ghost.txt")}).exitCode, EPERM);
        EXPECT_EQ(actor({"read", at("pending.txt")}).exitCode, EPERM);
        EXPECT_EQ(actor({"read", at("failed.txt")}).exitCode, EPERM);
        EXPECT_EQ(actor({"rdwr", at("ghost.txt")}).exitCode, EPERM);
        EXPECT_EQ(actor({"write", at("ghost.txt"), "over"}).exitCode, EROFS);
        // A read-only item is neither changed, removed, moved away nor replaced.
        EXPECT_EQ(actor({"write", at("locked.txt"), "changed"}).exitCode, EROFS);
        EXPECT_EQ(actor({"rdwr", at("locked.txt")}).exitCode, EROFS);
        EXPECT_EQ(actor({"truncate", at("locked.txt"), "0"}).exitCode, EROFS);
        EXPECT_EQ(actor({"unlink", at("locked.txt")}).exitCode, EROFS);
        EXPECT_EQ(actor({"rename", at("locked.txt"), at("moved.txt")}).exitCode, EROFS);
        EXPECT_EQ(actor({"rename", at("deletable.txt"), at("locked.txt")}).exitCode, EROFS);
        EXPECT_EQ(actor({"unlink", at("big locked.txt")}).exitCode, EROFS);
        // A read-only folder takes no new item.
        EXPECT_EQ(actor({"create", at("ro/new.txt"), "x"}).exitCode, EROFS);
        EXPECT_EQ(actor({"mkdir", at("ro/sub")}).exitCode, EROFS);
        EXPECT_EQ(read("locked.txt"), "locked content");
        EXPECT_FALSE(std::filesystem::exists(at("ro/new.txt")));
        EXPECT_FALSE(std::filesystem::exists(at("moved.txt")));

        // Everything else goes on: a dead application never blocks the user's work.
        EXPECT_EQ(actor({"read", at("locked.txt")}).exitCode, 0);
        EXPECT_EQ(actor({"read", at("plain.txt")}).exitCode, 0);
        EXPECT_EQ(actor({"write", at("plain.txt"), "changed"}).exitCode, 0);
        EXPECT_EQ(actor({"rdwr", at("unrecorded.txt")}).exitCode, 0);
        EXPECT_EQ(actor({"write", at("ro/inside.txt"), "edited"}).exitCode, 0);
        EXPECT_EQ(actor({"create", at("new.txt"), "n"}).exitCode, 0);
        EXPECT_EQ(actor({"unlink", at("deletable.txt")}).exitCode, 0);
        EXPECT_EQ(actor({"unlink", at("big.txt")}).exitCode, 0);
        EXPECT_TRUE(std::filesystem::exists(at("big locked.txt")));
        EXPECT_EQ(read("plain.txt"), "changed");
        EXPECT_EQ(read("ro/inside.txt"), "edited");
    }
    std::size_t refusalsLogged(const std::string& path) {
        std::size_t n = 0;
        std::istringstream log(daemon_->log());
        for (std::string line; std::getline(log, line);)
            if (line.find("Refused") != std::string::npos &&
                line.find("\"" + path + "\"") != std::string::npos)
                ++n;
        return n;
    }

    tw::test::TempDir dir_{"gw-closed"};
    std::string folder_;
    std::unique_ptr<Daemon> daemon_;
    std::unique_ptr<AnsweringClient> app_;
    bool mounted_ = false;
};

TEST_F(ApplicationCannotAnswer, NeverStartedSinceTheDaemonDid) {
    mount();
    if (!mounted_) return;
    expectDecidedByRecords();
    // Logged once per path, however often refused.
    EXPECT_EQ(refusalsLogged(at("ghost.txt")), 1u) << daemon_->log();
    EXPECT_EQ(refusalsLogged(at("locked.txt")), 1u);
}

TEST_F(ApplicationCannotAnswer, StoppedWatching) {
    mount();
    if (!mounted_) return;
    connect();
    ASSERT_EQ(app_->stopWatching(), kIOReturnSuccess);
    expectDecidedByRecords();
    // Its own process still passes: the application finishing a download into a placeholder.
    std::ofstream(at("ghost.txt")) << "downloaded";
    EXPECT_EQ(read("ghost.txt"), "downloaded");
}

TEST_F(ApplicationCannotAnswer, GoneWhileWatching) {
    mount();
    if (!mounted_) return;
    connect();
    app_.reset();  // its connection closes as when it dies
    std::this_thread::sleep_for(200ms);
    expectDecidedByRecords();
}

TEST_F(ApplicationCannotAnswer, ReadsQuestionsButNeverAnswers) {
    mount({"--answer-timeout", "300"});
    if (!mounted_) return;
    connect();
    app_->run(nullptr, /*answer=*/false);
    expectDecidedByRecords();
    ASSERT_TRUE(app_->waitForEvent(kauth_FILEOP_ISGHOST, at("ghost.txt"))) << "it was asked first";
    ASSERT_TRUE(app_->waitForEvent(kauth_FILEOP_DELETE, at("big locked.txt"))) << "it was asked first";
    EXPECT_NE(daemon_->log().find("No answer within 300 ms"), std::string::npos);
    EXPECT_NE(daemon_->log().find("(no answer in time;"), std::string::npos);
}

TEST_F(ApplicationCannotAnswer, QueueFull) {
    mount({"--max-queued", "2", "--answer-timeout", "300"});
    if (!mounted_) return;
    connect();
    // Two listings nobody reads fill the queue: no question can be asked from then on.
    ASSERT_EQ(actor({"list", folder_}).exitCode, 0);
    ASSERT_EQ(actor({"list", folder_}).exitCode, 0);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(actor({"read", at("ghost.txt")}).exitCode, EPERM);
    EXPECT_EQ(actor({"write", at("locked.txt"), "x"}).exitCode, EROFS);
    EXPECT_EQ(actor({"read", at("plain.txt")}).exitCode, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s) << "decided at once, not after the answer time";
    EXPECT_NE(daemon_->log().find("(the event queue is full;"), std::string::npos);
}

TEST_F(ApplicationCannotAnswer, PathTooLongToAskAbout) {
    std::string deep = folder_;
    for (int i = 0; i < 5; ++i) deep += "/" + std::string(240, static_cast<char>('a' + i));
    std::filesystem::create_directories(deep);
    std::ofstream(deep + "/ghost.txt") << "";
    record(deep + "/ghost.txt", "Placeholder", false);
    std::ofstream(deep + "/plain.txt") << "plain";
    record(deep + "/plain.txt", "Regular", false);
    mount();
    if (!mounted_) return;
    connect();
    app_->run();  // answers "go on" to everything it is asked
    EXPECT_EQ(actor({"read", deep + "/ghost.txt"}).exitCode, EPERM);
    EXPECT_EQ(actor({"read", deep + "/plain.txt"}).exitCode, 0);
    EXPECT_NE(daemon_->log().find("(the path does not fit a record field;"), std::string::npos);
}

TEST_F(ApplicationCannotAnswer, IndexersAreNeverAskedButNeverReadAPlaceholder) {
    mount();
    if (!mounted_) return;
    connect();
    app_->run();  // would let anything go on
    EXPECT_EQ(actor({"--name", "mdworker", "read", at("ghost.txt")}).exitCode, EPERM);
    EXPECT_EQ(actor({"--name", "tracker-miner-f", "read", at("pending.txt")}).exitCode, EPERM);
    EXPECT_EQ(actor({"--name", "mdworker", "read", at("plain.txt")}).exitCode, 0);
    EXPECT_EQ(actor({"read", at("ghost.txt")}).exitCode, 0) << "anyone else is asked, and allowed here";
    ASSERT_TRUE(app_->waitForEvent(kauth_FILEOP_ISGHOST, at("ghost.txt")));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(app_->count(kauth_FILEOP_ISGHOST, at("ghost.txt")), 1u);
    EXPECT_EQ(app_->count(kauth_FILEOP_ISGHOST, at("plain.txt")), 0u);
}

}  // namespace
