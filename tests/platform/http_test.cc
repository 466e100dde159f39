// The HTTP layer against real servers on loopback: cpp-httplib for well-formed exchanges, a raw socket
// server for broken ones, and a TLS server with a self-signed certificate.
#include "platform/http.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "raw_server.h"
#include "support/certificate.h"
#include "support/temp_dir.h"

namespace tw::platform::http {
namespace {

using namespace std::chrono_literals;

// An httplib server on a free loopback port, listening on its own thread.
template <class Server>
struct Running {
    Server& server;
    int port = 0;
    std::thread thread;
    explicit Running(Server& s) : server(s) {
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ~Running() {
        server.stop();
        thread.join();
    }
    std::string base(const char* scheme = "http") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port);
    }
};

class StringSource : public BodySource {
public:
    StringSource(std::string s, size_t slice) : s_(std::move(s)), slice_(slice) {}
    int64_t read(uint8_t* buffer, size_t maxLength) override {
        size_t n = std::min({maxLength, slice_, s_.size() - off_});
        memcpy(buffer, s_.data() + off_, n);
        off_ += n;
        return static_cast<int64_t>(n);
    }
    int64_t length() const override { return static_cast<int64_t>(s_.size()); }

private:
    std::string s_;
    size_t slice_;
    size_t off_ = 0;
};

class FailingSource : public BodySource {
public:
    int64_t read(uint8_t* buffer, size_t maxLength) override {
        if (calls_++ > 0) return -1;
        size_t n = std::min<size_t>(maxLength, 10);
        memset(buffer, 'x', n);
        return static_cast<int64_t>(n);
    }
    int64_t length() const override { return 1000; }

private:
    int calls_ = 0;
};

// ---- well-formed exchanges

TEST(Http, GetCarriesHeadersAndReturnsStatusHeadersBody) {
    httplib::Server s;
    s.Get("/thing", [](const httplib::Request& req, httplib::Response& res) {
        res.status = 500;
        res.set_header("X-Echo", req.get_header_value("Accept"));
        res.set_content("{\"errorId\": 1077}", "application/json");
    });
    Running r(s);
    Session session;
    auto result = session.perform({.url = r.base() + "/thing", .headers = {{"Accept", "application/json"}}});
    ASSERT_FALSE(result.error) << result.error->description;
    ASSERT_TRUE(result.response);
    EXPECT_EQ(result.response->statusCode, 500);
    EXPECT_EQ(result.response->header("x-echo").value_or(""), "application/json");
    EXPECT_EQ(result.data.value_or(""), "{\"errorId\": 1077}");
}

TEST(Http, AHeaderWithAnEmptyValueIsSentNotDropped) {
    // An empty value says something ("no revision": the item must be new); dropping the header
    // would say nothing, and a server then checks nothing. Seen on the wire, as a server reads it.
    std::mutex m;
    std::string head;
    tw::test::RawServer raw([&](int fd, const std::string& h) {
        {
            std::lock_guard lock(m);
            head = h;
        }
        tw::test::writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    });
    Session session;
    auto result = session.perform({.url = raw.base() + "/thing", .headers = {{"br_revision", ""}}});
    ASSERT_TRUE(result.response) << (result.error ? result.error->description : "");
    std::lock_guard lock(m);
    EXPECT_NE(head.find("\r\nbr_revision:\r\n"), std::string::npos) << head;
}

TEST(Http, StreamedBodyArrivesWholeWithItsLengthAndProgressCounts) {
    std::string body;
    for (int i = 0; i < 300000; ++i) body += static_cast<char>('a' + i % 26);
    httplib::Server s;
    std::string got, contentLength, contentType, method;
    s.Post("/up", [&](const httplib::Request& req, httplib::Response& res) {
        got = req.body;
        contentLength = req.get_header_value("Content-Length");
        contentType = req.get_header_value("Content-Type");
        res.status = 204;
    });
    s.Delete("/up", [&](const httplib::Request& req, httplib::Response& res) {
        method = req.method;
        res.status = 200;
    });
    Running r(s);
    Session session;
    Request req{.url = r.base() + "/up", .method = "POST"};
    req.bodySource = std::make_shared<StringSource>(body, 7777);
    std::atomic<bool> done{false};
    auto task = session.start(req, [&](Result res) {
        EXPECT_FALSE(res.error);
        EXPECT_EQ(res.response->statusCode, 204);
        EXPECT_FALSE(res.data && !res.data->empty());
        done = true;
    });
    task->wait();
    EXPECT_TRUE(done);
    EXPECT_EQ(task->state(), Task::State::completed);
    EXPECT_EQ(task->countOfBytesSent(), static_cast<int64_t>(body.size()));
    EXPECT_EQ(got, body);
    EXPECT_EQ(contentLength, std::to_string(body.size()));
    EXPECT_EQ(contentType, "");  // a form body goes without a content type unless one is given

    auto del = session.perform({.url = r.base() + "/up", .method = "DELETE"});
    EXPECT_FALSE(del.error);
    EXPECT_EQ(method, "DELETE");
}

TEST(Http, ResponseStreamsIntoAFile) {
    std::string big(2u << 20, 'z');
    httplib::Server s;
    s.Get("/file", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(big, "application/octet-stream");
    });
    Running r(s);
    tw::test::TempDir dir;
    std::string path = (dir / "out").string();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    Session session;
    auto result = session.perform({.url = r.base() + "/file", .responseFd = fd, .maxResponseBytes = 1024});
    ::close(fd);
    EXPECT_FALSE(result.error);
    EXPECT_FALSE(result.data);
    EXPECT_EQ(tw::test::readFile(path), big);
}

// Records what it is handed; refuses the head or stops after `stopAfter` bytes when told to.
class RecordingSink : public ResponseSink {
public:
    bool begin(const Response& head) override {
        ++begins;
        status = head.statusCode;
        type = head.header("Content-Type").value_or("");
        return acceptHead;
    }
    bool write(const char* data, size_t count) override {
        if (body.size() + count > stopAfter) return false;
        body.append(data, count);
        return true;
    }
    int begins = 0;
    long status = 0;
    std::string type, body;
    bool acceptHead = true;
    size_t stopAfter = SIZE_MAX;
};

TEST(Http, ASinkSeesTheHeadOnceBeforeTheBodyAndCanStopIt) {
    std::string big(1u << 20, 'q');
    httplib::Server s;
    s.Get("/file", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(big, "application/octet-stream");
    });
    s.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_content("{\"errorId\": 20}", "application/json");
    });
    Running r(s);
    Session session;

    auto whole = std::make_shared<RecordingSink>();
    auto result =
        session.perform({.url = r.base() + "/file", .responseSink = whole, .maxResponseBytes = 1024});
    EXPECT_FALSE(result.error);
    EXPECT_FALSE(result.data);  // the body went to the sink only, whatever the memory cap
    ASSERT_TRUE(result.response);
    EXPECT_EQ(result.response->statusCode, 200);
    EXPECT_EQ(whole->begins, 1);
    EXPECT_EQ(whole->status, 200);
    EXPECT_EQ(whole->type, "application/octet-stream");
    EXPECT_EQ(whole->body, big);

    // An error answer comes with its status, so the sink can keep it apart from file content.
    auto error = std::make_shared<RecordingSink>();
    result = session.perform({.url = r.base() + "/missing", .responseSink = error});
    EXPECT_EQ(error->status, 404);
    EXPECT_EQ(error->body, "{\"errorId\": 20}");

    // Refusing the head or a slice stops the transfer as a write failure; nothing more is handed on.
    auto refused = std::make_shared<RecordingSink>();
    refused->acceptHead = false;
    result = session.perform({.url = r.base() + "/file", .responseSink = refused});
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code, kCannotWriteToFile);
    EXPECT_TRUE(refused->body.empty());
    auto stopped = std::make_shared<RecordingSink>();
    stopped->stopAfter = 100000;
    result = session.perform({.url = r.base() + "/file", .responseSink = stopped});
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code, kCannotWriteToFile);
    EXPECT_LE(stopped->body.size(), 100000u);
}

TEST(Http, CookiesSetByTheServerGoBackOnlyToItAndCanBeDropped) {
    httplib::Server s;
    std::string seen;
    s.Post("/api/sessions", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Set-Cookie", "sid=abc123; Path=/; HttpOnly");
        res.status = 200;
    });
    s.Get("/api/folders/x", [&](const httplib::Request& req, httplib::Response& res) {
        seen = req.get_header_value("Cookie");
        res.status = 200;
    });
    Running r(s);
    Session session;
    EXPECT_FALSE(session.perform({.url = r.base() + "/api/sessions", .method = "POST"}).error);
    ASSERT_EQ(session.cookies().count(), 1u);
    EXPECT_TRUE(session.cookies().cookiesFor(r.base() + "/api/")[0].discard);
    session.perform({.url = r.base() + "/api/folders/x"});
    EXPECT_EQ(seen, "sid=abc123");
    EXPECT_TRUE(session.cookies().cookiesFor("http://localhost:1/api/").empty());  // another host

    session.cookies().deleteCookiesFor(r.base() + "/api/");
    EXPECT_EQ(session.cookies().count(), 0u);
    session.perform({.url = r.base() + "/api/folders/x"});
    EXPECT_EQ(seen, "");
}

TEST(Http, CancellingARunningTaskEndsItWithTheCancelCode) {
    httplib::Server s;
    std::atomic<bool> release{false};
    s.Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
        for (int i = 0; i < 200 && !release; ++i) std::this_thread::sleep_for(10ms);
        res.status = 200;
    });
    Running r(s);
    Session session;
    std::optional<Result> got;
    auto task = session.start({.url = r.base() + "/slow"}, [&](Result res) { got = std::move(res); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(task->state(), Task::State::running);
    task->cancel();
    ASSERT_TRUE(task->waitFor(5s));
    release = true;
    ASSERT_TRUE(got && got->error);
    EXPECT_EQ(got->error->code, kCancelled);
    EXPECT_FALSE(got->response);
}

// A transfer nobody waits for is sent from a thread at idle CPU and I/O priority, where the body is
// read too; any other request keeps the priority a program's wait deserves.
TEST(Http, OnlyARequestMarkedIdleIsSentFromAnIdleThread) {
    struct PolicySource : StringSource {
        PolicySource() : StringSource("body", 4) {}
        int64_t read(uint8_t* buffer, size_t maxLength) override {
            policy = sched_getscheduler(0);
            ioClass = static_cast<int>(syscall(SYS_ioprio_get, 1, 0)) >> 13;
            return StringSource::read(buffer, maxLength);
        }
        int policy = -1;
        int ioClass = -1;
    };
    httplib::Server s;
    s.Post("/up",
           [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
    Running r(s);
    Session session;
    for (bool idle : {true, false}) {
        auto source = std::make_shared<PolicySource>();
        Request request{.url = r.base() + "/up", .method = "POST", .bodySource = source};
        request.idlePriority = idle;
        auto result = session.perform(request);
        ASSERT_FALSE(result.error) << result.error->description;
        EXPECT_EQ(source->policy == SCHED_IDLE, idle);
        EXPECT_EQ(source->ioClass == 3, idle);  // the idle I/O class
    }
    EXPECT_NE(sched_getscheduler(0), SCHED_IDLE) << "the caller's own thread was changed";
}

TEST(Http, ExchangesOneAfterAnotherShareOneConnection) {
    // A connection and, over TLS, a handshake per request would cost a burst of small uploads more
    // than the uploads themselves.
    httplib::Server s;
    std::mutex m;
    std::set<int> ports;
    auto note = [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(m);
        ports.insert(req.remote_port);
        res.set_content("ok", "text/plain");
    };
    s.Get("/a", note);
    s.Post("/b", note);
    s.set_keep_alive_max_count(100);  // httplib closes after five by default
    Running r(s);
    Session session;
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(session.perform({.url = r.base() + "/a"}).error);
        EXPECT_FALSE(session.perform({.url = r.base() + "/b", .method = "POST", .body = "x=1"}).error);
        Request streamed{.url = r.base() + "/b", .method = "POST"};
        streamed.bodySource = std::make_shared<StringSource>("a streamed body", 4);
        EXPECT_FALSE(session.perform(streamed).error);
    }
    std::lock_guard lock(m);
    EXPECT_EQ(ports.size(), 1u);
}

// ---- transport failures and their codes

TEST(HttpErrors, ARequestOnAKeptConnectionThatDiesUnansweredIsNotSentAgain) {
    // A server may act on a request and drop the connection before it answers. Sent again on a new
    // connection, an upload, a move or a delete would happen twice; the caller hears of a lost
    // connection instead and judges the item itself.
    for (bool streamed : {false, true}) {
        std::atomic<int> posts{0};
        tw::test::RawServer raw([&](int fd, const std::string& head) {
            if (head.rfind("POST", 0) == 0) {  // a request sent again on a new connection
                ++posts;
                return;
            }
            tw::test::writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
            // The connection stays open; the next request on it is read and never answered.
            if (tw::test::readHead(fd).rfind("POST", 0) == 0) ++posts;
        });
        Session session;
        auto first = session.perform({.url = raw.base() + "/a"});
        ASSERT_TRUE(first.response) << (first.error ? first.error->description : "");
        Request post{.url = raw.base() + "/b", .method = "POST", .body = "x=1"};
        if (streamed) post.bodySource = std::make_shared<StringSource>("a streamed body", 4);
        auto second = session.perform(post);
        ASSERT_TRUE(second.error) << "streamed " << streamed;
        EXPECT_EQ(second.error->code, kNetworkConnectionLost) << second.error->description;
        EXPECT_EQ(posts.load(), 1) << "streamed " << streamed;
    }
}

TEST(HttpErrors, ConnectionRefusedUnknownHostAndBadURL) {
    // A port that was just free is almost certainly closed now.
    int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(sock, reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    ::close(sock);

    Session session;
    auto refused = session.perform({.url = "http://127.0.0.1:" + std::to_string(port) + "/"});
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->code, kCannotConnectToHost);

    auto unknown = session.perform({.url = "http://tidewell-test.invalid/", .timeout = 5s});
    ASSERT_TRUE(unknown.error);
    EXPECT_EQ(unknown.error->code, kCannotFindHost) << unknown.error->description;

    auto bad = session.perform({.url = "http://exa mple:99999999/"});
    ASSERT_TRUE(bad.error);
    EXPECT_TRUE(bad.error->code == kBadURL || bad.error->code == kUnsupportedURL) << bad.error->description;
}

TEST(HttpErrors, SilenceOverTheTimeoutIsATimeOut) {
    tw::test::RawServer raw([](int, const std::string&) { std::this_thread::sleep_for(3s); });
    Session session;
    auto result = session.perform({.url = raw.base() + "/", .timeout = 1s});
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code, kTimedOut);
}

TEST(HttpErrors, ABodyCutShortIsAConnectionLost) {
    tw::test::RawServer raw([](int fd, const std::string&) {
        tw::test::writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789");
    });
    Session session;
    auto result = session.perform({.url = raw.base() + "/"});
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code, kNetworkConnectionLost);
    EXPECT_FALSE(result.response);
}

TEST(HttpErrors, AnAnswerLargerThanAllowedIsRefusedNotKept) {
    tw::test::RawServer raw([](int fd, const std::string&) {
        std::string body(100000, 'g');
        tw::test::writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + body);
    });
    Session session;
    auto result = session.perform({.url = raw.base() + "/", .maxResponseBytes = 4096});
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code, kDataLengthExceedsMaximum);
    EXPECT_FALSE(result.data);
}

TEST(HttpErrors, ABodySourceThatFailsStopsTheRequest) {
    std::atomic<bool> handled{false};
    httplib::Server s;
    s.Post("/up", [&](const httplib::Request&, httplib::Response& res) {
        handled = true;
        res.status = 200;
    });
    Running r(s);
    Session session;
    Request req{.url = r.base() + "/up", .method = "POST"};
    req.bodySource = std::make_shared<FailingSource>();
    auto result = session.perform(req);
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code, kRequestBodyStreamExhausted);
    EXPECT_FALSE(handled);  // the server never saw a complete request
}

TEST(HttpErrors, ASelfSignedCertificateIsRejected) {
    tw::test::TempDir dir;
    tw::test::TestCertificate certificate;
    if (!tw::test::makeSelfSignedCertificate(dir.path(), certificate))
        GTEST_SKIP() << "openssl cannot make a test certificate";
    const std::string &cert = certificate.cert, &key = certificate.key;
    httplib::SSLServer s(cert.c_str(), key.c_str());
    s.Get("/", [](const httplib::Request&, httplib::Response& res) { res.status = 200; });
    Running r(s);
    Session session;
    auto result = session.perform({.url = r.base("https") + "/"});
    ASSERT_TRUE(result.error);
    EXPECT_LE(result.error->code, kSecureConnectionFailed);
    EXPECT_GE(result.error->code, kServerCertificateNotYetValid);
    EXPECT_EQ(result.error->code, kServerCertificateUntrusted) << result.error->description;

    // Trusting that certificate explicitly lets the same request through: verification is real.
    auto trusted = session.perform({.url = r.base("https") + "/", .caFile = cert});
    EXPECT_FALSE(trusted.error) << (trusted.error ? trusted.error->description : "");
}

}  // namespace
}  // namespace tw::platform::http
