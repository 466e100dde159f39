// The desktop program as a person meets it: `tidewell` without --headless, its icon in a real panel
// (xfce4-panel's status tray under Xvfb), and its menu driven the way that panel drives it, over
// StatusNotifierItem and com.canonical.dbusmenu: pause and resume, the preferences, a volume mounted
// and unmounted, quitting, and a conflict that turns the icon into "needs you" and is resolved from
// the menu's own line.
#include "panel_session.h"
#include "program_fixture.h"

namespace tw::test {
namespace {

class DesktopProgram : public Program {
protected:
    void SetUp() override {
        if (std::string absent = PanelSession::missing(); !absent.empty())
            GTEST_SKIP() << "no desktop to run on: " << absent
                         << " not installed (scripts/install-deps.sh installs them)";
        Program::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        const std::string why = panel.start(dir.path());
        ASSERT_EQ(why, "") << "xfce4-panel:\n"
                           << slurp(dir / "panel.log") << "Xvfb:\n"
                           << slurp(dir / "xvfb.log");
        ASSERT_TRUE(makeTools());
        // Qt's D-Bus layer keeps the description of every interface it called (the panel's, asked
        // whether a tray exists) for the life of the process: no leak of the program's.
        const fs::path suppressions = dir / "lsan.supp";
        std::ofstream(suppressions) << "leak:libQt6DBus.so\n";
        const char* lsan = getenv("LSAN_OPTIONS");
        setenv("LSAN_OPTIONS",
               ((lsan && *lsan ? std::string(lsan) + ":" : std::string()) +
                "suppressions=" + suppressions.string())
                   .c_str(),
               1);
    }
    void TearDown() override {
        Program::TearDown();
        panel.stop();
    }

    // The programs beside a disk-image tool that takes five seconds to eject, as a busy volume does,
    // so the menu can be asked what it shows while an unmount is under way.
    bool makeTools() {
        const fs::path tools = dir / "tools";
        fs::create_directories(tools);
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(TIDEWELL_BIN_DIR, ec)) {
            const std::string name = entry.path().filename();
            if (name == "tidewell-hdiutil" || !entry.is_regular_file() ||
                ::access(entry.path().c_str(), X_OK) != 0)
                continue;
            fs::create_symlink(entry.path(), tools / name, ec);
            if (ec) return false;
        }
        std::ofstream(tools / "tidewell-hdiutil") << "#!/bin/sh\n[ \"$1\" = eject ] && sleep 5\nexec '"
                                                  << TIDEWELL_BIN_DIR << "/tidewell-hdiutil' \"$@\"\n";
        fs::permissions(tools / "tidewell-hdiutil", fs::perms::owner_all, fs::perm_options::replace, ec);
        setenv("TIDEWELL_TOOLS_DIR", tools.c_str(), 1);
        return !ec;
    }

    // The desktop program, and its item once the panel shows it.
    void startDesktop() {
        ASSERT_TRUE(app.start({std::string(TIDEWELL_BIN_DIR) + "/tidewell"}));
        ASSERT_TRUE(eventually([&] { return tidewell({"status"}).exitCode == 0; })) << log();
        ASSERT_TRUE(eventually([&] { return panel.items().size() == 1; }))
            << "the panel shows no Tidewell item\n"
            << log();
        item = panel.item(panel.items().front());
        EXPECT_EQ(item.stringProperty("Title"), "Tidewell");
    }

    // The menu as the panel would show it now; empty (with a failure) when the item does not answer.
    MenuEntry menu() {
        auto m = item.openMenu();
        EXPECT_TRUE(m) << "the menu did not answer";
        return m.value_or(MenuEntry{});
    }
    // Clicks the first entry labelled `label` in the menu as it is now.
    bool choose(const std::string& label) {
        MenuEntry now = menu();
        const MenuEntry* entry = now.find(label);
        EXPECT_TRUE(entry) << "no \"" << label << "\" in the menu";
        return entry && item.click(entry->id);
    }
    bool toolTipBecomes(const std::string& text) {
        return eventually([&] { return item.toolTip() == text; });
    }

    PanelSession panel;
    TrayItem item;
};

TEST_F(DesktopProgram, TheTrayMenuPausesResumesOpensPreferencesMountsUnmountsAndQuits) {
    ASSERT_EQ(login(kPassword).exitCode, 0);
    startDesktop();
    ASSERT_TRUE(toolTipBecomes("Tidewell: Up to date")) << item.toolTip();
    ASSERT_TRUE(eventually([&] { return menu().find("Team") != nullptr; }, 60s)) << log();
    EXPECT_EQ(
        menu().shownLabels(),
        (std::vector<std::string>{"Downloading", "Nothing", "Uploading", "Nothing", "-", "Pause Syncing",
                                  "Volumes", "-", "Preferences…", "Online Help", "-", "Quit Tidewell"}));
    const std::string upToDate = item.iconPixels();
    EXPECT_FALSE(upToDate.empty()) << "the item offers no icon";

    // Pause: the engine stops talking to the server, the icon and the tooltip say so, and the menu
    // offers Resume in Pause's place.
    ASSERT_TRUE(choose("Pause Syncing"));
    EXPECT_TRUE(toolTipBecomes("Tidewell: Syncing is paused")) << item.toolTip();
    EXPECT_EQ(status()["serverContactAllowed"], false);
    const std::string paused = item.iconPixels();
    EXPECT_NE(paused, upToDate);
    {
        MenuEntry m = menu();
        ASSERT_TRUE(m.find("Resume Syncing"));
        EXPECT_TRUE(m.find("Resume Syncing")->visible);
        EXPECT_TRUE(m.find("Resume Syncing")->enabled);
        EXPECT_FALSE(m.find("Pause Syncing")->visible);
    }
    ASSERT_TRUE(choose("Resume Syncing"));
    EXPECT_TRUE(toolTipBecomes("Tidewell: Up to date")) << item.toolTip();
    EXPECT_EQ(status()["serverContactAllowed"], true);
    EXPECT_TRUE(eventually([&] { return item.iconPixels() == upToDate; }));

    EXPECT_TRUE(PanelSession::windowsTitled("Tidewell Preferences").empty());
    ASSERT_TRUE(choose("Preferences…"));
    EXPECT_TRUE(eventually([&] { return PanelSession::windowsTitled("Tidewell Preferences").size() == 1; }))
        << "no preferences window";

    // The volume is mounted and unmounted from its line; while the slow eject runs the menu still
    // answers at once, and says what is happening.
    const std::string folder = std::string(getenv("TIDEWELL_VOLUMES_ROOT")) + "/Team";
    {
        MenuEntry now = menu();
        ASSERT_TRUE(now.find("Team"));
        EXPECT_EQ(now.find("Team")->toggleState, 0);
    }
    ASSERT_TRUE(choose("Team"));
    ASSERT_TRUE(eventually([&] { return mounted(folder); }, 60s)) << log();
    EXPECT_TRUE(eventually([&] {
        MenuEntry now = menu();
        const MenuEntry* team = now.find("Team");
        return team && team->toggleState == 1;
    }));
    ASSERT_TRUE(choose("Team"));
    bool sawUnmounting = false;
    std::chrono::steady_clock::duration slowest{};
    EXPECT_TRUE(eventually(
        [&] {
            auto asked = std::chrono::steady_clock::now();
            MenuEntry m = menu();
            slowest = std::max(slowest, std::chrono::steady_clock::now() - asked);
            if (const MenuEntry* going = m.find("Unmounting Team…")) {
                sawUnmounting = true;
                EXPECT_FALSE(going->enabled);
            }
            const MenuEntry* team = m.find("Team");
            return !mounted(folder) && team && team->toggleState == 0 && team->enabled;
        },
        60s))
        << log();
    EXPECT_TRUE(sawUnmounting) << "the menu never showed the unmount under way";
    EXPECT_LT(slowest, 2500ms) << "the menu stopped answering while the volume was ejected";

    // Quit ends the program cleanly, and its icon leaves the panel.
    ASSERT_TRUE(choose("Quit Tidewell"));
    EXPECT_EQ(app.wait(60s), std::optional<int>(0)) << log();
    EXPECT_TRUE(eventually([&] { return panel.items().empty(); })) << "the icon stayed in the panel";
}

TEST_F(DesktopProgram, AConflictTurnsTheIconToNeedsYouAndIsResolvedFromTheMenu) {
    ASSERT_EQ(login(kPassword).exitCode, 0);
    startDesktop();
    DevServerHarness peer(dir.path());
    peer.attach(server.port());
    ASSERT_TRUE(peer.login("anna", kPassword));
    auto onServer = [&](const std::string& path) { return slurp(dir / "root" / "data" / "Team" / path); };
    auto write = [](const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    };

    const std::string team = mountVolume("Team");
    const std::string mine = team + "/report.txt";
    write(mine, "first words");
    ASSERT_TRUE(eventually([&] { return onServer("report.txt") == "first words"; }, 60s)) << log();
    ASSERT_TRUE(toolTipBecomes("Tidewell: Up to date")) << item.toolTip();
    const std::string upToDate = item.iconPixels();
    EXPECT_EQ(menu().find("1 item needs you"), nullptr);

    // A colleague changes it on the server while this machine, paused, changes it too.
    ASSERT_EQ(tidewell({"pause"}).exitCode, 0);
    auto entry = peer.get(DevServerHarness::folderUrl("/Team/report.txt"));
    ASSERT_TRUE(entry && entry->status == 200);
    auto up = peer.upload("/Team/report.txt", "the colleague's words", parseJson(entry->body)["revision"]);
    ASSERT_TRUE(up && up->status == 200) << (up ? up->body : "no answer");
    write(mine, "my words");
    ASSERT_EQ(tidewell({"resume"}).exitCode, 0);

    ASSERT_TRUE(toolTipBecomes("Tidewell: 1 item needs you")) << item.toolTip() << "\n" << log();
    EXPECT_NE(item.iconPixels(), upToDate);
    MenuEntry m = menu();
    const MenuEntry* needs = m.find("1 item needs you");
    ASSERT_TRUE(needs) << "the menu has no line for what needs the user";
    EXPECT_TRUE(needs->visible);
    EXPECT_TRUE(needs->enabled);
    EXPECT_EQ(m.shownLabels().front(), "1 item needs you");
    ASSERT_EQ(needs->children.size(), 1u);
    EXPECT_EQ(needs->children[0].label, "Resolve “report.txt”…");

    // Its line opens the conflict window; the window's default choice keeps both versions.
    ASSERT_TRUE(item.click(needs->children[0].id));
    std::vector<std::string> windows;
    ASSERT_TRUE(eventually([&] {
        windows = PanelSession::windowsTitled("Resolve Conflict – Tidewell");
        return windows.size() == 1;
    })) << "no conflict window";
    // The window shows its content before it takes keys.
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(PanelSession::type(windows[0], {"Return"}));
    EXPECT_TRUE(eventually([&] { return onServer("report (2).txt") == "my words"; }, 60s)) << log();
    EXPECT_EQ(onServer("report.txt"), "the colleague's words");
    EXPECT_EQ(slurp(team + "/report (2).txt"), "my words");
    // The colleague's version, under the old name, opens with its own content.
    EXPECT_TRUE(eventually([&] { return slurp(mine) == "the colleague's words"; }, 60s)) << log();
    EXPECT_TRUE(
        eventually([&] { return PanelSession::windowsTitled("Resolve Conflict – Tidewell").empty(); }));

    EXPECT_TRUE(toolTipBecomes("Tidewell: Up to date")) << item.toolTip();
    EXPECT_TRUE(eventually([&] { return item.iconPixels() == upToDate; }));
    EXPECT_EQ(menu().find("1 item needs you"), nullptr);
    EXPECT_EQ(tidewell({"errors"}).out, "Nothing needs you.\n");
}

}  // namespace
}  // namespace tw::test
