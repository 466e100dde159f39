// The program's life: login, one instance, mounting, uploading, pause kept across restarts, the
// administrator's forced contact, no session bus, and the login helper.
#include <regex>

#include "platform/files.h"
#include "program_fixture.h"

namespace tw::test {
namespace {

TEST_F(Program, LoggedInItRunsMountsUploadsAndStopsCleanly) {
    auto wrong = login("not-the-password");
    EXPECT_NE(wrong.exitCode, 0);
    auto right = login(kPassword);
    ASSERT_EQ(right.exitCode, 0) << right.out;

    startApp();
    // A second copy refuses to run while the first goes on.
    auto second = tidewell({"--headless"}, 60s);
    EXPECT_NE(second.exitCode, 0);
    EXPECT_NE(log().find("Only one instance of the application can be running"), std::string::npos);
    EXPECT_EQ(tidewell({"status"}).exitCode, 0);

    // The mappoint list comes from the server; the user shows the volume.
    ASSERT_TRUE(eventually([&] { return tidewell({"volumes"}).out.find("Team") != std::string::npos; }, 60s))
        << log();
    auto mount = tidewell({"mount", "Team"});
    ASSERT_EQ(mount.exitCode, 0) << mount.out;
    const std::string team = std::string(getenv("TIDEWELL_VOLUMES_ROOT")) + "/Team";
    ASSERT_TRUE(eventually([&] { return mounted(team); }, 60s)) << log();

    // A file saved there reaches the server through the watcher and the timeline.
    {
        std::ofstream out(team + "/hello.txt");
        out << "hello from the program";
    }
    fs::path onServer = dir / "root" / "data" / "Team" / "hello.txt";
    EXPECT_TRUE(eventually([&] { return slurp(onServer) == "hello from the program"; }, 60s)) << log();
    // ... and its record says so, with the server's revision.
    EXPECT_TRUE(eventually([&] {
        auto record = platform::getXattr(team + "/hello.txt", "com.meridot.tidewell", 1024).value_or("");
        return record.find("Status: Regular\n") != std::string::npos &&
               record.find("Revision: ") != std::string::npos;
    }));

    auto s = status();
    ASSERT_TRUE(s.is_object());
    EXPECT_TRUE(s["network"].get<bool>());
    bool teamListed = false;
    for (const auto& v : s["volumes"])
        if (v["name"] == "Team") teamListed = v["mounted"].get<bool>() && v["state"] == "Visible";
    EXPECT_TRUE(teamListed) << s.dump();
    // The script command is matched without regard to case: with the upload done, IDLE is true.
    EXPECT_TRUE(eventually([&] {
        auto idle = tidewell({"script", "IDLE"});
        return idle.exitCode == 0 && idle.out == "true\n";
    })) << log();
    auto unknown = tidewell({"script", "sleeping"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.out, "false\n");

    // Pause is the user's choice and is kept.
    EXPECT_EQ(tidewell({"pause"}).exitCode, 0);
    EXPECT_TRUE(status()["paused"].get<bool>());
    EXPECT_EQ(tidewell({"resume"}).exitCode, 0);
    EXPECT_TRUE(eventually([&] { return !status()["paused"].get<bool>(); }));

    // SIGTERM: the shutdown sequence, volumes ejected, exit 0.
    EXPECT_EQ(app.stop(60s), 0) << log();
    EXPECT_FALSE(mounted(team));
    // The product version: short version, a full stop, the build (or "Developer build").
    EXPECT_TRUE(std::regex_search(log(), std::regex("Tidewell version [0-9]+\\.[0-9]+\\.[^ ]+.* started")))
        << log();

    // The password is in the keychain store and nowhere else under the home folder, nor in the log.
    for (auto& e : fs::recursive_directory_iterator(getenv("HOME"))) {
        if (!e.is_regular_file()) continue;
        if (e.path().filename() == "credentials.json") continue;
        EXPECT_EQ(slurp(e.path()).find(kPassword), std::string::npos) << e.path();
    }
}

// A placeholder by its record: to programs it shows the server's size, not its own empty content.
bool placeholder(const std::string& path) {
    auto record = platform::getXattr(path, "com.meridot.tidewell", 4096).value_or("");
    return record.find("Status: Placeholder\n") != std::string::npos;
}

TEST_F(Program, RemoveDownloadLeavesAPlaceholderAndOpenBringsItBackAndOpensItOnce) {
    // The program opens files with xdg-open from PATH: this one only notes what it was asked to open.
    fs::path bin = dir / "bin";
    fs::create_directories(bin);
    fs::path opened = dir / "opened.txt";
    {
        std::ofstream script(bin / "xdg-open");
        script << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << opened.string() << "'\n";
    }
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    setenv("PATH", (bin.string() + ":" + getenv("PATH")).c_str(), 1);

    ASSERT_EQ(login(kPassword).exitCode, 0);
    startApp();
    ASSERT_TRUE(eventually([&] { return tidewell({"volumes"}).out.find("Team") != std::string::npos; }, 60s))
        << log();
    ASSERT_EQ(tidewell({"mount", "Team"}).exitCode, 0);
    const std::string team = std::string(getenv("TIDEWELL_VOLUMES_ROOT")) + "/Team";
    ASSERT_TRUE(eventually([&] { return mounted(team); }, 60s)) << log();
    const std::string file = team + "/notes.txt";
    {
        std::ofstream out(file);
        out << "notes kept on the server";
    }
    fs::path onServer = dir / "root" / "data" / "Team" / "notes.txt";
    ASSERT_TRUE(eventually([&] { return slurp(onServer) == "notes kept on the server"; }, 60s)) << log();
    ASSERT_TRUE(eventually([&] { return tidewell({"script", "idle"}).exitCode == 0; }, 60s));

    // The file manager's "remove download": the local copy goes, the server's stays.
    EXPECT_EQ(tidewell({"remove-download", file}).exitCode, 0);
    EXPECT_TRUE(eventually([&] { return placeholder(file); }, 30s)) << log();
    EXPECT_EQ(slurp(onServer), "notes kept on the server");

    // Opening the placeholder downloads it and opens it, once.
    EXPECT_EQ(tidewell({"open", file}).exitCode, 0);
    EXPECT_TRUE(eventually([&] { return slurp(opened) == file + "\n"; }, 60s)) << log();
    EXPECT_EQ(slurp(file), "notes kept on the server");
    EXPECT_NE(log().find("Downloaded file: " + file), std::string::npos);
    // A file with its content is opened by the user's application, not downloaded again.
    EXPECT_EQ(tidewell({"open", file}).exitCode, 0);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(slurp(opened), file + "\n");

    // The file manager's "download", from a relative path: the content comes back without opening it.
    EXPECT_EQ(tidewell({"remove-download", file}).exitCode, 0);
    EXPECT_TRUE(eventually([&] { return placeholder(file); }, 30s)) << log();
    EXPECT_EQ(runToCompletion({"/bin/sh", "-c", "cd \"$1\" && exec \"$0\" download notes.txt",
                               std::string(TIDEWELL_BIN_DIR) + "/tidewell", team},
                              60s)
                  .exitCode,
              0);
    EXPECT_TRUE(eventually([&] { return slurp(file) == "notes kept on the server"; }, 60s)) << log();
    EXPECT_EQ(slurp(opened), file + "\n");
}

TEST_F(Program, CommandsSayWhenNoInstanceRunsAndUnknownOnesShowTheUsage) {
    auto r = tidewell({"status"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(tidewell({"frobnicate"}).exitCode, 2);
    EXPECT_EQ(tidewell({"login", "--server", "not a host"}).exitCode, 2);
}

TEST_F(Program, PauseSurvivesARestart) {
    ASSERT_EQ(login(kPassword).exitCode, 0);
    startApp();
    ASSERT_EQ(tidewell({"pause"}).exitCode, 0);
    EXPECT_EQ(app.stop(60s), 0);
    startApp();
    EXPECT_TRUE(eventually([&] { return status().value("serverContactAllowed", true) == false; }));
    EXPECT_TRUE(status()["paused"].get<bool>());
    EXPECT_EQ(tidewell({"quit"}).exitCode, 0);
    EXPECT_TRUE(eventually([&] { return app.wait(100ms).has_value(); }, 60s));
}

TEST_F(Program, AForcedServerContactCannotBePausedOrResumed) {
    fs::path admin = fs::path(getenv("XDG_CONFIG_DIRS")) / "meridot";
    fs::create_directories(admin);
    std::ofstream(admin / "com.meridot.tidewell.json") << R"({"allowservercontact": true})";
    ASSERT_EQ(login(kPassword).exitCode, 0);
    startApp();
    EXPECT_NE(tidewell({"pause"}).exitCode, 0);
    EXPECT_NE(tidewell({"resume"}).exitCode, 0);
    EXPECT_TRUE(status()["serverContactAllowed"].get<bool>());
}

TEST_F(Program, WithoutASessionBusTheEngineStillRunsAndCommandsFindNoInstance) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("DBUS_SESSION_BUS_ADDRESS=", 0) != 0) env.emplace_back(*e);
    env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + (dir / "no-bus").string());
    ChildOptions o;
    o.environment = env;
    ASSERT_TRUE(app.start({std::string(TIDEWELL_BIN_DIR) + "/tidewell", "--headless"}, o));
    EXPECT_TRUE(eventually([&] {
        return log().find("The command line cannot reach this instance") != std::string::npos;
    })) << log();
    EXPECT_FALSE(app.wait(1s).has_value());  // still running
    EXPECT_EQ(tidewell({"status"}).exitCode, 1);
    EXPECT_EQ(app.stop(60s), 0);
}

TEST_F(Program, TheLoginHelperStartsTheClientOnceAndNeverASecondCopy) {
    ASSERT_EQ(login(kPassword).exitCode, 0);
    const std::string bin = TIDEWELL_BIN_DIR;
    auto copies = [&] {
        auto r = runToCompletion({"/usr/bin/pgrep", "-c", "-x", "-f", bin + "/tidewell"});
        return r.out.empty() ? 0 : std::stoi(r.out);
    };
    // The helper runs what the autostart entry's Exec line names, and ends at once.
    EXPECT_EQ(runToCompletion({bin + "/riseling"}).exitCode, 0);
    ASSERT_TRUE(eventually([&] { return tidewell({"status"}).exitCode == 0; })) << log();
    std::string holder = slurp(fs::path(getenv("XDG_RUNTIME_DIR")) / "com.meridot.tidewell.lock");
    EXPECT_EQ(runToCompletion({bin + "/riseling"}).exitCode, 0);
    // The second client finds the first and goes away; the first is still the one that answers.
    EXPECT_TRUE(eventually([&] { return copies() == 1; }, 30s));
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(copies(), 1);
    EXPECT_EQ(slurp(fs::path(getenv("XDG_RUNTIME_DIR")) / "com.meridot.tidewell.lock"), holder);
    EXPECT_EQ(tidewell({"quit"}).exitCode, 0);
    EXPECT_TRUE(eventually([&] { return copies() == 0; }, 60s));
}

}  // namespace
}  // namespace tw::test
