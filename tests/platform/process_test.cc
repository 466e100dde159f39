// Child processes and the application's name on the session bus, run for real.
#include "platform/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/busservice.h"

namespace tw::platform {
namespace {

using namespace std::chrono_literals;

// ---- running a tool to completion

TEST(Process, ExitStatusOutputAndStartFailuresAreReported) {
    auto ok = runProcess({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, 10s, true);
    EXPECT_TRUE(ok.started);
    EXPECT_EQ(ok.exitCode, 3);
    EXPECT_EQ(ok.output, "out\n");
    EXPECT_FALSE(ok.succeeded());

    auto found = runProcess({"true"}, 10s);  // looked up in PATH
    EXPECT_TRUE(found.succeeded());

    auto missing = runProcess({"/nonexistent/tool"}, 10s);
    EXPECT_FALSE(missing.started);
    EXPECT_NE(missing.error.find("/nonexistent/tool"), std::string::npos);
    EXPECT_NE(missing.error.find("No such file"), std::string::npos);
}

TEST(Process, AToolThatHangsIsKilledAtItsTimeOut) {
    auto t0 = std::chrono::steady_clock::now();
    auto r = runProcess({"/bin/sleep", "30"}, 300ms);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
}

TEST(Process, AToolReadsNoTerminalAndKeepsNoBlockedSignalOfOurs) {
    // Standard input is /dev/null: a tool that reads it ends at once instead of waiting.
    EXPECT_TRUE(runProcess({"/bin/cat"}, 10s).succeeded());
    // The daemons block SIGTERM for sigwait; their tools must still be stoppable by it.
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, &old);
    auto r = runProcess({"/bin/sh", "-c", "kill -TERM $$; sleep 20"}, 10s);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, SIGTERM);
}

TEST(Process, ADetachedProgramRunsInItsOwnSessionAndIsNotOurChild) {
    std::string error;
    auto pid = spawnDetached({"/bin/sleep", "20"}, &error);
    ASSERT_TRUE(pid) << error;
    EXPECT_EQ(getsid(*pid), *pid);
    EXPECT_EQ(waitpid(*pid, nullptr, WNOHANG), -1);  // ECHILD: someone else reaps it
    EXPECT_EQ(errno, ECHILD);
    kill(*pid, SIGKILL);

    EXPECT_FALSE(spawnDetached({"/nonexistent/daemon"}, &error));
    EXPECT_NE(error.find("/nonexistent/daemon"), std::string::npos);
}

TEST(Process, CompanionProgramsAreBesideUsUnlessTheToolsFolderIsSet) {
    unsetenv("TIDEWELL_TOOLS_DIR");
    EXPECT_EQ(toolPath("gatewarden"), executableFolder() + "/gatewarden");
    setenv("TIDEWELL_TOOLS_DIR", "/opt/tw", 1);
    EXPECT_EQ(toolPath("gatewarden"), "/opt/tw/gatewarden");
    unsetenv("TIDEWELL_TOOLS_DIR");
}

// ---- the application's name on the session bus

TEST(BusService, CommandsReachTheInstanceThatOwnsTheName) {
    std::string error;
    const std::string name = "com.meridot.tidewell.Test" + std::to_string(getpid());
    std::vector<std::string> seen;
    auto service = BusService::start(
        [&](const std::vector<std::string>& args) {
            seen = args;
            return CommandReply{args.size() == 2, "got " + std::to_string(args.size())};
        },
        [](const std::string& command) { return command == "idle"; }, &error, name);
    if (!service && error.find("no session bus") != std::string::npos) GTEST_SKIP() << error;
    ASSERT_TRUE(service) << error;

    auto r = callControl({"mount", "Docs é"}, 10s, name);
    ASSERT_TRUE(r.reached) << r.error;
    EXPECT_TRUE(r.reply.ok);
    EXPECT_EQ(r.reply.text, "got 2");
    EXPECT_EQ(seen, (std::vector<std::string>{"mount", "Docs é"}));
    EXPECT_EQ(callScripting("idle", 10s, name), std::optional<bool>(true));
    EXPECT_EQ(callScripting("other", 10s, name), std::optional<bool>(false));

    // A second instance cannot take the name while the first holds it.
    auto second = BusService::start(nullptr, nullptr, &error, name);
    EXPECT_FALSE(second);
    EXPECT_NE(error.find("taken"), std::string::npos) << error;

    service.reset();
    auto gone = callControl({"status"}, 5s, name);
    EXPECT_FALSE(gone.reached);
    EXPECT_FALSE(gone.error.empty());
    EXPECT_FALSE(callScripting("idle", 5s, name));
}

}  // namespace
}  // namespace tw::platform
