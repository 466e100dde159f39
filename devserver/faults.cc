#include "devserver/faults.h"

#include "devserver/wire.h"

namespace tw::devserver {

std::optional<Fault> Fault::fromJson(const nlohmann::json& j, std::string& error) {
    if (!j.is_object()) {
        error = "a fault is a JSON object";
        return std::nullopt;
    }
    Fault f;
    auto str = [&](const char* key, std::string& out) {
        if (!j.contains(key)) return true;
        if (!j[key].is_string()) return false;
        out = j[key].get<std::string>();
        return true;
    };
    auto num = [&](const char* key, auto& out, bool required) {
        if (!j.contains(key)) return !required;
        if (!j[key].is_number_integer() || j[key].get<int64_t>() < 0) return false;
        out = static_cast<std::remove_reference_t<decltype(out)>>(j[key].get<int64_t>());
        return true;
    };
    std::string action = "error", stage;
    if (!str("method", f.method) || !str("path", f.pathPrefix) || !str("action", action) ||
        !str("stage", stage) || !num("count", f.count, false)) {
        error = "method, path, action and stage are texts; count is a number";
        return std::nullopt;
    }
    if (action == "error") {
        f.action = Action::error;
        if (!num("errorId", f.errorId, true) || !num("status", f.status, false)) {
            error = "an error fault needs a numeric errorId (and may have a status)";
            return std::nullopt;
        }
        if (f.status == 0) f.status = statusForError(f.errorId);
    } else if (action == "delay") {
        f.action = Action::delay;
        if (!num("delay_ms", f.delayMs, true)) {
            error = "a delay fault needs delay_ms";
            return std::nullopt;
        }
    } else if (action == "drop") {
        f.action = Action::drop;
        if (!num("after_bytes", f.afterBytes, true) || !num("delay_ms", f.delayMs, false)) {
            error = "a drop fault needs after_bytes (and may have delay_ms)";
            return std::nullopt;
        }
        if (stage == "request")
            f.stage = Stage::request;
        else if (stage == "response")
            f.stage = Stage::response;
        else if (!stage.empty()) {
            error = "stage is \"request\" or \"response\"";
            return std::nullopt;
        }
    } else {
        error = "action is \"error\", \"delay\" or \"drop\"";
        return std::nullopt;
    }
    if (f.count < 1) f.count = 1;
    return f;
}

nlohmann::json Fault::toJson() const {
    nlohmann::json j{{"method", method}, {"path", pathPrefix}, {"count", count}};
    switch (action) {
        case Action::error:
            j["action"] = "error";
            j["errorId"] = errorId;
            j["status"] = status;
            break;
        case Action::delay:
            j["action"] = "delay";
            j["delay_ms"] = delayMs;
            break;
        case Action::drop:
            j["action"] = "drop";
            j["after_bytes"] = afterBytes;
            if (delayMs > 0) j["delay_ms"] = delayMs;
            j["stage"] = stage == Stage::request ? "request" : stage == Stage::response ? "response" : "";
            break;
    }
    return j;
}

void FaultQueue::add(Fault fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(std::move(fault));
}

void FaultQueue::clear() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

std::vector<Fault> FaultQueue::take(const std::string& method, const std::string& rawTarget,
                                    const std::string& decodedPath) {
    std::lock_guard lock(mutex_);
    std::vector<Fault> hits;
    for (auto it = faults_.begin(); it != faults_.end();) {
        bool methodOk = it->method.empty() || it->method == method;
        bool pathOk = rawTarget.rfind(it->pathPrefix, 0) == 0 || decodedPath.rfind(it->pathPrefix, 0) == 0;
        if (methodOk && pathOk) {
            hits.push_back(*it);
            if (--it->count <= 0) {
                it = faults_.erase(it);
                continue;
            }
        }
        ++it;
    }
    return hits;
}

nlohmann::json FaultQueue::list() {
    std::lock_guard lock(mutex_);
    nlohmann::json out = nlohmann::json::array();
    for (const auto& f : faults_) out.push_back(f.toJson());
    return out;
}

}  // namespace tw::devserver
