#include "Pinewick/app/CommandLine.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "Pinewick/app/ErrorCommands.h"
#include "Pinewick/app/TransferStatus.h"
#include "Pinewick/config/TextUtils.h"
#include "Pinewick/engine/ChangeScan.h"
#include "Pinewick/engine/OpenFile.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/SyncFolder.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/engine/TreeSync.h"
#include "Pinewick/metadata/ConsistencyCheckDataBase.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/ui/AttentionList.h"
#include "Pinewick/ui/ErrorResolutionManager.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/files.h"

namespace tw {
namespace {

// How many of the items that cannot be synchronised the status names (all of them are counted).
constexpr size_t kNotSynchronisedShown = 10;

bool isMountPoint(const std::string& folder) {
    auto self = platform::attributesOfItem(folder);
    auto parent = platform::attributesOfItem(std::filesystem::path(folder).parent_path().string());
    return self && parent && self->systemNumber != parent->systemNumber;
}

}  // namespace

platform::CommandReply CommandLine::flipConnection(bool paused) {
    switch (parts_.runState.chooseServerContact(!paused)) {
        case StateManager::ContactChoice::forcedByAdministrator:
            return {false, "Server contact is controlled by the system administrator"};
        case StateManager::ContactChoice::notStored:
            return {false, "Could not store the choice; it lasts until the next start"};
        case StateManager::ContactChoice::applied:
            break;
    }
    return {true, paused ? "Paused" : "Resumed"};
}

nlohmann::json CommandLine::comparedInFull(const std::string& volumeUUID) {
    if (volumeUUID.empty()) return nullptr;
    auto oldest = parts_.consistencyDatabase.oldestRefresh(volumeUUID);
    // Folders known but never compared carry the earliest date there is.
    if (!oldest || *oldest == std::chrono::system_clock::time_point{}) return nullptr;
    std::time_t t = std::chrono::system_clock::to_time_t(*oldest);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string CommandLine::statusText(bool json) {
    auto& state = parts_.runState;
    auto bar = parts_.statusBar.state();
    auto& timeline = parts_.timeline;
    nlohmann::json doc;
    doc["network"] = state.networkAvailable.load();
    doc["serverContactAllowed"] = state.allowServerCommunication.load();
    doc["paused"] = timeline.suspended();
    doc["activity"] = bar.uploadFile ? "uploading" : bar.downloadFile ? "downloading" : "idle";
    if (bar.uploadFile) doc["uploading"] = *bar.uploadFile;
    // Uploads of distinct files run side by side: every one of them, not only the oldest.
    doc["uploads"] = bar.uploadFiles;
    if (bar.downloadFile) doc["downloading"] = *bar.downloadFile;
    // Read now rather than from the tray's state, which hears of bytes moving only a few times a second.
    const auto transfers = Transfers::shared().list();
    doc["transfers"] = transfersJson(transfers);
    doc["pendingEvents"] = timeline.eventCount() + timeline.heldCloseCount();
    doc["server"] = parts_.credentials.serverName();
    // A failed automatic logon waits for the user; headless, this is where they see it.
    doc["passwordRequired"] = parts_.credentials.passwordRequired.load();
    doc["volumes"] = nlohmann::json::array();
    for (const auto& v : parts_.volumes.volumeList()) {
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
                                  {"mounted", isMountPoint(v->localFolder)},
                                  {"comparedInFull", comparedInFull(v->volumeUUID())}});
    }
    doc["errors"] = AttentionList::findItemsInError(parts_.volumes.activeVolumesList(),
                                                    AttentionList::ignoredBy(parts_.timeline))
                        .size();
    doc["awaitingDeleteConfirmation"] = SyncFolder::foldersAwaitingConfirmation();
    // Changes that kept failing to reach the server: set aside, tried again later, shown here.
    doc["waiting"] = nlohmann::json::array();
    for (const auto& w : timeline.waitingEvents())
        doc["waiting"].push_back({{"change", w.description}, {"reason", w.reason}, {"attempts", w.attempts}});
    // Items that can never be sent (names that are not UTF-8, paths too long): never silently local.
    auto unsynchronisable = parts_.changeScan.notSynchronised();
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
    if (bar.uploadFiles.size() > 1) out += " and " + std::to_string(bar.uploadFiles.size() - 1) + " more";
    if (bar.downloadFile) out += " " + *bar.downloadFile;
    out += "\n";
    if (!transfers.empty()) out += "Transfers:\n" + transfersText(transfers);
    out += "Pending events: " + std::to_string(doc["pendingEvents"].get<size_t>()) + "\n";
    out += "Items in error: " + std::to_string(doc["errors"].get<size_t>()) + "\n";
    out += "Volumes:\n";
    for (const auto& v : doc["volumes"])
        out += "  " + v["name"].get<std::string>() + "  " + v["state"].get<std::string>() + "  " +
               v["mountPoint"].get<std::string>() + (v["mounted"].get<bool>() ? "  (mounted)" : "") +
               (v.contains("comparedInFull")
                    ? "  compared in full " + (v["comparedInFull"].is_string()
                                                   ? "at " + v["comparedInFull"].get<std::string>()
                                                   : std::string("not yet"))
                    : std::string()) +
               "\n";
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

platform::CommandReply CommandLine::command(const std::vector<std::string>& args) {
    if (args.empty()) return {false, "no command"};
    const std::string& verb = args[0];
    auto& vm = parts_.volumes;
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
        // Every folder under the path, whatever its freshness; the command line follows the job.
        std::string path = args.size() > 1 ? args[1] : "/";
        if (path != "/") {
            auto roots = parts_.volumes.activeVolumesList();
            bool root = std::find(roots.begin(), roots.end(), path) != roots.end();
            if (!platform::isFolder(path) || (!root && parts_.timeline.inIgnoreList(path)))
                return {false, path + " is not a synchronised folder"};
        }
        uint64_t job = parts_.treeSync.start(path);
        return {true, "job " + std::to_string(job) + ": listing " +
                          (path == "/" ? std::string("every mappoint") : path) +
                          " and every folder under it"};
    }
    if (verb == "sync-progress" && args.size() == 2) {
        uint64_t job = 0;
        auto [end, error] = std::from_chars(args[1].data(), args[1].data() + args[1].size(), job);
        auto progress = error == std::errc() && end == args[1].data() + args[1].size()
                            ? parts_.treeSync.progress(job)
                            : std::nullopt;
        if (!progress) return {false, "No listing job " + args[1]};
        return {true, std::string(progress->done ? "done" : "running") + " " +
                          std::to_string(progress->listed) + " " + std::to_string(progress->failed) + " " +
                          std::to_string(progress->known)};
    }
    if (verb == "confirm-deletes" && args.size() == 2) {
        if (!SyncFolder::confirmRemovals(parts_.timeline, args[1]))
            return {false, "No removals are waiting for confirmation in " + args[1]};
        parts_.attention.heldFoldersChanged();
        return {true, "Removals in " + args[1] + " confirmed; the folder is listed again"};
    }
    if (verb == "login-changed") {
        // `tidewell login` stored new credentials: take them, and list everything with them.
        auto& credentials = parts_.credentials;
        if (auto protocol = platform::Defaults::standard().stringValue("serverprotocol"))
            credentials.setServerProtocol(*protocol);
        credentials.passwordRequired = false;
        credentials.tokenValid = false;
        credentials.fetchKeychainDetails();
        auto& state = parts_.runState;
        state.triggerChanges();
        parts_.timeline.addSyncFolderEvent("/", true);
        return {true, "The running instance now uses " + credentials.userName() + " at " +
                          credentials.serverName()};
    }
    if (verb == "errors") {
        auto items = AttentionList::findItemsInError(vm.activeVolumesList(),
                                                     AttentionList::ignoredBy(parts_.timeline));
        return {true, errorsText(items, SyncFolder::foldersAwaitingConfirmation(),
                                 args.size() > 1 && args[1] == "--json")};
    }
    if (verb == "resolve") {
        auto reply = resolveCommand(parts_.errorResolution, args);
        if (args.size() > 1) parts_.attention.itemChanged(args[1]);
        return reply;
    }
    if (verb == "open" && args.size() == 2) {
        // Paths arrive as the caller typed them, resolved against its folder by the command line.
        if (args[1].empty() || args[1].front() != '/') return {false, "open needs a full path"};
        OpenFile::application(parts_.statusBar, parts_.credentials.environment(), args[1]);
        return {true, "Opening " + args[1]};
    }
    if (verb == "quit") {
        // Answered first: the shutdown sequence runs on the main queue once this call has returned.
        platform::MainQueue::shared().async([] { platform::MainQueue::shared().stop(); });
        return {true, "Quitting"};
    }
    return {false, "unknown command " + verb};
}

bool CommandLine::scripting(const std::string& command) {
    std::string c = lowercased(command);
    if (c == "idle") return parts_.timeline.idle();
    if (c == "downloading") return parts_.statusBar.downloadActive();
    if (c == "uploading") return parts_.statusBar.uploadActive();
    return false;
}

}  // namespace tw
