#include "platform/autostart.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/diagnostics.h"
#include "platform/places.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

using tw::test::readFile;
namespace fs = std::filesystem;
namespace ap = tw::platform;

namespace {
constexpr const char* kId = "com.meridot.tidewell.Riseling";

std::string execLine(const std::string& entry) {
    auto at = entry.find("\nExec=");
    if (at == std::string::npos) return "";
    at += 6;
    return entry.substr(at, entry.find('\n', at) - at);
}

struct QuietDiagnostics {
    QuietDiagnostics() {
        ap::setDiagnosticSink([](ap::DiagnosticLevel, const std::string&) {});
    }
    ~QuietDiagnostics() { ap::setDiagnosticSink(nullptr); }
};
}  // namespace

TEST(LoginItem, EnablingWritesADesktopEntryAndDisablingRemovesIt) {
    const std::string path = ap::loginItemPath(kId);
    EXPECT_EQ(path, ap::configHome() + "/autostart/com.meridot.tidewell.Riseling.desktop");
    ASSERT_FALSE(fs::exists(fs::path(path).parent_path()));

    ASSERT_TRUE(ap::setLoginItemEnabled(kId, "/opt/tidewell/bin/riseling", true, "Tidewell"));
    std::string entry = readFile(path);
    EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u) << entry;
    EXPECT_NE(entry.find("\nType=Application\n"), std::string::npos);
    EXPECT_NE(entry.find("\nName=Tidewell\n"), std::string::npos);
    EXPECT_EQ(execLine(entry), "/opt/tidewell/bin/riseling");
    // Enabling twice leaves one entry.
    ASSERT_TRUE(ap::setLoginItemEnabled(kId, "/opt/tidewell/bin/riseling", true, "Tidewell"));
    EXPECT_EQ(readFile(path), entry);

    ASSERT_TRUE(ap::setLoginItemEnabled(kId, "/opt/tidewell/bin/riseling", false));
    EXPECT_FALSE(fs::exists(path));
    // Disabling an item that is not there is what was asked.
    EXPECT_TRUE(ap::setLoginItemEnabled(kId, "/opt/tidewell/bin/riseling", false));
}

TEST(LoginItem, ExecLinesQuoteAndEscapeAsDesktopEntriesRequire) {
    // No reserved character: written as it is.
    EXPECT_EQ(ap::desktopExecArgument("/usr/bin/riseling"), "/usr/bin/riseling");
    // A space needs quotes; "%" is doubled so it is not a field code.
    EXPECT_EQ(ap::desktopExecArgument("/home/a b/100%/riseling"), "\"/home/a b/100%%/riseling\"");
    // Inside quotes `"`, `$`, backquote and backslash take a backslash, and the string value then
    // escapes each backslash once more.
    EXPECT_EQ(ap::desktopExecArgument("/x/\"q\"/$v/`c`/b\\s"),
              "\"/x/\\\\\"q\\\\\"/\\\\$v/\\\\`c\\\\`/b\\\\\\\\s\"");

    ASSERT_TRUE(ap::setLoginItemEnabled(kId, "/home/user/My Apps/riseling", true));
    std::string entry = readFile(ap::loginItemPath(kId));
    EXPECT_EQ(execLine(entry), "\"/home/user/My Apps/riseling\"");
    EXPECT_NE(entry.find("\nName=Riseling\n"), std::string::npos);
}

TEST(LoginItem, PathsAnExecLineCannotCarryAreRefused) {
    QuietDiagnostics quiet;
    EXPECT_FALSE(ap::setLoginItemEnabled(kId, "relative/riseling", true));
    EXPECT_FALSE(ap::setLoginItemEnabled(kId, "/tmp/new\nline", true));
    EXPECT_FALSE(ap::setLoginItemEnabled(kId, "", true));
    EXPECT_FALSE(fs::exists(ap::loginItemPath(kId)));
}

TEST(LoginItem, AnUnwritableAutostartFolderIsReported) {
    // A configuration folder the unprivileged child can reach.
    tw::test::TempDir config("tw-autostart");
    setenv("XDG_CONFIG_HOME", config.str().c_str(), 1);
    fs::path folder = fs::path(ap::loginItemPath(kId)).parent_path();
    fs::create_directories(folder);
    std::string failure = tw::test::runUnprivileged(config.path(), [&]() -> std::string {
        QuietDiagnostics quiet;
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
        if (ap::setLoginItemEnabled(kId, "/usr/bin/riseling", true)) return "enabled in a read-only folder";
        fs::permissions(folder, fs::perms::owner_all);
        if (!ap::setLoginItemEnabled(kId, "/usr/bin/riseling", true)) return "could not enable";
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
        if (ap::setLoginItemEnabled(kId, "/usr/bin/riseling", false)) return "disabled in a read-only folder";
        if (!fs::exists(ap::loginItemPath(kId))) return "the entry went away";
        fs::permissions(folder, fs::perms::owner_all);
        return "";
    });
    EXPECT_EQ(failure, "");
}
