#include "Larkspur/FolderNames.h"

#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "platform/casefold.h"

namespace gw {
namespace {

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool skipped(const char* entry) {
    return !strcmp(entry, ".") || !strcmp(entry, "..");
}

}  // namespace

FolderNames::Stamp FolderNames::stamp(int dirFd) {
    Stamp s;
    struct stat st;
    if (::fstat(dirFd, &st) != 0) return s;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.mtime = st.st_mtim;
    s.valid = true;
    return s;
}

void FolderNames::add(Folder& f, const char* name) {
    auto& names = f.byFolded[tw::platform::foldedName(name)];
    if (std::find(names.begin(), names.end(), name) == names.end()) names.emplace_back(name);
}

void FolderNames::remove(Folder& f, const char* name) {
    auto it = f.byFolded.find(tw::platform::foldedName(name));
    if (it == f.byFolded.end()) return;
    std::erase(it->second, std::string(name));
    if (it->second.empty()) f.byFolded.erase(it);
}

int FolderNames::scan(int dirFd, Folder& into, size_t& entries) {
    // A descriptor of its own: the directory stream moves its offset.
    int dfd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return errno;
    std::unique_ptr<DIR, int (*)(DIR*)> dp(fdopendir(dfd), closedir);
    if (!dp) {
        int err = errno;
        ::close(dfd);
        return err;
    }
    entries = 0;
    while (dirent* e = ::readdir(dp.get())) {
        if (skipped(e->d_name)) continue;
        add(into, e->d_name);
        ++entries;
    }
    return 0;
}

int FolderNames::collision(int dirFd, const char* name, const char* renamedFrom, Stamp* before) {
    Stamp now = stamp(dirFd);
    if (before) *before = now;
    const std::string folded = tw::platform::foldedName(name);
    auto clashes = [&](const Folder& f) {
        auto it = f.byFolded.find(folded);
        if (it == f.byFolded.end()) return false;
        for (const auto& entry : it->second)
            if (entry != name && (!renamedFrom || entry != renamedFrom)) return true;
        return false;
    };
    const Key key{now.dev, now.ino};
    if (now.valid) {
        std::lock_guard lock(mutex_);
        auto it = folders_.find(key);
        if (it != folders_.end() && sameTime(it->second.mtime, now.mtime))
            return clashes(it->second) ? EEXIST : 0;
    }
    // Read outside the lock: other folders go on being checked meanwhile. Kept with the time from
    // before the reading, so a change made while it read is seen as one at the next check.
    Folder fresh;
    fresh.mtime = now.mtime;
    size_t entries = 0;
    if (int err = scan(dirFd, fresh, entries)) return err;
    bool clash = clashes(fresh);
    if (now.valid && entries >= kMinEntries) {
        std::lock_guard lock(mutex_);
        if (folders_.size() >= kMaxFolders && !folders_.count(key)) folders_.erase(folders_.begin());
        folders_[key] = std::move(fresh);
    }
    return clash ? EEXIST : 0;
}

void FolderNames::changed(int dirFd, const Stamp& before, const char* removed, const char* added) {
    if (!before.valid) return;
    Stamp now = stamp(dirFd);
    std::lock_guard lock(mutex_);
    auto it = folders_.find(Key{before.dev, before.ino});
    if (it == folders_.end()) return;
    if (!now.valid || !sameTime(it->second.mtime, before.mtime)) {
        folders_.erase(it);
        return;
    }
    if (removed) remove(it->second, removed);
    if (added) add(it->second, added);
    it->second.mtime = now.mtime;
}

}  // namespace gw
