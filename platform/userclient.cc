#include "platform/userclient.h"

#include <string.h>

#include "platform/places.h"

namespace tw::platform {

std::string userClientSocketPath() {
    return runtimeFolder() + "/" + pw::kCorvaneDriverClassName + ".sock";
}

std::unique_ptr<UserClient> UserClient::connect(const std::string& path, pw::IOReturn* error) {
    UniqueFd fd = connectUnix(path);
    if (!fd) {
        if (error) *error = pw::kNoServiceFound;
        return nullptr;
    }
    if (error) *error = pw::kIOReturnSuccess;
    return std::unique_ptr<UserClient>(new UserClient(std::move(fd)));
}

UserClientReply UserClient::call(std::uint32_t selector, const void* input, std::size_t inputSize,
                                 std::chrono::milliseconds timeout) {
    std::lock_guard lock(mutex_);
    UserClientReply reply;
    if (!fd_) {
        reply.code = pw::kIOReturnNotAttached;
        return reply;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string out;
    putU32(out, selector);
    putU32(out, static_cast<std::uint32_t>(inputSize));
    if (inputSize) out.append(static_cast<const char*>(input), inputSize);
    IoResult r = sendAll(fd_.get(), out.data(), out.size(), deadline);
    unsigned char head[8];
    if (r == IoResult::ok) r = recvAll(fd_.get(), head, sizeof head, deadline);
    if (r == IoResult::ok) {
        std::uint32_t len = getU32(head + 4);
        if (len > 1024 * 1024) {
            r = IoResult::failed;
        } else {
            reply.output.resize(len);
            if (len) r = recvAll(fd_.get(), reply.output.data(), len, deadline);
        }
    }
    if (r != IoResult::ok) {
        fd_.reset();
        reply.output.clear();
        reply.code = r == IoResult::timedOut ? pw::kIOReturnTimeout : pw::kIOReturnNotAttached;
        return reply;
    }
    reply.code = static_cast<pw::IOReturn>(getU32(head));
    return reply;
}

pw::IOReturn UserClient::openConnection() {
    return call(pw::kBrindleOpenConnection, nullptr, 0).code;
}
pw::IOReturn UserClient::closeConnection() {
    return call(pw::kBrindleCloseConnection, nullptr, 0).code;
}

pw::IOReturn UserClient::send(const pw::_pwevent& record) {
    return call(pw::kSendDataToKernel, &record, sizeof record).code;
}

pw::IOReturn UserClient::receive(pw::_pwevent& record) {
    memset(&record, 0, sizeof record);
    UserClientReply r = call(pw::kRecieveDataFromKernel, nullptr, 0);
    if (r.code == pw::kIOReturnSuccess && r.output.size() == sizeof record)
        memcpy(&record, r.output.data(), sizeof record);
    return r.code;
}

pw::IOReturn UserClient::receiveMany(std::vector<pw::_pwevent>& records) {
    records.clear();
    UserClientReply r = call(pw::kRecieveManyFromKernel, nullptr, 0);
    if (r.code != pw::kIOReturnSuccess) return r.code;
    if (r.output.size() % sizeof(pw::_pwevent) != 0 ||
        r.output.size() > pw::kRecordsPerRead * sizeof(pw::_pwevent))
        return pw::kIOReturnError;
    records.resize(r.output.size() / sizeof(pw::_pwevent));
    if (!records.empty()) memcpy(records.data(), r.output.data(), r.output.size());
    return r.code;
}

void UserClient::disconnect() {
    std::lock_guard lock(mutex_);
    fd_.reset();
}

std::optional<pw::_pwevent> formSendStructure(pw::SendActions action, std::string_view path1,
                                              std::string_view path2) {
    if (path1.size() >= pw::kPathFieldSize || path2.size() >= pw::kPathFieldSize) return std::nullopt;
    pw::_pwevent e;
    memset(&e, 0, sizeof e);
    e.userClient = pw::pwuc_Brindle;
    e.action = action;
    if (!path1.empty()) memcpy(e.path1, path1.data(), path1.size());
    if (!path2.empty()) memcpy(e.path2, path2.data(), path2.size());
    return e;
}

std::string fieldText(const char* field, std::size_t size) {
    const void* nul = memchr(field, 0, size);
    std::size_t len = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : size;
    return std::string(field, len);
}

}  // namespace tw::platform
