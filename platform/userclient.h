// Client side of gatewarden's user-client socket: the application's link to the file watcher. One
// connection is one user client. A call sends a selector (u32, little-endian), the input length (u32)
// and the input bytes; the reply is a return code (i32), the output length (u32) and the output bytes.
//
// Thread-safety: `call` and the helpers built on it may be used from any thread; calls on one
// connection are serialised (the stream carries one call at a time).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pwevent.h"
#include "platform/unixsocket.h"

namespace tw::platform {

// $XDG_RUNTIME_DIR/com_corvane_PW_driver.sock
std::string userClientSocketPath();

struct UserClientReply {
    pw::IOReturn code = pw::kIOReturnError;
    std::vector<std::uint8_t> output;
};

class UserClient {
public:
    // Connects to the socket at `path`. Returns null and sets `*error` to kNoServiceFound (47) when
    // nobody listens there.
    static std::unique_ptr<UserClient> connect(const std::string& path, pw::IOReturn* error = nullptr);

    // One call. A lost connection answers kIOReturnNotAttached; a reply not arriving within
    // `timeout` answers kIOReturnTimeout and the connection is dropped (its stream is out of step).
    UserClientReply call(std::uint32_t selector, const void* input, std::size_t inputSize,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

    pw::IOReturn openConnection();                  // selector kBrindleOpenConnection
    pw::IOReturn closeConnection();                 // selector kBrindleCloseConnection
    pw::IOReturn send(const pw::_pwevent& record);  // selector kSendDataToKernel
    // Selector kRecieveDataFromKernel; `record` is zero-filled first, action 0 means the queue was empty.
    pw::IOReturn receive(pw::_pwevent& record);
    // Selector kRecieveManyFromKernel: the records read, in order, replacing `records` (none when the
    // queue stayed empty). A reply that is not whole records is kIOReturnError.
    pw::IOReturn receiveMany(std::vector<pw::_pwevent>& records);

    // Drops the connection without a close call (as a crashing process would).
    void disconnect();

private:
    explicit UserClient(UniqueFd fd) : fd_(std::move(fd)) {}
    std::mutex mutex_;  // one call on the stream at a time
    UniqueFd fd_;
};

// A command record: zero-filled, client byte pwuc_Brindle, the action, and the two texts copied without
// terminator. Empty when a text does not fit its field (1024 bytes or more), never truncated.
std::optional<pw::_pwevent> formSendStructure(pw::SendActions action, std::string_view path1,
                                              std::string_view path2);

// The text of a field: its bytes up to the first zero byte, at most the field's size.
std::string fieldText(const char* field, std::size_t size = pw::kPathFieldSize);

}  // namespace tw::platform
