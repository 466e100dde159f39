// Opening a file with the application (`tidewell open PATH`, or the file manager opening a
// placeholder): a placeholder is downloaded in the background and opened once its content is there.
//
// Thread-safety: callable from any thread; the download runs on a global background queue.
#pragma once

#include <string>

namespace tw {

class StatusBarManager;
struct ServerEnvironment;

class OpenFile {
public:
    // Marks a placeholder to be downloaded (in `server`, which outlives the program's downloads) and
    // opened after the download (its progress shown through `statusBar`); anything else is left as it is.
    // Always true, as the platform's open-file answer.
    static bool application(StatusBarManager& statusBar, const ServerEnvironment& server,
                            const std::string& path);
};

}  // namespace tw
