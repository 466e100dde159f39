// Administrator settings and the user's own choices for the same switches, read once at start-up from
// the preferences domain "com.meridot.tidewell". Also owns the support folder where the databases, disk
// images and the saved timeline live.
//
// An administrator forces a switch by setting its plain lower-case key (a JSON boolean or number) in an
// administrator file of the domain; the user's choice for the same switch lives under "User" + key and
// is written only by the preference panes. Values of the wrong kind count as absent.
//
// This is the lowest library of the application, so the steps that reach other subsystems (stored
// credentials, in-location volumes, the run state) go through the `Hooks` the caller hands to
// `loadState` or `readConfig` (the engine's at start-up); a missing hook makes its step do nothing. The
// exclusion rules it reads go to the exclusion manager it is made with.
//
// Thread-safety: the public fields are written only during start-up (`loadState`, before other threads
// look at them) and read freely afterwards. `storeRecoveryFolder` may run later on the main thread;
// other threads read the recovery folder through `currentRecoveryFolder()`.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tw {

class ExclusionManager;

class ServerConfigurationDetails {
public:
    enum class adminButtonOptions { forceOn, forceOff, userDefinedOn, userDefinedOff };
    // The administrator keys of the switches; `rawValue` gives the key text.
    enum class buttonNames {
        dockicon,
        iconoverlay,
        openatlogin,
        contextmenu,
        changerecoveryfolder,
        allowservercontact
    };
    static std::string rawValue(buttonNames name);
    // The key the user's own choice for a switch is stored under (an administrator's uses rawValue).
    static std::string userChoiceKey(buttonNames name);
    // On: forceOn or userDefinedOn. Forced: forceOn or forceOff.
    static bool isOn(adminButtonOptions option);
    static bool isForced(adminButtonOptions option);

    // What the configuration needs from other subsystems; any of them may be empty.
    struct Hooks {
        // (server, user) of the stored credentials.
        std::function<std::pair<std::string, std::string>()> storedCredentials;
        // Hands over the in-location mapping, (local folder "~...", server path "/...") pairs.
        std::function<void(const std::vector<std::pair<std::string, std::string>>& localToServer)>
            resolveInLocation;
        // Sets whether the server may be contacted and lets the run state re-evaluate itself.
        std::function<void(bool allow)> setAllowServerCommunication;
    };

    // The process-wide configuration, made by the engine.
    static ServerConfigurationDetails& sharedInstance();
    // A fresh object with the initial values (tests, the uninstaller); the support folder is read from
    // the environment now and created. `readConfig` hands the administrator's exclusion rules to
    // `exclusions`, which must outlive this object.
    explicit ServerConfigurationDetails(ExclusionManager& exclusions);
    ServerConfigurationDetails(const ServerConfigurationDetails&) = delete;
    ServerConfigurationDetails& operator=(const ServerConfigurationDetails&) = delete;

    // Reads the configuration and applies it: login item, dock icon, permission to contact the server,
    // file-manager badges and context menu. Called once by start-up before the volumes are mounted.
    void loadState(const Hooks& hooks);
    // Reads every key into the fields, hands the in-location mapping to `hooks` and the exclusion rules
    // to the exclusion manager. Without hooks (the uninstaller, the command line), only the fields.
    void readConfig(const Hooks& hooks = {});

    // The value of a Boolean key (JSON boolean or number), else `defaultValue`.
    bool readAdminBool(const std::string& key, bool defaultValue) const;
    // forceOn/forceOff from the key itself, else userDefinedOn/userDefinedOff from "User" + key
    // (default on).
    adminButtonOptions readAdminButton(const std::string& key) const;
    // True when `path` ("~" allowed) is, or could be made, a folder within the home folder; logs why not.
    bool validateRecoveryFolder(const std::string& path) const;
    // Validates `path`; if valid, keeps it with the home folder abbreviated to "~" in `recoveryFolder`
    // and under "recoveryfolder" in the user's settings, and returns true. Otherwise (or when the
    // setting cannot be written) returns false and changes nothing.
    bool storeRecoveryFolder(const std::string& path);
    // The raw volume state ("Visible", "Hidden", "Dead", "InLocation") stored as a string under `key`;
    // none when absent, not a string or not one of these.
    std::optional<std::string> retrieveUserVolumeState(const std::string& key) const;

    // Records whether the application should show itself in the dock or tray (the tray follows it).
    void enforceDockIcon(bool show);
    // Tell the file-manager extension to show or hide badges / its context menu ("on" or "off").
    void enforceIconOverlay(bool allowOverlay);
    void enforceContextMenu(bool allowMenu);
    bool dockIconShown() const { return dockIconShown_.load(); }

    // The in-location mapping of the last `readConfig`: (local folder "~...", server path "/...") pairs
    // sorted by local folder; the default "~/Tidewell" to "/home" when nothing usable was configured.
    std::vector<std::pair<std::string, std::string>> inLocationMapping() const;
    // Executables whose folder listings count as the user browsing (compared as text with
    // /proc/PID/exe): the administrator's "validapps" array when given, else the desktop's file
    // managers and file-chooser portals.
    std::vector<std::string> validApps() const;
    // How a placeholder opened by a program is treated: administrator keys "refuseplaceholderreads"
    // (refuse every read, as before opening meant downloading), "placeholderopenwait" (seconds an
    // open may wait for the content, default 300) and "refusedreaders" (names of further programs that
    // must never trigger a download, besides indexers and thumbnailers).
    struct PlaceholderReads {
        bool refuseAll = false;
        double waitSeconds = 300;
        std::vector<std::string> refusedPrograms;
    };
    PlaceholderReads placeholderReads() const;
    // How often server changes are looked for: administrator keys "listingrate" (the most folder
    // listings a second, default 3) and "listingcycle" (seconds within which every folder is compared,
    // default 3600; a tree too large for the rate takes longer). Values that are not positive numbers
    // are ignored.
    struct ListingPace {
        double rate = 3;
        double cycleSeconds = 3600;
    };
    ListingPace listingPace() const;
    static std::vector<std::string> defaultValidApps();
    // `recoveryFolder`, safe to call from any thread.
    std::string currentRecoveryFolder() const;

    // The login item that starts the application at login, and the helper it runs.
    static constexpr const char* kLoginItemIdentifier = "com.meridot.tidewell.Riseling";
    static constexpr const char* kLoginHelperName = "riseling";

    // Fields, with their values before the configuration is read.
    // Folder for the application's own files, ending in "/": $XDG_DATA_HOME/Tidewell/. Created with its
    // parents when the object is made (a failure is ignored).
    std::string supportFolder;
    bool allowUninstallApplication = true;
    bool allowUninstallData = true;
    std::string server;  // forced by the administrator; pre-fills the login form
    std::string user;    // of the stored credentials, overridden by the administrator's value
    // "~/Tidewell/Salvage" expanded; a configured or stored folder is kept as given ("~" allowed).
    std::string recoveryFolder;
    adminButtonOptions contextMenu = adminButtonOptions::userDefinedOn;
    adminButtonOptions dockIcon = adminButtonOptions::userDefinedOn;
    adminButtonOptions iconOverlay = adminButtonOptions::userDefinedOn;
    adminButtonOptions openAtLogin = adminButtonOptions::userDefinedOn;
    bool changeRecoveryLocation = true;
    adminButtonOptions allowServerContact = adminButtonOptions::userDefinedOn;
    std::string paywallDetectURL;

private:
    mutable std::mutex mutex_;  // guards recoveryFolder writes after start-up, inLocation_, validApps_
    ExclusionManager& exclusions_;
    std::vector<std::pair<std::string, std::string>> inLocation_;
    std::vector<std::string> validApps_;
    std::atomic<bool> dockIconShown_{true};
};

}  // namespace tw
