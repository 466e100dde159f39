#include "fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "devserver/multipart.h"
#include "devserver/wire.h"
#include "platform/paths.h"

namespace tw::test {
namespace {

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

void sendAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

struct Part {
    std::string name, filename, value;
};

// Multipart parts, read by the reference server's own reader; the last part of a body that stopped
// early holds what arrived.
std::vector<Part> parseMultipart(const std::string& body, const std::string& boundary) {
    std::vector<Part> parts;
    devserver::MultipartReader reader(boundary, {[&](const devserver::MultipartPart& p) {
                                                     parts.push_back({p.name, p.filename.value_or(""), ""});
                                                     return true;
                                                 },
                                                 [&](std::string_view data) {
                                                     if (!parts.empty()) parts.back().value.append(data);
                                                     return true;
                                                 },
                                                 [] { return true; }});
    reader.feed(body.data(), body.size());
    reader.finish();
    return parts;
}

const char* reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        case 409:
            return "Conflict";
        default:
            return "Status";
    }
}

}  // namespace

std::string percentDecode(const std::string& s) {
    // The reference server's decoding; an escape it refuses is kept as it came.
    return devserver::percentDecode(s, false).value_or(s);
}

std::string HttpRequest::header(const std::string& name) const {
    for (auto& [k, v] : headers)
        if (k == name) return v;
    return "";
}

std::map<std::string, std::string> HttpRequest::form() const {
    return devserver::parseForm(body).value_or(std::map<std::string, std::string>{});
}

HttpReply HttpReply::json(int status, const std::string& body) {
    HttpReply r;
    r.status = status;
    r.body = body;
    r.headers.emplace_back("Content-Type", "application/json");
    return r;
}

HttpReply HttpReply::error(int errorId, int status) {
    return json(status, "{\"errorId\": " + std::to_string(errorId) + "}");
}

FakeSyncServer::FakeSyncServer() {
    tree_["/"] = Entry{};
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 64);
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { loop(); });
}

FakeSyncServer::~FakeSyncServer() {
    stop_ = true;
    thread_.join();
    for (auto& w : workers_) w.join();
    ::close(listen_);
}

void FakeSyncServer::loop() {
    while (!stop_) {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        workers_.emplace_back([this, fd] {
            serve(fd);
            ::close(fd);
        });
    }
}

void FakeSyncServer::serve(int fd) {
    std::string buf;
    char chunk[65536];
    auto readMore = [&]() -> bool {
        pollfd q{fd, POLLIN, 0};
        if (::poll(&q, 1, 10000) <= 0) return false;
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) return false;
        buf.append(chunk, static_cast<size_t>(n));
        return true;
    };
    size_t headEnd;
    while ((headEnd = buf.find("\r\n\r\n")) == std::string::npos)
        if (!readMore()) return;
    HttpRequest req;
    std::string head = buf.substr(0, headEnd);
    buf.erase(0, headEnd + 4);
    size_t lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    auto sp1 = requestLine.find(' ');
    auto sp2 = requestLine.rfind(' ');
    req.method = requestLine.substr(0, sp1);
    req.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
        size_t e = head.find("\r\n", pos);
        std::string line = head.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
        auto colon = line.find(':');
        if (colon != std::string::npos)
            req.headers.emplace_back(lower(trim(line.substr(0, colon))), trim(line.substr(colon + 1)));
        if (e == std::string::npos) break;
        pos = e + 2;
    }
    auto q = req.target.find('?');
    req.path = percentDecode(req.target.substr(0, q));
    if (q != std::string::npos) {
        HttpRequest tmp;
        tmp.body = req.target.substr(q + 1);
        req.query = tmp.form();
    }
    size_t length = 0;
    if (auto cl = req.header("content-length"); !cl.empty()) length = std::stoull(cl);
    size_t limit = length;
    {
        std::lock_guard lock(mutex_);
        if (dropAfter_ >= 0 && req.method == "POST" && req.path.find(dropPath_) != std::string::npos) {
            limit = std::min(length, static_cast<size_t>(dropAfter_));
            dropAfter_ = -1;
        }
    }
    while (buf.size() < limit) {
        if (int ms = slowBodyReadMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        if (!readMore()) break;
    }
    req.complete = buf.size() >= length;
    req.body = buf.substr(0, std::min(limit, buf.size()));

    HttpReply reply;
    {
        std::optional<HttpReply> intercepted;
        std::function<std::optional<HttpReply>(const HttpRequest&)> intercept;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(req);
            intercept = intercept_;
        }
        if (intercept) intercepted = intercept(req);
        reply = intercepted ? *intercepted : handle(req);
    }
    if (!req.complete || reply.drop) return;
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) + "\r\n";
    out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n";
    for (auto& [k, v] : reply.headers) out += k + ": " + v + "\r\n";
    out += "\r\n";
    if (reply.cutBodyAfter >= 0)
        out += reply.body.substr(0, static_cast<size_t>(reply.cutBodyAfter));
    else
        out += reply.body;
    sendAll(fd, out);
    ::shutdown(fd, SHUT_WR);
}

void FakeSyncServer::setIntercept(std::function<std::optional<HttpReply>(const HttpRequest&)> f) {
    std::lock_guard lock(mutex_);
    intercept_ = std::move(f);
}

void FakeSyncServer::dropBodyAfter(const std::string& pathPart, int64_t bytes) {
    std::lock_guard lock(mutex_);
    dropPath_ = pathPart;
    dropAfter_ = bytes;
}

void FakeSyncServer::expireSessions() {
    std::lock_guard lock(mutex_);
    sessions_.clear();
}

void FakeSyncServer::addFolder(const std::string& path) {
    std::lock_guard lock(mutex_);
    tree_[path] = Entry{};
}

void FakeSyncServer::addFile(const std::string& path, const std::string& data, const std::string& revision) {
    std::lock_guard lock(mutex_);
    Entry e;
    e.directory = false;
    e.data = data;
    e.revision = revision;
    tree_[path] = e;
}

std::optional<FakeSyncServer::Entry> FakeSyncServer::entry(const std::string& path) {
    std::lock_guard lock(mutex_);
    auto it = tree_.find(path);
    if (it == tree_.end()) return std::nullopt;
    return it->second;
}

std::map<std::string, FakeSyncServer::Resume> FakeSyncServer::resumes() {
    std::lock_guard lock(mutex_);
    return resumes_;
}

void FakeSyncServer::setResumeLocked(const std::string& id, bool locked) {
    std::lock_guard lock(mutex_);
    resumes_[id].locked = locked;
}

std::vector<HttpRequest> FakeSyncServer::requests() {
    std::lock_guard lock(mutex_);
    return requests_;
}

void FakeSyncServer::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

bool FakeSyncServer::authorised(const HttpRequest& req) {
    std::string cookie = req.header("cookie");
    for (auto& s : sessions_)
        if (cookie.find("sid=" + s) != std::string::npos) return true;
    return false;
}

std::string FakeSyncServer::entryJson(const std::string& path, const Entry& e, bool withContents) {
    nlohmann::json j = {{"name", path == "/" ? "" : platform::lastPathComponent(path)},
                        {"directory", e.directory ? 1 : 0},
                        {"size", e.data.size()},
                        {"revision", e.revision},
                        {"permissions", "WRITE"},
                        {"mode", "INHERIT"},
                        {"type", "Inherit"},
                        {"allow_sharing", 1},
                        {"creation_time", e.creationTime},
                        {"modification_time", e.modificationTime}};
    if (withContents && e.directory) {
        nlohmann::json contents = nlohmann::json::array();
        std::string prefix = path == "/" ? "/" : path + "/";
        for (auto& [p, child] : tree_) {
            if (p == path || p.rfind(prefix, 0) != 0) continue;
            if (p.find('/', prefix.size()) != std::string::npos) continue;
            contents.push_back(nlohmann::json::parse(entryJson(p, child, false)));
        }
        j["contents"] = contents;
    }
    return j.dump();
}

HttpReply FakeSyncServer::handle(const HttpRequest& req) {
    if (!req.complete && req.path.find("/resume/upload") == std::string::npos) return HttpReply{};
    std::lock_guard lock(mutex_);
    if (req.method == "GET" && req.path.find("/endpoints") != std::string::npos &&
        req.path.find_first_not_of('/') == req.path.find("endpoints"))
        return HttpReply::json(200, endpoints);
    const std::string api = "/api/";
    if (req.path.rfind(api, 0) != 0) return HttpReply::json(404, "{}");
    std::string rest = req.path.substr(api.size());
    if (rest == "sessions") {
        if (req.method == "DELETE") {
            sessions_.clear();
            return HttpReply::json(200, "{}");
        }
        auto f = req.form();
        if (f["user_id"] != user || f["password"] != password) return HttpReply::error(1, 401);
        std::string sid = std::to_string(++revisionCounter_);
        sessions_.push_back(sid);
        ++logons_;
        HttpReply r = HttpReply::json(200, "{}");
        r.headers.emplace_back("Set-Cookie", "sid=" + sid + "; Path=/; HttpOnly");
        return r;
    }
    if (!authorised(req)) return HttpReply::error(1, 401);
    if (rest.rfind("folders", 0) == 0) {
        std::string path = rest.substr(7);
        if (path.empty()) path = "/";
        return handleFolders(req, path);
    }
    if (rest.rfind("resume/upload", 0) == 0) return handleResume(req, rest.substr(13));
    return HttpReply::json(404, "{}");
}

HttpReply FakeSyncServer::handleFolders(const HttpRequest& req, const std::string& path) {
    auto it = tree_.find(path);
    if (req.method == "GET") {
        if (it == tree_.end()) return HttpReply::error(20, 404);
        return HttpReply::json(200, entryJson(path, it->second, req.query.count("type") > 0));
    }
    if (req.method == "DELETE") {
        if (it == tree_.end()) return HttpReply::error(18, 404);
        std::string prefix = path + "/";
        for (auto& [p, e] : tree_)
            if (p.rfind(prefix, 0) == 0) return HttpReply::error(1119, 409);
        tree_.erase(it);
        return HttpReply::json(200, "{}");
    }
    if (req.method != "POST") return HttpReply::json(405, "{}");
    std::string contentType = req.header("content-type");
    if (contentType.rfind("multipart/form-data; boundary=", 0) == 0) {
        std::string boundary = contentType.substr(std::string("multipart/form-data; boundary=").size());
        auto parts = parseMultipart(req.body, boundary);
        std::map<std::string, std::string> fields;
        std::string data;
        for (auto& p : parts) {
            if (p.name == "file")
                data = p.value;
            else
                fields[p.name] = p.value;
        }
        auto parent = tree_.find(platform::parentFolder(path));
        if (parent == tree_.end() || !parent->second.directory) return HttpReply::error(1001, 500);
        if (it != tree_.end() && !it->second.directory && fields["revision"] != it->second.revision)
            return HttpReply::json(
                409, "{\"errorId\": 1077, \"document_info\": " + entryJson(path, it->second, false) + "}");
        if (std::to_string(data.size()) != fields["size"]) return HttpReply::error(4711, 400);
        Entry e;
        e.directory = false;
        e.data = data;
        e.revision = std::to_string(++revisionCounter_);
        e.creationTime = fields["creation_time"];
        e.modificationTime = fields["modification_time"];
        tree_[path] = e;
        return HttpReply::json(200, entryJson(path, e, false));
    }
    auto f = req.form();
    if (f["operation"] == "create") {
        if (it == tree_.end() || !it->second.directory) return HttpReply::error(14, 404);
        std::string child = (path == "/" ? "" : path) + "/" + f["name"];
        if (tree_.count(child)) return HttpReply::error(19, 409);
        Entry e;
        e.creationTime = f["creation_time"];
        e.modificationTime = f["modification_time"];
        tree_[child] = e;
        return HttpReply::json(200, entryJson(child, e, false));
    }
    if (f["operation"] == "move") {
        if (it == tree_.end()) return HttpReply::error(20, 404);
        std::string dest = f["name"];
        if (tree_.count(dest)) return HttpReply::error(19, 409);
        std::map<std::string, Entry> moved;
        for (auto i = tree_.begin(); i != tree_.end();) {
            if (i->first == path || i->first.rfind(path + "/", 0) == 0) {
                moved[dest + i->first.substr(path.size())] = i->second;
                i = tree_.erase(i);
            } else {
                ++i;
            }
        }
        tree_.insert(moved.begin(), moved.end());
        return HttpReply::json(200, "{}");
    }
    return HttpReply::error(4711, 400);
}

HttpReply FakeSyncServer::handleResume(const HttpRequest& req, const std::string& path) {
    std::string id = req.query.count("resume_id") ? req.query.at("resume_id") : "";
    auto& r = resumes_[id];
    r.path = path;
    if (req.method == "GET") {
        return HttpReply::json(200, std::string("{\"is_locked\": \"") + (r.locked ? "true" : "false") +
                                        "\", \"bytes_received\": \"" + std::to_string(r.data.size()) + "\"}");
    }
    size_t offset = std::stoull("0" + req.header("br_offset"));
    std::string contentType = req.header("content-type");
    std::string boundary = contentType.substr(contentType.find("boundary=") + 9);
    std::string data;
    for (auto& p : parseMultipart(req.body, boundary))
        if (p.name == "file") data = p.value;
    if (!req.complete) {
        // What arrived before the connection broke is kept, as a resumable service does.
        r.data = r.data.substr(0, std::min(offset, r.data.size())) + data;
        return HttpReply{};
    }
    r.data = r.data.substr(0, std::min(offset, r.data.size())) + data;
    if (std::to_string(r.data.size()) != req.header("br_file_size")) return HttpReply::error(4711, 400);
    Entry e;
    e.directory = false;
    e.data = r.data;
    e.revision = std::to_string(++revisionCounter_);
    tree_[path] = e;
    resumes_.erase(id);
    return HttpReply::json(200, entryJson(path, e, false));
}

}  // namespace tw::test
