#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>

#include "platform/plist.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace tw::platform;
using tw::test::TempDir;
using tw::test::writeFile;

namespace {

double nowSince1970() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Clears any resolver a test installed, whatever the test's outcome.
struct ResolverReset {
    ~ResolverReset() { setVolPathResolver(nullptr); }
};

}  // namespace

TEST(FileAttributes, ReportIdentityKindSizeAndDates) {
    TempDir dir;
    auto file = dir / "a.txt";
    double before = nowSince1970();
    ASSERT_TRUE(writeFile(file, "hello"));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);

    SysError error;
    auto a = attributesOfItem(file.string(), &error);
    ASSERT_TRUE(a) << error.describe();
    EXPECT_EQ(a->systemNumber, static_cast<uint64_t>(st.st_dev));
    EXPECT_EQ(a->systemFileNumber, static_cast<uint64_t>(st.st_ino));
    EXPECT_EQ(a->type, "NSFileTypeRegular");
    EXPECT_EQ(a->size, 5u);
    EXPECT_NEAR(a->modificationDate, before, 5.0);
    EXPECT_NEAR(a->creationDate, before, 5.0);

    auto d = attributesOfItem(dir.str());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->type, "NSFileTypeDirectory");
}

TEST(FileAttributes, TypesOfLinksFifosAndSockets) {
    TempDir dir;
    ASSERT_TRUE(writeFile(dir / "target", "x"));
    fs::create_symlink(dir / "target", dir / "link");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);

    // A link is reported as itself, not as what it points at.
    EXPECT_EQ(attributesOfItem((dir / "link").string())->type, "NSFileTypeSymbolicLink");
    EXPECT_EQ(attributesOfItem((dir / "fifo").string())->type, "NSFileTypeUnknown");
    EXPECT_EQ(attributesOfItem("/dev/null")->type, "NSFileTypeCharacterSpecial");

    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::string sockPath = (dir / "sock").string();
    ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, sockPath.c_str(), sockPath.size() + 1);
    ASSERT_EQ(::bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(attributesOfItem(sockPath)->type, "NSFileTypeSocket");
    ::close(s);
}

TEST(FileAttributes, MissingItemFailsWithCallAndPath) {
    TempDir dir;
    SysError error;
    std::string missing = (dir / "gone").string();
    EXPECT_FALSE(attributesOfItem(missing, &error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_EQ(error.call, "statx");
    EXPECT_EQ(error.path, missing);
    EXPECT_NE(error.describe().find("statx(" + missing + "): "), std::string::npos);
}

TEST(FileAttributes, AMountPointIsTheRootOfAnotherFileSystem) {
    TempDir dir;
    ASSERT_TRUE(fs::create_directory(dir / "sub"));
    EXPECT_FALSE(isMountPoint((dir / "sub").string()));
    EXPECT_FALSE(isMountPoint((dir / "sub" / "inner").string())) << "an item that is not there";
    EXPECT_TRUE(isMountPoint("/proc"));
    EXPECT_TRUE(isMountPoint("/proc/")) << "a slash after it names the same folder";
    EXPECT_FALSE(isMountPoint("/proc/self/fd")) << "inside a mount, not its root";
}

TEST(FileAttributes, CreationDateCanBeSetAndWinsOverBirthTime) {
    TempDir dir;
    auto file = (dir / "f").string();
    ASSERT_TRUE(writeFile(file, ""));
    ASSERT_TRUE(setCreationDate(file, 443779200.25));
    EXPECT_EQ(attributesOfItem(file)->creationDate, 443779200.25);
    EXPECT_EQ(getXattr(file, kCreationDateAttribute, 64).value_or(""), "443779200.25");

    // A creation-date attribute that is not a number is ignored rather than trusted.
    ASSERT_TRUE(setXattr(file, kCreationDateAttribute, "soon"));
    EXPECT_NEAR(attributesOfItem(file)->creationDate, nowSince1970(), 5.0);

    EXPECT_FALSE(setCreationDate(file, std::numeric_limits<double>::infinity()));
}

TEST(FileAttributes, ModificationDateCanBeSet) {
    TempDir dir;
    auto file = (dir / "f").string();
    ASSERT_TRUE(writeFile(file, ""));
    ASSERT_TRUE(setModificationDate(file, 1000000000.5));
    EXPECT_DOUBLE_EQ(attributesOfItem(file)->modificationDate, 1000000000.5);
    EXPECT_FALSE(setModificationDate(file, std::nan("")));
}

TEST(Xattrs, LiveInTheUserNamespace) {
    TempDir dir;
    auto file = (dir / "f").string();
    ASSERT_TRUE(writeFile(file, ""));
    ASSERT_TRUE(setXattr(file, "com.meridot.tidewell", "Status: Regular\n"));
    char buf[64];
    ssize_t n = ::getxattr(file.c_str(), "user.com.meridot.tidewell", buf, sizeof buf);
    ASSERT_EQ(n, 16);
    EXPECT_EQ(std::string(buf, 16), "Status: Regular\n");
    EXPECT_EQ(getXattr(file, "com.meridot.tidewell", 1024).value_or(""), "Status: Regular\n");

    ASSERT_TRUE(removeXattr(file, "com.meridot.tidewell"));
    SysError error;
    EXPECT_FALSE(getXattr(file, "com.meridot.tidewell", 1024, &error));
    EXPECT_EQ(error.code, ENODATA);
    EXPECT_FALSE(removeXattr(file, "com.meridot.tidewell", &error));
    EXPECT_EQ(error.code, ENODATA);
}

// A mount point whose backing folder is known has its attributes read there; a path that only starts
// with the same letters, or one read after the mount went, is read where it stands.
TEST(Xattrs, AKnownMountPointIsReadInItsBackingFolderOnly) {
    TempDir dir;
    auto mount = (dir / "Work").string(), backing = (dir / "image" / "content").string();
    auto neighbour = (dir / "Workshop").string();
    for (const auto& folder : {mount, backing, neighbour}) {
        std::filesystem::create_directories(folder);
        ASSERT_TRUE(writeFile(folder + "/a", ""));
        ASSERT_TRUE(setXattr(folder + "/a", "n", folder));
        ASSERT_TRUE(setXattr(folder, "n", folder));
    }
    EXPECT_EQ(getXattrFromBacking(mount + "/a", "n", 1024).value_or(""), mount);

    setBackingFolder(mount + "/", backing);
    EXPECT_EQ(backingPathOf(mount + "/a"), backing + "/a");
    EXPECT_EQ(getXattrFromBacking(mount + "/a", "n", 1024).value_or(""), backing);
    EXPECT_EQ(getXattrFromBacking(mount, "n", 1024).value_or(""), backing);
    EXPECT_EQ(getXattrFromBacking(neighbour + "/a", "n", 1024).value_or(""), neighbour);
    EXPECT_EQ(getXattr(mount + "/a", "n", 1024).value_or(""), mount) << "only the backing read is redirected";
    SysError error;
    EXPECT_FALSE(getXattrFromBacking(mount + "/missing", "n", 1024, &error));
    EXPECT_EQ(error.code, ENOENT);

    // Writes go where reads come from, and nowhere else.
    ASSERT_TRUE(setXattrInBacking(mount + "/a", "w", "written"));
    EXPECT_EQ(getXattr(backing + "/a", "w", 1024).value_or(""), "written");
    EXPECT_FALSE(getXattr(mount + "/a", "w", 1024));
    ASSERT_TRUE(removeXattrInBacking(mount + "/a", "w"));
    EXPECT_FALSE(getXattr(backing + "/a", "w", 1024));
    EXPECT_FALSE(setXattrInBacking(mount + "/missing", "w", "x", &error));
    EXPECT_EQ(error.code, ENOENT);
    // The creation date is a record like any other: read and written in the backing folder.
    ASSERT_TRUE(setCreationDate(mount + "/a", 1234567890));
    EXPECT_FALSE(getXattr(mount + "/a", kCreationDateAttribute, 64));
    EXPECT_EQ(attributesOfItem(mount + "/a")->creationDate, 1234567890);

    setBackingFolder(mount, "");
    EXPECT_EQ(getXattrFromBacking(mount + "/a", "n", 1024).value_or(""), mount);
}

TEST(Xattrs, ValuesLongerThanTheLimitReadAsAbsent) {
    TempDir dir;
    auto file = (dir / "f").string();
    ASSERT_TRUE(writeFile(file, ""));
    ASSERT_TRUE(setXattr(file, "n", std::string(1024, 'a')));
    EXPECT_EQ(getXattr(file, "n", 1024).value_or("").size(), 1024u);

    ASSERT_TRUE(setXattr(file, "n", std::string(1025, 'a')));
    SysError error;
    EXPECT_FALSE(getXattr(file, "n", 1024, &error));
    EXPECT_EQ(error.code, ERANGE);
    // A zero limit only fits the empty value; getxattr would otherwise report a length it never copied.
    EXPECT_FALSE(getXattr(file, "n", 0, &error));
    EXPECT_EQ(error.code, ERANGE);
    ASSERT_TRUE(setXattr(file, "empty", ""));
    EXPECT_EQ(getXattr(file, "empty", 0), std::optional<std::string>(""));
}

TEST(Xattrs, BinaryValuesSurviveAndLinksAreFollowed) {
    TempDir dir;
    auto target = (dir / "target").string();
    ASSERT_TRUE(writeFile(target, ""));
    fs::create_symlink(target, dir / "link");
    std::string binary("\0\xff\x01zz", 5);
    ASSERT_TRUE(setXattr((dir / "link").string(), "b", binary));
    EXPECT_EQ(getXattr(target, "b", 16).value_or(""), binary);
}

TEST(Xattrs, MissingItem) {
    TempDir dir;
    SysError error;
    EXPECT_FALSE(setXattr((dir / "gone").string(), "n", "v", &error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_EQ(error.call, "setxattr");
}

TEST(VolPaths, Parsing) {
    uint64_t dev = 0, ino = 0;
    // valid forms
    EXPECT_TRUE(isVolPath("/.vol/2049/1234", &dev, &ino));
    EXPECT_EQ(dev, 2049u);
    EXPECT_EQ(ino, 1234u);
    EXPECT_TRUE(isVolPath("/.vol/1/2/child/name", &dev, &ino));
    EXPECT_EQ(ino, 2u);
    // not identity paths
    EXPECT_FALSE(isVolPath("/.vol/2049"));
    EXPECT_FALSE(isVolPath("/.vol/x/1"));
    EXPECT_FALSE(isVolPath("/.vol/1/"));
    EXPECT_FALSE(isVolPath("/.vol//1"));
    EXPECT_FALSE(isVolPath("/.vol/-1/1"));
    EXPECT_FALSE(isVolPath("/.vol/99999999999999999999/1"));
    EXPECT_FALSE(isVolPath("/home/.vol/1/2"));
    EXPECT_EQ(resolveVolPath("/home/user/a"), std::optional<std::string>("/home/user/a"));
}

TEST(VolPaths, UnresolvedPathsBehaveAsGoneItems) {
    ResolverReset reset;
    setVolPathResolver(nullptr);
    SysError error;
    EXPECT_FALSE(attributesOfItem("/.vol/1/2", &error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_EQ(error.path, "/.vol/1/2");
    EXPECT_FALSE(getXattr("/.vol/1/2", "n", 10, &error));
    EXPECT_EQ(error.code, ENOENT);
}

TEST(VolPaths, ResolverMapsIdentityToCurrentPath) {
    ResolverReset reset;
    TempDir dir;
    fs::create_directories(dir / "folder");
    ASSERT_TRUE(writeFile(dir / "folder" / "child", "abc"));
    auto folder = attributesOfItem((dir / "folder").string());
    ASSERT_TRUE(folder);
    setVolPathResolver([&](uint64_t dev, uint64_t ino) -> std::optional<std::string> {
        if (dev == folder->systemNumber && ino == folder->systemFileNumber) return (dir / "folder").string();
        return std::nullopt;
    });
    std::string vol =
        "/.vol/" + std::to_string(folder->systemNumber) + "/" + std::to_string(folder->systemFileNumber);
    EXPECT_EQ(attributesOfItem(vol)->type, "NSFileTypeDirectory");
    EXPECT_EQ(attributesOfItem(vol + "/child")->size, 3u);
    ASSERT_TRUE(setXattr(vol, "n", "v"));
    EXPECT_EQ(getXattr((dir / "folder").string(), "n", 10).value_or(""), "v");
    EXPECT_FALSE(attributesOfItem("/.vol/1/1"));
}

TEST(MainExecutable, IsThisTestProgram) {
    auto path = mainExecutablePath();
    EXPECT_EQ(fs::path(path).filename(), "platform_io_tests");
}

TEST(Plist, BinaryDictionaryRoundTrips) {
    PlistDictionary d{{"bundleidentifier", std::string("com.meridot.tidewell")},
                      {"path", std::string("/usr/bin/tidewell")},
                      {"version", uint64_t{0}},
                      {"flag", true}};
    std::string bytes = binaryPlist(d);
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(bytes.substr(0, 8), "bplist00");
    auto back = parsePlistDictionary(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, d);
    EXPECT_FALSE(parsePlistDictionary("not a plist"));
    EXPECT_FALSE(parsePlistDictionary(""));
}
