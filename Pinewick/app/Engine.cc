#include "Pinewick/app/Engine.h"

#include <algorithm>
#include <filesystem>

#include "Pinewick/app/ErrorCommands.h"
#include "Pinewick/app/Parts.h"
#include "Pinewick/config/ExclusionManager.h"
#include "Pinewick/config/Log.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/engine/ChangeScan.h"
#include "Pinewick/engine/ConsistencyCheck.h"
#include "Pinewick/engine/ContextMenuHandler.h"
#include "Pinewick/engine/ListingPace.h"
#include "Pinewick/engine/PlaceholderOpens.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/SyncFolder.h"
#include "Pinewick/engine/SyncMappoints.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/engine/TreeSync.h"
#include "Pinewick/metadata/CEAUtils.h"
#include "Pinewick/metadata/ConsistencyCheckDataBase.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/Audit.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/ServerEnvironment.h"
#include "Pinewick/ui/AttentionList.h"
#include "Pinewick/ui/ErrorResolutionManager.h"
#include "Pinewick/volumes/EngineLink.h"
#include "Pinewick/volumes/KernelCommunicator.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/defaults.h"
#include "platform/desktopnotify.h"
#include "platform/dispatch.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/power.h"
#include "platform/volpath.h"

namespace tw {
namespace {

// ---- the parts. The hooks below reach them through functions, never through an Engine, which may be
// gone before the last request thread is. The process-wide ones are `parts::` (app/Parts.h, made on
// first use with what they work with; tests of one layer take them too). The parts only the running
// client has are made here, with what they work with, and never destroyed either: their queues and
// timers may still run while the process exits.

// The watcher's link for the user's session, turning its reports into `engine`'s work; the programs that
// count as the user browsing are the administrator's.
KernelCommunicator& kernelLinkPart(std::shared_ptr<const EngineLink> engine) {
    auto options = KernelCommunicator::userOptions([] { return parts::configuration().validApps(); });
    options.engine = std::move(engine);
    return KernelCommunicator::connectShared(std::move(options));
}

ContextMenuHandler& contextMenuPart() {
    static ContextMenuHandler* shared = new ContextMenuHandler(parts::timeline(), parts::runState());
    return *shared;
}

// Looks for what changed unreported on the timeline's volumes, reading the metadata database and
// keeping its own record of folders beside it.
ChangeScan& changeScanPart() {
    static ChangeScan* shared = [] {
        ChangeScan::Options o;
        o.timeline = &parts::timeline();
        o.metadataDatabasePath = parts::metadataDatabase().databasePath();
        o.folderDatabasePath = parts::configuration().supportFolder + ChangeScan::kFolderDatabaseName;
        return new ChangeScan(std::move(o));
    }();
    return *shared;
}

ConsistencyCheck& consistencyCheckPart() {
    static ConsistencyCheck* shared = new ConsistencyCheck(
        {parts::consistencyDatabase(), parts::volumes(), parts::runState(), parts::timeline()});
    return *shared;
}

// Whether the timeline never synchronises a folder (nor what it holds). A volume's own folder is
// synchronised, though the ignore rules (which look at what is inside a volume) take it for outside.
bool neverSynchronised(const std::string& folder) {
    if (!parts::timeline().staysHereOnly(folder) && ChangeScan::whyNotSynchronisable(folder).empty())
        return false;
    auto roots = parts::volumes().activeVolumesList();
    return std::find(roots.begin(), roots.end(), folder) == roots.end();
}

// Server changes coming down by themselves: folders in use and the consistency check's rotation, paced
// by the administrator's budget, while the run state allows contact and the battery is not low.
ListingPace& listingPacePart() {
    static ListingPace* shared = [] {
        ListingPace::Parts p;
        p.list = [](const std::string& folder, double fresh, bool urgent,
                    std::function<void(ListingOutcome, ListingPace::Clock::duration)> done) {
            parts::timeline().addListing(folder, fresh, urgent, std::move(done));
        };
        p.oldestDue = [](std::chrono::seconds staleAfter,
                         const std::function<bool(const std::string&)>& skip) {
            return consistencyCheckPart().takeOldestDue(staleAfter, skip);
        };
        p.folders = [] { return parts::consistencyDatabase().rowCount(); };
        p.mayContact = [] {
            auto& state = parts::runState();
            return state.networkAvailable && state.allowServerCommunication && !state.systemShutdown;
        };
        p.lowBattery = [] { return platform::onLowBattery(ListingPace::kLowBattery); };
        p.settings = [] {
            auto pace = parts::configuration().listingPace();
            return ListingPace::Settings{pace.rate, pace.cycleSeconds};
        };
        p.ignored = neverSynchronised;
        // Folders made here were never listed: the rotation learns of them from the volumes themselves.
        p.discover = [] {
            for (const auto& root : parts::volumes().activeVolumesList()) {
                std::error_code ec;
                auto options = std::filesystem::directory_options::skip_permission_denied;
                consistencyCheckPart().enrol(root);
                for (std::filesystem::recursive_directory_iterator it(root, options, ec), end;
                     !ec && it != end; it.increment(ec)) {
                    if (parts::runState().systemShutdown) return;
                    if (!it->is_directory(ec) || it->is_symlink(ec)) continue;
                    if (neverSynchronised(it->path().string())) {
                        it.disable_recursion_pending();
                        continue;
                    }
                    consistencyCheckPart().enrol(it->path().string());
                }
            }
        };
        return new ListingPace(std::move(p));
    }();
    return *shared;
}

// `tidewell sync`'s jobs. Never destroyed: a job's thread may still wait while the process exits.
TreeSync& treeSyncPart() {
    static TreeSync* shared = [] {
        TreeSync::Parts p;
        p.list = [](const std::string& folder, double fresh, bool urgent,
                    std::function<void(ListingOutcome, std::chrono::steady_clock::duration)> done) {
            parts::timeline().addListing(folder, fresh, urgent, std::move(done));
        };
        p.roots = [] {
            // The server's list of mappoints first: a mappoint new there is then among the volumes.
            auto& timeline = parts::timeline();
            timeline.addSyncFolderEvent("/", true);
            timeline.syncQueue().waitUntilAllOperationsAreFinished(std::chrono::seconds(60));
            return parts::volumes().activeVolumesList();
        };
        p.ignored = neverSynchronised;
        p.settle = [](std::chrono::milliseconds limit) {
            auto& timeline = parts::timeline();
            auto until = std::chrono::steady_clock::now() + limit;
            timeline.waitUntilIdle(limit);
            auto left =
                std::chrono::duration_cast<std::chrono::seconds>(until - std::chrono::steady_clock::now());
            timeline.syncQueue().waitUntilAllOperationsAreFinished(std::max(left, std::chrono::seconds(1)));
        };
        return new TreeSync(std::move(p));
    }();
    return *shared;
}

// A download still running when the process ends must neither hold up its exit nor call back into an
// object gone.
PlaceholderOpens& placeholderOpensPart() {
    static PlaceholderOpens* shared = new PlaceholderOpens(
        parts::configuration(), PlaceholderOpens::download(parts::statusBar(), parts::serverEnvironment()));
    return *shared;
}

// What needs the user, read from the active volumes and the listing's held folders, published to the
// status bar manager. Never destroyed: its queue may still run while the process exits.
AttentionList& attentionPart() {
    static AttentionList* shared =
        new AttentionList({[] { return parts::volumes().activeVolumesList(); },
                           [] { return SyncFolder::foldersAwaitingConfirmation(); },
                           AttentionList::ignoredBy(parts::timeline())},
                          [](const StatusBarManager::Attention& a) { parts::statusBar().setAttention(a); });
    return *shared;
}

// Queues its resolutions on the timeline. Never destroyed: a resolution may still run on a worker.
ErrorResolutionManager& errorResolutionPart() {
    static ErrorResolutionManager* shared = new ErrorResolutionManager(parts::timeline());
    return *shared;
}

// What the run state's shutdown takes down besides itself: the parts built on it or above it.
StateManager::ShutdownSteps shutdownSteps() {
    StateManager::ShutdownSteps steps;
    steps.removeFinderBridge = [] { contextMenuPart().stop(); };
    steps.unmountVolumes = [] { parts::volumes().unmountVolumes(); };
    steps.closeKernelConnection = [] {
        if (auto link = KernelCommunicator::current()) link->closeConnection();
    };
    return steps;
}

// The synchronisation's end, for the program's exit and the uninstall (once: the first caller's). A scan
// still walking would queue work the shutdown no longer runs; the next start scans anyway.
void stopSynchronisation() {
    if (parts::runState().systemShutdown) return;
    changeScanPart().stop();
    parts::runState().shutdown(shutdownSteps());
}

// How the program without a window asks for the password: a warning in the log and, where a
// notification daemon runs, a desktop notification, both saying to run "tidewell login". Returns at
// once; the notification is sent from a background thread.
void requestCredentialsFromTerminal() {
    std::string server = parts::credentials().serverName();
    std::string where = server.empty() ? std::string("the Tidewell server") : "the Tidewell server " + server;
    log().logWarning("Tidewell needs your password to log on to " + where +
                     ": run \"tidewell login\" to enter it.");
    // The request core's serial queue is waiting on this call; the bus call can take seconds.
    platform::DispatchQueue::global(platform::QoS::utility).async([where] {
        platform::DesktopNotification n;
        n.summary = "Tidewell needs your password";
        n.body = "Run \"tidewell login\" in a terminal to log on to " + where + ".";
        n.icon = "dialog-password";
        platform::showDesktopNotification(n);
    });
}

// Without the resolution windows, "Resolve Error" in the file manager tells the user which command
// resolves the item. Shown from a worker: the notification daemon may take its time to answer.
void notifyResolveByCommand(const std::string& path) {
    platform::DispatchQueue::global(platform::QoS::utility).async([path] {
        auto notification = resolveErrorNotification(path);
        if (!platform::showDesktopNotification(notification))
            log().logWarning(notification.summary + ": " + notification.body);
    });
}

}  // namespace

// ---- the wiring

Engine::Engine(Options options) {
    // 1. The server layer first: every request asks the run state whether it may go and reports a
    //    network failure to it, and a logon that fails asks for the password, so these are in before
    //    anything can send one.
    wireServerLayer(std::move(options.requestCredentials));
    // 2. The volumes' and the kernel link's calls into the engine, handed to each in `start`, where the
    //    kernel link is made and the volumes are first needed.
    volumeLink_ = volumeLink(std::move(options.watcherUnreachable));
    // 3. The protocol the user's last login chose, before the first request uses the credentials.
    if (auto protocol = platform::Defaults::standard().stringValue("serverprotocol"))
        parts::credentials().setServerProtocol(*protocol);
    // 4. Item identities ("/.vol/DEV/INO") resolve through the watcher that hosts every volume. An item
    //    the watcher positively does not know stays "/.vol/..."; no answer at all is none, so that
    //    nobody takes a silent watcher for an item that is gone.
    platform::setVolPathResolver([](uint64_t dev, uint64_t ino) -> std::optional<std::string> {
        auto item = platform::lookUpItem(dev, ino);
        switch (item.whereabouts) {
            case platform::Whereabouts::found:
                return item.path;
            case platform::Whereabouts::gone:
                return "/.vol/" + std::to_string(dev) + "/" + std::to_string(ino);
            case platform::Whereabouts::unknown:
                break;
        }
        return std::nullopt;
    });
}

void Engine::wireServerLayer(std::function<bool()> requestCredentials) {
    auto& env = parts::serverEnvironment();
    auto& state = parts::runState();
    env.networkAvailable = [&state] { return state.networkAvailable.load(); };
    env.allowServerCommunication = [&state] { return state.allowServerCommunication.load(); };
    // A network failure a request sees pauses the timeline through the run state.
    env.setNetworkAvailable = [&state](bool available) {
        state.networkAvailable = available;
        state.triggerChanges();
    };
    // The account every request goes out with; asked for at each use, like the parts below.
    env.credentials = parts::credentials;
    // Local to server paths, the folders the usage report counts and the revisions the metadata
    // database holds come from the volume list and the database. Neither is made here: the volumes
    // come after the kernel link.
    answerFromVolumes(env, parts::volumes, parts::metadataDatabase);
    env.startUsageReport = [&env] { AuditStatistics::report(env); };
    // Not through the timeline, which this must not make: the report may run in `tidewell login`.
    env.inIgnoreList = [](const std::string& path) {
        return TimeLineManager::inIgnoreList(path, parts::volumes(), parts::exclusions());
    };
    env.requestCredentials = [ask = std::move(requestCredentials)] {
        if (!ask || !ask()) requestCredentialsFromTerminal();
    };
}

ServerConfigurationDetails::Hooks Engine::configurationHooks() {
    ServerConfigurationDetails::Hooks hooks;
    hooks.storedCredentials = [] {
        auto& credentials = parts::credentials();
        return std::make_pair(credentials.serverName(), credentials.userName());
    };
    hooks.resolveInLocation = [](const std::vector<std::pair<std::string, std::string>>& localToServer) {
        // The volume manager takes its pairs the other way round: (server folder, local folder).
        std::vector<std::pair<std::string, std::string>> serverToLocal;
        serverToLocal.reserve(localToServer.size());
        for (const auto& [local, serverPath] : localToServer) serverToLocal.emplace_back(serverPath, local);
        parts::volumes().resolveInLocationSync(serverToLocal);
    };
    hooks.setAllowServerCommunication = [](bool allow) {
        auto& state = parts::runState();
        state.allowServerCommunication = allow;
        state.triggerChanges();
    };
    return hooks;
}

std::shared_ptr<const EngineLink> Engine::volumeLink(std::function<void()> watcherUnreachable) {
    EngineLink link;
    link.addSyncFolderEvent = [](const std::string& p, bool user) {
        parts::timeline().addSyncFolderEvent(p, user);
    };
    link.addCloseEvent = [](const std::string& p) {
        parts::timeline().holdCloseEvent(p);
        // A file written there: its folder is in use.
        listingPacePart().folderInUse(platform::parentFolder(p));
    };
    link.folderInUse = [](const std::string& p, const std::string& program) {
        listingPacePart().folderInUse(p, program);
    };
    link.addExchangeEvent = [](const std::string& a, const std::string& b) {
        parts::timeline().addExchangeEvent(a, b);
    };
    link.addDeleteEvent = [](const std::string& p, const CorvaneExtendedAttributes& x) {
        parts::timeline().addDeleteEvent(p, x);
    };
    link.addMoveEvent = [](const std::string& from, const std::string& to,
                           const CorvaneExtendedAttributes& x) {
        parts::timeline().addMoveEvent(from, to, x);
    };
    link.addCreateFolderEvent = [](const std::string& p) { parts::timeline().addCreateFolder(p, true); };
    link.addGhostCleanupEvent = [](const std::string& p) { parts::timeline().addGhostCleanupEvent(p); };
    link.addRecoverVolumeEvent = [](std::shared_ptr<VolumeDetail> v) {
        parts::timeline().addRecoverVolumeEvent(std::move(v));
    };
    link.refreshFolder = [](const std::string& p, const ServerFileObject& entry) {
        CEAUtils::refreshFolder(p, entry.serverFacts());
    };
    link.setLocal = [](const std::string& p) {
        // The volume's trash and event folders. Left unmarked (the record logged why), they are still
        // never synchronised (the ignore list names them), and the volume's next mount marks them again.
        (void)CEAUtils::setLocal(p);
    };
    link.pauseTimeLine = [] { parts::timeline().pauseTimeLine(); };
    link.triggerChanges = [] { parts::runState().triggerChanges(); };
    link.scanForChanges = [](const std::string& folder) { changeScanPart().request(folder); };
    link.openPlaceholder = [](const std::string& path, const std::string& program,
                              std::function<void(const char*)> later) {
        listingPacePart().folderInUse(platform::parentFolder(path), program);
        return placeholderOpensPart().open(path, program, std::move(later));
    };
    // The kernel link asks the main queue to run this.
    link.terminate = std::move(watcherUnreachable);
    if (!link.terminate)
        link.terminate = [] {
            log().logFatal("Tidewell cannot run without its file watcher and stops");
            platform::MainQueue::shared().stop();
        };
    return std::make_shared<const EngineLink>(std::move(link));
}

// ---- start and shutdown

bool Engine::start() {
    // The timeline first, with what its listing passes run: the mappoints (the server's list of
    // volumes), then the folder. A folder compared with its listing is not due for the consistency
    // check's listing again for a while; a pass is where removals are held back and where confirmed ones
    // stop waiting, so what needs the user is read again after it. Made here and not when the engine is
    // wired: it takes over the journal of pending deletes and moves, which `tidewell login`, wiring an
    // engine beside the running client, must leave alone. Before the kernel link, whose first report
    // may queue work on it.
    parts::timeline().setListingPasses({[](EventContext& context) { SyncMappoints::performAction(context); },
                                        [](EventContext& context, const std::string& path, bool userRequest) {
                                            if (SyncFolder::performSync(context, path, userRequest))
                                                consistencyCheckPart().updateScanDate(path);
                                            attentionPart().heldFoldersChanged();
                                        },
                                        [](const std::string& folder) { changeScanPart().request(folder); },
                                        [](EventContext& context, const std::string& path, double fresh) {
                                            auto outcome = SyncFolder::listFolder(context, path, fresh);
                                            if (outcome == ListingOutcome::compared)
                                                consistencyCheckPart().updateScanDate(path);
                                            attentionPart().heldFoldersChanged();
                                            return outcome;
                                        }});
    // Then the kernel link: every volume made from here on asks it to watch its folder. Made, it
    // connects (starting the watcher when none answers); without the watcher nothing else starts.
    auto& kernel = kernelLink();
    if (!kernel.connected()) return false;
    // A watcher started again has forgotten the volumes: they are mounted again.
    kernel.setReconnected([] { parts::volumes().mountVolumes(); });
    // The volumes whose images are here already, and what mounting them and the server's list of
    // volumes ask of the engine.
    volumes().setEngineLink(volumeLink_);
    // The administrator's configuration and the user's choices: they may place in-location volumes and
    // decide whether the server may be contacted, so they come before the volumes are mounted.
    configuration().loadState(configurationHooks());
    volumes().mountVolumes();
    // Whatever changed while this program was not running (or was killed before queueing what the
    // watcher reported) was never reported: look for it once the volumes are there.
    changeScan().request();
    // The file manager's requests. Without windows, "Resolve Error" names the command that resolves
    // the item; the desktop application's windows take it over once they are up.
    contextMenu().setResolveErrorHandler(notifyResolveByCommand);
    contextMenu().start();
    // The consistency check's order at the pace of the listing budget, beside the folders in use.
    listingPace().start();
    attention().start();
    runState().observeSleepAndWake();
    // Last: the run state's first probe may start the timeline, which needs everything above.
    runState().finishLaunching();
    return true;
}

void Engine::abandonStart() {
    if (auto link = KernelCommunicator::current()) link->closeConnection();
}

void Engine::shutdown() {
    attention().stop();
    listingPace().stop();
    // The uninstall may have shut the synchronisation down already, before its tool ran.
    stopSynchronisation();
}

// ---- accessors

TimeLineManager& Engine::timeline() {
    return parts::timeline();
}
StateManager& Engine::runState() {
    return parts::runState();
}
VolumeManager& Engine::volumes() {
    return parts::volumes();
}
KernelCommunicator& Engine::kernelLink() {
    return kernelLinkPart(volumeLink_);
}
ServerCredentials& Engine::credentials() {
    return parts::credentials();
}
ServerConfigurationDetails& Engine::configuration() {
    return parts::configuration();
}
MetadataDataBase& Engine::metadataDatabase() {
    return parts::metadataDatabase();
}
ConsistencyCheckDataBase& Engine::consistencyDatabase() {
    return parts::consistencyDatabase();
}
StatusBarManager& Engine::statusBar() {
    return parts::statusBar();
}
AttentionList& Engine::attention() {
    return attentionPart();
}
ErrorResolutionManager& Engine::errorResolution() {
    return errorResolutionPart();
}
ContextMenuHandler& Engine::contextMenu() {
    return contextMenuPart();
}
ChangeScan& Engine::changeScan() {
    return changeScanPart();
}
ConsistencyCheck& Engine::consistencyCheck() {
    return consistencyCheckPart();
}
PlaceholderOpens& Engine::placeholderOpens() {
    return placeholderOpensPart();
}
ListingPace& Engine::listingPace() {
    return listingPacePart();
}
TreeSync& Engine::treeSync() {
    return treeSyncPart();
}

EngineParts Engine::parts() {
    return {timeline(),         runState(),   volumes(),   credentials(),
            configuration(),    statusBar(),  attention(), errorResolution(),
            contextMenu(),      changeScan(), treeSync(),  consistencyDatabase(),
            stopSynchronisation};
}

}  // namespace tw
