// The preferences window: a tab per pane. Settings (the switches and the recovery folder), Uninstall,
// the login (tab 2, which the status item opens when the server wants a new password) and About.
//
// Thread-safety: main thread only. Server calls (the login test) and the uninstall run on global
// queues and come back to the main queue to show their result.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/ui/DesktopEnvironment.h"
#include "Pinewick/ui/EngineParts.h"

namespace tw::platform::keychain {
class Keychain;
}

namespace tw::ui {

class PaneBase : public QWidget {
public:
    // Called whenever the pane's tab is selected.
    virtual void updateDisplay() {}
};

// A small window with a spinning indicator, shown over the preferences while the uninstall runs.
class BusySpinner : public QDialog {
public:
    explicit BusySpinner(QWidget* parent, const QString& text);
    QProgressBar* spinner() const { return spinner_; }

private:
    QProgressBar* spinner_;
};

class Authenticate : public PaneBase {
public:
    static constexpr const char* productName = "Tidewell";
    // Logs on with `credentials` (the server and user an administrator fixed in `configuration` stay
    // as they are), then lists everything on `timeline`.
    Authenticate(ServerConfigurationDetails& configuration, ServerCredentials& credentials,
                 TimeLineManager& timeline);
    void updateDisplay() override;
    void displayDefaultValues();
    void refreshDisplay(bool busy);
    void positionCursor();
    void onClickValidate();
    // Stores the login in the keychain (one account at a time).
    static void saveDetails(platform::keychain::Keychain& keychain, const std::string& server,
                            const std::string& user, const std::string& password);

    QLineEdit* server;
    QLineEdit* userLogon;
    QLineEdit* password;
    QProgressBar* spinner;
    QPushButton* validateButton;
    QLabel* allGood;

private:
    void displayErrorMessage(const std::string& informative);
    ServerConfigurationDetails& configuration_;
    ServerCredentials& credentials_;
    TimeLineManager& timeline_;
    bool busy_ = false;
};

class Settings : public PaneBase {
public:
    static constexpr const char* controlled = "Controlled by System Administrator";
    // `desktop` (its folder chooser) outlives the pane.
    Settings(ServerConfigurationDetails& configuration, const DesktopEnvironment& desktop);
    static void setButtonState(QCheckBox* box, ServerConfigurationDetails::adminButtonOptions option);
    void onClickDockIcon();
    void onClickOpenAtLogon();
    void onClickIconOverLays();
    void onClickContextMenu();
    void onClickChangeRecoveryLocation();
    void setDockIconChanged(std::function<void(bool)> f) { dockIconChanged_ = std::move(f); }

    QCheckBox* contextMenu;
    QCheckBox* dockIcon;
    QCheckBox* iconOverlays;
    QCheckBox* openAtLogin;
    QPushButton* setRecoveryLocation;
    QLineEdit* recoveryFolder;

private:
    void showRecoveryFolder(const std::string& folder);
    ServerConfigurationDetails& configuration_;
    const DesktopEnvironment& desktop_;
    std::function<void(bool)> dockIconChanged_;
};

class About : public PaneBase {
public:
    About();
    QLabel* version;
    QLabel* deviceId;
    QLabel* copyright;
};

// Runs the uninstaller, then tells what it did (its report, and where the kept files went) in an alert
// before the application quits: after it, nothing of Tidewell is left to ask.
class Uninstall : public PaneBase {
public:
    static constexpr const char* finishedTitle = "The uninstaller has finished";
    static constexpr const char* incompleteTitle = "Tidewell could not be uninstalled completely";
    static constexpr const char* openRecoveryTitle = "Open Recovery Folder";

    // `desktop` (the shutdown, the uninstaller, how the application ends) outlives the pane.
    Uninstall(ServerConfigurationDetails& configuration, const DesktopEnvironment& desktop);
    // Shows the recovery folder as the Settings pane has it now.
    void updateDisplay() override;
    void refreshDisplay();
    void onClickUninstall();
    // The uninstaller's arguments for the boxes as they are now (empty: nothing to do).
    std::vector<std::string> arguments() const;
    void performUninstall(const std::vector<std::string>& arguments);
    // The alert that tells how a run ended, from what the uninstaller wrote (`report`), whether it left
    // something (`incomplete`) and why it could not do its work at all (`failure`, empty when it ran).
    // `*open` is its "Open Recovery Folder" button, there only when the kept files' folder is.
    static std::unique_ptr<QMessageBox> outcomeAlert(QWidget* parent, const std::string& report,
                                                     bool incomplete, const std::string& failure,
                                                     QPushButton** open);

    QPushButton* uninstallButton;
    QCheckBox* removeApplication;
    QCheckBox* removeUserData;
    QRadioButton* optionForceDelete;
    QRadioButton* optionRecover;
    QLabel* recoveryFolder;  // where recovered files go, under the recover option
    BusySpinner* busy() const { return busy_; }

private:
    ServerConfigurationDetails& configuration_;
    const DesktopEnvironment& desktop_;
    BusySpinner* busy_ = nullptr;
};

class Preferences : public QWidget {
public:
    static constexpr int kSettingsTab = 0;
    static constexpr int kUninstallTab = 1;
    static constexpr int kLoginTab = 2;
    static constexpr int kAboutTab = 3;

    // Each pane works on the parts of `parts` it needs, and asks the desktop through `desktop`, which
    // outlives the window.
    Preferences(const EngineParts& parts, const DesktopEnvironment& desktop);
    // Brings the window to the front at `activeTab`.
    void load();
    void activateTab(int index);
    void setDockIconChanged(std::function<void(bool)> f) { settings->setDockIconChanged(std::move(f)); }

    QTabWidget* tabView;
    Settings* settings;
    Uninstall* uninstall;
    Authenticate* authenticate;
    About* about;
    int activeTab = 0;
};

}  // namespace tw::ui
