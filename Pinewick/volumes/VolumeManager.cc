#include "Pinewick/volumes/VolumeManager.h"

#include <sstream>

#include "Pinewick/config/Logger.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/config/TextUtils.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "platform/files.h"
#include "platform/places.h"
#include "platform/pwnames.h"

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
    return platform::getXattr(root, pw::kVolumeUUIDAttribute, 128).value_or("");
}

// `path` lies in `folder` (or is it), compared without regard to case; returns the rest after the
// folder (starting with "/" or empty).
std::optional<std::string> restIfUnder(const std::string& path, const std::string& folder) {
    std::string lp = lowercased(path) + "/", lf = lowercased(folder) + "/";
    if (lp.compare(0, lf.size(), lf) != 0) return std::nullopt;
    if (path.size() < folder.size()) return std::string();
    return path.substr(folder.size());
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

VolumeDetail::VolumeDetail(const std::string& name)
    : localFolder(platform::volumesRoot() + "/" + name),
      serverFolder("/" + name),
      diskImage(ServerConfigurationDetails::sharedInstance().supportFolder + name + volumeType),
      volumeName(name) {}

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

VolumeManager& VolumeManager::sharedInstance() {
    static VolumeManager* shared = [] {
        auto* manager = new VolumeManager();
        // Item records mirror into the metadata database under their volume's UUID.
        setVolumeUUIDResolver([manager](uint64_t number) { return manager->volumeNodeToVolumeUUID(number); });
        return manager;
    }();
    return *shared;
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
            Logger::sharedInstance().logWarning("Could not handle In Location Mapping " + localFolder +
                                                " : " + serverFolder);
            continue;
        }
        auto existing = findVolume(parts[0]);
        if (!existing) {
            addVolume(VolumeDetail::inLocation(localFolder, serverFolder));
        } else if (existing->state == VolumeDetail::volumeStates::InLocation) {
            std::lock_guard lock(mutex_);
            existing->addAdditionalInLocationPath(localFolder, serverFolder);
        } else {
            Logger::sharedInstance().logWarning("We already have the volume " + parts[0] + " in use.");
        }
    }
}

std::shared_ptr<VolumeDetail> VolumeManager::findVolume(const std::string& volumeName) const {
    std::lock_guard lock(mutex_);
    for (const auto& v : volumeList_)
        if (equalsIgnoringCase(v->volumeName, volumeName)) return v;
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
            if (restIfUnder(localPath.value, pair.second)) return v;
    }
    return nullptr;
}

std::pair<bool, std::string> VolumeManager::stripVolumePrefix(const std::string& path) {
    std::string root = platform::volumesRoot() + "/";
    if (path.size() >= root.size() && hasPrefixIgnoringCase(path, root))
        return {true, path.substr(root.size() - 1)};
    return {false, path};
}

std::optional<std::pair<std::string, std::string>> VolumeManager::inLocationPairFor(
    const std::string& path) const {
    std::lock_guard lock(mutex_);
    for (const auto& v : volumeList_) {
        if (v->state != VolumeDetail::volumeStates::InLocation) continue;
        for (const auto& pair : v->inLocationList)
            if (restIfUnder(path, pair.second)) return pair;
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
            if (equalsIgnoringCase(pair.second, path)) return true;
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
        return pair->first + *restIfUnder(localPath, pair->second);
    }
    return deadMappoint;
}

std::string VolumeManager::volumeNodeToVolumeUUID(uint64_t volumeSystemNumber) const {
    std::lock_guard lock(mutex_);
    for (const auto& v : volumeList_)
        if (v->volumeSystemNumber() == volumeSystemNumber) return v->volumeUUID();
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

}  // namespace tw
