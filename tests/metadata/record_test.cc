#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Pinewick/config/Logger.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "platform/dispatch.h"
#include "platform/files.h"
#include "platform/notifications.h"
#include "platform/overmark.h"
#include "platform/plist.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace tw;
using tw::test::TempDir;
using tw::test::writeFile;
using Status = CEAStatus::keys;

namespace {

std::string logText() {
    Logger::sharedInstance().flush();
    return tw::test::readFile(Logger::sharedInstance().logPath());
}

std::optional<std::string> rawXattr(const std::string& path, const std::string& name) {
    char buf[4096];
    ssize_t n = ::getxattr(path.c_str(), ("user." + name).c_str(), buf, sizeof buf);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<size_t>(n));
}

void setRawXattr(const std::string& path, const std::string& value) {
    ASSERT_EQ(::setxattr(path.c_str(), "user.com.meridot.tidewell", value.data(), value.size(), 0), 0);
}

uint64_t inodeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_ino;
}

uint64_t deviceOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_dev;
}

// The notifications about items under `folder` seen on the session bus, in arrival order. Other test
// processes share the bus, so everything else is left out.
class BusWatch {
public:
    explicit BusWatch(std::string folder) : folder_(std::move(folder)) {
        marker_ = "TestMarker-" + std::to_string(getpid());
        observer_ =
            platform::observeNotifications("", [this](const std::string& name, const std::string& object) {
                if (name != marker_ && object.rfind(folder_, 0) != 0) return;
                std::lock_guard<std::mutex> lock(mutex_);
                seen_.emplace_back(name, object);
                arrived_.signal();
            });
    }
    bool connected() const { return observer_->connected(); }
    // Posts a marker and waits until it comes back: everything posted before it has arrived by then.
    std::vector<std::pair<std::string, std::string>> drain() {
        platform::postNotification(marker_, "");
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!seen_.empty() && seen_.back().first == marker_) {
                    auto out = seen_;
                    out.pop_back();
                    seen_.clear();
                    return out;
                }
            }
            if (!arrived_.waitFor(10s)) return {{"timeout", ""}};
        }
    }

private:
    std::string folder_;
    std::string marker_;
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> seen_;
    platform::Semaphore arrived_;
    std::unique_ptr<platform::NotificationObserver> observer_;
};

#define REQUIRE_BUS(watch) \
    if (!(watch).connected()) GTEST_SKIP() << "no D-Bus session bus (scripts/test.sh runs the tests in one)"

struct ResolverReset {
    ~ResolverReset() { platform::setVolPathResolver(nullptr); }
};

}  // namespace

TEST(Record, NewItemStartsUnknownAndFirstSaveRecordsItsIdentity) {
    TempDir dir;
    std::string file = (dir / "new.txt").string();
    ASSERT_TRUE(writeFile(file, "x"));
    CorvaneExtendedAttributes r(file);
    EXPECT_EQ(r.ceaStatus.status, Status::Unknown);
    EXPECT_FALSE(r.ceaBool.getAttribute(CEABool::keys::ReadOnly));
    EXPECT_FALSE(r.hasChanges());
    ASSERT_TRUE(r.save());
    auto raw = rawXattr(file, "com.meridot.tidewell");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->rfind("Status: Unknown\n", 0), 0u) << *raw;
    EXPECT_NE(raw->find("\nLocalFileId: " + std::to_string(inodeOf(file)) + "\n"), std::string::npos) << *raw;
    EXPECT_NE(raw->find("\nFileType: NSFileTypeRegular\n"), std::string::npos) << *raw;
    EXPECT_EQ(r.fileNumber, inodeOf(file));
    EXPECT_EQ(r.volumeNumber, deviceOf(file));
    EXPECT_EQ(r.nodePath(), "/.vol/" + std::to_string(deviceOf(file)) + "/" + std::to_string(inodeOf(file)));

    // Nothing changed since: a second save writes nothing (the attribute's removal would show).
    ASSERT_EQ(::removexattr(file.c_str(), "user.com.meridot.tidewell"), 0);
    ASSERT_TRUE(r.save());
    EXPECT_FALSE(rawXattr(file, "com.meridot.tidewell"));
}

TEST(Record, ValuesSurviveSaveAndLoad) {
    TempDir dir;
    std::string file = (dir / "doc.txt").string();
    ASSERT_TRUE(writeFile(file, "content"));
    {
        CorvaneExtendedAttributes r(file);
        r.ceaStatus.setStatus(Status::Regular);
        r.ceaString.setAttribute(CEAString::keys::Revision, "17");
        r.ceaString.setAttribute(CEAString::keys::ConflictRevision, "21");
        r.ceaString.setAttribute(CEAString::keys::UploadGUID, "6f1c2f3e-0000-4000-8000-000000000001");
        r.ceaBool.setAttribute(CEABool::keys::CanShare, true);
        r.ceaLong.setAttribute(CEALong::keys::ServerFileSize, 1024);
        r.ceaDate.setAttribute(CEADate::keys::LastServerListing, 786000000.5);
        r.ceaErrorStatus.setStatus(CEAErrorStatus::keys::FileInUse);
        r.ceaErrorStatus.setGenre(CEAErrorStatus::genres::Transfer);
        ASSERT_TRUE(r.save());
    }
    CorvaneExtendedAttributes back(file);
    EXPECT_EQ(back.ceaStatus.status, Status::Regular);
    EXPECT_EQ(back.ceaString.getAttribute(CEAString::keys::Revision), "17");
    EXPECT_EQ(back.ceaString.getAttribute(CEAString::keys::ConflictRevision), "21");
    EXPECT_EQ(back.ceaString.getAttribute(CEAString::keys::UploadGUID),
              "6f1c2f3e-0000-4000-8000-000000000001");
    EXPECT_EQ(back.ceaString.getAttribute(CEAString::keys::FileType), "NSFileTypeRegular");
    EXPECT_TRUE(back.ceaBool.getAttribute(CEABool::keys::CanShare));
    EXPECT_EQ(back.ceaLong.getAttribute(CEALong::keys::ServerFileSize), 1024u);
    EXPECT_EQ(back.ceaLong.getAttribute(CEALong::keys::LocalFileId), inodeOf(file));
    EXPECT_EQ(back.ceaDate.getAttribute(CEADate::keys::LastServerListing), 786000000.5);
    EXPECT_EQ(back.ceaErrorStatus.status, CEAErrorStatus::keys::FileInUse);
    EXPECT_EQ(back.ceaErrorStatus.genre, CEAErrorStatus::genres::Transfer);
    EXPECT_FALSE(back.hasChanges());
}

TEST(Record, AttributeTextHasTheGroupsInOrder) {
    CorvaneExtendedAttributes r("/nowhere/x", "");
    r.ceaString.setAttribute(CEAString::keys::Revision, "1");
    r.ceaLong.setAttribute(CEALong::keys::ServerFileSize, 2);
    r.ceaDate.setAttribute(CEADate::keys::TransferRecovery, 0);
    EXPECT_EQ(r.encode(),
              "Status: Unknown\n"
              "TransferRecovery: 2001-01-01 00:00:00 +0000 = 0\n"
              "CanShare: false\nReadOnly: false\nLaunchAfterDownload: false\n"
              "Revision: 1\n"
              "ServerFileSize: 2\n"
              "Error Status: NoError\nError Genre: None\n");
    EXPECT_FALSE(r.hasChanges());
}

// The extension decides badges and menus from a few lines of this text without sharing any code with
// the writer: each state it tells apart must come out as the line it looks for, at the start.
TEST(Record, AttributeTextStartsWithTheLinesTheExtensionReads) {
    const std::pair<Status, const char*> states[] = {
        {Status::RequireUpload, overmark::kStatusRequireUploadLine},
        {Status::RequireDownload, overmark::kStatusRequireDownloadLine},
        {Status::Regular, overmark::kStatusRegularLine},
        {Status::Placeholder, overmark::kStatusPlaceholderLine},
        {Status::ErrorRegular, overmark::kStatusErrorPrefix},
        {Status::ErrorPlaceHolder, overmark::kStatusErrorPrefix},
    };
    for (const auto& [state, line] : states) {
        CorvaneExtendedAttributes r("/nowhere/x", "");
        r.ceaStatus.setStatus(state);
        std::string text = r.encode();
        EXPECT_EQ(text.rfind(line, 0), 0u) << text;
        EXPECT_EQ(text.find(overmark::kRevisionPrefix), std::string::npos) << text;
        r.ceaString.setAttribute(CEAString::keys::Revision, "7");
        EXPECT_NE(r.encode().find(overmark::kRevisionPrefix), std::string::npos);
    }
    for (Status other : {Status::LocalOnly, Status::Unknown}) {
        CorvaneExtendedAttributes r("/nowhere/x", "");
        r.ceaStatus.setStatus(other);
        EXPECT_NE(r.encode().rfind(overmark::kStatusErrorPrefix, 0), 0u);
    }
}

TEST(Record, DescriptionOfAFreshRecord) {
    TempDir dir;
    std::string file = (dir / "f").string();
    ASSERT_TRUE(writeFile(file, ""));
    CorvaneExtendedAttributes r(file);
    std::string d = r.description();
    EXPECT_EQ(d.rfind("Corvane Extended Attributes: Status: Unknown\n", 0), 0u) << d;
    EXPECT_TRUE(d.size() >= 9 && d.compare(d.size() - 9, 9, "Volume: 0") == 0) << d;
    ASSERT_TRUE(r.save());
    EXPECT_NE(r.description().find("Volume: " + std::to_string(deviceOf(file))), std::string::npos);
}

TEST(Record, InternalDetailsRebuildWithoutTouchingFiles) {
    std::string text = "Status: RequireUpload\nConflictRevision: 8\nRevision: 7\nLocalFileId: 99\n";
    CorvaneExtendedAttributes r("/does/not/exist", text);
    EXPECT_EQ(r.localPath, "/does/not/exist");
    EXPECT_EQ(r.ceaStatus.status, Status::RequireUpload);
    EXPECT_EQ(r.ceaString.getAttribute(CEAString::keys::Revision), "7");
    EXPECT_EQ(r.ceaLong.getAttribute(CEALong::keys::LocalFileId), 99u);
    EXPECT_FALSE(r.hasChanges());
    EXPECT_EQ(r.fileNumber, 0u);
    // Its own encoding rebuilds the same record.
    CorvaneExtendedAttributes again("/does/not/exist", r.encode());
    EXPECT_EQ(again.encode(), r.encode());
}

TEST(Record, ReplacedFileTurnsUnknownAndTellsTheFileManager) {
    TempDir dir;
    std::string file = (dir / "doc.txt").string();
    ASSERT_TRUE(writeFile(file, "v1"));
    {
        CorvaneExtendedAttributes r(file);
        r.ceaStatus.setStatus(Status::Regular);
        r.ceaString.setAttribute(CEAString::keys::Revision, "3");
        ASSERT_TRUE(r.save());
    }
    std::string saved = rawXattr(file, "com.meridot.tidewell").value_or("");
    // Keep the old inode alive so the replacement cannot reuse its number.
    fs::create_hard_link(file, dir / "old");
    std::string replacement = (dir / "new.tmp").string();
    ASSERT_TRUE(writeFile(replacement, "v2"));
    setRawXattr(replacement, saved);  // copied in together with the attribute
    fs::rename(replacement, file);
    ASSERT_NE(inodeOf(file), inodeOf((dir / "old").string()));

    BusWatch watch(dir.str());
    CorvaneExtendedAttributes r(file);
    EXPECT_EQ(r.ceaStatus.status, Status::Unknown);
    EXPECT_TRUE(r.ceaStatus.shouldSave);
    EXPECT_EQ(r.ceaLong.getAttribute(CEALong::keys::LocalFileId), inodeOf(file));
    ASSERT_TRUE(r.save());
    EXPECT_EQ(rawXattr(file, "com.meridot.tidewell").value_or("").rfind("Status: Unknown\n", 0), 0u);

    REQUIRE_BUS(watch);
    auto seen = watch.drain();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], std::make_pair(std::string("BrindleIconChange"), file));
}

// A record loaded from one file and saved after another took its path (a file renamed over it, or
// it moved away and a new one made) would hand the newcomer the first file's revision and state.
TEST(Record, ARecordIsNeverWrittenToAnotherFileThatTookItsPath) {
    TempDir dir;
    std::string file = (dir / "doc.txt").string();
    for (bool renamedOver : {true, false}) {
        SCOPED_TRACE(renamedOver ? "renamed over" : "moved away and made again");
        ASSERT_TRUE(writeFile(file, "v1"));
        {
            CorvaneExtendedAttributes r(file);
            r.ceaStatus.setStatus(Status::Regular);
            r.ceaString.setAttribute(CEAString::keys::Revision, "3");
            ASSERT_TRUE(r.save());
        }
        CorvaneExtendedAttributes stale(file);
        if (renamedOver) {
            std::string replacement = (dir / "doc.tmp").string();
            ASSERT_TRUE(writeFile(replacement, "v2"));
            fs::rename(replacement, file);
        } else {
            fs::rename(file, dir / "doc.old");
            ASSERT_TRUE(writeFile(file, "v2"));
        }
        ASSERT_NE(inodeOf(file), stale.fileNumber);
        {
            CorvaneExtendedAttributes newcomer(file);
            newcomer.ceaStatus.setStatus(Status::RequireUpload);
            ASSERT_TRUE(newcomer.save());
        }
        std::string newcomers = rawXattr(file, "com.meridot.tidewell").value_or("");

        stale.ceaString.setAttribute(CEAString::keys::Revision, "4");
        stale.ceaStatus.setStatus(Status::Regular);
        auto saved = stale.save();
        EXPECT_FALSE(saved);
        // The cause says so: not a failed write, another item there.
        EXPECT_EQ(saved.cause().code, ESTALE) << saved.cause().describe();
        EXPECT_EQ(saved.cause().path, file);
        EXPECT_EQ(rawXattr(file, "com.meridot.tidewell").value_or(""), newcomers);
        CorvaneExtendedAttributes now(file);
        EXPECT_EQ(now.ceaStatus.status, Status::RequireUpload);
        EXPECT_FALSE(now.ceaString.getAttribute(CEAString::keys::Revision));
        fs::remove(file);
        fs::remove(dir / "doc.old");
    }
}

TEST(Record, OnlyStateChangesAreAnnounced) {
    TempDir dir;
    std::string file = (dir / "a").string();
    ASSERT_TRUE(writeFile(file, ""));
    BusWatch watch(dir.str());
    REQUIRE_BUS(watch);
    {
        CorvaneExtendedAttributes r(file);
        ASSERT_TRUE(r.save());  // identity only
        r.ceaBool.setAttribute(CEABool::keys::ReadOnly, true);
        ASSERT_TRUE(r.save());  // a flag, not the state
    }
    EXPECT_TRUE(watch.drain().empty());
    {
        CorvaneExtendedAttributes r(file);
        r.ceaStatus.setStatus(Status::RequireUpload);
        ASSERT_TRUE(r.save());
    }
    auto seen = watch.drain();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, "BrindleIconChange");
    EXPECT_EQ(seen[0].second, file);
}

TEST(Record, OpenWithMarksPlaceholdersThatHaveARevision) {
    TempDir dir;
    std::string file = (dir / "placeholder.pdf").string();
    ASSERT_TRUE(writeFile(file, ""));
    const char* openWith = "com.apple.LaunchServices.OpenWith";

    // Never on the server: no marking, even as a placeholder.
    {
        CorvaneExtendedAttributes r(file);
        r.ceaStatus.setStatus(Status::Placeholder);
        ASSERT_TRUE(r.save());
    }
    EXPECT_FALSE(rawXattr(file, openWith));

    {
        CorvaneExtendedAttributes r(file);
        r.ceaString.setAttribute(CEAString::keys::Revision, "12");
        r.ceaStatus.setStatus(Status::RequireDownload);
        ASSERT_TRUE(r.save());
    }
    auto plist = rawXattr(file, openWith);
    ASSERT_TRUE(plist);
    EXPECT_EQ(plist->substr(0, 8), "bplist00");
    auto dict = platform::parsePlistDictionary(*plist);
    ASSERT_TRUE(dict);
    EXPECT_EQ((*dict)["bundleidentifier"], platform::PlistValue(std::string("com.meridot.tidewell")));
    EXPECT_EQ((*dict)["path"], platform::PlistValue(platform::mainExecutablePath()));
    EXPECT_EQ((*dict)["version"], platform::PlistValue(uint64_t{0}));

    // Downloaded: unmarked.
    {
        CorvaneExtendedAttributes r(file);
        r.ceaStatus.setStatus(Status::Regular);
        ASSERT_TRUE(r.save());
    }
    EXPECT_FALSE(rawXattr(file, openWith));

    // Back to a placeholder (the record has its revision): marked again; Unknown leaves it alone.
    {
        CorvaneExtendedAttributes r(file);
        r.ceaStatus.setStatus(Status::ErrorPlaceHolder);
        ASSERT_TRUE(r.save());
    }
    EXPECT_TRUE(rawXattr(file, openWith));
    {
        CorvaneExtendedAttributes r(file);
        r.ceaStatus.setStatus(Status::Unknown);
        ASSERT_TRUE(r.save());
    }
    EXPECT_TRUE(rawXattr(file, openWith));
}

TEST(Record, OverLongAttributeReadsAsAbsent) {
    TempDir dir;
    std::string file = (dir / "f").string();
    ASSERT_TRUE(writeFile(file, ""));
    std::string head = "Status: Regular\nRevision: 4\nFileType: ";
    std::string exact = head + std::string(1024 - head.size() - 1, 'x') + "\n";
    ASSERT_EQ(exact.size(), 1024u);
    setRawXattr(file, exact);
    EXPECT_EQ(CorvaneExtendedAttributes(file).ceaStatus.status, Status::Regular);

    std::string over = head + std::string(1025 - head.size() - 1, 'x') + "\n";
    ASSERT_EQ(over.size(), 1025u);
    setRawXattr(file, over);
    CorvaneExtendedAttributes r(file);
    EXPECT_EQ(r.ceaStatus.status, Status::Unknown);
    EXPECT_FALSE(r.ceaString.getAttribute(CEAString::keys::Revision));
    EXPECT_NE(logText().find("longer than 1024 bytes"), std::string::npos);
}

TEST(Record, SaveNeverWritesWhatCouldNotBeReadBack) {
    TempDir dir;
    std::string file = (dir / "f").string();
    ASSERT_TRUE(writeFile(file, ""));
    {
        CorvaneExtendedAttributes r(file);
        r.ceaStatus.setStatus(Status::Regular);
        r.ceaString.setAttribute(CEAString::keys::Revision, "9");
        ASSERT_TRUE(r.save());
    }
    std::string before = rawXattr(file, "com.meridot.tidewell").value_or("");
    {
        CorvaneExtendedAttributes r(file);
        r.ceaString.setAttribute(CEAString::keys::UploadGUID, std::string(1100, 'g'));
        auto saved = r.save();
        EXPECT_FALSE(saved);
        EXPECT_EQ(saved.cause().code, E2BIG) << saved.cause().describe();
    }
    EXPECT_EQ(rawXattr(file, "com.meridot.tidewell").value_or(""), before);
    EXPECT_NE(logText().find("Failed to write Extended Attributes to " + file), std::string::npos);
    EXPECT_EQ(CorvaneExtendedAttributes(file).ceaString.getAttribute(CEAString::keys::Revision), "9");
}

TEST(Record, TextThatIsNotUTF8IsLoggedAndIgnored) {
    TempDir dir;
    std::string file = (dir / "f").string();
    ASSERT_TRUE(writeFile(file, ""));
    for (std::string bad : {std::string("Status: Regular\nRevision: \xff\xfe\n"),
                            std::string("Status: Regular\nRevision: \xc0\xaf\n"),      // overlong '/'
                            std::string("Status: Regular\nRevision: \xed\xa0\x80\n"),  // surrogate
                            std::string("Status: Regular\nRevision: \xe2\x82\n")}) {   // cut short
        setRawXattr(file, bad);
        CorvaneExtendedAttributes r(file);
        EXPECT_EQ(r.ceaStatus.status, Status::Unknown);
        EXPECT_FALSE(r.ceaString.getAttribute(CEAString::keys::Revision));
    }
    EXPECT_NE(logText().find("  Fatal: Could not convert extended attributes to human readable\n"),
              std::string::npos);

    setRawXattr(file, "Status: Regular\nRevision: caf\xc3\xa9 \xf0\x9f\x8c\x8a\n");
    EXPECT_EQ(CorvaneExtendedAttributes(file).ceaString.getAttribute(CEAString::keys::Revision),
              "caf\xc3\xa9 \xf0\x9f\x8c\x8a");
}

TEST(Record, MalformedTextIsLoggedAndKeepsWhatDecoded) {
    TempDir dir;
    std::string file = (dir / "f").string();
    ASSERT_TRUE(writeFile(file, ""));
    setRawXattr(file, "Status: Bogus\nRevision: 2\n");
    CorvaneExtendedAttributes r(file);
    EXPECT_EQ(r.ceaStatus.status, Status::Unknown);
    EXPECT_EQ(r.ceaString.getAttribute(CEAString::keys::Revision), "2");
    EXPECT_NE(logText().find("Could not decode extended attributes Status: Bogus\n"), std::string::npos);

    // A damaged date must not cost the item its state.
    setRawXattr(file, "Status: Placeholder\nTransferRecovery: garbage\nRevision: 5\n");
    CorvaneExtendedAttributes p(file);
    EXPECT_EQ(p.ceaStatus.status, Status::Placeholder);
    EXPECT_FALSE(p.ceaStatus.shouldSave);

    // Random bytes that are valid UTF-8 but no record at all.
    setRawXattr(file, "\x01\x02 ::: \n\n: \nStatus:\n");
    EXPECT_EQ(CorvaneExtendedAttributes(file).ceaStatus.status, Status::Unknown);
}

TEST(Record, WriteFailureIsLogged) {
    TempDir dir;
    std::string file = (dir / "gone").string();
    ASSERT_TRUE(writeFile(file, ""));
    CorvaneExtendedAttributes r(file);
    fs::remove(file);
    r.ceaStatus.setStatus(Status::RequireUpload);
    auto saved = r.save();
    EXPECT_FALSE(saved);
    // The result carries the cause: the call, the path, the errno.
    EXPECT_EQ(saved.cause().code, ENOENT);
    EXPECT_EQ(saved.cause().call, "setxattr");
    EXPECT_EQ(saved.cause().path, file);
    // The line names the path and the cause.
    EXPECT_NE(logText().find("Warning: Failed to write Extended Attributes to " + file +
                             ": No such file or directory\n"),
              std::string::npos);
    EXPECT_FALSE(r.hasChanges());  // not retried by a later save of the same record
}

TEST(Record, SaveReportsWhetherTheAttributeWasWritten) {
    TempDir dir;
    std::string file = (dir / "f").string();
    ASSERT_TRUE(writeFile(file, ""));
    CorvaneExtendedAttributes r(file);
    auto unchanged = r.save();
    EXPECT_TRUE(unchanged);  // nothing changed: nothing to write, nothing failed
    EXPECT_TRUE(unchanged.ok());
    EXPECT_EQ(unchanged.cause().code, 0);
    r.ceaStatus.setStatus(Status::Regular);
    EXPECT_TRUE(r.save());
    EXPECT_EQ(CorvaneExtendedAttributes(file).ceaStatus.status, Status::Regular);
    // A record too long to be read back is refused and the earlier one stays.
    CorvaneExtendedAttributes big(file);
    big.ceaString.setAttribute(tw::CEAString::keys::ConflictRevision, std::string(80 * 1024, 'r'));
    auto refused = big.save();
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.cause().code, E2BIG);
    EXPECT_EQ(CorvaneExtendedAttributes(file).ceaStatus.status, Status::Regular);
}

TEST(Record, IdentityPathsUseTheResolver) {
    ResolverReset reset;
    TempDir dir;
    std::string file = (dir / "moved-around").string();
    ASSERT_TRUE(writeFile(file, ""));
    setRawXattr(file, "Status: Placeholder\nRevision: 30\n");
    uint64_t dev = deviceOf(file), ino = inodeOf(file);

    platform::setVolPathResolver(nullptr);
    CorvaneExtendedAttributes unresolved(ino, dev);
    EXPECT_EQ(unresolved.localPath, "/.vol/" + std::to_string(dev) + "/" + std::to_string(ino));
    EXPECT_EQ(unresolved.ceaStatus.status, Status::Unknown);
    EXPECT_EQ(unresolved.nodePath(), unresolved.localPath);

    platform::setVolPathResolver([&](uint64_t d, uint64_t i) -> std::optional<std::string> {
        if (d == dev && i == ino) return file;
        return std::nullopt;
    });
    CorvaneExtendedAttributes r(ino, dev);
    EXPECT_EQ(r.ceaStatus.status, Status::Placeholder);
    EXPECT_EQ(r.ceaString.getAttribute(CEAString::keys::Revision), "30");
    r.ceaStatus.setStatus(Status::Regular);
    ASSERT_TRUE(r.save());
    EXPECT_EQ(CorvaneExtendedAttributes(file).ceaStatus.status, Status::Regular);
}

TEST(Record, SavesMirrorRevisionAndStateIntoTheDatabase) {
    ResolverReset reset;
    TempDir dir;
    std::string file = (dir / "mirrored").string();
    ASSERT_TRUE(writeFile(file, ""));
    uint64_t dev = deviceOf(file);
    MetadataDataBase db((dir / "MetaDataDataBase.db").string());
    auto database = [&db]() -> MetadataDataBase& { return db; };
    auto mirror = std::make_unique<RecordMirror>(
        [dev](uint64_t d) { return d == dev ? std::string("5A1E-UUID") : std::string(); }, database);

    {
        CorvaneExtendedAttributes r(file);
        r.ceaStatus.setStatus(Status::RequireUpload);
        ASSERT_TRUE(r.save());  // no revision yet: not mirrored
    }
    EXPECT_FALSE(db.findRecord(inodeOf(file), "5A1E-UUID"));
    {
        CorvaneExtendedAttributes r(file);
        r.ceaString.setAttribute(CEAString::keys::Revision, "41");
        r.ceaStatus.setStatus(Status::Regular);
        ASSERT_TRUE(r.save());
    }
    auto row = db.findRecord(inodeOf(file), "5A1E-UUID");
    ASSERT_TRUE(row);
    EXPECT_EQ(*row, (Record{"5A1E-UUID", inodeOf(file), file, "41", "Regular"}));

    // A volume no living mirror knows is not mirrored; one mirror that does not know it leaves the record
    // to the next that does.
    mirror.reset();
    RecordMirror stranger([](uint64_t) { return std::string(); }, database);
    {
        CorvaneExtendedAttributes r(file);
        r.ceaString.setAttribute(CEAString::keys::Revision, "42");
        ASSERT_TRUE(r.save());
    }
    EXPECT_EQ(db.findRecord(inodeOf(file), "5A1E-UUID")->revision, "41");
    RecordMirror owner([dev](uint64_t d) { return d == dev ? std::string("5A1E-UUID") : std::string(); },
                       database);
    {
        CorvaneExtendedAttributes r(file);
        r.ceaString.setAttribute(CEAString::keys::Revision, "43");
        ASSERT_TRUE(r.save());
    }
    EXPECT_EQ(db.findRecord(inodeOf(file), "5A1E-UUID")->revision, "43");
}

// A mirror going while saves ask it: each save mirrors or not, none calls into a mirror that went.
TEST(Record, AMirrorGoingWaitsForTheSavesAskingIt) {
    TempDir dir;
    std::string file = (dir / "busy").string();
    ASSERT_TRUE(writeFile(file, ""));
    uint64_t dev = deviceOf(file);
    MetadataDataBase db((dir / "MetaDataDataBase.db").string());
    std::atomic<bool> alive{true};
    std::atomic<int> asked{0};
    auto mirror = std::make_unique<RecordMirror>(
        [&](uint64_t d) {
            ++asked;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            EXPECT_TRUE(alive.load()) << "asked after it went";
            return d == dev ? std::string("BUSY-UUID") : std::string();
        },
        [&db]() -> MetadataDataBase& { return db; });
    std::atomic<bool> stop{false};
    std::vector<std::thread> savers;
    for (int t = 0; t < 3; ++t)
        savers.emplace_back([&, t] {
            for (int i = 0; !stop; ++i) {
                CorvaneExtendedAttributes r(file);
                r.ceaString.setAttribute(CEAString::keys::Revision, std::to_string(t * 100000 + i));
                (void)r.save();
            }
        });
    while (asked < 10) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    mirror.reset();
    alive = false;
    int after = asked;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    for (auto& s : savers) s.join();
    EXPECT_EQ(asked.load(), after) << "a save asked the mirror after it went";
}
