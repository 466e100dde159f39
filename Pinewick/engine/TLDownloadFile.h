// Fetching a placeholder's content: `TLDownloadFile` brings one file's content into place and opens it
// when the user had asked to open it; `TLOutOfBandDownload` handles a placeholder the user moved out of
// the synchronised area (its content goes to the new place, then the server item is deleted).
//
// Thread-safety: `TLDownloadFile::performAction` runs on the download queue, on a background queue for
// a file opened by the user, or on the timeline thread inside `TLOutOfBandDownload`; records are
// reloaded before every change, so a rename during the transfer is followed by identity.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "Pinewick/engine/TLEvent.h"
#include "Pinewick/server/ServerFileObject.h"

namespace tw {

class StatusBarManager;

class TLDownloadFile {
public:
    // Downloads the content of `localFolder` + "/" + the entry's name when it waits for it, showing the
    // transfer on `statusBar`. True exactly when the download succeeded. A file the user asked to open
    // is then opened with the user's default application ("xdg-open PATH", started detached from a
    // background queue).
    static bool performAction(StatusBarManager& statusBar, const ServerEnvironment& server,
                              const std::string& localFolder, const ServerFileObject& file,
                              const std::optional<std::string>& serverPath = std::nullopt);
};

class TLOutOfBandDownload : public TLEvent {
public:
    // `pathTo` is kept as the destination's identity path when it can be read, so a later rename of the
    // destination is followed.
    TLOutOfBandDownload(std::string pathFrom, std::string pathTo);
    void performAction(EventContext& context) override;

    std::string pathFrom;
    std::string pathTo;
    CorvaneExtendedAttributes storedXAttr;  // the destination's record when the event was made

private:
    std::string destination_;                                // the destination as the move named it
    std::optional<std::pair<uint64_t, uint64_t>> identity_;  // its (device, number), when it could be read
};

}  // namespace tw
