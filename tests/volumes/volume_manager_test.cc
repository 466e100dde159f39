#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "Pinewick/config/ExclusionManager.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/volumes/EngineLink.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/places.h"
#include "support/log_capture.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

using tw::VolumeDetail;
using tw::VolumeManager;
namespace fs = std::filesystem;

namespace {
std::string root() {
    return tw::platform::volumesRoot();
}

// Where the volumes made here keep their images and read their stored states.
const tw::ServerConfigurationDetails& configuration() {
    static tw::ExclusionManager exclusions;
    static tw::ServerConfigurationDetails configuration(exclusions);
    return configuration;
}

std::shared_ptr<VolumeDetail> visible(const std::string& name) {
    auto v = std::make_shared<VolumeDetail>(name, configuration());
    v->state = VolumeDetail::volumeStates::Visible;
    return v;
}
}  // namespace

TEST(VolumeDetailTest, MappointVolumeFolders) {
    VolumeDetail v("Docs", configuration());
    EXPECT_EQ(v.localFolder, root() + "/Docs");
    EXPECT_EQ(v.serverFolder, "/Docs");
    EXPECT_EQ(v.diskImage, configuration().supportFolder + "Docs.sparsebundle");
    EXPECT_EQ(v.state, VolumeDetail::volumeStates::Hidden);
    EXPECT_NE(v.description().find("\r       Volume Name: Docs"), std::string::npos);
}

TEST(VolumeManagerTest, PathTranslationAcrossMappointsAndInLocationFolders) {
    VolumeManager m(configuration());
    // Nothing known yet: no path has a server location.
    EXPECT_EQ(m.serverFromLocal(root() + "/Docs/a.txt"), "DEADMAPPOINT");

    m.addVolume(visible("Docs"));
    m.resolveInLocationSync({{"/home", "~/Tidewell"}, {"/home/Work", "~/Work Files"}});
    std::string home = tw::platform::homeFolder();
    EXPECT_TRUE(fs::is_directory(home + "/Tidewell"));

    // The volumes root is matched without regard to case and its following "/" kept.
    std::string upper = root();
    for (auto& c : upper) c = static_cast<char>(toupper(c));
    EXPECT_EQ(VolumeManager::stripVolumePrefix(upper + "/Docs/x"),
              std::make_pair(true, std::string("/Docs/x")));
    EXPECT_EQ(VolumeManager::stripVolumePrefix("/Users/me/x"),
              std::make_pair(false, std::string("/Users/me/x")));

    EXPECT_EQ(m.serverFromLocal(root() + "/Docs/a.txt"), "/Docs/a.txt");
    EXPECT_EQ(m.serverFromLocal(home + "/Tidewell/notes/b.txt"), "/home/notes/b.txt");
    EXPECT_EQ(m.serverFromLocal(home + "/TIDEWELL/c"), "/home/c");
    EXPECT_EQ(m.serverFromLocal(home + "/Work Files/d"), "/home/Work/d");
    // A sibling whose name merely starts like the folder is outside it.
    EXPECT_EQ(m.serverFromLocal(home + "/TidewellOther/x"), "DEADMAPPOINT");
    EXPECT_EQ(m.serverFromLocal("/etc/passwd"), "DEADMAPPOINT");

    EXPECT_EQ(m.findVolume(tw::VolumeManager::LocalPath{root() + "/docs/deep/x"})->volumeName, "Docs");
    EXPECT_EQ(m.findVolume(tw::VolumeManager::LocalPath{home + "/Work Files/x"})->volumeName, "home");
    EXPECT_EQ(m.findVolume(tw::VolumeManager::LocalPath{"/tmp/x"}), nullptr);
    EXPECT_EQ(m.findVolume("DOCS")->volumeName, "Docs");

    EXPECT_EQ(m.ignoreMount(root() + "/Docs/dir/.Trashes/x"), "dir/.Trashes/x");
    EXPECT_EQ(m.ignoreMount(home + "/Tidewell/a"), "a");
    EXPECT_EQ(m.ignoreMount("/elsewhere/a"), "/elsewhere/a");
    EXPECT_TRUE(m.inLocationRoot(home + "/tidewell"));
    EXPECT_FALSE(m.inLocationRoot(home + "/Tidewell/a"));

    auto active = m.activeVolumesList();
    EXPECT_EQ(active, (std::vector<std::string>{root() + "/Docs", home + "/Tidewell", home + "/Work Files"}));
}

// Names are one name without regard to case as the server, the mount and the listing fold them: fully,
// so a spelling of another length ("ß" and "SS") is the same folder, and its rest keeps its own bytes.
TEST(VolumeManagerTest, FoldersAreMatchedWithFullCaseFoldingLikeEverywhereElse) {
    VolumeManager m(configuration());
    m.addVolume(
        visible("Stra\xC3\x9F"
                "e"));  // "Straße"
    m.resolveInLocationSync(
        {{"/home/Stra\xC3\x9F"
          "e",
          "~/Stra\xC3\x9F"
          "e"}});
    std::string home = tw::platform::homeFolder();
    EXPECT_EQ(m.serverFromLocal(home + "/STRASSE/b\xC3\xA4r.txt"),
              "/home/Stra\xC3\x9F"
              "e/b\xC3\xA4r.txt");
    EXPECT_TRUE(m.inLocationRoot(home + "/strasse"));
    ASSERT_NE(m.findVolume(tw::VolumeManager::LocalPath{home + "/STRASSE/x"}), nullptr);
    EXPECT_EQ(m.findVolume("STRASSE")->volumeName,
              "Stra\xC3\x9F"
              "e");
    // Names that are not UTF-8 are told apart by their bytes, not all taken for the same character.
    EXPECT_EQ(m.findVolume(tw::VolumeManager::LocalPath{home + "/Stra\xFF"
                                                               "e/x"}),
              nullptr);
    EXPECT_EQ(m.serverFromLocal(root() + "/Stra\xC3\x9F"
                                         "e/x"),
              "/Stra\xC3\x9F"
              "e/x");
}

TEST(VolumeManagerTest, InLocationNameTakenByAMappointIsRefused) {
    VolumeManager m(configuration());
    m.addVolume(visible("Docs"));
    size_t from = tw::test::logSize();
    m.resolveInLocationSync({{"/Docs/sub", "~/DocsHere"}, {"/", "~/Nothing"}});
    EXPECT_TRUE(tw::test::logContains("Warning: We already have the volume Docs in use.", from));
    EXPECT_EQ(m.volumeList().size(), 1u);
}

TEST(VolumeManagerTest, VolumeUuidComesFromTheMountedRootAndIsClearedOnUnmount) {
    VolumeManager m(configuration());
    std::string home = tw::platform::homeFolder();
    fs::create_directories(home + "/Mapped");
    std::string uuid = "6F1C2A54-8E0B-4D2B-9A51-0C6E3E9E4C11";
    if (setxattr((home + "/Mapped").c_str(), "user.com.meridot.tidewell.volumeuuid", uuid.data(), uuid.size(),
                 0) != 0)
        GTEST_SKIP() << "user extended attributes not supported on this file system";
    m.resolveInLocationSync({{"/home", "~/Mapped"}});
    auto v = m.findVolume("home");
    ASSERT_NE(v, nullptr);
    ASSERT_NE(v->volumeSystemNumber(), 0u);
    EXPECT_EQ(v->volumeUUID(), uuid);
    EXPECT_EQ(m.volumeNodeToVolumeUUID(v->volumeSystemNumber()), uuid);
    EXPECT_EQ(m.volumeNodeFromVolumeUUID(uuid), v->volumeSystemNumber());
    v->setVolumeSystemNumber(0);
    EXPECT_EQ(v->volumeUUID(), "");
    EXPECT_EQ(m.volumeNodeFromVolumeUUID(uuid), 0u);
}

// The server lists the mappoint an administrator mapped folders of the home folder from: each folder
// takes the mappoint's mode (automatic: synchronised; manual: placeholders) and is listed at once.
TEST(VolumeManagerTest, AListedMappointGivesItsInLocationFoldersItsModeAndListsThem) {
    using S = tw::CEAStatus::keys;
    VolumeManager m(configuration());
    std::string home = tw::platform::homeFolder();
    m.resolveInLocationSync({{"/Shared", "~/SharedHere"}, {"/Shared/Sub", "~/SubHere"}});
    const std::vector<std::string> folders{home + "/SharedHere", home + "/SubHere"};
    if (setxattr(folders[0].c_str(), "user.tw-probe", "1", 1, 0) != 0)
        GTEST_SKIP() << "user extended attributes not supported on this file system";
    std::mutex mutex;
    std::vector<std::pair<std::string, bool>> listings;
    tw::EngineLink link;
    link.addSyncFolderEvent = [&](const std::string& path, bool userRequest) {
        std::lock_guard lock(mutex);
        listings.emplace_back(path, userRequest);
    };
    m.setEngineLink(std::make_shared<const tw::EngineLink>(link));
    auto stateOf = [](const std::string& p) { return tw::CorvaneExtendedAttributes(p).ceaStatus.status; };
    const std::vector<std::pair<std::string, bool>> listedByTheUser{{folders[0], true}, {folders[1], true}};

    m.resolveVolumes({{"Shared", "", true, nullptr}});
    for (const auto& f : folders) EXPECT_EQ(stateOf(f), S::Regular) << f;
    EXPECT_EQ(listings, listedByTheUser);

    listings.clear();
    m.resolveVolumes({{"Shared", "", false, nullptr}});
    for (const auto& f : folders) EXPECT_EQ(stateOf(f), S::Placeholder) << f;
    EXPECT_EQ(listings, listedByTheUser);
    // Still the in-location entry, not a mappoint volume of that name.
    EXPECT_EQ(m.findVolume("Shared")->state, VolumeDetail::volumeStates::InLocation);
}

TEST(VolumeManagerTest, AListGoingWaitsForTheMountItQueued) {
    // A disk-image tool that takes its time over the attach, then notes that it finished.
    tw::test::TempDir dir("tw-slow-tools");
    const fs::path finished = dir / "finished";
    std::ofstream(dir / "tidewell-hdiutil")
        << "#!/bin/sh\nsleep 0.5\ntouch '" << finished.string() << "'\nexit 1\n";
    fs::permissions(dir / "tidewell-hdiutil", fs::perms::owner_all);
    tw::test::ScopedEnv tools("TIDEWELL_TOOLS_DIR", dir.str());
    {
        VolumeManager m(configuration());
        m.addVolume(std::make_shared<VolumeDetail>("Slow", configuration()));
        ASSERT_TRUE(m.activateVolume("Slow"));  // mounts in the background, with the list
    }
    EXPECT_TRUE(fs::exists(finished)) << "the list went while its mount was still running";
}
