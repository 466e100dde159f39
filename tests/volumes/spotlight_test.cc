// Indexing policy of mounted volumes: what counts as indexed, and the tool run when it is not.
#include "Pinewick/volumes/SpotLight.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "support/log_capture.h"
#include "support/temp_dir.h"

using tw::SpotLight;
using tw::test::readFile;
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
