// Hostile and broken requests, fault injection and TLS: the server answers with a JSON error, stays up
// and never touches anything outside its root.
#include <gtest/gtest.h>

#include <cstdlib>

#include "devserver/wire.h"
#include "support/devserver_process.h"

namespace tw::test {
namespace {

using nlohmann::json;
using tw::devserver::percentEncode;
namespace fs = std::filesystem;

// Every file below `dir`, as relative paths.
std::set<std::string> listTree(const fs::path& dir) {
    std::set<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        out.insert(fs::relative(it->path(), dir).string());
    return out;
}

// The JSON error body of a raw HTTP answer, or null.
json rawErrorBody(const std::string& answer) {
    size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? json() : parseJson(answer.substr(at + 4));
}

using DevserverRobustness = DevServerTest;

TEST_F(DevserverRobustness, HostileRequestsGetJsonErrorsAndStayInsideTheRoot) {
    // A file beside the root that an escape would reach.
    ASSERT_TRUE(writeFile(dir.path() / "outside.txt", "do not touch"));
    startAndLogin();
    const std::string cookie = "Cookie: " + h->cookie() + "\r\n";
    const std::set<std::string> before = listTree(dir.path());

    struct Case {
        const char* what;
        std::string request;
        int errorId;
    };
    const std::string ct = "2021-01-01T00:00:00.000Z";
    auto post = [&](const std::string& target, const std::string& contentType, const std::string& bodyText) {
        return "POST " + target + " HTTP/1.1\r\nHost: x\r\n" + cookie +
               (contentType.empty() ? "" : "Content-Type: " + contentType + "\r\n") +
               "Content-Length: " + std::to_string(bodyText.size()) + "\r\nConnection: close\r\n\r\n" +
               bodyText;
    };
    auto get = [&](const std::string& target) {
        return "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + cookie + "Connection: close\r\n\r\n";
    };
    const std::string folders = DevServerHarness::sync("folders");
    const std::string b = "---B---";
    const std::string mp = "multipart/form-data; boundary=" + b;
    const int bad = tw::devserver::error_id::badRequest;
    const Case cases[] = {
        // escapes and traversal in the URL
        {"bad escape", get(folders + "/Documents/%zz"), bad},
        {"escaped dot-dot", get(folders + "/Documents/%2e%2e/%2e%2e/outside.txt?revision="), bad},
        {"escaped slash dot-dot", get(folders + "/Documents/..%2f..%2foutside.txt?revision="), bad},
        {"NUL", get(folders + "/Documents/a%00b?type=all"), bad},
        {"plain dot-dot", get(folders + "/../../outside.txt?revision="), bad},
        {"delete with dot-dot",
         "DELETE " + folders + "/Documents/../../outside.txt?revision= HTTP/1.1\r\nHost: x\r\n" + cookie +
             "Connection: close\r\n\r\n",
         bad},
        {"raw colon in name", get(folders + "/Documents/a:b?type=all"), 1007},
        // move and create with hostile names
        {"move to relative name",
         post(folders + "/Documents/Welcome.txt", "",
              "name=outside.txt&operation=move&overwrite=true&revision="),
         bad},
        {"move out of the root",
         post(folders + "/Documents/Welcome.txt", "",
              "name=" + percentEncode("/Documents/../../outside.txt") +
                  "&operation=move&overwrite=true&revision="),
         bad},
        {"create folder named ..",
         post(folders + "/Documents", "",
              "name=..&operation=create&creation_time=" + ct + "&modification_time=" + ct),
         1007},
        {"create folder with slash",
         post(folders + "/Documents", "",
              "name=a%2fb&operation=create&creation_time=" + ct + "&modification_time=" + ct),
         1007},
        {"unknown operation", post(folders + "/Documents", "", "operation=explode"), bad},
        {"bad escape in form", post(folders + "/Documents", "", "name=%g&operation=create"), bad},
        // broken multipart bodies
        {"no boundary", post(folders + "/Documents/u.txt", "multipart/form-data", "x"), bad},
        {"garbage body", post(folders + "/Documents/u.txt", mp, "this is not multipart at all"), bad},
        {"missing fields",
         post(folders + "/Documents/u.txt", mp,
              "--" + b +
                  "\r\nContent-Disposition:form-data; name=\"file\"; filename=\"u.txt\"\r\n\r\nabc\r\n--" +
                  b + "--\r\n"),
         bad},
        {"size mismatch",
         post(folders + "/Documents/u.txt", mp,
              DevServerHarness::uploadBody(b, "u.txt", "abcdef", "", "3", ct, ct)),
         bad},
        {"unclosed single-shot",
         post(folders + "/Documents/u.txt", mp,
              DevServerHarness::uploadBody(b, "u.txt", "abc", "", "3", ct, ct).substr(0, 300)),
         bad},
        {"bad time",
         post(folders + "/Documents/u.txt", mp,
              DevServerHarness::uploadBody(b, "u.txt", "abc", "", "3", "yesterday", ct)),
         bad},
        // resumable service
        {"resume without id", get(DevServerHarness::sync("resume/upload") + "/Documents/u.txt"), bad},
        {"resume id with slash",
         get(DevServerHarness::sync("resume/upload") + "/Documents/u.txt?resume_id=..%2fx"), bad},
        {"resume bad offset header",
         post(DevServerHarness::sync("resume/upload") + "/Documents/u.txt?resume_id=X", mp, ""), bad},
        // sessions
        {"unknown user", post(DevServerHarness::sync("sessions"), "", "user_id=nobody&password=x"), 1},
        {"no session", "GET " + folders + "/?type=all HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 1},
        {"forged session",
         "GET " + folders +
             "/?type=all HTTP/1.1\r\nHost: x\r\nCookie: tidewell_session=00\r\nConnection: close\r\n\r\n",
         1},
    };
    for (const auto& c : cases) {
        std::string answer = rawExchange(h->process().port(), c.request);
        json j = rawErrorBody(answer);
        ASSERT_TRUE(j.is_object()) << c.what << ": " << answer.substr(0, 200);
        EXPECT_EQ(j["errorId"], c.errorId) << c.what;
        EXPECT_EQ(answer.rfind("HTTP/1.1 2", 0), std::string::npos) << c.what;
    }
    // A request line that is not HTTP at all.
    EXPECT_NE(rawExchange(h->process().port(), "GARBAGE\r\n\r\n").find("400"), std::string::npos);

    // Still serving, nothing changed outside the server's own folder, and the demo file is intact.
    EXPECT_EQ(h->get(DevServerHarness::folderUrl("/Documents/Welcome.txt"))->status, 200);
    EXPECT_EQ(readFile(dir.path() / "outside.txt"), "do not touch");
    std::set<std::string> after = listTree(dir.path());
    for (const auto& p : after) {
        if (before.count(p)) continue;
        EXPECT_EQ(p.rfind("server", 0), 0u) << "new file outside the root: " << p;
    }
    EXPECT_FALSE(fs::exists(h->root() / "server/data/Documents/u.txt"));
}

TEST_F(DevserverRobustness, ADeeplyNestedUsageReportIsRefusedAndTheServerStaysUp) {
    startAndLogin();
    auto report = [&](int depth) {
        std::string body = "data={\"a\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
        return rawExchange(h->process().port(),
                           "POST /br/audit/1/ HTTP/1.1\r\nHost: x\r\nCookie: " + h->cookie() +
                               "\r\nContent-Length: " + std::to_string(body.size()) +
                               "\r\nConnection: close\r\n\r\n" + body);
    };
    // Storing a report writes it out again, one level of the writer's stack per level of nesting.
    json refused = rawErrorBody(report(200000));
    ASSERT_TRUE(refused.is_object());
    EXPECT_EQ(refused["errorId"], tw::devserver::error_id::badRequest);
    EXPECT_EQ(rawErrorBody(report(20)), json::object());
    EXPECT_EQ(h->get(DevServerHarness::folderUrl("/Documents/Welcome.txt"))->status, 200);
}

TEST_F(DevserverRobustness, EveryErrorNumberCanBeQueued) {
    startAndLogin();
    const std::string target = DevServerHarness::folderUrl("/Documents") + "?type=all&includeAll=true";
    for (int id : {1,    6,    13,   14,   18,   19,   20,   22,   26,   1001, 1007, 1021, 1033,
                   1039, 1045, 1046, 1047, 1050, 1062, 1066, 1077, 1082, 1083, 1112, 1113, 1119}) {
        ASSERT_EQ(h->postAdmin("faults", {{"method", "GET"},
                                          {"path", DevServerHarness::folderUrl("/Documents")},
                                          {"errorId", id}})
                      ->status,
                  200);
        auto r = h->get(target);
        EXPECT_EQ(errorIdOf(r), id);
        EXPECT_EQ(r->status, tw::devserver::statusForError(id)) << id;
    }
    EXPECT_EQ(h->get(target)->status, 200) << "each fault is used once";
}

TEST_F(DevserverRobustness, FaultsMatchMethodPathAndCount) {
    startAndLogin();
    std::string rev = body(h->upload("/Documents/f.txt", "x", ""))["revision"];
    ASSERT_EQ(h->postAdmin("faults", json::array({
                                         {{"method", "DELETE"},
                                          {"path", DevServerHarness::folderUrl("/Documents/f")},
                                          {"count", 2},
                                          {"errorId", 26},
                                          {"status", 500}},
                                         {{"method", "GET"},
                                          {"path", "/br/sync/1.6/folders/Documents/f.txt"},
                                          {"action", "delay"},
                                          {"delay_ms", 50}},
                                     }))
                  ->status,
              200);
    EXPECT_EQ(h->get(DevServerHarness::folderUrl("/Documents/f.txt"))->status, 200)
        << "a delay still answers";
    const std::string del = DevServerHarness::folderUrl("/Documents/f.txt") + "?revision=" + rev;
    auto first = h->del(del);
    EXPECT_EQ(first->status, 500);
    EXPECT_EQ(errorIdOf(first), 26);
    EXPECT_EQ(errorIdOf(h->get(DevServerHarness::folderUrl("/Documents/Welcome.txt"))), -1)
        << "other requests pass";
    EXPECT_EQ(errorIdOf(h->del(del)), 26);
    EXPECT_EQ(h->del(del)->status, 200);
    EXPECT_EQ(parseJson(h->http().Get("/admin/faults")->body).size(), 0u);

    // Quota, session expiry and offered versions are changed on the running server.
    ASSERT_EQ(h->postAdmin("quota", {{"bytes", 10}})->status, 200);
    EXPECT_EQ(errorIdOf(h->upload("/Documents/q.txt", std::string(5000, 'q'), "")), 22);
    ASSERT_EQ(h->postAdmin("sessions/expire", json::object())->status, 200);
    EXPECT_EQ(errorIdOf(h->get(DevServerHarness::folderUrl("/Documents"))), 1);
    ASSERT_EQ(h->postAdmin("versions", {{"versions", {"1.4"}}})->status, 200);
    json doc = parseJson(h->http().Get("//endpoints")->body);
    EXPECT_FALSE(doc["br"]["sync"].contains("1.6"));
    EXPECT_TRUE(doc["br"]["sync"].contains("1.4"));
    // Stored attributes of an item can be set for a test.
    ASSERT_EQ(
        h->postAdmin("item", {{"path", "/Projects"}, {"read_only", true}, {"allow_sharing", true}})->status,
        200);
}

TEST_F(DevserverRobustness, AdministrationOnlyExistsWithFaults) {
    ASSERT_TRUE(h->start({}));
    ASSERT_TRUE(h->login());
    auto r = h->postAdmin("faults", {{"errorId", 26}});
    EXPECT_EQ(r->status, 404);
    EXPECT_EQ(h->get(DevServerHarness::folderUrl("/Documents"))->status, 200);
    EXPECT_EQ(h->http().Get("/admin/audit")->status, 404);
}

TEST_F(DevserverRobustness, BadCommandLinesAreRefused) {
    ServerProcess p;
    EXPECT_FALSE(p.start({"--root", dir.str()}, dir.path() / "log")) << "no --listen and no --user";
    p.stop();
    ServerProcess q;
    EXPECT_FALSE(q.start({"--root", dir.str(), "--listen", "127.0.0.1:0", "--user", "a:b", "--seed", "other"},
                         dir.path() / "log"));
    q.stop();
}

TEST_F(DevserverRobustness, ServesOverTls) {
    if (std::system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl is not installed";
    std::string cert = (dir.path() / "cert.pem").string(), key = (dir.path() / "key.pem").string();
    std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " + key +
                      " -out " + cert + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "openssl could not make a test certificate";
    ASSERT_TRUE(h->start({"--tls-cert", cert, "--tls-key", key}));
    EXPECT_EQ(h->process().baseUrl().rfind("https://127.0.0.1:", 0), 0u);
    httplib::SSLClient c("127.0.0.1", h->process().port());
    c.enable_server_certificate_verification(false);
    auto r = c.Get("//endpoints");
    ASSERT_TRUE(r);
    EXPECT_EQ(parseJson(r->body)["br"]["sync"]["1.6"]["path"], "/br/sync/1.6/");
}

}  // namespace
}  // namespace tw::test
