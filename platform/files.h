// File attributes and extended attributes: what the engine asks of a file's identity (device and inode),
// its kind, size and dates, and the small named values it keeps on items.
//
// Extended attribute names are given without a namespace ("com.meridot.tidewell") and live in the
// Linux `user.` namespace ("user.com.meridot.tidewell"). Like getxattr, the attribute calls follow a
// final symbolic link; `attributesOfItem` does not (a link reports NSFileTypeSymbolicLink).
//
// Paths of the form "/.vol/DEV/INO[/rest]" name an item by identity. Every call here maps them to a
// real path through the resolver installed with `setVolPathResolver`; with no resolver, or when the
// resolver does not know the pair, the call fails with ENOENT as for an item that is gone.
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::platform {

// A failed system call: which call, on which path, and the errno it left. `code` 0 means no error.
struct SysError {
    int code = 0;
    std::string call;
    std::string path;

    explicit operator bool() const { return code != 0; }
    // "getxattr(/some/path): No data available"
    std::string describe() const;
};

// Captures errno (or `code`) with the call and the path it concerned.
SysError sysError(const char* call, std::string path);
SysError sysError(const char* call, std::string path, int code);

// The file-type texts the rest of the system compares against.
inline constexpr const char* kFileTypeRegular = "NSFileTypeRegular";
inline constexpr const char* kFileTypeDirectory = "NSFileTypeDirectory";
inline constexpr const char* kFileTypeSymbolicLink = "NSFileTypeSymbolicLink";
inline constexpr const char* kFileTypeCharacterSpecial = "NSFileTypeCharacterSpecial";
inline constexpr const char* kFileTypeBlockSpecial = "NSFileTypeBlockSpecial";
inline constexpr const char* kFileTypeSocket = "NSFileTypeSocket";
inline constexpr const char* kFileTypeUnknown = "NSFileTypeUnknown";

// Name of the attribute that stands in for a settable creation date (Linux cannot set a birth time).
inline constexpr const char* kCreationDateAttribute = "com.meridot.creationdate";

struct FileAttributes {
    uint64_t systemNumber = 0;      // device of the file system holding the item (st_dev)
    uint64_t systemFileNumber = 0;  // inode number on that device
    std::string type;               // one of the kFileType* texts
    uint64_t size = 0;              // bytes
    double modificationDate = 0;    // seconds since 1970-01-01 00:00:00 UTC
    double creationDate = 0;        // seconds since 1970: the creation-date attribute, else birth time,
                                    // else (file systems without one) the modification date
    uint32_t permissions = 0;       // st_mode & 07777
    int64_t modificationNanos = 0;  // the modification time exactly, nanoseconds since 1970: what a
                                    // writer changes (unless it sets the time back on purpose)

    // Whether `other` is the same item with the same content as far as the file system tells: same
    // identity, size and modification time to the nanosecond.
    bool sameContentAs(const FileAttributes& other) const {
        return systemNumber == other.systemNumber && systemFileNumber == other.systemFileNumber &&
               type == other.type && size == other.size && modificationNanos == other.modificationNanos;
    }
};

// Attributes of the item at `path` (a final symbolic link is not followed). None when the item cannot
// be examined; `error` then says why (ENOENT for an item that is gone).
// `readCreationDate` false skips the creation-date attribute (one call less, which through a mount is
// a round trip to its daemon): `creationDate` is then the birth time, or the modification date.
std::optional<FileAttributes> attributesOfItem(const std::string& path, SysError* error = nullptr,
                                               bool readCreationDate = true);
// Whether the item at `path` is a folder; false for anything else, for a symbolic link to a folder and
// for an item that cannot be examined.
bool isFolder(const std::string& path);
// Whether any item stands at `path`: a symbolic link counts, whether or not it leads anywhere.
bool itemExists(const std::string& path);
// Whether `folder` is the root of a file system other than its parent folder's (a mounted volume);
// false for an item that cannot be examined.
bool isMountPoint(const std::string& folder);

// Records `secondsSince1970` as the item's creation date (attribute kCreationDateAttribute).
bool setCreationDate(const std::string& path, double secondsSince1970, SysError* error = nullptr);
// Sets the modification (and access) time of the item.
bool setModificationDate(const std::string& path, double secondsSince1970, SysError* error = nullptr);

// Value of extended attribute `name` of `path`, if it is at most `maxSize` bytes. A longer value reads
// as absent (error ERANGE), a missing one as absent (error ENODATA).
std::optional<std::string> getXattr(const std::string& path, const std::string& name, size_t maxSize,
                                    SysError* error = nullptr);
// The same, read from where the item lives on disk when `path` is under a mount point whose backing
// folder is known (see `setBackingFolder`): no round trip through the mount's daemon. The mount passes
// attributes through unchanged and keeps none of its own, so both read the same value.
std::optional<std::string> getXattrFromBacking(const std::string& path, const std::string& name,
                                               size_t maxSize, SysError* error = nullptr);
// Where the items under `mountPoint` live on disk; an empty `backing` forgets it. Set while a volume is
// mounted; any thread.
void setBackingFolder(const std::string& mountPoint, const std::string& backing);
// `path` spelled in its mount's backing folder, or `path` itself when no known mount holds it.
std::string backingPathOf(const std::string& path);
// `setXattr` and `removeXattr` done where the item lives on disk, as `getXattrFromBacking` reads. The
// mount neither reports nor caches attributes, so a write there is seen through it at once; through
// it, each write would also cost the daemon that serves the user's programs a request and make the
// kernel ask it for the item's attributes again.
bool setXattrInBacking(const std::string& path, const std::string& name, std::string_view value,
                       SysError* error = nullptr);
bool removeXattrInBacking(const std::string& path, const std::string& name, SysError* error = nullptr);
// Writes the whole value (replacing any earlier one). False on failure.
bool setXattr(const std::string& path, const std::string& name, std::string_view value,
              SysError* error = nullptr);
// Removes the attribute. A missing attribute counts as failure (ENODATA), as for removexattr.
bool removeXattr(const std::string& path, const std::string& name, SysError* error = nullptr);

// "/.vol/" paths. The resolver maps (device, inode) to the item's current path, to the "/.vol/" path
// itself when it positively knows no such item, or to none when it cannot tell (nobody answered); it is
// called on the caller's thread, possibly from several threads at once. An empty function removes the
// resolver.
using VolPathResolver = std::function<std::optional<std::string>(uint64_t dev, uint64_t ino)>;
void setVolPathResolver(VolPathResolver resolver);
// True for "/.vol/DEV/INO" and "/.vol/DEV/INO/rest" with decimal numbers.
bool isVolPath(const std::string& path, uint64_t* dev = nullptr, uint64_t* ino = nullptr);
// The real path behind `path`: itself when it is not a "/.vol/" path; none when it cannot be resolved.
std::optional<std::string> resolveVolPath(const std::string& path);

// Where the item (device `dev`, inode `ino`) stands now: `hint` when it still stands there (one stat),
// else the path the resolver gives for its identity, checked with a stat; none when it cannot be found
// (gone, or nobody can tell where it went).
std::optional<std::string> pathOfItem(uint64_t dev, uint64_t ino, const std::string& hint);

// The names of a folder's entries, one level, in listing order ("." and ".." left out); none when the
// folder cannot be read to its end.
std::optional<std::vector<std::string>> entriesOfFolder(const std::string& folder);

// Path of the running program's executable (readlink of /proc/self/exe); "" if unreadable.
std::string mainExecutablePath();

}  // namespace tw::platform
