// The file-manager extension's state and behaviour, with the file manager behind `FinderSyncHost`: the
// watched folders from the shared list, the folders the file manager is showing, the two switches the
// main application sets, badge requests, both menus and the notifications in and out.
//
// The extension never talks to the server and keeps nothing on disk. It learns the synchronised folders
// from the app-group suite's watch list, each item's state from the item's own attribute, the
// two switches from the application's settings when it loads, and every later change from distributed
// notifications.
//
// Thread-safety: every member may be called from any thread. The folders being shown (`watchList`) and
// every badge computation live on one serial queue ("com.meridot.tidewell.Overmark.LockQueue"), so badges
// for one item are set in request order; the switches are atomics; the folder list is guarded by a
// mutex. Host calls: `setBadgeIdentifier` and badge-request completions on the lock queue,
// `postNotification` on a background queue, the rest on the caller's thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "finder/BadgeRules.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"

namespace tw::finder {

// What the extension asks of the file manager that loads it.
class FinderSyncHost {
public:
    virtual ~FinderSyncHost() = default;
    // The folders whose items get badges and menus; replaces the earlier set.
    virtual void setDirectoryURLs(const std::vector<std::string>& folders) = 0;
    // Shows `badge` on the item at `path` if the file manager still shows it. Called on the lock queue.
    virtual void setBadgeIdentifier(badgeNames badge, const std::string& path) = 0;
    // Opens `folder` in the file manager. Must not block.
    virtual void openFolder(const std::string& folder) = 0;
    // Posts a distributed notification. Called on a background queue; must not block for long.
    virtual void postNotification(const std::string& name, const std::string& object) = 0;
};

// Reads an item's attribute text: none when it has none, when the value is longer than the buffer or
// when it is not UTF-8.
using AttributeReader = std::function<std::optional<std::string>(const std::string& path)>;

// The real reader (the item's extended attribute through a 1024-byte buffer). A value that is too long
// or not UTF-8 is logged, since it means the application wrote something this extension cannot read.
std::optional<std::string> loadExtendedAttributes(const std::string& path);
// The real reader of the progress attribute; none when the item has none.
std::optional<std::string> loadProgressAttribute(const std::string& path);

// How an item looks: its badge (none: leave it as it is) and, while it moves, how far it is.
struct ItemLook {
    std::optional<badgeNames> badge;
    std::optional<int> percent;  // only for the Download and Upload badges
    // The emblem to show: the progress ring while a transfer runs, else the badge's own; empty for none.
    std::string emblem() const;
    bool operator==(const ItemLook&) const = default;
};

enum class MenuKind {
    contextualMenuForItems,
    contextualMenuForContainer,
    contextualMenuForSidebar,
    toolbarItemMenu
};

struct MenuItem {
    std::string title;
    int tag = -1;       // a menuItemTags value for item menus; -1 for folder entries
    std::string image;  // icon name, empty for none
};

struct Menu {
    std::string title;
    std::vector<MenuItem> items;
};

class FinderSync {
public:
    static constexpr const char* brandingTitle = "Tidewell";
    static constexpr const char* lockQueueLabel = "com.meridot.tidewell.Overmark.LockQueue";

    // Sets the switches as `settings` stores them, reads the watch list from `suite` and hands it to the
    // host. `settings` is read only here: the file manager usually starts after the application, whose
    // notifications of the switches were then sent before anyone listened. `host` and `suite` must
    // outlive this object.
    FinderSync(FinderSyncHost& host, platform::Defaults& suite, const platform::Defaults& settings,
               AttributeReader reader = loadExtendedAttributes,
               AttributeReader progressReader = loadProgressAttribute);
    // Waits for the blocks already queued (badge work, posts), so none runs on a destroyed object.
    ~FinderSync();
    FinderSync(const FinderSync&) = delete;
    FinderSync& operator=(const FinderSync&) = delete;

    // The file manager started or stopped showing `folder`.
    void beginObservingDirectory(const std::string& folder);
    void endObservingDirectory(const std::string& folder);
    // Computes the badge of `path` on the lock queue and calls `done` there with it (none: leave the
    // item as it is). Without `done`, the badge goes to the host's `setBadgeIdentifier`.
    void requestBadgeIdentifier(const std::string& path,
                                std::function<void(std::optional<badgeNames>)> done = nullptr);
    // As requestBadgeIdentifier, with the progress of a transfer under way (a second attribute read,
    // for items waiting to be downloaded or uploaded only).
    void requestItemLook(const std::string& path, std::function<void(ItemLook)> done);

    // The menu of a kind; `selectedItems` are the selected paths for item menus.
    Menu menu(MenuKind kind, const std::vector<std::string>& selectedItems) const;
    std::string toolbarItemName() const { return brandingTitle; }
    std::string toolbarItemToolTip() const {
        return std::string(brandingTitle) + ": Click the toolbar item for a menu.";
    }

    // The user chose the item tagged `tag` with `selectedItems` selected: posts its notification once per
    // path, in order, from a background queue. An unknown tag does nothing.
    void onClickMenuAction(int tag, const std::vector<std::string>& selectedItems);
    // The user chose the folder entry titled `title`: opens every watched folder with that title.
    void onClickOpenAction(const std::string& title);

    // Routes a received notification to its handler; `object` is none when it had no string object.
    // Names this extension does not observe are ignored.
    void handleNotification(const std::string& name, const std::optional<std::string>& object);
    void handleIconChange(const std::optional<std::string>& object);
    void handleVolumeChange();
    void handleOverlayIconChange(const std::optional<std::string>& object);
    void handleContextMenuChange(const std::optional<std::string>& object);

    // removeDownload, download and resolveError for the selected paths (reads one attribute at most).
    MenuOptions resolveMenuOption(const std::vector<std::string>& selectedItems) const;

    // Whether the switch under `key` is on as `settings` stores it.
    static bool storedSwitchIsOn(const platform::Defaults& settings, const std::string& key);

    std::vector<std::string> volumeList() const;
    bool disabledMenu() const { return disabledMenu_.load(); }
    bool disabledOverlays() const { return disabledOverlays_.load(); }
    // Returns once every block queued on the lock queue and the post queue before the call has run.
    void waitForQueues();

private:
    // Rereads the watch list; an absent or unreadable list changes nothing.
    void volumeChange();
    // The badge decision for one item. REQUIRES: on the lock queue.
    std::optional<badgeNames> iconRefresh(const std::string& path);

    FinderSyncHost& host_;
    platform::Defaults& suite_;
    AttributeReader reader_;
    AttributeReader progressReader_;

    mutable std::mutex volumeMutex_;       // guards volumeList_
    std::vector<std::string> volumeList_;  // the watched folders, in the shared list's order

    std::set<std::string> watchList_;  // folders being shown; only touched on lockQueue_
    std::shared_ptr<platform::DispatchQueue> lockQueue_;
    // Menu notifications leave from here, in click order, so the file manager's thread never waits.
    std::shared_ptr<platform::DispatchQueue> postQueue_;

    std::atomic<bool> disabledMenu_{false};
    std::atomic<bool> disabledOverlays_{false};
};

}  // namespace tw::finder
