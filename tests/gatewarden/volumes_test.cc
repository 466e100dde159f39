// Disk images, in-place mounts, the "/.vol/" resolver and the daemon's life cycle, through
// tidewell-hdiutil and a real gatewarden.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "harness.h"
#include "platform/places.h"
#include "support/temp_dir.h"

namespace {

using namespace gwtest;

std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

class Volumes : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = fuseUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
        daemon_ = std::make_unique<Daemon>(dir_ / "gatewarden.log");
        ASSERT_TRUE(daemon_->ready()) << daemon_->log();
        // One trial mount tells whether this machine lets us mount at all.
        std::string probe = (dir_ / "probe").string(), skip;
        std::filesystem::create_directories(probe);
        if (!daemon_->attachInPlace(probe, &skip)) {
            if (!skip.empty()) GTEST_SKIP() << skip;
            FAIL() << "trial mount failed\n" << daemon_->log();
        }
        ASSERT_TRUE(tw::platform::controlRequest({"eject", probe})->ok);
    }
    void TearDown() override {
        if (daemon_ && HasFailure())
            fprintf(stderr, "---- gatewarden log ----\n%s\n", daemon_->log().c_str());
        daemon_.reset();
    }
    // Creates and attaches an image; returns its mount point, or "" (with a skip) when mounting is refused.
    std::string makeVolume(const std::string& name) {
        image_ = (dir_ / (name + ".sparsebundle")).string();
        auto c = hdiutil(
            {"create", "-type", "SPARSEBUNDLE", "-size", "1t", "-fs", "HFS+", "-volname", name, image_});
        EXPECT_EQ(c.exitCode, 0);
        std::string mp = tw::platform::volumesRoot() + "/" + name;
        daemon_->remember(mp);
        auto a = hdiutil({"attach", image_});
        if (a.exitCode != 0) return "";
        EXPECT_EQ(trim(a.out), mp);
        return mp;
    }

    tw::test::TempDir dir_{"gw-vol"};
    std::unique_ptr<Daemon> daemon_;
    std::string image_;
};

// The application writes records in the image's folder, beside the mount: an empty file it makes a
// placeholder must show the server's size through the mount at once, not the size the kernel kept.
TEST_F(Volumes, AnEmptyFileMadeAPlaceholderBesideTheMountShowsTheServersSizeAtOnce) {
    std::string mp = makeVolume("Docs");
    ASSERT_FALSE(mp.empty()) << daemon_->log();
    std::ofstream(mp + "/p.bin").close();
    struct stat st;
    ASSERT_EQ(stat((mp + "/p.bin").c_str(), &st), 0);
    ASSERT_EQ(st.st_size, 0);
    const std::string record = "Status: Placeholder\nServerFileSize: 4096\n";
    ASSERT_EQ(setxattr((image_ + "/content/p.bin").c_str(), "user.com.meridot.tidewell", record.data(),
                       record.size(), 0),
              0);
    ASSERT_EQ(stat((mp + "/p.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4096);
}

TEST_F(Volumes, ImageCreateAttachEjectKeepsFileNumbers) {
    std::string mp = makeVolume("Docs");
    ASSERT_FALSE(mp.empty()) << daemon_->log();
    std::ifstream info(image_ + "/Info.json");
    auto j = nlohmann::json::parse(info);
    EXPECT_EQ(j["volumeName"], "Docs");
    std::string uuid = j["volumeUUID"];
    EXPECT_EQ(uuid.size(), 36u);
    EXPECT_NE(hdiutil({"create", "-volname", "Docs", image_}).exitCode, 0)
        << "an existing image is not overwritten";

    std::ofstream(mp + "/a.txt") << "content";
    struct stat onMount, backing, root;
    ASSERT_EQ(stat((mp + "/a.txt").c_str(), &onMount), 0);
    ASSERT_EQ(stat((image_ + "/content/a.txt").c_str(), &backing), 0);
    ASSERT_EQ(stat(mp.c_str(), &root), 0);
    // The mount's number keeps the backing inode number in its low half.
    EXPECT_EQ(onMount.st_ino & 0xffffffffULL, backing.st_ino);
    EXPECT_NE(onMount.st_dev, backing.st_dev);
    EXPECT_EQ(tw::platform::volumeUUIDForDevice(root.st_dev), uuid);

    ASSERT_EQ(hdiutil({"eject", mp}).exitCode, 0);
    EXPECT_FALSE(isMountPoint(mp));
    EXPECT_FALSE(std::filesystem::exists(mp));
    EXPECT_NE(hdiutil({"eject", mp}).exitCode, 0);
    ASSERT_EQ(trim(hdiutil({"attach", image_}).out), mp);
    struct stat again;
    ASSERT_EQ(stat((mp + "/a.txt").c_str(), &again), 0);
    EXPECT_EQ(again.st_ino, onMount.st_ino);
}

TEST_F(Volumes, AFileMadeWhereAnotherWasDeletedNeverTakesItsNumber) {
    // Backing file systems hand a freed inode to the next file at once; the application tells items
    // apart by number, so a burst of deletes and creates must never show two files under one number.
    std::string mp = makeVolume("Reuse");
    ASSERT_FALSE(mp.empty()) << daemon_->log();
    int reused = 0;
    for (int i = 0; i < 20; ++i) {
        std::ofstream(mp + "/a.txt") << "first";
        struct stat first, firstBacking, second, secondBacking;
        ASSERT_EQ(stat((mp + "/a.txt").c_str(), &first), 0);
        ASSERT_EQ(stat((image_ + "/content/a.txt").c_str(), &firstBacking), 0);
        ASSERT_EQ(unlink((mp + "/a.txt").c_str()), 0);
        std::ofstream(mp + "/b.txt") << "second";
        ASSERT_EQ(stat((mp + "/b.txt").c_str(), &second), 0);
        ASSERT_EQ(stat((image_ + "/content/b.txt").c_str(), &secondBacking), 0);
        if (firstBacking.st_ino == secondBacking.st_ino) ++reused;
        EXPECT_NE(first.st_ino, second.st_ino) << "round " << i;
        // The resolver finds the new file by its number, and nothing by the old one.
        EXPECT_EQ(tw::platform::currentPathOf(second.st_dev, second.st_ino), mp + "/b.txt");
        EXPECT_FALSE(tw::platform::currentPathOf(first.st_dev, first.st_ino)) << "round " << i;
        ASSERT_EQ(unlink((mp + "/b.txt").c_str()), 0);
    }
    if (reused == 0) GTEST_LOG_(INFO) << "the backing file system never reused an inode here";
}

TEST_F(Volumes, ResolverFollowsRenamesAndFindsItemsNotYetLookedUp) {
    std::string mp = makeVolume("Res");
    ASSERT_FALSE(mp.empty()) << daemon_->log();
    std::filesystem::create_directories(mp + "/deep/er");
    std::ofstream(mp + "/deep/er/f.txt") << "x";
    struct stat st;
    ASSERT_EQ(stat((mp + "/deep/er/f.txt").c_str(), &st), 0);
    std::string vol = "/.vol/" + std::to_string(st.st_dev) + "/" + std::to_string(st.st_ino);
    EXPECT_EQ(tw::platform::resolveVolPath(vol), mp + "/deep/er/f.txt");
    std::filesystem::rename(mp + "/deep/er/f.txt", mp + "/deep/g.txt");
    EXPECT_EQ(tw::platform::resolveVolPath(vol), mp + "/deep/g.txt");
    EXPECT_EQ(tw::platform::resolveVolPath(vol + "/tail"), mp + "/deep/g.txt/tail");
    // One of two names removed: the item is still there under the other.
    ASSERT_EQ(::link((mp + "/deep/g.txt").c_str(), (mp + "/deep/h.txt").c_str()), 0);
    ASSERT_EQ(::unlink((mp + "/deep/g.txt").c_str()), 0);
    EXPECT_EQ(tw::platform::resolveVolPath(vol), mp + "/deep/h.txt");
    ASSERT_EQ(::rename((mp + "/deep/h.txt").c_str(), (mp + "/deep/g.txt").c_str()), 0);
    std::string unknown = "/.vol/" + std::to_string(st.st_dev) + "/999999999";
    EXPECT_EQ(tw::platform::resolveVolPath(unknown), unknown);
    EXPECT_EQ(tw::platform::resolveVolPath("/.vol/1/2"), "/.vol/1/2");
    EXPECT_EQ(tw::platform::resolveVolPath("/.vol/x/2"), "/.vol/x/2");
    EXPECT_EQ(tw::platform::resolveVolPath("/home/a"), "/home/a");

    // After a remount nothing has been looked up yet; the resolver walks the backing folder.
    ino_t ino = st.st_ino;
    ASSERT_EQ(hdiutil({"eject", mp}).exitCode, 0);
    ASSERT_EQ(hdiutil({"attach", image_}).exitCode, 0);
    struct stat root;
    ASSERT_EQ(stat(mp.c_str(), &root), 0);
    EXPECT_EQ(tw::platform::currentPathOf(root.st_dev, ino), mp + "/deep/g.txt");
}

TEST_F(Volumes, TermUnmountsEverythingAndRestartMountsOverAStaleMount) {
    std::string mp = makeVolume("Life");
    ASSERT_FALSE(mp.empty()) << daemon_->log();
    std::string inPlace = (dir_ / "InPlace").string();
    std::filesystem::create_directories(inPlace);
    std::ofstream(inPlace + "/kept.txt") << "kept";
    ASSERT_TRUE(daemon_->attachInPlace(inPlace, nullptr)) << daemon_->log();
    ASSERT_TRUE(isMountPoint(inPlace));
    // A second daemon on the same sockets is refused.
    EXPECT_EQ(run({GW_DAEMON_BIN, "--foreground"}, 20s).exitCode, 1);

    EXPECT_EQ(daemon_->terminate(), 0);
    EXPECT_FALSE(isMountPoint(mp));
    EXPECT_FALSE(isMountPoint(inPlace));
    EXPECT_FALSE(std::filesystem::exists(mp));

    // A crash leaves both mounts stale; a new daemon mounts over them.
    daemon_ = std::make_unique<Daemon>(dir_ / "gatewarden2.log");
    ASSERT_TRUE(daemon_->ready());
    daemon_->remember(mp);
    ASSERT_TRUE(daemon_->attachInPlace(inPlace, nullptr));
    ASSERT_EQ(hdiutil({"attach", image_}).exitCode, 0);
    daemon_->killHard();
    struct stat st;
    EXPECT_EQ(stat((inPlace + "/kept.txt").c_str(), &st), -1);
    EXPECT_EQ(errno, ENOTCONN);
    daemon_ = std::make_unique<Daemon>(dir_ / "gatewarden3.log");
    ASSERT_TRUE(daemon_->ready()) << daemon_->log();
    daemon_->remember(mp);
    ASSERT_TRUE(daemon_->attachInPlace(inPlace, nullptr)) << daemon_->log();
    ASSERT_EQ(hdiutil({"attach", image_}).exitCode, 0) << daemon_->log();
    std::ifstream in(inPlace + "/kept.txt");
    std::string kept;
    in >> kept;
    EXPECT_EQ(kept, "kept");
    EXPECT_EQ(stat(mp.c_str(), &st), 0);
}

TEST_F(Volumes, InPlaceFolderReachedThroughASymbolicLink) {
    std::filesystem::create_directories(dir_ / "real/Synced");
    std::filesystem::create_directory_symlink(dir_ / "real", dir_ / "link");
    std::string folder = (dir_ / "link/Synced").string();
    ASSERT_TRUE(daemon_->attachInPlace(folder, nullptr)) << daemon_->log();
    daemon_->remember((dir_ / "real/Synced").string());
    std::ofstream(folder + "/f.txt") << "x";
    struct stat st;
    ASSERT_EQ(stat((folder + "/f.txt").c_str(), &st), 0);
    // Paths come back as the folder was named when it was attached.
    EXPECT_EQ(tw::platform::currentPathOf(st.st_dev, st.st_ino), folder + "/f.txt");
    EXPECT_EQ(tw::platform::controlRequest({"eject", folder})->ok, true);
    EXPECT_FALSE(isMountPoint((dir_ / "real/Synced").string()));
}

TEST_F(Volumes, AVolumeInUseIsDetachedAndItsOpenFilesStillSave) {
    std::string mp = makeVolume("Busy");
    ASSERT_FALSE(mp.empty()) << daemon_->log();
    std::ofstream(mp + "/doc.txt") << "first draft";
    HeldActor editor({"hold-write", mp + "/doc.txt", "second draft"});
    ASSERT_TRUE(editor.holding());
    EXPECT_NE(hdiutil({"eject", mp}).exitCode, 0) << "a plain eject leaves a volume in use mounted";
    EXPECT_TRUE(isMountPoint(mp));
    // Forced: out of the tree at once, without waiting for the editor.
    ASSERT_EQ(hdiutil({"eject", "-force", mp}).exitCode, 0);
    EXPECT_FALSE(isMountPoint(mp));
    EXPECT_FALSE(std::filesystem::exists(mp));
    EXPECT_EQ(tw::platform::controlRequest({"list"})->fields, std::vector<std::string>{});
    // The editor saves through the file it holds, as after any other pause.
    EXPECT_EQ(editor.release(), 0) << daemon_->log();
    std::ifstream saved(image_ + "/content/doc.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), "second draft");
    // With its last file closed the session is over; the volume mounts again and shows the save.
    ASSERT_EQ(hdiutil({"attach", image_}).exitCode, 0) << daemon_->log();
    std::ifstream again(mp + "/doc.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), {}), "second draft");
    EXPECT_EQ(daemon_->log().find("aborted"), std::string::npos);
}

TEST_F(Volumes, AnInPlaceFolderInUseIsDetachedAndItsOpenFilesSaveIntoIt) {
    std::string folder = (dir_ / "InPlace").string();
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/notes.txt") << "old notes";
    ASSERT_TRUE(daemon_->attachInPlace(folder, nullptr)) << daemon_->log();
    HeldActor editor({"hold-write", folder + "/notes.txt", "new notes"});
    ASSERT_TRUE(editor.holding());
    ASSERT_EQ(hdiutil({"eject", "-force", folder}).exitCode, 0);
    EXPECT_FALSE(isMountPoint(folder));
    EXPECT_EQ(editor.release(), 0) << daemon_->log();
    // The folder itself, no longer covered, holds the save.
    std::ifstream saved(folder + "/notes.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), "new notes");
}

TEST_F(Volumes, StoppingServesOpenFilesUntilTheyCloseThenEnds) {
    std::string mp = makeVolume("Stopping");
    ASSERT_FALSE(mp.empty()) << daemon_->log();
    std::ofstream(mp + "/doc.txt") << "draft";
    HeldActor editor({"hold-write", mp + "/doc.txt", "saved at logout"});
    ASSERT_TRUE(editor.holding());
    daemon_->signal(SIGTERM);
    for (int i = 0; i < 500 && isMountPoint(mp); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(isMountPoint(mp)) << "out of the tree at once";
    // Still serving the open file a while later (an abort, even after a short wait, would have
    // ended the session and the daemon with it).
    EXPECT_FALSE(daemon_->waitExit(2s)) << daemon_->log();
    // Asked to end with everyone else, the editor saves and closes; then the daemon ends.
    EXPECT_EQ(editor.release(), 0) << daemon_->log();
    EXPECT_EQ(daemon_->waitExit(20s).value_or(-1), 0) << daemon_->log();
    std::ifstream saved(image_ + "/content/doc.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), "saved at logout");
}

TEST_F(Volumes, StoppingEndsEvenWhenAFileIsNeverClosed) {
    std::string mp = makeVolume("Held");
    ASSERT_FALSE(mp.empty()) << daemon_->log();
    std::ofstream(mp + "/held.txt") << "x";
    HeldActor holder({"hold-open", mp + "/held.txt"});
    ASSERT_TRUE(holder.holding());
    // After its grace period: not held up for ever by a program that never lets go.
    EXPECT_EQ(daemon_->terminate(30s), 0) << daemon_->log();
    EXPECT_FALSE(isMountPoint(mp));
    EXPECT_NE(daemon_->log().find("Leaving with files still open on " + mp), std::string::npos);

    // A second signal cuts the grace short.
    daemon_ = std::make_unique<Daemon>(dir_ / "gatewarden2.log");
    ASSERT_TRUE(daemon_->ready());
    daemon_->remember(mp);
    ASSERT_EQ(hdiutil({"attach", image_}).exitCode, 0) << daemon_->log();
    HeldActor again({"hold-open", mp + "/held.txt"});
    ASSERT_TRUE(again.holding());
    daemon_->signal(SIGTERM);
    for (int i = 0; i < 500 && isMountPoint(mp); ++i) std::this_thread::sleep_for(10ms);
    daemon_->signal(SIGTERM);
    EXPECT_EQ(daemon_->waitExit(5s).value_or(-1), 0) << daemon_->log();
}

TEST_F(Volumes, BackingFolderThatDisappears) {
    std::string mp = makeVolume("Gone");
    ASSERT_FALSE(mp.empty()) << daemon_->log();
    std::filesystem::create_directories(mp + "/d");
    std::ofstream(mp + "/d/f") << "x";
    std::filesystem::remove_all(image_ + "/content");
    std::this_thread::sleep_for(1200ms);  // names and attributes cached by the kernel expire
    EXPECT_FALSE(std::filesystem::exists(mp + "/d/f"));
    EXPECT_FALSE(std::ofstream(mp + "/new.txt").is_open());
    EXPECT_NE(daemon_->log().find("has disappeared"), std::string::npos);
    auto list = tw::platform::controlRequest({"list"});
    ASSERT_TRUE(list && list->ok);
    EXPECT_EQ(list->fields, std::vector<std::string>{mp});
    EXPECT_EQ(hdiutil({"eject", mp}).exitCode, 0);
    EXPECT_NE(hdiutil({"attach", image_}).exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(mp));
}

// As another user: connections from other users are refused, and the daemon may or may not be
// allowed to mount (that depends on /dev/fuse and fusermount3); either way it stays up and leaves
// nothing mounted behind.
TEST(VolumesAsUser, OtherUsersRefusedMountOutcomeLeavesTheDaemonWell) {
    if (auto why = fuseUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the daemon as another user";
    const uid_t nobody = 65534;
    tw::test::TempDir dir("gw-user");
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all, std::filesystem::perm_options::add);
    // The build tree may sit where that user cannot go (a 0700 home, a mktemp -d checkout): what the
    // user runs is copied beside the test's folder, which it can reach.
    if (auto why = tw::test::unreachableReason((dir / "bin").string(), nobody); !why.empty())
        GTEST_SKIP() << "the test folder is out of reach of the daemon's user: " << why;
    auto daemonBin = tw::test::copyExecutable(GW_DAEMON_BIN, (dir / "bin").string());
    auto hdiutilBin = tw::test::copyExecutable(GW_HDIUTIL_BIN, (dir / "bin").string());
    ASSERT_TRUE(daemonBin && hdiutilBin) << "cannot copy the programs to " << (dir / "bin").string();
    std::string run = (dir / "run").string(), folder = (dir / "InPlace").string();
    std::filesystem::create_directories(run);
    std::filesystem::create_directories(folder);
    ASSERT_EQ(chown(run.c_str(), nobody, nobody), 0);
    ASSERT_EQ(chown(folder.c_str(), nobody, nobody), 0);
    std::string control = run + "/gatewarden-control.sock";
    Daemon daemon(dir / "gatewarden.log", {"--socket", run + "/uc.sock", "--control-socket", control}, nobody,
                  *daemonBin);
    ASSERT_TRUE(daemon.ready()) << daemon.log();
    daemon.remember(folder);
    // We are root here, not the daemon's user.
    EXPECT_FALSE(tw::platform::controlRequest({"list"}, 5s, control));
    EXPECT_NE(daemon.log().find("refusing a connection from uid 0"), std::string::npos);

    int rc = runAsUser(nobody, run, {*hdiutilBin, "attach-in-place", folder});
    EXPECT_TRUE(rc == 0 || rc == 1) << rc;
    EXPECT_EQ(isMountPoint(folder), rc == 0);
    EXPECT_EQ(daemon.terminate(), 0) << daemon.log();
    EXPECT_FALSE(isMountPoint(folder));
}

TEST_F(Volumes, BadControlRequests) {
    EXPECT_FALSE(tw::platform::controlRequest({"attach", "relative", "x", "n", "u"})->ok);
    EXPECT_FALSE(tw::platform::controlRequest({"attach-in-place", (dir_ / "missing").string()})->ok);
    EXPECT_FALSE(tw::platform::controlRequest({"resolve", "abc", "1"})->ok);
    EXPECT_FALSE(tw::platform::controlRequest({"frobnicate"})->ok);
    EXPECT_FALSE(tw::platform::controlRequest({})->ok);
    EXPECT_NE(hdiutil({"attach", (dir_ / "nothing.sparsebundle").string()}).exitCode, 0);
    // The indexing tool refuses what it cannot act on before it looks for an indexer (a well-formed
    // call would change the settings of whichever one this machine has).
    for (std::vector<std::string> args : {std::vector<std::string>{"-i", "maybe", "/x"},
                                          {"-v", "/x"},
                                          {"-i", "on", "relative"},
                                          {"-i", "on", "/x\n/y"},
                                          {"-i", "on", "/x", "/y"}}) {
        args.insert(args.begin(), GW_MDUTIL_BIN);
        EXPECT_EQ(run(args).exitCode, 2) << args[2] << " " << args.back();
    }
}

}  // namespace
