// The application's side of the file manager's context menu: requests to download an item (a whole
// folder tree of placeholders too), to drop the local copy of an item, and to resolve an item's error,
// as the file-manager extension posts them on the session bus, plus one hook automated tests use to
// suspend and resume server communication.
//
// Download and remove requests run one at a time on `contextQueue`, in arrival order, so a removal
// that follows a download of the same item runs after it. Downloads, and uploads of changed content
// that is not removed, are queued on the timeline the handler is built with; the test hook changes the
// run state it is built with.
//
// Thread-safety: notifications arrive on the observer's listener threads; `start` and `stop` may be
// called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/notifications.h"

namespace tw {

class StateManager;
class TimeLineManager;

class ContextMenuHandler {
public:
    static constexpr const char* kChangeCommunicationState = "BrindleAutomatedTestChangeCommunicationState";

    // A handler queueing its work on `timeline` and switching `runState` (neither owned; both must
    // outlive the handler).
    ContextMenuHandler(TimeLineManager& timeline, StateManager& runState);
    ~ContextMenuHandler();  // stops observing and waits for the request running now
    ContextMenuHandler(const ContextMenuHandler&) = delete;
    ContextMenuHandler& operator=(const ContextMenuHandler&) = delete;

    // Observes the four notifications on the session bus. Calling it again changes nothing. False when
    // no bus could be reached (the requests then never arrive).
    bool start();
    // Stops observing (shutdown); requests already queued still run.
    void stop();

    platform::OperationQueue& contextQueue() { return contextQueue_; }

    // Where a resolve-error request goes: the error resolution of the program's user interface, which
    // the engine cannot name. Without one the request is logged and dropped.
    void setResolveErrorHandler(std::function<void(const std::string& path)> handler);

private:
    void handleDownload(const std::string& object);
    void handleRemoveDownload(const std::string& object);
    void handleResolveError(const std::string& object);
    void handleAutomatedTestChangeCommunicationState(const std::string& object);
    void downloadItem(const std::string& path);
    void removeDownloadItem(const std::string& path);

    TimeLineManager& timeline_;
    StateManager& runState_;
    platform::OperationQueue contextQueue_;
    std::mutex observersMutex_;  // guards observers_
    std::vector<std::unique_ptr<platform::NotificationObserver>> observers_;
    std::mutex resolveMutex_;  // guards resolveError_
    std::function<void(const std::string&)> resolveError_;
};

}  // namespace tw
