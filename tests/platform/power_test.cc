// A battery that runs the machine low, read from a power-supply tree laid out as the kernel's.
#include "platform/power.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

void supply(const fs::path& root, const std::string& name,
            std::initializer_list<std::pair<const char*, const char*>> values) {
    fs::create_directories(root / name);
    for (auto [file, value] : values) std::ofstream(root / name / file) << value << "\n";
}

TEST(Power, OnlyADischargingBatteryBelowTheLimitIsLow) {
    tw::test::TempDir dir;
    fs::path root = dir.path();
    // No battery at all (a desktop, a server): never low.
    supply(root, "AC", {{"type", "Mains"}, {"online", "1"}});
    EXPECT_FALSE(tw::platform::batteryState(root.string()));
    EXPECT_FALSE(tw::platform::onLowBattery(20, root.string()));

    supply(root, "BAT0", {{"type", "Battery"}, {"capacity", "15"}, {"status", "Charging"}});
    auto state = tw::platform::batteryState(root.string());
    ASSERT_TRUE(state);
    EXPECT_EQ(state->percent, 15);
    EXPECT_FALSE(state->discharging);
    EXPECT_FALSE(tw::platform::onLowBattery(20, root.string())) << "charging, it is plugged in";

    supply(root, "BAT0", {{"status", "Discharging"}});
    EXPECT_TRUE(tw::platform::onLowBattery(20, root.string()));
    EXPECT_FALSE(tw::platform::onLowBattery(15, root.string()));

    // Of two batteries the lower counts; one without a readable charge tells nothing.
    supply(root, "BAT1", {{"type", "Battery"}, {"capacity", "80"}, {"status", "Discharging"}});
    supply(root, "BAT2", {{"type", "Battery"}, {"capacity", "unknown"}});
    EXPECT_EQ(tw::platform::batteryState(root.string())->percent, 15);
    EXPECT_FALSE(tw::platform::batteryState((root / "missing").string()));
}

}  // namespace
