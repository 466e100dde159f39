// Changes made in a mounted volume while tidewell was not running: killed, it leaves gatewarden serving
// the mounts, and what programs do there meanwhile is reported to nobody. Started again, the program
// finds those changes by itself and the server ends up with the local tree.
#include "platform/files.h"
#include "program_fixture.h"

namespace tw::test {
namespace {

class ScanProgram : public Program {
protected:
    std::vector<std::string> serverArgs() const override { return {"--mappoint", "Team:MANUAL", "--quiet"}; }

    fs::path onServer(const std::string& serverPath) { return dir / "root" / "data" / serverPath.substr(1); }
    std::string state(const std::string& path) {
        std::string record = platform::getXattr(path, "com.meridot.tidewell", 4096).value_or("");
        auto at = record.find("Status: ");
        return at == std::string::npos ? "" : record.substr(at + 8, record.find('\n', at) - at - 8);
    }
    bool idle() { return tidewell({"script", "idle"}).exitCode == 0; }
    static void write(const std::string& path, const std::string& content) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
};

TEST_F(ScanProgram, ChangesMadeWhileTidewellWasNotRunningReachTheServerAfterItStarts) {
    ASSERT_EQ(login(kPassword).exitCode, 0);
    startApp();
    const std::string team = mountVolume("Team");
    for (std::string name : {"edited.txt", "renamed.txt", "deleted.txt", "kept.txt"})
        write(team + "/" + name, "first " + name);
    for (std::string name : {"edited.txt", "renamed.txt", "deleted.txt", "kept.txt"})
        ASSERT_TRUE(eventually([&] { return state(team + "/" + name) == "Regular"; }, 60s)) << name << log();
    ASSERT_TRUE(eventually([&] { return idle(); }, 60s));

    // Killed: nothing is told to it, and the mount stays, served by the watcher alone.
    ::kill(app.pid(), SIGKILL);
    app.wait(10s);
    ASSERT_TRUE(mounted(team));
    write(team + "/edited.txt", "again edited.txt");  // the same size as before
    write(team + "/new.txt", "made while nobody watched");
    fs::create_directories(team + "/new folder");
    fs::rename(team + "/renamed.txt", team + "/renamed-now.txt");
    fs::remove(team + "/deleted.txt");
    // The watcher refuses names that are not UTF-8 through the mount; this one came in beside it, into
    // the image's own folder (as restoring the image from a backup would bring it).
    const fs::path image = fs::path(getenv("XDG_DATA_HOME")) / "Tidewell" / "Team.sparsebundle" / "content";
    ASSERT_TRUE(fs::is_directory(image));
    write((image / "latin-1 \xe9t\xe9.txt").string(), "a name that is not UTF-8");

    startApp();
    EXPECT_TRUE(eventually([&] { return slurp(onServer("/Team/edited.txt")) == "again edited.txt"; }, 90s))
        << log();
    EXPECT_TRUE(
        eventually([&] { return slurp(onServer("/Team/new.txt")) == "made while nobody watched"; }, 60s));
    EXPECT_TRUE(eventually([&] { return fs::is_directory(onServer("/Team/new folder")); }, 60s));
    EXPECT_TRUE(
        eventually([&] { return slurp(onServer("/Team/renamed-now.txt")) == "first renamed.txt"; }, 60s));
    EXPECT_TRUE(eventually([&] { return !fs::exists(onServer("/Team/renamed.txt")); }, 60s));
    EXPECT_TRUE(eventually([&] { return !fs::exists(onServer("/Team/deleted.txt")); }, 60s));
    EXPECT_EQ(slurp(onServer("/Team/kept.txt")), "first kept.txt");
    // And locally nothing was lost or brought back.
    EXPECT_TRUE(eventually([&] { return idle(); }, 60s));
    EXPECT_EQ(slurp(team + "/edited.txt"), "again edited.txt");
    EXPECT_EQ(slurp(team + "/renamed-now.txt"), "first renamed.txt");
    EXPECT_FALSE(fs::exists(team + "/renamed.txt"));
    EXPECT_FALSE(fs::exists(team + "/deleted.txt"));
    // The name that is not UTF-8 stays here, and the user can see that it does.
    EXPECT_FALSE(fs::exists(onServer("/Team/latin-1 \xe9t\xe9.txt")));
    auto s = status();
    ASSERT_TRUE(s.is_object());
    EXPECT_EQ(s["notSynchronised"]["count"], 1) << s.dump(2);
    EXPECT_EQ(s["notSynchronised"]["items"][0]["path"], team + "/latin-1 \\xE9t\\xE9.txt");
    EXPECT_NE(tidewell({"status"}).out.find("latin-1 \\xE9t\\xE9.txt (its name is not valid UTF-8)"),
              std::string::npos);
}

}  // namespace
}  // namespace tw::test
