// The command line's commands, as the session bus hands them to the running instance: status, pause
// and resume, the volumes, a listing, the held removals, the errors and their resolution, opening a
// file, quit, and the scripting questions. Each works on the engine's parts it was given.
//
// Thread-safety: the bus calls from its own thread; what must run on the main queue is handed to it.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Pinewick/ui/EngineParts.h"
#include "platform/busservice.h"

namespace tw {

class CommandLine {
public:
    explicit CommandLine(const EngineParts& parts) : parts_(parts) {}

    // `args` as the command line sent them (args[0] is the command).
    platform::CommandReply command(const std::vector<std::string>& args);
    // `tidewell script COMMAND`: idle, downloading or uploading.
    bool scripting(const std::string& command);

private:
    std::string statusText(bool json);
    // When every folder of the volume was last compared with the server (local time text), or null
    // when some never was.
    nlohmann::json comparedInFull(const std::string& volumeUUID);
    platform::CommandReply flipConnection(bool paused);

    EngineParts parts_;
};

}  // namespace tw
