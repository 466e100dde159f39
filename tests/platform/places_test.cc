#include "platform/places.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace fs = std::filesystem;
namespace ap = tw::platform;

namespace {
// Points the volumes root somewhere for one test and puts the process's own back afterwards.
struct VolumesRootOverride {
    explicit VolumesRootOverride(const char* value) {
        if (const char* v = getenv("TIDEWELL_VOLUMES_ROOT")) saved = v;
        if (value)
            setenv("TIDEWELL_VOLUMES_ROOT", value, 1);
        else
            unsetenv("TIDEWELL_VOLUMES_ROOT");
    }
    ~VolumesRootOverride() { setenv("TIDEWELL_VOLUMES_ROOT", saved.c_str(), 1); }
    std::string saved;
};

mode_t modeOf(const fs::path& p) {
    struct stat st {};
    lstat(p.c_str(), &st);
    return st.st_mode;
}
}  // namespace

TEST(VolumesRoot, DefaultIsAFolderOfTheUserUnderTheSharedVolumes) {
    VolumesRootOverride unset(nullptr);
    const passwd* pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(ap::volumesRoot(), std::string("/Volumes/") + pw->pw_name);
}

TEST(VolumesRoot, AGivenRootLosesItsTrailingSlashes) {
    VolumesRootOverride root("/srv/volumes//");
    EXPECT_EQ(ap::volumesRoot(), "/srv/volumes");
}

TEST(VolumesRoot, AMissingRootIsMadePrivateWithItsParents) {
    tw::test::TempDir dir("tw-vroot");
    const fs::path root = dir / "a/b/Volumes";
    VolumesRootOverride over(root.c_str());
    std::string why;
    ASSERT_TRUE(ap::prepareVolumesRoot(&why)) << why;
    EXPECT_TRUE(fs::is_directory(root));
    EXPECT_EQ(modeOf(root) & 07777, 0700u);
    // Preparing again keeps what is there, content included.
    ASSERT_TRUE(tw::test::writeFile(root / "kept.txt", "x"));
    EXPECT_TRUE(ap::prepareVolumesRoot(&why)) << why;
    EXPECT_EQ(tw::test::readFile(root / "kept.txt"), "x");
}

TEST(VolumesRoot, ALinkOrAFileInItsPlaceIsRefusedAndLeftAlone) {
    tw::test::TempDir dir("tw-vroot");
    fs::create_directory(dir / "elsewhere");
    fs::create_directory_symlink(dir / "elsewhere", dir / "link");
    ASSERT_TRUE(tw::test::writeFile(dir / "file", "data"));
    for (const char* name : {"link", "file"}) {
        VolumesRootOverride over((dir / name).c_str());
        std::string why;
        EXPECT_FALSE(ap::prepareVolumesRoot(&why)) << name;
        EXPECT_NE(why.find("is not a folder"), std::string::npos) << why;
    }
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
    EXPECT_EQ(tw::test::readFile(dir / "file"), "data");
}

TEST(VolumesRoot, AFolderOfAnotherUserIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
    tw::test::TempDir dir("tw-vroot");
    const fs::path root = dir / "Volumes";
    fs::create_directory(root);
    ASSERT_EQ(chown(root.c_str(), 65534, 65534), 0);
    VolumesRootOverride over(root.c_str());
    std::string why;
    EXPECT_FALSE(ap::prepareVolumesRoot(&why));
    EXPECT_NE(why.find("belongs to another user (uid 65534)"), std::string::npos) << why;
}

TEST(VolumesRoot, AMissingSharedVolumesNamesTheFix) {
    if (fs::exists("/Volumes")) GTEST_SKIP() << "/Volumes exists on this machine";
    VolumesRootOverride unset(nullptr);
    std::string why;
    EXPECT_FALSE(ap::prepareVolumesRoot(&why));
    EXPECT_NE(why.find("mkdir -m 1777 /Volumes"), std::string::npos) << why;
    EXPECT_FALSE(fs::exists("/Volumes"));
}
