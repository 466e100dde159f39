// Test main shared by every test binary. Each test process gets a private HOME and XDG folders so tests
// never touch the real user's files and can run in parallel.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "support/temp_dir.h"

namespace tw::test {
namespace {
std::unique_ptr<TempDir> g_home;
std::filesystem::path g_home_path;
}  // namespace

const std::filesystem::path& testHome() {
    return g_home_path;
}

}  // namespace tw::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Test discovery only lists tests; it needs no home.
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind("--gtest_list_tests", 0) == 0) listing = true;
    if (!listing) {
        tw::test::g_home = std::make_unique<tw::test::TempDir>("tw-home");
        auto& h = tw::test::g_home->path();
        tw::test::g_home_path = h;
        std::filesystem::create_directories(h / ".config");
        std::filesystem::create_directories(h / "xdg");
        std::filesystem::create_directories(h / ".local/share");
        std::filesystem::create_directories(h / ".local/state");
        std::filesystem::create_directories(h / "run");
        std::filesystem::create_directories(h / "Volumes");
        std::filesystem::permissions(h / "run", std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace);
        setenv("HOME", h.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (h / ".config").c_str(), 1);
        // Administrator settings come from here, never from the machine's /etc/xdg.
        setenv("XDG_CONFIG_DIRS", (h / "xdg").c_str(), 1);
        setenv("XDG_DATA_HOME", (h / ".local/share").c_str(), 1);
        setenv("XDG_STATE_HOME", (h / ".local/state").c_str(), 1);
        setenv("XDG_CACHE_HOME", (h / ".cache").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (h / "run").c_str(), 1);
        setenv("TIDEWELL_VOLUMES_ROOT", (h / "Volumes").c_str(), 1);
    }
    int rc = RUN_ALL_TESTS();
    tw::test::g_home.reset();
    return rc;
}
