// Names and payloads that the application and Overmark, its file-manager extension (finder/), must
// spell alike: where their notifications travel, which notifications there are and what they carry,
// the shared suite and its key, the application settings the extension reads, and the item attributes
// it reads. Like pwevent.h for the file watcher, this is the contract between the two programs: both
// include it and neither spells these texts anywhere else, so it holds constants only.
//
// Thread-safety: nothing here has state.
#pragma once

#include <cstddef>

namespace tw::overmark {

// ---- Where notifications travel: a D-Bus signal (s name, s object) on the session bus, an empty
// object meaning none.
inline constexpr char kNotificationObjectPath[] = "/com/meridot/tidewell";
inline constexpr char kNotificationInterface[] = "com.meridot.tidewell.DistributedNotification";
inline constexpr char kNotificationMember[] = "Post";
// The signal's arguments, the name then the object: as D-Bus spells them, and as GLib spells the body
// that holds them.
inline constexpr char kNotificationSignature[] = "ss";
inline constexpr char kNotificationBodyType[] = "(ss)";

// ---- Application to extension.
// An item's state changed: its badge is looked at again. Object: the item's path.
inline constexpr char kIconChangeNotification[] = "BrindleIconChange";
// An item's progress attribute changed: its ring is looked at again. Object: the item's path.
inline constexpr char kProgressChangeNotification[] = "BrindleProgressChange";
// The watch list in the shared suite changed. No object.
inline constexpr char kVolumeChangeNotification[] = "BrindleVolumeChange";
// The badges, or the context menu, were switched. Object: kSwitchOn or kSwitchOff.
inline constexpr char kOverlayIconChangeNotification[] = "BrindleOverlayIconChange";
inline constexpr char kContextMenuChangeNotification[] = "BrindleContextMenuChange";
inline constexpr char kSwitchOn[] = "on";
inline constexpr char kSwitchOff[] = "off";

// ---- Extension to application: the context menu's commands, one notification per selected item.
// Object: the item's path.
inline constexpr char kDownloadNotification[] = "BrindleDownload";
inline constexpr char kRemoveDownloadNotification[] = "BrindleRemoveDownload";
inline constexpr char kResolveErrorNotification[] = "BrindleResolveError";

// ---- The shared suite: the application writes it, the extension only reads it.
inline constexpr char kFinderListSuite[] = "group.com.meridot.tidewell.FinderList";
// The synchronised folders: a JSON array of absolute paths, in the order the menu lists them.
inline constexpr char kWatchListKey[] = "FinderWatchList";

// ---- The application's settings the extension reads when it loads (its later changes come as
// notifications). An administrator forces a switch under the key itself; the user's choice is stored
// under kUserChoicePrefix + key; a switch that neither sets is on.
inline constexpr char kOverlaySwitchKey[] = "iconoverlay";
inline constexpr char kMenuSwitchKey[] = "contextmenu";
inline constexpr char kUserChoicePrefix[] = "User";

// ---- Item attributes (names without the "user." namespace, as platform/files.h takes them).
// The item's record as text, at most kItemAttributeMaxSize bytes: longer would not be read.
inline constexpr char kItemAttributeName[] = "com.meridot.tidewell";
inline constexpr std::size_t kItemAttributeMaxSize = 1024;
// The record lines the badge is decided from: the state line, and the revision line that only an item
// the server has carries. Only these prefixes are looked at, so that lines a newer application adds do
// not confuse an older extension.
inline constexpr char kStatusErrorPrefix[] = "Status: Error";
inline constexpr char kStatusRequireUploadLine[] = "Status: RequireUpload\n";
inline constexpr char kStatusRequireDownloadLine[] = "Status: RequireDownload\n";
inline constexpr char kStatusRegularLine[] = "Status: Regular\n";
inline constexpr char kStatusPlaceholderLine[] = "Status: Placeholder\n";
inline constexpr char kStatusErrorPlaceholderLine[] = "Status: ErrorPlaceHolder\n";
inline constexpr char kRevisionPrefix[] = "Revision:";
// The record's keys and state words that programs other than the application read (gatewarden decides
// opens and deletes from them); the application writes each key as a "Key: value" line.
inline constexpr char kStatusKey[] = "Status";
inline constexpr char kReadOnlyKey[] = "ReadOnly";
inline constexpr char kServerFileSizeKey[] = "ServerFileSize";
inline constexpr char kStatusRequireUpload[] = "RequireUpload";
inline constexpr char kStatusRequireDownload[] = "RequireDownload";
inline constexpr char kStatusPlaceholder[] = "Placeholder";
inline constexpr char kStatusRegular[] = "Regular";
inline constexpr char kStatusErrorRegular[] = "ErrorRegular";
inline constexpr char kStatusErrorPlaceholder[] = "ErrorPlaceHolder";
inline constexpr char kStatusLocalOnly[] = "LocalOnly";
inline constexpr char kStatusUnknown[] = "Unknown";
// The fraction of a transfer done, as decimal text from 0 to 1 ("0.42"), while it runs.
inline constexpr char kProgressAttributeName[] = "com.apple.progress.fractionCompleted";

}  // namespace tw::overmark
