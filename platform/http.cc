#include "platform/http.h"

#include <curl/curl.h>
#include <errno.h>
#include <openssl/x509_vfy.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/process.h"

namespace tw::platform::http {
namespace {

std::once_flag g_curlInit;

void ensureCurl() {
    std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Header names, schemes and host names are ASCII and compare by ASCII rules alone, whatever the
// process's locale says of other bytes (these are not file names: platform/casefold.h is for those).
char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool iequals(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string lower(std::string s) {
    for (auto& c : s) c = asciiLower(c);
    return s;
}

struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct CurlFree {
    void operator()(char* p) const { curl_free(p); }
};

// State the libcurl callbacks share with the task, all on the task's thread except the atomics.
struct Transfer {
    Task* task = nullptr;
    const Request* request = nullptr;
    std::atomic<bool>* cancelled = nullptr;
    std::atomic<int64_t>* sent = nullptr;
    std::atomic<int64_t>* received = nullptr;
    Response response;
    bool sawStatusLine = false;
    std::string data;
    bool gotBody = false;
    bool tooLarge = false;
    bool writeFailed = false;
    bool bodyFailed = false;
    size_t bodyOffset = 0;  // of an in-memory body
    CURL* curl = nullptr;
    bool sinkBegun = false;
};

size_t onHeader(char* buffer, size_t size, size_t n, void* user) {
    auto* t = static_cast<Transfer*>(user);
    std::string line(buffer, size * n);
    if (line.rfind("HTTP/", 0) == 0) {
        // A new status line (after 100-continue or a redirect) starts a new header set.
        t->response.headers.clear();
        t->sawStatusLine = true;
        return size * n;
    }
    auto colon = line.find(':');
    if (colon != std::string::npos)
        t->response.headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    return size * n;
}

size_t onWrite(char* buffer, size_t size, size_t n, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t count = size * n;
    t->gotBody = true;
    if (auto& sink = t->request->responseSink) {
        if (!t->sinkBegun) {
            t->sinkBegun = true;
            long status = 0;
            curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
            t->response.statusCode = status;
            t->response.url = t->request->url;
            if (!sink->begin(t->response)) {
                t->writeFailed = true;
                return 0;
            }
        }
        if (!sink->write(buffer, count)) {
            t->writeFailed = true;
            return 0;
        }
        return count;
    }
    if (t->request->responseFd >= 0) {
        size_t done = 0;
        while (done < count) {
            ssize_t w = ::write(t->request->responseFd, buffer + done, count - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                t->writeFailed = true;
                return 0;
            }
            done += static_cast<size_t>(w);
        }
        return count;
    }
    if (t->data.size() + count > t->request->maxResponseBytes) {
        t->tooLarge = true;
        return 0;
    }
    t->data.append(buffer, count);
    return count;
}

size_t onRead(char* buffer, size_t size, size_t n, void* user) {
    auto* t = static_cast<Transfer*>(user);
    if (t->cancelled->load()) return CURL_READFUNC_ABORT;
    if (!t->request->bodySource) {
        const std::string& body = t->request->body;
        size_t count = std::min(size * n, body.size() - t->bodyOffset);
        std::memcpy(buffer, body.data() + t->bodyOffset, count);
        t->bodyOffset += count;
        return count;
    }
    int64_t got = t->request->bodySource->read(reinterpret_cast<uint8_t*>(buffer), size * n);
    if (got < 0) {
        t->bodyFailed = true;
        return CURL_READFUNC_ABORT;
    }
    return static_cast<size_t>(got);
}

int onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    auto* t = static_cast<Transfer*>(user);
    t->sent->store(ulnow);
    t->received->store(dlnow);
    return t->cancelled->load() ? 1 : 0;
}

int certificateCode(long verify) {
    switch (verify) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CRL_HAS_EXPIRED:
            return kServerCertificateHasBadDate;
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CRL_NOT_YET_VALID:
            return kServerCertificateNotYetValid;
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
            return kServerCertificateHasUnknownRoot;
        default:
            return kServerCertificateUntrusted;
    }
}

TransportError mapError(CURLcode rc, CURL* curl, const Transfer& t, const char* detail) {
    TransportError e;
    std::string message = detail && *detail ? detail : curl_easy_strerror(rc);
    long osErrno = 0;
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osErrno);
    switch (rc) {
        case CURLE_ABORTED_BY_CALLBACK:
        case CURLE_READ_ERROR:
            if (t.bodyFailed && !t.cancelled->load()) {
                e.code = kRequestBodyStreamExhausted;
                message = "the request body could not be read";
            } else {
                e.code = kCancelled;
                message = "cancelled";
            }
            break;
        case CURLE_OPERATION_TIMEDOUT:
            e.code = kTimedOut;
            break;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            e.code = kCannotFindHost;
            break;
        case CURLE_COULDNT_CONNECT:
            e.code = (osErrno == ENETUNREACH || osErrno == ENETDOWN) ? kNotConnectedToInternet
                                                                     : kCannotConnectToHost;
            break;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_FAIL_REWIND:  // a reused connection died before the answer (not sent twice)
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            e.code = kNetworkConnectionLost;
            break;
        case CURLE_PEER_FAILED_VERIFICATION: {
            long verify = 0;
            curl_easy_getinfo(curl, CURLINFO_SSL_VERIFYRESULT, &verify);
            e.code = certificateCode(verify);
            break;
        }
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            e.code = kSecureConnectionFailed;
            break;
        case CURLE_URL_MALFORMAT:
            e.code = kBadURL;
            break;
        case CURLE_UNSUPPORTED_PROTOCOL:
            e.code = kUnsupportedURL;
            break;
        case CURLE_TOO_MANY_REDIRECTS:
            e.code = kHTTPTooManyRedirects;
            break;
        case CURLE_WRITE_ERROR:
            if (t.tooLarge) {
                e.code = kDataLengthExceedsMaximum;
                message = "the response body exceeds the allowed size";
            } else {
                e.code = kCannotWriteToFile;
            }
            break;
        case CURLE_LOGIN_DENIED:
            e.code = kUserAuthenticationRequired;
            break;
        default:
            e.code = kUnknown;
            break;
    }
    e.description = message + " (code " + std::to_string(e.code) + ")";
    return e;
}

}  // namespace

std::optional<std::string> Response::header(const std::string& name) const {
    for (auto& [k, v] : headers)
        if (iequals(k, name)) return v;
    return std::nullopt;
}

std::vector<std::string> Response::headers_named(const std::string& name) const {
    std::vector<std::string> out;
    for (auto& [k, v] : headers)
        if (iequals(k, name)) out.push_back(v);
    return out;
}

std::optional<URLParts> parseURL(const std::string& url) {
    ensureCurl();
    std::unique_ptr<CURLU, UrlDeleter> u(curl_url());
    if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return std::nullopt;
    URLParts parts;
    auto get = [&](CURLUPart part, std::string& out) {
        char* raw = nullptr;
        if (curl_url_get(u.get(), part, &raw, 0) == CURLUE_OK && raw) {
            std::unique_ptr<char, CurlFree> owned(raw);
            out = raw;
            return true;
        }
        return false;
    };
    if (!get(CURLUPART_SCHEME, parts.scheme) || !get(CURLUPART_HOST, parts.host)) return std::nullopt;
    get(CURLUPART_PATH, parts.path);
    std::string port;
    if (get(CURLUPART_PORT, port)) parts.port = atoi(port.c_str());
    parts.scheme = lower(parts.scheme);
    parts.host = lower(parts.host);
    if (parts.path.empty()) parts.path.push_back('/');
    return parts;
}

// ---- Task ----

Task::~Task() {
    cancel();
    if (thread_.joinable()) thread_.join();
}

void Task::wait() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return completed_.load(); });
}

bool Task::waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, timeout, [&] { return completed_.load(); });
}

void Task::run(Session& session, Request request, std::function<void(Result)> completion) {
    // The thread is this request's own and ends with it.
    if (request.idlePriority) (void)runThisThreadAtIdlePriority();
    Result result;
    Transfer t;
    t.task = this;
    t.request = &request;
    t.cancelled = &cancelled_;
    t.sent = &sent_;
    t.received = &received_;

    Session::Handle curl = session.takeHandle();
    bool reusable = false;
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    char errbuf[CURL_ERROR_SIZE] = {0};
    if (!curl) {
        result.error = TransportError{kUnknown, "libcurl could not create a handle"};
    } else {
        CURL* c = curl.get();
        t.curl = c;
        // A connection idle for longer is not reused: servers close idle connections after a few
        // seconds, and a request written into one the server is closing fails (see the body below).
        curl_easy_setopt(c, CURLOPT_MAXAGE_CONN, 2L);
        curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!request.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, request.caFile.c_str());
        long timeoutMs = static_cast<long>(std::max<int64_t>(request.timeout.count(), 1));
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
        // No progress for the whole window ends the request; a slow but moving transfer goes on.
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, std::max<long>(1, (timeoutMs + 999) / 1000));
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onWrite);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
        curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024L);
        curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 256L * 1024L);

        const bool sendsBody = request.bodySource || !request.body.empty() || request.method == "POST" ||
                               request.method == "PUT";
        if (request.method == "GET") {
            curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
        } else if (request.method == "HEAD") {
            curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
        } else if (sendsBody) {
            curl_easy_setopt(c, CURLOPT_POST, 1L);
            if (request.method != "POST") curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, request.method.c_str());
            // Every body goes through the read callback, which cannot rewind: when a reused connection
            // dies before any answer, libcurl would otherwise send the request again on a new one, and
            // a server that had acted on the first (an upload, a move) would act twice. The exchange
            // ends as a lost connection instead, which the caller already knows how to judge.
            curl_easy_setopt(c, CURLOPT_READFUNCTION, onRead);
            curl_easy_setopt(c, CURLOPT_READDATA, &t);
            curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(request.bodySource ? request.bodySource->length()
                                                                        : request.body.size()));
        } else {
            curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }

        curl_slist* list = nullptr;
        auto add = [&](const std::string& line) {
            curl_slist* next = curl_slist_append(list, line.c_str());
            if (next) list = next;
        };
        bool hasContentType = false;
        for (auto& [k, v] : request.headers) {
            // "Name:" with nothing after it tells libcurl to drop the header; "Name;" sends it empty.
            add(v.empty() ? k + ";" : k + ": " + v);
            if (iequals(k, "Content-Type")) hasContentType = true;
        }
        // Waiting for "100 Continue" costs a round trip per upload and the server never refuses early.
        add("Expect:");
        // The client sets no content type on form bodies; keep libcurl from adding its own.
        if (!hasContentType) add("Content-Type:");
        std::string cookie = session.cookies().headerFor(request.url);
        if (!cookie.empty()) add("Cookie: " + cookie);
        headers.reset(list);
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);

        CURLcode rc = cancelled_ ? CURLE_ABORTED_BY_CALLBACK : curl_easy_perform(c);
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        curl_off_t up = 0;
        curl_easy_getinfo(c, CURLINFO_SIZE_UPLOAD_T, &up);
        sent_ = up;
        if (rc == CURLE_OK) {
            // Only a whole exchange leaves its connection fit for the next one.
            reusable = true;
            t.response.statusCode = status;
            t.response.url = request.url;
            session.cookies().storeFromResponse(request.url, t.response);
            result.response = std::move(t.response);
            if (request.responseFd < 0 && !request.responseSink) result.data = std::move(t.data);
        } else {
            result.error = mapError(rc, c, t, errbuf);
            // A cancelled exchange whose answer had already arrived keeps it, as the caller may still
            // want to read the status.
            if (status != 0 && t.sawStatusLine && result.error->code == kCancelled) {
                t.response.statusCode = status;
                t.response.url = request.url;
                result.response = std::move(t.response);
            }
        }
    }
    if (reusable) session.giveBack(std::move(curl));
    if (completion) completion(std::move(result));
    {
        std::lock_guard lock(mutex_);
        completed_ = true;
    }
    done_.notify_all();
}

// ---- Session ----

Session& Session::shared() {
    static Session session;
    return session;
}

Session::Session() {
    ensureCurl();
}
Session::~Session() = default;

void Session::HandleDeleter::operator()(void* handle) const {
    curl_easy_cleanup(static_cast<CURL*>(handle));
}

Session::Handle Session::takeHandle() {
    {
        std::lock_guard lock(handlesMutex_);
        if (!idleHandles_.empty()) {
            // The last one given back: its connection is the least likely to have been closed.
            Handle h = std::move(idleHandles_.back());
            idleHandles_.pop_back();
            return h;
        }
    }
    return Handle(curl_easy_init());
}

void Session::closeIdleConnections() {
    std::vector<Handle> closing;
    {
        std::lock_guard lock(handlesMutex_);
        closing.swap(idleHandles_);
    }
}

void Session::giveBack(Handle handle) {
    // Enough for the transfers that run at once (uploads, a few downloads, a listing).
    constexpr size_t kKept = 8;
    if (!handle) return;
    // Options go back to their defaults, so that no kept handle points at the finished exchange's
    // buffers; the open connection, the TLS session and the name cache stay.
    curl_easy_reset(handle.get());
    std::lock_guard lock(handlesMutex_);
    if (idleHandles_.size() < kKept) idleHandles_.push_back(std::move(handle));
}

std::unique_ptr<Task> Session::start(Request request, std::function<void(Result)> completion) {
    std::unique_ptr<Task> task(new Task());
    Task* raw = task.get();
    raw->thread_ =
        std::thread([this, raw, request = std::move(request), completion = std::move(completion)]() mutable {
            raw->run(*this, std::move(request), std::move(completion));
        });
    return task;
}

Result Session::perform(Request request) {
    Result out;
    auto task = start(std::move(request), [&](Result r) { out = std::move(r); });
    task->wait();
    return out;
}

// ---- CookieStore ----

namespace {

bool domainMatches(const std::string& host, const CookieStore::Cookie& c) {
    if (c.hostOnly) return host == c.domain;
    if (host == c.domain) return true;
    return host.size() > c.domain.size() &&
           host.compare(host.size() - c.domain.size(), c.domain.size(), c.domain) == 0 &&
           host[host.size() - c.domain.size() - 1] == '.';
}

bool pathMatches(const std::string& path, const std::string& cookiePath) {
    if (path == cookiePath) return true;
    if (path.rfind(cookiePath, 0) != 0) return false;
    return cookiePath.back() == '/' || path[cookiePath.size()] == '/';
}

}  // namespace

void CookieStore::storeFromResponse(const std::string& url, const Response& response) {
    auto parts = parseURL(url);
    if (!parts) return;
    for (auto& line : response.headers_named("Set-Cookie")) {
        Cookie c;
        size_t pos = 0;
        bool first = true;
        bool drop = false;
        while (pos <= line.size()) {
            size_t semi = line.find(';', pos);
            std::string item =
                trim(line.substr(pos, semi == std::string::npos ? std::string::npos : semi - pos));
            pos = semi == std::string::npos ? line.size() + 1 : semi + 1;
            auto eq = item.find('=');
            std::string key = trim(item.substr(0, eq));
            std::string value = eq == std::string::npos ? "" : trim(item.substr(eq + 1));
            if (first) {
                if (eq == std::string::npos || key.empty()) drop = true;
                c.name = key;
                c.value = value;
                first = false;
                continue;
            }
            std::string k = lower(key);
            if (k == "domain" && !value.empty()) {
                std::string d = lower(value);
                if (d[0] == '.') d.erase(0, 1);
                c.domain = d;
                c.hostOnly = false;
            } else if (k == "path" && !value.empty() && value[0] == '/') {
                c.path = value;
            } else if (k == "secure") {
                c.secure = true;
            } else if (k == "max-age" && !value.empty() && value[0] == '-') {
                drop = true;
            }
        }
        if (drop) continue;
        if (c.hostOnly) {
            c.domain = parts->host;
        } else if (!domainMatches(parts->host, c)) {
            continue;  // a server may not set cookies for another domain
        }
        if (c.path.empty()) c.path.push_back('/');
        setCookie(c);
    }
}

void CookieStore::setCookie(const Cookie& cookie) {
    std::lock_guard lock(mutex_);
    Cookie c = cookie;
    c.discard = true;
    for (auto& existing : cookies_) {
        if (existing.name == c.name && existing.domain == c.domain && existing.path == c.path) {
            existing = c;
            return;
        }
    }
    cookies_.push_back(c);
}

std::vector<CookieStore::Cookie> CookieStore::cookiesFor(const std::string& url) const {
    std::vector<Cookie> out;
    auto parts = parseURL(url);
    if (!parts) return out;
    std::lock_guard lock(mutex_);
    for (auto& c : cookies_) {
        if (!domainMatches(parts->host, c)) continue;
        if (!pathMatches(parts->path, c.path)) continue;
        if (c.secure && parts->scheme != "https") continue;
        out.push_back(c);
    }
    return out;
}

std::string CookieStore::headerFor(const std::string& url) const {
    std::string out;
    for (auto& c : cookiesFor(url)) {
        if (!out.empty()) out += "; ";
        out += c.name + "=" + c.value;
    }
    return out;
}

void CookieStore::deleteCookiesFor(const std::string& url) {
    auto parts = parseURL(url);
    if (!parts) return;
    std::lock_guard lock(mutex_);
    std::erase_if(cookies_, [&](const Cookie& c) {
        return domainMatches(parts->host, c) && pathMatches(parts->path, c.path) &&
               (!c.secure || parts->scheme == "https");
    });
}

void CookieStore::removeAll() {
    std::lock_guard lock(mutex_);
    cookies_.clear();
}

size_t CookieStore::count() const {
    std::lock_guard lock(mutex_);
    return cookies_.size();
}

}  // namespace tw::platform::http
