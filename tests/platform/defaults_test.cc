#include "platform/defaults.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/places.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

using nlohmann::json;
using tw::platform::Defaults;
using tw::test::readFile;
using tw::test::TempDir;
using tw::test::writeFile;
namespace fs = std::filesystem;

namespace {

// Collects the warnings the platform reports while the test runs.
class Warnings {
public:
    Warnings() {
        tw::platform::setDiagnosticSink([this](tw::platform::DiagnosticLevel, const std::string& message) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(message);
        });
    }
    ~Warnings() { tw::platform::setDiagnosticSink(nullptr); }
    size_t count(const std::string& needle) {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const auto& l : lines_)
            if (l.find(needle) != std::string::npos) ++n;
        return n;
    }
    size_t size() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_.size();
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

struct Domain {
    TempDir dir{"tw-defaults"};
    fs::path user = dir / "config/meridot/test.json";
    fs::path admin1 = dir / "xdg1/meridot/test.json";
    fs::path admin2 = dir / "xdg2/meridot/test.json";
    Defaults defaults{user.string(), {admin1.string(), admin2.string()}};
};

std::vector<std::string> filesIn(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

// --- Where values come from -------------------------------------------------------------------

TEST(DefaultsLookup, AdministratorValuesWinOverTheUsersAndEarlierFoldersOverLaterOnes) {
    Domain d;
    ASSERT_TRUE(writeFile(d.user, R"({"dockicon": true, "server": "user.example", "onlyUser": 1})"));
    ASSERT_TRUE(writeFile(d.admin1, R"({"dockicon": false})"));
    ASSERT_TRUE(writeFile(d.admin2, R"({"dockicon": true, "server": "admin2.example"})"));

    EXPECT_EQ(d.defaults.object("dockicon"), json(false));
    EXPECT_EQ(d.defaults.boolValue("dockicon"), false);
    // A key only the second administrator file holds still beats the user's value.
    EXPECT_EQ(d.defaults.stringValue("server"), "admin2.example");
    EXPECT_EQ(d.defaults.object("onlyUser"), json(1));
    EXPECT_EQ(d.defaults.userObject("dockicon"), json(true));
    EXPECT_EQ(d.defaults.adminObject("dockicon"), json(false));
    EXPECT_FALSE(d.defaults.adminObject("onlyUser"));
    EXPECT_FALSE(d.defaults.object("missing"));
}

TEST(DefaultsLookup, ReadsSeeFileChangesAtOnce) {
    Domain d;
    EXPECT_FALSE(d.defaults.object("k"));
    ASSERT_TRUE(writeFile(d.admin2, R"({"k": "one"})"));
    EXPECT_EQ(d.defaults.stringValue("k"), "one");
    ASSERT_TRUE(writeFile(d.admin1, R"({"k": "two"})"));
    EXPECT_EQ(d.defaults.stringValue("k"), "two");
}

TEST(DefaultsLookup, StandardDomainFollowsXdgConfigDirsInOrder) {
    // Only this test touches the process-wide domains, so the environment set here is what they see.
    setenv("XDG_CONFIG_DIRS", "/first/dir/:relative/dir::/second", 1);
    auto& standard = Defaults::standard();
    EXPECT_EQ(standard.userFile(), tw::platform::configHome() + "/meridot/com.meridot.tidewell.json");
    EXPECT_EQ(standard.adminFiles(), (std::vector<std::string>{"/first/dir/meridot/com.meridot.tidewell.json",
                                                               "/second/meridot/com.meridot.tidewell.json"}));
    auto& suite = Defaults::finderListSuite();
    EXPECT_EQ(suite.userFile(),
              tw::platform::configHome() + "/meridot/group.com.meridot.tidewell.FinderList.json");
    EXPECT_TRUE(suite.adminFiles().empty());
}

TEST(DefaultsLookup, OrderedObjectKeepsTheFilesMemberOrder) {
    Domain d;
    ASSERT_TRUE(writeFile(d.admin1, R"({"rules": {"zeta": "1", "alpha": "2", "mid": "3"}})"));
    auto ordered = d.defaults.orderedObject("rules");
    ASSERT_TRUE(ordered);
    std::vector<std::string> keys;
    for (auto it = ordered->begin(); it != ordered->end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"zeta", "alpha", "mid"}));
}

// --- Kinds of values --------------------------------------------------------------------------

TEST(DefaultsKinds, BooleansAreJsonBooleansOrNumbersAndNothingElse) {
    Domain d;
    ASSERT_TRUE(writeFile(d.user, R"({"t": true, "f": false, "zero": 0, "one": 1, "frac": 2.5, "fzero": 0.0,
        "neg": -3, "str": "true", "null": null, "arr": [1], "obj": {}})"));
    EXPECT_EQ(d.defaults.boolValue("t"), true);
    EXPECT_EQ(d.defaults.boolValue("f"), false);
    EXPECT_EQ(d.defaults.boolValue("zero"), false);
    EXPECT_EQ(d.defaults.boolValue("one"), true);
    EXPECT_EQ(d.defaults.boolValue("frac"), true);
    EXPECT_EQ(d.defaults.boolValue("fzero"), false);
    EXPECT_EQ(d.defaults.boolValue("neg"), true);
    for (const char* absent : {"str", "null", "arr", "obj", "missing"})
        EXPECT_FALSE(d.defaults.boolValue(absent)) << absent;
}

TEST(DefaultsKinds, StringsAndStringArrays) {
    Domain d;
    ASSERT_TRUE(
        writeFile(d.user, R"({"s": "text", "n": 5, "list": ["a", "b"], "mixed": ["a", 1], "empty": []})"));
    EXPECT_EQ(d.defaults.stringValue("s"), "text");
    EXPECT_FALSE(d.defaults.stringValue("n"));
    EXPECT_EQ(d.defaults.stringArray("list"), (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(d.defaults.stringArray("mixed"));
    EXPECT_EQ(d.defaults.stringArray("empty"), std::vector<std::string>{});
    EXPECT_FALSE(d.defaults.stringArray("s"));
}

// --- Unreadable files -------------------------------------------------------------------------

TEST(DefaultsCorruption, UnreadableFilesReadAsEmptyWarnOncePerContentAndStayUntouched) {
    Warnings warnings;
    Domain d;
    ASSERT_TRUE(writeFile(d.admin1, "{\"dockicon\": fal"));
    ASSERT_TRUE(writeFile(d.admin2, R"(["not", "an", "object"])"));
    ASSERT_TRUE(writeFile(d.user, R"({"dockicon": true})"));

    for (int i = 0; i < 3; ++i) EXPECT_EQ(d.defaults.boolValue("dockicon"), true);
    EXPECT_EQ(warnings.count(d.admin1.string()), 1u);
    EXPECT_EQ(warnings.count(d.admin2.string()), 1u);
    EXPECT_EQ(readFile(d.admin1), "{\"dockicon\": fal");

    // Another broken content of the same file is worth a new warning.
    ASSERT_TRUE(writeFile(d.admin1, "still broken"));
    EXPECT_EQ(d.defaults.boolValue("dockicon"), true);
    EXPECT_EQ(warnings.count(d.admin1.string()), 2u);

    // An empty file is simply empty.
    ASSERT_TRUE(writeFile(d.admin2, ""));
    EXPECT_EQ(d.defaults.boolValue("dockicon"), true);
    EXPECT_EQ(warnings.count(d.admin2.string()), 1u);
}

TEST(DefaultsCorruption, AWriteKeepsAnUnreadableUserFileAsideFirst) {
    Warnings warnings;
    Domain d;
    ASSERT_TRUE(writeFile(d.user, "my hand-edited {settings"));
    EXPECT_FALSE(d.defaults.object("k"));
    EXPECT_EQ(readFile(d.user), "my hand-edited {settings");  // a read never repairs

    ASSERT_TRUE(d.defaults.set("k", 1));
    EXPECT_EQ(readFile(d.user.string() + ".corrupt"), "my hand-edited {settings");
    EXPECT_EQ(json::parse(readFile(d.user)), json({{"k", 1}}));

    // A second broken file does not replace the copy kept before.
    ASSERT_TRUE(writeFile(d.user, "[2]"));
    ASSERT_TRUE(d.defaults.remove("other"));
    EXPECT_EQ(readFile(d.user.string() + ".corrupt"), "my hand-edited {settings");
    EXPECT_EQ(readFile(d.user.string() + ".corrupt.1"), "[2]");
    EXPECT_EQ(json::parse(readFile(d.user)), json::object());
}

// --- Writes -----------------------------------------------------------------------------------

TEST(DefaultsWrites, CreateThePrivateFolderAndFileAndKeepOtherKeysInOrder) {
    Domain d;
    ASSERT_FALSE(fs::exists(d.user.parent_path()));
    ASSERT_TRUE(d.defaults.set("zeta", "z"));
    ASSERT_TRUE(d.defaults.set("alpha", json::array({1, 2})));
    ASSERT_TRUE(d.defaults.set("zeta", "z2"));

    struct stat st {};
    ASSERT_EQ(stat(d.user.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(d.user.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    std::string text = readFile(d.user);
    EXPECT_LT(text.find("zeta"), text.find("alpha")) << text;
    EXPECT_EQ(d.defaults.stringValue("zeta"), "z2");
    EXPECT_EQ(d.defaults.object("alpha"), json::array({1, 2}));

    ASSERT_TRUE(d.defaults.remove("zeta"));
    EXPECT_FALSE(d.defaults.object("zeta"));
    EXPECT_EQ(d.defaults.object("alpha"), json::array({1, 2}));
    // Nothing but the file itself is left in the folder (no temporary files).
    EXPECT_EQ(filesIn(d.user.parent_path()), std::vector<std::string>{"test.json"});
}

TEST(DefaultsWrites, WritesGoToTheUserFileOnly) {
    Domain d;
    ASSERT_TRUE(writeFile(d.admin1, R"({"k": "admin"})"));
    ASSERT_TRUE(d.defaults.set("k", "user"));
    EXPECT_EQ(d.defaults.stringValue("k"), "admin");
    EXPECT_EQ(d.defaults.userObject("k"), json("user"));
    EXPECT_EQ(readFile(d.admin1), R"({"k": "admin"})");
}

TEST(DefaultsWrites, RemovingAnAbsentKeyWritesNothing) {
    Domain d;
    EXPECT_TRUE(d.defaults.remove("nothing"));
    EXPECT_FALSE(fs::exists(d.user));
}

TEST(DefaultsWrites, ReadersNeverSeeHalfAFile) {
    Warnings warnings;
    Domain d;
    ASSERT_TRUE(d.defaults.set("big", std::string(200000, 'x')));
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        Defaults other(d.user.string(), {});
        while (!stop) {
            auto v = other.stringValue("big");
            if (!v || v->size() < 200000) ++bad;
        }
    });
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(d.defaults.set("big", std::string(200000 + i, 'a' + i % 26)));
    stop = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(warnings.size(), 0u);
}

TEST(DefaultsWrites, AReadOnlyFolderMakesSetFailAndChangesNothing) {
    Domain d;
    ASSERT_TRUE(writeFile(d.user, R"({"keep": 1})"));
    const fs::path folder = d.user.parent_path();
    std::string failure = tw::test::runUnprivileged(d.dir.path(), [&]() -> std::string {
        Warnings warnings;
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
        if (d.defaults.set("k", 2)) return "set succeeded in a read-only folder";
        if (d.defaults.remove("keep")) return "remove succeeded in a read-only folder";
        if (readFile(d.user) != R"({"keep": 1})") return "the file changed";
        if (warnings.count(d.user.string()) == 0) return "no warning names the file";

        // With an unreadable file, nothing is kept aside either.
        fs::permissions(folder, fs::perms::owner_all);
        if (!writeFile(d.user, "broken")) return "cannot prepare the broken file";
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
        if (d.defaults.set("k", 2)) return "set over a broken file succeeded in a read-only folder";
        if (readFile(d.user) != "broken") return "the broken file changed";
        if (filesIn(folder) != std::vector<std::string>{"test.json"})
            return "something was left in the folder";
        fs::permissions(folder, fs::perms::owner_all);
        return "";
    });
    EXPECT_EQ(failure, "");
}

TEST(DefaultsWrites, TextThatIsNotUtf8IsRefusedAndTheFileKept) {
    Warnings warnings;
    Domain d;
    ASSERT_TRUE(d.defaults.set("keep", "yes"));
    std::string before = readFile(d.user);
    EXPECT_FALSE(d.defaults.set("path", std::string("/home/caf\xE9")));
    EXPECT_EQ(readFile(d.user), before);
}
