// Faults queued through the administration endpoint (only with --faults): each one applies to the next
// `count` requests whose method and path match, and then is gone. Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tw::devserver {

struct Fault {
    enum class Action { error, delay, drop };
    enum class Stage { automatic, request, response };
    std::string method;      // "" matches every method
    std::string pathPrefix;  // matched against the raw target and against the decoded path
    int count = 1;
    Action action = Action::error;
    int errorId = 0;
    int status = 0;   // 0: the status that goes with errorId
    int delayMs = 0;  // delay: before serving; drop of a response: the connection is held this long, silent,
                      // before the cut
    uint64_t afterBytes = 0;
    Stage stage = Stage::automatic;  // drop: request body or response body

    // Reads a fault from its JSON form; nothing when a member is missing or of the wrong type.
    static std::optional<Fault> fromJson(const nlohmann::json& j, std::string& error);
    nlohmann::json toJson() const;
};

class FaultQueue {
public:
    void add(Fault fault);
    void clear();
    // The faults that apply to this request; each one's count goes down by one.
    std::vector<Fault> take(const std::string& method, const std::string& rawTarget,
                            const std::string& decodedPath);
    nlohmann::json list();

private:
    std::mutex mutex_;
    std::vector<Fault> faults_;
};

}  // namespace tw::devserver
