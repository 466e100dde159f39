#include "Pinewick/server/ServerEnvironment.h"

#include <thread>

#include "Pinewick/metadata/CEAUtils.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/ServerCommunicator.h"
#include "Pinewick/server/ServerCredentials.h"
#include "Pinewick/server/ServerFileObject.h"
#include "Pinewick/volumes/VolumeManager.h"
#include "platform/files.h"
#include "platform/keychain.h"

namespace tw {
namespace {

class NoRecords final : public ItemRecords {
public:
    ItemFacts load(const std::string&) override { return {}; }
    ItemFacts loadNode(uint64_t, uint64_t) override { return {}; }
    SaveResult setUploadGUID(const std::string&, const std::string&, uint64_t) override { return {}; }
    SaveResult setRevision(const std::string&, const std::string&, uint64_t) override { return {}; }
    SaveResult setTransferRecovery(const std::string&, std::optional<Date>) override { return {}; }
    SaveResult refreshFile(const std::string&, const ServerFileObject&) override { return {}; }
    SaveResult setStatusIfUnknown(const std::string&) override { return {}; }
    std::optional<std::string> databaseRevision(uint64_t, uint64_t) override { return std::nullopt; }
    void noteFolderCreationSent(const std::string&) override {}
    void forgetFolderCreationSent(const std::string&) override {}
};

// The item records as they really are: the metadata attribute on each item. The one place in the server
// code that builds records; their failures are logged with their cause by the record itself.
class AttributeRecords final : public ItemRecords {
public:
    // The metadata database's revision of (volume number, file number); without one, none.
    using DatabaseRevision =
        std::function<std::optional<std::string>(uint64_t volumeNumber, uint64_t fileNumber)>;
    // Where sent folder creations are noted (without one, nowhere).
    using SentNotes = std::function<MetadataDataBase*()>;
    explicit AttributeRecords(DatabaseRevision databaseRevision = {}, SentNotes sentNotes = {})
        : databaseRevision_(std::move(databaseRevision)), sentNotes_(std::move(sentNotes)) {}

    ItemFacts load(const std::string& path) override {
        CorvaneExtendedAttributes record(path);
        return facts(record, platform::attributesOfItem(path, nullptr, false).has_value());
    }
    ItemFacts loadNode(uint64_t volumeNumber, uint64_t fileNumber) override {
        CorvaneExtendedAttributes record(fileNumber, volumeNumber);
        return facts(record, platform::attributesOfItem(record.localPath, nullptr, false).has_value());
    }
    SaveResult setUploadGUID(const std::string& path, const std::string& guid,
                             uint64_t expectedNode) override {
        if (auto other = notTheItem(path, expectedNode)) return *other;
        CorvaneExtendedAttributes record(path);
        record.ceaString.setAttribute(CEAString::keys::UploadGUID, guid);
        return record.save();
    }
    SaveResult setRevision(const std::string& path, const std::string& revision,
                           uint64_t expectedNode) override {
        if (auto other = notTheItem(path, expectedNode)) return *other;
        CorvaneExtendedAttributes record(path);
        record.ceaString.setAttribute(CEAString::keys::Revision, revision);
        return record.save();
    }
    SaveResult setTransferRecovery(const std::string& path, std::optional<Date> date) override {
        CorvaneExtendedAttributes record(path);
        if (date) {
            record.ceaDate.setAttribute(CEADate::keys::TransferRecovery,
                                        std::chrono::duration<double>(date->time_since_epoch()).count() -
                                            CEADate::kReferenceDateSince1970);
        } else {
            record.ceaDate.dateValues.erase(CEADate::keys::TransferRecovery);
            record.ceaDate.shouldSave = true;
        }
        return record.save();
    }
    SaveResult refreshFile(const std::string& path, const ServerFileObject& entry) override {
        return CEAUtils::refreshedFile(path, entry.serverFacts()).save();
    }
    SaveResult setStatusIfUnknown(const std::string& path) override {
        return CEAUtils::setStatusIfUnknown(path);
    }
    std::optional<std::string> databaseRevision(uint64_t volumeNumber, uint64_t fileNumber) override {
        if (!databaseRevision_) return std::nullopt;
        return databaseRevision_(volumeNumber, fileNumber);
    }
    void noteFolderCreationSent(const std::string& path) override {
        if (auto* notes = sentNotes_ ? sentNotes_() : nullptr) notes->noteSentFolder(path);
    }
    void forgetFolderCreationSent(const std::string& path) override {
        if (auto* notes = sentNotes_ ? sentNotes_() : nullptr) notes->forgetSentUploads(path);
    }

private:
    DatabaseRevision databaseRevision_;
    SentNotes sentNotes_;

    // Why the item at `path` is not the one with file number `expectedNode` (0: any item will do).
    static std::optional<SaveResult> notTheItem(const std::string& path, uint64_t expectedNode) {
        if (expectedNode == 0) return std::nullopt;
        platform::SysError error;
        auto attributes = platform::attributesOfItem(path, &error, false);
        if (!attributes) return SaveResult(error ? error : platform::sysError("stat", path, ENOENT));
        if (attributes->systemFileNumber != expectedNode)
            return SaveResult(platform::sysError("save", path, ESTALE));
        return std::nullopt;
    }
    static ItemFacts facts(CorvaneExtendedAttributes& r, bool exists) {
        ItemFacts f;
        f.exists = exists;
        f.status = r.ceaStatus.status;
        f.revision = r.ceaString.getAttribute(CEAString::keys::Revision);
        f.uploadGUID = r.ceaString.getAttribute(CEAString::keys::UploadGUID);
        if (auto d = r.ceaDate.getAttribute(CEADate::keys::TransferRecovery))
            f.transferRecovery = dateFromSeconds(*d + CEADate::kReferenceDateSince1970);
        f.volumeNumber = r.volumeNumber;
        f.fileNumber = r.fileNumber;
        return f;
    }
};

}  // namespace

void answerFromVolumes(ServerEnvironment& env, std::function<VolumeManager&()> volumes,
                       std::function<MetadataDataBase&()> database) {
    env.serverFromLocal = [volumes](const std::string& p) { return volumes().serverFromLocal(p); };
    env.findVolume = [volumes](const std::string& p) -> std::optional<VolumeFacts> {
        auto v = volumes().findVolume(VolumeManager::LocalPath{p});
        if (!v) return std::nullopt;
        return VolumeFacts{v->volumeName, v->canResumeUploads};
    };
    env.activeFolders = [volumes] { return volumes().activeVolumesList(); };
    env.records = std::make_shared<AttributeRecords>(
        [volumes, database](uint64_t volumeNumber, uint64_t fileNumber) -> std::optional<std::string> {
            std::string uuid = volumes().volumeNodeToVolumeUUID(volumeNumber);
            if (uuid.empty()) return std::nullopt;
            auto row = database().findRecord(fileNumber, uuid);
            if (!row) return std::nullopt;
            return row->revision;
        },
        [database]() -> MetadataDataBase* { return &database(); });
}

std::shared_ptr<ItemRecords> ServerEnvironment::recordsOnAttributes() {
    return std::make_shared<AttributeRecords>();
}

ItemRecords& ServerEnvironment::itemRecords() const {
    static NoRecords none;
    return records ? *records : none;
}

ServerCredentials& ServerEnvironment::account() const {
    // Nothing is asked of its environment but the defaults: it has no server to talk to.
    static ServerEnvironment defaults;
    static ServerCredentials none{defaults, ServerCredentials::NoAccount{}};
    return credentials ? credentials() : none;
}

platform::keychain::Keychain& ServerEnvironment::keychainInUse() const {
    return keychain ? *keychain : platform::keychain::defaultKeychain();
}

void ServerEnvironment::sleepFor(std::chrono::seconds seconds) const {
    if (sleep)
        sleep(seconds);
    else
        std::this_thread::sleep_for(seconds);
}

}  // namespace tw
