#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "finder/FinderSync.h"
#include "platform/defaults.h"
#include "platform/diagnostics.h"
#include "support/temp_dir.h"

using namespace tw::finder;
using tw::test::TempDir;
using tw::test::writeFile;

namespace {

// Records what the extension asked of the file manager.
class FakeHost : public FinderSyncHost {
public:
    void setDirectoryURLs(const std::vector<std::string>& folders) override {
        std::lock_guard lock(mutex);
        directorySets.push_back(folders);
    }
    void setBadgeIdentifier(badgeNames badge, const std::string& path) override {
        std::lock_guard lock(mutex);
        badges.emplace_back(path, badge);
    }
    void openFolder(const std::string& folder) override {
        std::lock_guard lock(mutex);
        opened.push_back(folder);
    }
    void postNotification(const std::string& name, const std::string& object) override {
        std::lock_guard lock(mutex);
        posts.emplace_back(name, object);
    }

    std::mutex mutex;
    std::vector<std::vector<std::string>> directorySets;
    std::vector<std::pair<std::string, badgeNames>> badges;
    std::vector<std::string> opened;
    std::vector<std::pair<std::string, std::string>> posts;
};

// Attribute texts by path, counting reads, so tests see when the extension touched an item.
struct FakeAttributes {
    std::mutex mutex;
    std::map<std::string, std::string> texts;
    std::vector<std::string> reads;

    void set(const std::string& path, const std::string& text) {
        std::lock_guard lock(mutex);
        texts[path] = text;
    }
    size_t readCount() {
        std::lock_guard lock(mutex);
        return reads.size();
    }
    AttributeReader reader() {
        return [this](const std::string& path) -> std::optional<std::string> {
            std::lock_guard lock(mutex);
            reads.push_back(path);
            auto it = texts.find(path);
            if (it == texts.end()) return std::nullopt;
            return it->second;
        };
    }
};

// Catches the extension's log lines.
struct LogLines {
    std::mutex mutex;
    std::vector<std::string> lines;
    LogLines() {
        tw::platform::setDiagnosticSink([this](tw::platform::DiagnosticLevel, const std::string& message) {
            std::lock_guard lock(mutex);
            lines.push_back(message);
        });
    }
    ~LogLines() { tw::platform::setDiagnosticSink(nullptr); }
    bool contains(const std::string& part) {
        std::lock_guard lock(mutex);
        for (const auto& l : lines)
            if (l.find(part) != std::string::npos) return true;
        return false;
    }
};

const std::string kPlaceholder = "Status: Placeholder\nRevision: 7\n";
const std::string kRegular = "Status: Regular\nRevision: 7\n";
const std::string kError = "Status: ErrorRegular\nRevision: 7\n";

class FinderSyncTest : public ::testing::Test {
protected:
    void writeSuite(const std::string& content) { ASSERT_TRUE(writeFile(dir / "suite.json", content)); }

    // The badge `path` gets from a request, waited for.
    std::optional<badgeNames> badgeOf(FinderSync& finder, const std::string& path) {
        std::optional<badgeNames> result;
        finder.requestBadgeIdentifier(path, [&](std::optional<badgeNames> b) { result = b; });
        finder.waitForQueues();
        return result;
    }

    TempDir dir;
    tw::platform::Defaults suite{(dir / "suite.json").string(), {}};
    // The application's settings: the user's file and one administrator file.
    tw::platform::Defaults settings{(dir / "settings.json").string(), {(dir / "admin.json").string()}};
    FakeHost host;
    FakeAttributes attributes;
};

}  // namespace

TEST_F(FinderSyncTest, StartsFromTheWatchListAndKeepsItWhenTheListIsUnusable) {
    writeSuite(R"({"FinderWatchList": ["/Volumes/Docs", 7, "/home/u/Work"]})");
    LogLines log;
    FinderSync finder(host, suite, settings, attributes.reader());
    const std::vector<std::string> first = {"/Volumes/Docs", "/home/u/Work"};
    EXPECT_EQ(finder.volumeList(), first);
    ASSERT_EQ(host.directorySets.size(), 1u);
    EXPECT_EQ(host.directorySets[0], first);
    EXPECT_TRUE(log.contains("not a string"));

    // Not JSON, the key missing, the key of another kind: each leaves the folders as they were.
    for (const char* content : {"this is not json", "{}", R"({"FinderWatchList": "/Volumes/Docs"})",
                                R"({"FinderWatchList": {"0": "/a"}})"}) {
        writeSuite(content);
        finder.handleVolumeChange();
        EXPECT_EQ(finder.volumeList(), first) << content;
    }
    EXPECT_EQ(host.directorySets.size(), 1u);

    writeSuite(R"({"FinderWatchList": ["/Volumes/Projects"]})");
    finder.handleNotification("BrindleVolumeChange", std::nullopt);
    EXPECT_EQ(finder.volumeList(), std::vector<std::string>{"/Volumes/Projects"});
    ASSERT_EQ(host.directorySets.size(), 2u);
    EXPECT_EQ(host.directorySets[1], std::vector<std::string>{"/Volumes/Projects"});
}

TEST_F(FinderSyncTest, NoWatchListAtStartMeansNoFolders) {
    FinderSync finder(host, suite, settings, attributes.reader());
    EXPECT_TRUE(finder.volumeList().empty());
    EXPECT_TRUE(host.directorySets.empty()) << "an absent list changes nothing, not even to empty";
}

TEST_F(FinderSyncTest, BadgeSwitchKeepsErrorsAndReturnsWithOn) {
    attributes.set("/V/Docs/p", kPlaceholder);
    attributes.set("/V/Docs/r", kRegular);
    attributes.set("/V/Docs/e", kError);
    FinderSync finder(host, suite, settings, attributes.reader());
    EXPECT_EQ(badgeOf(finder, "/V/Docs/p"), badgeNames::Cloud);
    EXPECT_EQ(badgeOf(finder, "/V/Docs/r"), badgeNames::Local);

    finder.handleNotification("BrindleOverlayIconChange", "off");
    EXPECT_TRUE(finder.disabledOverlays());
    EXPECT_EQ(badgeOf(finder, "/V/Docs/p"), std::nullopt);
    EXPECT_EQ(badgeOf(finder, "/V/Docs/e"), badgeNames::Error);

    // A notification without a string object changes nothing.
    finder.handleNotification("BrindleOverlayIconChange", std::nullopt);
    EXPECT_TRUE(finder.disabledOverlays());
    // Any string but "off" means on.
    finder.handleNotification("BrindleOverlayIconChange", "yes");
    EXPECT_FALSE(finder.disabledOverlays());
    EXPECT_EQ(badgeOf(finder, "/V/Docs/r"), badgeNames::Local);
    // Requests without a completion go to the host.
    finder.requestBadgeIdentifier("/V/Docs/p");
    finder.waitForQueues();
    ASSERT_EQ(host.badges.size(), 1u);
    EXPECT_EQ(host.badges[0], std::make_pair(std::string("/V/Docs/p"), badgeNames::Cloud));
}

// The file manager usually starts after the application, so the switches' notifications went out
// before the extension listened: it must start from what is stored.
TEST_F(FinderSyncTest, StoredSwitchesHoldFromTheStartWithoutANotification) {
    attributes.set("/V/Docs/p", kPlaceholder);
    attributes.set("/V/Docs/e", kError);
    ASSERT_TRUE(writeFile(dir / "settings.json", R"({"Usericonoverlay": false, "Usercontextmenu": false})"));
    {
        FinderSync finder(host, suite, settings, attributes.reader());
        EXPECT_TRUE(finder.disabledOverlays());
        EXPECT_TRUE(finder.disabledMenu());
        EXPECT_EQ(badgeOf(finder, "/V/Docs/p"), std::nullopt);
        EXPECT_EQ(badgeOf(finder, "/V/Docs/e"), badgeNames::Error) << "errors show whatever the switch";
        EXPECT_TRUE(finder.menu(MenuKind::contextualMenuForItems, {"/V/Docs/p"}).items.empty());
        EXPECT_EQ(finder.menu(MenuKind::contextualMenuForItems, {"/V/Docs/e"}).items.size(), 1u);
        // A later toggle in the application still wins over what was read at the start.
        finder.handleNotification("BrindleOverlayIconChange", "on");
        EXPECT_EQ(badgeOf(finder, "/V/Docs/p"), badgeNames::Cloud);
    }

    // The administrator's value wins over the user's, whichever way it points.
    ASSERT_TRUE(writeFile(dir / "admin.json", R"({"iconoverlay": true, "contextmenu": 0})"));
    ASSERT_TRUE(writeFile(dir / "settings.json", R"({"Usericonoverlay": false, "Usercontextmenu": true})"));
    {
        FinderSync finder(host, suite, settings, attributes.reader());
        EXPECT_FALSE(finder.disabledOverlays());
        EXPECT_TRUE(finder.disabledMenu());
    }

    // A value of another kind, or an unreadable file, counts as not set: on.
    ASSERT_TRUE(writeFile(dir / "admin.json", "{}"));
    ASSERT_TRUE(writeFile(dir / "settings.json", R"({"Usericonoverlay": "off", "Usercontextmenu": null})"));
    {
        FinderSync finder(host, suite, settings, attributes.reader());
        EXPECT_FALSE(finder.disabledOverlays());
        EXPECT_FALSE(finder.disabledMenu());
    }
    LogLines log;  // the unreadable file is warned about, not fatal
    ASSERT_TRUE(writeFile(dir / "settings.json", "not json"));
    FinderSync finder(host, suite, settings, attributes.reader());
    EXPECT_FALSE(finder.disabledOverlays());
    EXPECT_FALSE(finder.disabledMenu());
}

TEST_F(FinderSyncTest, IconChangeOnlyForFoldersBeingShown) {
    attributes.set("/V/Docs/a.txt", kRegular);
    attributes.set("/V/Docs/sub/b.txt", kPlaceholder);
    FinderSync finder(host, suite, settings, attributes.reader());

    finder.handleNotification("BrindleIconChange", "/V/Docs/a.txt");
    finder.waitForQueues();
    EXPECT_TRUE(host.badges.empty());
    EXPECT_EQ(attributes.readCount(), 0u)
        << "a change for a folder not shown is dropped before any file access";

    finder.beginObservingDirectory("/V/Docs");
    finder.handleNotification("BrindleIconChange", "/V/Docs/a.txt");
    // Only the item's own folder counts, not an ancestor.
    finder.handleNotification("BrindleIconChange", "/V/Docs/sub/b.txt");
    finder.waitForQueues();
    ASSERT_EQ(host.badges.size(), 1u);
    EXPECT_EQ(host.badges[0], std::make_pair(std::string("/V/Docs/a.txt"), badgeNames::Local));

    // No object, and an item whose attribute is gone: nothing set.
    finder.handleNotification("BrindleIconChange", std::nullopt);
    finder.handleNotification("BrindleIconChange", "/V/Docs/gone.txt");
    finder.endObservingDirectory("/V/Docs");
    finder.handleNotification("BrindleIconChange", "/V/Docs/a.txt");
    finder.waitForQueues();
    EXPECT_EQ(host.badges.size(), 1u);
}

TEST_F(FinderSyncTest, BadgesFollowRequestOrderForOneItem) {
    // The state changes between two requests; the later request must land later.
    std::atomic<int> calls{0};
    FinderSync finder(host, suite, settings, [&](const std::string&) -> std::optional<std::string> {
        return ++calls == 1 ? kPlaceholder : kRegular;
    });
    std::vector<badgeNames> seen;  // written on the lock queue only
    for (int i = 0; i < 2; ++i)
        finder.requestBadgeIdentifier("/V/Docs/f", [&](std::optional<badgeNames> b) { seen.push_back(*b); });
    finder.waitForQueues();
    EXPECT_EQ(seen, (std::vector<badgeNames>{badgeNames::Cloud, badgeNames::Local}));
}

// An item moving shows how far it is; only an item waiting to move has its progress read at all, and a
// progress change of a shown item is looked at again as an icon change is.
TEST_F(FinderSyncTest, TransfersShowTheirProgressAndOnlyTheyCostASecondRead) {
    attributes.set("/V/Docs/down.bin", "Status: RequireDownload\nRevision: 3\n");
    attributes.set("/V/Docs/up.bin", "Status: RequireUpload\n");
    attributes.set("/V/Docs/queued.bin", "Status: RequireDownload\nRevision: 3\n");
    attributes.set("/V/Docs/odd.bin", "Status: RequireDownload\nRevision: 3\n");
    attributes.set("/V/Docs/here.bin", kRegular);
    FakeAttributes progress;
    progress.set("/V/Docs/down.bin", "0.42");
    progress.set("/V/Docs/up.bin", "0.07");
    progress.set("/V/Docs/odd.bin", "0,42");
    progress.set("/V/Docs/here.bin", "0.50");  // left behind: the item is no longer moving
    FinderSync finder(host, suite, settings, attributes.reader(), progress.reader());

    auto lookOf = [&](const std::string& path) {
        ItemLook result;
        finder.requestItemLook(path, [&](ItemLook look) { result = look; });
        finder.waitForQueues();
        return result;
    };
    EXPECT_EQ(lookOf("/V/Docs/down.bin"), (ItemLook{badgeNames::Download, 42}));
    EXPECT_EQ(lookOf("/V/Docs/down.bin").emblem(), "tidewell-download-40");
    EXPECT_EQ(lookOf("/V/Docs/up.bin").emblem(), "tidewell-upload-0");
    // Waiting without a byte moved yet, or with a progress that cannot be read: the plain badge.
    EXPECT_EQ(lookOf("/V/Docs/queued.bin").emblem(), "tidewell-download");
    EXPECT_EQ(lookOf("/V/Docs/odd.bin").emblem(), "tidewell-download");
    const size_t reads = progress.readCount();
    EXPECT_EQ(lookOf("/V/Docs/here.bin"), (ItemLook{badgeNames::Local, std::nullopt}));
    EXPECT_EQ(lookOf("/V/Docs/here.bin").emblem(), "tidewell-local");
    EXPECT_EQ(lookOf("/V/Docs/none.bin").emblem(), "");
    EXPECT_EQ(progress.readCount(), reads) << "the progress of an item not waiting to move was read";

    finder.beginObservingDirectory("/V/Docs");
    finder.handleNotification("BrindleProgressChange", "/V/Docs/down.bin");
    finder.waitForQueues();
    ASSERT_EQ(host.badges.size(), 1u);
    EXPECT_EQ(host.badges[0], std::make_pair(std::string("/V/Docs/down.bin"), badgeNames::Download));
}

TEST_F(FinderSyncTest, ContextMenusAndTheirNotifications) {
    attributes.set("/V/Docs/p", kPlaceholder);
    attributes.set("/V/Docs/r", kRegular);
    attributes.set("/V/Docs/e", kError);
    FinderSync finder(host, suite, settings, attributes.reader());

    auto titles = [](const Menu& m) {
        std::vector<std::pair<std::string, int>> out;
        for (const auto& i : m.items) out.emplace_back(i.title, i.tag);
        return out;
    };
    using Items = std::vector<std::pair<std::string, int>>;
    auto placeholderMenu = finder.menu(MenuKind::contextualMenuForItems, {"/V/Docs/p"});
    EXPECT_EQ(placeholderMenu.title, "Tidewell");
    EXPECT_EQ(titles(placeholderMenu), (Items{{"Download", 0}}));
    EXPECT_EQ(titles(finder.menu(MenuKind::contextualMenuForItems, {"/V/Docs/r"})),
              (Items{{"Remove download", 1}}));
    const std::vector<std::string> three = {"/V/Docs/r", "/V/Docs/p", "/V/Docs/e"};
    EXPECT_EQ(titles(finder.menu(MenuKind::contextualMenuForItems, three)),
              (Items{{"Download", 0}, {"Remove download", 1}}));

    finder.handleNotification("BrindleContextMenuChange", "off");
    EXPECT_TRUE(finder.menu(MenuKind::contextualMenuForItems, {"/V/Docs/p"}).items.empty());
    EXPECT_TRUE(finder.menu(MenuKind::contextualMenuForItems, three).items.empty());
    EXPECT_EQ(titles(finder.menu(MenuKind::contextualMenuForItems, {"/V/Docs/e"})),
              (Items{{"Resolve Error", 2}}));
    finder.handleNotification("BrindleContextMenuChange", "on");
    EXPECT_FALSE(finder.disabledMenu());

    // One notification per selected item, in selection order, for each tag; unknown tags post nothing.
    finder.onClickMenuAction(0, three);
    finder.onClickMenuAction(1, {"/V/Docs/r"});
    finder.onClickMenuAction(2, {"/V/Docs/e"});
    finder.onClickMenuAction(3, three);
    finder.onClickMenuAction(-1, three);
    finder.waitForQueues();
    using Posts = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(host.posts, (Posts{{"BrindleDownload", "/V/Docs/r"},
                                 {"BrindleDownload", "/V/Docs/p"},
                                 {"BrindleDownload", "/V/Docs/e"},
                                 {"BrindleRemoveDownload", "/V/Docs/r"},
                                 {"BrindleResolveError", "/V/Docs/e"}}));
}

TEST_F(FinderSyncTest, PathsThatAreNotUtf8AreNotPostedButTheOthersAre) {
    LogLines log;
    FinderSync finder(host, suite, settings, attributes.reader());
    finder.onClickMenuAction(0, {"/V/Docs/a", "/V/Docs/bad\xFF", "/V/Docs/c"});
    finder.waitForQueues();
    using Posts = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(host.posts, (Posts{{"BrindleDownload", "/V/Docs/a"}, {"BrindleDownload", "/V/Docs/c"}}));
    EXPECT_TRUE(log.contains("not UTF-8"));
}

TEST_F(FinderSyncTest, FolderMenuOpensEveryFolderWithTheChosenTitle) {
    writeSuite(R"({"FinderWatchList": ["/Volumes/Docs", "/home/u/Work", "/home/u/old/Docs/"]})");
    FinderSync finder(host, suite, settings, attributes.reader());
    auto menu = finder.menu(MenuKind::toolbarItemMenu, {});
    EXPECT_EQ(menu.title, "Tidewell");
    std::vector<std::string> titles;
    for (const auto& i : menu.items) titles.push_back(i.title);
    EXPECT_EQ(titles, (std::vector<std::string>{"Docs", "Work", "Docs"}));

    finder.onClickOpenAction("Docs");
    EXPECT_EQ(host.opened, (std::vector<std::string>{"/Volumes/Docs", "/home/u/old/Docs/"}));
    finder.onClickOpenAction("Nothing");
    EXPECT_EQ(host.opened.size(), 2u);

    EXPECT_TRUE(finder.menu(MenuKind::contextualMenuForContainer, {"/Volumes/Docs/a"}).items.empty());
    EXPECT_TRUE(finder.menu(MenuKind::contextualMenuForSidebar, {}).items.empty());
    EXPECT_EQ(finder.toolbarItemToolTip(), "Tidewell: Click the toolbar item for a menu.");
}

TEST_F(FinderSyncTest, UnknownNotificationsAreIgnored) {
    writeSuite(R"({"FinderWatchList": ["/Volumes/Docs"]})");
    FinderSync finder(host, suite, settings, attributes.reader());
    finder.handleNotification("BrindleDownload", "/Volumes/Docs/a");  // our own post coming back
    finder.handleNotification("SomethingElse", "off");
    finder.waitForQueues();
    EXPECT_FALSE(finder.disabledOverlays());
    EXPECT_FALSE(finder.disabledMenu());
    EXPECT_EQ(host.directorySets.size(), 1u);
    EXPECT_TRUE(host.posts.empty());
}

// The real reader against real extended attributes.
TEST(FinderAttributes, ReadingTheAttribute) {
    TempDir dir;
    const std::string file = (dir / "f").string();
    ASSERT_TRUE(writeFile(file, "x"));
    auto set = [&](const std::string& value) {
        return ::setxattr(file.c_str(), "user.com.meridot.tidewell", value.data(), value.size(), 0) == 0;
    };
    if (!set(kRegular)) GTEST_SKIP() << "this file system has no user extended attributes";
    LogLines log;
    EXPECT_EQ(loadExtendedAttributes(file), kRegular);

    // Exactly the buffer fits; one byte more counts as missing, with a log line.
    std::string full = kRegular + std::string(1024 - kRegular.size(), 'x');
    ASSERT_TRUE(set(full));
    EXPECT_EQ(loadExtendedAttributes(file), full);
    ASSERT_TRUE(set(full + "x"));
    EXPECT_EQ(loadExtendedAttributes(file), std::nullopt);
    EXPECT_TRUE(log.contains("longer than 1024"));

    ASSERT_TRUE(set("Status: Regular\nRevision: \xC3\x28\n"));
    EXPECT_EQ(loadExtendedAttributes(file), std::nullopt);
    EXPECT_TRUE(log.contains("not UTF-8"));

    ASSERT_EQ(::removexattr(file.c_str(), "user.com.meridot.tidewell"), 0);
    EXPECT_EQ(loadExtendedAttributes(file), std::nullopt);
    EXPECT_EQ(loadExtendedAttributes((dir / "missing").string()), std::nullopt);

    // A path that is not UTF-8 is still just a file name to the file system.
    const std::string odd = (dir / "caf\xE9").string();
    ASSERT_TRUE(writeFile(odd, "y"));
    ASSERT_EQ(::setxattr(odd.c_str(), "user.com.meridot.tidewell", kError.data(), kError.size(), 0), 0);
    EXPECT_EQ(loadExtendedAttributes(odd), kError);
}
