#include "Pinewick/metadata/CorvaneExtendedAttributes.h"

#include <errno.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "Pinewick/config/Log.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "platform/files.h"
#include "platform/notifications.h"
#include "platform/plist.h"
#include "platform/utf8.h"

namespace tw {

namespace {

// The living mirrors, oldest first. A save copies the list and asks each in turn; a mirror going takes
// its target out and then waits, on the target's gate, for a save still asking it.
std::mutex g_mirrorsMutex;
std::vector<std::shared_ptr<RecordMirror::Target>> g_mirrors;

std::vector<std::shared_ptr<RecordMirror::Target>> currentMirrors() {
    std::lock_guard<std::mutex> lock(g_mirrorsMutex);
    return g_mirrors;
}

}  // namespace

struct RecordMirror::Target {
    std::function<std::string(uint64_t)> volumeUUID;
    std::function<MetadataDataBase&()> database;
    std::shared_mutex gate;  // shared while a save asks this mirror; exclusive while it goes
    bool gone = false;       // under `gate`
};

RecordMirror::RecordMirror(std::function<std::string(uint64_t volumeSystemNumber)> resolver,
                           std::function<MetadataDataBase&()> database)
    : target_(std::make_shared<Target>()) {
    target_->volumeUUID = std::move(resolver);
    target_->database = std::move(database);
    std::lock_guard<std::mutex> lock(g_mirrorsMutex);
    g_mirrors.push_back(target_);
}

RecordMirror::~RecordMirror() {
    {
        std::lock_guard<std::mutex> lock(g_mirrorsMutex);
        std::erase(g_mirrors, target_);
    }
    std::unique_lock gate(target_->gate);
    target_->gone = true;
}

const std::string& openWithPropertyList() {
    static const std::string plist = platform::binaryPlist({
        {"bundleidentifier", std::string("com.meridot.tidewell")},
        {"path", platform::mainExecutablePath()},
        {"version", uint64_t{0}},
    });
    return plist;
}

CorvaneExtendedAttributes::CorvaneExtendedAttributes(std::string path) : localPath(std::move(path)) {
    load();
}

CorvaneExtendedAttributes::CorvaneExtendedAttributes(uint64_t fileSystemNumber, uint64_t volumeSystemNumber)
    : localPath("/.vol/" + std::to_string(volumeSystemNumber) + "/" + std::to_string(fileSystemNumber)),
      // The identity is what the caller asked for, even when the item cannot be examined right now.
      volumeNumber(volumeSystemNumber),
      fileNumber(fileSystemNumber) {
    load();
    loadedFrom_ = {volumeSystemNumber, fileSystemNumber};
}

CorvaneExtendedAttributes::CorvaneExtendedAttributes(std::string internalPath,
                                                     const std::string& internalDetails)
    : localPath(std::move(internalPath)) {
    decode(internalDetails);
}

std::string CorvaneExtendedAttributes::nodePath() const {
    return "/.vol/" + std::to_string(volumeNumber) + "/" + std::to_string(fileNumber);
}

std::optional<std::string> CorvaneExtendedAttributes::decodeLine(const std::string& text,
                                                                 const std::string& key) {
    return findLineValue(text, key);
}

bool CorvaneExtendedAttributes::hasChanges() const {
    return ceaBool.shouldSave || ceaString.shouldSave || ceaDate.shouldSave || ceaStatus.shouldSave ||
           ceaLong.shouldSave || ceaErrorStatus.shouldSave;
}

void CorvaneExtendedAttributes::load() {
    platform::SysError error;
    // Read where the item lives: the mount's daemon is busy with the programs the user runs.
    auto value = platform::getXattrFromBacking(localPath, xAttrName, kMaxAttributeSize, &error);
    if (!value) {
        // No attribute is how new items look. A value too long to read counts as absent too, but the
        // log should say so, since the next save replaces it.
        if (error.code == ERANGE)
            log().logWarning("Extended Attributes of " + localPath + " are longer than " +
                             std::to_string(kMaxAttributeSize) + " bytes; read as absent.");
        // A new item still has an identity: its record must not be written to another item later.
        if (auto attributes = platform::attributesOfItem(localPath, nullptr, false))
            loadedFrom_ = {attributes->systemNumber, attributes->systemFileNumber};
        return;
    }
    if (!platform::isValidUtf8(*value)) {
        log().logFatal("Could not convert extended attributes to human readable");
        return;
    }
    decode(*value);
    grabFileId();
    if (fileNumber != 0) loadedFrom_ = {volumeNumber, fileNumber};
}

std::optional<CEAStatus::keys> CorvaneExtendedAttributes::storedStatus(const std::string& localPath) {
    auto value = platform::getXattrFromBacking(localPath, xAttrName, kMaxAttributeSize, nullptr);
    if (!value) return std::nullopt;
    auto status = decodeLine(*value, CEAStatus::keyName);
    if (!status) return std::nullopt;
    return CEAStatus::fromRaw(*status);
}

void CorvaneExtendedAttributes::decode(const std::string& text) {
    bool failed = ceaDate.decode(text);
    // A malformed date must not cost the item its state: the state line is read whatever the dates say,
    // or the next save would write the item back as Unknown.
    if (auto status = decodeLine(text, CEAStatus::keyName)) {
        if (auto key = CEAStatus::fromRaw(*status))
            ceaStatus.status = *key;
        else
            failed = true;
    }
    ceaBool.decode(text);
    ceaString.decode(text);
    if (ceaLong.decode(text)) failed = true;
    if (ceaErrorStatus.decode(text)) failed = true;
    if (failed) log().logFatal("Could not decode extended attributes " + text);
}

void CorvaneExtendedAttributes::grabFileId() {
    grabFileId(platform::attributesOfItem(localPath, nullptr, false));
}

void CorvaneExtendedAttributes::grabFileId(const std::optional<platform::FileAttributes>& attributes) {
    if (!attributes) return;  // item gone: keep what we know
    fileNumber = attributes->systemFileNumber;
    auto known = ceaLong.getAttribute(CEALong::keys::LocalFileId);
    // Records written before volumes numbered items by inode and generation hold the bare inode number,
    // which is still the low half of the item's number.
    bool earlierNumbering = known && fileNumber > 0xffffffffULL && *known == (fileNumber & 0xffffffffULL);
    if (known && *known != fileNumber && !earlierNumbering) {
        // Another file now stands under this name (replaced, or copied in): what we knew was about
        // the old one.
        ceaStatus.setStatus(CEAStatus::keys::Unknown);
    }
    ceaLong.setAttribute(CEALong::keys::LocalFileId, fileNumber);
    volumeNumber = attributes->systemNumber;
    ceaString.setAttribute(CEAString::keys::FileType, attributes->type);
}

SaveResult CorvaneExtendedAttributes::save() {
    auto attributes = platform::attributesOfItem(localPath, nullptr, false);
    // A record speaks for the item it was loaded from. Written under its path once another item took
    // that name (a file deleted and made again, another renamed over it), it would hand the newcomer
    // the old item's revision and state.
    if (attributes && loadedFrom_ &&
        (attributes->systemNumber != loadedFrom_->first ||
         attributes->systemFileNumber != loadedFrom_->second)) {
        log().logDebug("Record of " + localPath + " not written: another item stands there now");
        return SaveResult(platform::sysError("save", localPath, ESTALE));
    }
    grabFileId(attributes);
    if (!hasChanges()) return {};
    bool stateChanged = ceaStatus.shouldSave;
    std::string text = encode();
    std::optional<platform::SysError> failure;
    if (text.size() > kMaxAttributeSize) {
        // It could never be read back (it would load as a fresh record), so keep the last good one.
        log().logWarning("Failed to write Extended Attributes to " + localPath + " (" +
                         std::to_string(text.size()) + " bytes, more than " +
                         std::to_string(kMaxAttributeSize) + ")");
        failure = platform::sysError("setxattr", localPath, E2BIG);
    } else if (!text.empty()) {
        platform::SysError error;
        if (!platform::setXattrInBacking(localPath, xAttrName, text, &error)) {
            log().logWarning("Failed to write Extended Attributes to " + localPath + ": " +
                             std::strerror(error.code));
            failure = std::move(error);
        }
    } else {
        platform::SysError error;
        // Nothing to remove is what a record that never had an attribute looks like.
        if (!platform::removeXattrInBacking(localPath, xAttrName, &error) && error.code != ENODATA) {
            log().logWarning("Failed to remove Extended Attributes of " + localPath + ": " +
                             std::strerror(error.code));
            failure = std::move(error);
        }
    }
    if (stateChanged) {
        setOpenWith();
        platform::postNotification(overmark::kIconChangeNotification, localPath);
    }
    updateMetadata();
    if (!failure) return {};
    if (failure->code == 0) failure->code = EIO;  // a failure always has a cause
    return SaveResult(std::move(*failure));
}

std::string CorvaneExtendedAttributes::encode() {
    return ceaStatus.encode() + ceaDate.encode() + ceaBool.encode() + ceaString.encode() + ceaLong.encode() +
           ceaErrorStatus.encode();
}

std::string CorvaneExtendedAttributes::description() {
    return "Corvane Extended Attributes: " + encode() + "Volume: " + std::to_string(volumeNumber);
}

void CorvaneExtendedAttributes::setOpenWith() {
    if (!ceaString.getAttribute(CEAString::keys::Revision)) return;  // never been on the server
    switch (ceaStatus.status) {
        case CEAStatus::keys::Unknown:
            return;
        case CEAStatus::keys::RequireDownload:
        case CEAStatus::keys::Placeholder:
        case CEAStatus::keys::ErrorPlaceHolder: {
            platform::SysError error;
            if (!platform::setXattrInBacking(localPath, openWithAttrName, openWithPropertyList(), &error))
                log().logWarning("Could not mark " + localPath +
                                 " to open with Tidewell: " + std::strerror(error.code));
            return;
        }
        default: {
            platform::SysError error;
            if (!platform::removeXattrInBacking(localPath, openWithAttrName, &error) && error.code != ENODATA)
                log().logWarning("Could not unmark " + localPath +
                                 " to open with Tidewell: " + std::strerror(error.code));
            return;
        }
    }
}

void CorvaneExtendedAttributes::updateMetadata() {
    auto revision = ceaString.getAttribute(CEAString::keys::Revision);
    if (!revision) return;
    for (const auto& mirror : currentMirrors()) {
        std::shared_lock gate(mirror->gate);
        if (mirror->gone || !mirror->volumeUUID || !mirror->database) continue;
        std::string uuid = mirror->volumeUUID(volumeNumber);
        if (uuid.empty()) continue;
        mirror->database().addRecord(
            Record{uuid, fileNumber, localPath, *revision, CEAStatus::rawValue(ceaStatus.status)});
        return;
    }
}

}  // namespace tw
