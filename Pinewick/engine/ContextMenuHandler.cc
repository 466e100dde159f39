#include "Pinewick/engine/ContextMenuHandler.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Pinewick/config/Log.h"
#include "Pinewick/config/Logger.h"
#include "Pinewick/engine/ChangeScan.h"
#include "Pinewick/engine/StateManager.h"
#include "Pinewick/engine/TimeLineManager.h"
#include "Pinewick/metadata/CEAUtils.h"
#include "Pinewick/server/ServerFileObject.h"
#include "platform/files.h"
#include "platform/overmark.h"
#include "platform/paths.h"

namespace tw {
namespace {

std::string fileType(const CorvaneExtendedAttributes& record, const std::string& path) {
    if (auto type = record.ceaString.getAttribute(CEAString::keys::FileType)) return *type;
    // An item the listing has not typed yet is typed by what it is on disk.
    if (auto attributes = platform::attributesOfItem(path)) return attributes->type;
    return "";
}

}  // namespace

ContextMenuHandler::ContextMenuHandler(TimeLineManager& timeline, StateManager& runState)
    : timeline_(timeline), runState_(runState), contextQueue_("contextQueue") {}

ContextMenuHandler::~ContextMenuHandler() {
    stop();
    contextQueue_.waitUntilAllOperationsAreFinished(std::chrono::seconds(60));
}

bool ContextMenuHandler::start() {
    std::lock_guard lock(observersMutex_);
    if (!observers_.empty()) return observers_.front()->connected();
    auto observe = [&](const char* name, void (ContextMenuHandler::*handler)(const std::string&)) {
        observers_.push_back(platform::observeNotifications(
            name,
            [this, handler](const std::string&, const std::string& object) { (this->*handler)(object); }));
    };
    observe(overmark::kDownloadNotification, &ContextMenuHandler::handleDownload);
    observe(overmark::kRemoveDownloadNotification, &ContextMenuHandler::handleRemoveDownload);
    observe(overmark::kResolveErrorNotification, &ContextMenuHandler::handleResolveError);
    observe(kChangeCommunicationState, &ContextMenuHandler::handleAutomatedTestChangeCommunicationState);
    bool connected = true;
    for (auto& o : observers_) connected = connected && o->connected();
    if (!connected) log().logWarning("The file manager's requests cannot arrive: no session bus");
    return connected;
}

void ContextMenuHandler::stop() {
    std::vector<std::unique_ptr<platform::NotificationObserver>> gone;
    {
        std::lock_guard lock(observersMutex_);
        gone.swap(observers_);
    }
    // Dropped outside the lock: an observer's destructor waits for its callback to return.
}

// The object of a notification is a full local path; anything else (no object at all) is ignored.
void ContextMenuHandler::handleDownload(const std::string& object) {
    if (object.empty() || object.front() != '/') return;
    contextQueue_.addOperation([this, object] { downloadItem(object); });
}

void ContextMenuHandler::handleRemoveDownload(const std::string& object) {
    if (object.empty() || object.front() != '/') return;
    contextQueue_.addOperation([this, object] { removeDownloadItem(object); });
}

void ContextMenuHandler::setResolveErrorHandler(std::function<void(const std::string& path)> handler) {
    std::lock_guard lock(resolveMutex_);
    resolveError_ = std::move(handler);
}

void ContextMenuHandler::handleResolveError(const std::string& object) {
    if (object.empty() || object.front() != '/') return;
    std::function<void(const std::string&)> handler;
    {
        std::lock_guard lock(resolveMutex_);
        handler = resolveError_;
    }
    if (handler)
        handler(object);
    else
        log().logWarning("Resolving the error of " + object + " needs the desktop application");
}

void ContextMenuHandler::handleAutomatedTestChangeCommunicationState(const std::string& object) {
    if (object.empty()) return;
    auto& state = runState_;
    if (state.allowServerCommunication && object == "Suspend") {
        log().logWarning("Automated test suspended communictaion with server");
        state.allowServerCommunication = false;
        state.triggerChanges();
    } else if (!state.allowServerCommunication && object == "Connect") {
        log().logWarning("Automated test resumed communictaion with server");
        state.allowServerCommunication = true;
        state.triggerChanges();
    }
}

void ContextMenuHandler::downloadItem(const std::string& path) {
    TW_TRACE("-> " + path, "downloadItem(path:)");
    if (CEAUtils::keepBytesWrittenToPlaceholder(path)) return;
    CorvaneExtendedAttributes record(path);
    std::string type = fileType(record, path);
    if (record.ceaStatus.status == CEAStatus::keys::Placeholder) {
        if (type == platform::kFileTypeRegular) {
            record.ceaStatus.setStatus(CEAStatus::keys::RequireDownload);
            if (record.save()) {
                ServerFileObject entry = entryFromRecord(platform::lastPathComponent(path), record);
                timeline_.addDownload(platform::parentFolder(path), entry);
            }
        } else {
            record.ceaStatus.setStatus(CEAStatus::keys::Regular);
            // Unwritten (the record logged why), the folder stays a placeholder; what it holds is asked
            // for below all the same, and asking again marks it.
            (void)record.save();
        }
    } else if (record.ceaStatus.status == CEAStatus::keys::RequireDownload &&
               type == platform::kFileTypeRegular) {
        // Still waiting for content the last run did not finish fetching (it was stopped or it
        // crashed): asking again fetches the rest now rather than at the folder's next listing. A
        // download of it that is already queued finds it complete and does nothing.
        ServerFileObject entry = entryFromRecord(platform::lastPathComponent(path), record);
        timeline_.addDownload(platform::parentFolder(path), entry);
    }
    if (type == platform::kFileTypeDirectory)
        for (const auto& name : platform::entriesOfFolder(path).value_or(std::vector<std::string>{}))
            downloadItem(path + "/" + name);
    TW_TRACE("<- " + path, "downloadItem(path:)");
}

void ContextMenuHandler::removeDownloadItem(const std::string& path) {
    TW_TRACE("-> " + path, "removeDownloadItem(path:)");
    if (std::string why = ChangeScan::whyNotSynchronisable(path); !why.empty()) {
        // Its record, if it carries one, is of what it was before it took this name: the server has
        // no copy of it here.
        log().logWarning("Not removing the download of " + ChangeScan::printablePath(path) + ": " + why);
        TW_TRACE("<- " + path, "removeDownloadItem(path:)");
        return;
    }
    CorvaneExtendedAttributes record(path);
    std::string type = fileType(record, path);
    auto state = record.ceaStatus.status;
    if (state == CEAStatus::keys::Regular && type == platform::kFileTypeRegular &&
        CEAUtils::hasLocalChanges(path, record)) {
        // Changed since it was last sent: the server does not hold this content yet.
        log().logWarning("Not removing the download of " + path + ": it changed here; uploading it");
        timeline_.addCloseEvent(path);
    } else if (state == CEAStatus::keys::RequireDownload || state == CEAStatus::keys::Regular) {
        record.ceaStatus.setStatus(CEAStatus::keys::Placeholder);
        // Only once the item says it is a placeholder may its content go; the server holds it.
        if (record.save() && type == platform::kFileTypeRegular && ::truncate(path.c_str(), 0) != 0)
            log().logWarning("Could not empty " + path + ": " + std::strerror(errno));
    }
    if (type == platform::kFileTypeDirectory)
        for (const auto& name : platform::entriesOfFolder(path).value_or(std::vector<std::string>{}))
            removeDownloadItem(path + "/" + name);
    TW_TRACE("<- " + path, "removeDownloadItem(path:)");
}

}  // namespace tw
