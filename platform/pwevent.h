// The record and the enumerations that cross the boundary between gatewarden (the file watcher) and
// the application. Plain data only: both sides include this header, so it holds no logic beyond
// constants, and its layout is the wire layout (byte-packed, 2050 bytes).
//
// Thread-safety: nothing here has state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw::pw {

// The class name the application looks for; also the basename of the user-client socket.
inline constexpr char kCorvaneDriverClassName[] = "com_corvane_PW_driver";

inline constexpr std::size_t kPathFieldSize = 1024;  // bytes of path1 and of path2
inline constexpr std::size_t kRecordSize = 2050;     // bytes of one _pwevent

// One record, the same in both directions. Texts are NUL-terminated when shorter than their field.
#pragma pack(push, 1)
struct _pwevent {
    std::uint8_t userClient;     // client family; 0 (pwuc_Brindle) for everything either side sends
    std::uint8_t action;         // SendActions from the application, ReceiveActions from the watcher
    char path1[kPathFieldSize];  // a path, or the application's process id in hexadecimal
    char path2[kPathFieldSize];  // second path or auxiliary text
};
#pragma pack(pop)
static_assert(sizeof(_pwevent) == kRecordSize, "the record is 2050 bytes on the wire");

// Byte offset of each field of _pwevent.
enum class PWEvent : int { userClient = 0, action = 1, path1 = 2, path2 = 1026 };

// First byte of a record: which client family sent it. Records of another family are ignored.
enum userClient : std::uint8_t { pwuc_Brindle = 0, pwuc_Ostrel = 1 };

// User-client selectors.
enum KernelMethods : std::uint32_t {
    kBrindleOpenConnection = 0,
    kBrindleCloseConnection = 1,
    kSendDataToKernel = 2,
    kRecieveDataFromKernel = 3,
    // As kRecieveDataFromKernel, but up to kRecordsPerRead records back to back, all the queue holds
    // once the first is there; no bytes when it stayed empty. A watcher that does not know it answers
    // kIOReturnUnsupported.
    kRecieveManyFromKernel = 4,
};
inline constexpr std::size_t kRecordsPerRead = 64;

// Actions of records sent to the watcher.
enum SendActions : std::uint8_t {
    sa_AddWatchPath = 0,     // path1 = folder to watch, path2 = "Read/Write"
    sa_RemoveWatchPath = 1,  // never sent; ignored
    sa_StartWatching = 2,    // path1 = the application's process id, upper-case hexadecimal
    sa_StopWatching = 3,
    sa_AcknowledgeDelete = 4,  // path1 = the path asked about, path2 = "True" (refuse) or "False"
};

// Actions of records read from the watcher. 1 to 7 are the file-operation codes; 0 and 62 to 64 are
// the watcher's own.
enum ReceiveActions : std::uint8_t {
    no_MESSAGE = 0,
    kauth_FILEOP_OPEN = 1,      // a watched folder was listed; path2 = lister's pid, hexadecimal
    kauth_FILEOP_CLOSE = 2,     // a file was closed after being modified
    kauth_FILEOP_RENAME = 3,    // path1 moved to path2
    kauth_FILEOP_EXCHANGE = 4,  // contents of path1 and path2 swapped
    kauth_FILEOP_LINK = 5,
    kauth_FILEOP_EXEC = 6,
    kauth_FILEOP_DELETE = 7,  // question (path2 empty) or report ("Folder Delete"/"Confirm Delete File")
    kauth_FILEOP_CREATE_FOLDER = 62,  // a folder was made at path1 (reported after the mkdir succeeded)
    kauth_FILEOP_ISGHOST = 63,        // question: may this file be read? path2 = reader's pid
    kauth_FILEOP_ISREADONLY = 64,     // question: may this file be written?
    // The watcher could not report everything since the last read (its queue was full, or a path did
    // not fit a field): the application must look for the changes itself. Sent once per such spell,
    // ahead of the next report; path1 names the watched folder concerned, or is empty for all.
    kauth_FILEOP_REPORTS_DROPPED = 65,
    // An item at path1 is about to be deleted, or renamed (as the source, or as a destination it
    // replaces): the watcher decided the operation itself from the item's record and asks nothing.
    // path2 = "DEVICE NUMBER" (the item's identity as the mount reports it), a line feed, then the
    // record's text as the item carries it (empty when it has none): what the application keeps for
    // the delete or move it will report next. An item whose announcement does not fit path2 is asked
    // about with a delete question instead.
    kauth_FILEOP_WILL_DELETE = 66,
};

// Texts the watcher puts in path2 of delete reports, and the application's answers.
inline constexpr char kFolderDelete[] = "Folder Delete";
inline constexpr char kConfirmDeleteFile[] = "Confirm Delete File";
inline constexpr char kAnswerRefuse[] = "True";
inline constexpr char kAnswerAllow[] = "False";
// Answers to a read of content that is not here (kauth_FILEOP_ISGHOST): the content is being fetched,
// and a second answer about the same path follows once it is here (kAnswerAllow), could not be fetched
// (kAnswerFailed), or took longer than the open may wait (kAnswerTimedOut; the download goes on).
inline constexpr char kAnswerDownloading[] = "Downloading";
inline constexpr char kAnswerFailed[] = "Failed";
inline constexpr char kAnswerTimedOut[] = "TimedOut";
inline constexpr char kReadWrite[] = "Read/Write";
// path2 of a write question about a name that does not exist yet (a create). The kernel holds the
// folder locked until the answer, so the application must not look the new name up: it decides from
// the folder's own record.
inline constexpr char kNewItem[] = "New Item";

// Return codes of user-client calls, numbered as IOKit numbers them.
using IOReturn = std::int32_t;
inline constexpr IOReturn kIOReturnSuccess = 0;
inline constexpr IOReturn kIOReturnError = static_cast<IOReturn>(0xE00002BCu);
inline constexpr IOReturn kIOReturnBadArgument = static_cast<IOReturn>(0xE00002C2u);
inline constexpr IOReturn kIOReturnExclusiveAccess = static_cast<IOReturn>(0xE00002C5u);
inline constexpr IOReturn kIOReturnUnsupported = static_cast<IOReturn>(0xE00002C7u);
inline constexpr IOReturn kIOReturnNotOpen = static_cast<IOReturn>(0xE00002CDu);
inline constexpr IOReturn kIOReturnNotAttached = static_cast<IOReturn>(0xE00002D9u);
inline constexpr IOReturn kIOReturnTimeout = static_cast<IOReturn>(0xE00002D6u);
// Matching found no service: the socket is absent or nobody listens.
inline constexpr IOReturn kNoServiceFound = 47;

}  // namespace tw::pw
