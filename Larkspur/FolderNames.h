// The names of a mount's folders, folded, so that a new name can be checked against every entry that
// differs from it only in case without reading the whole folder each time (a program unpacking
// thousands of files into one folder otherwise pays for reading it once per file).
//
// A folder's names are trusted only while its modification time is the one they were read or last
// brought up to date at; a change the mount did not make (beside the mount, or one this class was not
// told of) moves the time, and the folder is read again. The mount tells of its own changes with the
// folder's stamp from before the change: when that is the stamp the names were current at, the change
// is applied; otherwise the folder is dropped and read again at the next check.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace gw {

class FolderNames {
public:
    struct Stamp {
        dev_t dev = 0;
        ino_t ino = 0;
        timespec mtime{};
        bool valid = false;
    };
    // The folder's identity and modification time now.
    static Stamp stamp(int dirFd);

    // EEXIST when `name` equals, without regard to case, an entry of the folder other than an entry
    // of exactly that name and other than `renamedFrom`; 0 when none does; an errno when the folder
    // cannot be read. `before`, when given, receives the stamp the answer was given at.
    int collision(int dirFd, const char* name, const char* renamedFrom = nullptr, Stamp* before = nullptr);
    // The mount removed `removed` and/or added `added` (either may be null) in the folder, whose stamp
    // before the change was `before`.
    void changed(int dirFd, const Stamp& before, const char* removed, const char* added);

    // Folders whose names are kept at most; beyond it one is forgotten for each new one.
    static constexpr size_t kMaxFolders = 64;
    // A folder smaller than this is read each time: cheap, and not worth the memory.
    static constexpr size_t kMinEntries = 64;

private:
    struct Folder {
        timespec mtime{};
        // Folded name -> the exact names that fold to it.
        std::unordered_map<std::string, std::vector<std::string>> byFolded;
    };
    using Key = std::pair<dev_t, ino_t>;
    static int scan(int dirFd, Folder& into, size_t& entries);
    static void add(Folder& f, const char* name);
    static void remove(Folder& f, const char* name);

    std::mutex mutex_;
    std::map<Key, Folder> folders_;
};

}  // namespace gw
