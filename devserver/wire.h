// Wire forms of the synchronisation protocol that the reference server reads and writes: percent
// escapes, form bodies, dates and the rules a server path has to follow before it may touch the disk.
// Everything here is pure and thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::devserver {

// Error numbers sent in the "errorId" member of an error body.
namespace error_id {
inline constexpr int invalidCredentials = 1;
inline constexpr int tokenRefreshRequired = 6;
inline constexpr int fileDownloadFailed = 13;
inline constexpr int requiredItemNotFound = 14;
inline constexpr int cannotDeleteNonExistingItem = 18;
inline constexpr int itemAlreadyExist = 19;
inline constexpr int itemNotFound = 20;
inline constexpr int quotaExceeded = 22;
inline constexpr int couldNotLockFile = 26;
inline constexpr int smbFileSystemError = 1001;
inline constexpr int illegalFilename = 1007;
inline constexpr int fileNotWriteable = 1062;
inline constexpr int revisionsDoNotMatch = 1077;
inline constexpr int mappointIsReadOnly = 1082;
inline constexpr int permissionDenied = 1083;
inline constexpr int folderNotEmpty = 1119;
// Not a number the client knows: the request itself is malformed (bad escape, missing field, broken
// multipart, wrong offset). The client treats unknown numbers as "no valid response".
inline constexpr int badRequest = 4000;
}  // namespace error_id

// The HTTP status that goes with an error number; unknown numbers get 400.
int statusForError(int errorId);

// Decodes %XX escapes. Returns nothing for a truncated or non-hex escape. With `plusIsSpace` a "+"
// becomes a space (form bodies); in paths it stays a "+".
std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace);

// The client's escaping: ASCII letters, digits, "." and "/" stay, every other byte becomes %xx.
std::string percentEncode(std::string_view text);

// Parses "k=v&k=v" with strict escapes. A key given twice keeps its first value.
std::optional<std::map<std::string, std::string>> parseForm(std::string_view body);

// "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC, from milliseconds since 1970.
std::string formatTime(int64_t millis);
// Parses exactly that form (milliseconds required); nothing for any other text or an impossible date.
std::optional<int64_t> parseTime(std::string_view text);
int64_t nowMillis();

bool isValidUtf8(std::string_view text);

// A name the server's file system can hold: valid UTF-8, 1 to 255 bytes, no control character,
// none of " * : < > ? \ | / (the client maps those onto U+F020..U+F029), not ending in a space or a dot,
// and not "." or "..".
bool isLegalName(std::string_view name);

// A decoded server path split into its names. "/" (or "") is the top level with no names.
struct ParsedPath {
    enum class Status { ok, malformed, illegalName };
    Status status = Status::malformed;
    std::vector<std::string> names;
};
// `decoded` must begin with "/". A NUL byte, an empty name in the middle ("//"), "." or ".." are
// malformed; a name that breaks isLegalName is illegalName. A single trailing "/" is allowed.
ParsedPath parseServerPath(std::string_view decoded);

std::string joinPath(const std::vector<std::string>& names);

}  // namespace tw::devserver
