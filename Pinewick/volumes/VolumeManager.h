// The list of synchronised volumes: one per mappoint (mounted under the volumes root with the
// mappoint's name) plus the in-location entry holding administrator-mapped folders of the home folder.
// Translates local paths to their volume, their path within it, and their server path.
//
// Volume images live in the configuration's support folder, and a volume starts in the state the user
// left it in (stored in the configuration's settings): both the manager and each volume are made with
// the configuration they read these from.
//
// Thread-safety: the list is guarded by a mutex; lookups copy what they return. A `VolumeDetail`
// handed out is shared; its fields are written only by the volume manager.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/volumes/EngineLink.h"

namespace tw {
namespace platform {
class DispatchQueue;
}

class ServerFileObject;

class VolumeDetail {
public:
    enum class volumeStates { Visible, Hidden, Dead, InLocation };
    static std::string rawValue(volumeStates s);
    static std::optional<volumeStates> stateFromRaw(const std::string& raw);
    static constexpr const char* volumeType = ".sparsebundle";

    // A mappoint volume: mounted at the volumes root + "/" + name, server folder "/" + name, its image
    // in the configuration's support folder; its state is the one stored for the name in the
    // configuration's settings (Hidden when none). Asks the watcher to watch its folder.
    VolumeDetail(const std::string& volumeName, const ServerConfigurationDetails& configuration);
    // Whether a name can be a volume: one path component that stays inside the volumes root (not
    // empty, ".", "..", and without "/" or NUL).
    static bool safeVolumeName(const std::string& name);
    // The in-location entry; `serverFolder` must have at least two "/"-separated components, the
    // second naming the volume. Returns none for a server folder without one.
    static std::shared_ptr<VolumeDetail> inLocation(const std::string& localFolder,
                                                    const std::string& serverFolder);

    // Adds a (server folder, local folder) pair; a leading "~" of the local folder is expanded, the
    // folder is created with its parents (an error is ignored) and the watcher asked to watch it.
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
    std::atomic<bool> available{true};
    std::atomic<bool> canResumeUploads{false};
    std::vector<std::pair<std::string, std::string>> inLocationList;  // (server folder, local folder)
    std::atomic<volumeStates> state{volumeStates::Hidden};
    // The mappoint's listing entry, once the server has listed it. Under the volume manager's lock.
    std::shared_ptr<const ServerFileObject> serverDetails;

private:
    VolumeDetail() = default;
    std::atomic<uint64_t> volumeSystemNumber_{0};
    mutable std::mutex uuidMutex_;
    std::string volumeUUID_;
};

class VolumeManager {
public:
    // The process-wide list on the process-wide configuration, made by the engine on first use; never
    // destroyed.
    static VolumeManager& sharedInstance();
    // A list whose volumes keep their images in `configuration`'s support folder and take their stored
    // states from it; `configuration` must outlive the manager. With `mirrorInto`, the records of its
    // volumes are mirrored into that database while the list lives (see RecordMirror).
    explicit VolumeManager(const ServerConfigurationDetails& configuration,
                           std::function<MetadataDataBase&()> mirrorInto = {});
    // Waits for the work it queued in the background (images made, volumes mounted or ejected), which
    // uses it.
    ~VolumeManager();
    // What mounting and listing ask of the engine (a listing of a mounted volume, its folder's server
    // facts, ejecting a volume the server dropped). Until given, or given none, nothing is asked.
    void setEngineLink(std::shared_ptr<const EngineLink> link);

    // Adds a volume to the list.
    void addVolume(std::shared_ptr<VolumeDetail> volume);

    // What the server says of one mappoint, for `resolveVolumes`.
    struct Mappoint {
        std::string name;
        std::string diskType;    // "smb" volumes resume uploads
        bool automatic = false;  // the entry's mode is Automatic
        std::shared_ptr<const ServerFileObject> entry;
    };

    // Mounts every Visible volume that is not mounted and attaches every in-location folder in place;
    // returns when the mounts have finished (at most `timeout`).
    void mountVolumes(std::chrono::milliseconds timeout = std::chrono::minutes(2));
    // Ejects every Visible volume; returns when done (at most `timeout`). In-location folders stay
    // attached: the watcher goes on guarding them alone, as it does when the application dies, because
    // detached their placeholders are plain empty files any program would read as the content.
    void unmountVolumes(std::chrono::milliseconds timeout = std::chrono::minutes(1));
    // Detaches every in-location folder (the uninstaller removes them next).
    void detachInLocationFolders();
    // The user shows or hides a volume (the tray's volume menu, `tidewell mount` / `unmount`).
    // False when no volume has that name.
    bool activateVolume(const std::string& name);
    bool deactivateVolume(const std::string& name);
    // Reconciles the list with the server's mappoints: new ones get an image, known ones are
    // refreshed and listed, missing ones become Dead (or, in-location, are cleaned up).
    void resolveVolumes(const std::vector<Mappoint>& mappoints);
    // Names of Visible and Hidden volumes, sorted, for the volume menu.
    std::vector<std::string> getMenuList() const;
    // Ejects one volume (also the recover-volume event of a mappoint the server dropped).
    void unmountVolume(const std::shared_ptr<VolumeDetail>& volume);
    // Loads the volumes whose images are in the support folder (start-up).
    void fetchOfflineMappoints();
    // Publishes the watched folders to the file-manager extension and tells it.
    void storeList();
    // Waits until images being created in the background are done (tests, shutdown).
    bool waitForCreations(std::chrono::milliseconds timeout);
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
    // The UUID of the volume on that device, or "" when none is known. A mounted volume whose device
    // its mount step has not learnt yet is recognised by its mount point, so items saved in that window
    // still get their rows.
    std::string volumeNodeToVolumeUUID(uint64_t volumeSystemNumber) const;
    uint64_t volumeNodeFromVolumeUUID(const std::string& uuid) const;
    // Local folder of every Visible volume and of every in-location pair.
    std::vector<std::string> activeVolumesList() const;

    static constexpr const char* deadMappoint = "DEADMAPPOINT";

private:
    void createVolume(const std::shared_ptr<VolumeDetail>& volume);
    // The mount task. False when the image could not be attached (nothing else is then done to it).
    bool mountVolume(const std::shared_ptr<VolumeDetail>& volume, bool display);
    bool attachInPlace(const std::string& folder);
    void disableTrash(const std::shared_ptr<VolumeDetail>& volume);
    void brandVolume(const std::shared_ptr<VolumeDetail>& volume);
    static void recursiveDelete(const std::string& path);
    void setState(const std::shared_ptr<VolumeDetail>& volume, VolumeDetail::volumeStates state, bool store);

    // The in-location pair whose local folder holds `path` (prefix test without regard to case).
    std::optional<std::pair<std::string, std::string>> inLocationPairFor(const std::string& path) const;

    // The link of the moment; a call under way keeps the one it started with.
    std::shared_ptr<const EngineLink> engineLink() const;

    const ServerConfigurationDetails& configuration_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<VolumeDetail>> volumeList_;
    std::shared_ptr<const EngineLink> engine_ = std::make_shared<const EngineLink>();  // under mutex_

    std::mutex creationsMutex_;
    std::condition_variable creationsDone_;
    int creations_ = 0;  // images being created, under creationsMutex_

    // Runs `work`, which uses this list, on `queue`, counted until it ends.
    void inBackground(platform::DispatchQueue& queue, std::function<void()> work);
    std::mutex backgroundMutex_;
    std::condition_variable backgroundDone_;
    int background_ = 0;  // queued or running, under backgroundMutex_

    // Last, so that it goes first: a save still asking it for a volume's UUID finishes before the list
    // it asks goes.
    std::unique_ptr<RecordMirror> mirror_;
};

}  // namespace tw
