// The administrator configuration: what each key does, what a missing or ill-formed key leaves, and
// what loading the configuration applies (login item, dock icon, server permission, file-manager
// notifications, in-location mapping, exclusion rules).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <thread>

#include "Pinewick/config/ExclusionManager.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "platform/autostart.h"
#include "platform/dispatch.h"
#include "platform/notifications.h"
#include "platform/places.h"
#include "platform/process.h"
#include "support/log_capture.h"
#include "support/private_bus.h"

using namespace std::chrono_literals;
using nlohmann::json;
using tw::ExclusionManager;
using tw::ServerConfigurationDetails;
using tw::test::logContains;
using tw::test::logSize;
using tw::test::readFile;
using tw::test::writeFile;
using Option = ServerConfigurationDetails::adminButtonOptions;
using Pairs = std::vector<std::pair<std::string, std::string>>;
namespace fs = std::filesystem;

namespace {

fs::path adminFile() {
    return tw::test::testHome() / "xdg/meridot/com.meridot.tidewell.json";
}
fs::path userFile() {
    return fs::path(tw::platform::configHome()) / "meridot/com.meridot.tidewell.json";
}
std::string home() {
    return tw::platform::homeFolder();
}

// What the hooks were handed.
struct HookLog {
    std::mutex mutex;
    std::vector<Pairs> mappings;
    std::vector<bool> allow;
    std::pair<std::string, std::string> credentials;

    ServerConfigurationDetails::Hooks hooks() {
        ServerConfigurationDetails::Hooks h;
        h.storedCredentials = [this] {
            std::lock_guard l(mutex);
            return credentials;
        };
        h.resolveInLocation = [this](const Pairs& p) {
            std::lock_guard l(mutex);
            mappings.push_back(p);
        };
        h.setAllowServerCommunication = [this](bool a) {
            std::lock_guard l(mutex);
            allow.push_back(a);
        };
        return h;
    }
};

class Configuration : public ::testing::Test {
protected:
    void SetUp() override {
        std::error_code ec;
        fs::remove(adminFile(), ec);
        fs::remove(userFile(), ec);
        fs::remove(tw::platform::loginItemPath(ServerConfigurationDetails::kLoginItemIdentifier), ec);
    }
    void admin(const json& j) { ASSERT_TRUE(writeFile(adminFile(), j.dump())); }
    void user(const json& j) { ASSERT_TRUE(writeFile(userFile(), j.dump())); }
    // A configuration read fresh, as at start-up.
    std::unique_ptr<ServerConfigurationDetails> read() {
        auto c = std::make_unique<ServerConfigurationDetails>(exclusions);
        c->readConfig(hooks.hooks());
        return c;
    }
    HookLog hooks;
    // Where the configurations this test reads put the administrator's exclusion rules.
    ExclusionManager exclusions;
};

// Collects notifications of the given names; waits with a time-out so a lost one fails the test.
struct Seen {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> items;
    tw::platform::Semaphore arrived;
    std::vector<std::unique_ptr<tw::platform::NotificationObserver>> observers;

    bool observe(const std::vector<std::string>& names) {
        for (const auto& name : names) {
            observers.push_back(
                tw::platform::observeNotifications(name, [this](const std::string& n, const std::string& o) {
                    {
                        std::lock_guard l(mutex);
                        items.emplace_back(n, o);
                    }
                    arrived.signal();
                }));
            if (!observers.back()->connected()) return false;
        }
        return true;
    }
    std::vector<std::pair<std::string, std::string>> waitFor(size_t count) {
        for (;;) {
            {
                std::lock_guard l(mutex);
                if (items.size() >= count) return sorted();
            }
            if (!arrived.waitFor(10s)) break;
        }
        std::lock_guard l(mutex);
        return sorted();
    }
    // Each name has its own observer and thread, so only the set of what arrived is defined.
    std::vector<std::pair<std::string, std::string>> sorted() {
        auto out = items;
        std::sort(out.begin(), out.end());
        return out;
    }
};

#define REQUIRE_PRIVATE_BUS()                  \
    if (!tw::test::PrivateSessionBus::start()) \
    GTEST_SKIP() << "dbus-daemon could not be started for a private session bus"

std::string execLineOf(const std::string& entry) {
    auto at = entry.find("\nExec=");
    if (at == std::string::npos) return "";
    at += 6;
    return entry.substr(at, entry.find('\n', at) - at);
}

}  // namespace

// --- Names and helpers ------------------------------------------------------------------------

TEST(ConfigurationNames, SwitchKeysAndOptionPredicates) {
    using B = ServerConfigurationDetails::buttonNames;
    EXPECT_EQ(ServerConfigurationDetails::rawValue(B::dockicon), "dockicon");
    EXPECT_EQ(ServerConfigurationDetails::rawValue(B::iconoverlay), "iconoverlay");
    EXPECT_EQ(ServerConfigurationDetails::rawValue(B::openatlogin), "openatlogin");
    EXPECT_EQ(ServerConfigurationDetails::rawValue(B::contextmenu), "contextmenu");
    EXPECT_EQ(ServerConfigurationDetails::rawValue(B::changerecoveryfolder), "changerecoveryfolder");
    EXPECT_EQ(ServerConfigurationDetails::rawValue(B::allowservercontact), "allowservercontact");
    EXPECT_TRUE(ServerConfigurationDetails::isOn(Option::forceOn));
    EXPECT_TRUE(ServerConfigurationDetails::isOn(Option::userDefinedOn));
    EXPECT_FALSE(ServerConfigurationDetails::isOn(Option::forceOff));
    EXPECT_FALSE(ServerConfigurationDetails::isOn(Option::userDefinedOff));
    EXPECT_TRUE(ServerConfigurationDetails::isForced(Option::forceOff));
    EXPECT_FALSE(ServerConfigurationDetails::isForced(Option::userDefinedOn));
}

// --- Nothing configured -----------------------------------------------------------------------

TEST_F(Configuration, NothingConfiguredGivesTheInitialValuesAndTheDefaultMapping) {
    auto c = read();
    for (Option o : {c->contextMenu, c->dockIcon, c->iconOverlay, c->openAtLogin, c->allowServerContact})
        EXPECT_EQ(o, Option::userDefinedOn);
    EXPECT_TRUE(c->allowUninstallApplication);
    EXPECT_TRUE(c->allowUninstallData);
    EXPECT_TRUE(c->changeRecoveryLocation);
    EXPECT_EQ(c->server, "");
    EXPECT_EQ(c->user, "");
    EXPECT_EQ(c->paywallDetectURL, "");
    EXPECT_EQ(c->recoveryFolder, home() + "/Tidewell/Salvage");
    EXPECT_EQ(c->supportFolder, tw::platform::dataHome() + "/Tidewell/");
    EXPECT_TRUE(fs::is_directory(c->supportFolder));
    // The default recovery folder is neither validated nor created here.
    EXPECT_FALSE(fs::exists(c->recoveryFolder));
    EXPECT_EQ(c->inLocationMapping(), (Pairs{{"~/Tidewell", "/home"}}));
    ASSERT_EQ(hooks.mappings.size(), 1u);
    EXPECT_EQ(hooks.mappings[0], (Pairs{{"~/Tidewell", "/home"}}));
}

TEST_F(Configuration, NothingConfiguredLoadsEverythingOn) {
    REQUIRE_PRIVATE_BUS();
    Seen seen;
    ASSERT_TRUE(seen.observe({"BrindleOverlayIconChange", "BrindleContextMenuChange"}));
    auto c = std::make_unique<ServerConfigurationDetails>(exclusions);
    c->loadState(hooks.hooks());

    EXPECT_TRUE(c->dockIconShown());
    EXPECT_EQ(hooks.allow, std::vector<bool>{true});
    std::string entry = readFile(tw::platform::loginItemPath("com.meridot.tidewell.Riseling"));
    EXPECT_EQ(execLineOf(entry), tw::platform::desktopExecArgument(tw::platform::toolPath("riseling")));
    auto items = seen.waitFor(2);
    EXPECT_EQ(items, (Pairs{{"BrindleContextMenuChange", "on"}, {"BrindleOverlayIconChange", "on"}}));
}

// --- Switches ---------------------------------------------------------------------------------

TEST_F(Configuration, AForcedOffDockIconIsForcedAndHidden) {
    admin({{"dockicon", false}});
    auto c = std::make_unique<ServerConfigurationDetails>(exclusions);
    c->loadState({});
    EXPECT_EQ(c->dockIcon, Option::forceOff);
    EXPECT_TRUE(ServerConfigurationDetails::isForced(c->dockIcon));
    EXPECT_FALSE(c->dockIconShown());
}

TEST_F(Configuration, TheUsersChoiceAppliesWhenTheAdministratorSetsNothing) {
    user({{"Userdockicon", false}, {"Usericonoverlay", 0}, {"Usercontextmenu", 1}});
    auto c = read();
    EXPECT_EQ(c->dockIcon, Option::userDefinedOff);
    EXPECT_FALSE(ServerConfigurationDetails::isForced(c->dockIcon));
    EXPECT_EQ(c->iconOverlay, Option::userDefinedOff);
    EXPECT_EQ(c->contextMenu, Option::userDefinedOn);
    EXPECT_EQ(c->openAtLogin, Option::userDefinedOn);
}

TEST_F(Configuration, ASwitchHoldingAStringCountsAsAbsent) {
    admin({{"dockicon", "false"}, {"openatlogin", json::array({false})}, {"contextmenu", nullptr}});
    user({{"Userdockicon", false}});
    auto c = read();
    EXPECT_EQ(c->dockIcon, Option::userDefinedOff);
    EXPECT_EQ(c->openAtLogin, Option::userDefinedOn);
    EXPECT_EQ(c->contextMenu, Option::userDefinedOn);
}

TEST_F(Configuration, TheAdministratorsFileOverridesTheUsersFile) {
    user({{"dockicon", true},
          {"server", "user.example"},
          {"allowservercontact", true},
          {"paywalldetecturl", "u"}});
    admin({{"dockicon", false},
           {"server", "admin.example"},
           {"allowservercontact", 0},
           {"paywalldetecturl", "http://probe.example/"}});
    auto c = read();
    EXPECT_EQ(c->dockIcon, Option::forceOff);
    EXPECT_EQ(c->allowServerContact, Option::forceOff);
    EXPECT_EQ(c->server, "admin.example");
    EXPECT_EQ(c->paywallDetectURL, "http://probe.example/");
}

TEST_F(Configuration, PlainBooleansAndNumbers) {
    admin({{"changerecoveryfolder", 0},
           {"allowuninstalldata", false},
           {"allowuninstallapplication", 2.5},
           {"iconoverlay", 1}});
    auto c = read();
    EXPECT_FALSE(c->changeRecoveryLocation);
    EXPECT_FALSE(c->allowUninstallData);
    EXPECT_TRUE(c->allowUninstallApplication);
    EXPECT_EQ(c->iconOverlay, Option::forceOn);
}

TEST_F(Configuration, ValuesOfTheWrongKindAreIgnored) {
    admin({{"changerecoveryfolder", "no"},
           {"allowuninstalldata", json::object()},
           {"server", 5},
           {"user", json::array({"x"})},
           {"paywalldetecturl", true},
           {"recoveryfolder", 3},
           {"mapping", "~/Docs"},
           {"exclusionRule", json::array({"filePath= x"})},
           {"excludeFile", json::array({"x"})}});
    hooks.credentials = {"stored.example", "alice"};
    auto c = read();
    EXPECT_TRUE(c->changeRecoveryLocation);
    EXPECT_TRUE(c->allowUninstallData);
    EXPECT_EQ(c->server, "");
    EXPECT_EQ(c->user, "alice");
    EXPECT_EQ(c->paywallDetectURL, "");
    EXPECT_EQ(c->recoveryFolder, home() + "/Tidewell/Salvage");
    EXPECT_EQ(c->inLocationMapping(), (Pairs{{"~/Tidewell", "/home"}}));
    EXPECT_TRUE(exclusions.excludeFiles().empty());
}

TEST_F(Configuration, AnAdministratorFileThatIsNotJsonLeavesTheUsersChoices) {
    ASSERT_TRUE(writeFile(adminFile(), "{\"dockicon\": false,"));
    user({{"Userdockicon", false}});
    auto c = read();
    EXPECT_EQ(c->dockIcon, Option::userDefinedOff);
    EXPECT_EQ(c->iconOverlay, Option::userDefinedOn);
    EXPECT_EQ(readFile(adminFile()), "{\"dockicon\": false,");
}

TEST_F(Configuration, AUserFileThatIsNotJsonCountsAsEmpty) {
    ASSERT_TRUE(writeFile(userFile(), "Userdockicon = false"));
    auto c = read();
    EXPECT_EQ(c->dockIcon, Option::userDefinedOn);
    EXPECT_EQ(readFile(userFile()), "Userdockicon = false");
}

// --- Server and user --------------------------------------------------------------------------

TEST_F(Configuration, TheUserComesFromTheStoredCredentialsUnlessForced) {
    hooks.credentials = {"sync.example", "alice"};
    auto c = read();
    EXPECT_EQ(c->user, "alice");
    EXPECT_EQ(c->server, "");  // the stored server is not copied into the forced one
}

TEST_F(Configuration, ForcedServerAndUserThatDifferFromTheStoredOnesAreLoggedAndUsed) {
    hooks.credentials = {"Sync.Example", "alice"};
    admin({{"server", "sync.example"}, {"user", "bob"}});
    size_t from = logSize();
    auto c = read();
    EXPECT_EQ(c->server, "sync.example");
    EXPECT_EQ(c->user, "bob");
    // Case alone is no difference.
    EXPECT_FALSE(logContains("Administrator forced server does not match keychain server", from));
    EXPECT_TRUE(logContains("Administrator forced user does not match keychain user", from));

    admin({{"server", "other.example"}, {"user", "ALICE"}});
    from = logSize();
    c = read();
    EXPECT_TRUE(logContains("Administrator forced server does not match keychain server", from));
    EXPECT_FALSE(logContains("Administrator forced user does not match keychain user", from));
}

// --- In-location mapping ----------------------------------------------------------------------

TEST_F(Configuration, MappingEntriesMustMapATildePathToAServerPath) {
    admin({{"mapping",
            {{"~/Work/Docs", "/Work/Docs"},
             {"/home/user/Abs", "/Work/Abs"},
             {"~/Relative", "Work/Rel"},
             {"~/Number", 7},
             {"~/Alpha", "/Work/Alpha"}}}});
    size_t from = logSize();
    auto c = read();
    // Sorted by local folder, the rejected entries left out.
    EXPECT_EQ(c->inLocationMapping(), (Pairs{{"~/Alpha", "/Work/Alpha"}, {"~/Work/Docs", "/Work/Docs"}}));
    ASSERT_EQ(hooks.mappings.size(), 1u);
    EXPECT_EQ(hooks.mappings[0], c->inLocationMapping());
    EXPECT_TRUE(logContains("Could not handle In Location Mapping /home/user/Abs : /Work/Abs", from));
    EXPECT_TRUE(logContains("Could not handle In Location Mapping ~/Relative : Work/Rel", from));
    EXPECT_TRUE(logContains("Could not handle In Location Mapping ~/Number : 7", from));
}

TEST_F(Configuration, AnAbsoluteOnlyEntryFallsBackToTheDefaultMapping) {
    admin({{"mapping", {{"/srv/share", "/Work"}}}});
    size_t from = logSize();
    auto c = read();
    EXPECT_TRUE(logContains("Could not handle In Location Mapping /srv/share : /Work", from));
    EXPECT_EQ(c->inLocationMapping(), (Pairs{{"~/Tidewell", "/home"}}));
}

// --- Recovery folder --------------------------------------------------------------------------

TEST_F(Configuration, AConfiguredRecoveryFolderIsCreatedAndKeptInItsTildeForm) {
    admin({{"recoveryfolder", "~/Rescue/Here"}});
    auto c = read();
    EXPECT_EQ(c->recoveryFolder, "~/Rescue/Here");
    EXPECT_EQ(c->currentRecoveryFolder(), "~/Rescue/Here");
    EXPECT_TRUE(fs::is_directory(home() + "/Rescue/Here"));
}

TEST_F(Configuration, ARecoveryFolderOutsideTheHomeFolderKeepsTheDefault) {
    const std::string outside = "/tmp/tw-outside-recovery-" + std::to_string(getpid());
    // A sibling whose name merely starts like the home folder is outside it too.
    for (const std::string& bad : {outside, home() + "2/Recovery", std::string("~/../elsewhere")}) {
        admin({{"recoveryfolder", bad}});
        size_t from = logSize();
        auto c = read();
        EXPECT_EQ(c->recoveryFolder, home() + "/Tidewell/Salvage") << bad;
        EXPECT_TRUE(
            logContains("Recovery Folder must be within users home directory. Reverting to default.", from))
            << bad;
    }
    EXPECT_FALSE(fs::exists(outside));
    EXPECT_FALSE(fs::exists(home() + "2"));
}

TEST_F(Configuration, ARecoveryFolderNamingAFileKeepsTheDefault) {
    ASSERT_TRUE(writeFile(home() + "/notes.txt", "mine"));
    admin({{"recoveryfolder", "~/notes.txt"}});
    size_t from = logSize();
    auto c = read();
    EXPECT_EQ(c->recoveryFolder, home() + "/Tidewell/Salvage");
    EXPECT_TRUE(logContains("Recovery folder must be a folder. Reverting to default.", from));
    EXPECT_EQ(readFile(home() + "/notes.txt"), "mine");
}

TEST_F(Configuration, ARecoveryFolderThatCannotBeCreatedKeepsTheDefault) {
    ASSERT_TRUE(writeFile(home() + "/plain", "x"));
    admin({{"recoveryfolder", "~/plain/sub"}});
    size_t from = logSize();
    auto c = read();
    EXPECT_EQ(c->recoveryFolder, home() + "/Tidewell/Salvage");
    EXPECT_TRUE(logContains(
        "Could not create recovery folder \"" + home() + "/plain/sub\". Reverting to default.", from));
}

TEST_F(Configuration, StoringARecoveryFolderWritesItsTildeFormOrNothing) {
    auto c = std::make_unique<ServerConfigurationDetails>(exclusions);
    EXPECT_TRUE(c->storeRecoveryFolder(home() + "/Chosen//Folder/"));
    EXPECT_EQ(c->recoveryFolder, "~/Chosen/Folder");
    EXPECT_TRUE(fs::is_directory(home() + "/Chosen/Folder"));
    EXPECT_EQ(json::parse(readFile(userFile()))["recoveryfolder"], "~/Chosen/Folder");

    EXPECT_FALSE(c->storeRecoveryFolder("/var/tmp"));
    EXPECT_EQ(c->recoveryFolder, "~/Chosen/Folder");
    EXPECT_EQ(json::parse(readFile(userFile()))["recoveryfolder"], "~/Chosen/Folder");

    // What was stored is read back at the next start.
    auto next = read();
    EXPECT_EQ(next->recoveryFolder, "~/Chosen/Folder");
}

// --- Volume states ----------------------------------------------------------------------------

TEST_F(Configuration, VolumeStatesAreReturnedOnlyWhenTheyAreKnownStateTexts) {
    user({{"Docs", "Hidden"}, {"Work", "InLocation"}, {"Old", "Gone"}, {"Num", 1}, {"Lower", "visible"}});
    auto c = std::make_unique<ServerConfigurationDetails>(exclusions);
    EXPECT_EQ(c->retrieveUserVolumeState("Docs"), "Hidden");
    EXPECT_EQ(c->retrieveUserVolumeState("Work"), "InLocation");
    EXPECT_FALSE(c->retrieveUserVolumeState("Old"));
    EXPECT_FALSE(c->retrieveUserVolumeState("Num"));
    EXPECT_FALSE(c->retrieveUserVolumeState("Lower"));
    EXPECT_FALSE(c->retrieveUserVolumeState("Absent"));
}

// --- Exclusion rules --------------------------------------------------------------------------

TEST_F(Configuration, ExcludeListsWithoutRulesAreIgnored) {
    admin({{"excludeFile", json::array({"tmp"})}, {"excludeDirectory", json::array({"tmp"})}});
    read();
    EXPECT_TRUE(exclusions.excludeFiles().empty());
    EXPECT_TRUE(exclusions.excludeDirectories().empty());
}

TEST_F(Configuration, RulesReachTheExclusionManagerInTheFilesOrder) {
    // A combined rule may name only rules defined before it; sorted keys would put it first.
    ASSERT_TRUE(
        writeFile(adminFile(), R"({"exclusionRule": {"zz_tmp": "filePath= \\.tmp$", "zz_big": "size>= 10",
        "aa_bigtmp": "zz_tmp AND zz_big"}, "excludeFile": ["aa_bigtmp"], "excludeDirectory": ["zz_tmp"]})"));
    read();
    auto& m = exclusions;
    EXPECT_TRUE(m.hasCombinedRule("aa_bigtmp"));
    EXPECT_EQ(m.excludeFiles(), std::vector<std::string>{"aa_bigtmp"});
    EXPECT_EQ(m.excludeDirectories(), std::vector<std::string>{"zz_tmp"});
    EXPECT_TRUE(m.evaluateRules("a.tmp", 20, m.excludeFiles()));
    EXPECT_FALSE(m.evaluateRules("a.tmp", 5, m.excludeFiles()));
}

// --- Trusted folder browsers ------------------------------------------------------------------

TEST_F(Configuration, FileManagersAndPortalsAreTrustedUnlessTheAdministratorListsOthers) {
    auto c = read();
    auto apps = c->validApps();
    for (const char* expected :
         {"/usr/bin/nautilus", "/usr/libexec/nautilus", "/usr/bin/dolphin", "/usr/bin/pcmanfm-qt",
          "/usr/libexec/xdg-desktop-portal-gnome", "/usr/libexec/xdg-desktop-portal-gtk",
          "/usr/libexec/xdg-desktop-portal-kde"})
        EXPECT_NE(std::find(apps.begin(), apps.end(), expected), apps.end()) << expected;
    EXPECT_EQ(apps.size(), 20u);

    // The user cannot widen the list; the administrator replaces it.
    user({{"validapps", json::array({"/home/user/bin/spy"})}});
    EXPECT_EQ(read()->validApps(), ServerConfigurationDetails::defaultValidApps());
    admin({{"validapps", json::array({"/opt/fm/bin/fm"})}});
    EXPECT_EQ(read()->validApps(), std::vector<std::string>{"/opt/fm/bin/fm"});

    admin({{"validapps", json::array({"/opt/fm/bin/fm", 3})}});
    size_t from = logSize();
    EXPECT_EQ(read()->validApps(), ServerConfigurationDetails::defaultValidApps());
    EXPECT_TRUE(logContains("Could not handle valid applications", from));
}

// --- Applying the configuration ---------------------------------------------------------------

TEST_F(Configuration, OpenAtLoginOffRemovesTheLoginItem) {
    auto c = std::make_unique<ServerConfigurationDetails>(exclusions);
    c->loadState({});
    const std::string entry = tw::platform::loginItemPath("com.meridot.tidewell.Riseling");
    ASSERT_TRUE(fs::exists(entry));
    user({{"Useropenatlogin", false}});
    c = std::make_unique<ServerConfigurationDetails>(exclusions);
    c->loadState({});
    EXPECT_EQ(c->openAtLogin, Option::userDefinedOff);
    EXPECT_FALSE(fs::exists(entry));
}

TEST_F(Configuration, TheLoginItemRunsTheHelperBesideTheApplicationEvenInAFolderWithSpaces) {
    tw::test::TempDir tools("tw-tools");
    fs::create_directories(tools / "My Tools");
    setenv("TIDEWELL_TOOLS_DIR", (tools / "My Tools").c_str(), 1);
    auto c = std::make_unique<ServerConfigurationDetails>(exclusions);
    c->loadState({});
    unsetenv("TIDEWELL_TOOLS_DIR");
    std::string entry = readFile(tw::platform::loginItemPath("com.meridot.tidewell.Riseling"));
    EXPECT_EQ(execLineOf(entry), "\"" + (tools / "My Tools/riseling").string() + "\"");
}

TEST_F(Configuration, SwitchesOffAreAppliedAndNotifiedOnTheBus) {
    REQUIRE_PRIVATE_BUS();
    admin({{"iconoverlay", false}, {"allowservercontact", false}});
    user({{"Usercontextmenu", false}, {"Userdockicon", false}});
    Seen seen;
    ASSERT_TRUE(seen.observe({"BrindleOverlayIconChange", "BrindleContextMenuChange"}));
    auto c = std::make_unique<ServerConfigurationDetails>(exclusions);
    c->loadState(hooks.hooks());
    EXPECT_FALSE(c->dockIconShown());
    EXPECT_EQ(hooks.allow, std::vector<bool>{false});
    EXPECT_EQ(seen.waitFor(2),
              (Pairs{{"BrindleContextMenuChange", "off"}, {"BrindleOverlayIconChange", "off"}}));
}

TEST_F(Configuration, MissingHooksMakeTheirStepsDoNothing) {
    admin({{"user", "bob"}});
    auto c = std::make_unique<ServerConfigurationDetails>(exclusions);
    c->loadState({});  // no hooks: nothing to call, nothing crashes
    EXPECT_EQ(c->user, "bob");
    EXPECT_EQ(c->inLocationMapping(), (Pairs{{"~/Tidewell", "/home"}}));
}
