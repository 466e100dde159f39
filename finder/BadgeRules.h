// What the file-manager extension decides from the texts it reads, with no file manager and no file in
// sight: which badge an item gets, which menu items a selection offers, which folders the shared watch
// list names. Everything the extension shows comes from these functions, so they are the place to test.
//
// The item's state is the text of its record attribute, written by the main application. Only the
// prefixes and the one substring that platform/overmark.h names are looked at, never the whole record,
// so that a newer application adding lines to the record does not confuse an older extension.
//
// Thread-safety: pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::finder {

// Badges in the order the file manager's host knows them. Only the last five are ever set on an item.
enum class badgeNames { Calculating, None, Cloud, Local, Error, Download, Upload };

// "Cloud", "Local", ... (the case name).
const char* rawValue(badgeNames badge);
// The icon-theme emblem that shows `badge`: "tidewell-cloud" for Cloud, and so on; the file manager
// draws it as the themed icon "emblem-" + that name. Empty for Calculating and None.
std::string emblemName(badgeNames badge);

// While an item is downloaded or uploaded, the application keeps the fraction done in its progress
// attribute ("0.42"); the item then shows a ring filled as far, in steps of a tenth, around its
// transfer badge.
// The whole percentage the attribute's text stands for (rounded down); none when it is not a fraction
// from 0 to 1.
std::optional<int> progressPercent(const std::optional<std::string>& text);
// The emblem of a Download or Upload badge `percent` done: "tidewell-download-40" from 40 to 49 %.
// Empty for any other badge.
std::string progressEmblemName(badgeNames badge, int percent);

// Tags of the context menu's items; they pick the notification a click posts.
enum class menuItemTags : int { download = 0, removeDownload = 1, resolveError = 2 };

// The badge for an item whose attribute text is `text` (none: no readable attribute). None means
// "change nothing": the item keeps whatever badge it shows. An error state is badged even when badges
// are switched off, because it is the one state the user must act on.
std::optional<badgeNames> badgeForAttributeText(const std::optional<std::string>& text,
                                                bool disabledOverlays);

// Which of the three context-menu items a selection offers.
struct MenuOptions {
    bool removeDownload = false;
    bool download = false;
    bool resolveError = false;
    bool operator==(const MenuOptions&) const = default;
};

// The options for a selection of `selectedCount` items; `singleItemText` is the attribute text of the
// item when exactly one is selected (ignored otherwise). An error item offers "Resolve Error" even with
// the menu switched off.
MenuOptions menuOptionsFor(size_t selectedCount, const std::optional<std::string>& singleItemText,
                           bool disabledMenu);

// The folders named by the watch list's value (the watch-list key of the shared suite): none
// when the key is absent or is not an array (the caller then keeps what it had); entries that are not
// strings, or are not absolute paths, are skipped with a log line.
std::optional<std::vector<std::string>> watchListFromValue(const std::optional<nlohmann::json>& value);

// `folder` without trailing slashes ("/" stays "/").
std::string withoutTrailingSlash(std::string folder);
// True when `path` is one of `folders` or lies anywhere below one of them.
bool isInsideFolders(const std::string& path, const std::vector<std::string>& folders);
// The title a folder gets in the folder menu: its last path component, trailing slashes ignored.
std::string folderTitle(const std::string& folder);

}  // namespace tw::finder
