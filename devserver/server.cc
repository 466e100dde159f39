#include "devserver/server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "devserver/server_internal.h"

namespace tw::devserver {

namespace fs = std::filesystem;
using namespace detail;

namespace {

constexpr const char* kSessionCookie = "tidewell_session";

bool isDigits(std::string_view s) {
    if (s.empty() || s.size() > 19) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}
std::string randomToken() {
    std::random_device rd;
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 32; ++i) out.push_back(hex[rd() & 15]);
    return out;
}
// The inode of the TCP socket whose two ports are these, from the kernel's socket tables.
std::optional<std::string> socketInode(int localPort, int remotePort) {
    for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        std::FILE* f = std::fopen(table, "r");
        if (!f) continue;
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(f, &std::fclose);
        char line[512];
        if (!std::fgets(line, sizeof line, f)) continue;  // the column titles
        while (std::fgets(line, sizeof line, f)) {
            // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
            char local[64], remote[64];
            unsigned long inode = 0;
            if (std::sscanf(line, " %*s %63s %63s %*s %*s %*s %*s %*s %*s %lu", local, remote, &inode) != 3)
                continue;
            auto port = [](const char* addr) {
                const char* colon = std::strrchr(addr, ':');
                return colon ? static_cast<int>(std::strtol(colon + 1, nullptr, 16)) : -1;
            };
            if (port(local) == localPort && port(remote) == remotePort && inode != 0)
                return std::to_string(inode);
        }
    }
    return std::nullopt;
}
std::string cookieValue(const httplib::Request& req, const std::string& name) {
    for (size_t i = 0; i < req.get_header_value_count("Cookie"); ++i) {
        std::string all = req.get_header_value("Cookie", i);
        size_t pos = 0;
        while (pos < all.size()) {
            size_t semi = all.find(';', pos);
            if (semi == std::string::npos) semi = all.size();
            std::string pair = all.substr(pos, semi - pos);
            size_t start = pair.find_first_not_of(' ');
            if (start != std::string::npos) pair = pair.substr(start);
            size_t eq = pair.find('=');
            if (eq != std::string::npos && pair.substr(0, eq) == name) return pair.substr(eq + 1);
            pos = semi + 1;
        }
    }
    return "";
}

}  // namespace

namespace detail {

std::string dumpJson(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<json> readReport(const std::string& body, std::string& why) {
    if (body.rfind("data=", 0) != 0) {
        why = "body is data= and a JSON document";
        return std::nullopt;
    }
    // The report is stored by writing it out again, which takes one level of stack per level of
    // nesting: a document nested deeper than any report needs is refused before it is kept.
    bool tooDeep = false;
    json::parser_callback_t depthCheck = [&tooDeep](int depth, json::parse_event_t, json&) {
        if (depth > kMaxReportDepth) tooDeep = true;
        return !tooDeep;
    };
    auto doc = json::parse(body.substr(5), depthCheck, false);
    if (tooDeep) {
        why = "report nested too deeply";
        return std::nullopt;
    }
    if (doc.is_discarded() || !doc.is_object()) {
        why = "report is not a JSON object";
        return std::nullopt;
    }
    return doc;
}

std::optional<uint64_t> parseCount(std::string_view s) {
    if (!isDigits(s)) return std::nullopt;
    return std::stoull(std::string(s));
}

bool isResumeId(std::string_view s) {
    if (s.empty() || s.size() > 64) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-'))
            return false;
    return true;
}
// Cuts the TCP connection that carries `req` without an answer: the fault of a network that goes away.
// httplib does not hand out the socket, so it is found by its ports in the kernel's socket table and
// by its inode among our descriptors (read through /proc, without touching other threads' sockets).
// The socket belongs to the connection this thread is serving, so it stays open while we use it.
void cutConnection(const httplib::Request& req) {
    auto inode = socketInode(req.local_port, req.remote_port);
    if (!inode) return;
    const std::string wanted = "socket:[" + *inode + "]";
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/self/fd", ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        std::error_code linkError;
        if (fs::read_symlink(it->path(), linkError).string() != wanted || linkError) continue;
        const std::string name = it->path().filename().string();
        int fd = std::atoi(name.c_str());
        ::shutdown(fd, SHUT_RDWR);
        return;
    }
}

bool hasBody(const httplib::Request& req) {
    if (req.has_header("Transfer-Encoding")) return true;
    if (!req.has_header("Content-Length")) return false;
    return req.get_header_value("Content-Length") != "0";
}

}  // namespace detail

// ---------------------------------------------------------------------------------------------------
// Replies and bodies

void DevServer::Impl::sendJson(Exchange& ex, int status, const json& body) {
    ex.res.status = status;
    std::string text = dumpJson(body);
    if (!ex.dropResponseAfter) {
        ex.res.set_content(text, "application/json");
        return;
    }
    uint64_t limit = *ex.dropResponseAfter;
    if (limit == 0) {
        ex.cut = true;
        return;
    }
    auto shared = std::make_shared<std::string>(std::move(text));
    ex.res.set_content_provider(shared->size(), "application/json",
                                [shared, limit](size_t offset, size_t length, httplib::DataSink& sink) {
                                    if (offset >= limit) return false;
                                    size_t n = std::min<size_t>(length, limit - offset);
                                    sink.write(shared->data() + offset, n);
                                    return true;
                                });
}

void DevServer::Impl::sendError(Exchange& ex, int errorId, const std::optional<Item>& current, json extra) {
    json body = extra.is_object() ? extra : json::object();
    body["errorId"] = errorId;
    if (current) body["document_info"] = itemJson(*current);
    sendJson(ex, statusForError(errorId), body);
}

void DevServer::Impl::sendOutcome(Exchange& ex, const Outcome& o) {
    if (o.errorId != 0)
        sendError(ex, o.errorId, o.current);
    else
        sendJson(ex, 200, o.item ? itemJson(*o.item) : json::object());
}

bool DevServer::Impl::readBody(Exchange& ex, const std::function<void(const char*, size_t)>& sink) {
    if (!ex.reader || !hasBody(ex.req)) {
        ex.bodyComplete = true;
        return true;
    }
    ex.bodyTouched = true;
    uint64_t received = 0;
    bool dropped = false;
    bool ok = (*ex.reader)([&](const char* data, size_t size) {
        if (ex.dropRequestAfter && received + size >= *ex.dropRequestAfter) {
            size_t keep = static_cast<size_t>(*ex.dropRequestAfter - received);
            if (keep > 0) sink(data, keep);
            received += keep;
            dropped = true;
            return false;
        }
        received += size;
        sink(data, size);
        return true;
    });
    if (dropped) {
        ex.cut = true;
        return false;
    }
    ex.bodyComplete = ok;
    return ok;
}

std::optional<std::string> DevServer::Impl::readSmallBody(Exchange& ex, size_t limit) {
    std::string body;
    bool tooLong = false;
    bool ok = readBody(ex, [&](const char* data, size_t size) {
        if (tooLong) return;
        if (body.size() + size > limit) {
            tooLong = true;
            body.clear();
            return;
        }
        body.append(data, size);
    });
    if (!ok || tooLong) return std::nullopt;
    return body;
}

void DevServer::Impl::drain(Exchange& ex) {
    if (ex.bodyTouched || ex.cut) return;
    readBody(ex, [](const char*, size_t) {});
}

// ---------------------------------------------------------------------------------------------------
// Dispatch

void DevServer::Impl::install() {
    http->new_task_queue = [] { return new httplib::ThreadPool(32); };  // httplib owns and deletes it
    http->set_read_timeout(30, 0);
    http->set_write_timeout(30, 0);
    http->set_keep_alive_max_count(100);
    // An answer goes out as a head and a body in two writes; on a kept-alive connection Nagle would
    // hold the body back until the client's delayed acknowledgement (40 ms), as web servers know.
    http->set_tcp_nodelay(true);
    http->set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
        std::string type = req.get_header_value("Content-Type");
        if (type.rfind("multipart/", 0) == 0 || type.rfind("Multipart/", 0) == 0) {
            // The Request object is owned by httplib's connection loop and is not const there; only
            // the callback's view of it is.
            auto& mutableReq = const_cast<httplib::Request&>(req);
            mutableReq.headers.erase("Content-Type");
            mutableReq.headers.emplace(kMultipartHeader, type);
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    auto plain = [this](const httplib::Request& req, httplib::Response& res) { dispatch(req, res, nullptr); };
    auto streamed = [this](const httplib::Request& req, httplib::Response& res,
                           const httplib::ContentReader& reader) { dispatch(req, res, &reader); };
    // Every route takes the body as a stream, so httplib never buffers a body in memory.
    http->Get(".*", plain);
    http->Options(".*", plain);
    http->Post(".*", streamed);
    http->Put(".*", streamed);
    http->Patch(".*", streamed);
    http->Delete(".*", streamed);
    http->Post(".*", plain);
    http->Put(".*", plain);
    http->Patch(".*", plain);
    http->Delete(".*", plain);
    http->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        res.status = 500;
        res.set_content(dumpJson({{"errorId", error_id::smbFileSystemError}}), "application/json");
    });
    if (config.logRequests) {
        http->set_logger([](const httplib::Request& req, const httplib::Response& res) {
            std::fprintf(stderr, "devserver: %s %s -> %d\n", req.method.c_str(), req.target.c_str(),
                         res.status);
        });
    }
}

void DevServer::Impl::dispatch(const httplib::Request& req, httplib::Response& res,
                               const httplib::ContentReader* reader) {
    Exchange ex{req, res, reader};
    std::string target = req.target;
    size_t q = target.find('?');
    std::string rawPath = target.substr(0, q);
    auto decoded = percentDecode(rawPath, false);
    std::optional<std::map<std::string, std::string>> query;
    if (q != std::string::npos)
        query = parseForm(std::string_view(target).substr(q + 1));
    else
        query.emplace();
    if (!decoded || !query) {
        drain(ex);
        sendError(ex, error_id::badRequest, std::nullopt, {{"message", "bad percent escape"}});
        return;
    }
    ex.path = *decoded;
    ex.query = std::move(*query);

    if (config.faults && ex.path.rfind("/admin/", 0) != 0) {
        for (const Fault& f : faults.take(req.method, target, ex.path)) {
            switch (f.action) {
                case Fault::Action::delay:
                    std::this_thread::sleep_for(std::chrono::milliseconds(f.delayMs));
                    break;
                case Fault::Action::drop: {
                    bool request = f.stage == Fault::Stage::request ||
                                   (f.stage == Fault::Stage::automatic && reader && hasBody(req));
                    (request ? ex.dropRequestAfter : ex.dropResponseAfter) = f.afterBytes;
                    if (!request) ex.holdBeforeCutMs = f.delayMs;
                    break;
                }
                case Fault::Action::error:
                    drain(ex);
                    if (ex.cut) {
                        cutConnection(req);
                        return;
                    }
                    sendJson(ex, f.status, {{"errorId", f.errorId}});
                    if (ex.cut) cutConnection(req);
                    return;
            }
        }
    }

    route(ex);
    if (ex.cut) {
        cutConnection(req);
        return;
    }
    if (ex.bodyTouched && !ex.bodyComplete) {
        // The body stopped early (client gone or a bad body that was given up on): the stream is
        // somewhere inside it, so the connection cannot carry another request.
        cutConnection(req);
        return;
    }
    drain(ex);
}

void DevServer::Impl::route(Exchange& ex) {
    const std::string& path = ex.path;
    const std::string& method = ex.req.method;

    // The client's reachability probe is a HEAD of the bare server address.
    if (path == "/" && (method == "HEAD" || method == "GET"))
        return sendJson(ex, 200, {{"server", "tidewell-devserver"}});
    if (path == "/endpoints" || path == "//endpoints") {
        if (method != "GET") return sendError(ex, error_id::badRequest);
        return endpoints(ex);
    }
    if (path.rfind("/admin/", 0) == 0 && config.faults) return admin(ex, path.substr(7));

    if (path.rfind("/br/audit/1/", 0) == 0 || path == "/br/audit/1") {
        std::string rest = path.size() > 12 ? path.substr(12) : "";
        if (!rest.empty() || method != "POST") return sendError(ex, error_id::badRequest);
        if (!authenticate(ex)) return;
        return audit(ex);
    }

    const std::string syncPrefix = "/br/sync/";
    if (path.rfind(syncPrefix, 0) == 0) {
        size_t slash = path.find('/', syncPrefix.size());
        std::string version = path.substr(
            syncPrefix.size(), slash == std::string::npos ? std::string::npos : slash - syncPrefix.size());
        bool offered;
        {
            std::lock_guard lock(mutex);
            offered = std::find(versions.begin(), versions.end(), version) != versions.end();
        }
        if (offered && slash != std::string::npos) {
            std::string rest = path.substr(slash + 1);
            if (rest == "sessions") {
                if (method == "POST") return login(ex);
                if (method == "DELETE") return logout(ex);
                return sendError(ex, error_id::badRequest);
            }
            if (rest == "folders" || rest.rfind("folders/", 0) == 0) {
                if (!authenticate(ex)) return;
                return folders(ex, rest.substr(7));
            }
            if (rest.rfind("resume/upload/", 0) == 0) {
                if (!authenticate(ex)) return;
                return resumeUpload(ex, rest.substr(13));
            }
        }
    }
    json body{{"errorId", error_id::badRequest}, {"message", "no such resource"}};
    sendJson(ex, 404, body);
}

// ---------------------------------------------------------------------------------------------------
// Discovery and sessions

void DevServer::Impl::endpoints(Exchange& ex) {
    json sync = json::object();
    {
        std::lock_guard lock(mutex);
        for (const auto& v : versions) sync[v] = {{"path", "/br/sync/" + v + "/"}};
    }
    json doc{{"br", {{"sync", sync}, {"audit", {{"1", {{"path", "/br/audit/1/"}}}}}}}};
    sendJson(ex, 200, doc);
}

void DevServer::Impl::login(Exchange& ex) {
    auto body = readSmallBody(ex, 64 * 1024);
    if (!body) return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "logon form too long"}});
    auto form = parseForm(*body);
    if (!form || !form->count("user_id") || !form->count("password"))
        return sendError(ex, error_id::badRequest, std::nullopt,
                         {{"message", "user_id and password are required"}});
    const std::string& user = form->at("user_id");
    auto it = config.users.find(user);
    if (it == config.users.end() || it->second != form->at("password"))
        return sendError(ex, error_id::invalidCredentials);
    std::string token = randomToken();
    {
        std::lock_guard lock(mutex);
        sessions[token] = {user,
                           std::chrono::steady_clock::now() + std::chrono::seconds(config.sessionTtlSeconds)};
    }
    ex.res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + token + "; Path=/; HttpOnly");
    sendJson(ex, 200, {{"user_id", user}, {"session_ttl", config.sessionTtlSeconds}});
}

void DevServer::Impl::logout(Exchange& ex) {
    std::string token = cookieValue(ex.req, kSessionCookie);
    {
        std::lock_guard lock(mutex);
        sessions.erase(token);
    }
    sendJson(ex, 200, json::object());
}

bool DevServer::Impl::authenticate(Exchange& ex) {
    std::string token = cookieValue(ex.req, kSessionCookie);
    {
        std::lock_guard lock(mutex);
        auto it = sessions.find(token);
        if (it != sessions.end()) {
            if (std::chrono::steady_clock::now() < it->second.expires) {
                ex.user = it->second.user;
                return true;
            }
            sessions.erase(it);
        }
    }
    sendError(ex, error_id::invalidCredentials);
    return false;
}

// ---------------------------------------------------------------------------------------------------
// Audit and administration

void DevServer::Impl::audit(Exchange& ex) {
    auto body = readSmallBody(ex, kSmallBodyLimit);
    if (!body) return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "report too long"}});
    std::string why;
    auto doc = readReport(*body, why);
    if (!doc) return sendError(ex, error_id::badRequest, std::nullopt, {{"message", why}});
    store->addAudit(ex.user, dumpJson(*doc));
    sendJson(ex, 200, json::object());
}

void DevServer::Impl::admin(Exchange& ex, const std::string& rest) {
    const std::string& method = ex.req.method;
    json in = json::object();
    if (method == "POST") {
        auto body = readSmallBody(ex, kSmallBodyLimit);
        if (!body) return sendError(ex, error_id::badRequest);
        if (!body->empty()) in = json::parse(*body, nullptr, false);
        if (in.is_discarded())
            return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "body is not JSON"}});
    }
    auto text = [&](const char* key) {
        return in.contains(key) && in[key].is_string() ? in[key].get<std::string>() : "";
    };
    if (rest == "faults") {
        if (method == "GET") return sendJson(ex, 200, faults.list());
        if (method == "DELETE") {
            faults.clear();
            return sendJson(ex, 200, json::object());
        }
        if (method == "POST") {
            json list = in.is_array() ? in : json::array({in});
            std::vector<Fault> parsed;
            for (const auto& j : list) {
                std::string error;
                auto f = Fault::fromJson(j, error);
                if (!f) return sendError(ex, error_id::badRequest, std::nullopt, {{"message", error}});
                parsed.push_back(*f);
            }
            for (auto& f : parsed) faults.add(std::move(f));
            return sendJson(ex, 200, faults.list());
        }
    } else if (rest == "lock" && method == "POST") {
        bool locked = !in.contains("locked") || (in["locked"].is_boolean() && in["locked"].get<bool>());
        store->setLocked(text("path"), locked);
        return sendJson(ex, 200, json::object());
    } else if (rest == "quota" && method == "POST") {
        if (!in.contains("bytes") || !in["bytes"].is_number_unsigned())
            return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "bytes is a count"}});
        std::lock_guard lock(mutex);
        quota = in["bytes"].get<uint64_t>();
        return sendJson(ex, 200, json::object());
    } else if (rest == "sessions/expire" && method == "POST") {
        std::string user = text("user");
        std::lock_guard lock(mutex);
        for (auto it = sessions.begin(); it != sessions.end();)
            it = (user.empty() || it->second.user == user) ? sessions.erase(it) : std::next(it);
        return sendJson(ex, 200, json::object());
    } else if (rest == "versions" && method == "POST") {
        if (!in.contains("versions") || !in["versions"].is_array())
            return sendError(ex, error_id::badRequest, std::nullopt, {{"message", "versions is a list"}});
        std::vector<std::string> v;
        for (const auto& e : in["versions"])
            if (e.is_string()) v.push_back(e.get<std::string>());
        std::lock_guard lock(mutex);
        versions = v;
        return sendJson(ex, 200, json::object());
    } else if (rest == "item" && method == "POST") {
        if (!store->setAttributes(text("path"), in)) return sendError(ex, error_id::itemNotFound);
        return sendJson(ex, 200, itemJson(*store->find(text("path"))));
    } else if (rest == "mappoint" && method == "POST") {
        MappointSettings settings;
        settings.name = text("name");
        if (in.contains("mode")) settings.mode = text("mode");
        if (in.contains("type")) settings.diskType = text("type");
        settings.readOnly =
            in.contains("read_only") && in["read_only"].is_boolean() && in["read_only"].get<bool>();
        if (!store->ensureMappoint(settings)) return sendError(ex, error_id::illegalFilename);
        return sendJson(ex, 200, itemJson(*store->find("/" + settings.name)));
    } else if (rest == "audit" && method == "GET") {
        return sendJson(ex, 200, store->audits());
    }
    sendJson(ex, 404, {{"errorId", error_id::badRequest}, {"message", "no such administration resource"}});
}

// ---------------------------------------------------------------------------------------------------

DevServer::DevServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DevServer::~DevServer() = default;

std::unique_ptr<DevServer> DevServer::create(ServerConfig config, std::string& error) {
    auto impl = std::make_unique<Impl>();
    impl->config = std::move(config);
    impl->versions = impl->config.versions;
    impl->quota = impl->config.quota;
    impl->store = Store::open(impl->config.root, error);
    if (!impl->store) return nullptr;
    if (impl->config.seedDemo) {
        std::string owner = impl->config.users.empty() ? "" : impl->config.users.begin()->first;
        impl->store->seedDemo(owner);
    }
    for (const auto& m : impl->config.mappoints) {
        if (!impl->store->ensureMappoint(m)) {
            error = "cannot create the mappoint " + m.name;
            return nullptr;
        }
    }
    bool tls = !impl->config.tlsCert.empty() || !impl->config.tlsKey.empty();
    if (tls) {
        auto ssl =
            std::make_unique<httplib::SSLServer>(impl->config.tlsCert.c_str(), impl->config.tlsKey.c_str());
        if (!ssl->is_valid()) {
            error = "cannot load the TLS certificate or key";
            return nullptr;
        }
        impl->http = std::move(ssl);
    } else {
        impl->http = std::make_unique<httplib::Server>();
    }
    impl->install();
    if (impl->config.port == 0) {
        impl->boundPort = impl->http->bind_to_any_port(impl->config.host);
    } else if (impl->http->bind_to_port(impl->config.host, impl->config.port)) {
        impl->boundPort = impl->config.port;
    }
    if (impl->boundPort <= 0) {
        error = "cannot listen on " + impl->config.host + ":" + std::to_string(impl->config.port);
        return nullptr;
    }
    return std::unique_ptr<DevServer>(new DevServer(std::move(impl)));
}

int DevServer::port() const {
    return impl_->boundPort;
}

std::string DevServer::baseUrl() const {
    bool tls = !impl_->config.tlsCert.empty();
    std::string host = impl_->config.host;
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return std::string(tls ? "https" : "http") + "://" + host + ":" + std::to_string(impl_->boundPort);
}

bool DevServer::run() {
    return impl_->http->listen_after_bind();
}

void DevServer::stop() {
    impl_->http->stop();
}

}  // namespace tw::devserver
