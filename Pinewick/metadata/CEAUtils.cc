#include "Pinewick/metadata/CEAUtils.h"

#include "Pinewick/config/Log.h"
#include "platform/paths.h"

namespace tw {

CorvaneExtendedAttributes& CEAUtils::updateCorvaneExtendedAttributes(CorvaneExtendedAttributes& record,
                                                                     const ServerItemFacts& file) {
    record.ceaString.setAttribute(CEAString::keys::Revision, file.revision);
    record.ceaBool.setAttribute(CEABool::keys::CanShare, file.canShare);
    record.ceaBool.setAttribute(CEABool::keys::ReadOnly, file.readOnly);
    record.ceaLong.setAttribute(CEALong::keys::ServerFileSize, file.size);
    return record;
}

void CEAUtils::applyStateRule(CorvaneExtendedAttributes& record, const std::string& path,
                              const ServerItemFacts& file) {
    if (record.ceaStatus.status != CEAStatus::keys::Unknown) return;
    switch (file.mode) {
        case ServerItemFacts::Mode::Inherit:
            record.ceaStatus.setStatus(determineInhert(path, record.ceaStatus.status));
            break;
        case ServerItemFacts::Mode::Automatic:
            record.ceaStatus.setStatus(CEAStatus::keys::Regular);
            break;
        case ServerItemFacts::Mode::Manual:
            record.ceaStatus.setStatus(CEAStatus::keys::Placeholder);
            break;
    }
}

CorvaneExtendedAttributes CEAUtils::refreshedFile(const std::string& path, const ServerItemFacts& file) {
    CorvaneExtendedAttributes record(path);
    updateCorvaneExtendedAttributes(record, file);
    applyStateRule(record, path, file);
    return record;
}

CorvaneExtendedAttributes CEAUtils::refreshedFolder(const std::string& path, const ServerItemFacts& file) {
    CorvaneExtendedAttributes record(path);
    record.ceaBool.setAttribute(CEABool::keys::CanShare, file.canShare);
    record.ceaBool.setAttribute(CEABool::keys::ReadOnly, file.readOnly);
    applyStateRule(record, path, file);
    return record;
}

CorvaneExtendedAttributes CEAUtils::refreshFilePath(const std::string& path, const ServerItemFacts& file) {
    CorvaneExtendedAttributes record = refreshedFile(path, file);
    // Not reported (see the header): logged by the record, and brought again by the next listing.
    (void)record.save();
    return record;
}

CorvaneExtendedAttributes CEAUtils::refreshFolder(const std::string& path, const ServerItemFacts& file) {
    CorvaneExtendedAttributes record = refreshedFolder(path, file);
    // Not reported (see the header): logged by the record; every listing of the folder refreshes it.
    (void)record.save();
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

SaveResult CEAUtils::setStatusIfUnknown(const std::string& path) {
    CorvaneExtendedAttributes record(path);
    if (record.ceaStatus.status != CEAStatus::keys::Unknown) return {};
    record.ceaStatus.setStatus(determineInhert(path));
    return record.save();
}

SaveResult CEAUtils::setLocal(const std::string& path) {
    CorvaneExtendedAttributes record(path);
    record.ceaStatus.setStatus(CEAStatus::keys::LocalOnly);
    return record.save();
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
    if (auto saved = record.save())
        log().logWarning(path + " was written to while it was a placeholder; " +
                         "it is kept as a conflict with the server's version");
    else
        // Still a placeholder by its record: asked again, this finds the bytes again. Nothing is
        // fetched into it meanwhile either way.
        log().logWarning(path + " was written to while it was a placeholder; " +
                         "nothing is fetched into it, but its record could not say so (" +
                         saved.cause().describe() + ")");
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
