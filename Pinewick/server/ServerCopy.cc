#include "Pinewick/server/ServerCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "Pinewick/config/Log.h"
#include "platform/fd.h"

namespace tw {
namespace {

// Compares the body of a revision with the open local file as it arrives; stops at the first
// difference, so a different file costs no more than the bytes up to it.
class ComparingSink final : public platform::http::ResponseSink {
public:
    ComparingSink(int fd, uint64_t size) : fd_(fd), size_(size) {}

    bool begin(const platform::http::Response& head) override {
        fileContent_ = head.statusCode == 200;
        return fileContent_;
    }
    bool write(const char* data, size_t count) override {
        if (offset_ + count > size_) return differs();
        buffer_.resize(count);
        size_t have = 0;
        while (have < count) {
            ssize_t n = ::pread(fd_, buffer_.data() + have, count - have, static_cast<off_t>(offset_ + have));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return differs();
            have += static_cast<size_t>(n);
        }
        if (std::memcmp(buffer_.data(), data, count) != 0) return differs();
        offset_ += count;
        return true;
    }

    bool fileContent() const { return fileContent_; }
    bool differed() const { return differed_; }
    bool whole() const { return !differed_ && offset_ == size_; }

private:
    bool differs() {
        differed_ = true;
        return false;
    }
    int fd_;
    uint64_t size_;
    uint64_t offset_ = 0;
    bool fileContent_ = false;
    bool differed_ = false;
    std::vector<char> buffer_;
};

}  // namespace

SentFacts sentFacts(uint64_t size, Date modificationDate) {
    using namespace std::chrono;
    return {size, duration_cast<seconds>(modificationDate.time_since_epoch()).count()};
}

SentFacts heldFacts(const ServerFileObject& entry) {
    return sentFacts(entry.size, entry.modificationDate);
}

std::optional<bool> serverHoldsLocalContent(const ServerEnvironment& env, const std::string& localPath,
                                            const ServerFileObject& entry, uint64_t size) {
    if (entry.isDirectory || entry.size != size) return false;
    platform::UniqueFd fd(::open(localPath.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || static_cast<uint64_t>(st.st_size) != size) return false;
    auto sink = std::make_shared<ComparingSink>(fd.get(), size);
    ServerCommunicator::Pass pass;
    pass.build = [&]() -> std::optional<platform::http::Request> {
        auto request = ServerCommunicator::makeRequest(
            env,
            ServerCommunicator::serviceBase(env) + "folders" +
                ServerCommunicator::macToWindows(env.serverFromLocal(localPath)) +
                "?revision=" + ServerCommunicator::simpleDataEscape(entry.revision),
            "GET", "application/octet-stream");
        request.responseSink = sink;
        return request;
    };
    // Only the sink's verdict counts: the exchange ends short on purpose at the first difference.
    pass.complete = [](const platform::http::Result&) { return normalisedResponse::allOkay; };
    bool answered = false;
    ServerCommunicator::requestCycle(env, pass, &answered);
    if (sink->differed()) return false;
    if (!answered || !sink->fileContent()) return std::nullopt;
    return sink->whole();
}

}  // namespace tw
