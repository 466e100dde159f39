// Unix stream sockets for the local links to gatewarden: an owning descriptor, connecting, exact-length
// sends and receives that give up at a deadline or when a cancellation descriptor becomes readable,
// and the field framing of the control socket.
//
// Thread-safety: functions are reentrant; one UniqueFd must not be used from two threads at once
// unless the caller serialises.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fd.h"

namespace tw::platform {

using Deadline = std::chrono::steady_clock::time_point;

// Connects a stream socket to `path`. Returns an invalid fd (errno set) when nobody listens.
UniqueFd connectUnix(const std::string& path);

enum class IoResult { ok, closed, timedOut, cancelled, failed };

// Sends all of `data`. MSG_NOSIGNAL: a vanished peer gives `closed`, never SIGPIPE.
IoResult sendAll(int fd, const void* data, std::size_t size, Deadline deadline, int cancelFd = -1);
// Receives exactly `size` bytes. `closed` when the peer closed before the first byte or in between.
IoResult recvAll(int fd, void* data, std::size_t size, Deadline deadline, int cancelFd = -1);

// Control-socket framing: a message is a u32 field count then, per field, a u32 length and its bytes
// (little-endian). Messages above these limits are refused rather than allocated.
inline constexpr std::uint32_t kMaxFields = 64;
inline constexpr std::uint32_t kMaxFieldBytes = 64 * 1024;

IoResult sendFields(int fd, const std::vector<std::string>& fields, Deadline deadline, int cancelFd = -1);
// `failed` also when the message exceeds the limits.
IoResult recvFields(int fd, std::vector<std::string>& fields, Deadline deadline, int cancelFd = -1);

// Little-endian helpers for the wire.
void putU32(std::string& out, std::uint32_t v);
std::uint32_t getU32(const unsigned char* p);

}  // namespace tw::platform
