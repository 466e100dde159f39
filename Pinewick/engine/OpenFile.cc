#include "Pinewick/engine/OpenFile.h"

#include "Pinewick/config/Log.h"
#include "Pinewick/engine/StatusBarManager.h"
#include "Pinewick/engine/TLDownloadFile.h"
#include "Pinewick/metadata/CEAUtils.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "platform/dispatch.h"
#include "platform/paths.h"

namespace tw {

bool OpenFile::application(StatusBarManager& statusBar, const ServerEnvironment& server,
                           const std::string& path) {
    if (CEAUtils::keepBytesWrittenToPlaceholder(path)) return true;
    CorvaneExtendedAttributes record(path);
    if (record.ceaStatus.status != CEAStatus::keys::Placeholder) return true;
    record.ceaStatus.setStatus(CEAStatus::keys::RequireDownload);
    record.ceaBool.setAttribute(CEABool::keys::LaunchAfterDownload, true);
    if (!record.save()) {
        log().logWarning("Cannot open " + path + ": its record could not be saved");
        return true;
    }
    ServerFileObject entry = entryFromRecord(platform::lastPathComponent(path), record);
    std::string folder = platform::parentFolder(path);
    platform::DispatchQueue::global(platform::QoS::background).async([&statusBar, &server, folder, entry] {
        TLDownloadFile::performAction(statusBar, server, folder, entry, std::nullopt);
    });
    return true;
}

}  // namespace tw
