// The tray icon, its menu and the no-tray window, against the real run-state manager, status state,
// volume list and settings files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Pinewick/config/ExclusionManager.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/server/IconProgress.h"
#include "Pinewick/ui/Preferences.h"
#include "Pinewick/ui/StatusBar.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/defaults.h"
#include "platform/fd.h"
#include "qt_support.h"
#include "support/engine_parts.h"
#include "support/own_volumes.h"
#include "support/temp_dir.h"

namespace tw::test {
namespace {

namespace fs = std::filesystem;
using icons = StatusBarManager::icons;
using ui::StatusBar;
using ui::StatusBarMenu;

std::string adminFile() {
    return std::string(getenv("XDG_CONFIG_DIRS")) + "/meridot/com.meridot.tidewell.json";
}

class StatusBarTest : public ::testing::Test {
protected:
    void SetUp() override {
        qtApp();
        platform::Defaults::standard().remove("Userallowservercontact");
        fs::remove(adminFile());
        ServerConfigurationDetails::sharedInstance().readConfig();
        auto& state = engine.run.state;
        state.networkAvailable.storeQuietly(true);
        state.allowServerCommunication = true;
    }
    void TearDown() override {
        fs::remove(adminFile());
        ServerConfigurationDetails::sharedInstance().readConfig();
    }
    // Sets the run state as the engine would and waits until the icon shows `expected`.
    bool showsAfter(StatusBar& bar, icons expected, const std::function<void()>& change) {
        change();
        engine.run.state.triggerChanges();
        return waitUntil([&] { return bar.currentIcon() == expected; }, std::chrono::seconds(5));
    }

    OwnVolumes volumes;
    TempDir support;
    ServerEnvironment env;
    // What the run state pauses and resumes; it has no events to run.
    TimeLineManager timeline{support.str() + "/", volumes.parts(env)};
    TestEngineParts engine{timeline, volumes.list};
};

TEST_F(StatusBarTest, IconFollowsTheFirstRuleThatApplies) {
    StatusBar bar(engine.parts(), false);
    auto& state = engine.run.state;
    auto& manager = engine.run.bar;
    // No network wins over a pause, a pause over an error, an error over activity.
    EXPECT_TRUE(showsAfter(bar, icons::statusBarNoNetworkIcon, [&] {
        state.networkAvailable.storeQuietly(false);
        state.allowServerCommunication = false;
        manager.setErrorState(true);
        manager.updateUploadActive("/x/a.txt");
    }));
    EXPECT_EQ(bar.window()->statusLine()->text(), "Waiting for the network");
    EXPECT_TRUE(
        showsAfter(bar, icons::statusBarPauseIcon, [&] { state.networkAvailable.storeQuietly(true); }));
    EXPECT_TRUE(showsAfter(bar, icons::statusBarErrorIcon, [&] { state.allowServerCommunication = true; }));
    EXPECT_TRUE(showsAfter(bar, icons::statusBarBusyIcon, [&] { manager.setErrorState(false); }));
    EXPECT_TRUE(showsAfter(bar, icons::statusBarIcon, [&] { manager.updateUploadActive(std::nullopt); }));
    EXPECT_EQ(bar.window()->statusLine()->text(), "Up to date");
    // Every state has its own picture, from the icons built into the program.
    for (auto icon : {icons::statusBarIcon, icons::statusBarPauseIcon, icons::statusBarErrorIcon,
                      icons::statusBarBusyIcon, icons::statusBarNoNetworkIcon})
        EXPECT_FALSE(ui::statusIcon(icon).pixmap(22, 22).isNull()) << ui::statusIconName(icon);
    EXPECT_FALSE(ui::applicationIcon().pixmap(64, 64).isNull());
}

TEST_F(StatusBarTest, PausingDuringADownloadShowsThePauseIconAndIsKeptForTheNextStart) {
    StatusBar bar(engine.parts(), false);
    auto& manager = engine.run.bar;
    ASSERT_TRUE(
        showsAfter(bar, icons::statusBarBusyIcon, [&] { manager.updateDownloadActive("/v/Team/Big.iso"); }));
    StatusBarMenu& menu = bar.statusBarMenu();
    menu.validateMenu();
    ASSERT_TRUE(menu.item(StatusBarMenu::pauseTagNumber)->isVisible());
    EXPECT_FALSE(menu.item(StatusBarMenu::resumeTagNumber)->isVisible());
    menu.item(StatusBarMenu::pauseTagNumber)->trigger();
    EXPECT_TRUE(
        waitUntil([&] { return bar.currentIcon() == icons::statusBarPauseIcon; }, std::chrono::seconds(5)));
    EXPECT_FALSE(engine.run.state.allowServerCommunication);
    EXPECT_FALSE(menu.item(StatusBarMenu::pauseTagNumber)->isVisible());
    EXPECT_TRUE(menu.item(StatusBarMenu::resumeTagNumber)->isVisible());
    EXPECT_EQ(platform::Defaults::standard().boolValue("Userallowservercontact"), false);

    // The next start, without an administrator value, begins paused.
    ExclusionManager exclusions;
    ServerConfigurationDetails next(exclusions);
    bool allowed = true;
    ServerConfigurationDetails::Hooks hooks;
    hooks.setAllowServerCommunication = [&](bool allow) { allowed = allow; };
    next.loadState(hooks);
    EXPECT_EQ(next.allowServerContact, ServerConfigurationDetails::adminButtonOptions::userDefinedOff);
    EXPECT_FALSE(allowed);

    menu.item(StatusBarMenu::resumeTagNumber)->trigger();
    EXPECT_TRUE(
        waitUntil([&] { return bar.currentIcon() == icons::statusBarBusyIcon; }, std::chrono::seconds(5)));
    EXPECT_EQ(platform::Defaults::standard().boolValue("Userallowservercontact"), true);
}

TEST_F(StatusBarTest, ServerContactForcedByTheAdministratorDisablesPauseAndResume) {
    fs::create_directories(fs::path(adminFile()).parent_path());
    ASSERT_TRUE(platform::writeFileAtomically(adminFile(), R"({"allowservercontact": true})"));
    ServerConfigurationDetails::sharedInstance().readConfig();
    StatusBar bar(engine.parts(), false);
    StatusBarMenu& menu = bar.statusBarMenu();
    menu.validateMenu();
    EXPECT_FALSE(menu.item(StatusBarMenu::pauseTagNumber)->isEnabled());
    EXPECT_FALSE(menu.item(StatusBarMenu::resumeTagNumber)->isEnabled());
    EXPECT_EQ(menu.item(StatusBarMenu::pauseTagNumber)->toolTip(), "Controlled by System Administrator");
    // Not even a direct call gets past the administrator, and nothing is stored.
    EXPECT_FALSE(menu.flipConnection(true));
    EXPECT_TRUE(engine.run.state.allowServerCommunication);
    EXPECT_FALSE(platform::Defaults::standard().userObject("Userallowservercontact").has_value());
}

TEST_F(StatusBarTest, VolumeSubmenuFollowsTheVolumeList) {
    StatusBar bar(engine.parts(), false);
    StatusBarMenu& menu = bar.statusBarMenu();
    menu.refreshVolumeMenu();
    EXPECT_FALSE(menu.shareMenuItem()->isVisible()) << "an empty list hides the sub-menu";

    auto& vm = volumes.list;
    auto team = std::make_shared<VolumeDetail>("Team", ServerConfigurationDetails::sharedInstance());
    team->state = VolumeDetail::volumeStates::Visible;
    fs::create_directories(team->localFolder);
    auto away = std::make_shared<VolumeDetail>("Away", ServerConfigurationDetails::sharedInstance());
    away->state = VolumeDetail::volumeStates::Hidden;
    away->available = false;
    auto spare = std::make_shared<VolumeDetail>("Spare", ServerConfigurationDetails::sharedInstance());
    spare->state = VolumeDetail::volumeStates::Hidden;
    vm.addVolume(team);
    vm.addVolume(away);
    vm.addVolume(spare);
    menu.refreshVolumeMenu();
    ASSERT_TRUE(menu.shareMenuItem()->isVisible());
    auto items = menu.shareMenu()->actions();
    ASSERT_EQ(items.size(), 3);
    std::map<std::string, QAction*> byName;
    for (QAction* a : items) {
        EXPECT_EQ(a->data().toInt(), StatusBarMenu::volumeTagNumber);
        byName[a->text().toStdString()] = a;
    }
    // Mounted: ticked; not mounted but available: unticked and enabled; unavailable: disabled.
    EXPECT_TRUE(byName["Team"]->isChecked());
    EXPECT_TRUE(byName["Team"]->isEnabled());
    EXPECT_FALSE(byName["Spare"]->isChecked());
    EXPECT_TRUE(byName["Spare"]->isEnabled());
    EXPECT_FALSE(byName["Away"]->isChecked());
    EXPECT_FALSE(byName["Away"]->isEnabled());
    // A volume that vanished from the list shows unticked and disabled until the menu is rebuilt.
    volumes.list.clear();
    menu.validateMenuItem(byName["Team"]);
    EXPECT_FALSE(byName["Team"]->isEnabled());
    menu.refreshVolumeMenu();
    EXPECT_FALSE(menu.shareMenuItem()->isVisible());
}

TEST_F(StatusBarTest, TransferLinesShowTheFileAndNothingAtTheEnd) {
    StatusBar bar(engine.parts(), false);
    auto& manager = engine.run.bar;
    QAction* line = bar.statusBarMenu().ssDownloadFile();
    EXPECT_EQ(line->text(), "Nothing");
    EXPECT_FALSE(line->isEnabled());
    manager.updateDownloadActive("/v/Team/Quarterly Report.pdf");
    ASSERT_TRUE(waitUntil([&] { return line->text() == "Quarterly Report"; }, std::chrono::seconds(5)));
    EXPECT_TRUE(line->isEnabled());
    manager.updateUploadActive("/v/Team/notes");
    ASSERT_TRUE(waitUntil([&] { return bar.statusBarMenu().ssUploadFile()->text() == "notes"; },
                          std::chrono::seconds(5)));
    manager.updateDownloadActive(std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return line->text() == "Nothing"; }, std::chrono::seconds(5)));
    EXPECT_FALSE(line->isEnabled());
    EXPECT_TRUE(bar.statusBarMenu().ssUploadFile()->isEnabled());
}

// The tray asks the desktop it was handed: a transfer line shows its file, and the help (in the window's
// menu too) opens the user guide.
TEST_F(StatusBarTest, TransferLinesAndHelpGoToTheDesktopTheTrayWasHanded) {
    std::vector<std::string> revealed, opened;
    auto desktop = ui::builtInDesktop();
    desktop.revealFile = [&](const std::string& path) { revealed.push_back(path); };
    desktop.openUrl = [&](const std::string& url) { opened.push_back(url); };
    StatusBar bar(engine.parts(), false, desktop);
    auto& manager = engine.run.bar;
    bar.statusBarMenu().ssDownloadFile()->trigger();
    EXPECT_TRUE(revealed.empty()) << "no transfer, nothing to show";
    manager.updateDownloadActive("/v/Team/Quarterly Report.pdf");
    manager.updateUploadActive("/v/Team/notes");
    ASSERT_TRUE(waitUntil(
        [&] {
            return bar.statusBarMenu().ssDownloadFile()->text() == "Quarterly Report" &&
                   bar.statusBarMenu().ssUploadFile()->text() == "notes";
        },
        std::chrono::seconds(5)));
    bar.statusBarMenu().ssDownloadFile()->trigger();
    bar.statusBarMenu().ssUploadFile()->trigger();
    EXPECT_EQ(revealed, (std::vector<std::string>{"/v/Team/Quarterly Report.pdf", "/v/Team/notes"}));
    for (auto* menu : {&bar.statusBarMenu(), &bar.dockBarMenu()})
        for (QAction* action : menu->menu()->actions())
            if (action->text() == "Online Help") action->trigger();
    EXPECT_EQ(opened, (std::vector<std::string>{ui::onlineHelpUrl(), ui::onlineHelpUrl()}));
    manager.updateDownloadActive(std::nullopt);
    manager.updateUploadActive(std::nullopt);
}

// Once bytes move, the menu's line and the window's status line say how far the transfer is, and the
// words go when it ends.
TEST_F(StatusBarTest, TransferLinesShowHowFarTheTransferIs) {
    StatusBar bar(engine.parts(), false);
    auto& manager = engine.run.bar;
    QAction* line = bar.statusBarMenu().ssDownloadFile();
    QLabel* detail = bar.window()->detailLine();
    manager.updateDownloadActive("/v/Team/Quarterly Report.pdf");
    ASSERT_TRUE(waitUntil([&] { return line->text() == "Quarterly Report"; }, std::chrono::seconds(5)));
    ServerEnvironment env;  // where a shown bar would keep the file's creation date
    {
        IconProgress progress(env.itemRecords(), "/v/Team/Quarterly Report.pdf", 12'300'000);
        std::this_thread::sleep_for(Transfers::kReportInterval);
        progress.setTransfered(5'535'000);
        EXPECT_TRUE(waitUntil([&] { return line->text() == "Quarterly Report — 45 % of 12.3 MB"; },
                              std::chrono::seconds(5)))
            << line->text().toStdString();
        EXPECT_TRUE(
            waitUntil([&] { return detail->text() == "Downloading Quarterly Report.pdf — 45 % of 12.3 MB"; },
                      std::chrono::seconds(5)))
            << detail->text().toStdString();
        // Another file's progress is not this line's.
        IconProgress other(env.itemRecords(), "/v/Team/other.bin", 1000, TransferProgress::Direction::upload);
        manager.updateUploadActive("/v/Team/notes");
        ASSERT_TRUE(waitUntil([&] { return bar.statusBarMenu().ssUploadFile()->text() == "notes"; },
                              std::chrono::seconds(5)));
    }
    EXPECT_TRUE(waitUntil([&] { return line->text() == "Quarterly Report"; }, std::chrono::seconds(5)));
    manager.updateDownloadActive(std::nullopt);
    // Uploads side by side: the window names the one running longest and counts the others.
    manager.uploadStarted("/v/Team/a.txt");
    manager.uploadStarted("/v/Team/b.txt");
    EXPECT_TRUE(waitUntil([&] { return detail->text() == "Uploading notes · 2 more uploading"; },
                          std::chrono::seconds(5)))
        << detail->text().toStdString();
    manager.uploadEnded("/v/Team/notes");
    EXPECT_TRUE(waitUntil([&] { return detail->text() == "Uploading a.txt · 1 more uploading"; },
                          std::chrono::seconds(5)))
        << detail->text().toStdString();
    manager.uploadEnded("/v/Team/a.txt");
    manager.uploadEnded("/v/Team/b.txt");
    EXPECT_TRUE(
        waitUntil([&] { return detail->text() == "Nothing is being transferred"; }, std::chrono::seconds(5)));
}

TEST_F(StatusBarTest, WindowMenuBesideATrayLeavesOutTheTaggedItems) {
    StatusBar bar(engine.parts(), true);
    for (int tag : {1000, 1001, 1002, 1010, 1011}) {
        EXPECT_EQ(bar.dockBarMenu().item(tag), nullptr) << tag;
        EXPECT_NE(bar.statusBarMenu().item(tag), nullptr) << tag;
    }
    EXPECT_EQ(bar.window()->menuButton()->menu(), bar.dockBarMenu().menu());
    // The "dock icon" switch shows and hides the window while a tray exists.
    bar.applyDockIcon(false);
    EXPECT_FALSE(bar.window()->isVisible());
    bar.applyDockIcon(true);
    EXPECT_TRUE(bar.window()->isVisible());
}

TEST_F(StatusBarTest, WithoutATrayTheWindowCarriesTheWholeMenuWhateverTheSwitch) {
    StatusBar bar(engine.parts(), false);
    EXPECT_EQ(bar.window()->menuButton()->menu(), bar.statusBarMenu().menu());
    bar.applyDockIcon(false);
    EXPECT_TRUE(bar.window()->isVisible());
    // Closing the only window would leave the menu out of reach: it is minimised instead.
    bar.window()->close();
    EXPECT_TRUE(bar.window()->isVisible());
}

TEST_F(StatusBarTest, QuitEndsTheLoopEvenThoughTheStatusWindowRefusesToClose) {
    StatusBar bar(engine.parts(), false);
    ASSERT_TRUE(bar.window()->isVisible());
    bool timedOut = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        timedOut = true;
        QCoreApplication::exit(1);
    });
    watchdog.start(10000);
    // What "Quit Tidewell" does.
    QTimer::singleShot(0, [&bar] { bar.statusBarMenu().menu()->actions().back()->trigger(); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(timedOut);
}

TEST_F(StatusBarTest, RequestingCredentialsOpensTheLoginTab) {
    StatusBar bar(engine.parts(), false);
    std::thread([&bar] { bar.requestCredentials(); }).join();
    ASSERT_TRUE(waitUntil([&] { return bar.preferences() && bar.preferences()->isVisible(); },
                          std::chrono::seconds(5)));
    EXPECT_EQ(bar.preferences()->tabView->currentIndex(), 2);
    EXPECT_EQ(bar.preferences()->tabView->currentWidget(), bar.preferences()->authenticate);
}

// An eject can take seconds (a busy volume, a slow watcher); the menu that asked for it must stay
// usable meanwhile and say what is going on.
TEST_F(StatusBarTest, UnmountingFromTheMenuRunsBesideTheInterfaceAndShowsItInProgress) {
    // Something the system has mounted stands for the mounted volume; only the eject tool touches it,
    // and that is the test's own.
    std::string mounted;
    struct stat root {};
    ASSERT_EQ(::stat("/", &root), 0);
    for (const char* candidate : {"/proc", "/sys", "/dev"}) {
        struct stat st {};
        if (::stat(candidate, &st) == 0 && st.st_dev != root.st_dev) {
            mounted = candidate;
            break;
        }
    }
    if (mounted.empty()) GTEST_SKIP() << "no separately mounted folder to stand for a mounted volume";
    TempDir dir;
    const fs::path tools = dir / "tools", ejects = dir / "ejects", release = dir / "release";
    fs::create_directories(tools);
    // Holds the eject until the test lets it go (at most 30 s, so a failing test cannot hang).
    std::ofstream(tools / "tidewell-hdiutil")
        << "#!/bin/sh\necho \"$@\" >> '" << ejects.string() << "'\ni=0\nwhile [ ! -e '" << release.string()
        << "' ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done\n";
    fs::permissions(tools / "tidewell-hdiutil", fs::perms::owner_all);
    const char* previousTools = getenv("TIDEWELL_TOOLS_DIR");
    const std::string restoreTools = previousTools ? previousTools : "";
    setenv("TIDEWELL_TOOLS_DIR", tools.c_str(), 1);

    auto volume = std::make_shared<VolumeDetail>("Unmountable", ServerConfigurationDetails::sharedInstance());
    volume->state = VolumeDetail::volumeStates::Visible;
    volume->localFolder = mounted;
    volumes.list.addVolume(volume);
    StatusBar bar(engine.parts(), false);
    StatusBarMenu& menu = bar.statusBarMenu();
    menu.refreshVolumeMenu();
    ASSERT_EQ(menu.shareMenu()->actions().size(), 1);
    QAction* item = menu.shareMenu()->actions().front();
    ASSERT_TRUE(item->isChecked());

    const auto clicked = std::chrono::steady_clock::now();
    item->trigger();
    EXPECT_LT(std::chrono::steady_clock::now() - clicked, std::chrono::seconds(2))
        << "the click waited for the eject";
    ASSERT_TRUE(waitUntil([&] { return fs::exists(ejects); }, std::chrono::seconds(10)));
    // While the eject runs the interface thread goes on: its queue runs, and both menus say why the
    // volume cannot be chosen, even when rebuilt as they are each time they open.
    bool ran = false;
    platform::MainQueue::shared().async([&] { ran = true; });
    EXPECT_TRUE(waitUntil([&] { return ran; }, std::chrono::seconds(5)));
    EXPECT_EQ(item->text().toStdString(), "Unmounting Unmountable…");
    EXPECT_FALSE(item->isEnabled());
    bar.dockBarMenu().refreshVolumeMenu();
    QAction* other = bar.dockBarMenu().shareMenu()->actions().front();
    EXPECT_EQ(other->text().toStdString(), "Unmounting Unmountable…");
    EXPECT_FALSE(other->isEnabled());
    EXPECT_EQ(volume->state, VolumeDetail::volumeStates::Visible) << "not hidden before it is unmounted";
    menu.unmountVolume("Unmountable");  // a second request while the first runs adds nothing

    ASSERT_TRUE(writeFile(release, ""));
    ASSERT_TRUE(
        waitUntil([] { return !StatusBarMenu::isUnmounting("Unmountable"); }, std::chrono::seconds(30)));
    EXPECT_EQ(readFile(ejects), "eject " + mounted + "\n");
    EXPECT_EQ(volume->state, VolumeDetail::volumeStates::Hidden);
    // Both menus are rebuilt with the volume back under its own name.
    for (StatusBarMenu* m : {&menu, &bar.dockBarMenu()}) {
        ASSERT_EQ(m->shareMenu()->actions().size(), 1);
        QAction* back = m->shareMenu()->actions().front();
        EXPECT_EQ(back->text().toStdString(), "Unmountable");
        EXPECT_TRUE(back->isEnabled());
    }

    if (previousTools)
        setenv("TIDEWELL_TOOLS_DIR", restoreTools.c_str(), 1);
    else
        unsetenv("TIDEWELL_TOOLS_DIR");
    platform::Defaults::standard().remove("Unmountable");
}

}  // namespace
}  // namespace tw::test

// Qt, fontconfig and the platform plugins keep caches for the life of the process; they are not leaks
// of ours, and LeakSanitizer would otherwise fail every run at exit.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\nleak:libQt6\nleak:libglib\nleak:libgobject\nleak:libdbus\nleak:qoffscreen\n"
           "leak:libxkbcommon\nleak:libfreetype\n";
}
