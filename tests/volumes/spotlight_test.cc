// Indexing policy of mounted volumes: what counts as indexed, and the tool run when it is not.
#include "Pinewick/volumes/SpotLight.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "platform/keyfile.h"
#include "platform/places.h"
#include "platform/process.h"
#include "support/log_capture.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

using tw::SpotLight;
using tw::test::readFile;
using tw::test::ScopedEnv;
using tw::test::TempDir;
using tw::test::writeFile;
namespace fs = std::filesystem;

namespace {

std::string configuration(const std::string& stores) {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>ConfigurationModificationVersion</key><integer>3</integer>
  <key>Stores</key>)" +
           stores + R"(
</dict></plist>)";
}

std::string store(const std::string& level) {
    return "<dict><key>PolicyLevel</key><string>" + level +
           "</string><key>PolicyDate</key><integer>1</integer></dict>";
}

// A volume folder with the given configuration file content.
struct Volume {
    TempDir dir{"tw-spotlight"};
    explicit Volume(const std::optional<std::string>& config = std::nullopt) {
        if (config) {
            EXPECT_TRUE(writeFile(dir.str() + SpotLight::kConfigurationFile, *config));
        }
    }
    std::string path() const { return dir.str(); }
};

// A stand-in tidewell-mdutil that records its arguments, one per line.
struct RecordingTool {
    TempDir dir{"tw-tools"};
    RecordingTool() {
        fs::path script = dir / SpotLight::kToolName;
        EXPECT_TRUE(writeFile(
            script,
            "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> \"$(dirname \"$0\")/calls\"\n"));
        fs::permissions(script, fs::perms::owner_all);
        setenv("TIDEWELL_TOOLS_DIR", dir.str().c_str(), 1);
    }
    ~RecordingTool() { unsetenv("TIDEWELL_TOOLS_DIR"); }
    std::string calls() const { return readFile(dir / "calls"); }
};

// What the volume manager does after a mount.
void afterMount(const std::string& path) {
    if (!SpotLight::isSpotlightActive(path)) SpotLight::changeSpotlight(path, "on");
}

}  // namespace

TEST(Spotlight, AFreshVolumeIsNotIndexedAndTheToolIsAskedToIndexIt) {
    RecordingTool tool;
    Volume volume;  // no .Spotlight-V100 folder at all
    EXPECT_FALSE(SpotLight::isSpotlightActive(volume.path()));
    size_t from = tw::test::logSize();
    afterMount(volume.path());
    EXPECT_EQ(tool.calls(), "-v\n-i\non\n" + volume.path() + "\n");
    EXPECT_TRUE(tw::test::logContains("Changing spotlight policy. " + volume.path() + ":on", from));
}

TEST(Spotlight, OneReadWriteStoreAmongSeveralCountsAsIndexedAndTheToolIsNotRun) {
    RecordingTool tool;
    Volume volume(configuration("<dict><key>A</key>" + store("kMDConfigSearchLevelOff") + "<key>B</key>" +
                                store("kMDConfigSearchLevelReadWrite") + "</dict>"));
    EXPECT_TRUE(SpotLight::isSpotlightActive(volume.path()));
    afterMount(volume.path());
    EXPECT_EQ(tool.calls(), "");
}

TEST(Spotlight, StoresThatAreNotADictionaryCountAsNotIndexed) {
    Volume asArray(configuration("<array>" + store("kMDConfigSearchLevelReadWrite") + "</array>"));
    EXPECT_FALSE(SpotLight::isSpotlightActive(asArray.path()));
    Volume asText(configuration("<string>kMDConfigSearchLevelReadWrite</string>"));
    EXPECT_FALSE(SpotLight::isSpotlightActive(asText.path()));
}

TEST(Spotlight, OtherLayoutsCountAsNotIndexed) {
    // A store that is not a dictionary spoils the whole list, even beside a read-write one.
    Volume mixed(configuration("<dict><key>A</key>" + store("kMDConfigSearchLevelReadWrite") +
                               "<key>B</key><string>x</string></dict>"));
    EXPECT_FALSE(SpotLight::isSpotlightActive(mixed.path()));
    Volume noReadWrite(configuration("<dict><key>A</key>" + store("kMDConfigSearchLevelOff") + "</dict>"));
    EXPECT_FALSE(SpotLight::isSpotlightActive(noReadWrite.path()));
    Volume levelNotText(
        configuration("<dict><key>A</key><dict><key>PolicyLevel</key><integer>1</integer></dict></dict>"));
    EXPECT_FALSE(SpotLight::isSpotlightActive(levelNotText.path()));
    Volume emptyStores(configuration("<dict/>"));
    EXPECT_FALSE(SpotLight::isSpotlightActive(emptyStores.path()));
    Volume garbage(std::string("not a property list"));
    EXPECT_FALSE(SpotLight::isSpotlightActive(garbage.path()));
    Volume topArray(std::string(R"(<?xml version="1.0"?><plist version="1.0"><array/></plist>)"));
    EXPECT_FALSE(SpotLight::isSpotlightActive(topArray.path()));
}

TEST(Spotlight, AMissingToolIsNoFailureForTheMount) {
    TempDir empty("tw-notools");
    setenv("TIDEWELL_TOOLS_DIR", empty.str().c_str(), 1);
    Volume volume;
    size_t from = tw::test::logSize();
    SpotLight::changeSpotlight(volume.path(), "on");  // returns; nothing to wait for
    unsetenv("TIDEWELL_TOOLS_DIR");
    EXPECT_TRUE(tw::test::logContains("Changing spotlight policy. " + volume.path() + ":on", from));
}

// ---- the desktop's indexers, told by the real tool through their own settings

namespace {

// The keys localsearch (tracker 3) declares for its file miner, with its defaults: the indexer is not
// installed on every machine that runs these tests, so its schema is compiled here.
constexpr char kTrackerSchema[] = R"(<schemalist>
  <schema id="org.freedesktop.Tracker3.Miner.Files" path="/org/freedesktop/tracker/miner/files/">
    <key name="index-recursive-directories" type="as">
      <default>[ '&amp;DESKTOP', '&amp;DOCUMENTS', '&amp;MUSIC', '&amp;PICTURES', '&amp;VIDEOS', '&amp;DOWNLOAD' ]</default>
    </key>
    <key name="index-single-directories" type="as"><default>[ '$HOME' ]</default></key>
    <key name="ignored-directories" type="as">
      <default>[ 'po', 'CVS', 'core-dumps', 'lost+found' ]</default>
    </key>
  </schema>
</schemalist>
)";
constexpr char kTrackerGroup[] = "org/freedesktop/tracker/miner/files";

// The real tool, with nothing of the machine's: no indexer's schema or program unless a test puts one
// there, settings and configuration files in a folder of the test's own.
class IndexerSettings : public ::testing::Test {
protected:
    IndexerSettings()
        : tools_("TIDEWELL_TOOLS_DIR", tw::platform::executableFolder()),
          config_("XDG_CONFIG_HOME", (dir / "config").string()),
          dataDirs_("XDG_DATA_DIRS", (dir / "share").string()),
          schemas_("GSETTINGS_SCHEMA_DIR", std::nullopt),
          backend_("GSETTINGS_BACKEND", std::string("keyfile")),
          path_("PATH", (dir / "bin").string()) {
        fs::create_directories(dir / "config");
        fs::create_directories(dir / "share");
        fs::create_directories(dir / "bin");
    }

    // Runs the tool directly, as the application does; its exit status.
    int tool(const std::string& mode, const std::string& path) {
        return tw::platform::runProcess({tw::platform::toolPath(SpotLight::kToolName), "-i", mode, path})
            .exitCode;
    }
    std::string trackerSettings() const {
        return readFile(dir / "config" / "glib-2.0" / "settings" / "keyfile");
    }
    std::string trackerList(const std::string& key) const {
        return tw::platform::keyFileValue(trackerSettings(), kTrackerGroup, key).value_or("(default)");
    }
    fs::path balooConfig() const { return dir / "config" / "baloofilerc"; }

    TempDir dir{"tw-indexers"};
    const std::string volume = tw::platform::volumesRoot() + "/Docs";

private:
    ScopedEnv tools_, config_, dataDirs_, schemas_, backend_, path_;
};

}  // namespace

TEST_F(IndexerSettings, LocalsearchIncludesTheVolumeInItsOwnSettingsAndKeepsTheUsersEntries) {
    // Compiled before PATH leaves only the test's folder.
    fs::create_directories(dir / "schemas");
    ASSERT_TRUE(tw::test::writeFile(dir / "schemas" / "org.freedesktop.Tracker3.Miner.Files.gschema.xml",
                                    kTrackerSchema));
    auto compiled = [&] {
        ScopedEnv path("PATH", std::string("/usr/local/bin:/usr/bin:/bin"));
        return tw::platform::runProcess({"glib-compile-schemas", (dir / "schemas").string()});
    }();
    if (!compiled.started) GTEST_SKIP() << "glib-compile-schemas is not installed: " << compiled.error;
    ASSERT_TRUE(compiled.succeeded());
    ScopedEnv schemas("GSETTINGS_SCHEMA_DIR", (dir / "schemas").string());
    // The user's own choices, with the volume left out at some time before.
    fs::create_directories(dir / "config" / "glib-2.0" / "settings");
    ASSERT_TRUE(tw::test::writeFile(dir / "config" / "glib-2.0" / "settings" / "keyfile",
                                    "[org/freedesktop/tracker/miner/files]\n"
                                    "index-recursive-directories=['&DOCUMENTS', '/srv/music']\n"
                                    "ignored-directories=['po', '" +
                                        volume + "/']\n"));

    SpotLight::changeSpotlight(volume, "on");
    EXPECT_EQ(trackerList("index-recursive-directories"), "['&DOCUMENTS', '/srv/music', '" + volume + "']");
    EXPECT_EQ(trackerList("ignored-directories"), "['po']");
    // Asked again at the next mount: nothing twice.
    SpotLight::changeSpotlight(volume, "on");
    EXPECT_EQ(trackerList("index-recursive-directories"), "['&DOCUMENTS', '/srv/music', '" + volume + "']");

    EXPECT_EQ(tool("off", volume), 0);
    EXPECT_EQ(trackerList("index-recursive-directories"), "['&DOCUMENTS', '/srv/music']");
    EXPECT_EQ(trackerList("ignored-directories"), "['po', '" + volume + "']");
    EXPECT_EQ(trackerList("index-single-directories"), "(default)")
        << "a key it holds nothing of is left alone";
}

TEST_F(IndexerSettings, BalooIncludesTheVolumeInItsConfigurationFileAndKeepsTheRest) {
    // Installed: one of its programs is on the PATH.
    ASSERT_TRUE(tw::test::writeFile(dir / "bin" / "balooctl6", "#!/bin/sh\nexit 0\n"));
    fs::permissions(dir / "bin" / "balooctl6", fs::perms::owner_all);
    // A name that takes KDE's escapes in a path list: a comma (an item separator) and a dollar sign (an
    // expansion).
    const std::string awkward = tw::platform::volumesRoot() + "/Q1, Q2 $ales";
    const std::string awkwardItem = tw::platform::volumesRoot() + "/Q1\\\\, Q2 $$ales/";
    // As KDE's settings write it: the volume excluded, a folder of the user's with a comma of its own.
    const std::string before =
        "[Basic Settings]\n"
        "Indexing-Enabled=true\n"
        "\n"
        "[General]\n"
        "dbVersion=2\n"
        "exclude filters=*~,*.part\n"
        "exclude folders[$e]=$HOME/Private/," +
        awkwardItem +
        ",/srv/a\\\\,b/\n"
        "folders[$e]=$HOME/\n"
        "only basic indexing=false\n";
    ASSERT_TRUE(tw::test::writeFile(balooConfig(), before));

    SpotLight::changeSpotlight(awkward, "on");
    const std::string included =
        "[Basic Settings]\n"
        "Indexing-Enabled=true\n"
        "\n"
        "[General]\n"
        "dbVersion=2\n"
        "exclude filters=*~,*.part\n"
        "exclude folders[$e]=$HOME/Private/,/srv/a\\\\,b/\n"
        "folders[$e]=$HOME/," +
        awkwardItem +
        "\n"
        "only basic indexing=false\n";
    EXPECT_EQ(readFile(balooConfig()), included);
    SpotLight::changeSpotlight(awkward, "on");
    EXPECT_EQ(readFile(balooConfig()), included) << "asked again at the next mount: nothing twice";

    EXPECT_EQ(tool("off", awkward), 0);
    std::string excluded = readFile(balooConfig());
    EXPECT_EQ(tw::platform::keyFileValue(excluded, "General", "folders[$e]"), "$HOME/");
    EXPECT_EQ(tw::platform::keyFileValue(excluded, "General", "exclude folders[$e]"),
              "$HOME/Private/,/srv/a\\\\,b/," + awkwardItem);

    // Someone who never opened baloo's settings has the home folder indexed: it stays so.
    fs::remove(balooConfig());
    SpotLight::changeSpotlight(volume, "on");
    EXPECT_EQ(readFile(balooConfig()), "[General]\nfolders[$e]=$HOME/," + volume + "/\n");
}

TEST_F(IndexerSettings, WithoutAnIndexerNothingIsWrittenAndTheLogSaysSoOnce) {
    EXPECT_EQ(tool("on", volume), SpotLight::kNoIndexerInstalled);
    SpotLight::changeSpotlight(volume, "on");
    SpotLight::changeSpotlight(volume + "2", "on");
    EXPECT_EQ(tw::test::occurrences(tw::test::sharedLogText(), "No desktop indexer"), 1u);
    EXPECT_TRUE(fs::is_empty(dir / "config"));
    // A wrong command line is refused as such.
    EXPECT_EQ(tool("sometimes", volume), 2);
    EXPECT_EQ(tool("on", "relative/path"), 2);
}
