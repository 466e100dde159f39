#include "Pinewick/volumes/VolumeManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "Pinewick/config/Log.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/volumes/EngineLink.h"
#include "Pinewick/volumes/KernelCommunicator.h"
#include "Pinewick/volumes/SpotLight.h"
#include "Pinewick/volumes/VolumeIcon.h"
#include "platform/casefold.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/fd.h"
#include "platform/files.h"
#include "platform/notifications.h"
#include "platform/overmark.h"
#include "platform/places.h"
#include "platform/process.h"
#include "platform/pwevent.h"
#include "platform/pwnames.h"
#include "platform/volpath.h"

namespace tw {
namespace {

// Splits "/a/b/c" into its non-empty components.
std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> out;
    std::stringstream s(path);
    std::string part;
    while (std::getline(s, part, '/'))
        if (!part.empty()) out.push_back(part);
    return out;
}

// The volume UUID recorded on the volume's root, provided the root is the mount with that device.
std::string uuidOfRoot(const std::string& root, uint64_t device) {
    if (root.empty()) return "";
    auto attrs = platform::attributesOfItem(root);
    if (!attrs || attrs->systemNumber != device) return "";
    std::string uuid = platform::getXattr(root, pw::kVolumeUUIDAttribute, 128).value_or("");
    // An image mount keeps its UUID in the image's description, which the watcher hosting it knows.
    if (uuid.empty()) uuid = platform::volumeUUIDForDevice(device);
    return uuid;
}

}  // namespace

std::string VolumeDetail::rawValue(volumeStates s) {
    switch (s) {
        case volumeStates::Visible:
            return "Visible";
        case volumeStates::Hidden:
            return "Hidden";
        case volumeStates::Dead:
            return "Dead";
        case volumeStates::InLocation:
            return "InLocation";
    }
    return "Hidden";
}

std::optional<VolumeDetail::volumeStates> VolumeDetail::stateFromRaw(const std::string& raw) {
    for (auto s : {volumeStates::Visible, volumeStates::Hidden, volumeStates::Dead, volumeStates::InLocation})
        if (rawValue(s) == raw) return s;
    return std::nullopt;
}

VolumeDetail::VolumeDetail(const std::string& name, const ServerConfigurationDetails& configuration)
    : localFolder(platform::volumesRoot() + "/" + name),
      serverFolder("/" + name),
      diskImage(configuration.supportFolder + name + volumeType),
      volumeName(name) {
    if (auto stored = configuration.retrieveUserVolumeState(name))
        if (auto s = stateFromRaw(*stored); s && *s != volumeStates::InLocation) state = *s;
    if (auto kernel = KernelCommunicator::current()) kernel->addWatchPath(localFolder);
}

bool VolumeDetail::safeVolumeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::shared_ptr<VolumeDetail> VolumeDetail::inLocation(const std::string& localFolder,
                                                       const std::string& serverFolder) {
    auto parts = components(serverFolder);
    if (parts.empty()) return nullptr;
    std::shared_ptr<VolumeDetail> v(new VolumeDetail());
    v->volumeName = parts[0];
    v->localFolder = "ILS";
    v->serverFolder = "ILS";
    v->available = true;
    v->state = volumeStates::InLocation;
    v->addAdditionalInLocationPath(localFolder, serverFolder);
    if (auto attrs = platform::attributesOfItem(v->inLocationList.front().second))
        v->setVolumeSystemNumber(attrs->systemNumber);
    return v;
}

void VolumeDetail::addAdditionalInLocationPath(const std::string& localFolder,
                                               const std::string& serverFolder) {
    std::string expanded = platform::expandTilde(localFolder);
    inLocationList.emplace_back(serverFolder, expanded);
    platform::makeFolders(expanded);
    if (auto kernel = KernelCommunicator::current()) kernel->addWatchPath(expanded);
}

void VolumeDetail::setVolumeSystemNumber(uint64_t number) {
    volumeSystemNumber_ = number;
    std::string uuid;
    if (number != 0) {
        std::string root = state == volumeStates::InLocation
                               ? (inLocationList.empty() ? std::string() : inLocationList.front().second)
                               : localFolder;
        uuid = uuidOfRoot(root, number);
    }
    std::lock_guard lock(uuidMutex_);
    volumeUUID_ = uuid;
}

std::string VolumeDetail::volumeUUID() const {
    std::lock_guard lock(uuidMutex_);
    return volumeUUID_;
}

std::string VolumeDetail::description() const {
    std::string list = "[";
    for (size_t i = 0; i < inLocationList.size(); ++i) {
        if (i) list += ", ";
        list += "(serverFolder: \"" + inLocationList[i].first + "\", localFolder: \"" +
                inLocationList[i].second + "\")";
    }
    list += "]";
    return "VolumeDetail\r{" + std::string("\r       Volume Name: ") + volumeName +
           "\r      Local Folder: " + localFolder + "\r     Server Folder: " + serverFolder +
           "\r             State: " + rawValue(state) + "\r        Disk Image: " + diskImage +
           "\r     System Number: " + std::to_string(volumeSystemNumber()) +
           "\r       Volume UUID: " + volumeUUID() + "\r  In Location List: " + list + "\r}\r";
}

// ---- VolumeManager

VolumeManager::VolumeManager(const ServerConfigurationDetails& configuration,
                             std::function<MetadataDataBase&()> mirrorInto)
    : configuration_(configuration) {
    if (mirrorInto)
        mirror_ = std::make_unique<RecordMirror>(
            [this](uint64_t number) { return volumeNodeToVolumeUUID(number); }, std::move(mirrorInto));
}

VolumeManager::~VolumeManager() {
    std::unique_lock lock(backgroundMutex_);
    // Each of them ends: an image tool or a mount runs under its own time limit.
    backgroundDone_.wait(lock, [this] { return background_ == 0; });
}

void VolumeManager::inBackground(platform::DispatchQueue& queue, std::function<void()> work) {
    {
        std::lock_guard lock(backgroundMutex_);
        ++background_;
    }
    queue.async([this, work = std::move(work)] {
        work();
        // Notified under the lock: once the count is back to zero the destructor may end, and this
        // manager with it.
        std::lock_guard lock(backgroundMutex_);
        --background_;
        backgroundDone_.notify_all();
    });
}

void VolumeManager::setEngineLink(std::shared_ptr<const EngineLink> link) {
    if (!link) link = std::make_shared<const EngineLink>();
    std::lock_guard lock(mutex_);
    engine_ = std::move(link);
}

std::shared_ptr<const EngineLink> VolumeManager::engineLink() const {
    std::lock_guard lock(mutex_);
    return engine_;
}

void VolumeManager::addVolume(std::shared_ptr<VolumeDetail> volume) {
    if (!volume) return;
    std::lock_guard lock(mutex_);
    volumeList_.push_back(std::move(volume));
}

void VolumeManager::clear() {
    std::lock_guard lock(mutex_);
    volumeList_.clear();
}

std::vector<std::shared_ptr<VolumeDetail>> VolumeManager::volumeList() const {
    std::lock_guard lock(mutex_);
    return volumeList_;
}

void VolumeManager::resolveInLocationSync(
    const std::vector<std::pair<std::string, std::string>>& serverToLocal) {
    for (const auto& [serverFolder, localFolder] : serverToLocal) {
        auto parts = components(serverFolder);
        if (parts.empty()) {
            log().logWarning("Could not handle In Location Mapping " + localFolder + " : " + serverFolder);
            continue;
        }
        auto existing = findVolume(parts[0]);
        if (!existing) {
            addVolume(VolumeDetail::inLocation(localFolder, serverFolder));
        } else if (existing->state == VolumeDetail::volumeStates::InLocation) {
            std::lock_guard lock(mutex_);
            existing->addAdditionalInLocationPath(localFolder, serverFolder);
        } else {
            log().logWarning("We already have the volume " + parts[0] + " in use.");
        }
    }
}

std::shared_ptr<VolumeDetail> VolumeManager::findVolume(const std::string& volumeName) const {
    std::lock_guard lock(mutex_);
    for (const auto& v : volumeList_)
        if (platform::sameNameIgnoringCase(v->volumeName, volumeName)) return v;
    return nullptr;
}

std::shared_ptr<VolumeDetail> VolumeManager::findVolume(const LocalPath& localPath) const {
    auto [changed, rest] = stripVolumePrefix(localPath.value);
    if (changed) {
        // rest is "/Name/..." or "/Name".
        size_t end = rest.find('/', 1);
        std::string name = rest.substr(1, end == std::string::npos ? std::string::npos : end - 1);
        return findVolume(name);
    }
    std::lock_guard lock(mutex_);
    for (const auto& v : volumeList_) {
        if (v->state != VolumeDetail::volumeStates::InLocation) continue;
        for (const auto& pair : v->inLocationList)
            if (platform::restBelowFolderIgnoringCase(localPath.value, pair.second)) return v;
    }
    return nullptr;
}

std::pair<bool, std::string> VolumeManager::stripVolumePrefix(const std::string& path) {
    auto rest = platform::restBelowFolderIgnoringCase(path, platform::volumesRoot());
    if (rest && !rest->empty()) return {true, std::string(*rest)};
    return {false, path};
}

std::optional<std::pair<std::string, std::string>> VolumeManager::inLocationPairFor(
    const std::string& path) const {
    std::lock_guard lock(mutex_);
    for (const auto& v : volumeList_) {
        if (v->state != VolumeDetail::volumeStates::InLocation) continue;
        for (const auto& pair : v->inLocationList)
            if (platform::restBelowFolderIgnoringCase(path, pair.second)) return pair;
    }
    return std::nullopt;
}

std::string VolumeManager::ignoreMount(const std::string& path) const {
    std::lock_guard lock(mutex_);
    for (const auto& v : volumeList_) {
        std::vector<std::string> roots;
        if (v->state == VolumeDetail::volumeStates::InLocation) {
            for (const auto& pair : v->inLocationList) roots.push_back(pair.second);
        } else {
            roots.push_back(v->localFolder);
        }
        for (const auto& root : roots) {
            std::string prefix = root + "/";
            if (path.compare(0, prefix.size(), prefix) == 0) return path.substr(prefix.size());
        }
    }
    return path;
}

bool VolumeManager::inLocationRoot(const std::string& path) const {
    std::lock_guard lock(mutex_);
    for (const auto& v : volumeList_) {
        if (v->state != VolumeDetail::volumeStates::InLocation) continue;
        for (const auto& pair : v->inLocationList)
            if (platform::sameNameIgnoringCase(pair.second, path)) return true;
    }
    return false;
}

std::string VolumeManager::serverFromLocal(const std::string& localPath) const {
    {
        std::lock_guard lock(mutex_);
        if (volumeList_.empty()) return deadMappoint;
    }
    auto [changed, rest] = stripVolumePrefix(localPath);
    if (changed) return rest;
    if (auto pair = inLocationPairFor(localPath)) {
        return pair->first + std::string(*platform::restBelowFolderIgnoringCase(localPath, pair->second));
    }
    return deadMappoint;
}

std::string VolumeManager::volumeNodeToVolumeUUID(uint64_t volumeSystemNumber) const {
    std::vector<std::shared_ptr<VolumeDetail>> unnumbered;
    {
        std::lock_guard lock(mutex_);
        for (const auto& v : volumeList_) {
            if (v->volumeSystemNumber() == volumeSystemNumber) return v->volumeUUID();
            if (v->volumeSystemNumber() == 0 && v->state == VolumeDetail::volumeStates::Visible)
                unnumbered.push_back(v);
        }
    }
    if (volumeSystemNumber == 0) return "";
    // The mount is visible (and its items written, reported and uploaded) before the image tool that
    // made it returns and the mount step learns the device. A record saved then would leave no row,
    // and a delete or move made while this program is not running could not be found from it. Looked
    // at outside the lock: the mount point is a file system another process serves.
    for (const auto& v : unnumbered) {
        if (!platform::isMountPoint(v->localFolder)) continue;
        auto attrs = platform::attributesOfItem(v->localFolder, nullptr, false);
        if (!attrs || attrs->systemNumber != volumeSystemNumber) continue;
        v->setVolumeSystemNumber(volumeSystemNumber);
        return v->volumeUUID();
    }
    return "";
}

uint64_t VolumeManager::volumeNodeFromVolumeUUID(const std::string& uuid) const {
    std::lock_guard lock(mutex_);
    for (const auto& v : volumeList_)
        if (!uuid.empty() && v->volumeUUID() == uuid) return v->volumeSystemNumber();
    return 0;
}

std::vector<std::string> VolumeManager::activeVolumesList() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& v : volumeList_) {
        if (v->state == VolumeDetail::volumeStates::Visible) out.push_back(v->localFolder);
        if (v->state == VolumeDetail::volumeStates::InLocation)
            for (const auto& pair : v->inLocationList) out.push_back(pair.second);
    }
    return out;
}

// ---- mounting, ejecting and reconciling

namespace {

using namespace std::chrono_literals;

// Runs one of the disk-image tools and logs what went wrong, with the tool's own words, unless the
// caller expects it may fail and has a way on.
bool runHdiutil(const std::vector<std::string>& args, bool logFailure = true) {
    std::vector<std::string> argv{platform::toolPath("tidewell-hdiutil")};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = platform::runProcess(argv, 2min, true);
    if (r.succeeded()) return true;
    if (!logFailure) return false;
    std::string what = argv[0];
    for (const auto& a : args) what += " " + a;
    std::string why = !r.started   ? r.error
                      : r.timedOut ? std::string("timed out")
                                   : "exit status " + std::to_string(r.exitCode);
    log().logWarning("Disk image tool failed (" + why + "): " + what +
                     (r.output.empty() ? "" : ": " + r.output));
    return false;
}

// Names a file manager uses for a trash at the top of a mount: ours must never take files out of
// the synchronised area.
std::vector<std::string> trashNames() {
    return {".Trashes", ".Trash", ".Trash-" + std::to_string(::getuid())};
}

bool folderIsEmpty(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_empty(path, ec) && !ec;
}

std::string timestampForName() {
    char buf[32];
    time_t now = ::time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(buf, sizeof buf, "%Y-%m-%d %H.%M.%S", &tm);
    return buf;
}

}  // namespace

void VolumeManager::setState(const std::shared_ptr<VolumeDetail>& volume, VolumeDetail::volumeStates state,
                             bool store) {
    volume->state = state;
    if (store && !platform::Defaults::standard().set(volume->volumeName, VolumeDetail::rawValue(state)))
        log().logWarning("Could not store the state " + VolumeDetail::rawValue(state) + " of volume " +
                         volume->volumeName);
}

void VolumeManager::createVolume(const std::shared_ptr<VolumeDetail>& volume) {
    {
        std::lock_guard lock(creationsMutex_);
        ++creations_;
    }
    auto done = [this] {
        std::lock_guard lock(creationsMutex_);
        --creations_;
        creationsDone_.notify_all();
    };
    static auto queue = platform::DispatchQueue::concurrent("com.meridot.tidewell.volumeCreate");
    inBackground(*queue, [this, volume, done] {
        std::error_code ec;
        if (!std::filesystem::exists(volume->diskImage, ec))
            runHdiutil({"create", "-type", "SPARSEBUNDLE", "-size", "1t", "-fs", "HFS+", "-volname",
                        volume->volumeName, volume->diskImage});
        volume->available = std::filesystem::exists(volume->diskImage, ec);
        done();
    });
}

bool VolumeManager::waitForCreations(std::chrono::milliseconds timeout) {
    std::unique_lock lock(creationsMutex_);
    return creationsDone_.wait_for(lock, timeout, [this] { return creations_ == 0; });
}

bool VolumeManager::mountVolume(const std::shared_ptr<VolumeDetail>& volume, bool display) {
    TW_TRACE_IN("mountVolume(" + volume->volumeName + ")");
    // A volume being created in the background cannot be attached before its image exists.
    waitForCreations(2min);
    if (!runHdiutil({"attach", volume->diskImage}) || !platform::isMountPoint(volume->localFolder)) {
        // Without the mount, whatever the later steps wrote would land in an unwatched folder.
        log().logWarning("Volume " + volume->volumeName + " could not be mounted at " + volume->localFolder);
        TW_TRACE_OUT("mountVolume(" + volume->volumeName + ")");
        return false;
    }
    // The device is learnt before anything slow (branding runs desktop tools): uploads finishing in
    // the meantime would find no volume for their item and leave no row, and a later replace or move
    // of the item could not tell which server revision it continues.
    if (auto attrs = platform::attributesOfItem(volume->localFolder))
        volume->setVolumeSystemNumber(attrs->systemNumber);
    // The image's content folder, as the image tool names it to the watcher.
    platform::setBackingFolder(volume->localFolder,
                               std::filesystem::absolute(std::filesystem::path(volume->diskImage) / "content")
                                   .lexically_normal()
                                   .string());
    disableTrash(volume);
    brandVolume(volume);
    if (!SpotLight::isSpotlightActive(volume->localFolder))
        SpotLight::changeSpotlight(volume->localFolder, "on");
    auto link = engineLink();
    if (link->addSyncFolderEvent) link->addSyncFolderEvent(volume->localFolder, false);
    std::shared_ptr<const ServerFileObject> details;
    {
        std::lock_guard lock(mutex_);
        details = volume->serverDetails;
    }
    if (details && link->refreshFolder) link->refreshFolder(volume->localFolder, *details);
    if (display) {
        if (link->revealFolder) link->revealFolder(volume->localFolder);
        // The file manager's toolbar needs no script on this desktop.
        log().logDebug("Toolbar of " + volume->volumeName + " left as the file manager shows it");
    }
    TW_TRACE_OUT("mountVolume(" + volume->volumeName + ")");
    return true;
}

bool VolumeManager::attachInPlace(const std::string& folder) {
    if (platform::isMountPoint(folder)) return true;
    return runHdiutil({"attach-in-place", folder}) && platform::isMountPoint(folder);
}

namespace {
// Takes a volume out of the tree. A volume nothing uses is unmounted; one with files open (an editor
// holding a document, a shell inside it) is detached: it leaves the tree at once, and what the
// programs still write through their open files reaches the volume's folder, where the next scan
// finds it, rather than failing with an I/O error.
void ejectVolume(const std::string& folder) {
    if (runHdiutil({"eject", folder}, false) || !platform::isMountPoint(folder)) return;
    log().logWarning("Volume " + folder + " is in use; detached, its open files keep working until closed");
    runHdiutil({"eject", "-force", folder});
}
}  // namespace

void VolumeManager::unmountVolume(const std::shared_ptr<VolumeDetail>& volume) {
    if (volume->state == VolumeDetail::volumeStates::InLocation) {
        for (const auto& pair : volume->inLocationList)
            if (platform::isMountPoint(pair.second)) ejectVolume(pair.second);
    } else {
        platform::setBackingFolder(volume->localFolder, "");
        if (platform::isMountPoint(volume->localFolder)) ejectVolume(volume->localFolder);
    }
    volume->setVolumeSystemNumber(0);
}

void VolumeManager::mountVolumes(std::chrono::milliseconds timeout) {
    TW_TRACE_IN("mountVolumes()");
    auto pending = std::make_shared<std::atomic<int>>(0);
    platform::Semaphore finished(0);
    for (const auto& volume : volumeList()) {
        if (volume->state == VolumeDetail::volumeStates::InLocation) {
            for (const auto& pair : volume->inLocationList) {
                if (!attachInPlace(pair.second))
                    log().logWarning("In-location folder " + pair.second + " could not be attached");
                else if (auto attrs = platform::attributesOfItem(pair.second))
                    volume->setVolumeSystemNumber(attrs->systemNumber);
            }
            continue;
        }
        if (volume->state != VolumeDetail::volumeStates::Visible) continue;
        if (platform::isMountPoint(volume->localFolder)) {
            // Still mounted from before (this program was killed, the watcher was not): its device is
            // learnt here, or records would mirror nothing and its moves and deletes could not be told
            // from a missing volume.
            if (volume->volumeSystemNumber() == 0)
                if (auto attrs = platform::attributesOfItem(volume->localFolder, nullptr, false))
                    volume->setVolumeSystemNumber(attrs->systemNumber);
            continue;
        }
        ++*pending;
        inBackground(platform::DispatchQueue::global(), [this, volume, &finished] {
            mountVolume(volume, false);
            finished.signal();
        });
    }
    // Waits for the mounts themselves, so that the start-up listing finds them in place.
    int left = pending->load();
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (left > 0) {
        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0 || !finished.waitFor(remaining)) {
            // The tasks still hold `finished`; waiting for them is the only safe way out.
            log().logWarning("Mounting volumes takes longer than expected; waiting on");
            while (left > 0) {
                finished.wait();
                --left;
            }
            break;
        }
        --left;
    }
    TW_TRACE_OUT("mountVolumes()");
}

void VolumeManager::unmountVolumes(std::chrono::milliseconds timeout) {
    TW_TRACE_IN("unmountVolumes()");
    (void)timeout;  // each eject is bounded by the tool's own time limit
    for (const auto& volume : volumeList())
        if (volume->state == VolumeDetail::volumeStates::Visible) unmountVolume(volume);
    TW_TRACE_OUT("unmountVolumes()");
}

void VolumeManager::detachInLocationFolders() {
    for (const auto& volume : volumeList())
        if (volume->state == VolumeDetail::volumeStates::InLocation) unmountVolume(volume);
}

bool VolumeManager::activateVolume(const std::string& name) {
    auto volume = findVolume(name);
    if (!volume || volume->state == VolumeDetail::volumeStates::InLocation) return false;
    setState(volume, VolumeDetail::volumeStates::Visible, true);
    inBackground(platform::DispatchQueue::global(), [this, volume] { mountVolume(volume, true); });
    storeList();
    return true;
}

bool VolumeManager::deactivateVolume(const std::string& name) {
    auto volume = findVolume(name);
    if (!volume || volume->state == VolumeDetail::volumeStates::InLocation) return false;
    unmountVolume(volume);
    setState(volume, VolumeDetail::volumeStates::Hidden, true);
    storeList();
    return true;
}

void VolumeManager::resolveVolumes(const std::vector<Mappoint>& mappoints) {
    TW_TRACE_IN("resolveVolumes()");
    auto link = engineLink();
    std::vector<std::shared_ptr<VolumeDetail>> newList;
    auto old = volumeList();
    for (const auto& mp : mappoints) {
        if (!VolumeDetail::safeVolumeName(mp.name)) {
            log().logWarning("Ignoring a mappoint whose name cannot be a folder: \"" + mp.name + "\"");
            continue;
        }
        bool resume = mp.diskType == "smb";
        auto existing = findVolume(mp.name);
        if (!existing) {
            auto volume = std::make_shared<VolumeDetail>(mp.name, configuration_);
            volume->available = false;
            volume->canResumeUploads = resume;
            {
                std::lock_guard lock(mutex_);
                volume->serverDetails = mp.entry;
            }
            newList.push_back(volume);
            createVolume(volume);
            continue;
        }
        existing->canResumeUploads = resume;
        newList.push_back(existing);
        switch (existing->state.load()) {
            case VolumeDetail::volumeStates::Dead:
            case VolumeDetail::volumeStates::Visible: {
                bool wasDead = existing->state == VolumeDetail::volumeStates::Dead;
                setState(existing, VolumeDetail::volumeStates::Visible, true);
                {
                    std::lock_guard lock(mutex_);
                    existing->serverDetails = mp.entry;
                }
                if (mp.entry && link->refreshFolder && platform::isMountPoint(existing->localFolder))
                    link->refreshFolder(existing->localFolder, *mp.entry);
                // A volume that comes back from the dead was ejected: it has to be mounted again.
                if (wasDead && !platform::isMountPoint(existing->localFolder))
                    inBackground(platform::DispatchQueue::global(),
                                 [this, existing] { mountVolume(existing, false); });
                else if (link->addSyncFolderEvent)
                    link->addSyncFolderEvent(existing->localFolder, true);
                break;
            }
            case VolumeDetail::volumeStates::InLocation:
                for (const auto& pair : existing->inLocationList) {
                    CorvaneExtendedAttributes record(pair.second);
                    auto wanted = mp.automatic ? CEAStatus::keys::Regular : CEAStatus::keys::Placeholder;
                    if (record.ceaStatus.status != wanted) record.ceaStatus.setStatus(wanted);
                    // Unwritten (the record logged why), the folder keeps its former state until the
                    // next refresh of the volumes sets it again; the listing below runs either way.
                    (void)record.save();
                    if (link->addSyncFolderEvent) link->addSyncFolderEvent(pair.second, true);
                }
                break;
            case VolumeDetail::volumeStates::Hidden:
                break;
        }
    }
    // A volume the server stopped offering stays known (Dead, or an in-location entry), so that it
    // comes back Visible, with its image, as soon as the server lists it again.
    for (const auto& v : old)
        if (std::find(newList.begin(), newList.end(), v) == newList.end()) newList.push_back(v);
    {
        std::lock_guard lock(mutex_);
        volumeList_ = newList;
    }
    if (link->volumeMenuChanged) link->volumeMenuChanged();
    storeList();
    for (const auto& v : old) {
        bool listed = false;
        for (const auto& mp : mappoints)
            listed = listed || platform::sameNameIgnoringCase(mp.name, v->volumeName);
        if (listed) continue;
        if (v->state == VolumeDetail::volumeStates::InLocation) {
            for (const auto& pair : v->inLocationList)
                if (link->addGhostCleanupEvent) link->addGhostCleanupEvent(pair.second);
            continue;
        }
        setState(v, VolumeDetail::volumeStates::Dead, true);
        if (link->addRecoverVolumeEvent)
            link->addRecoverVolumeEvent(v);
        else
            inBackground(platform::DispatchQueue::global(platform::QoS::background),
                         [this, v] { unmountVolume(v); });
    }
    TW_TRACE_OUT("resolveVolumes()");
}

std::vector<std::string> VolumeManager::getMenuList() const {
    std::vector<std::string> names;
    for (const auto& v : volumeList())
        if (v->state == VolumeDetail::volumeStates::Visible || v->state == VolumeDetail::volumeStates::Hidden)
            names.push_back(v->volumeName);
    std::sort(names.begin(), names.end());
    return names;
}

void VolumeManager::fetchOfflineMappoints() {
    const std::string& support = configuration_.supportFolder;
    std::error_code ec;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(support, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::string ext = VolumeDetail::volumeType;
        if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
            names.push_back(name.substr(0, name.size() - ext.size()));
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        if (!VolumeDetail::safeVolumeName(name) || findVolume(name)) continue;
        addVolume(std::make_shared<VolumeDetail>(name, configuration_));
    }
}

void VolumeManager::storeList() {
    auto list = activeVolumesList();
    if (list.empty()) return;
    if (!platform::Defaults::finderListSuite().set(overmark::kWatchListKey, nlohmann::json(list)))
        log().logWarning("Could not publish the watched folders to the file manager");
    platform::DistributedNotificationCenter::defaultCenter().post(overmark::kVolumeChangeNotification, "");
}

void VolumeManager::disableTrash(const std::shared_ptr<VolumeDetail>& volume) {
    auto link = engineLink();
    for (const auto& name : trashNames()) {
        std::string path = volume->localFolder + "/" + name;
        std::error_code ec;
        if (std::filesystem::is_directory(std::filesystem::symlink_status(path, ec))) {
            // Anything already trashed there is the user's: keep it in the recovery folder first.
            if (!folderIsEmpty(path)) {
                std::string keep = platform::expandTilde(configuration_.currentRecoveryFolder()) + "/" +
                                   name + " of " + volume->volumeName + " " + timestampForName();
                platform::makeFolders(keep);
                std::filesystem::copy(path, keep, std::filesystem::copy_options::recursive, ec);
                if (ec) {
                    log().logWarning("Could not keep the trash " + path + " in " + keep + ": " +
                                     ec.message() + "; it stays where it is");
                    continue;
                }
                log().logWarning("Moved the trash " + path + " to " + keep);
            }
            recursiveDelete(path);
            platform::UniqueFd fd(::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644));
            if (!fd)
                log().logWarning("Could not put a file in place of the trash " + path + ": " +
                                 strerror(errno));
        } else if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
            // Taken before a file manager makes it a folder.
            platform::UniqueFd fd(::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644));
        }
        if (std::filesystem::exists(std::filesystem::symlink_status(path, ec)) && link->setLocal)
            link->setLocal(path);
    }
    std::string events = volume->localFolder + "/.fseventsd";
    std::error_code ec;
    if (std::filesystem::exists(events, ec) && link->setLocal) link->setLocal(events);
}

void VolumeManager::brandVolume(const std::shared_ptr<VolumeDetail>& volume) {
    VolumeIcon::brand(volume->localFolder);
}

void VolumeManager::recursiveDelete(const std::string& path) {
    platform::runProcess({"/bin/chmod", "-R", "+r", path});
    platform::runProcess({"/bin/rm", "-drf", path});
}

}  // namespace tw
