// The state behind the tray icon: which icon the run state and the transfers call for, which files
// are being uploaded and downloaded and how far they are, and what needs the user (items in error,
// removals held for a confirmation). The tray user interface attaches as an observer; the engine only
// reports changes. Progress reaches the observers at most a few times a second (Transfers).
//
// Thread-safety: every operation may be called from any thread. Observers are called on the main queue
// (platform::MainQueue), never while a lock of this object is held.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Pinewick/server/IconProgress.h"
#include "platform/observerlist.h"

namespace tw {

class StatusBarManager {
public:
    enum class icons {
        statusBarIcon,
        statusBarPauseIcon,
        statusBarErrorIcon,
        statusBarBusyIcon,
        statusBarNoNetworkIcon
    };
    static const char* iconName(icons icon);  // the image name, "StatusBarIcon", ...

    // What needs the user.
    struct Attention {
        size_t itemsInError = 0;               // items in an error state, all of them
        std::vector<std::string> items;        // the first of them in path order, for the menu
        std::vector<std::string> heldFolders;  // folders whose removals wait for the user's confirmation
        size_t count() const { return itemsInError + heldFolders.size(); }
        bool operator==(const Attention&) const = default;
    };

    // What the tray shows.
    struct State {
        icons icon = icons::statusBarIcon;
        std::optional<std::string> uploadFile;    // path of the upload running longest now
        std::vector<std::string> uploadFiles;     // every upload running now, in the order they started
        std::optional<std::string> downloadFile;  // path of the download running now
        Attention attention;
        std::vector<TransferProgress> transfers;  // every transfer under way, with its bytes
        // How far the transfer of `path` is, when one is listed.
        std::optional<TransferProgress> progressOf(const std::optional<std::string>& path) const;
    };
    using Observer = std::function<void(const State&)>;

    // The process-wide tray state, made by the engine (it follows Transfers::shared()).
    static StatusBarManager& sharedInstance();
    StatusBarManager() = default;
    // Stops following `transfers` (see `follow`), waiting for a report being taken in.
    ~StatusBarManager();
    StatusBarManager(const StatusBarManager&) = delete;
    StatusBarManager& operator=(const StatusBarManager&) = delete;
    // Takes the progress of `transfers` into the state from now on, until this object goes (or follows
    // other transfers); `transfers` must outlive it.
    void follow(Transfers& transfers);

    // How progress is shown everywhere: "45 % of 12.3 MB". Sizes in decimal units as the desktop's
    // file manager gives them ("850 bytes", "12.3 MB"); the percentage rounded down, so 100 % means
    // every byte.
    static std::string sizeText(uint64_t bytes);
    static unsigned percentDone(uint64_t done, uint64_t total);
    static std::string progressText(uint64_t done, uint64_t total);

    // Chooses the icon from the run state and the activity, and tells the observers.
    void updateIcon();
    // An upload of `localPath` started, or ended. Uploads of distinct files run side by side: the tray
    // is busy while any of them runs.
    void uploadStarted(const std::string& localPath);
    void uploadEnded(const std::string& localPath);
    // Only `localPath` uploads now, or (none) no upload runs any more.
    void updateUploadActive(const std::optional<std::string>& localPath);
    void updateDownloadActive(const std::optional<std::string>& localPath);

    bool uploadActive() const;
    bool downloadActive() const;
    void setErrorState(bool error);
    // The error state follows what needs the user: set while anything does.
    void setAttention(Attention attention);
    State state() const;

    // Returns a token for removeObserver.
    int addObserver(Observer observer);
    void removeObserver(int token);

    // Where the run state comes from (the run-state manager installs itself; tests use their own).
    struct RunState {
        std::function<bool()> networkAvailable;
        std::function<bool()> allowServerCommunication;
    };
    void setRunState(RunState runState);

private:
    void publish(const State& state);
    // Takes the progress of `transfers` into the state and tells the observers.
    void transfersChanged(const Transfers& transfers);

    mutable std::mutex mutex_;
    bool downloadActive_ = false;
    bool errorState_ = false;
    State state_;
    RunState runState_;
    platform::ObserverList<const State&> observers_;

    // Whom the transfers' observer reports to; emptied, under its lock, when this object stops following,
    // so that a report already on its way never reaches an object gone.
    struct Follower {
        std::mutex mutex;
        StatusBarManager* manager = nullptr;
    };
    void stopFollowing();
    std::shared_ptr<Follower> follower_;
    Transfers* followed_ = nullptr;
    int followToken_ = 0;
};

}  // namespace tw
