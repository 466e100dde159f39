#include "support/devserver_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "devserver/wire.h"
#include "platform/http.h"

namespace tw::test {

namespace {
// Closes a descriptor when dropped.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};
}  // namespace

int ServerProcess::stop() {
    platform::http::Session::shared().closeIdleConnections();
    return child_.stop(std::chrono::seconds(20));
}

bool ServerProcess::start(const std::vector<std::string>& args, const std::filesystem::path& stderrFile) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    Fd readEnd{pipeFds[0]}, writeEnd{pipeFds[1]};
    Fd log{::open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)};
    std::vector<std::string> all{TIDEWELL_DEVSERVER_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    ChildOptions options;
    options.stdoutFd = writeEnd.fd;
    options.stderrFd = log.fd;
    if (!child_.start(all, options)) return false;
    ::close(writeEnd.fd);
    writeEnd.fd = -1;

    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{readEnd.fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char buf[256];
        ssize_t n = ::read(readEnd.fd, buf, sizeof buf);
        if (n <= 0) return false;  // exited before listening
        line.append(buf, static_cast<size_t>(n));
    }
    line = line.substr(0, line.find('\n'));
    const std::string prefix = "listening on ";
    if (line.rfind(prefix, 0) != 0) return false;
    baseUrl_ = line.substr(prefix.size());
    port_ = std::stoi(baseUrl_.substr(baseUrl_.rfind(':') + 1));
    return true;
}

DevServerHarness::DevServerHarness(const std::filesystem::path& root) : root_(root) {}

bool DevServerHarness::start(std::vector<std::string> extraArgs) {
    std::vector<std::string> args{"--root",   (root_ / "server").string(),
                                  "--listen", "127.0.0.1:0",
                                  "--user",   "alice:s3cret&=x",
                                  "--user",   "bob:hunter2",
                                  "--seed",   "demo"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    if (!process_.start(args, root_ / "server.log")) return false;
    attach(process_.port());
    return true;
}

void DevServerHarness::attach(int port) {
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
    client_->set_url_encode(false);
    client_->set_read_timeout(30, 0);
    client_->set_keep_alive(false);
}

bool DevServerHarness::login(const std::string& user, const std::string& password) {
    using tw::devserver::percentEncode;
    std::string form = "user_id=" + percentEncode(user) + "&password=" + percentEncode(password) +
                       "&device_id=" + percentEncode("TEST-DEVICE") + "&platform=" + percentEncode("Linux") +
                       "&client_version=" + percentEncode("1.0.0") +
                       "&client_platform_version=" + percentEncode("12");
    auto res = client_->Post(sync("sessions").c_str(), {{"Accept", "application/json"}}, form, "");
    if (!res || res->status != 200) return false;
    std::string setCookie = res->get_header_value("Set-Cookie");
    cookie_ = setCookie.substr(0, setCookie.find(';'));
    return !cookie_.empty();
}

httplib::Headers DevServerHarness::headers(const std::string& accept) const {
    httplib::Headers h{{"Accept", accept}};
    if (!cookie_.empty()) h.emplace("Cookie", cookie_);
    return h;
}

std::string DevServerHarness::sync(const std::string& resource) {
    return "/br/sync/1.6/" + resource;
}

std::string DevServerHarness::folderUrl(const std::string& serverPath) {
    return sync("folders") + tw::devserver::percentEncode(serverPath);
}

httplib::Result DevServerHarness::get(const std::string& target, const std::string& accept) {
    return client_->Get(target.c_str(), headers(accept));
}

httplib::Result DevServerHarness::postForm(const std::string& target, const std::string& body) {
    return client_->Post(target.c_str(), headers(), body, "");
}

httplib::Result DevServerHarness::postAdmin(const std::string& resource, const nlohmann::json& body) {
    return client_->Post(("/admin/" + resource).c_str(), body.dump(), "application/json");
}

httplib::Result DevServerHarness::del(const std::string& target) {
    return client_->Delete(target.c_str(), headers());
}

std::string DevServerHarness::uploadBody(const std::string& boundary, const std::string& fileName,
                                         const std::string& content, const std::string& revision,
                                         const std::string& size, const std::string& ctime,
                                         const std::string& mtime) {
    auto section = [&](const std::string& name, const std::string& value) {
        return "\r\n--" + boundary + "\r\nContent-Disposition:form-data; name=\"" + name + "\"\r\n\r\n" +
               value;
    };
    return section("operation", "create") + section("creation_time", ctime) +
           section("modification_time", mtime) + section("size", size) + section("revision", revision) +
           "\r\n--" + boundary + "\r\nContent-Disposition:form-data; name=\"file\"; filename=\"" + fileName +
           "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n--" + boundary + "--\r\n";
}

std::string DevServerHarness::fragmentBody(const std::string& boundary, const std::string& escapedName,
                                           const std::string& content) {
    return "\r\n--" + boundary + "\r\nContent-Disposition:form-data; name=\"operation\"\r\n\r\ncreate" +
           "\r\n--" + boundary + "\r\nContent-Disposition:form-data; name=\"size\"\r\n\r\n" +
           std::to_string(content.size()) + "\r\n--" + boundary +
           "\r\nContent-Disposition:form-data; name=\"file\"; filename=\"" + escapedName +
           ".frag\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n--" + boundary +
           "\r\n";
}

httplib::Result DevServerHarness::upload(const std::string& serverPath, const std::string& content,
                                         const std::string& revision, const std::string& ctime,
                                         const std::string& mtime) {
    std::string boundary = "---6F1C7A2E-0D3B-4E55-9C3A-2B8E3D1F0A77---";
    std::string name = serverPath.substr(serverPath.rfind('/') + 1);
    std::string body =
        uploadBody(boundary, name, content, revision, std::to_string(content.size()), ctime, mtime);
    return client_->Post(folderUrl(serverPath).c_str(), headers(), body,
                         ("multipart/form-data; boundary=" + boundary).c_str());
}

std::string rawExchange(int port, const std::string& bytes) {
    Fd s{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (s.fd < 0) return "";
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return "";
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(s.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{s.fd, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) {
            // An answer with a body length is complete once that many bytes are here.
            size_t headerEnd = out.find("\r\n\r\n");
            size_t cl = out.find("Content-Length: ");
            if (headerEnd != std::string::npos && cl != std::string::npos && cl < headerEnd) {
                size_t len = std::stoul(out.substr(cl + 16));
                if (out.size() >= headerEnd + 4 + len) break;
            }
            continue;
        }
        char buf[4096];
        ssize_t n = ::recv(s.fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

nlohmann::json parseJson(const std::string& text) {
    auto j = nlohmann::json::parse(text, nullptr, false);
    return j.is_discarded() ? nlohmann::json() : j;
}

}  // namespace tw::test
