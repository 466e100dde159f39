// What the kernel channel and the volume manager ask of the sync engine. The engine sits above this
// subsystem (it uses volumes to translate paths), so it hands these calls to the kernel link (in its
// options) and to the volume manager instead of being called directly. A call left empty does nothing,
// which is what tests of the volume layer alone want.
//
// Thread-safety: a link is never changed once handed over; the calls may come from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Pinewick/metadata/CorvaneExtendedAttributes.h"

namespace tw {

class VolumeDetail;
class ServerFileObject;

struct EngineLink {
    // Timeline work.
    std::function<void(const std::string& path, bool userRequest)> addSyncFolderEvent;
    // A program other than the trusted file managers (`program`, its executable, empty when unknown)
    // listed the watched folder `path`: the folder is in use, and changes on the server come down
    // sooner.
    std::function<void(const std::string& path, const std::string& program)> folderInUse;
    std::function<void(const std::string& path)> addCloseEvent;
    std::function<void(const std::string& file, const std::string& file2)> addExchangeEvent;
    std::function<void(const std::string& path, const CorvaneExtendedAttributes& xAttrs)> addDeleteEvent;
    // Builds the move event with the item's record from before the move, checks it and queues it.
    std::function<void(const std::string& from, const std::string& to,
                       const CorvaneExtendedAttributes& xAttrs)>
        addMoveEvent;
    // Builds the create-folder event, checks it and queues it.
    std::function<void(const std::string& path)> addCreateFolderEvent;
    std::function<void(const std::string& path)> addGhostCleanupEvent;
    // Ejects a volume the server no longer offers (in the background).
    std::function<void(std::shared_ptr<VolumeDetail> volume)> addRecoverVolumeEvent;
    // Records a folder's server facts (sharing, read-only, state by mode) from its listing entry.
    std::function<void(const std::string& path, const ServerFileObject& entry)> refreshFolder;
    // Marks an item LocalOnly so it is never synchronised.
    std::function<void(const std::string& path)> setLocal;
    // The volume sub-menu of the tray has to be rebuilt.
    std::function<void()> volumeMenuChanged;
    // The kernel link was lost and is being rebuilt: hold the timeline, then let the run state decide.
    std::function<void()> pauseTimeLine;
    std::function<void()> triggerChanges;
    // The application cannot run without its file watcher.
    std::function<void()> terminate;
    // The watcher could not report every change (its queue overflowed, or it was restarted): look for
    // them by comparing the items with their records, in the volume holding `folder` or, when it is
    // empty, in every volume. Returns at once; the work runs in the background.
    std::function<void(const std::string& folder)> scanForChanges;
    // A program (`program`, its executable's path, empty when unknown) opens the placeholder `path`:
    // the first answer text (platform/pwevent.h). When it is kAnswerDownloading, `later` is called
    // once more, from another thread, with the answer that ends the open's wait.
    std::function<const char*(const std::string& path, const std::string& program,
                              std::function<void(const char* answer)> later)>
        openPlaceholder;
    // Shows a mounted volume to the user (opening it in the file manager).
    std::function<void(const std::string& folder)> revealFolder;
};

}  // namespace tw
