// What the windows ask of the program and the desktop around them, in one place so tests can stand in
// for the parts that would end the test process or open real dialogs. The desktop shell makes one and
// hands it to the tray, which hands it to the windows it opens; a test hands its own.
//
// Thread-safety: set up before the first window is made, read on the main thread afterwards (the
// uninstall takes a copy to its worker).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

class QWidget;

namespace tw::ui {

// The installed user guide that "Online help" opens; from a build tree, the README's section for
// users instead.
inline constexpr const char* kInstalledUserGuide = "share/doc/tidewell/user-guide.html";

struct DesktopEnvironment {
    // The synchronisation's shutdown sequence (before the uninstaller runs). None until the desktop
    // shell sets it from the engine's parts.
    std::function<void()> shutdown;
    // Detaches the in-location folders, which the shutdown leaves guarded (before an uninstaller that
    // removes or recovers the user's data). None until the desktop shell sets it.
    std::function<void()> detachInLocationFolders;
    // Ends the application.
    std::function<void()> terminate;
    // Opens a file:// or http(s):// address in the desktop's default application.
    std::function<void(const std::string& url)> openUrl;
    // Shows a file selected in the file manager.
    std::function<void(const std::string& path)> revealFile;
    // The folder chooser of the Settings pane; none when cancelled.
    std::function<std::optional<std::string>(QWidget* parent, const std::string& title,
                                             const std::string& startFolder)>
        chooseFolder;
    // The uninstaller program; empty means beside our own executable.
    std::string uninstallerPath;
    // How long the busy window stays after the uninstaller ended, before the application quits.
    std::chrono::milliseconds uninstallGrace{3000};
};

// The desktop's own answers: the main queue ends the application, the default application opens
// addresses, the file manager shows files, a folder dialog chooses; no shutdown sequence yet.
DesktopEnvironment builtInDesktop();

// Where "Online help" points: the installed guide beside our prefix, else the README's users section
// in the source tree this program was built from, else the project's README file name alone.
std::string onlineHelpUrl();
// The uninstaller `desktop` names.
std::string uninstallerPath(const DesktopEnvironment& desktop);

}  // namespace tw::ui
