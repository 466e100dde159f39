// Client of gatewarden's control socket: mounting and unmounting (used by tidewell-hdiutil) and the
// "/.vol/DEVICE/INODE" resolver, which asks gatewarden for the current path of an item on one of its
// mounts. A request and its reply are each a list of text fields (see unixsocket.h for the framing);
// a reply starts with "ok" or with "error" and a message.
//
// Thread-safety: every function opens its own connection; safe from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tw::platform {

// $XDG_RUNTIME_DIR/gatewarden-control.sock
std::string gatewardenControlSocketPath();

struct ControlReply {
    bool ok = false;
    std::vector<std::string> fields;  // after "ok"; for an error, the message is fields[0]
};

// One request. Empty when gatewarden does not answer (no socket, lost connection, time-out).
std::optional<ControlReply> controlRequest(const std::vector<std::string>& request,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(60),
                                           const std::string& socketPath = gatewardenControlSocketPath());

// The current path of the item with this device and file number on one of gatewarden's mounts;
// empty when gatewarden does not know it.
std::optional<std::string> currentPathOf(std::uint64_t device, std::uint64_t inode,
                                         const std::string& socketPath = gatewardenControlSocketPath());

// Where an item is, as far as gatewarden can tell: `found` with its path; `gone` only when gatewarden
// serves the item's volume and answered that no item there has the number; `unknown` when it did not
// answer or does not serve the device (an item outside every mount cannot be looked up).
enum class Whereabouts { found, gone, unknown };
struct ItemLookup {
    Whereabouts whereabouts = Whereabouts::unknown;
    std::string path;  // when found
};
ItemLookup lookUpItem(std::uint64_t device, std::uint64_t inode,
                      const std::string& socketPath = gatewardenControlSocketPath());

// "/.vol/DEVICE/INODE" (optionally followed by "/rest") to the item's current path; any other path,
// and a pair gatewarden does not know, is returned unchanged.
std::string resolveVolPath(const std::string& path,
                           const std::string& socketPath = gatewardenControlSocketPath());

// The volume UUID of the mount with this device number; empty when none.
std::string volumeUUIDForDevice(std::uint64_t device,
                                const std::string& socketPath = gatewardenControlSocketPath());

}  // namespace tw::platform
