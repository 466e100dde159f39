#include "platform/volpath.h"

#include "platform/files.h"
#include "platform/places.h"
#include "platform/unixsocket.h"

namespace tw::platform {

std::string gatewardenControlSocketPath() {
    return runtimeFolder() + "/gatewarden-control.sock";
}

std::optional<ControlReply> controlRequest(const std::vector<std::string>& request,
                                           std::chrono::milliseconds timeout, const std::string& socketPath) {
    UniqueFd fd = connectUnix(socketPath);
    if (!fd) return std::nullopt;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    if (sendFields(fd.get(), request, deadline) != IoResult::ok) return std::nullopt;
    std::vector<std::string> fields;
    if (recvFields(fd.get(), fields, deadline) != IoResult::ok || fields.empty()) return std::nullopt;
    ControlReply reply;
    reply.ok = fields[0] == "ok";
    reply.fields.assign(fields.begin() + 1, fields.end());
    return reply;
}

std::optional<std::string> currentPathOf(std::uint64_t device, std::uint64_t inode,
                                         const std::string& socketPath) {
    auto reply = controlRequest({"resolve", std::to_string(device), std::to_string(inode)},
                                std::chrono::seconds(30), socketPath);
    if (!reply || !reply->ok || reply->fields.empty()) return std::nullopt;
    return reply->fields[0];
}

ItemLookup lookUpItem(std::uint64_t device, std::uint64_t inode, const std::string& socketPath) {
    auto reply = controlRequest({"resolve", std::to_string(device), std::to_string(inode)},
                                std::chrono::seconds(30), socketPath);
    ItemLookup out;
    if (!reply) return out;
    if (reply->ok && !reply->fields.empty()) {
        out.whereabouts = Whereabouts::found;
        out.path = reply->fields[0];
    } else if (!reply->ok && !reply->fields.empty() && reply->fields[0] == "no such item") {
        out.whereabouts = Whereabouts::gone;
    }
    return out;
}

std::string resolveVolPath(const std::string& path, const std::string& socketPath) {
    std::uint64_t d = 0, i = 0;
    if (!isVolPath(path, &d, &i)) return path;
    // What follows "/.vol/DEV/INO", from its "/" on.
    size_t afterDevice = path.find('/', std::string_view("/.vol/").size());
    size_t tailAt = path.find('/', afterDevice + 1);
    std::string tail = tailAt == std::string::npos ? "" : path.substr(tailAt);
    auto current = currentPathOf(d, i, socketPath);
    if (!current) return path;
    return *current + tail;
}

std::string volumeUUIDForDevice(std::uint64_t device, const std::string& socketPath) {
    auto reply =
        controlRequest({"volume-uuid", std::to_string(device)}, std::chrono::seconds(30), socketPath);
    if (!reply || !reply->ok || reply->fields.empty()) return {};
    return reply->fields[0];
}

}  // namespace tw::platform
