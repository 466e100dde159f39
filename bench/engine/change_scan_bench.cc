// The change scan over a synchronised volume where nothing changed (the common case at every start):
// FOLDERS folders of FILES files, each with a Regular record and its SyncedContent stamp, a metadata
// database row per file, and the scan that compares them all and finds nothing to queue. Measured in
// the same run against a bare walk of the same tree with one stat per item (readdir and fstatat, one
// thread): what the scan costs on top of merely looking at every item.
//
// First on a plain folder; then, where FUSE works, through a real gatewarden mount, with every
// measurement on a fresh mount (nothing cached by the kernel), as at start-up. gatewarden holds a
// descriptor per item the kernel knows, so the mounted tree is kept within its descriptor limit
// (FUSE_FOLDERS folders).
//
//   bench_change_scan [--folders N] [--files M] [--fuse-folders K] [--runs R] [--dir BASE]
//   (defaults: 1000 x 100 = 100,000 files, 150 x 100 through the mount, 3 runs, /var/tmp)
// Goal: 100,000 items in under 10 s on a 2-core machine.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/ChangeScan.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/files.h"
#include "platform/places.h"
#include "platform/process.h"
#include "platform/sqlite.h"
#include "platform/volpath.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

void die(const std::string& what) {
    std::fprintf(stderr, "bench_change_scan: %s\n", what.c_str());
    std::exit(1);
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The baseline: every item looked at once, nothing else.
uint64_t bareWalk(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return 0;
    }
    uint64_t items = 0;
    std::vector<std::string> folders;
    while (dirent* d = ::readdir(dir)) {
        if (!std::strcmp(d->d_name, ".") || !std::strcmp(d->d_name, "..")) continue;
        struct stat st;
        if (::fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        ++items;
        if (S_ISDIR(st.st_mode)) folders.push_back(folder + "/" + d->d_name);
    }
    ::closedir(dir);
    for (const auto& f : folders) items += bareWalk(f);
    return items;
}

std::string recordText(const struct stat& st, bool withFileId) {
    std::string text =
        "Status: Regular\nCanShare: false\nReadOnly: false\nLaunchAfterDownload: false\n"
        "Revision: 1\nFileType: NSFileTypeRegular\nSyncedContent: " +
        std::to_string(st.st_size) + " " +
        std::to_string(static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec) +
        "\nServerFileSize: " + std::to_string(st.st_size) + "\n";
    if (withFileId) text += "LocalFileId: " + std::to_string(st.st_ino) + "\n";
    return text + "Error Status: NoError\nError Genre: None\n";
}

// FOLDERS x FILES synchronised files with their records. Written where the files live (the backing
// folder of a mount): the numbers a mount gives are not known before it, so those records leave the
// file number out, as records written before it was kept do.
void makeTree(const std::string& root, int folders, int files, bool withFileId) {
    const std::string folderRecord = "Status: Regular\nFileType: NSFileTypeDirectory\n";
    for (int f = 0; f < folders; ++f) {
        std::string folder = root + "/folder" + std::to_string(f);
        fs::create_directories(folder);
        ::setxattr(folder.c_str(), "user.com.meridot.tidewell", folderRecord.data(), folderRecord.size(), 0);
        for (int i = 0; i < files; ++i) {
            std::string path = folder + "/file" + std::to_string(i) + ".txt";
            int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || ::write(fd, "content", 7) != 7) die("cannot write " + path);
            ::close(fd);
            struct stat st;
            ::stat(path.c_str(), &st);
            std::string text = recordText(st, withFileId);
            if (::setxattr(path.c_str(), "user.com.meridot.tidewell", text.data(), text.size(), 0) != 0)
                die("user extended attributes are not supported at " + root);
        }
    }
}

// A metadata database row per file, as uploads leave them, written in one transaction.
void addRows(const std::string& database, const std::string& root, const std::string& uuid) {
    { tw::MetadataDataBase schema(database); }
    sqlite3* raw = nullptr;
    if (sqlite3_open_v2(database.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) die("database");
    tw::platform::SqliteDatabase db(raw);
    tw::platform::SqliteStatement(db.get(), "BEGIN;").run();
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_regular_file()) continue;
        struct stat st;
        ::lstat(e.path().c_str(), &st);
        tw::platform::SqliteStatement(db.get(), "INSERT INTO Metadata VALUES (?, ?, ?, '1', 'Regular');")
            .bind(1, static_cast<int64_t>(st.st_ino))
            .bind(2, uuid)
            .bind(3, e.path().string())
            .run();
    }
    tw::platform::SqliteStatement(db.get(), "COMMIT;").run();
}

struct Measured {
    std::vector<double> scan, walk;
    uint64_t items = 0, walked = 0, queued = 0;
    void print(const char* where) const {
        double s = median(scan), w = median(walk);
        std::printf("%s: change scan %8llu items in %6.2f s = %8.0f items/s (median of %zu)\n", where,
                    static_cast<unsigned long long>(items), s, static_cast<double>(items) / s, scan.size());
        std::printf(
            "%s: bare walk   %8llu items in %6.2f s = %8.0f items/s (one stat per item, one thread)\n", where,
            static_cast<unsigned long long>(walked), w, static_cast<double>(walked) / w);
        std::printf("%s: the scan takes %.2f x the bare walk; work queued by the scans: %llu (expected 0)\n",
                    where, s / w, static_cast<unsigned long long>(queued));
    }
};

std::unique_ptr<tw::ChangeScan> scanner(tw::TimeLineManager& timeline, const std::string& base,
                                        const std::string& root) {
    tw::ChangeScan::Options o;
    o.timeline = &timeline;
    o.metadataDatabasePath = base + "/metadata.db";
    o.folderDatabasePath = base + "/folders.db";
    o.roots = [root] { return std::vector<std::string>{root}; };
    o.schedule = [](std::function<void()> block) { block(); };
    return std::make_unique<tw::ChangeScan>(std::move(o));
}

void identify(const std::shared_ptr<tw::VolumeDetail>& volume) {
    struct stat st;
    if (::stat(volume->localFolder.c_str(), &st) != 0) die("no volume at " + volume->localFolder);
    volume->setVolumeSystemNumber(st.st_dev);
    if (volume->volumeUUID().empty()) die("the volume has no UUID: " + volume->localFolder);
}

}  // namespace

int main(int argc, char** argv) {
    int folders = 1000, files = 100, fuseFolders = 150, runs = 3;
    std::string where = "/var/tmp";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (a == "--folders")
            folders = std::atoi(next().c_str());
        else if (a == "--files")
            files = std::atoi(next().c_str());
        else if (a == "--fuse-folders")
            fuseFolders = std::atoi(next().c_str());
        else if (a == "--runs")
            runs = std::max(1, std::atoi(next().c_str()));
        else if (a == "--dir")
            where = next();
        else
            die("usage: bench_change_scan [--folders N] [--files M] [--fuse-folders K] [--runs R] [--dir "
                "BASE]");
    }
    tw::Logger::sharedInstance().setLogLevel(tw::Logger::logLevels::off);
    std::string base = where + "/tw-change-scan-bench-" + std::to_string(::getpid());
    for (const char* sub : {"config", "data", "state", "run", "Volumes", "support"})
        fs::create_directories(base + "/" + sub);
    fs::permissions(base + "/run", fs::perms::owner_all, fs::perm_options::replace);
    setenv("HOME", base.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (base + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (base + "/data").c_str(), 1);
    setenv("XDG_STATE_HOME", (base + "/state").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (base + "/run").c_str(), 1);
    setenv("TIDEWELL_VOLUMES_ROOT", (base + "/Volumes").c_str(), 1);
    tw::TimeLineManager timeline(base + "/support/", tw::TimeLineManager::sharedParts());
    auto& volumes = tw::VolumeManager::sharedInstance();

    // ---- a plain folder
    {
        auto volume =
            std::make_shared<tw::VolumeDetail>("Plain", tw::ServerConfigurationDetails::sharedInstance());
        volume->state = tw::VolumeDetail::volumeStates::Visible;
        volumes.addVolume(volume);
        const std::string root = volume->localFolder;
        fs::create_directories(root);
        const std::string uuid = "BENCH-PLAIN-0000";
        ::setxattr(root.c_str(), "user.com.meridot.tidewell.volumeuuid", uuid.data(), uuid.size(), 0);
        identify(volume);
        auto t0 = Clock::now();
        makeTree(root, folders, files, true);
        addRows(base + "/metadata.db", root, uuid);
        std::printf("plain folder: %d folders x %d files with records and database rows made in %.1f s\n",
                    folders, files, seconds(Clock::now() - t0));
        // The resolver gatewarden would be; a scan asks it only for the volume's own root.
        struct stat rootStat;
        ::stat(root.c_str(), &rootStat);
        tw::platform::setVolPathResolver(
            [root, rootStat](uint64_t dev, uint64_t ino) -> std::optional<std::string> {
                if (dev == rootStat.st_dev && ino == rootStat.st_ino) return root;
                return std::nullopt;
            });
        auto scan = scanner(timeline, base, root);
        auto first = scan->scan();
        std::printf("plain folder: first scan (learns the folders) %.2f s, %llu items\n",
                    first.elapsed.count(), static_cast<unsigned long long>(first.itemsChecked));
        Measured m;
        m.queued += first.queued();
        for (int r = 0; r < runs; ++r) {
            auto s = Clock::now();
            m.walked = bareWalk(root);
            m.walk.push_back(seconds(Clock::now() - s));
            auto summary = scan->scan();
            m.scan.push_back(summary.elapsed.count());
            m.items = summary.itemsChecked;
            m.queued += summary.queued();
        }
        m.print("plain folder");
        if (timeline.eventCount() != 0)
            std::printf("plain folder: %zu events queued!\n", timeline.eventCount());
        volumes.clear();
    }

    // ---- through gatewarden
    std::string why;
    if (::access("/dev/fuse", R_OK | W_OK) != 0) why = "/dev/fuse is not usable";
    const std::string control = tw::platform::gatewardenControlSocketPath();
    const std::string content = base + "/content";
    std::optional<pid_t> daemon;
    if (why.empty()) {
        fs::create_directories(content);
        makeTree(content, fuseFolders, files, false);
        daemon = tw::platform::spawnChild({GATEWARDEN_BIN, "--foreground", "--socket",
                                           base + "/run/driver.sock", "--control-socket", control},
                                          base + "/gatewarden.log");
        if (!daemon) why = "gatewarden did not start";
    }
    auto volume =
        std::make_shared<tw::VolumeDetail>("Mounted", tw::ServerConfigurationDetails::sharedInstance());
    volume->state = tw::VolumeDetail::volumeStates::Visible;
    const std::string mount = volume->localFolder;
    const std::string uuid = "BENCH-MOUNTED-0000";
    auto attach = [&] {
        std::optional<tw::platform::ControlReply> reply;
        for (int i = 0; i < 200 && !(reply && reply->ok); ++i) {
            reply = tw::platform::controlRequest({"attach", content, mount, "Mounted", uuid},
                                                 std::chrono::seconds(10), control);
            if (!(reply && reply->ok)) std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return reply && reply->ok;
    };
    auto eject = [&] {
        tw::platform::controlRequest({"eject", mount, "force"}, std::chrono::seconds(30), control);
    };
    if (why.empty() && !attach()) why = "mounting failed (FUSE not allowed here?)";
    if (!why.empty()) {
        std::printf("through gatewarden: skipped, %s\n", why.c_str());
    } else {
        volumes.addVolume(volume);
        identify(volume);
        tw::platform::setVolPathResolver(
            [](uint64_t dev, uint64_t ino) { return tw::platform::currentPathOf(dev, ino); });
        // Rows carry the numbers the mount gives; they stay the same on every mount of the folder.
        fs::remove(base + "/metadata.db");
        addRows(base + "/metadata.db", mount, uuid);
        auto scan = scanner(timeline, base, mount);
        scan->scan();
        Measured m;
        for (int r = 0; r < runs; ++r) {
            eject();
            if (!attach()) die("remounting failed");
            identify(volume);
            auto s = Clock::now();
            m.walked = bareWalk(mount);
            m.walk.push_back(seconds(Clock::now() - s));
            eject();
            if (!attach()) die("remounting failed");
            identify(volume);
            auto summary = scan->scan();
            m.scan.push_back(summary.elapsed.count());
            m.items = summary.itemsChecked;
            m.queued += summary.queued();
        }
        m.print("through gatewarden");
        double perItem = median(m.scan) / static_cast<double>(m.items);
        std::printf("through gatewarden: %.0f us per item; 100,000 items would take about %.1f s\n",
                    perItem * 1e6, perItem * 100000);
        eject();
    }
    if (daemon) {
        ::kill(*daemon, SIGTERM);
        tw::platform::reap(*daemon, true);
    }
    ::umount2(mount.c_str(), MNT_DETACH);
    tw::platform::setVolPathResolver(nullptr);
    std::error_code ec;
    fs::remove_all(base, ec);
    return 0;
}
