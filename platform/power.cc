#include "platform/power.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>

namespace tw::platform {
namespace {

std::optional<std::string> firstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    return line;
}

}  // namespace

std::optional<BatteryState> batteryState(const std::string& root) {
    std::error_code ec;
    std::optional<BatteryState> state;
    for (std::filesystem::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (firstLine(it->path() / "type") != "Battery") continue;
        // A supply some firmware lists without its charge tells nothing.
        auto capacity = firstLine(it->path() / "capacity");
        if (!capacity) continue;
        int percent = 0;
        auto [last, error] = std::from_chars(capacity->data(), capacity->data() + capacity->size(), percent);
        if (error != std::errc() || last == capacity->data()) continue;
        if (!state) state.emplace();
        state->percent = std::min(state->percent, std::clamp(percent, 0, 100));
        state->discharging = state->discharging || firstLine(it->path() / "status") == "Discharging";
    }
    return state;
}

bool onLowBattery(int percent, const std::string& root) {
    auto state = batteryState(root);
    return state && state->discharging && state->percent < percent;
}

}  // namespace tw::platform
