// Whether the machine runs on a battery that is nearly empty, from the kernel's power-supply class
// (/sys/class/power_supply): a supply of type "Battery" that is "Discharging", with its "capacity" in
// percent. Background work that only keeps things fresh waits while it is so.
//
// Thread-safety: plain reads of small files; callable from any thread.
#pragma once

#include <optional>
#include <string>

namespace tw::platform {

struct BatteryState {
    int percent = 100;         // the lowest capacity among the batteries found
    bool discharging = false;  // any of them runs the machine now
};

// The batteries under `root` (a folder laid out as /sys/class/power_supply); none on a machine
// without one (a desktop, a server, a container).
std::optional<BatteryState> batteryState(const std::string& root = "/sys/class/power_supply");

// True when a battery runs the machine and holds less than `percent` of its charge.
bool onLowBattery(int percent, const std::string& root = "/sys/class/power_supply");

}  // namespace tw::platform
