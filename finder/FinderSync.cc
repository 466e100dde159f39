#include "finder/FinderSync.h"

#include <errno.h>

#include "platform/diagnostics.h"
#include "platform/files.h"
#include "platform/overmark.h"
#include "platform/paths.h"
#include "platform/utf8.h"

namespace tw::finder {

namespace {

// A switch notification turns its switch off with kSwitchOff and on with anything else; one without
// an object changes nothing.
void applySwitch(std::atomic<bool>& disabled, const char* notification,
                 const std::optional<std::string>& object) {
    if (!object) {
        platform::reportDiagnostic(platform::DiagnosticLevel::warning,
                                   std::string("Ignored ") + notification + " without \"" +
                                       overmark::kSwitchOn + "\" or \"" + overmark::kSwitchOff + "\".");
        return;
    }
    disabled = *object == overmark::kSwitchOff;
}

}  // namespace

std::optional<std::string> loadExtendedAttributes(const std::string& path) {
    platform::SysError error;
    auto value =
        platform::getXattr(path, overmark::kItemAttributeName, overmark::kItemAttributeMaxSize, &error);
    if (!value) {
        // No attribute is how every item outside the application's care looks; anything else is worth
        // a line, since the item then shows no state at all.
        if (error.code == ERANGE)
            platform::reportDiagnostic(platform::DiagnosticLevel::warning,
                                       "The attribute of " + path + " is longer than " +
                                           std::to_string(overmark::kItemAttributeMaxSize) +
                                           " bytes; no badge.");
        else if (error.code != ENODATA && error.code != ENOENT && error.code != ENOTSUP)
            platform::reportDiagnostic(platform::DiagnosticLevel::warning,
                                       "Could not read the attribute of " + path + ": " + error.describe());
        return std::nullopt;
    }
    if (!tw::platform::isValidUtf8(*value)) {
        platform::reportDiagnostic(platform::DiagnosticLevel::warning,
                                   "The attribute of " + path + " is not UTF-8 text; no badge.");
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> loadProgressAttribute(const std::string& path) {
    platform::SysError error;
    auto value = platform::getXattr(path, overmark::kProgressAttributeName, 64, &error);
    if (!value && error.code != ENODATA && error.code != ENOENT && error.code != ENOTSUP)
        platform::reportDiagnostic(platform::DiagnosticLevel::warning,
                                   "Could not read the progress of " + path + ": " + error.describe());
    return value;
}

std::string ItemLook::emblem() const {
    if (!badge) return "";
    if (percent) {
        std::string ring = progressEmblemName(*badge, *percent);
        if (!ring.empty()) return ring;
    }
    return emblemName(*badge);
}

FinderSync::FinderSync(FinderSyncHost& host, platform::Defaults& suite, const platform::Defaults& settings,
                       AttributeReader reader, AttributeReader progressReader)
    : host_(host),
      suite_(suite),
      reader_(reader ? std::move(reader) : AttributeReader(loadExtendedAttributes)),
      progressReader_(progressReader ? std::move(progressReader) : AttributeReader(loadProgressAttribute)),
      lockQueue_(platform::DispatchQueue::serial(lockQueueLabel)),
      postQueue_(platform::DispatchQueue::serial("com.meridot.tidewell.Overmark.Post")) {
    disabledOverlays_ = !storedSwitchIsOn(settings, overmark::kOverlaySwitchKey);
    disabledMenu_ = !storedSwitchIsOn(settings, overmark::kMenuSwitchKey);
    volumeChange();
}

bool FinderSync::storedSwitchIsOn(const platform::Defaults& settings, const std::string& key) {
    // Read as the application reads it at its start, so both sides agree before any notification.
    if (auto forced = settings.boolValue(key)) return *forced;
    return settings.boolValue(overmark::kUserChoicePrefix + key).value_or(true);
}

FinderSync::~FinderSync() {
    waitForQueues();
}

void FinderSync::waitForQueues() {
    lockQueue_->sync([] {});
    postQueue_->sync([] {});
}

void FinderSync::volumeChange() {
    auto folders = watchListFromValue(suite_.object(overmark::kWatchListKey));
    if (!folders) return;
    {
        std::lock_guard lock(volumeMutex_);
        volumeList_ = *folders;
    }
    host_.setDirectoryURLs(*folders);
}

std::vector<std::string> FinderSync::volumeList() const {
    std::lock_guard lock(volumeMutex_);
    return volumeList_;
}

void FinderSync::beginObservingDirectory(const std::string& folder) {
    lockQueue_->async([this, folder] { watchList_.insert(withoutTrailingSlash(folder)); });
}

void FinderSync::endObservingDirectory(const std::string& folder) {
    lockQueue_->async([this, folder] { watchList_.erase(withoutTrailingSlash(folder)); });
}

std::optional<badgeNames> FinderSync::iconRefresh(const std::string& path) {
    return badgeForAttributeText(reader_(path), disabledOverlays_.load());
}

void FinderSync::requestBadgeIdentifier(const std::string& path,
                                        std::function<void(std::optional<badgeNames>)> done) {
    lockQueue_->async([this, path, done = std::move(done)] {
        auto badge = iconRefresh(path);
        if (done)
            done(badge);
        else if (badge)
            host_.setBadgeIdentifier(*badge, path);
    });
}

void FinderSync::requestItemLook(const std::string& path, std::function<void(ItemLook)> done) {
    lockQueue_->async([this, path, done = std::move(done)] {
        ItemLook look;
        look.badge = iconRefresh(path);
        // Only an item waiting to move can be moving: every other item costs no second read.
        if (look.badge == badgeNames::Download || look.badge == badgeNames::Upload)
            look.percent = progressPercent(progressReader_(path));
        done(look);
    });
}

MenuOptions FinderSync::resolveMenuOption(const std::vector<std::string>& selectedItems) const {
    std::optional<std::string> text;
    if (selectedItems.size() == 1) text = reader_(selectedItems.front());
    return menuOptionsFor(selectedItems.size(), text, disabledMenu_.load());
}

Menu FinderSync::menu(MenuKind kind, const std::vector<std::string>& selectedItems) const {
    Menu result{brandingTitle, {}};
    switch (kind) {
        case MenuKind::contextualMenuForItems: {
            const MenuOptions options = resolveMenuOption(selectedItems);
            if (options.download)
                result.items.push_back({"Download", static_cast<int>(menuItemTags::download), "AppIcon"});
            if (options.removeDownload)
                result.items.push_back(
                    {"Remove download", static_cast<int>(menuItemTags::removeDownload), "AppIcon"});
            if (options.resolveError)
                result.items.push_back(
                    {"Resolve Error", static_cast<int>(menuItemTags::resolveError), "AppIcon"});
            break;
        }
        case MenuKind::toolbarItemMenu:
            for (const auto& folder : volumeList()) result.items.push_back({folderTitle(folder), -1, ""});
            break;
        case MenuKind::contextualMenuForContainer:
        case MenuKind::contextualMenuForSidebar:
            break;
    }
    return result;
}

void FinderSync::onClickMenuAction(int tag, const std::vector<std::string>& selectedItems) {
    const char* name = nullptr;
    switch (tag) {
        case static_cast<int>(menuItemTags::download):
            name = overmark::kDownloadNotification;
            break;
        case static_cast<int>(menuItemTags::removeDownload):
            name = overmark::kRemoveDownloadNotification;
            break;
        case static_cast<int>(menuItemTags::resolveError):
            name = overmark::kResolveErrorNotification;
            break;
        default:
            return;
    }
    postQueue_->async([this, name, selectedItems] {
        for (const auto& path : selectedItems) {
            // A notification carries text; a name the file system allows but UTF-8 does not cannot be
            // sent, and the application could not find the item by it anyway.
            if (!tw::platform::isValidUtf8(path)) {
                platform::reportDiagnostic(
                    platform::DiagnosticLevel::warning,
                    std::string("Did not post ") + name + " for a path that is not UTF-8.");
                continue;
            }
            host_.postNotification(name, path);
        }
    });
}

void FinderSync::onClickOpenAction(const std::string& title) {
    for (const auto& folder : volumeList())
        if (folderTitle(folder) == title) host_.openFolder(folder);
}

void FinderSync::handleNotification(const std::string& name, const std::optional<std::string>& object) {
    if (name == overmark::kIconChangeNotification || name == overmark::kProgressChangeNotification)
        handleIconChange(object);
    else if (name == overmark::kVolumeChangeNotification)
        handleVolumeChange();
    else if (name == overmark::kOverlayIconChangeNotification)
        handleOverlayIconChange(object);
    else if (name == overmark::kContextMenuChangeNotification)
        handleContextMenuChange(object);
}

void FinderSync::handleIconChange(const std::optional<std::string>& object) {
    if (!object) {
        platform::reportDiagnostic(
            platform::DiagnosticLevel::warning,
            std::string("Ignored ") + overmark::kIconChangeNotification + " without a path.");
        return;
    }
    lockQueue_->async([this, path = *object] {
        // Items in folders nobody looks at are badged when they are shown; reading them now would cost
        // a file access for nothing.
        if (!watchList_.count(platform::parentFolder(path))) return;
        if (auto badge = iconRefresh(path)) host_.setBadgeIdentifier(*badge, path);
    });
}

void FinderSync::handleVolumeChange() {
    volumeChange();
}

void FinderSync::handleOverlayIconChange(const std::optional<std::string>& object) {
    applySwitch(disabledOverlays_, overmark::kOverlayIconChangeNotification, object);
}

void FinderSync::handleContextMenuChange(const std::optional<std::string>& object) {
    applySwitch(disabledMenu_, overmark::kContextMenuChangeNotification, object);
}

}  // namespace tw::finder
