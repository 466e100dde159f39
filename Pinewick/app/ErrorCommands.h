// What needs the user, on the command line: `tidewell errors` lists each item in error with what the
// server said and the choices its resolution offers, and the folders whose removals wait for a
// confirmation; `tidewell resolve PATH ACTION` carries out one of those choices through the error
// resolution manager, as the resolution windows do. Without those windows, the file manager's
// "Resolve Error" becomes a desktop notification that names the command resolving the item.
//
// Thread-safety: callable from any thread except the main queue (a resolution may wait for the server).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/busservice.h"
#include "platform/desktopnotify.h"

namespace tw {

class ErrorResolutionManager;

// `path` as a shell reads it back: unchanged when it has nothing the shell would act on, else quoted.
std::string shellQuoted(const std::string& path);

// The answer of `tidewell errors` for the items in error `items` and the folders `heldFolders`: one
// block per item, or a JSON document with "items" and "heldRemovals".
std::string errorsText(const std::vector<std::string>& items, const std::vector<std::string>& heldFolders,
                       bool json);

// `tidewell resolve PATH ACTION [--name NAME] [--rename mine|server]`: `args` as the command line sent
// them (args[0] is "resolve", PATH is absolute). Waits up to `wait` for the resolution; one that takes
// longer goes on and the reply says so. `manager` must outlive the resolution.
platform::CommandReply resolveCommand(ErrorResolutionManager& manager, const std::vector<std::string>& args,
                                      std::chrono::milliseconds wait = std::chrono::seconds(90));

// What "Resolve Error" on `path` tells the user when no window can be shown: what is wrong, and the
// command that resolves it.
platform::DesktopNotification resolveErrorNotification(const std::string& path);

}  // namespace tw
