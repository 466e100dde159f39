// Test support: runs the real tidewell-devserver binary on a loopback port and talks to it the way
// the client does (cookies, escaped paths, the client's own multipart layout).
#pragma once

#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace tw::test {

class ServerProcess {
public:
    // Starts the binary with `args` and waits (at most 30 s) for its "listening on " line.
    bool start(const std::vector<std::string>& args, const std::filesystem::path& stderrFile);
    // SIGTERM, then waits up to 20 s. The exit status, or -1 when it had to be killed or did not run.
    // The connections this process's session keeps open for reuse are closed first: the server would
    // otherwise wait for each to idle out (five seconds) before it ends.
    int stop();
    bool running() const { return child_.running(); }

    const std::string& baseUrl() const { return baseUrl_; }
    int port() const { return port_; }

private:
    ChildProcess child_;
    std::string baseUrl_;
    int port_ = 0;
};

// A loopback server in a fresh root folder, with one user "alice" (password "s3cret&=x"), and a
// client session for it.
class DevServerHarness {
public:
    explicit DevServerHarness(const std::filesystem::path& root);
    bool start(std::vector<std::string> extraArgs = {});
    // Talks to a server that is already running on `port` (a second client beside the program).
    void attach(int port);
    int stop() { return process_.stop(); }

    httplib::Client& http() { return *client_; }
    // Logs on as alice; true when a session cookie came back.
    bool login(const std::string& user = "alice", const std::string& password = "s3cret&=x");
    const std::string& cookie() const { return cookie_; }
    void setCookie(std::string cookie) { cookie_ = std::move(cookie); }
    httplib::Headers headers(const std::string& accept = "application/json") const;

    // "/br/sync/1.6/" + resource.
    static std::string sync(const std::string& resource);
    // The URL of an item: sync("folders") + escaped server path (the path starts with "/").
    static std::string folderUrl(const std::string& serverPath);

    httplib::Result get(const std::string& target, const std::string& accept = "application/json");
    httplib::Result postForm(const std::string& target, const std::string& body);
    httplib::Result postAdmin(const std::string& resource, const nlohmann::json& body);
    httplib::Result del(const std::string& target);

    // Single-shot upload in the client's layout. `revision` "" for a new file.
    httplib::Result upload(const std::string& serverPath, const std::string& content,
                           const std::string& revision, const std::string& ctime = "2021-03-04T05:06:07.000Z",
                           const std::string& mtime = "2021-03-04T05:06:08.000Z");
    // The whole body the client sends for a single-shot upload.
    static std::string uploadBody(const std::string& boundary, const std::string& fileName,
                                  const std::string& content, const std::string& revision,
                                  const std::string& size, const std::string& ctime,
                                  const std::string& mtime);
    // The body of one resumable fragment (unclosed multipart).
    static std::string fragmentBody(const std::string& boundary, const std::string& escapedName,
                                    const std::string& content);

    ServerProcess& process() { return process_; }
    const std::filesystem::path& root() const { return root_; }

private:
    std::filesystem::path root_;
    ServerProcess process_;
    std::unique_ptr<httplib::Client> client_;
    std::string cookie_;
};

// Sends raw bytes on a fresh connection and returns everything the server answers until it closes
// or 10 s pass.
std::string rawExchange(int port, const std::string& bytes);

nlohmann::json parseJson(const std::string& text);

}  // namespace tw::test

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace tw::test {

// Each test gets its own root folder and server process; the server must stop cleanly on SIGTERM.
class DevServerTest : public ::testing::Test {
protected:
    void SetUp() override { h = std::make_unique<DevServerHarness>(dir.path()); }
    void TearDown() override {
        if (h->process().running()) {
            int status = h->stop();
            std::string log = readFile(dir.path() / "server.log");
            if (log.size() > 6000) log = log.substr(log.size() - 6000);
            EXPECT_EQ(status, 0) << "the server did not stop cleanly on SIGTERM; its log ends:\n" << log;
        }
    }
    void startAndLogin(std::vector<std::string> extra = {"--faults"}) {
        ASSERT_TRUE(h->start(std::move(extra))) << "server did not start";
        ASSERT_TRUE(h->login());
    }
    // The JSON body of a result, or null.
    static nlohmann::json body(const httplib::Result& r) { return r ? parseJson(r->body) : nlohmann::json(); }
    static int errorIdOf(const httplib::Result& r) {
        auto j = body(r);
        return j.is_object() && j.contains("errorId") && j["errorId"].is_number() ? j["errorId"].get<int>()
                                                                                  : -1;
    }

    TempDir dir{"tw-devserver"};
    std::unique_ptr<DevServerHarness> h;
};

}  // namespace tw::test
