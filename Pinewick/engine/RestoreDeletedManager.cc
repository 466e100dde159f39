#include "Pinewick/engine/RestoreDeletedManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "Pinewick/config/Log.h"
#include "Pinewick/metadata/CEAUtils.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "platform/fd.h"
#include "platform/files.h"

namespace tw {
namespace {

double secondsOf(const Date& date) {
    return std::chrono::duration<double>(date.time_since_epoch()).count();
}

}  // namespace

RestoreDeletedManager::RestoreDeletedManager(std::chrono::milliseconds debounce)
    : debounce_(debounce), worker_([this] { run(); }) {}

RestoreDeletedManager::~RestoreDeletedManager() {
    size_t dropped = 0;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped = restoreQueue_.size();
        changed_.notify_all();
    }
    if (worker_.joinable()) worker_.join();
    if (dropped != 0) log().logWarning("Restores not carried out at shutdown: " + std::to_string(dropped));
}

void RestoreDeletedManager::resetTimer() {
    std::lock_guard lock(mutex_);
    restoreTimer_ = std::chrono::steady_clock::now();
    suspended_ = true;
    changed_.notify_all();
}

void RestoreDeletedManager::replaceItem(const std::string& path, const ServerFileObject& restoreItem,
                                        CEAErrorStatus::keys errorCode) {
    resetTimer();
    std::lock_guard lock(mutex_);
    restoreQueue_.push_back([path, restoreItem, errorCode] { restore(path, restoreItem, errorCode); });
    changed_.notify_all();
}

bool RestoreDeletedManager::waitUntilIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return restoreQueue_.empty() && !running_; });
}

void RestoreDeletedManager::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (stopping_) return;
        if (suspended_) {
            // Released only after a whole interval without a new request; a request meanwhile moves
            // the deadline on.
            auto deadline = restoreTimer_ + debounce_;
            if (std::chrono::steady_clock::now() < deadline) {
                changed_.wait_until(lock, deadline);
                continue;
            }
            suspended_ = false;
        }
        if (restoreQueue_.empty()) {
            changed_.wait(lock, [this] { return stopping_ || suspended_ || !restoreQueue_.empty(); });
            continue;
        }
        auto block = std::move(restoreQueue_.front());
        restoreQueue_.pop_front();
        running_ = true;
        lock.unlock();
        block();
        lock.lock();
        running_ = false;
        changed_.notify_all();
    }
}

bool RestoreDeletedManager::holdsOnlyMarker(const std::string& path) {
    const std::string_view marker(kGhostMarker);
    platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<size_t>(st.st_size) != marker.size())
        return false;
    std::string bytes(marker.size(), '\0');
    return ::pread(fd.get(), bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()) &&
           bytes == marker;
}

void RestoreDeletedManager::restore(const std::string& path, const ServerFileObject& item,
                                    CEAErrorStatus::keys errorCode) {
    // Whatever is there now (the user re-created it, a download put it back) is never replaced.
    if (platform::attributesOfItem(path)) return;
    if (item.isDirectory) {
        // Parents are not created: an item whose folder is gone too comes back with that folder.
        if (::mkdir(path.c_str(), 0755) != 0) {
            log().logWarning("Could not restore folder " + path + ": " +
                             platform::sysError("mkdir", path).describe());
            return;
        }
    } else {
        // O_EXCL: a file that appeared since the check above is left alone.
        platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!fd) {
            log().logWarning("Could not restore file " + path + ": " +
                             platform::sysError("open", path).describe());
            return;
        }
        if (!platform::writeAll(fd.get(), kGhostMarker)) {
            log().logWarning("Could not write restored file " + path);
            return;
        }
    }
    platform::setCreationDate(path, secondsOf(item.creationDate));
    platform::setModificationDate(path, secondsOf(item.modificationDate));
    // Saved once, in the state the item is to have: the server's revision written first over the
    // stand-in's bytes, and a failed second save, would have those bytes sent over the server's content.
    CorvaneExtendedAttributes record = item.isDirectory ? CEAUtils::refreshedFolder(path, item.serverFacts())
                                                        : CEAUtils::refreshedFile(path, item.serverFacts());
    record.ceaStatus.setStatus(CEAStatus::keys::ErrorPlaceHolder);
    record.ceaErrorStatus.setStatus(errorCode);
    record.ceaErrorStatus.setGenre(CEAErrorStatus::genres::Delete);
    if (auto saved = record.save(); !saved) {
        // Nothing written: the item is taken for one never synchronised. Sent without a revision, the
        // server refuses it as a conflict with its own item, which stays.
        log().logWarning("Restored item " + path + ", but its record could not be written (" +
                         saved.cause().describe() + ")");
        return;
    }
    log().logDebug("Restored item " + path + " whose server delete was refused");
}

}  // namespace tw
