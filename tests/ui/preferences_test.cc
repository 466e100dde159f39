// The preference panes against the real configuration, credentials, keychain store and the
// reference server: what each control allows, what it stores, and what the user is told.
#include "Pinewick/ui/Preferences.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <QTest>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Pinewick/config/SystemInformation.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "Pinewick/ui/DesktopEnvironment.h"
#include "Pinewick/uninstall/Outcome.h"
#include "platform/autostart.h"
#include "platform/defaults.h"
#include "platform/fd.h"
#include "platform/http.h"
#include "platform/keychain.h"
#include "platform/places.h"
#include "qt_support.h"
#include "support/client_devserver.h"
#include "support/engine_parts.h"
#include "support/log_capture.h"
#include "support/own_server.h"
#include "support/own_volumes.h"
#include "support/temp_dir.h"

namespace tw::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Options = ServerConfigurationDetails::adminButtonOptions;

const char* kPassword = "s3cret";

class PreferencesTest : public ::testing::Test {
protected:
    void SetUp() override {
        qtApp();
        keychain = platform::keychain::makeFileKeychain((dir / "credentials.json").string());
        env.keychain = keychain.get();
        auto& c = ServerConfigurationDetails::sharedInstance();
        saved = {c.server, c.user, c.contextMenu, c.dockIcon, c.iconOverlay, c.openAtLogin};
        c.server.clear();
        c.user.clear();
        c.allowUninstallApplication = c.allowUninstallData = true;
        c.changeRecoveryLocation = true;
        account.resetForTesting();
        account.passwordRequired = true;
    }
    void TearDown() override {
        auto& c = ServerConfigurationDetails::sharedInstance();
        c.server = saved.server;
        c.user = saved.user;
        c.contextMenu = saved.contextMenu;
        c.dockIcon = saved.dockIcon;
        c.iconOverlay = saved.iconOverlay;
        c.openAtLogin = saved.openAtLogin;
        if (devserverStarted) {
            EXPECT_EQ(devserver.stop(), 0) << devserver.log();
        }
    }
    void startServer() {
        ASSERT_TRUE(devserver.start(dir.path(), *keychain, account, kPassword));
        devserverStarted = true;
        platform::http::Session::shared().cookies().removeAll();
        account.passwordRequired = true;
    }
    // What the panes work on: the process-wide parts, as the engine hands them to the preferences.
    static ServerConfigurationDetails& configuration() {
        return ServerConfigurationDetails::sharedInstance();
    }
    ServerCredentials& credentials() { return account; }
    TimeLineManager& timeline() { return timeline_; }
    // Types into a field as the user does: key presses, so textEdited fires.
    static void type(QLineEdit* field, const std::string& text) {
        field->setFocus();
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, QString::fromStdString(text));
    }

    struct Saved {
        std::string server, user;
        Options contextMenu, dockIcon, iconOverlay, openAtLogin;
    } saved;
    TempDir dir;
    OwnServer own;
    ServerEnvironment& env = own.env;
    ServerCredentials& account = own.account;
    OwnVolumes volumes;
    // What a login lists; never resumed, so it runs no event.
    TimeLineManager timeline_{dir.str() + "/", volumes.parts(env)};
    // What the panes ask of the desktop; a test stands in for what would open dialogs or end the process.
    ui::DesktopEnvironment desktop = ui::builtInDesktop();
    ClientDevServer devserver;
    bool devserverStarted = false;
    std::unique_ptr<platform::keychain::Keychain> keychain;
};

// ---- login pane

TEST_F(PreferencesTest, ForcedServerAndUserAreShownAndOnlyThePasswordCanBeTyped) {
    auto& c = ServerConfigurationDetails::sharedInstance();
    c.server = "sync.example.org";
    c.user = "anna";
    ui::Authenticate pane(configuration(), credentials(), timeline());
    EXPECT_EQ(pane.server->text(), "sync.example.org");
    EXPECT_EQ(pane.userLogon->text(), "anna");
    EXPECT_FALSE(pane.server->isEnabled());
    EXPECT_FALSE(pane.userLogon->isEnabled());
    EXPECT_TRUE(pane.password->isEnabled());
    EXPECT_FALSE(pane.validateButton->isEnabled());
    type(pane.password, "x");
    EXPECT_TRUE(pane.validateButton->isEnabled());
    EXPECT_FALSE(pane.allGood->isVisible());
}

TEST_F(PreferencesTest, ValidateStaysDisabledUntilAllThreeFieldsHoldText) {
    ui::Authenticate pane(configuration(), credentials(), timeline());
    type(pane.server, "");
    type(pane.userLogon, "");
    EXPECT_FALSE(pane.validateButton->isEnabled());
    type(pane.server, "sync.example.org");
    EXPECT_FALSE(pane.validateButton->isEnabled());
    type(pane.userLogon, "anna");
    EXPECT_FALSE(pane.validateButton->isEnabled());
    type(pane.password, "pw");
    EXPECT_TRUE(pane.validateButton->isEnabled());
    type(pane.userLogon, "");
    EXPECT_FALSE(pane.validateButton->isEnabled());
    // The cursor goes to the first empty field, else to the password.
    pane.show();
    pane.updateDisplay();
    EXPECT_TRUE(waitUntil([&] { return pane.userLogon->hasFocus(); }, 2s));
}

TEST_F(PreferencesTest, AValidStoredLoginShowsPasswordValidWithEverythingDisabled) {
    account.passwordRequired = false;
    ui::Authenticate pane(configuration(), credentials(), timeline());
    pane.show();
    pane.updateDisplay();
    EXPECT_EQ(pane.password->text(), "Password Valid");
    EXPECT_EQ(pane.password->echoMode(), QLineEdit::Normal);
    EXPECT_FALSE(pane.server->isEnabled());
    EXPECT_FALSE(pane.userLogon->isEnabled());
    EXPECT_FALSE(pane.password->isEnabled());
    EXPECT_FALSE(pane.validateButton->isEnabled());
    EXPECT_TRUE(pane.allGood->isVisible());
    // Asked for a password again, the field is a password field with nothing in it.
    account.passwordRequired = true;
    pane.updateDisplay();
    EXPECT_TRUE(pane.password->text().isEmpty());
    EXPECT_EQ(pane.password->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(pane.allGood->isVisible());
}

TEST_F(PreferencesTest, AWrongPasswordShowsTheLoginErrorSheetAndLeavesTheFieldsOpen) {
    startServer();
    ui::Authenticate pane(configuration(), credentials(), timeline());
    pane.show();
    type(pane.server, devserver.hostPort);
    type(pane.userLogon, "anna");
    type(pane.password, "wrong");
    SeenAlert alert;
    answerNextAlert(&alert);
    pane.validateButton->click();
    EXPECT_FALSE(pane.validateButton->isEnabled()) << "busy while the server is asked";
    ASSERT_TRUE(waitUntil([&] { return alert.seen && pane.validateButton->isEnabled(); }));
    EXPECT_EQ(alert.text, "Tidewell Login Error");
    EXPECT_EQ(alert.informative,
              "The credentials specified are not valid for the Tidewell server. Please check and try again.");
    EXPECT_TRUE(pane.server->isEnabled());
    EXPECT_TRUE(pane.password->isEnabled());
    EXPECT_TRUE(account.passwordRequired);
}

TEST_F(PreferencesTest, AServerAnsweringGarbageIsAFailureNotALogin) {
    httplib::Server garbage;
    garbage.Get(".*", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<html>hotel wifi", "text/html");
    });
    garbage.Post(".*", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("{", "application/json");
    });
    int port = garbage.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { garbage.listen_after_bind(); });
    account.setServerProtocol("http");
    // An earlier success must not leak into this answer.
    account.errorCode = serverError::noError;
    ui::Authenticate pane(configuration(), credentials(), timeline());
    type(pane.server, "127.0.0.1:" + std::to_string(port));
    type(pane.userLogon, "anna");
    type(pane.password, "pw");
    SeenAlert alert;
    answerNextAlert(&alert);
    pane.validateButton->click();
    bool done = waitUntil([&] { return alert.seen && pane.validateButton->isEnabled(); });
    garbage.stop();
    serving.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(alert.text, "Tidewell Login Error");
    EXPECT_EQ(alert.informative,
              "The server specified is not a valid Tidewell server or the server is not "
              "responding. Please check and try again");
    std::vector<platform::keychain::Item> items;
    keychain->findItems("Tidewell", "Tidewell Server Password", items);
    EXPECT_TRUE(items.empty()) << "nothing is stored for a failed login";
}

TEST_F(PreferencesTest, ASuccessfulLoginStoresTheCredentialsAndListsEverything) {
    startServer();
    // Another account stored before goes: one account at a time.
    keychain->addItem({"old.example.org", "bob", "Tidewell", "Tidewell Server Password"}, "old");
    std::atomic<int> listings{0};
    timeline().setListingPasses(
        {[&](EventContext&) { ++listings; }, [](EventContext&, const std::string&, bool) {}});
    ui::Authenticate pane(configuration(), credentials(), timeline());
    pane.show();
    type(pane.server, devserver.hostPort);
    type(pane.userLogon, "anna");
    type(pane.password, kPassword);
    SeenAlert alert;
    answerNextAlert(&alert);
    pane.validateButton->click();
    ASSERT_TRUE(waitUntil([&] { return !account.passwordRequired && pane.allGood->isVisible(); }));
    EXPECT_FALSE(alert.seen);
    std::vector<platform::keychain::Item> items;
    ASSERT_EQ(keychain->findItems("Tidewell", "Tidewell Server Password", items),
              platform::keychain::Status::ok);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].service, devserver.hostPort);
    EXPECT_EQ(items[0].account, "anna");
    EXPECT_EQ(keychain->password(devserver.hostPort, "anna"), kPassword);
    EXPECT_EQ(account.serverName(), devserver.hostPort);
    // The listing waits in the timeline's listing queue until the run state lets it go.
    timeline().syncQueue().setSuspended(false);
    EXPECT_TRUE(waitUntil([&] { return listings.load() == 1; }));
    EXPECT_EQ(pane.password->text(), "Password Valid");
}

// ---- settings pane

TEST_F(PreferencesTest, EachBoxFollowsItsSwitchWithTheAdministratorsTooltip) {
    auto& c = ServerConfigurationDetails::sharedInstance();
    struct Row {
        Options option;
        bool enabled, ticked;
        const char* tooltip;
    } rows[] = {{Options::forceOn, false, true, "Controlled by System Administrator"},
                {Options::forceOff, false, false, "Controlled by System Administrator"},
                {Options::userDefinedOn, true, true, ""},
                {Options::userDefinedOff, true, false, ""}};
    for (const auto& row : rows) {
        c.contextMenu = c.dockIcon = c.iconOverlay = c.openAtLogin = row.option;
        ui::Settings pane(configuration(), desktop);
        for (QCheckBox* box : {pane.contextMenu, pane.dockIcon, pane.iconOverlays, pane.openAtLogin}) {
            EXPECT_EQ(box->isEnabled(), row.enabled) << box->text().toStdString();
            EXPECT_EQ(box->isChecked(), row.ticked) << box->text().toStdString();
            EXPECT_EQ(box->toolTip().toStdString(), row.tooltip) << box->text().toStdString();
        }
    }
}

TEST_F(PreferencesTest, ClickingABoxAppliesAndStoresTheUsersChoice) {
    auto& c = ServerConfigurationDetails::sharedInstance();
    c.contextMenu = c.dockIcon = c.iconOverlay = c.openAtLogin = Options::userDefinedOn;
    ui::Settings pane(configuration(), desktop);
    bool dockShown = true;
    pane.setDockIconChanged([&](bool show) { dockShown = show; });
    pane.dockIcon->click();
    EXPECT_FALSE(dockShown);
    EXPECT_FALSE(c.dockIconShown());
    EXPECT_EQ(platform::Defaults::standard().boolValue("Userdockicon"), false);
    pane.openAtLogin->click();
    EXPECT_EQ(platform::Defaults::standard().boolValue("Useropenatlogin"), false);
    EXPECT_FALSE(fs::exists(platform::loginItemPath(ServerConfigurationDetails::kLoginItemIdentifier)));
    pane.openAtLogin->click();
    EXPECT_TRUE(fs::exists(platform::loginItemPath(ServerConfigurationDetails::kLoginItemIdentifier)));
    pane.iconOverlays->click();
    EXPECT_EQ(platform::Defaults::standard().boolValue("Usericonoverlay"), false);
    pane.contextMenu->click();
    EXPECT_EQ(platform::Defaults::standard().boolValue("Usercontextmenu"), false);
    pane.dockIcon->click();
    EXPECT_TRUE(c.dockIconShown());
}

TEST_F(PreferencesTest, RecoveryFolderOutsideTheHomeFolderIsRefusedWithAnAlert) {
    auto& c = ServerConfigurationDetails::sharedInstance();
    std::string before = c.currentRecoveryFolder();
    std::string offered;
    desktop.chooseFolder = [&](QWidget*, const std::string& title,
                               const std::string&) -> std::optional<std::string> {
        offered = title;
        return std::string("/tmp");
    };
    ui::Settings pane(configuration(), desktop);
    pane.show();
    SeenAlert alert;
    answerNextAlert(&alert);
    pane.setRecoveryLocation->click();
    ASSERT_TRUE(waitUntil([&] { return alert.seen; }, 5s));
    EXPECT_EQ(offered, "Select a folder to use for recovery");
    EXPECT_EQ(alert.text, "Invalid recovery folder location");
    EXPECT_EQ(alert.informative,
              "The folder selected for recovery must be on the local drive within the users home folder.");
    EXPECT_EQ(c.currentRecoveryFolder(), before);
    EXPECT_EQ(pane.recoveryFolder->text().toStdString(),
              platform::abbreviateTilde(platform::expandTilde(before)));

    // A folder in the home folder is taken and shown in its "~" form.
    fs::create_directories(testHome() / "Rescue");
    desktop.chooseFolder = [&](QWidget*, const std::string&, const std::string&) {
        return std::optional<std::string>((testHome() / "Rescue").string());
    };
    pane.setRecoveryLocation->click();
    EXPECT_EQ(pane.recoveryFolder->text(), "~/Rescue");
    EXPECT_EQ(pane.recoveryFolder->toolTip(), "~/Rescue");
    c.storeRecoveryFolder(before);
}

TEST_F(PreferencesTest, RecoveryLocationButtonFollowsTheAdministrator) {
    auto& c = ServerConfigurationDetails::sharedInstance();
    c.changeRecoveryLocation = false;
    ui::Settings locked(configuration(), desktop);
    EXPECT_FALSE(locked.setRecoveryLocation->isEnabled());
    c.changeRecoveryLocation = true;
    ui::Settings open(configuration(), desktop);
    EXPECT_TRUE(open.setRecoveryLocation->isEnabled());
}

// ---- about pane

TEST_F(PreferencesTest, AboutShowsVersionDeviceAndNotice) {
    ui::About pane;
    EXPECT_EQ(pane.version->text().toStdString(), "Version: " + SystemInformation::productVersion());
    EXPECT_EQ(pane.deviceId->text().toStdString(), "Device Id: " + SystemInformation::deviceIdentifier());
    EXPECT_EQ(pane.copyright->text().toStdString(), SystemInformation::copyright());
}

// ---- uninstall pane

class UninstallPaneTest : public PreferencesTest {
protected:
    void SetUp() override {
        PreferencesTest::SetUp();
        tool = dir / "fake-uninstall";
        record = dir / "arguments";
        std::ofstream(tool) << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\" >> '" << record.string()
                            << "'; done\n";
        fs::permissions(tool, fs::perms::owner_all);
        auto& env = desktop;
        env.uninstallerPath = tool.string();
        env.uninstallGrace = std::chrono::milliseconds(0);
        env.shutdown = [this] { shutdowns++; };
        env.detachInLocationFolders = [this] { detaches++; };
        env.terminate = [this] { terminated = true; };
    }
    std::string recorded() const { return readFile(record); }

    fs::path tool, record;
    std::atomic<int> shutdowns{0};
    std::atomic<int> detaches{0};
    bool terminated = false;
};

TEST_F(UninstallPaneTest, ControlsAreEnabledByWhatIsTicked) {
    ui::Uninstall pane(configuration(), desktop);
    EXPECT_FALSE(pane.uninstallButton->isEnabled());
    EXPECT_FALSE(pane.optionRecover->isEnabled());
    EXPECT_FALSE(pane.optionForceDelete->isEnabled());
    pane.removeUserData->click();
    EXPECT_TRUE(pane.uninstallButton->isEnabled());
    EXPECT_TRUE(pane.optionRecover->isEnabled());
    EXPECT_TRUE(pane.optionForceDelete->isEnabled());
    pane.removeUserData->click();
    pane.removeApplication->click();
    EXPECT_TRUE(pane.uninstallButton->isEnabled());
    EXPECT_FALSE(pane.optionForceDelete->isEnabled());

    auto& c = ServerConfigurationDetails::sharedInstance();
    c.allowUninstallApplication = false;
    c.allowUninstallData = false;
    pane.refreshDisplay();
    EXPECT_FALSE(pane.removeApplication->isEnabled());
    EXPECT_FALSE(pane.removeApplication->isChecked());
    EXPECT_FALSE(pane.removeUserData->isEnabled());
    EXPECT_FALSE(pane.uninstallButton->isEnabled());
}

TEST_F(UninstallPaneTest, OnlyTheApplicationRunsTheUninstallerWithOneArgumentAndQuits) {
    ui::Uninstall pane(configuration(), desktop);
    pane.show();
    pane.removeApplication->click();
    SeenAlert told;
    answerNextAlert(&told);
    pane.uninstallButton->click();
    ASSERT_TRUE(waitUntil([&] { return terminated; }));
    EXPECT_EQ(told.text, ui::Uninstall::finishedTitle) << "the outcome is told before the application quits";
    EXPECT_EQ(recorded(), "--application\n");
    EXPECT_EQ(shutdowns.load(), 1) << "the synchronisation stops before the uninstaller runs";
    EXPECT_EQ(detaches.load(), 0) << "the data stays, so its in-location folders stay guarded";
    EXPECT_FALSE(pane.uninstallButton->isEnabled());
    EXPECT_FALSE(pane.removeApplication->isEnabled());
}

TEST_F(UninstallPaneTest, ForceDeleteAsksFirstAndCancellingRunsNothing) {
    ui::Uninstall pane(configuration(), desktop);
    pane.show();
    pane.removeApplication->click();
    pane.removeUserData->click();
    pane.optionForceDelete->click();
    EXPECT_EQ(pane.arguments(), (std::vector<std::string>{"--application", "--data:Force"}));
    SeenAlert cancel;
    answerNextAlert(&cancel, "Cancel Uninstall");
    pane.uninstallButton->click();
    ASSERT_TRUE(cancel.seen);
    EXPECT_EQ(cancel.text, "Possible Data Loss");
    EXPECT_EQ(
        cancel.informative,
        "Force deleting the local data may lead to data loss if changes have not been saved back to the "
        "Tidewell server. Are you sure you wish to force delete local files?");
    std::sort(cancel.buttons.begin(), cancel.buttons.end());
    EXPECT_EQ(cancel.buttons, (std::vector<std::string>{"Cancel Uninstall", "Force Delete"}));
    EXPECT_EQ(cancel.defaultButton, "Cancel Uninstall") << "Return must not delete anything";
    waitUntil([] { return false; }, 200ms);
    EXPECT_FALSE(fs::exists(record));
    EXPECT_EQ(shutdowns.load(), 0);

    SeenAlert force;
    answerNextAlert(&force, "Force Delete");
    pane.uninstallButton->click();
    SeenAlert outcome;
    answerNextAlert(&outcome);
    ASSERT_TRUE(waitUntil([&] { return terminated; }));
    EXPECT_TRUE(outcome.seen);
    EXPECT_EQ(recorded(), "--application\n--data:Force\n");
}

TEST_F(UninstallPaneTest, RecoveringIsTheDefaultForData) {
    ui::Uninstall pane(configuration(), desktop);
    pane.show();
    pane.removeUserData->click();
    SeenAlert told;
    answerNextAlert(&told);
    pane.uninstallButton->click();
    ASSERT_TRUE(waitUntil([&] { return terminated; }));
    EXPECT_EQ(recorded(), "--data:Recover\n");
    EXPECT_EQ(detaches.load(), 1) << "the uninstaller cannot recover what is still mounted";
}

TEST_F(UninstallPaneTest, AMissingUninstallerIsLoggedAndToldAndTheApplicationStillQuits) {
    desktop.uninstallerPath = (dir / "not-there").string();
    size_t from = logSize();
    ui::Uninstall pane(configuration(), desktop);
    pane.show();
    pane.removeApplication->click();
    SeenAlert told;
    answerNextAlert(&told);
    pane.uninstallButton->click();
    ASSERT_TRUE(waitUntil([&] { return terminated; }));
    EXPECT_TRUE(told.seen);
    EXPECT_TRUE(logContains("Uninstall application missing: " + (dir / "not-there").string(), from));
    EXPECT_TRUE(logContains("Could not complete uninstall --application", from));
}

TEST_F(UninstallPaneTest, AFailingUninstallerIsToldBeforeQuitting) {
    std::ofstream(tool) << "#!/bin/sh\nexit 3\n";
    ui::Uninstall pane(configuration(), desktop);
    pane.show();
    pane.removeApplication->click();
    SeenAlert told;
    answerNextAlert(&told);
    pane.uninstallButton->click();
    ASSERT_TRUE(waitUntil([&] { return terminated; }));
    EXPECT_TRUE(told.seen);
    EXPECT_NE(told.informative.find("status 3"), std::string::npos) << told.informative;
}

// An uninstaller that writes `report` on standard output and ends with `status`.
void writeUninstaller(const fs::path& tool, const std::string& report, int status) {
    std::ofstream(tool) << "#!/bin/sh\ncat <<'REPORT'\n" << report << "REPORT\nexit " << status << "\n";
}

TEST_F(UninstallPaneTest, WhatWasDoneAndWhereTheFilesWentAreToldAndTheFolderOpens) {
    const fs::path kept = dir / "Salvage" / "Tidewell uninstall 2024-05-01 101500";
    fs::create_directories(kept);
    writeUninstaller(tool,
                     "Removed the local copy of Team.\nTidewell no longer starts at login.\n"
                     "To remove the program itself, remove its package: sudo apt remove tidewell\n" +
                         uninstall::recoveredLine(2, kept.string()) + "\n",
                     0);
    std::vector<std::string> opened;
    desktop.openUrl = [&](const std::string& url) { opened.push_back(url); };
    ui::Uninstall pane(configuration(), desktop);
    pane.show();
    pane.removeApplication->click();
    pane.removeUserData->click();
    SeenAlert told;
    answerNextAlert(&told, ui::Uninstall::openRecoveryTitle);
    pane.uninstallButton->click();
    ASSERT_TRUE(waitUntil([&] { return terminated; }));
    EXPECT_EQ(told.text, ui::Uninstall::finishedTitle);
    for (const std::string& part : std::vector<std::string>{
             "Removed the local copy of Team.", "sudo apt remove tidewell",
             "2 files from this computer were kept in the recovery folder:\n" + kept.string()})
        EXPECT_NE(told.informative.find(part), std::string::npos) << part << " in:\n" << told.informative;
    EXPECT_EQ(told.defaultButton, "OK") << "Return only closes";
    EXPECT_EQ(opened, std::vector<std::string>{"file://" + kept.string()});
}

TEST_F(UninstallPaneTest, WhatWasLeftIsToldFirstAndTheKeptFilesAreStillNamed) {
    const fs::path kept = dir / "Salvage" / "Tidewell uninstall gone since";
    writeUninstaller(tool,
                     "Removed the stored server password.\n" + uninstall::recoveredLine(1, kept.string()) +
                         "\n" +
                         uninstall::problemLine("The volume Team was kept, because not all of its files "
                                                "could be recovered.") +
                         "\n",
                     1);
    std::vector<std::string> opened;
    desktop.openUrl = [&](const std::string& url) { opened.push_back(url); };
    size_t from = logSize();
    ui::Uninstall pane(configuration(), desktop);
    pane.show();
    pane.removeUserData->click();
    SeenAlert told;
    answerNextAlert(&told);
    pane.uninstallButton->click();
    ASSERT_TRUE(waitUntil([&] { return terminated; }));
    EXPECT_EQ(told.text, ui::Uninstall::incompleteTitle);
    EXPECT_EQ(told.informative.rfind("Not done:\n• The volume Team was kept", 0), 0u) << told.informative;
    EXPECT_NE(
        told.informative.find("1 file from this computer was kept in the recovery folder:\n" + kept.string()),
        std::string::npos)
        << told.informative;
    // A folder that is not there cannot be opened: no button for it.
    EXPECT_EQ(told.buttons, std::vector<std::string>{"OK"});
    EXPECT_TRUE(opened.empty());
    EXPECT_TRUE(logContains("Uninstall: The volume Team was kept", from));
}

TEST_F(UninstallPaneTest, TheRecoveryFolderIsShownUnderTheOptionThatUsesIt) {
    auto& c = ServerConfigurationDetails::sharedInstance();
    const std::string before = c.currentRecoveryFolder();
    ui::Uninstall pane(configuration(), desktop);
    EXPECT_EQ(pane.recoveryFolder->text().toStdString(),
              "Recovery folder: " + platform::abbreviateTilde(platform::expandTilde(before)));
    EXPECT_FALSE(pane.recoveryFolder->isEnabled());
    pane.removeUserData->click();
    EXPECT_TRUE(pane.recoveryFolder->isEnabled());
    pane.optionForceDelete->click();
    EXPECT_FALSE(pane.recoveryFolder->isEnabled()) << "deleting keeps nothing there";

    // Changed in the Settings pane meanwhile: the tab shows the new one when selected.
    ASSERT_TRUE(c.storeRecoveryFolder("~/Elsewhere/Kept"));
    pane.updateDisplay();
    EXPECT_EQ(pane.recoveryFolder->text().toStdString(), "Recovery folder: ~/Elsewhere/Kept");
    ASSERT_TRUE(c.storeRecoveryFolder(before));
}

TEST_F(PreferencesTest, TheLoginIsTabTwoAndSelectingATabUpdatesItsPane) {
    TestEngineParts engine{timeline(), volumes.list, account};
    ui::Preferences prefs(engine.parts(), desktop);
    prefs.load();
    prefs.activateTab(ui::Preferences::kLoginTab);
    EXPECT_EQ(prefs.tabView->currentWidget(), prefs.authenticate);
    EXPECT_EQ(prefs.tabView->tabText(2), "Account");
    account.passwordRequired = false;
    prefs.activateTab(ui::Preferences::kAboutTab);
    prefs.activateTab(ui::Preferences::kLoginTab);
    EXPECT_EQ(prefs.authenticate->password->text(), "Password Valid");
}

}  // namespace
}  // namespace tw::test
