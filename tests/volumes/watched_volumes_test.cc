// Mappoint volumes as the application makes them: images created and attached by tidewell-hdiutil,
// mounted and watched by the real gatewarden, questions answered and reports turned into engine work by
// the real kernel link. The engine side is a recorder, so each report can be checked where it lands.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>

#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/volumes/EngineLink.h"
#include "Pinewick/volumes/KernelCommunicator.h"
#include "Pinewick/volumes/VolumeIcon.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "harness.h"
#include "platform/defaults.h"
#include "platform/keyfile.h"
#include "platform/notifications.h"
#include "platform/places.h"
#include "support/log_capture.h"
#include "support/own_volumes.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using S = CEAStatus::keys;

std::string folderOf(const std::string& path) {
    return path.substr(0, path.find_last_of('/'));
}

bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 15s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return pred();
}

bool mounted(const std::string& folder) {
    struct stat self, parent;
    return ::stat(folder.c_str(), &self) == 0 && ::stat(folderOf(folder).c_str(), &parent) == 0 &&
           self.st_dev != parent.st_dev;
}

// What the engine was asked to do, in order.
struct Recorder {
    struct Call {
        std::string what, path1, path2;
        std::string revision;  // of the record handed over, for deletes and moves
        bool userRequest = false;
    };
    std::mutex mutex;
    std::vector<Call> calls;
    // An engine that takes its time over a closed file. Under `mutex`.
    std::function<void(const std::string& path)> onClose;
    void setOnClose(std::function<void(const std::string& path)> f) {
        std::lock_guard lock(mutex);
        onClose = std::move(f);
    }

    void add(Call c) {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(c));
    }
    std::vector<Call> snapshot() {
        std::lock_guard lock(mutex);
        return calls;
    }
    size_t count(const std::string& what, const std::string& path1) {
        size_t n = 0;
        for (const auto& c : snapshot()) n += c.what == what && c.path1 == path1;
        return n;
    }
    bool has(const std::string& what, const std::string& path1) {
        for (const auto& c : snapshot())
            if (c.what == what && c.path1 == path1) return true;
        return false;
    }
    std::optional<Call> find(const std::string& what, const std::string& path1) {
        for (const auto& c : snapshot())
            if (c.what == what && c.path1 == path1) return c;
        return std::nullopt;
    }

    EngineLink link() {
        EngineLink l;
        l.addSyncFolderEvent = [this](const std::string& p, bool user) { add({"sync", p, "", "", user}); };
        l.addCloseEvent = [this](const std::string& p) {
            std::function<void(const std::string&)> hook;
            {
                std::lock_guard lock(mutex);
                hook = onClose;
            }
            if (hook) hook(p);
            add({"close", p});
        };
        l.addExchangeEvent = [this](const std::string& a, const std::string& b) { add({"exchange", a, b}); };
        l.addDeleteEvent = [this](const std::string& p, const CorvaneExtendedAttributes& x) {
            add({"delete", p, "", x.ceaString.getAttribute(CEAString::keys::Revision).value_or("")});
        };
        l.addMoveEvent = [this](const std::string& a, const std::string& b,
                                const CorvaneExtendedAttributes& x) {
            add({"move", a, b, x.ceaString.getAttribute(CEAString::keys::Revision).value_or("")});
        };
        l.addCreateFolderEvent = [this](const std::string& p) { add({"mkdir", p}); };
        l.addGhostCleanupEvent = [this](const std::string& p) { add({"ghost", p}); };
        l.setLocal = [](const std::string& p) {
            CorvaneExtendedAttributes r(p);
            r.ceaStatus.setStatus(S::LocalOnly);
            ASSERT_TRUE(r.save());
        };
        return l;
    }
};

class WatchedVolumes : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = gwtest::fuseUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
        toolsDir = fs::path(GW_DAEMON_BIN).parent_path().string();
        setenv("TIDEWELL_TOOLS_DIR", toolsDir.c_str(), 1);
        // The administrator's folder of this test: trusted folder browsers are named there.
        fs::create_directories(dir / "xdg" / "meridot");
        setenv("XDG_CONFIG_DIRS", (dir / "xdg").c_str(), 1);
        writeAdmin({{"validapps", {GW_ACTOR_BIN}}});
        ServerConfigurationDetails::sharedInstance().readConfig();

        daemon = std::make_unique<gwtest::Daemon>(dir / "gatewarden.log");
        ASSERT_TRUE(daemon->ready()) << daemon->log();
        own.list.setEngineLink(std::make_shared<const EngineLink>(recorder.link()));
        startLink("");
    }

    void TearDown() override {
        if (!daemon) return;
        auto& vm = own.list;
        vm.unmountVolumes();
        vm.detachInLocationFolders();
        if (link) link->closeConnection();
        KernelCommunicator::install(nullptr);
        link.reset();
        daemon.reset();
    }

    void startLink(const std::string& gatewardenPath) {
        KernelCommunicator::Options o;
        o.socketPath = daemon->socketPath;
        o.gatewardenPath = gatewardenPath;
        o.reconnected = [this] { own.list.mountVolumes(); };
        o.validApps = [] { return ServerConfigurationDetails::sharedInstance().validApps(); };
        o.engine = std::make_shared<const EngineLink>(recorder.link());
        link = std::make_shared<KernelCommunicator>(o);
        ASSERT_TRUE(link->connected());
        KernelCommunicator::install(link);
    }

    void writeAdmin(const nlohmann::json& values) {
        std::ofstream(dir / "xdg" / "meridot" / "com.meridot.tidewell.json") << values.dump();
    }

    // A mappoint volume made and mounted as the user's activation would.
    std::shared_ptr<VolumeDetail> mountedVolume(const std::string& name) {
        auto& vm = own.list;
        vm.resolveVolumes({{name, "smb", true, nullptr}});
        EXPECT_TRUE(vm.waitForCreations(60s));
        EXPECT_TRUE(vm.activateVolume(name));
        auto v = vm.findVolume(name);
        EXPECT_TRUE(v && eventually([&] { return mounted(v->localFolder); }, 30s)) << daemon->log();
        // The mount task ends by asking for a listing of the volume: then it is prepared.
        EXPECT_TRUE(v && eventually([&] { return recorder.has("sync", v->localFolder); }, 30s));
        return v;
    }

    gwtest::RunResult actor(const std::vector<std::string>& args) { return gwtest::actor(args); }

    TempDir dir{"tw-watched"};
    std::string toolsDir;
    std::unique_ptr<gwtest::Daemon> daemon;
    std::shared_ptr<KernelCommunicator> link;
    Recorder recorder;
    // Last, so that it goes first: its mounts still running in the background use the recorder.
    OwnVolumes own;
};

// ---- the life of a mappoint volume

TEST_F(WatchedVolumes, ImageIsCreatedMountedPreparedPublishedAndEjectedThroughEveryState) {
    auto& vm = own.list;
    std::mutex seenMutex;
    int volumeChanges = 0;
    auto observer = platform::DistributedNotificationCenter::defaultCenter().observe(
        "BrindleVolumeChange", [&](const std::string&, const std::string&) {
            std::lock_guard lock(seenMutex);
            ++volumeChanges;
        });

    vm.resolveVolumes({{"Docs", "smb", true, nullptr}});
    auto v = vm.findVolume("Docs");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->state, VolumeDetail::volumeStates::Hidden);
    EXPECT_TRUE(v->canResumeUploads);
    ASSERT_TRUE(vm.waitForCreations(60s));
    EXPECT_TRUE(v->available);
    EXPECT_TRUE(fs::is_directory(v->diskImage)) << v->diskImage;
    EXPECT_FALSE(mounted(v->localFolder));

    // Hidden -> Visible: mounted, trash taken away, watched, published.
    ASSERT_TRUE(vm.activateVolume("Docs"));
    ASSERT_TRUE(eventually([&] { return mounted(v->localFolder); }, 30s)) << daemon->log();
    EXPECT_EQ(platform::Defaults::standard().stringValue("Docs").value_or(""), "Visible");
    // The device is known first (the desktop tools need it), the volume's UUID once it is prepared.
    ASSERT_TRUE(eventually([&] { return v->volumeSystemNumber() != 0; }));
    EXPECT_TRUE(eventually([&] { return !v->volumeUUID().empty(); }));
    for (const std::string& trash :
         std::vector<std::string>{".Trashes", ".Trash", ".Trash-" + std::to_string(getuid())}) {
        auto p = v->localFolder + "/" + trash;
        // The file is made first and its record written next: wait for both.
        EXPECT_TRUE(eventually([&] {
            return fs::is_regular_file(p) && CorvaneExtendedAttributes(p).ceaStatus.status == S::LocalOnly;
        })) << p;
    }
    EXPECT_TRUE(eventually([&] { return recorder.has("sync", v->localFolder); }));
    auto list = platform::Defaults::finderListSuite().stringArray("FinderWatchList");
    ASSERT_TRUE(list);
    EXPECT_NE(std::find(list->begin(), list->end(), v->localFolder), list->end());
    if (observer->connected()) {
        EXPECT_TRUE(eventually([&] {
            std::lock_guard lock(seenMutex);
            return volumeChanges > 0;
        }));
    }
    // The volume is watched: a file written there by another process is reported closed.
    ASSERT_EQ(actor({"create", v->localFolder + "/a.txt", "hello"}).exitCode, 0);
    EXPECT_TRUE(eventually([&] { return recorder.has("close", v->localFolder + "/a.txt"); }));

    // Visible -> Hidden: ejected and stored.
    ASSERT_TRUE(vm.deactivateVolume("Docs"));
    EXPECT_FALSE(mounted(v->localFolder));
    EXPECT_EQ(platform::Defaults::standard().stringValue("Docs").value_or(""), "Hidden");
    EXPECT_EQ(vm.getMenuList(), std::vector<std::string>{"Docs"});

    // Hidden -> Visible again, then the server stops listing it: Dead, stored, ejected.
    ASSERT_TRUE(vm.activateVolume("Docs"));
    ASSERT_TRUE(eventually([&] { return mounted(v->localFolder); }, 30s));
    vm.resolveVolumes({});
    EXPECT_EQ(v->state, VolumeDetail::volumeStates::Dead);
    EXPECT_EQ(platform::Defaults::standard().stringValue("Docs").value_or(""), "Dead");
    EXPECT_TRUE(eventually([&] { return !mounted(v->localFolder); }, 30s));
    EXPECT_TRUE(vm.getMenuList().empty());

    // Listed again: Visible, mounted again, and what was written before is still there.
    vm.resolveVolumes({{"Docs", "", false, nullptr}});
    auto again = vm.findVolume("Docs");
    ASSERT_EQ(again, v);
    EXPECT_EQ(v->state, VolumeDetail::volumeStates::Visible);
    EXPECT_FALSE(v->canResumeUploads);
    ASSERT_TRUE(eventually([&] { return mounted(v->localFolder); }, 30s));
    EXPECT_TRUE(fs::exists(v->localFolder + "/a.txt"));

    // At the next start the image is found again, with its stored state.
    vm.unmountVolumes();
    vm.clear();
    vm.fetchOfflineMappoints();
    auto offline = vm.findVolume("Docs");
    ASSERT_TRUE(offline);
    EXPECT_EQ(offline->state, VolumeDetail::volumeStates::Visible);
    vm.mountVolumes();
    EXPECT_TRUE(mounted(offline->localFolder));
}

TEST_F(WatchedVolumes, AnItemSavedBeforeTheMountStepLearnsTheDeviceStillGetsItsRow) {
    auto& vm = own.list;
    vm.resolveVolumes({{"Early", "smb", true, nullptr}});
    ASSERT_TRUE(vm.waitForCreations(60s));
    auto v = vm.findVolume("Early");
    ASSERT_TRUE(v);
    // Mounted by the image tool with the mount step not back yet: the manager knows no device for it,
    // while programs already write there and uploads already finish.
    v->state = VolumeDetail::volumeStates::Visible;
    // Before the mount, its folder is a plain one on the parent's file system: no item there is the
    // volume's.
    fs::create_directories(v->localFolder);
    auto plain = platform::attributesOfItem(v->localFolder);
    ASSERT_TRUE(plain);
    EXPECT_EQ(vm.volumeNodeToVolumeUUID(plain->systemNumber), "");
    EXPECT_EQ(v->volumeSystemNumber(), 0u);
    auto attached = gwtest::hdiutil({"attach", v->diskImage});
    ASSERT_EQ(attached.exitCode, 0) << attached.out;
    ASSERT_TRUE(mounted(v->localFolder));
    ASSERT_EQ(v->volumeSystemNumber(), 0u);
    const std::string file = v->localFolder + "/early.txt";
    ASSERT_EQ(actor({"create", file, "hello"}).exitCode, 0);
    CorvaneExtendedAttributes record(file);
    record.ceaString.setAttribute(CEAString::keys::Revision, "7");
    record.ceaStatus.setStatus(S::Regular);
    ASSERT_TRUE(record.save());

    auto rows = MetadataDataBase::sharedInstance().findRecord(file);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].revision, "7");
    EXPECT_FALSE(rows[0].volumeUUID.empty());
    EXPECT_EQ(rows[0].volumeUUID, v->volumeUUID());
    EXPECT_NE(v->volumeSystemNumber(), 0u);
}

TEST_F(WatchedVolumes, AMappointNameThatIsNoSafeFolderNameCreatesNothing) {
    auto& vm = own.list;
    size_t from = logSize();
    vm.resolveVolumes({{"..", "", true, nullptr},
                       {"a/b", "", true, nullptr},
                       {"", "", true, nullptr},
                       {std::string("x\0y", 3), "", true, nullptr}});
    EXPECT_TRUE(vm.waitForCreations(10s));
    EXPECT_TRUE(vm.volumeList().empty());
    EXPECT_TRUE(fs::is_empty(platform::volumesRoot()));
    for (auto& e : fs::directory_iterator(ServerConfigurationDetails::sharedInstance().supportFolder))
        EXPECT_EQ(e.path().string().find("sparsebundle"), std::string::npos) << e.path();
    EXPECT_TRUE(logContains("Ignoring a mappoint whose name cannot be a folder", from));
}

TEST_F(WatchedVolumes, ATrashWithFilesIsKeptInTheRecoveryFolderBeforeItIsReplaced) {
    auto v = mountedVolume("Docs");
    ASSERT_TRUE(v);
    std::string trash = v->localFolder + "/.Trash-" + std::to_string(getuid());
    ASSERT_EQ(actor({"unlink", trash}).exitCode, 0);
    ASSERT_EQ(actor({"mkdir", trash}).exitCode, 0);
    ASSERT_EQ(actor({"mkdir", trash + "/files"}).exitCode, 0);
    ASSERT_EQ(actor({"create", trash + "/files/kept.txt", "precious"}).exitCode, 0);
    auto& vm = own.list;
    ASSERT_TRUE(vm.deactivateVolume("Docs"));
    ASSERT_TRUE(vm.activateVolume("Docs"));
    ASSERT_TRUE(eventually([&] { return mounted(v->localFolder) && fs::is_regular_file(trash); }, 30s));
    bool found = false;
    for (auto& e : fs::recursive_directory_iterator(
             platform::expandTilde(ServerConfigurationDetails::sharedInstance().currentRecoveryFolder())))
        if (e.path().filename() == "kept.txt") {
            std::ifstream in(e.path());
            std::string text((std::istreambuf_iterator<char>(in)), {});
            found = text == "precious";
        }
    EXPECT_TRUE(found);
}

TEST_F(WatchedVolumes, AMountedVolumeCarriesTheApplicationsIconForTheDesktopsFileManagers) {
    // GNOME's attribute can only be set through gvfs: here its metadata service is "installed" and a
    // stand-in gio notes what it is asked to set.
    fs::create_directories(dir / "bin");
    // It holds the mount until the test lets it go, as a slow gvfs would.
    ASSERT_TRUE(
        writeFile(dir / "bin" / "gio",
                  "#!/bin/sh\nd=\"$(dirname \"$0\")\"\nprintf '%s\\n' \"$@\" >> \"$d/gio-calls\"\n"
                  "i=0; while [ ! -e \"$d/go\" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n"));
    fs::permissions(dir / "bin" / "gio", fs::perms::owner_all);
    ScopedEnv path("PATH", (dir / "bin").string() + ":" + getenv("PATH"));
    const fs::path service = fs::path(platform::dataHome()) / VolumeIcon::kGvfsMetadataService;
    fs::create_directories(service.parent_path());
    ASSERT_TRUE(writeFile(service, "[D-BUS Service]\nName=org.gtk.vfs.Metadata\n"));
    struct Uninstall {
        fs::path file;
        ~Uninstall() { fs::remove(file); }
    } uninstall{service};

    auto mounting = std::async(std::launch::async, [&] { return mountedVolume("Docs"); });
    // While the desktop tools run, the volume already answers for its items: uploads finishing then
    // leave the rows that later replaces and moves of those items rely on.
    ASSERT_TRUE(eventually([&] { return fs::exists(dir / "bin" / "gio-calls"); }, 30s)) << daemon->log();
    auto& volumes = own.list;
    auto busy = volumes.findVolume("Docs");
    ASSERT_TRUE(busy);
    struct stat st {};
    ASSERT_EQ(::stat(busy->localFolder.c_str(), &st), 0);
    EXPECT_FALSE(volumes.volumeNodeToVolumeUUID(st.st_dev).empty());
    ASSERT_TRUE(writeFile(dir / "bin" / "go", ""));
    auto v = mounting.get();
    ASSERT_TRUE(v);
    const std::string root = v->localFolder;
    const std::string shipped = readFile(VolumeIcon::shippedIcon());
    ASSERT_NE(shipped.find("<svg"), std::string::npos)
        << "no icon installed at " << VolumeIcon::shippedIcon();
    // The volume carries the icon itself, and the desktop entry KDE reads points at it, relative to the
    // folder, so it holds wherever the volume is mounted.
    EXPECT_EQ(readFile(root + "/.VolumeIcon.svg"), shipped);
    std::string entry = readFile(root + "/.directory");
    EXPECT_EQ(platform::keyFileValue(entry, "Desktop Entry", "Icon"), "./.VolumeIcon.svg") << entry;
    EXPECT_EQ(readFile(dir / "bin" / "gio-calls"),
              "set\n-t\nstring\n" + root + "\nmetadata::custom-icon\nfile://" + root + "/.VolumeIcon.svg\n");

    // What KDE's file manager keeps in that entry (its view of the folder) stays through the next mount.
    ASSERT_EQ(actor({"write", root + "/.directory", "[Dolphin]\nViewMode=1\n"}).exitCode, 0);
    auto& vm = own.list;
    ASSERT_TRUE(vm.deactivateVolume("Docs"));
    ASSERT_TRUE(vm.activateVolume("Docs"));
    ASSERT_TRUE(eventually([&] { return recorder.count("sync", root) == 2; }, 30s)) << daemon->log();
    entry = readFile(root + "/.directory");
    EXPECT_EQ(platform::keyFileValue(entry, "Dolphin", "ViewMode"), "1") << entry;
    EXPECT_EQ(platform::keyFileValue(entry, "Desktop Entry", "Icon"), "./.VolumeIcon.svg") << entry;
}

TEST_F(WatchedVolumes, AVolumeEjectedWhileAnEditorHoldsADocumentKeepsTheSave) {
    auto v = mountedVolume("Drafts");
    ASSERT_TRUE(v);
    const std::string doc = v->localFolder + "/letter.txt";
    ASSERT_EQ(actor({"create", doc, "first draft"}).exitCode, 0);
    gwtest::HeldActor editor({"hold-write", doc, "final letter"});
    ASSERT_TRUE(editor.holding());
    auto& vm = own.list;
    ASSERT_TRUE(vm.deactivateVolume("Drafts"));
    EXPECT_FALSE(mounted(v->localFolder)) << "ejected although in use";
    // The editor's save after the eject lands in the image, where the next mount shows it.
    EXPECT_EQ(editor.release(), 0) << daemon->log();
    ASSERT_TRUE(vm.activateVolume("Drafts"));
    ASSERT_TRUE(eventually([&] { return mounted(v->localFolder); }, 30s)) << daemon->log();
    std::ifstream in(doc);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "final letter");
}

// ---- questions the watcher holds operations for

TEST_F(WatchedVolumes, PlaceholdersCannotBeReadAndReadOnlyItemsCannotBeChangedOrDeleted) {
    auto v = mountedVolume("Team");
    ASSERT_TRUE(v);
    const std::string root = v->localFolder;
    auto make = [&](const std::string& rel, S state, bool readOnly) {
        std::ofstream(root + "/" + rel) << "content";
        CorvaneExtendedAttributes r(root + "/" + rel);
        r.ceaStatus.setStatus(state);
        r.ceaBool.setAttribute(CEABool::keys::ReadOnly, readOnly);
        r.ceaString.setAttribute(CEAString::keys::Revision, "rev-" + rel);
        ASSERT_TRUE(r.save());
    };
    make("ghost.txt", S::Placeholder, false);
    make("pending.txt", S::RequireDownload, false);
    make("plain.txt", S::Regular, false);
    make("locked.txt", S::Regular, true);
    fs::create_directory(root + "/ro");
    {
        CorvaneExtendedAttributes r(root + "/ro");
        r.ceaStatus.setStatus(S::Regular);
        r.ceaBool.setAttribute(CEABool::keys::ReadOnly, true);
        ASSERT_TRUE(r.save());
    }

    EXPECT_EQ(actor({"read", root + "/ghost.txt"}).exitCode, EPERM);
    EXPECT_EQ(actor({"read", root + "/pending.txt"}).exitCode, EPERM);
    EXPECT_EQ(actor({"read", root + "/plain.txt"}).exitCode, 0);
    EXPECT_EQ(actor({"write", root + "/locked.txt", "changed"}).exitCode, EROFS);
    EXPECT_EQ(actor({"write", root + "/ghost.txt", "changed"}).exitCode, EROFS);
    EXPECT_EQ(actor({"write", root + "/plain.txt", "changed"}).exitCode, 0);
    EXPECT_EQ(actor({"create", root + "/ro/new.txt", "x"}).exitCode, EROFS);
    EXPECT_FALSE(fs::exists(root + "/ro/new.txt"));
    EXPECT_EQ(actor({"create", root + "/new.txt", "x"}).exitCode, 0);

    // A refused delete leaves the file, and no delete reaches the engine.
    EXPECT_EQ(actor({"unlink", root + "/locked.txt"}).exitCode, EROFS);
    EXPECT_TRUE(fs::exists(root + "/locked.txt"));
    // An allowed one is reported with the record from before it went.
    EXPECT_EQ(actor({"unlink", root + "/plain.txt"}).exitCode, 0);
    ASSERT_TRUE(eventually([&] { return recorder.has("delete", root + "/plain.txt"); }));
    EXPECT_EQ(recorder.find("delete", root + "/plain.txt")->revision, "rev-plain.txt");
    EXPECT_FALSE(recorder.has("delete", root + "/locked.txt"));
}

TEST_F(WatchedVolumes, ASafeSaveKeepsTheItemsRecordThroughTheRename) {
    auto v = mountedVolume("Team");
    ASSERT_TRUE(v);
    const std::string doc = v->localFolder + "/report.txt";
    std::ofstream(doc) << "old";
    {
        CorvaneExtendedAttributes r(doc);
        r.ceaStatus.setStatus(S::Regular);
        r.ceaString.setAttribute(CEAString::keys::Revision, "r7");
        ASSERT_TRUE(r.save());
    }
    // The editor's pattern: the original goes away (announced), and its name is moved elsewhere.
    ASSERT_EQ(actor({"rename", doc, v->localFolder + "/report.txt~"}).exitCode, 0);
    ASSERT_TRUE(eventually([&] { return recorder.has("move", doc); }));
    EXPECT_EQ(recorder.find("move", doc)->revision, "r7");
    EXPECT_EQ(recorder.find("move", doc)->path2, v->localFolder + "/report.txt~");
}

TEST_F(WatchedVolumes, ASafeSaveOverAReadOnlyItemIsRefusedWhileTheEngineStillTakesTheTemporaryFile) {
    auto v = mountedVolume("Team");
    ASSERT_TRUE(v);
    const std::string doc = v->localFolder + "/contract.txt";
    std::ofstream(doc) << "signed";
    {
        CorvaneExtendedAttributes r(doc);
        r.ceaStatus.setStatus(S::Regular);
        r.ceaBool.setAttribute(CEABool::keys::ReadOnly, true);
        r.ceaString.setAttribute(CEAString::keys::Revision, "r3");
        ASSERT_TRUE(r.save());
    }
    // Queueing an upload saves the closed file's record. Here the engine comes to it late, when the
    // editor's rename of that same file is already held for the answers about source and target: the
    // kernel keeps the file locked against the save until the rename is over.
    recorder.setOnClose([](const std::string& p) {
        std::this_thread::sleep_for(1s);
        CorvaneExtendedAttributes r(p);
        r.ceaStatus.setStatus(S::RequireUpload);
        ASSERT_TRUE(r.save());
    });
    const std::string temporary = v->localFolder + "/.contract.txt.sb-1";
    ASSERT_EQ(actor({"create", temporary, "forged"}).exitCode, 0);
    EXPECT_EQ(actor({"rename", temporary, doc}).exitCode, EROFS);
    std::ifstream in(doc);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "signed");
    EXPECT_TRUE(eventually([&] { return recorder.has("close", temporary); }));
    EXPECT_EQ(daemon->log().find("No answer within"), std::string::npos) << daemon->log();
}

// Two documents swapping contents in one step (renameat2 with RENAME_EXCHANGE, as some editors save):
// both names stay, so the engine gets one exchange of the two, never a move or a delete of either.
TEST_F(WatchedVolumes, AnExchangeOfTwoFilesReachesTheEngineAsAnExchange) {
    auto v = mountedVolume("Team");
    ASSERT_TRUE(v);
    const std::string draft = v->localFolder + "/draft.txt", fair = v->localFolder + "/fair.txt";
    // Written by this process, which the watcher leaves alone: the exchange is all it reports.
    std::ofstream(draft) << "new text";
    std::ofstream(fair) << "old text";
    ASSERT_EQ(actor({"exchange", draft, fair}).exitCode, 0) << daemon->log();
    ASSERT_TRUE(eventually([&] { return recorder.has("exchange", draft); })) << daemon->log();
    EXPECT_EQ(recorder.find("exchange", draft)->path2, fair);
    EXPECT_EQ(recorder.count("exchange", draft), 1u);
    std::ifstream in(fair);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "new text");
    for (const auto& c : recorder.snapshot())
        EXPECT_TRUE(c.what != "move" && c.what != "delete") << c.what << " " << c.path1 << " " << c.path2;
}

TEST_F(WatchedVolumes, OnlyATrustedFolderBrowserAsksForAFreshListing) {
    auto v = mountedVolume("Team");
    ASSERT_TRUE(v);
    fs::create_directory(v->localFolder + "/sub");
    // gw_actor is on the administrator's list of trusted browsers for this test; ls is not.
    ASSERT_EQ(gwtest::run({"/bin/ls", v->localFolder + "/sub"}).exitCode, 0);
    ASSERT_EQ(actor({"list", v->localFolder + "/sub"}).exitCode, 0);
    ASSERT_TRUE(eventually([&] {
        auto c = recorder.find("sync", v->localFolder + "/sub");
        return c && c->userRequest;
    }));
    int userListings = 0;
    for (const auto& c : recorder.snapshot())
        if (c.what == "sync" && c.path1 == v->localFolder + "/sub") userListings += c.userRequest;
    EXPECT_EQ(userListings, 1);
}

TEST_F(WatchedVolumes, TheApplicationsOwnWritesAreNotReportedBack) {
    auto v = mountedVolume("Team");
    ASSERT_TRUE(v);
    // This test process is the one the link told the watcher to leave alone.
    { std::ofstream(v->localFolder + "/mine.txt") << "written by the application"; }
    ASSERT_EQ(actor({"create", v->localFolder + "/theirs.txt", "x"}).exitCode, 0);
    ASSERT_TRUE(eventually([&] { return recorder.has("close", v->localFolder + "/theirs.txt"); }));
    EXPECT_FALSE(recorder.has("close", v->localFolder + "/mine.txt"));
}

TEST_F(WatchedVolumes, BadRequestsAndFailingToolsAreLoggedAndTouchNothing) {
    size_t from = logSize();
    // A watch path that does not fit the record is not sent.
    std::string longPath = "/" + std::string(1100, 'a');
    EXPECT_NE(link->addWatchPath(longPath), pw::kIOReturnSuccess);
    EXPECT_TRUE(logContains("Failed to add path \"" + longPath + "\" to watch list. Error: 0x", from));

    // A disk-image tool that fails: the volume is not mounted and nothing lands in the volumes root.
    fs::create_directories(dir / "tools");
    std::ofstream(dir / "tools" / "tidewell-hdiutil")
        << "#!/bin/sh\necho 'hdiutil: attach failed - no such image' >&2\nexit 1\n";
    fs::permissions(dir / "tools" / "tidewell-hdiutil", fs::perms::owner_all);
    fs::copy_file(toolsDir + "/tidewell-mdutil", dir / "tools" / "tidewell-mdutil");
    setenv("TIDEWELL_TOOLS_DIR", (dir / "tools").c_str(), 1);
    auto& vm = own.list;
    vm.resolveVolumes({{"Broken", "", true, nullptr}});
    ASSERT_TRUE(vm.waitForCreations(30s));
    EXPECT_FALSE(vm.findVolume("Broken")->available);
    ASSERT_TRUE(vm.activateVolume("Broken"));
    EXPECT_TRUE(eventually([&] { return logContains("Volume Broken could not be mounted", from); }));
    EXPECT_FALSE(recorder.has("sync", platform::volumesRoot() + "/Broken"));
    EXPECT_TRUE(fs::is_empty(platform::volumesRoot()));
    EXPECT_TRUE(logContains("Disk image tool failed (exit status 1)", from));
    setenv("TIDEWELL_TOOLS_DIR", toolsDir.c_str(), 1);
}

// ---- in-location folders

TEST_F(WatchedVolumes, TheDefaultInLocationFolderIsAttachedInPlaceAndKeepsItsContent) {
    fs::path home = platform::homeFolder();
    fs::create_directories(home / "Tidewell");
    std::ofstream(home / "Tidewell" / "before.txt") << "was here";
    auto& vm = own.list;
    vm.resolveInLocationSync({{"/home", "~/Tidewell"}});
    vm.mountVolumes();
    const std::string folder = (home / "Tidewell").string();
    ASSERT_TRUE(mounted(folder)) << daemon->log();
    std::ifstream in(home / "Tidewell" / "before.txt");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, "was here");
    EXPECT_EQ(vm.serverFromLocal(folder + "/before.txt"), "/home/before.txt");
    ASSERT_EQ(actor({"create", folder + "/new.txt", "x"}).exitCode, 0);
    EXPECT_TRUE(eventually([&] { return recorder.has("close", folder + "/new.txt"); }));
    {
        std::ofstream(folder + "/ghost.txt") << "";
        CorvaneExtendedAttributes r(folder + "/ghost.txt");
        r.ceaStatus.setStatus(S::Placeholder);
        r.ceaString.setAttribute(CEAString::keys::Revision, "rev-ghost");
        ASSERT_TRUE(r.save());
    }

    // Quitting: the folder stays guarded by the watcher alone, so a placeholder is never read as an
    // empty file by whatever program opens it while the application is away.
    vm.unmountVolumes();
    link->closeConnection();
    EXPECT_TRUE(mounted(folder));
    EXPECT_EQ(actor({"read", folder + "/ghost.txt"}).exitCode, EPERM);
    EXPECT_EQ(actor({"create", folder + "/later.txt", "y"}).exitCode, 0) << "ordinary work goes on";

    // The next start finds it attached and takes it as it is.
    startLink("");
    vm.mountVolumes();
    EXPECT_TRUE(mounted(folder));
    EXPECT_EQ(readFile(folder + "/later.txt"), "y");

    // Only the uninstaller detaches it, and the content is then the folder's own.
    vm.detachInLocationFolders();
    EXPECT_FALSE(mounted(folder));
    EXPECT_TRUE(fs::exists(home / "Tidewell" / "new.txt"));
}

// ---- the watcher going away

TEST_F(WatchedVolumes, AKilledWatcherIsStartedAgainAndTheVolumesComeBack) {
    // This link starts the watcher itself when it is gone.
    link->closeConnection();
    startLink(GW_DAEMON_BIN);
    auto v = mountedVolume("Team");
    ASSERT_TRUE(v);
    daemon->killHard();
    ASSERT_TRUE(eventually([&] { return link->reconnectCount() == 1; }, 30s));
    ASSERT_TRUE(eventually([&] { return mounted(v->localFolder); }, 30s));
    // The mount task ends by asking for a listing: until the second one, the folder may still be the
    // dead watcher's stale mount or the bare folder under it, where a write is reported to nobody.
    ASSERT_TRUE(eventually([&] { return recorder.count("sync", v->localFolder) >= 2; }, 30s));
    // The stale mount of the dead watcher is replaced while the new one mounts; the first write that
    // goes through is the one that counts.
    EXPECT_TRUE(eventually([&] {
        return actor({"create", v->localFolder + "/after.txt", "x"}).exitCode == 0;
    }));
    EXPECT_TRUE(eventually([&] { return recorder.has("close", v->localFolder + "/after.txt"); }));
    // The watcher this link started is ours to stop.
    own.list.unmountVolumes();
    link->closeConnection();
    gwtest::run({"/usr/bin/pkill", "-TERM", "-f", "--", "--socket " + daemon->socketPath});
}

TEST(KernelLink, NoWatcherAnsweringIsAFatalLineAndAskForTermination) {
    size_t from = logSize();
    KernelCommunicator::Options o;
    o.socketPath = platform::runtimeFolder() + "/nobody.sock";
    o.gatewardenPath = "/nonexistent/gatewarden";
    o.startWait = 200ms;
    KernelCommunicator link(o);
    EXPECT_FALSE(link.connected());
    EXPECT_TRUE(logContains("Kernel Driver connection failure with error: 47", from));
    EXPECT_EQ(link.addWatchPath("/x"), pw::kIOReturnNotAttached);
    EXPECT_TRUE(logContains("Failed to add path \"/x\" to watch list. Error: 0x-1ffffd27", from));
}

}  // namespace
}  // namespace tw::test
