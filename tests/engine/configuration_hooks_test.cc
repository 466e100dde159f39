// The engine's side of the administrator configuration: the mapping reaches the volume manager the
// right way round, and the server permission reaches the run state.
#include <gtest/gtest.h>

#include <filesystem>

#include "Pinewick/app/Engine.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/places.h"
#include "support/temp_dir.h"

using tw::ServerConfigurationDetails;
using tw::VolumeDetail;
using tw::VolumeManager;
namespace fs = std::filesystem;

namespace {
void writeAdmin(const std::string& json) {
    ASSERT_TRUE(tw::test::writeFile(tw::test::testHome() / "xdg/meridot/com.meridot.tidewell.json", json));
}
}  // namespace

TEST(ConfigurationHooks, TheMappingBecomesInLocationVolumesServerFolderFirst) {
    writeAdmin(R"({"mapping": {"~/Docs/Work": "/Work/Docs", "~/Pics": "/Work/Pictures"}})");
    VolumeManager::sharedInstance().clear();
    ServerConfigurationDetails::sharedInstance().readConfig(tw::Engine::configurationHooks());

    auto volume = VolumeManager::sharedInstance().findVolume("Work");
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->state, VolumeDetail::volumeStates::InLocation);
    const std::string home = tw::platform::homeFolder();
    EXPECT_EQ(volume->inLocationList,
              (std::vector<std::pair<std::string, std::string>>{{"/Work/Docs", home + "/Docs/Work"},
                                                                {"/Work/Pictures", home + "/Pics"}}));
    EXPECT_TRUE(fs::is_directory(home + "/Docs/Work"));
    EXPECT_EQ(VolumeManager::sharedInstance().serverFromLocal(home + "/Pics/a.jpg"), "/Work/Pictures/a.jpg");
}

TEST(ConfigurationHooks, ServerContactFollowsTheSwitchIntoTheRunState) {
    auto& state = tw::StateManager::sharedInstance();
    writeAdmin(R"({"allowservercontact": false})");
    state.allowServerCommunication = true;
    ServerConfigurationDetails::sharedInstance().loadState(tw::Engine::configurationHooks());
    EXPECT_FALSE(state.allowServerCommunication.load());

    writeAdmin(R"({"allowservercontact": true})");
    ServerConfigurationDetails::sharedInstance().loadState(tw::Engine::configurationHooks());
    EXPECT_TRUE(state.allowServerCommunication.load());
}
