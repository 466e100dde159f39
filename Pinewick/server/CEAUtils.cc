#include "Pinewick/server/CEAUtils.h"

#include "Pinewick/config/Logger.h"
#include "platform/paths.h"

namespace tw {

CorvaneExtendedAttributes& CEAUtils::updateCorvaneExtendedAttributes(CorvaneExtendedAttributes& record,
                                                                     const ServerFileObject& file) {
    record.ceaString.setAttribute(CEAString::keys::Revision, file.revision);
    record.ceaBool.setAttribute(CEABool::keys::CanShare, file.allowSharing);
    record.ceaBool.setAttribute(CEABool::keys::ReadOnly, file.isReadOnly);
    record.ceaLong.setAttribute(CEALong::keys::ServerFileSize, file.size);
    return record;
}

void CEAUtils::applyStateRule(CorvaneExtendedAttributes& record, const std::string& path,
                              const ServerFileObject& file) {
    if (record.ceaStatus.status == CEAStatus::keys::Unknown) {
        switch (file.mode) {
            case ServerFileObject::modeKeys::Inherit:
                record.ceaStatus.setStatus(determineInhert(path, record.ceaStatus.status));
                break;
            case ServerFileObject::modeKeys::Automatic:
                record.ceaStatus.setStatus(CEAStatus::keys::Regular);
                break;
            case ServerFileObject::modeKeys::Manual:
                record.ceaStatus.setStatus(CEAStatus::keys::Placeholder);
                break;
        }
    }
    record.save();
}

CorvaneExtendedAttributes CEAUtils::refreshFilePath(const std::string& path, const ServerFileObject& file) {
    CorvaneExtendedAttributes record(path);
    updateCorvaneExtendedAttributes(record, file);
    applyStateRule(record, path, file);
    return record;
}

CorvaneExtendedAttributes CEAUtils::refreshFolder(const std::string& path, const ServerFileObject& file) {
    CorvaneExtendedAttributes record(path);
    record.ceaBool.setAttribute(CEABool::keys::CanShare, file.allowSharing);
    record.ceaBool.setAttribute(CEABool::keys::ReadOnly, file.isReadOnly);
    applyStateRule(record, path, file);
    return record;
}

CEAStatus::keys CEAUtils::determineInhert(const std::string& path, CEAStatus::keys) {
    // Walk up iteratively: the same rule as asking each parent in turn, without deep recursion.
    std::string current = path;
    for (;;) {
        if (current.size() <= 1) return CEAStatus::keys::Placeholder;
        if (current.find('/') == std::string::npos) return CEAStatus::keys::Placeholder;
        std::string parent = platform::parentFolder(current);
        CorvaneExtendedAttributes record(parent);
        switch (record.ceaStatus.status) {
            case CEAStatus::keys::Regular:
            case CEAStatus::keys::ErrorRegular:
                return CEAStatus::keys::Regular;
            case CEAStatus::keys::Unknown:
                current = parent;
                continue;
            default:
                return CEAStatus::keys::Placeholder;
        }
    }
}

void CEAUtils::setStatusIfUnknown(const std::string& path) {
    CorvaneExtendedAttributes record(path);
    if (record.ceaStatus.status != CEAStatus::keys::Unknown) return;
    record.ceaStatus.setStatus(determineInhert(path));
    record.save();
}

void CEAUtils::setLocal(const std::string& path) {
    CorvaneExtendedAttributes record(path);
    record.ceaStatus.setStatus(CEAStatus::keys::LocalOnly);
    record.save();
}

void CEAUtils::recordSyncedContent(CorvaneExtendedAttributes& record, const platform::FileAttributes& file) {
    record.ceaString.setAttribute(CEAString::keys::SyncedContent,
                                  std::to_string(file.size) + " " + std::to_string(file.modificationNanos));
}

bool CEAUtils::hasLocalChanges(const std::string& path, const CorvaneExtendedAttributes& record) {
    auto file = platform::attributesOfItem(path, nullptr, false);
    return file && hasLocalChanges(*file, record);
}

bool CEAUtils::keepBytesWrittenToPlaceholder(const std::string& path) {
    CorvaneExtendedAttributes record(path);
    if (record.ceaStatus.status != CEAStatus::keys::Placeholder) return false;
    auto file = platform::attributesOfItem(path, nullptr, false);
    if (!file || file->type != platform::kFileTypeRegular || file->size == 0) return false;
    record.ceaStatus.setStatus(CEAStatus::keys::ErrorRegular);
    record.ceaErrorStatus.setStatus(CEAErrorStatus::keys::Conflict);
    record.ceaErrorStatus.setGenre(CEAErrorStatus::genres::Transfer);
    if (auto revision = record.ceaString.getAttribute(CEAString::keys::Revision))
        record.ceaString.setAttribute(CEAString::keys::ConflictRevision, *revision);
    if (record.save())
        Logger::sharedInstance().logWarning(path + " was written to while it was a placeholder; " +
                                            "it is kept as a conflict with the server's version");
    return true;
}

bool CEAUtils::hasLocalChanges(const platform::FileAttributes& file,
                               const CorvaneExtendedAttributes& record) {
    if (auto synced = record.ceaString.getAttribute(CEAString::keys::SyncedContent))
        return *synced != std::to_string(file.size) + " " + std::to_string(file.modificationNanos);
    auto serverSize = record.ceaLong.getAttribute(CEALong::keys::ServerFileSize);
    return !serverSize || *serverSize != file.size;
}

}  // namespace tw
