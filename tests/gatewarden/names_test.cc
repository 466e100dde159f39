// A folder mounted in place by a real gatewarden: names unique without regard to case within a folder,
// and the modes of created items exactly as the caller asked, less the caller's umask.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "harness.h"
#include "support/temp_dir.h"

namespace {

using namespace gwtest;

class MappointFolder : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = fuseUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
        folder_ = (dir_ / "Docs").string();
        std::filesystem::create_directories(folder_ + "/sub");
        // A narrow umask for the daemon, so any of its own mask leaking into a created item shows.
        mode_t old = ::umask(077);
        daemon_ = std::make_unique<Daemon>(dir_ / "gatewarden.log");
        ::umask(old);
        ASSERT_TRUE(daemon_->ready()) << daemon_->log();
        // The backing folder itself, for changes made beside the mount once it covers the folder.
        beside_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(beside_, 0);
        std::string skip;
        if (!daemon_->attachInPlace(folder_, &skip)) {
            if (!skip.empty()) GTEST_SKIP() << skip;
            FAIL() << "in-place mount failed\n" << daemon_->log();
        }
    }
    void TearDown() override {
        if (daemon_ && HasFailure())
            fprintf(stderr, "---- gatewarden log ----\n%s\n", daemon_->log().c_str());
        daemon_.reset();
        if (beside_ >= 0) ::close(beside_);
    }
    std::string at(const std::string& name) const { return folder_ + "/" + name; }
    // errno of creating a new file (0 on success).
    int create(const std::string& name) {
        int fd = ::open(at(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) return errno;
        ::close(fd);
        return 0;
    }
    int errnoOf(int rc) { return rc < 0 ? errno : 0; }
    std::set<std::string> names(const std::string& sub = "") {
        std::set<std::string> out;
        for (auto& e : std::filesystem::directory_iterator(sub.empty() ? folder_ : at(sub)))
            out.insert(e.path().filename().string());
        return out;
    }
    mode_t modeOf(const std::string& name) {
        struct stat st;
        if (::lstat(at(name).c_str(), &st) != 0) return static_cast<mode_t>(-1);
        return st.st_mode & 07777;
    }

    tw::test::TempDir dir_{"gw-names"};
    std::string folder_;
    std::unique_ptr<Daemon> daemon_;
    int beside_ = -1;
};

TEST_F(MappointFolder, NewNamesDifferingOnlyInCaseAreRefused) {
    ASSERT_EQ(create("Report.txt"), 0);
    EXPECT_EQ(create("report.txt"), EEXIST);
    EXPECT_EQ(create("REPORT.TXT"), EEXIST);
    // Without O_EXCL too: the name is taken, not opened under another spelling.
    EXPECT_EQ(errnoOf(::open(at("rePort.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)), EEXIST);
    // The exact name keeps its usual meaning.
    EXPECT_EQ(create("Report.txt"), EEXIST);
    int fd = ::open(at("Report.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);

    ASSERT_EQ(errnoOf(::mkdir(at("Folder").c_str(), 0755)), 0);
    EXPECT_EQ(errnoOf(::mkdir(at("folder").c_str(), 0755)), EEXIST);
    EXPECT_EQ(errnoOf(::mkdir(at("report.TXT").c_str(), 0755)), EEXIST) << "a folder against a file";
    ASSERT_EQ(errnoOf(::symlink("Report.txt", at("Link").c_str())), 0);
    EXPECT_EQ(errnoOf(::symlink("Report.txt", at("LINK").c_str())), EEXIST);
    EXPECT_EQ(errnoOf(::link(at("Report.txt").c_str(), at("link").c_str())), EEXIST);
    EXPECT_EQ(errnoOf(::mkfifo(at("FOLDER").c_str(), 0644)), EEXIST);

    // Another folder is another name space.
    EXPECT_EQ(create("sub/report.txt"), 0);
    EXPECT_EQ(errnoOf(::link(at("Report.txt").c_str(), at("sub/hard.txt").c_str())), 0);
    EXPECT_EQ(names(), (std::set<std::string>{"Folder", "Link", "Report.txt", "sub"}));
}

// A folder of many names is not read again for each new one; the answers must stay the same, after
// the mount's own creates, removals and renames and after changes made beside the mount.
TEST_F(MappointFolder, AFolderOfManyNamesAnswersAlikeAfterEveryKindOfChange) {
    for (int i = 0; i < 300; ++i) ASSERT_EQ(create("file" + std::to_string(i)), 0) << i;
    EXPECT_EQ(create("FILE7"), EEXIST);
    EXPECT_EQ(create("file7"), EEXIST) << "the exact name is taken too";
    ASSERT_EQ(errnoOf(::unlink(at("file8").c_str())), 0);
    EXPECT_EQ(create("FILE8"), 0) << "a removed name is free";
    ASSERT_EQ(errnoOf(::rename(at("file9").c_str(), at("moved9").c_str())), 0);
    EXPECT_EQ(create("FILE9"), 0);
    EXPECT_EQ(create("MOVED9"), EEXIST);
    ASSERT_EQ(errnoOf(::rename(at("file10").c_str(), at("sub/file10").c_str())), 0);
    EXPECT_EQ(create("File10"), 0) << "moved to another folder";
    EXPECT_EQ(create("sub/FILE10"), EEXIST);
    ASSERT_EQ(errnoOf(::rename(at("file11").c_str(), at("FILE11").c_str())), 0);
    EXPECT_EQ(create("file11"), EEXIST) << "only its case changed";
    ASSERT_EQ(errnoOf(::mkdir(at("Dir").c_str(), 0755)), 0);
    EXPECT_EQ(errnoOf(::mkdir(at("DIR").c_str(), 0755)), EEXIST);
    ASSERT_EQ(errnoOf(::rmdir(at("Dir").c_str())), 0);
    EXPECT_EQ(errnoOf(::mkdir(at("DIR").c_str(), 0755)), 0);

    // Beside the mount (a pause first, so the folder's time moves past the mount's last change).
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    int fd = ::openat(beside_, "Outside", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(create("outside"), EEXIST);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(::unlinkat(beside_, "file12", 0), 0);
    EXPECT_EQ(create("FILE12"), 0);
    // 300 files and "sub", then FILE9, File10, DIR and Outside, each beside one that went or moved.
    EXPECT_EQ(names().size(), 304u);
}

TEST_F(MappointFolder, NamesBeyondAsciiFoldTheirCase) {
    ASSERT_EQ(create("\xC3\x84rger.txt"), 0);       // "Ärger.txt"
    EXPECT_EQ(create("\xC3\xA4rger.txt"), EEXIST);  // "ärger.txt"
    EXPECT_EQ(create("\xC3\x84RGER.TXT"), EEXIST);
    EXPECT_EQ(create("Arger.txt"), 0) << "a different letter, not another case";
    ASSERT_EQ(errnoOf(::mkdir(at("\xCE\xA3\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1").c_str(), 0755)), 0);  // "Σοφία"
    EXPECT_EQ(errnoOf(::mkdir(at("\xCF\x83\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1").c_str(), 0755)),
              EEXIST);  // "σοφία"
    // Names that are not UTF-8 compare by their bytes, with ASCII letters folded.
    ASSERT_EQ(create("bad\xFF.txt"), 0);
    EXPECT_EQ(create("bad\xFE.txt"), 0);
    EXPECT_EQ(create("BAD\xFF.txt"), EEXIST);
}

TEST_F(MappointFolder, RenamesOntoAnotherCaseOfANameAreRefused) {
    ASSERT_EQ(create("x"), 0);
    ASSERT_EQ(create("x.txt"), 0);
    EXPECT_EQ(errnoOf(::rename(at("x").c_str(), at("X.TXT").c_str())), EEXIST);
    EXPECT_EQ(
        errnoOf(::renameat2(AT_FDCWD, at("x").c_str(), AT_FDCWD, at("X.Txt").c_str(), RENAME_NOREPLACE)),
        EEXIST);
    EXPECT_EQ(names(), (std::set<std::string>{"sub", "x", "x.txt"}));
    // From another folder as well.
    ASSERT_EQ(create("sub/moved"), 0);
    EXPECT_EQ(errnoOf(::rename(at("sub/moved").c_str(), at("X.txt").c_str())), EEXIST);
    EXPECT_EQ(errnoOf(::rename(at("x.txt").c_str(), at("sub/MOVED").c_str())), EEXIST);
    // Onto the exact name of another item: the usual replace. An exchange makes no new name.
    EXPECT_EQ(errnoOf(::rename(at("x").c_str(), at("x.txt").c_str())), 0);
    EXPECT_EQ(errnoOf(::renameat2(AT_FDCWD, at("x.txt").c_str(), AT_FDCWD, at("sub/moved").c_str(),
                                  RENAME_EXCHANGE)),
              0);
    EXPECT_EQ(names(), (std::set<std::string>{"sub", "x.txt"}));
}

TEST_F(MappointFolder, ChangingOnlyTheCaseOfAnItemIsAllowed) {
    ASSERT_EQ(create("a.txt"), 0);
    ASSERT_EQ(errnoOf(::mkdir(at("notes").c_str(), 0755)), 0);
    struct stat before, after;
    ASSERT_EQ(::stat(at("a.txt").c_str(), &before), 0);
    ASSERT_EQ(errnoOf(::rename(at("a.txt").c_str(), at("A.txt").c_str())), 0);
    ASSERT_EQ(::stat(at("A.txt").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(errnoOf(::rename(at("notes").c_str(), at("Notes").c_str())), 0);
    EXPECT_EQ(names(), (std::set<std::string>{"A.txt", "Notes", "sub"}));
    // Onto itself: nothing changes, nothing is refused.
    EXPECT_EQ(errnoOf(::rename(at("A.txt").c_str(), at("A.txt").c_str())), 0);
    // Its old spelling is free again only for itself: a new item under it still collides.
    EXPECT_EQ(create("a.txt"), EEXIST);
}

TEST_F(MappointFolder, CreatedItemsGetTheCallersModeLessTheCallersUmask) {
    EXPECT_EQ(actor({"--umask", "0", "create-mode", at("f0620"), "0620"}).exitCode, 0);
    EXPECT_EQ(modeOf("f0620"), 0620u);
    EXPECT_EQ(actor({"--umask", "022", "create-mode", at("f0666"), "0666"}).exitCode, 0);
    EXPECT_EQ(modeOf("f0666"), 0644u);
    EXPECT_EQ(actor({"--umask", "027", "mkdir-mode", at("d0777"), "0777"}).exitCode, 0);
    EXPECT_EQ(modeOf("d0777"), 0750u);
    EXPECT_EQ(actor({"--umask", "0", "mkdir-mode", at("d0777/inner"), "0777"}).exitCode, 0);
    EXPECT_EQ(modeOf("d0777/inner"), 0777u);
    // An existing file opened with O_CREAT keeps its mode.
    ASSERT_EQ(::chmod(at("f0620").c_str(), 0600), 0);
    int fd = ::open(at("f0620").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(modeOf("f0620"), 0600u);
}

}  // namespace
