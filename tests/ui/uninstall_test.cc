// tidewell-uninstall as the preferences run it: what each argument removes, what recovery keeps, and
// that nothing is removed that could not be kept.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <algorithm>
#include <filesystem>

#include "Pinewick/uninstall/Outcome.h"
#include "platform/autostart.h"
#include "platform/defaults.h"
#include "platform/fd.h"
#include "platform/keychain.h"
#include "platform/places.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace tw::test {
namespace {

namespace fs = std::filesystem;

class Uninstaller : public ::testing::Test {
protected:
    void SetUp() override {
        home = testHome();
        support = home / ".local/share/Tidewell";
        fs::remove_all(support);
        fs::remove_all(home / "Tidewell");
        fs::remove_all(home / "Rescue");
        fs::remove(admin());
        platform::Defaults::standard().remove("recoveryfolder");
        image = support / "Team.sparsebundle" / "content";
        fs::create_directories(image / "Plans");
        write(image / "mine.txt", "written here");
        write(image / "Plans" / "uploaded.txt", "also on the server", "Status: Regular\nRevision: 3\n");
        write(image / "Plans" / "cloud.pdf", "x", "Status: Placeholder\nRevision: 4\n");
        write(image / "empty.txt", "");
        write(support / "MetaDataDataBase.db", "db");
        write(support / "Timeline.txt", "");
        // The default in-location folder, which also holds the default recovery folder.
        fs::create_directories(home / "Tidewell" / "Salvage");
        write(home / "Tidewell" / "Salvage" / "kept from before.txt", "old rescue");
        write(home / "Tidewell" / "letter.odt", "dear");
        auto& keychain = platform::keychain::defaultKeychain();
        keychain.addItem({"sync.example.org", "anna", "Tidewell", "Tidewell Server Password"}, "pw");
        ASSERT_TRUE(
            platform::setLoginItemEnabled("com.meridot.tidewell.Riseling", "/usr/bin/riseling", true));
    }
    static void write(const fs::path& p, const std::string& content, const std::string& record = "") {
        ASSERT_TRUE(writeFile(p, content));
        if (!record.empty()) {
            ASSERT_EQ(::setxattr(p.c_str(), "user.com.meridot.tidewell", record.data(), record.size(), 0), 0);
        }
    }
    static std::string admin() {
        return std::string(getenv("XDG_CONFIG_DIRS")) + "/meridot/com.meridot.tidewell.json";
    }
    // Standard output only: the Uninstall pane reads that stream alone, so whatever the user is to be
    // told must be there.
    RunOutput uninstall(const std::vector<std::string>& args) {
        std::vector<std::string> argv{TIDEWELL_UNINSTALL};
        argv.insert(argv.end(), args.begin(), args.end());
        return runToCompletion(argv, std::chrono::seconds(60));
    }
    bool passwordStored() {
        std::vector<platform::keychain::Item> items;
        platform::keychain::defaultKeychain().findItems("Tidewell", "Tidewell Server Password", items);
        return !items.empty();
    }
    // Every file under `folder`, relative, with its content.
    static std::map<std::string, std::string> tree(const fs::path& folder) {
        std::map<std::string, std::string> out;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(folder, ec);
             !ec && it != fs::recursive_directory_iterator(); ++it)
            if (it->is_regular_file()) out[fs::relative(it->path(), folder).string()] = readFile(it->path());
        return out;
    }
    static fs::path onlyChild(const fs::path& folder) {
        std::vector<fs::path> children;
        for (const auto& e : fs::directory_iterator(folder))
            if (e.path().filename().string().rfind("Tidewell uninstall ", 0) == 0)
                children.push_back(e.path());
        EXPECT_EQ(children.size(), 1u);
        return children.empty() ? folder : children.front();
    }

    fs::path home, support, image;
};

TEST_F(Uninstaller, RecoverKeepsEveryFileWithContentThenRemovesTheLocalData) {
    auto r = uninstall({"--data:Recover"});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    fs::path salvage = home / "Tidewell" / "Salvage";
    fs::path recovered = onlyChild(salvage);
    EXPECT_EQ(tree(recovered),
              (std::map<std::string, std::string>{{"Team/mine.txt", "written here"},
                                                  {"Team/Plans/uploaded.txt", "also on the server"},
                                                  {"Tidewell/letter.odt", "dear"}}));
    // What an earlier recovery kept stays; the rest of the in-location folder and the support folder go.
    EXPECT_EQ(readFile(salvage / "kept from before.txt"), "old rescue");
    EXPECT_FALSE(fs::exists(home / "Tidewell" / "letter.odt"));
    EXPECT_FALSE(fs::exists(support / "Team.sparsebundle"));
    EXPECT_FALSE(fs::exists(support / "MetaDataDataBase.db"));
    EXPECT_FALSE(passwordStored());
    EXPECT_TRUE(fs::exists(platform::loginItemPath("com.meridot.tidewell.Riseling")))
        << "only --application removes it";
    // The report the pane reads back names the folder the files went to and what was removed.
    auto outcome = uninstall::parseOutcome(r.out);
    EXPECT_EQ(outcome.recoveredTo, recovered.string()) << r.out;
    EXPECT_EQ(outcome.filesRecovered, 3u);
    EXPECT_TRUE(outcome.problems.empty()) << r.out;
    EXPECT_NE(std::find(outcome.done.begin(), outcome.done.end(), "Removed the local copy of Team."),
              outcome.done.end())
        << r.out;
}

TEST_F(Uninstaller, ARecoveryFolderThatDisappearedIsMadeAgain) {
    fs::create_directories(home / "Gone" / "Deeper");
    ASSERT_TRUE(platform::Defaults::standard().set("recoveryfolder", "~/Gone/Deeper"));
    fs::remove_all(home / "Gone");
    auto r = uninstall({"--data:Recover"});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    fs::path recovered = onlyChild(home / "Gone" / "Deeper");
    EXPECT_EQ(readFile(recovered / "Team" / "mine.txt"), "written here");
    EXPECT_EQ(readFile(recovered / "Tidewell" / "letter.odt"), "dear");
    // The old default recovery folder is not the recovery folder now: it goes with its in-location folder.
    EXPECT_FALSE(fs::exists(home / "Tidewell" / "letter.odt"));
    fs::remove_all(home / "Gone");
}

TEST_F(Uninstaller, ForceRemovesWithoutKeepingAnything) {
    auto r = uninstall({"--application", "--data:Force"});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_FALSE(fs::exists(support / "Team.sparsebundle"));
    EXPECT_FALSE(fs::exists(home / "Tidewell" / "letter.odt"));
    EXPECT_EQ(tree(home / "Tidewell" / "Salvage"),
              (std::map<std::string, std::string>{{"kept from before.txt", "old rescue"}}));
    EXPECT_FALSE(fs::exists(platform::loginItemPath("com.meridot.tidewell.Riseling")));
    EXPECT_FALSE(passwordStored());
}

TEST_F(Uninstaller, ApplicationAloneRemovesTheLoginItemAndSaysHowToRemoveTheProgram) {
    auto r = uninstall({"--application"});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_FALSE(fs::exists(platform::loginItemPath("com.meridot.tidewell.Riseling")));
    EXPECT_NE(r.out.find("To remove the program itself"), std::string::npos) << r.out;
    auto outcome = uninstall::parseOutcome(r.out);
    EXPECT_TRUE(outcome.recoveredTo.empty());
    EXPECT_EQ(outcome.done.size(), 2u) << r.out;
    EXPECT_TRUE(fs::exists(image / "mine.txt"));
    EXPECT_TRUE(passwordStored());
}

TEST_F(Uninstaller, AVolumeWhoseFilesCannotBeRecoveredIsKept) {
    // A recovery folder so deep that a deep file of the volume cannot get a path there.
    fs::path rescue = home / "Rescue";
    for (int i = 0; i < 15; ++i) rescue /= std::string(200, 'r');
    fs::create_directories(rescue);
    ASSERT_TRUE(platform::Defaults::standard().set("recoveryfolder", rescue.string()));
    fs::path deep = image / "Plans";
    for (int i = 0; i < 7; ++i) deep /= std::string(200, 'd');
    fs::create_directories(deep);
    write(deep / "deep.txt", "deep down");
    auto r = uninstall({"--data:Recover"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("was kept"), std::string::npos) << r.out;
    // What was left and where the rest went both reach the report.
    auto outcome = uninstall::parseOutcome(r.out);
    ASSERT_FALSE(outcome.problems.empty()) << r.out;
    EXPECT_NE(outcome.problems.back().find("was kept"), std::string::npos) << r.out;
    EXPECT_GT(outcome.filesRecovered, 0u) << r.out;
    EXPECT_EQ(fs::path(outcome.recoveredTo).parent_path(), rescue) << r.out;
    EXPECT_EQ(readFile(deep / "deep.txt"), "deep down");
    // What could be recovered was; the volume that still holds a file is not removed.
    EXPECT_TRUE(fs::exists(image));
    EXPECT_FALSE(fs::exists(support / "MetaDataDataBase.db"));
    fs::remove_all(home / "Rescue");
}

TEST_F(Uninstaller, WhatTheAdministratorForbidsIsLeftAndSaid) {
    fs::create_directories(fs::path(admin()).parent_path());
    ASSERT_TRUE(platform::writeFileAtomically(admin(), R"({"allowuninstalldata": false})"));
    auto r = uninstall({"--data:Force"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(uninstall::parseOutcome(r.out).problems,
              std::vector<std::string>{"Your administrator does not allow removing the local data."})
        << r.out;
    EXPECT_TRUE(fs::exists(image / "mine.txt"));
    fs::remove(admin());
}

TEST_F(Uninstaller, UnknownOrRepeatedArgumentsChangeNothing) {
    for (auto args : std::vector<std::vector<std::string>>{
             {}, {"--data"}, {"--data:Force", "--data:Recover"}, {"--everything"}}) {
        auto r = uninstall(args);
        EXPECT_EQ(r.exitCode, 2) << r.out;
    }
    EXPECT_TRUE(fs::exists(image / "mine.txt"));
    EXPECT_TRUE(passwordStored());
}

// The report's form, read back as the pane reads it, including lines it does not know.
TEST(UninstallOutcome, ReadsBackWhatTheUninstallerWrites) {
    const std::string report = "Removed the local copy of Team.\n" +
                               uninstall::recoveredLine(1, "/home/u/Salvage/Tidewell uninstall 1") + "\n" +
                               uninstall::problemLine("Could not remove /x: busy") + "\n\n" +
                               "Kept an eye on things\n" + "Kept 7 files in \n";
    auto outcome = uninstall::parseOutcome(report);
    EXPECT_EQ(outcome.recoveredTo, "/home/u/Salvage/Tidewell uninstall 1");
    EXPECT_EQ(outcome.filesRecovered, 1u);
    EXPECT_EQ(outcome.problems, std::vector<std::string>{"Could not remove /x: busy"});
    // Lines of another form are kept as told, never dropped.
    EXPECT_EQ(outcome.done, (std::vector<std::string>{"Removed the local copy of Team.",
                                                      "Kept an eye on things", "Kept 7 files in "}));
    EXPECT_EQ(uninstall::recoveredLine(2, "/f"), "Kept 2 files in /f");
    EXPECT_TRUE(uninstall::parseOutcome("").done.empty());
}

}  // namespace
}  // namespace tw::test
