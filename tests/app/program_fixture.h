// The tidewell program as a person runs it: logged in from the terminal, running headless against the
// reference server with the real gatewarden (which it starts itself), driven through its command line,
// and stopped with SIGTERM. Each test process has its own session bus, home and runtime folder.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/child_process.h"
#include "support/devserver_process.h"
#include "support/private_bus.h"
#include "support/temp_dir.h"

extern char** environ;

namespace tw::test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline const char* kPassword = "c0rrect&horse=battery";

inline bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 30s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(100ms);
    }
    return pred();
}

inline std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

inline bool mounted(const std::string& folder) {
    struct stat self, parent;
    return ::stat(folder.c_str(), &self) == 0 &&
           ::stat(fs::path(folder).parent_path().c_str(), &parent) == 0 && self.st_dev != parent.st_dev;
}

class Program : public ::testing::Test {
protected:
    // What the reference server is started with beside its root, address and user.
    virtual std::vector<std::string> serverArgs() const { return {"--mappoint", "Team", "--quiet"}; }

    void SetUp() override {
        if (!PrivateSessionBus::start()) GTEST_SKIP() << "no dbus-daemon for a private session bus";
        if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is not usable here";
        fs::create_directories(dir / "root");
        std::vector<std::string> args{"--root", (dir / "root").string(),         "--listen", "127.0.0.1:0",
                                      "--user", std::string("anna:") + kPassword};
        for (const auto& a : serverArgs()) args.push_back(a);
        ASSERT_TRUE(server.start(args, dir / "devserver.log"));
        host = "127.0.0.1:" + std::to_string(server.port());
    }

    void TearDown() override {
        if (app.running()) app.stop(30s);
        // The watcher the program started outlives it by design; this test's one goes now.
        runToCompletion({"/usr/bin/pkill", "-TERM", "-f", "--",
                         std::string("--socket ") + getenv("XDG_RUNTIME_DIR") + "/"});
        server.stop();
    }

    RunOutput tidewell(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 60s) {
        std::vector<std::string> argv{std::string(TIDEWELL_BIN_DIR) + "/tidewell"};
        argv.insert(argv.end(), args.begin(), args.end());
        return runToCompletion(argv, timeout);
    }

    // `tidewell login` with the password on standard input, never on a command line.
    RunOutput login(const std::string& password) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        env.push_back("TW_TEST_PASSWORD=" + password);
        ChildOptions o;
        o.environment = env;
        return runToCompletion(
            {"/bin/sh", "-c",
             "printf '%s\\n' \"$TW_TEST_PASSWORD\" | \"$0\" login --server \"$1\" --protocol http "
             "--user anna",
             std::string(TIDEWELL_BIN_DIR) + "/tidewell", host},
            60s, o);
    }

    void startApp() {
        ASSERT_TRUE(app.start({std::string(TIDEWELL_BIN_DIR) + "/tidewell", "--headless"}));
        ASSERT_TRUE(eventually([&] { return tidewell({"status"}).exitCode == 0; })) << log();
    }

    // Shows the server's mappoint `name` and waits for its mount; its local path.
    std::string mountVolume(const std::string& name) {
        std::string folder = std::string(getenv("TIDEWELL_VOLUMES_ROOT")) + "/" + name;
        bool listed =
            eventually([&] { return tidewell({"volumes"}).out.find(name) != std::string::npos; }, 60s);
        EXPECT_TRUE(listed) << log();
        if (!listed) return folder;
        auto r = tidewell({"mount", name});
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_TRUE(eventually([&] { return mounted(folder); }, 60s)) << log();
        return folder;
    }

    nlohmann::json status() {
        auto r = tidewell({"status", "--json"});
        if (r.exitCode != 0) return {};
        return nlohmann::json::parse(r.out, nullptr, false);
    }

    std::string log() const { return slurp(fs::path(getenv("XDG_STATE_HOME")) / "Meridot" / "Tidewell.log"); }

    TempDir dir{"tw-program"};
    ServerProcess server;
    std::string host;
    ChildProcess app;
};

}  // namespace tw::test
