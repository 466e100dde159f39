// What needs the user, through the real program: an upload the server refuses as a conflict shows in
// `tidewell errors` and in the status, the file manager's "Resolve Error" becomes a desktop notification
// naming the command that resolves it, a choice the item does not offer is refused, and
// `tidewell resolve` settles it on the server.
#include "fake_bus_peers.h"
#include "platform/files.h"
#include "platform/notifications.h"
#include "program_fixture.h"

namespace tw::test {
namespace {

class ErrorsProgram : public Program {
protected:
    void SetUp() override {
        Program::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        peer = std::make_unique<DevServerHarness>(dir.path());
        peer->attach(server.port());
        ASSERT_TRUE(peer->login("anna", kPassword));
    }

    // Standard output and standard error together (the command line answers refusals on the latter).
    RunOutput tidewellSaying(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"/bin/sh", "-c", "\"$0\" \"$@\" 2>&1",
                                      std::string(TIDEWELL_BIN_DIR) + "/tidewell"};
        argv.insert(argv.end(), args.begin(), args.end());
        return runToCompletion(argv, 60s);
    }
    std::string errorStatus(const std::string& path) {
        std::string record = platform::getXattr(path, "com.meridot.tidewell", 4096).value_or("");
        size_t at = record.find("Error Status: ");
        if (at == std::string::npos) return "";
        at += std::string("Error Status: ").size();
        return record.substr(at, record.find('\n', at) - at);
    }
    fs::path onServer(const std::string& serverPath) { return dir / "root" / "data" / serverPath.substr(1); }
    std::string serverRevision(const std::string& serverPath) {
        auto r = peer->get(DevServerHarness::folderUrl(serverPath));
        auto e = r && r->status == 200 ? parseJson(r->body) : nlohmann::json();
        return e.is_object() && e.contains("revision") ? e["revision"].get<std::string>() : "";
    }
    static void write(const std::string& path, const std::string& content) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    bool idle() { return tidewell({"script", "idle"}).exitCode == 0; }

    std::unique_ptr<DevServerHarness> peer;
};

TEST_F(ErrorsProgram, AConflictIsListedNotifiedAndResolvedFromTheCommandLine) {
    ASSERT_EQ(login(kPassword).exitCode, 0);
    startApp();
    const std::string team = mountVolume("Team");
    const std::string mine = team + "/report.txt";
    write(mine, "first words");
    ASSERT_TRUE(eventually([&] { return slurp(onServer("/Team/report.txt")) == "first words"; }, 60s))
        << log();
    ASSERT_TRUE(eventually([&] { return idle(); }, 60s));
    EXPECT_EQ(tidewell({"errors"}).out, "Nothing needs you.\n");

    // A colleague changes it on the server while this machine, paused, changes it too.
    ASSERT_EQ(tidewell({"pause"}).exitCode, 0);
    auto up = peer->upload("/Team/report.txt", "the colleague's words", serverRevision("/Team/report.txt"));
    ASSERT_TRUE(up && up->status == 200) << (up ? up->body : "no answer");
    write(mine, "my words");
    ASSERT_EQ(tidewell({"resume"}).exitCode, 0);
    ASSERT_TRUE(eventually([&] { return errorStatus(mine) == "Conflict"; }, 60s)) << log();

    auto errors = nlohmann::json::parse(tidewell({"errors", "--json"}).out, nullptr, false);
    ASSERT_TRUE(errors.is_object());
    ASSERT_EQ(errors["items"].size(), 1u) << errors.dump(2);
    EXPECT_EQ(errors["items"][0]["path"], mine);
    EXPECT_EQ(errors["items"][0]["state"], "ErrorRegular");
    EXPECT_EQ(errors["items"][0]["genre"], "Transfer");
    std::vector<std::string> actions;
    for (const auto& a : errors["items"][0]["actions"]) actions.push_back(a["action"]);
    EXPECT_EQ(actions, (std::vector<std::string>{"keep-mine", "keep-server", "keep-both"}));
    EXPECT_EQ(status()["errors"], 1);

    // Not a choice for a conflict: refused, and nothing happens to the file.
    auto wrong = tidewellSaying({"resolve", mine, "retry-delete"});
    EXPECT_NE(wrong.exitCode, 0);
    EXPECT_NE(wrong.out.find("its choices are keep-mine, keep-server, keep-both"), std::string::npos)
        << wrong.out;
    EXPECT_EQ(tidewellSaying({"resolve", mine, "keep-theirs"}).exitCode, 1);
    EXPECT_EQ(slurp(mine), "my words");

    // Without windows, "Resolve Error" in the file manager says which command resolves it.
    FakeNotificationDaemon daemon;
    ASSERT_TRUE(daemon.start()) << "the test's own bus has no notification daemon yet";
    {
        bool told = eventually(
            [&] {
                platform::postNotification("BrindleResolveError", mine);
                daemon.waitForCalls(1, 1000);
                for (const auto& call : daemon.calls())
                    if (call.summary == "“report.txt” needs you" &&
                        call.body.find("tidewell resolve " + mine + " keep-mine|keep-server|keep-both") !=
                            std::string::npos)
                        return true;
                return false;
            },
            30s);
        EXPECT_TRUE(told) << log();
    }

    auto resolved = tidewellSaying({"resolve", mine, "keep-mine"});
    EXPECT_EQ(resolved.exitCode, 0) << resolved.out;
    EXPECT_EQ(resolved.out, "Your version of " + mine + " replaces the server's; it is being uploaded.\n");
    EXPECT_TRUE(eventually([&] { return slurp(onServer("/Team/report.txt")) == "my words"; }, 60s)) << log();
    EXPECT_TRUE(eventually([&] { return tidewell({"errors"}).out == "Nothing needs you.\n"; }, 60s));
    EXPECT_EQ(slurp(mine), "my words");
    EXPECT_EQ(status()["errors"], 0);
}

}  // namespace
}  // namespace tw::test
