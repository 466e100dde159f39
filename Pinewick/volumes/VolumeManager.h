// The list of synchronised volumes: one per mappoint (mounted under the volumes root with the
// mappoint's name) plus the in-location entry holding administrator-mapped folders of the home folder.
// Translates local paths to their volume, their path within it, and their server path.
//
// Thread-safety: the list is guarded by a mutex; lookups copy what they return. A `VolumeDetail`
// handed out is shared; its fields are written only by the volume manager.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tw {

class VolumeDetail {
  public:
    enum class volumeStates { Visible, Hidden, Dead, InLocation };
    static std::string rawValue(volumeStates s);
    static std::optional<volumeStates> stateFromRaw(const std::string& raw);
    static constexpr const char* volumeType = ".sparsebundle";

    // A mappoint volume: mounted at the volumes root + "/" + name, server folder "/" + name.
    explicit VolumeDetail(const std::string& volumeName);
    // The in-location entry; `serverFolder` must have at least two "/"-separated components, the
    // second naming the volume. Returns none for a server folder without one.
    static std::shared_ptr<VolumeDetail> inLocation(const std::string& localFolder,
                                                    const std::string& serverFolder);

    // Adds a (server folder, local folder) pair; a leading "~" of the local folder is expanded and the
    // folder is created with its parents (an error is ignored).
    void addAdditionalInLocationPath(const std::string& localFolder, const std::string& serverFolder);

    // Sets the device number of the mounted volume and recomputes `volumeUUID` from it.
    void setVolumeSystemNumber(uint64_t number);
    uint64_t volumeSystemNumber() const { return volumeSystemNumber_; }
    std::string volumeUUID() const;

    std::string description() const;

    std::string localFolder;
    std::string serverFolder;
    std::string diskImage;
    std::string volumeName;
    bool available = true;
    bool canResumeUploads = false;
    std::vector<std::pair<std::string, std::string>> inLocationList;  // (server folder, local folder)
    volumeStates state = volumeStates::Hidden;

  private:
    VolumeDetail() = default;
    std::atomic<uint64_t> volumeSystemNumber_{0};
    mutable std::mutex uuidMutex_;
    std::string volumeUUID_;
};

class VolumeManager {
  public:
    static VolumeManager& sharedInstance();
    VolumeManager() = default;

    // Adds a volume to the list (start-up and tests; reconciliation with the server comes later).
    void addVolume(std::shared_ptr<VolumeDetail> volume);
    void clear();
    std::vector<std::shared_ptr<VolumeDetail>> volumeList() const;

    // Adds in-location entries from the administrator's mapping of server folder to local folder.
    void resolveInLocationSync(const std::vector<std::pair<std::string, std::string>>& serverToLocal);

    // Names a local path for the second form of `findVolume`.
    struct LocalPath {
        std::string value;
    };
    // The volume whose name equals `volumeName` without regard to case.
    std::shared_ptr<VolumeDetail> findVolume(const std::string& volumeName) const;
    // The volume holding a local path: under the volumes root by its name, else the in-location entry.
    std::shared_ptr<VolumeDetail> findVolume(const LocalPath& localPath) const;

    // Removes the volumes-root prefix (compared without regard to case), keeping the following "/".
    static std::pair<bool, std::string> stripVolumePrefix(const std::string& path);
    // The path relative to the volume or in-location folder that holds it; any other path unchanged.
    std::string ignoreMount(const std::string& path) const;
    // Whether the path is one of the in-location folders (without regard to case).
    bool inLocationRoot(const std::string& path) const;
    // The server path of a local path, or "DEADMAPPOINT" when it has no server location.
    std::string serverFromLocal(const std::string& localPath) const;
    std::string volumeNodeToVolumeUUID(uint64_t volumeSystemNumber) const;
    uint64_t volumeNodeFromVolumeUUID(const std::string& uuid) const;
    // Local folder of every Visible volume and of every in-location pair.
    std::vector<std::string> activeVolumesList() const;

    static constexpr const char* deadMappoint = "DEADMAPPOINT";

  private:
    // The in-location pair whose local folder holds `path` (prefix test without regard to case).
    std::optional<std::pair<std::string, std::string>> inLocationPairFor(const std::string& path) const;

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<VolumeDetail>> volumeList_;
};

}  // namespace tw
