// The menu of the tray icon (and of the small "Tidewell" window): what needs the user, what is being
// downloaded and uploaded, pause and resume, the volumes to mount and unmount, preferences, online help
// and quit.
//
// Items are told apart by their tag (QAction::data): pause 1010, resume 1011, every volume 25894, the
// line of what needs the user 1020 and the separator after it 1021,
// and the items a second copy of the menu leaves out beside a tray: the download lines 1000, the upload
// lines 1001 and the separator after them 1002 (the window's status line shows the transfers).
//
// Thread-safety: main thread only.
#pragma once

#include <QMenu>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/ui/EngineParts.h"

namespace tw::ui {

class StatusBarMenu {
public:
    static constexpr int volumeTagNumber = 25894;
    static constexpr int pauseTagNumber = 1010;
    static constexpr int resumeTagNumber = 1011;
    static constexpr int downloadTagNumber = 1000;
    static constexpr int uploadTagNumber = 1001;
    static constexpr int transferSeparatorTagNumber = 1002;
    static constexpr int attentionTagNumber = 1020;
    static constexpr int attentionSeparatorTagNumber = 1021;

    struct Actions {
        std::function<void()> preferences;
        std::function<void()> quit;
        std::function<void(const std::string& path)> resolveItem;        // an item in error
        std::function<void(const std::string& folder)> confirmRemovals;  // a folder's held removals
        std::function<void(const std::string& path)> revealFile;         // a file being transferred
        std::function<void(const std::string& url)> openUrl;             // the user guide
    };
    // The volumes it lists, the run state it pauses and resumes and the configuration that may lock
    // that switch come from `parts`.
    StatusBarMenu(const EngineParts& parts, Actions actions);
    ~StatusBarMenu();
    // Not copied or moved: a running unmount finds the menus to update by their address.
    StatusBarMenu(const StatusBarMenu&) = delete;
    StatusBarMenu& operator=(const StatusBarMenu&) = delete;

    QMenu* menu() { return menu_.get(); }

    void refreshVolumeMenu();
    // The transfer lines: the file's name and, once bytes move, how far it is ("Big — 45 % of 12.3 MB").
    void updateDownloadStats(const std::optional<std::string>& localPath,
                             const std::optional<TransferProgress>& progress = std::nullopt);
    void updateUploadStats(const std::optional<std::string>& localPath,
                           const std::optional<TransferProgress>& progress = std::nullopt);
    // The line saying how many things need the user (hidden when none), with a sub-menu that opens
    // the resolution of each.
    void updateAttention(const StatusBarManager::Attention& attention);
    QAction* attentionItem() const { return attentionItem_; }
    QMenu* attentionMenu() const { return attentionMenu_; }
    // Brings every item up to date (the menu calls it before it is shown).
    void validateMenu();
    void validateMenuItem(QAction* item);
    // Removes every item with `tag`.
    void removeMenuItem(int tag);
    // The first item with `tag`, or null.
    QAction* item(int tag) const;
    QAction* shareMenuItem() const { return shareMenuItem_; }
    QMenu* shareMenu() const { return shareMenu_; }
    QAction* ssDownloadFile() const { return ssDownloadFile_; }
    QAction* ssUploadFile() const { return ssUploadFile_; }

    void onClickPauseConnection() {
        flipConnection(true);
        validateMenu();
    }
    void onClickResumeConnectionr() {
        flipConnection(false);
        validateMenu();
    }
    void onClickVolume(QAction* item);
    // Unmounts the volume `name` on a worker, since an eject can take seconds. Meanwhile every menu
    // shows it disabled as "Unmounting NAME…"; when it is done every menu rebuilds its volume list.
    void unmountVolume(const std::string& name);
    static bool isUnmounting(const std::string& name);
    // The volume an item of the volume menu stands for (its title changes while it is unmounted).
    static std::string volumeNameOf(const QAction* item);
    void onClickOnlineHelp();

    // Pauses or resumes server communication and keeps the choice for the next start. False when the
    // administrator controls it (nothing changes) or the choice could not be stored.
    bool flipConnection(bool paused);

private:
    QAction* add(const QString& title, int tag, std::function<void()> action = {});

    EngineParts parts_;
    Actions actions_;
    std::unique_ptr<QMenu> menu_;
    QMenu* attentionMenu_ = nullptr;
    QAction* attentionItem_ = nullptr;
    QMenu* shareMenu_ = nullptr;
    QAction* shareMenuItem_ = nullptr;
    QAction* ssDownloadTitle_ = nullptr;
    QAction* ssDownloadFile_ = nullptr;
    QAction* ssUploadTitle_ = nullptr;
    QAction* ssUploadFile_ = nullptr;
    QAction* pauseConnection_ = nullptr;
    QAction* resumeConnection_ = nullptr;
    std::optional<std::string> downloadFile_;
    std::optional<std::string> uploadFile_;
};

}  // namespace tw::ui
