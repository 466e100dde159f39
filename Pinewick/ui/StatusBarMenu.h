// The menu of the tray icon (and of the small "Tidewell" window): what is being downloaded and
// uploaded, pause and resume, the volumes to mount and unmount, preferences, online help and quit.
//
// Items are told apart by their tag (QAction::data): pause 1010, resume 1011, every volume 25894,
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

namespace tw::ui {

class StatusBarMenu {
public:
    static constexpr int volumeTagNumber = 25894;
    static constexpr int pauseTagNumber = 1010;
    static constexpr int resumeTagNumber = 1011;
    static constexpr int downloadTagNumber = 1000;
    static constexpr int uploadTagNumber = 1001;
    static constexpr int transferSeparatorTagNumber = 1002;

    struct Actions {
        std::function<void()> preferences;
        std::function<void()> quit;
    };
    explicit StatusBarMenu(Actions actions);

    QMenu* menu() { return menu_.get(); }

    void refreshVolumeMenu();
    void updateDownloadStats(const std::optional<std::string>& localPath);
    void updateUploadStats(const std::optional<std::string>& localPath);
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
    void onClickOnlineHelp();

    // Pauses or resumes server communication and keeps the choice for the next start. False when the
    // administrator controls it (nothing changes) or the choice could not be stored.
    static bool flipConnection(bool paused);

private:
    QAction* add(const QString& title, int tag, std::function<void()> action = {});

    Actions actions_;
    std::unique_ptr<QMenu> menu_;
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
