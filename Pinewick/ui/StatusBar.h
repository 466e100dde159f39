// The desktop half of the status item: the tray icon with its menu, or, where the desktop has no tray
// (a stock GNOME), a small "Tidewell" window with the same menu and a status line. The state behind it
// (which icon, which transfers, what needs the user) is the engine's StatusBarManager; this object
// follows it.
//
// The "dock icon" switch decides whether the window is also shown while a tray exists; that window then
// carries the second menu (without the transfer lines and pause and resume, which the tray has).
//
// Thread-safety: main thread only; `requestCredentials` may be called from any thread.
#pragma once

#include <QIcon>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QWidget>
#include <memory>

#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/ui/DesktopEnvironment.h"
#include "Pinewick/ui/EngineParts.h"
#include "Pinewick/ui/StatusBarMenu.h"

namespace tw {
class AttentionList;
}

namespace tw::ui {

class Preferences;

// The five status icons and the application icon (from the icon theme when installed there, else
// the copies built into the program).
QIcon statusIcon(StatusBarManager::icons icon);
QIcon applicationIcon();
// The icon theme name of a status icon ("tidewell-status-idle", ...).
const char* statusIconName(StatusBarManager::icons icon);

// The small window shown instead of (or beside) the tray.
class StatusWindow : public QWidget {
public:
    StatusWindow();
    void setMenu(QMenu* menu);
    void showState(const StatusBarManager::State& state);
    QPushButton* menuButton() const { return menuButton_; }
    QLabel* statusLine() const { return statusLine_; }
    QLabel* detailLine() const { return detailLine_; }  // what is being transferred

private:
    QLabel* icon_;
    QLabel* statusLine_;
    QLabel* detailLine_;
    QPushButton* menuButton_;
};

class StatusBar {
public:
    // Follows `parts.statusBar`; its menus and preferences work on `parts` and ask the desktop through
    // `desktop`. `trayAvailable` none: ask the desktop.
    explicit StatusBar(const EngineParts& parts, std::optional<bool> trayAvailable = std::nullopt,
                       DesktopEnvironment desktop = builtInDesktop());
    ~StatusBar();

    StatusBarMenu& statusBarMenu() { return *statusBarMenu_; }
    StatusBarMenu& dockBarMenu() { return *dockBarMenu_; }
    QSystemTrayIcon* trayIcon() const { return tray_.get(); }
    StatusWindow* window() const { return window_.get(); }
    bool trayAvailable() const { return trayAvailable_; }

    // The icon shown now.
    StatusBarManager::icons currentIcon() const { return icon_; }
    // Follows the state (the manager's observer calls it on the main queue).
    void showState(const StatusBarManager::State& state);
    // Shows or hides the window as the "dock icon" switch and the tray call for.
    void applyDockIcon(bool show);
    // Asks whether to remove the items the server no longer lists in `folder`, and confirms the held
    // removals when the user says so (telling the attention list); whether they were confirmed.
    static bool confirmHeldRemovals(const std::string& folder, EngineParts& parts);

    // Opens the preferences at `tab` (creating the window on first use).
    Preferences& openPreferences(int tab = -1);
    Preferences* preferences() const { return preferences_.get(); }
    // The login tab, because the server wants a new password. From any thread; returns at once.
    void requestCredentials();

private:
    EngineParts parts_;
    const DesktopEnvironment desktop_;
    bool trayAvailable_;
    std::unique_ptr<StatusBarMenu> statusBarMenu_;
    std::unique_ptr<StatusBarMenu> dockBarMenu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::unique_ptr<StatusWindow> window_;
    std::unique_ptr<Preferences> preferences_;
    StatusBarManager::icons icon_ = StatusBarManager::icons::statusBarIcon;
    int observer_ = 0;
    std::shared_ptr<bool> alive_;
};

}  // namespace tw::ui
