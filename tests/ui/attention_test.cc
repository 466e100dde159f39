// What needs the user: the list of items in error and held removals kept current from state changes,
// and the tray that counts them and opens their resolution.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/SyncFolder.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/ui/AttentionList.h"
#include "Pinewick/ui/ErrorResolutionManager.h"
#include "Pinewick/ui/StatusBar.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/notifications.h"
#include "qt_support.h"
#include "support/engine_parts.h"
#include "support/own_volumes.h"
#include "support/temp_dir.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using S = CEAStatus::keys;
using E = CEAErrorStatus::keys;
using G = CEAErrorStatus::genres;
using Attention = StatusBarManager::Attention;

void setState(const std::string& path, S state, E status = E::NoError, G genre = G::None) {
    CorvaneExtendedAttributes record(path);
    record.ceaStatus.setStatus(state);
    record.ceaErrorStatus.setStatus(status);
    record.ceaErrorStatus.setGenre(genre);
    ASSERT_TRUE(record.save()) << path;
}

std::string item(const fs::path& path, S state, E status = E::Conflict, G genre = G::Transfer) {
    EXPECT_TRUE(writeFile(path, "content"));
    setState(path.string(), state, status, genre);
    return path.string();
}

// ---- the list

// The items of a mappoint volume, as only those are synchronised.
class TeamVolume : public ::testing::Test {
protected:
    void SetUp() override {
        auto& vm = volumes.list;
        team = std::make_shared<VolumeDetail>("Team", ServerConfigurationDetails::sharedInstance());
        team->state = VolumeDetail::volumeStates::Visible;
        vm.addVolume(team);
        root = team->localFolder;
        // Other tests of this process may have left items behind in the same folder.
        fs::remove_all(root);
        fs::create_directories(root);
    }
    void TearDown() override { fs::remove_all(root); }

    TempDir dir;
    ServerEnvironment env;
    OwnVolumes volumes;
    // Tells the volume's items from those never synchronised; never resumed, so it runs nothing.
    TimeLineManager timeline{(dir / "support").string() + "/", volumes.parts(env)};
    std::shared_ptr<VolumeDetail> team;
    fs::path root;
};

class AttentionListTest : public TeamVolume {
protected:
    void make(std::chrono::milliseconds recheck = AttentionList::kRecheckInterval) {
        list = std::make_unique<AttentionList>(
            AttentionList::Sources{[this] { return std::vector<std::string>{root.string()}; },
                                   [this] {
                                       std::lock_guard lock(mutex);
                                       return held;
                                   }},
            [this](const Attention& a) {
                std::lock_guard lock(mutex);
                published.push_back(a);
            },
            recheck);
    }
    Attention settled() {
        EXPECT_TRUE(list->waitUntilSettled(10s));
        return list->attention();
    }
    size_t publications() {
        std::lock_guard lock(mutex);
        return published.size();
    }
    // Waits, while the list works on its own (timer, notifications), until `done` holds.
    bool eventually(const std::function<bool(const Attention&)>& done,
                    std::chrono::milliseconds timeout = 20s) {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (done(list->attention())) return true;
            std::this_thread::sleep_for(20ms);
        }
        return done(list->attention());
    }

    std::mutex mutex;
    std::vector<std::string> held;
    std::vector<Attention> published;
    std::unique_ptr<AttentionList> list;
};

TEST_F(AttentionListTest, AWalkFindsTheItemsInErrorAndAStateChangeCostsOneRecordNotAWalk) {
    std::string a = item(root / "a.txt", S::ErrorRegular);
    std::string b = item(root / "Plans" / "b.txt", S::ErrorPlaceHolder, E::PermissionDenied, G::Delete);
    std::string c = item(root / "c.txt", S::Regular, E::NoError, G::None);
    item(dir / "elsewhere.txt", S::ErrorRegular);
    make();
    list->rescan();
    Attention found = settled();
    EXPECT_EQ(found.itemsInError, 2u);
    EXPECT_EQ(found.items, (std::vector<std::string>{b, a}));  // path order: "Plans/" before "a.txt"
    EXPECT_EQ(found.count(), 2u);
    EXPECT_EQ(list->walks(), 1u);
    // What the command line's status counts is the same walk.
    EXPECT_EQ(AttentionList::findItemsInError({root.string()}, AttentionList::ignoredBy(timeline)),
              found.items);

    // Changes of state: one record read each, no walk.
    setState(c, S::ErrorRegular, E::QuotaExceeded, G::Transfer);
    list->itemChanged(c);
    EXPECT_EQ(settled().itemsInError, 3u);
    setState(a, S::Regular);
    list->itemChanged(a);
    EXPECT_EQ(settled().items, (std::vector<std::string>{b, c}));
    // Outside the synchronised folders an error is not the user's to resolve here.
    list->itemChanged((dir / "elsewhere.txt").string());
    EXPECT_EQ(settled().itemsInError, 2u);
    EXPECT_EQ(list->walks(), 1u);

    // Nothing changed, nothing published.
    size_t before = publications();
    list->itemChanged(c);
    settled();
    EXPECT_EQ(publications(), before);
}

TEST_F(AttentionListTest, TheMenuNamesTheFirstItemsAndCountsThemAll) {
    for (int i = 0; i < 13; ++i) item(root / ("f" + std::to_string(i + 10) + ".txt"), S::ErrorRegular);
    make();
    list->rescan();
    Attention found = settled();
    EXPECT_EQ(found.itemsInError, 13u);
    ASSERT_EQ(found.items.size(), AttentionList::kItemsListed);
    EXPECT_EQ(found.items.front(), (root / "f10.txt").string());
}

TEST_F(AttentionListTest, AnItemInErrorThatMovedOrWentIsFoundByTheRecheck) {
    std::string a = item(root / "a.txt", S::ErrorRegular);
    make(100ms);
    list->start();
    ASSERT_TRUE(eventually([&](const Attention& at) { return at.items == std::vector<std::string>{a}; }));
    // A move changes no state; the record travels with the file.
    fs::create_directories(root / "Archive");
    fs::rename(a, root / "Archive" / "a.txt");
    std::string moved = (root / "Archive" / "a.txt").string();
    EXPECT_TRUE(eventually([&](const Attention& at) { return at.items == std::vector<std::string>{moved}; }));
    EXPECT_EQ(list->walks(), 2u);
    fs::remove(moved);
    EXPECT_TRUE(eventually([&](const Attention& at) { return at.count() == 0; }));
    list->stop();
}

TEST_F(AttentionListTest, HeldRemovalsNeedTheUserUntilConfirmed) {
    make();
    list->rescan();
    EXPECT_EQ(settled().count(), 0u);
    {
        std::lock_guard lock(mutex);
        held = {(root / "Big").string()};
    }
    list->heldFoldersChanged();
    Attention now = settled();
    EXPECT_EQ(now.heldFolders, held);
    EXPECT_EQ(now.count(), 1u);
    {
        std::lock_guard lock(mutex);
        held.clear();
    }
    list->heldFoldersChanged();
    EXPECT_EQ(settled().count(), 0u);
}

TEST_F(AttentionListTest, ARecordSavedWithANewStateReachesTheListOverTheSessionBus) {
    auto probe =
        platform::observeNotifications("AttentionProbe", [](const std::string&, const std::string&) {});
    if (!probe->connected()) GTEST_SKIP() << "no session bus";
    make();
    list->start();
    ASSERT_TRUE(eventually([&](const Attention&) { return list->walks() == 1; }));
    // Only the record changes here; the list hears of it from the notification every state change
    // posts for the file manager.
    std::string a = item(root / "late.txt", S::ErrorRegular);
    EXPECT_TRUE(eventually([&](const Attention& at) { return at.items == std::vector<std::string>{a}; }));
    setState(a, S::Regular);
    EXPECT_TRUE(eventually([&](const Attention& at) { return at.count() == 0; }));
    EXPECT_EQ(list->walks(), 1u);
    list->stop();
}

// ---- the tray

class FakePresenter : public ErrorResolutionManager::Presenter {
public:
    int runAlert(const ErrorResolutionManager::Alert&) override { return 0; }
    void runConflict(const std::string& path, const CorvaneExtendedAttributes&) override {
        conflicts.push_back(path);
    }
    void runDelete(const std::string& path, const CorvaneExtendedAttributes&) override {
        deletes.push_back(path);
    }
    std::vector<std::string> conflicts, deletes;
};

class TrayAttention : public TeamVolume {
protected:
    void SetUp() override {
        TeamVolume::SetUp();
        qtApp();
        auto& state = engine.run.state;
        state.networkAvailable.storeQuietly(true);
        state.allowServerCommunication = true;
        SyncFolder::resetGuard();
    }
    void TearDown() override {
        engine.resolution.setPresenter(nullptr);
        SyncFolder::resetGuard();
        TeamVolume::TearDown();
    }
    static std::vector<std::string> texts(QMenu* menu) {
        std::vector<std::string> out;
        for (QAction* a : menu->actions()) out.push_back(a->isSeparator() ? "--" : a->text().toStdString());
        return out;
    }

    TestEngineParts engine{timeline, volumes.list};
};

TEST_F(TrayAttention, TheMenuSaysHowManyThingsNeedTheUserAndOpensTheirResolution) {
    ui::StatusBar bar(engine.parts(), false);
    auto& manager = engine.run.bar;
    ui::StatusBarMenu& menu = bar.statusBarMenu();
    EXPECT_FALSE(menu.attentionItem()->isVisible()) << "nothing needs the user yet";

    std::string report = item(root / "Report.pdf", S::ErrorRegular);
    std::string plans = item(root / "Plans", S::ErrorPlaceHolder, E::FolderNotEmpty, G::Delete);
    manager.setAttention({2, {report, plans}, {"/v/Team/Big"}});
    ASSERT_TRUE(
        waitUntil([&] { return bar.currentIcon() == StatusBarManager::icons::statusBarErrorIcon; }, 5s));
    EXPECT_EQ(bar.window()->statusLine()->text(), "3 items need you");
    for (ui::StatusBarMenu* m : {&bar.statusBarMenu(), &bar.dockBarMenu()}) {
        EXPECT_TRUE(m->attentionItem()->isVisible());
        EXPECT_EQ(m->attentionItem()->text(), "3 items need you");
        EXPECT_EQ(texts(m->attentionMenu()),
                  (std::vector<std::string>{"Resolve “Report.pdf”…", "Resolve “Plans”…", "--",
                                            "Removals held in “Big”…"}));
    }
    EXPECT_EQ(menu.menu()->actions().front(), menu.attentionItem()) << "the first line of the menu";

    // Each entry opens the resolution "Resolve Error" in the file manager would.
    FakePresenter presenter;
    engine.resolution.setPresenter(&presenter);
    menu.attentionMenu()->actions()[0]->trigger();
    menu.attentionMenu()->actions()[1]->trigger();
    ASSERT_TRUE(waitUntil([&] { return !presenter.conflicts.empty() && !presenter.deletes.empty(); }, 5s));
    EXPECT_EQ(presenter.conflicts, std::vector<std::string>{report});
    EXPECT_EQ(presenter.deletes, std::vector<std::string>{plans});

    // More than the menu names: the rest are counted and pointed at.
    std::vector<std::string> ten(10, report);
    manager.setAttention({12, ten, {}});
    ASSERT_TRUE(waitUntil([&] { return menu.attentionItem()->text() == "12 items need you"; }, 5s));
    QAction* more = menu.attentionMenu()->actions().back();
    EXPECT_EQ(more->text(), "…and 2 more: choose Resolve Error on them in the file manager");
    EXPECT_FALSE(more->isEnabled());

    manager.setAttention({1, {report}, {}});
    ASSERT_TRUE(waitUntil([&] { return menu.attentionItem()->text() == "1 item needs you"; }, 5s));
    manager.setAttention({});
    ASSERT_TRUE(waitUntil([&] { return bar.currentIcon() == StatusBarManager::icons::statusBarIcon; }, 5s));
    EXPECT_FALSE(menu.attentionItem()->isVisible());
    EXPECT_FALSE(menu.item(ui::StatusBarMenu::attentionSeparatorTagNumber)->isVisible());
}

TEST_F(TrayAttention, HeldRemovalsAreConfirmedOnlyWhenTheUserSaysSo) {
    EngineParts parts = engine.parts();
    // A listing that would empty a folder of synchronised files is held.
    fs::path folder = root / "Held";
    std::vector<std::string> names;
    for (int i = 0; i < 10; ++i) {
        names.push_back("h" + std::to_string(i));
        item(folder / names.back(), S::Regular, E::NoError, G::None);
    }
    ASSERT_FALSE(SyncFolder::compareListing(timeline.context(), folder.string(), {}, names, true));
    ASSERT_EQ(SyncFolder::foldersAwaitingConfirmation(), std::vector<std::string>{folder.string()});

    SeenAlert keep;
    answerNextAlert(&keep, "Keep Them");
    EXPECT_FALSE(ui::StatusBar::confirmHeldRemovals(folder.string(), parts));
    ASSERT_TRUE(keep.seen);
    EXPECT_EQ(keep.text, "Remove the items the server no longer lists in “Held”?");
    EXPECT_EQ(keep.defaultButton, "Keep Them");
    EXPECT_EQ(SyncFolder::foldersAwaitingConfirmation().size(), 1u);

    SeenAlert remove;
    answerNextAlert(&remove, "Remove Here Too");
    EXPECT_TRUE(ui::StatusBar::confirmHeldRemovals(folder.string(), parts));
    EXPECT_TRUE(SyncFolder::foldersAwaitingConfirmation().empty());
    for (const auto& name : names)
        EXPECT_TRUE(fs::exists(folder / name)) << "removed only by the next listing";
}

}  // namespace
}  // namespace tw::test
