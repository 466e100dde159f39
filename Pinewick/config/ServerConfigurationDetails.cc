#include "Pinewick/config/ServerConfigurationDetails.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "Pinewick/config/ExclusionManager.h"
#include "Pinewick/config/Log.h"
#include "platform/autostart.h"
#include "platform/casefold.h"
#include "platform/defaults.h"
#include "platform/notifications.h"
#include "platform/overmark.h"
#include "platform/paths.h"
#include "platform/places.h"
#include "platform/process.h"

namespace tw {

namespace {

platform::Defaults& defaults() {
    return platform::Defaults::standard();
}

constexpr const char* kDefaultMappingLocal = "~/Tidewell";
constexpr const char* kDefaultMappingServer = "/home";

std::string valueText(const nlohmann::json& v) {
    return v.is_string() ? v.get<std::string>()
                         : v.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// "~" expanded and the path made canonical in form (no ".", "..", doubled or trailing "/").
std::string standardisedPath(const std::string& path) {
    std::string normal = std::filesystem::path(platform::expandTilde(path)).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

// Whether `path` is the home folder or below it (component-wise, so "/home/alice2" is not in
// "/home/alice").
bool withinHome(const std::string& path) {
    std::string home = standardisedPath(platform::homeFolder());
    if (path.empty() || path[0] != '/') return false;
    if (home == "/") return true;
    return path == home || platform::isInsideFolder(path, home);
}

}  // namespace

std::string ServerConfigurationDetails::rawValue(buttonNames name) {
    switch (name) {
        case buttonNames::dockicon:
            return "dockicon";
        case buttonNames::iconoverlay:
            return overmark::kOverlaySwitchKey;
        case buttonNames::openatlogin:
            return "openatlogin";
        case buttonNames::contextmenu:
            return overmark::kMenuSwitchKey;
        case buttonNames::changerecoveryfolder:
            return "changerecoveryfolder";
        case buttonNames::allowservercontact:
            return "allowservercontact";
    }
    return "";
}

std::string ServerConfigurationDetails::userChoiceKey(buttonNames name) {
    return overmark::kUserChoicePrefix + rawValue(name);
}

bool ServerConfigurationDetails::isOn(adminButtonOptions option) {
    return option == adminButtonOptions::forceOn || option == adminButtonOptions::userDefinedOn;
}

bool ServerConfigurationDetails::isForced(adminButtonOptions option) {
    return option == adminButtonOptions::forceOn || option == adminButtonOptions::forceOff;
}

ServerConfigurationDetails::ServerConfigurationDetails(ExclusionManager& exclusions)
    : exclusions_(exclusions) {
    TW_TRACE_IN("init()");
    supportFolder = platform::dataHome() + "/Tidewell/";
    platform::makeFolders(supportFolder);
    recoveryFolder = platform::expandTilde("~/Tidewell/Salvage");
    validApps_ = defaultValidApps();
    TW_TRACE_OUT("init()");
}

bool ServerConfigurationDetails::readAdminBool(const std::string& key, bool defaultValue) const {
    return defaults().boolValue(key).value_or(defaultValue);
}

ServerConfigurationDetails::adminButtonOptions ServerConfigurationDetails::readAdminButton(
    const std::string& key) const {
    if (auto forced = defaults().boolValue(key))
        return *forced ? adminButtonOptions::forceOn : adminButtonOptions::forceOff;
    return readAdminBool(overmark::kUserChoicePrefix + key, true) ? adminButtonOptions::userDefinedOn
                                                                  : adminButtonOptions::userDefinedOff;
}

void ServerConfigurationDetails::readConfig(const Hooks& h) {
    TW_TRACE_IN("readConfig()");
    std::pair<std::string, std::string> stored;
    if (h.storedCredentials) stored = h.storedCredentials();

    if (auto forcedServer = defaults().stringValue("server")) {
        server = *forcedServer;
        if (!server.empty() && !stored.first.empty() && !platform::sameNameIgnoringCase(server, stored.first))
            log().logFatal("Administrator forced server does not match keychain server");
    }

    user = stored.second;
    if (auto forcedUser = defaults().stringValue("user")) {
        user = *forcedUser;
        if (!user.empty() && !stored.second.empty() && !platform::sameNameIgnoringCase(user, stored.second))
            log().logFatal("Administrator forced user does not match keychain user");
    }

    if (auto folder = defaults().stringValue("recoveryfolder"); folder && validateRecoveryFolder(*folder)) {
        std::lock_guard lock(mutex_);
        recoveryFolder = *folder;
    }

    dockIcon = readAdminButton(rawValue(buttonNames::dockicon));
    iconOverlay = readAdminButton(rawValue(buttonNames::iconoverlay));
    openAtLogin = readAdminButton(rawValue(buttonNames::openatlogin));
    contextMenu = readAdminButton(rawValue(buttonNames::contextmenu));
    changeRecoveryLocation = readAdminBool(rawValue(buttonNames::changerecoveryfolder), true);
    allowServerContact = readAdminButton(rawValue(buttonNames::allowservercontact));
    allowUninstallData = readAdminBool("allowuninstalldata", true);
    allowUninstallApplication = readAdminBool("allowuninstallapplication", true);
    if (auto url = defaults().stringValue("paywalldetecturl")) paywallDetectURL = *url;

    // Keys of a JSON object come sorted, so the mapping is handed on in a stable order.
    std::vector<std::pair<std::string, std::string>> mapping;
    if (auto configured = defaults().object("mapping"); configured && configured->is_object()) {
        for (auto it = configured->begin(); it != configured->end(); ++it) {
            const std::string& local = it.key();
            const auto& value = it.value();
            if (local.starts_with("~") && value.is_string() && value.get<std::string>().starts_with("/"))
                mapping.emplace_back(local, value.get<std::string>());
            else
                log().logWarning("Could not handle In Location Mapping " + local + " : " + valueText(value));
        }
    }
    if (mapping.empty()) mapping.emplace_back(kDefaultMappingLocal, kDefaultMappingServer);
    {
        std::lock_guard lock(mutex_);
        inLocation_ = mapping;
    }
    if (h.resolveInLocation) h.resolveInLocation(mapping);

    // Rules refer to rules defined before them, so they are handed on in the file's order.
    if (auto rules = defaults().orderedObject("exclusionRule"); rules && rules->is_object()) {
        exclusions_.parseRules(*rules);
        if (auto files = defaults().orderedObject("excludeFile"); files && files->is_array())
            exclusions_.parseExcludeFiles(*files);
        if (auto folders = defaults().orderedObject("excludeDirectory"); folders && folders->is_array())
            exclusions_.parseExcludeDirectories(*folders);
    }

    // Only an administrator decides which programs count as the user browsing a folder.
    if (auto apps = defaults().adminObject("validapps")) {
        bool allStrings =
            apps->is_array() &&
            std::all_of(apps->begin(), apps->end(), [](const nlohmann::json& e) { return e.is_string(); });
        if (allStrings) {
            std::lock_guard lock(mutex_);
            validApps_ = apps->get<std::vector<std::string>>();
        } else {
            log().logWarning("Could not handle valid applications " + valueText(*apps));
        }
    }
    TW_TRACE_OUT("readConfig()");
}

bool ServerConfigurationDetails::validateRecoveryFolder(const std::string& path) const {
    std::string expanded = standardisedPath(path);
    if (!withinHome(expanded)) {
        log().logWarning("Recovery Folder must be within users home directory. Reverting to default.");
        return false;
    }
    struct stat st {};
    if (::stat(expanded.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        log().logWarning("Recovery folder must be a folder. Reverting to default.");
        return false;
    }
    if (errno == ENOENT && platform::makeFolders(expanded)) return true;
    log().logWarning("Could not create recovery folder \"" + expanded + "\". Reverting to default.");
    return false;
}

bool ServerConfigurationDetails::storeRecoveryFolder(const std::string& path) {
    if (!validateRecoveryFolder(path)) return false;
    std::string stored = platform::abbreviateTilde(standardisedPath(path));
    if (!defaults().set("recoveryfolder", stored)) return false;
    std::lock_guard lock(mutex_);
    recoveryFolder = stored;
    return true;
}

std::string ServerConfigurationDetails::currentRecoveryFolder() const {
    std::lock_guard lock(mutex_);
    return recoveryFolder;
}

std::optional<std::string> ServerConfigurationDetails::retrieveUserVolumeState(const std::string& key) const {
    auto value = defaults().stringValue(key);
    if (!value) return std::nullopt;
    for (const char* state : {"Visible", "Hidden", "Dead", "InLocation"})
        if (*value == state) return value;
    return std::nullopt;
}

void ServerConfigurationDetails::enforceDockIcon(bool show) {
    dockIconShown_ = show;
    log().logDebug(std::string("Dock icon ") + (show ? "shown" : "hidden"));
}

void ServerConfigurationDetails::enforceIconOverlay(bool allowOverlay) {
    platform::postNotification(overmark::kOverlayIconChangeNotification,
                               allowOverlay ? overmark::kSwitchOn : overmark::kSwitchOff);
}

void ServerConfigurationDetails::enforceContextMenu(bool allowMenu) {
    platform::postNotification(overmark::kContextMenuChangeNotification,
                               allowMenu ? overmark::kSwitchOn : overmark::kSwitchOff);
}

void ServerConfigurationDetails::loadState(const Hooks& hooks) {
    TW_TRACE_IN("loadState()");
    readConfig(hooks);
    // A login item that cannot be written is reported by the platform layer; start-up goes on.
    platform::setLoginItemEnabled(kLoginItemIdentifier, platform::toolPath(kLoginHelperName),
                                  isOn(openAtLogin), "Tidewell");
    enforceDockIcon(isOn(dockIcon));
    if (hooks.setAllowServerCommunication) hooks.setAllowServerCommunication(isOn(allowServerContact));
    enforceIconOverlay(isOn(iconOverlay));
    enforceContextMenu(isOn(contextMenu));
    TW_TRACE_OUT("loadState()");
}

std::vector<std::pair<std::string, std::string>> ServerConfigurationDetails::inLocationMapping() const {
    std::lock_guard lock(mutex_);
    return inLocation_;
}

std::vector<std::string> ServerConfigurationDetails::validApps() const {
    std::lock_guard lock(mutex_);
    return validApps_;
}

ServerConfigurationDetails::PlaceholderReads ServerConfigurationDetails::placeholderReads() const {
    PlaceholderReads r;
    r.refuseAll = defaults().boolValue("refuseplaceholderreads").value_or(false);
    if (auto wait = defaults().adminObject("placeholderopenwait"); wait && wait->is_number() && *wait >= 0)
        r.waitSeconds = wait->get<double>();
    if (auto names = defaults().adminObject("refusedreaders"); names && names->is_array())
        for (const auto& n : *names)
            if (n.is_string()) r.refusedPrograms.push_back(n.get<std::string>());
    return r;
}

ServerConfigurationDetails::ListingPace ServerConfigurationDetails::listingPace() const {
    ListingPace pace;
    if (auto rate = defaults().adminObject("listingrate"); rate && rate->is_number() && *rate > 0)
        pace.rate = rate->get<double>();
    if (auto cycle = defaults().adminObject("listingcycle"); cycle && cycle->is_number() && *cycle > 0)
        pace.cycleSeconds = cycle->get<double>();
    return pace;
}

std::vector<std::string> ServerConfigurationDetails::defaultValidApps() {
    std::vector<std::string> apps;
    for (const char* name : {"nautilus", "nemo", "caja", "thunar", "dolphin", "pcmanfm", "pcmanfm-qt",
                             "xdg-desktop-portal-gnome", "xdg-desktop-portal-gtk", "xdg-desktop-portal-kde"})
        for (const char* folder : {"/usr/bin/", "/usr/libexec/"}) apps.push_back(std::string(folder) + name);
    return apps;
}

}  // namespace tw
