// The typed values of an item's metadata record, in six groups: flags, texts, numbers, dates, the sync
// state and the error record. Each group encodes itself as lines "Key: value\n" and decodes the same
// lines back; the record (CorvaneExtendedAttributes.h) concatenates the groups into the item's
// extended attribute.
//
// Decoding finds each key only where it starts a line (at the start of the text or right after a line
// feed), so one key that ends another key's name ("Revision" inside "ConflictRevision", "Status" inside
// "Error Status") is never read from the other's line. A last line without its line feed is ignored.
//
// `shouldSave` means "changed since the last encode": effective setters raise it, `encode` clears it,
// decoders leave it alone.
//
// Thread-safety: none; a group belongs to one record, used by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/overmark.h"

namespace tw {

// The value of the line that starts with `indent`, `key` and ": ", up to (not including) its line feed.
// None when no line starts so or the line has no line feed. The one reader of "Key: value" lines: the
// attribute text (no indent) and the timeline's records (indented header lines) both go through it.
std::optional<std::string> findLineValue(std::string_view text, std::string_view key,
                                         std::string_view indent = {});

class CEABool {
public:
    enum class keys { CanShare, ReadOnly, LaunchAfterDownload };
    static constexpr std::array<keys, 3> enumerate{keys::CanShare, keys::ReadOnly, keys::LaunchAfterDownload};
    static std::string rawValue(keys key);
    static std::optional<keys> fromRaw(const std::string& raw);

    CEABool();
    bool getAttribute(keys key) const;
    void setAttribute(keys key, bool value);
    std::string encode();
    // "true" in any letter case is true, anything else false. Never malformed.
    void decode(std::string_view text);

    std::map<keys, bool> boolValues;  // every key always present
    bool shouldSave = false;
};

class CEAString {
public:
    // SyncedContent: the size and modification time (nanoseconds) the file had when it last agreed
    // with the server (upload or download done), "SIZE MTIME".
    enum class keys { Revision, UploadGUID, ConflictRevision, FileType, SyncedContent };
    static constexpr std::array<keys, 5> enumerate{keys::Revision, keys::UploadGUID, keys::ConflictRevision,
                                                   keys::FileType, keys::SyncedContent};
    static std::string rawValue(keys key);
    static std::optional<keys> fromRaw(const std::string& raw);

    std::optional<std::string> getAttribute(keys key) const;
    // A value holding a line feed or NUL would break the line format (and could forge other keys), so
    // it is refused: returns false and changes nothing.
    bool setAttribute(keys key, const std::string& value);
    std::string encode();
    void decode(std::string_view text);

    std::map<keys, std::string> stringValues;
    bool shouldSave = false;
};

class CEALong {
public:
    enum class keys { ServerFileSize, LocalFileId, LocalVolumeId };
    static constexpr std::array<keys, 3> enumerate{keys::ServerFileSize, keys::LocalFileId,
                                                   keys::LocalVolumeId};
    static std::string rawValue(keys key);
    static std::optional<keys> fromRaw(const std::string& raw);

    std::optional<uint64_t> getAttribute(keys key) const;
    void setAttribute(keys key, uint64_t value);
    std::string encode();
    // A value that is not an unsigned decimal removes its key. Returns true when that happened.
    bool decode(std::string_view text);

    std::map<keys, uint64_t> longValues;
    bool shouldSave = false;
};

// Dates are seconds since 2001-01-01 00:00:00 UTC.
class CEADate {
public:
    enum class keys { TransferRecovery, LastServerListing };
    static constexpr std::array<keys, 2> enumerate{keys::TransferRecovery, keys::LastServerListing};
    static std::string rawValue(keys key);
    static std::optional<keys> fromRaw(const std::string& raw);

    // Seconds between 1970-01-01 and 2001-01-01.
    static constexpr double kReferenceDateSince1970 = 978307200.0;
    // The current time in this group's unit.
    static double now();
    // "2026-12-07 10:00:00 +0000"; dates outside years 1..9999 are written as their number only.
    static std::string describeDate(double secondsSince2001);

    std::optional<double> getAttribute(keys key) const;
    // Non-finite values are refused (false): they would never compare equal to themselves.
    bool setAttribute(keys key, double value);
    std::string encode();
    // True when a line was malformed (no " = ", or not a finite number); that key stays as it was and
    // the other keys are still decoded.
    bool decode(std::string_view text);

    std::map<keys, double> dateValues;
    bool shouldSave = false;
};

class CEAStatus {
public:
    enum class keys {
        RequireUpload,
        RequireDownload,
        Placeholder,
        Regular,
        ErrorRegular,
        ErrorPlaceHolder,
        LocalOnly,
        Unknown
    };
    static constexpr std::array<keys, 8> enumerate{
        keys::RequireUpload, keys::RequireDownload,  keys::Placeholder, keys::Regular,
        keys::ErrorRegular,  keys::ErrorPlaceHolder, keys::LocalOnly,   keys::Unknown};
    static constexpr const char* keyName = overmark::kStatusKey;
    static std::string rawValue(keys key);
    static std::optional<keys> fromRaw(const std::string& raw);
    // Whether an item in this state holds none of its content here (a placeholder, one waiting for its
    // download, or one put back after a refused delete, whose bytes are a marker): the server's copy
    // is the only one, so it must never be deleted there before the content has come down.
    static constexpr bool contentOnlyOnServer(keys key) {
        return key == keys::Placeholder || key == keys::RequireDownload || key == keys::ErrorPlaceHolder;
    }

    // Sets the state, raising `shouldSave` only when it differs. Users may also assign `status` and
    // `shouldSave` directly.
    void setStatus(keys value);
    std::string encode();

    keys status = keys::Unknown;
    bool shouldSave = false;
};

class CEAErrorStatus {
public:
    enum class keys {
        NoError,
        Conflict,
        PermissionDenied,
        FileInUse,
        FolderNotEmpty,
        QuotaExceeded,
        ReadOnlyMappoint
    };
    enum class genres { None, Delete, Transfer };
    static constexpr std::array<keys, 7> enumerate{
        keys::NoError,        keys::Conflict,      keys::PermissionDenied, keys::FileInUse,
        keys::FolderNotEmpty, keys::QuotaExceeded, keys::ReadOnlyMappoint};
    static constexpr std::array<genres, 3> enumerateGenres{genres::None, genres::Delete, genres::Transfer};
    static constexpr const char* keyName = "Error Status";
    static constexpr const char* genreName = "Error Genre";
    static std::string rawValue(keys key);
    static std::string rawValue(genres genre);
    static std::optional<keys> fromRaw(const std::string& raw);
    static std::optional<genres> genreFromRaw(const std::string& raw);

    // Each raises `shouldSave` only when the value differs.
    void setStatus(keys value);
    void setGenre(genres value);
    std::string encode();
    // True when a line held a value that is not one of the raw values (that field stays as it was).
    bool decode(std::string_view text);

    keys status = keys::NoError;
    genres genre = genres::None;
    bool shouldSave = false;
};

}  // namespace tw
