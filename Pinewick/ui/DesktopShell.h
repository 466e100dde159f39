// The desktop application around the engine: Qt's loop drains the engine's main queue, and once the
// engine has started, the status item, the preferences, the resolution windows and the password
// request come up on top of it.
//
// Thread-safety: main thread only, except where noted.
#pragma once

#include <memory>
#include <string>

#include "Pinewick/ui/DesktopEnvironment.h"
#include "Pinewick/ui/EngineParts.h"

namespace tw::platform {
class NotificationObserver;
}

namespace tw::ui {

class StatusBar;
class ResolutionPresenter;

class DesktopShell {
public:
    // True when Qt can reach a display (X11 or Wayland), or a platform was named in QT_QPA_PLATFORM.
    static bool displayAvailable();
    // Runs the engine's main queue from Qt's loop: every queued block is run there, and stopping the
    // main queue quits the Qt loop. Needs a QApplication. Called by `prepareApplication`; tests call
    // it too.
    static void attachMainQueue();
    // The application's name and icon, a tray program that outlives its last window, and the main
    // queue attached. Before the engine starts, so that what it queues from then on runs from Qt's
    // loop.
    static void prepareApplication();

    // The windows work on `parts` (the engine has started).
    explicit DesktopShell(const EngineParts& parts);
    ~DesktopShell();

    // The windows, once the engine runs. With TIDEWELL_SCREENSHOTS set to a folder, saves the
    // screenshots there TIDEWELL_SCREENSHOT_DELAY_MS (default 1000) after the start, then quits.
    void start();
    // Before the engine shuts down: no window outlives it.
    void stop();

    StatusBar* statusBar() const { return statusBar_.get(); }

    // How the server layer asks for a password while the desktop application runs: the login tab of
    // the running shell; false before its windows exist (the engine then asks the terminal's way). From
    // any thread; returns at once. Installed before the engine starts, so no request thread ever sees
    // the hook change.
    static bool requestCredentials();

    // Saves the menus, each preferences tab, the conflict and delete windows and the status icons as
    // PNG files into `folder`, file names ending in `suffix` (as "@2x").
    void saveScreenshots(const std::string& folder, const std::string& suffix);

private:
    EngineParts parts_;
    // The desktop's answers, with the engine's shutdown for the Uninstall pane.
    DesktopEnvironment desktop_;
    std::unique_ptr<StatusBar> statusBar_;
    std::unique_ptr<ResolutionPresenter> presenter_;
    std::unique_ptr<platform::NotificationObserver> volumeChanges_;
};

}  // namespace tw::ui
