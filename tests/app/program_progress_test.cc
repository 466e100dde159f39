// How far transfers are, through the real program: while the reference server holds a download or an
// upload back (its fault queue), `tidewell status` and its JSON give the bytes done and the total, the
// file carries the fraction the file manager's extension shows, and a program kept waiting to open a
// placeholder is named in a desktop notification (a stand-in notification daemon on the test's bus).
#include <future>

#include "fake_bus_peers.h"
#include "platform/files.h"
#include "program_fixture.h"
#include "support/random_bytes.h"

namespace tw::test {
namespace {

class ProgressProgram : public Program {
protected:
    std::vector<std::string> serverArgs() const override {
        return {"--mappoint", "Team:MANUAL", "--faults", "--quiet"};
    }
    void SetUp() override {
        Program::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        peer = std::make_unique<DevServerHarness>(dir.path());
        peer->attach(server.port());
        ASSERT_TRUE(peer->login("anna", kPassword));
    }

    std::string state(const std::string& path) {
        std::string record = platform::getXattr(path, "com.meridot.tidewell", 4096).value_or("");
        if (record.rfind("Status: ", 0) != 0) return "";
        return record.substr(8, record.find('\n') - 8);
    }
    void colleagueWrites(const std::string& serverPath, const std::string& content) {
        auto e = peer->get(DevServerHarness::folderUrl(serverPath));
        auto entry = e && e->status == 200 ? parseJson(e->body) : nlohmann::json();
        std::string revision = entry.is_object() && entry.contains("revision") ? entry["revision"] : "";
        auto r = peer->upload(serverPath, content, revision);
        ASSERT_TRUE(r && r->status == 200) << serverPath << ": " << (r ? r->body : "no answer");
    }
    void fault(const nlohmann::json& f) {
        auto r = peer->postAdmin("faults", f);
        ASSERT_TRUE(r && r->status == 200) << (r ? r->body : "no answer");
    }
    // The transfer of `path` the status lists, or null.
    nlohmann::json transferOf(const std::string& path) {
        auto s = status();
        if (!s.is_object() || !s.contains("transfers")) return nullptr;
        for (const auto& t : s["transfers"])
            if (t["path"] == path) return t;
        return nullptr;
    }
    bool idle() { return tidewell({"script", "idle"}).exitCode == 0; }

    std::unique_ptr<DevServerHarness> peer;
};

TEST_F(ProgressProgram, ASlowDownloadShowsItsBytesAndTheProgramWaitingForItIsNamed) {
    const std::string content = randomBytes(4 << 20, 21);
    colleagueWrites("/Team/big.bin", content);
    ASSERT_EQ(login(kPassword).exitCode, 0);
    FakeNotificationDaemon daemon;
    ASSERT_TRUE(daemon.start()) << "the test's own bus has no notification daemon yet";
    startApp();
    const std::string team = mountVolume("Team");
    const std::string big = team + "/big.bin";
    ASSERT_TRUE(eventually([&] { return state(big) == "Placeholder"; }, 60s)) << log();

    // The answer stops after 1.5 MiB and the connection is cut a while later.
    const uint64_t sent = 3 << 19;
    fault({{"method", "GET"},
           {"path", "/br/sync/1.6/folders/Team/big.bin?revision="},
           {"action", "drop"},
           {"after_bytes", sent},
           {"delay_ms", 8000},
           {"stage", "response"}});
    auto reader = std::async(std::launch::async, [&] { return runToCompletion({"/bin/cat", big}, 120s); });

    nlohmann::json shown;
    ASSERT_TRUE(eventually(
        [&] {
            shown = transferOf(big);
            return shown.is_object() && shown["bytesDone"].get<uint64_t>() == sent;
        },
        30s))
        << (shown.is_null() ? "not listed" : shown.dump()) << "\n"
        << log();
    EXPECT_EQ(shown["direction"], "download");
    EXPECT_EQ(shown["bytesTotal"].get<uint64_t>(), content.size());
    EXPECT_EQ(shown["percent"], 37);
    std::string text = tidewell({"status"}).out;
    EXPECT_NE(text.find("Transfers:\n  downloading " + big + ": 37 % of 4.2 MB (1572864 of 4194304 bytes)\n"),
              std::string::npos)
        << text;
    // What the file manager's extension draws from (once the transfer has run for a moment).
    EXPECT_TRUE(eventually(
        [&] { return platform::getXattr(big, "com.apple.progress.fractionCompleted", 64) == "0.37"; }, 10s))
        << platform::getXattr(big, "com.apple.progress.fractionCompleted", 64).value_or("none");

    bool named = false;
    for (int i = 0; i < 50 && !named; ++i) {
        daemon.waitForCalls(1, 200);
        for (const auto& call : daemon.calls())
            named =
                named || (call.summary == "Downloading “big.bin”" &&
                          call.body == "“cat” opened it and waits until it is here (37 % of 4.2 MB so far).");
    }
    EXPECT_TRUE(named) << (daemon.calls().empty() ? "no notification" : daemon.calls()[0].body);

    // The cut fails the open; the transfer is no longer listed and its fraction is taken off the file.
    auto cut = reader.get();
    EXPECT_NE(cut.exitCode, 0);
    EXPECT_EQ(cut.out, "");
    EXPECT_TRUE(eventually([&] { return transferOf(big).is_null(); }, 30s)) << log();
    EXPECT_EQ(platform::getXattr(big, "com.apple.progress.fractionCompleted", 64), std::nullopt);
    peer->del("/admin/faults");
    EXPECT_TRUE(eventually([&] { return slurp(big) == content; }, 60s)) << log();
}

TEST_F(ProgressProgram, AnUploadTheServerHoldsBackShowsItsBytes) {
    ASSERT_EQ(login(kPassword).exitCode, 0);
    startApp();
    const std::string team = mountVolume("Team");
    ASSERT_TRUE(eventually([&] { return idle(); }, 60s));
    // The server reads nothing of the body for a while: the client sends what the connection takes.
    for (const char* resource :
         {"/br/sync/1.6/folders/Team/up.bin", "/br/sync/1.6/resume/upload/Team/up.bin"})
        fault({{"method", "POST"}, {"path", resource}, {"action", "delay"}, {"delay_ms", 6000}});
    const std::string content = randomBytes(48 << 20, 22);
    const std::string up = team + "/up.bin";
    {
        std::ofstream out(up, std::ios::binary);
        out << content;
    }
    nlohmann::json shown;
    ASSERT_TRUE(eventually(
        [&] {
            shown = transferOf(up);
            return shown.is_object() && shown["bytesDone"].get<uint64_t>() > 0;
        },
        30s))
        << log();
    EXPECT_EQ(shown["direction"], "upload");
    EXPECT_EQ(shown["bytesTotal"].get<uint64_t>(), content.size());
    EXPECT_LT(shown["bytesDone"].get<uint64_t>(), content.size());
    EXPECT_TRUE(eventually([&] { return slurp(dir / "root" / "data" / "Team" / "up.bin") == content; }, 60s))
        << log();
    EXPECT_TRUE(eventually([&] { return transferOf(up).is_null(); }, 30s));
}

}  // namespace
}  // namespace tw::test
