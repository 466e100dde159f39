// riseling against a stand-in tidewell: it starts the program of that name in the tools folder,
// detached, and exits at once; without one it says why and fails.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/process.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class Riseling : public ::testing::Test {
protected:
    void SetUp() override { setenv("TIDEWELL_TOOLS_DIR", tools.str().c_str(), 1); }
    void TearDown() override { unsetenv("TIDEWELL_TOOLS_DIR"); }

    void installStandIn(const std::string& script) {
        ASSERT_TRUE(tw::test::writeFile(tools / "tidewell", script));
        ::chmod((tools / "tidewell").c_str(), 0755);
    }
    // Waits for the stand-in's record of its start.
    std::string waitForRecord(const fs::path& file) {
        for (int i = 0; i < 200; ++i) {
            std::string text = tw::test::readFile(file);
            if (text.find('\n') != std::string::npos) return text;
            std::this_thread::sleep_for(50ms);
        }
        return tw::test::readFile(file);
    }

    tw::test::TempDir tools{"tw-riseling"};
};

TEST_F(Riseling, StartsTheTidewellBesideItDetachedAndExitsAtOnce) {
    // The stand-in records its start, runs on for a while, then records its end: riseling must be
    // gone long before that.
    installStandIn(
        "#!/bin/sh\nlog=\"$(dirname \"$0\")/started.log\"\necho \"started $#\" >> \"$log\"\n"
        "sleep 3\necho ended >> \"$log\"\n");
    auto r = tw::platform::runProcess({TIDEWELL_RISELING_BINARY}, 20s);
    EXPECT_TRUE(r.succeeded()) << r.error << " exit " << r.exitCode;
    EXPECT_EQ(tw::test::readFile(tools / "started.log").find("ended"), std::string::npos)
        << "riseling waited for the program it started";
    std::string record = waitForRecord(tools / "started.log");
    // Started once, with no arguments.
    EXPECT_EQ(record, "started 0\n");
}

TEST_F(Riseling, WithoutATidewellBesideItSaysSoAndFails) {
    auto r = tw::platform::runProcess({"/bin/sh", "-c", std::string(TIDEWELL_RISELING_BINARY) + " 2>&1"}, 20s,
                                      true);
    ASSERT_TRUE(r.started);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.output.find("riseling: cannot start " + (tools / "tidewell").string()), std::string::npos)
        << r.output;
}

TEST_F(Riseling, AFileThatCannotBeExecutedCountsAsMissing) {
    ASSERT_TRUE(tw::test::writeFile(tools / "tidewell", "not a program"));
    ::chmod((tools / "tidewell").c_str(), 0644);
    auto r = tw::platform::runProcess({TIDEWELL_RISELING_BINARY}, 20s);
    ASSERT_TRUE(r.started);
    EXPECT_NE(r.exitCode, 0);
}

}  // namespace
