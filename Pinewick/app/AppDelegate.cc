#include "Pinewick/app/AppDelegate.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "Pinewick/app/ErrorCommands.h"
#include "Pinewick/app/TransferStatus.h"
#include "Pinewick/config/Log.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/config/SystemInformation.h"
#include "Pinewick/config/TextUtils.h"
#include "Pinewick/engine/ChangeScan.h"
#include "Pinewick/engine/ConsistencyCheck.h"
#include "Pinewick/engine/ContextMenuHandler.h"
#include "Pinewick/engine/EngineHooks.h"
#include "Pinewick/engine/OpenFile.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/SyncFolder.h"
#include "Pinewick/engine/SyncMappoints.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
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
#include "platform/volpath.h"

namespace tw {
namespace {

// How many of the items that cannot be synchronised the status names (all of them are counted).
constexpr size_t kNotSynchronisedShown = 10;

// Without the resolution windows, "Resolve Error" in the file manager tells the user which command
// resolves the item. Shown from a worker: the notification daemon may take its time to answer.
void notifyResolveByCommand(const std::string& path) {
    platform::DispatchQueue::global(platform::QoS::utility).async([path] {
        auto notification = resolveErrorNotification(path);
        if (!platform::showDesktopNotification(notification))
            log().logWarning(notification.summary + ": " + notification.body);
    });
}

bool isMountPoint(const std::string& folder) {
    auto self = platform::attributesOfItem(folder);
    auto parent = platform::attributesOfItem(std::filesystem::path(folder).parent_path().string());
    return self && parent && self->systemNumber != parent->systemNumber;
}

}  // namespace

AppDelegate::AppDelegate(Options options) : options_(std::move(options)) {}

AppDelegate::~AppDelegate() = default;

bool AppDelegate::applicationDidFinishLaunching() {
    log().logAudit("Tidewell version " + SystemInformation::productVersion() + " started");
    log().logDebug("Tidewell is running with debug messages enabled");

    // One instance per user: the lock outlives nothing but this process.
    std::string why;
    lock_ = platform::InstanceLock::acquire(&why);
    if (!lock_) {
        log().logFatal("Only one instance of the application can be running");
        log().logWarning(why);
        return false;
    }

    // The layers' hooks, before anything uses them.
    installServerHooks();
    if (options_.requestCredentials) serverEnvironment().requestCredentials = options_.requestCredentials;
    installConfigurationHooks();
    installVolumeHooks();
    TimeLineManager::setListingPasses({[] { SyncMappoints::performAction(); },
                                       [](EventContext& context, const std::string& path, bool userRequest) {
                                           SyncFolder::performSync(context, path, userRequest);
                                           // A pass is where removals are held back, and where confirmed ones
                                           // stop waiting.
                                           AttentionList::sharedInstance().heldFoldersChanged();
                                       }});
    StateManager::Hooks stateHooks;
    stateHooks.removeFinderBridge = [] { ContextMenuHandler::sharedInstance().stop(); };
    stateHooks.unmountVolumes = [] { VolumeManager::sharedInstance().unmountVolumes(); };
    stateHooks.closeKernelConnection = [] {
        if (auto link = KernelCommunicator::current()) link->closeConnection();
    };
    stateHooks.paywallDetectURL = [] {
        return ServerConfigurationDetails::sharedInstance().paywallDetectURL;
    };
    StateManager::sharedInstance().setHooks(std::move(stateHooks));
    {
        // A file watcher that cannot be reached ends the program (the kernel link asks the main queue).
        EngineLink link = *engineLink();
        link.terminate = [] {
            log().logFatal("Tidewell cannot run without its file watcher and stops");
            platform::MainQueue::shared().stop();
        };
        setEngineLink(std::move(link));
    }
    if (auto protocol = platform::Defaults::standard().stringValue("serverprotocol"))
        ServerCredentials::sharedInstance().setServerProtocol(*protocol);

    // Item identities ("/.vol/DEV/INO") resolve through the watcher that hosts every volume. An item the
    // watcher positively does not know stays "/.vol/..."; no answer at all is none, so that nobody
    // takes a silent watcher for an item that is gone.
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

    // The kernel link first: every volume made from here on asks it to watch its folder.
    auto& kernel = KernelCommunicator::sharedInstance();
    if (!kernel.connected()) return false;
    kernel.setReconnected([] { VolumeManager::sharedInstance().mountVolumes(); });
    VolumeManager::sharedInstance();  // the volumes whose images are here already

    ServerConfigurationDetails::sharedInstance().loadState();
    VolumeManager::sharedInstance().mountVolumes();
    // Whatever changed while this program was not running (or was killed before queueing what the
    // watcher reported) was never reported: look for it once the volumes are there.
    ChangeScan::sharedInstance().request();
    ContextMenuHandler::sharedInstance().setResolveErrorHandler(notifyResolveByCommand);
    ContextMenuHandler::sharedInstance().start();
    ConsistencyCheck::sharedInstance().start();
    AttentionList::sharedInstance().start();
    StateManager::sharedInstance().observeSleepAndWake();
    StateManager::sharedInstance().finishLaunching();
    // Last: a command is served only once the engine it drives is in place.
    bus_ = platform::BusService::start([this](const std::vector<std::string>& a) { return command(a); },
                                       [this](const std::string& c) { return scripting(c); }, &why,
                                       options_.busName);
    if (!bus_) log().logWarning("The command line cannot reach this instance: " + why);
    return true;
}

void AppDelegate::applicationWillTerminate() {
    AttentionList::sharedInstance().stop();
    // The uninstall shuts the synchronisation down before its tool runs; once is enough.
    if (StateManager::sharedInstance().systemShutdown) return;
    // A scan still walking would queue work the shutdown no longer runs; the next start scans anyway.
    ChangeScan::sharedInstance().stop();
    StateManager::sharedInstance().shutdown();
}

int AppDelegate::run() {
    // SIGTERM and SIGINT end the main loop; every thread made from here on inherits the mask. SIGUSR2
    // only ends the signal thread itself once the program is done (no polling while idle).
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::thread signals([set] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            if (sig == SIGUSR2) return;
            log().logWarning("Signal " + std::to_string(sig) + ": shutting down");
            // Queued, so a signal during start-up still ends the loop once it runs.
            platform::MainQueue::shared().async([] { platform::MainQueue::shared().stop(); });
        }
    });

    int status = 0;
    if (applicationDidFinishLaunching()) {
        if (options_.didFinishLaunching) options_.didFinishLaunching();
        if (options_.mainLoop)
            options_.mainLoop();
        else
            platform::MainQueue::shared().runMainLoop();
        bus_.reset();  // no command may arrive while the engine goes down
        if (options_.willTerminate) options_.willTerminate();
        applicationWillTerminate();
    } else {
        status = 1;
        bus_.reset();
        if (auto link = KernelCommunicator::current()) link->closeConnection();
    }
    pthread_kill(signals.native_handle(), SIGUSR2);
    signals.join();
    log().flush();
    return status;
}

platform::CommandReply AppDelegate::flipConnection(bool paused) {
    switch (StateManager::sharedInstance().chooseServerContact(!paused)) {
        case StateManager::ContactChoice::forcedByAdministrator:
            return {false, "Server contact is controlled by the system administrator"};
        case StateManager::ContactChoice::notStored:
            return {false, "Could not store the choice; it lasts until the next start"};
        case StateManager::ContactChoice::applied:
            break;
    }
    return {true, paused ? "Paused" : "Resumed"};
}

std::string AppDelegate::statusText(bool json) {
    auto& state = StateManager::sharedInstance();
    auto bar = StatusBarManager::sharedInstance().state();
    auto& timeline = TimeLineManager::sharedInstance();
    nlohmann::json doc;
    doc["network"] = state.networkAvailable.load();
    doc["serverContactAllowed"] = state.allowServerCommunication.load();
    doc["paused"] = timeline.suspended();
    doc["activity"] = bar.uploadFile ? "uploading" : bar.downloadFile ? "downloading" : "idle";
    if (bar.uploadFile) doc["uploading"] = *bar.uploadFile;
    if (bar.downloadFile) doc["downloading"] = *bar.downloadFile;
    // Read now rather than from the tray's state, which hears of bytes moving only a few times a second.
    const auto transfers = Transfers::shared().list();
    doc["transfers"] = transfersJson(transfers);
    doc["pendingEvents"] = timeline.eventCount();
    doc["server"] = ServerCredentials::sharedInstance().serverName();
    // A failed automatic logon waits for the user; headless, this is where they see it.
    doc["passwordRequired"] = ServerCredentials::sharedInstance().passwordRequired.load();
    doc["volumes"] = nlohmann::json::array();
    for (const auto& v : VolumeManager::sharedInstance().volumeList()) {
        if (v->state == VolumeDetail::volumeStates::InLocation) {
            for (const auto& pair : v->inLocationList)
                doc["volumes"].push_back({{"name", v->volumeName},
                                          {"state", "InLocation"},
                                          {"mountPoint", pair.second},
                                          {"serverFolder", pair.first},
                                          {"mounted", isMountPoint(pair.second)}});
            continue;
        }
        doc["volumes"].push_back({{"name", v->volumeName},
                                  {"state", VolumeDetail::rawValue(v->state)},
                                  {"mountPoint", v->localFolder},
                                  {"mounted", isMountPoint(v->localFolder)}});
    }
    doc["errors"] =
        AttentionList::findItemsInError(VolumeManager::sharedInstance().activeVolumesList()).size();
    doc["awaitingDeleteConfirmation"] = SyncFolder::foldersAwaitingConfirmation();
    // Changes that kept failing to reach the server: set aside, tried again later, shown here.
    doc["waiting"] = nlohmann::json::array();
    for (const auto& w : timeline.waitingEvents())
        doc["waiting"].push_back({{"change", w.description}, {"reason", w.reason}, {"attempts", w.attempts}});
    // Items that can never be sent (names that are not UTF-8, paths too long): never silently local.
    auto unsynchronisable = ChangeScan::sharedInstance().notSynchronised();
    doc["notSynchronised"] = {{"count", unsynchronisable.size()}, {"items", nlohmann::json::array()}};
    for (size_t i = 0; i < unsynchronisable.size() && i < kNotSynchronisedShown; ++i)
        doc["notSynchronised"]["items"].push_back(
            {{"path", unsynchronisable[i].path}, {"reason", unsynchronisable[i].reason}});
    if (json) return doc.dump(2);
    std::string out;
    out +=
        std::string("Network:        ") + (doc["network"].get<bool>() ? "available" : "not available") + "\n";
    out += std::string("Server contact: ") +
           (doc["serverContactAllowed"].get<bool>() ? "allowed" : "paused") + "\n";
    out += "Server:         " + doc["server"].get<std::string>() + "\n";
    if (doc["passwordRequired"].get<bool>()) out += "Log on:         password needed (tidewell login)\n";
    out += "Activity:       " + doc["activity"].get<std::string>();
    if (bar.uploadFile) out += " " + *bar.uploadFile;
    if (bar.downloadFile) out += " " + *bar.downloadFile;
    out += "\n";
    if (!transfers.empty()) out += "Transfers:\n" + transfersText(transfers);
    out += "Pending events: " + std::to_string(doc["pendingEvents"].get<size_t>()) + "\n";
    out += "Items in error: " + std::to_string(doc["errors"].get<size_t>()) + "\n";
    out += "Volumes:\n";
    for (const auto& v : doc["volumes"])
        out += "  " + v["name"].get<std::string>() + "  " + v["state"].get<std::string>() + "  " +
               v["mountPoint"].get<std::string>() + (v["mounted"].get<bool>() ? "  (mounted)" : "") + "\n";
    if (!doc["waiting"].empty()) {
        out += "Waiting to reach the server (tried again later):\n";
        for (const auto& w : doc["waiting"])
            out += "  " + w["change"].get<std::string>() + " (" + w["reason"].get<std::string>() + ")\n";
    }
    if (!unsynchronisable.empty()) {
        out += "Not synchronised (" + std::to_string(unsynchronisable.size()) +
               " items, kept on this computer only):\n";
        for (const auto& item : doc["notSynchronised"]["items"])
            out += "  " + item["path"].get<std::string>() + " (" + item["reason"].get<std::string>() + ")\n";
        if (unsynchronisable.size() > kNotSynchronisedShown)
            out += "  ... and " + std::to_string(unsynchronisable.size() - kNotSynchronisedShown) + " more\n";
    }
    if (!doc["awaitingDeleteConfirmation"].empty()) {
        out += "Removals held until you confirm them (tidewell confirm-deletes FOLDER):\n";
        for (const auto& f : doc["awaitingDeleteConfirmation"]) out += "  " + f.get<std::string>() + "\n";
    }
    return out;
}

platform::CommandReply AppDelegate::command(const std::vector<std::string>& args) {
    if (args.empty()) return {false, "no command"};
    const std::string& verb = args[0];
    auto& vm = VolumeManager::sharedInstance();
    if (verb == "status") return {true, statusText(args.size() > 1 && args[1] == "--json")};
    if (verb == "pause") return flipConnection(true);
    if (verb == "resume") return flipConnection(false);
    if (verb == "volumes") {
        std::string out;
        for (const auto& name : vm.getMenuList()) {
            auto v = vm.findVolume(name);
            out += name + "  " + (v ? VolumeDetail::rawValue(v->state) : "") + "\n";
        }
        return {true, out};
    }
    if ((verb == "mount" || verb == "unmount") && args.size() == 2) {
        bool ok = verb == "mount" ? vm.activateVolume(args[1]) : vm.deactivateVolume(args[1]);
        if (!ok) return {false, "No volume named " + args[1]};
        return {true, (verb == "mount" ? "Mounting " : "Unmounted ") + args[1]};
    }
    if (verb == "sync") {
        std::string path = args.size() > 1 ? args[1] : "/";
        TimeLineManager::sharedInstance().addSyncFolderEvent(path, true);
        return {true, "Listing of " + path + " requested"};
    }
    if (verb == "confirm-deletes" && args.size() == 2) {
        if (!SyncFolder::confirmRemovals(args[1]))
            return {false, "No removals are waiting for confirmation in " + args[1]};
        AttentionList::sharedInstance().heldFoldersChanged();
        return {true, "Removals in " + args[1] + " confirmed; the folder is listed again"};
    }
    if (verb == "login-changed") {
        // `tidewell login` stored new credentials: take them, and list everything with them.
        auto& credentials = ServerCredentials::sharedInstance();
        if (auto protocol = platform::Defaults::standard().stringValue("serverprotocol"))
            credentials.setServerProtocol(*protocol);
        credentials.passwordRequired = false;
        credentials.tokenValid = false;
        credentials.fetchKeychainDetails();
        auto& state = StateManager::sharedInstance();
        state.triggerChanges();
        TimeLineManager::sharedInstance().addSyncFolderEvent("/", true);
        return {true, "The running instance now uses " + credentials.userName() + " at " +
                          credentials.serverName()};
    }
    if (verb == "errors") {
        auto items = AttentionList::findItemsInError(vm.activeVolumesList());
        return {true, errorsText(items, SyncFolder::foldersAwaitingConfirmation(),
                                 args.size() > 1 && args[1] == "--json")};
    }
    if (verb == "resolve") {
        auto reply = resolveCommand(ErrorResolutionManager::sharedInstance(), args);
        if (args.size() > 1) AttentionList::sharedInstance().itemChanged(args[1]);
        return reply;
    }
    if (verb == "open" && args.size() == 2) {
        // Paths arrive as the caller typed them, resolved against its folder by the command line.
        if (args[1].empty() || args[1].front() != '/') return {false, "open needs a full path"};
        OpenFile::application(args[1]);
        return {true, "Opening " + args[1]};
    }
    if (verb == "quit") {
        // Answered first: the shutdown sequence runs on the main queue once this call has returned.
        platform::MainQueue::shared().async([] { platform::MainQueue::shared().stop(); });
        return {true, "Quitting"};
    }
    return {false, "unknown command " + verb};
}

bool AppDelegate::scripting(const std::string& command) {
    std::string c = lowercased(command);
    if (c == "idle") return TimeLineManager::sharedInstance().idle();
    if (c == "downloading") return StatusBarManager::sharedInstance().downloadActive();
    if (c == "uploading") return StatusBarManager::sharedInstance().uploadActive();
    return false;
}

}  // namespace tw
