// The running application on the session bus: it owns the well-known name "com.meridot.tidewell" and
// serves, at the object "/com/meridot/tidewell",
//   com.meridot.tidewell.Control.Call(as args) -> (b ok, s text)   the command line's commands
//   com.meridot.tidewell.Scripting.Command(s command) -> b          the scripting command
// Owning the name is also how a second instance (or the command line) finds the first.
//
// Thread-safety: handlers run on the service's own thread, one call at a time; the client functions
// open their own connection and may be called from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tw::platform {

inline constexpr const char* kBusName = "com.meridot.tidewell";
inline constexpr const char* kBusObjectPath = "/com/meridot/tidewell";
inline constexpr const char* kControlInterface = "com.meridot.tidewell.Control";
inline constexpr const char* kScriptingInterface = "com.meridot.tidewell.Scripting";

struct CommandReply {
    bool ok = false;
    std::string text;
};
using ControlHandler = std::function<CommandReply(const std::vector<std::string>& args)>;
using ScriptingHandler = std::function<bool(const std::string& command)>;

class BusService {
public:
    // Takes `name` on the session bus (a bus address may be given for tests) and serves the two
    // interfaces. None, with `*error` saying why, when there is no bus or the name is taken.
    static std::unique_ptr<BusService> start(ControlHandler control, ScriptingHandler scripting,
                                             std::string* error, const std::string& name = kBusName);
    // Releases the name and stops serving; a call being handled finishes first.
    ~BusService();
    BusService(const BusService&) = delete;
    BusService& operator=(const BusService&) = delete;

    struct State;

private:
    BusService() = default;
    std::unique_ptr<State> state_;
    std::thread thread_;
};

struct BusCallResult {
    bool reached = false;  // false: no bus, or nobody owns the name (`error` says which)
    CommandReply reply;
    std::string error;
};

// Calls Control.Call on whoever owns `name`. A reply slower than `timeout` counts as not reached.
BusCallResult callControl(const std::vector<std::string>& args,
                          std::chrono::milliseconds timeout = std::chrono::seconds(120),
                          const std::string& name = kBusName);
// Calls Scripting.Command; none when the application is not reachable.
std::optional<bool> callScripting(const std::string& command,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(30),
                                  const std::string& name = kBusName);

}  // namespace tw::platform
