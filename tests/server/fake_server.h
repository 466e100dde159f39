// A small synchronisation server for the client's tests, on a loopback port: endpoint discovery,
// sessions (a cookie), folder listings, multipart uploads, resumable uploads, create-folder, delete and
// move, with a hook that lets a test answer any request itself (error bodies, garbage, a dropped
// connection). It keeps every request it saw.
//
// It speaks HTTP/1.1 itself, one request per connection, so a test can see exactly what arrived,
// including a request body that stopped half-way (as a real server that stores what it received).
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tw::test {

struct HttpRequest {
    std::string method;
    std::string target;                                        // as sent (escaped)
    std::string path;                                          // percent-decoded, without the query
    std::map<std::string, std::string> query;                  // percent-decoded
    std::vector<std::pair<std::string, std::string>> headers;  // names lower-cased
    std::string body;
    bool complete = true;  // false: the connection ended before the whole body arrived
    std::string header(const std::string& lowerName) const;
    std::map<std::string, std::string> form() const;  // body as name=value&... (decoded)
};

struct HttpReply {
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    bool drop = false;          // close the connection without answering
    int64_t cutBodyAfter = -1;  // announce the whole body but send only this many bytes
    static HttpReply json(int status, const std::string& body);
    static HttpReply error(int errorId, int status = 500);
};

std::string percentDecode(const std::string& s);

class FakeSyncServer {
public:
    struct Entry {
        bool directory = true;
        std::string data;
        std::string revision = "1";
        std::string creationTime = "2020-01-02T03:04:05.000Z";
        std::string modificationTime = "2020-01-02T03:04:05.000Z";
    };
    struct Resume {
        std::string path;
        std::string data;  // bytes received so far
        bool locked = false;
    };

    FakeSyncServer();
    ~FakeSyncServer();
    int port() const { return port_; }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }

    // Endpoint document served at "//endpoints".
    std::string endpoints = R"({"br":{"sync":{"1.6":{"path":"/api/"}},"audit":{"1":{"path":"/audit/"}}}})";
    std::string user = "anna";
    std::string password = "s3cret";

    // Answers a request itself when it returns a reply; runs before the protocol.
    void setIntercept(std::function<std::optional<HttpReply>(const HttpRequest&)> f);
    // Ends every open session (the next request with the old cookie gets "errorId" 1).
    void expireSessions();

    // Tree: server paths ("/" is the root folder).
    void addFolder(const std::string& path);
    void addFile(const std::string& path, const std::string& data, const std::string& revision = "1");
    std::optional<Entry> entry(const std::string& path);
    std::map<std::string, Resume> resumes();
    void setResumeLocked(const std::string& resumeId, bool locked);

    // The next POST whose path contains `pathPart` is cut off after `bytes` of its body: the server
    // keeps what arrived and closes the connection without answering.
    void dropBodyAfter(const std::string& pathPart, int64_t bytes);

    // Sleep this long between reads of a request body (a slow link).
    std::atomic<int> slowBodyReadMs{0};

    std::vector<HttpRequest> requests();
    void clearRequests();
    int logons() const { return logons_; }

private:
    void loop();
    void serve(int fd);
    HttpReply handle(const HttpRequest& req);
    HttpReply handleFolders(const HttpRequest& req, const std::string& path);
    HttpReply handleResume(const HttpRequest& req, const std::string& path);
    std::string entryJson(const std::string& path, const Entry& e, bool withContents);
    bool authorised(const HttpRequest& req);

    std::mutex mutex_;
    std::map<std::string, Entry> tree_;
    std::map<std::string, Resume> resumes_;
    std::vector<HttpRequest> requests_;
    std::vector<std::string> sessions_;
    std::function<std::optional<HttpReply>(const HttpRequest&)> intercept_;
    std::atomic<int> logons_{0};
    std::string dropPath_;
    int64_t dropAfter_ = -1;
    int revisionCounter_ = 100;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::thread> workers_;
};

}  // namespace tw::test
