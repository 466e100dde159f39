// Deriving an item's metadata from the server's entry for it: server facts copied into the record, and
// the state of a not-yet-classified item decided by the entry's mode (or, for "inherit", by the nearest
// classified ancestor).
//
// Thread-safety: operations work on records the caller owns; callable from any thread.
#pragma once

#include <string>

#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/metadata/ServerItemFacts.h"
#include "platform/files.h"

namespace tw {

class CEAUtils {
public:
    // Revision, CanShare, ReadOnly and ServerFileSize from `file`; only real changes mark the record.
    static CorvaneExtendedAttributes& updateCorvaneExtendedAttributes(CorvaneExtendedAttributes& record,
                                                                      const ServerItemFacts& file);
    // Loads the record of `path`, copies the server facts, applies the state rule, saves, returns it. A
    // failed save is logged by the record and otherwise not reported: the item keeps its earlier record,
    // whose revision still differs from the server's, so the next listing refreshes it again. A caller
    // that must know, or that changes the record further, uses refreshedFile and saves it itself.
    static CorvaneExtendedAttributes refreshFilePath(const std::string& path, const ServerItemFacts& file);
    // As refreshFilePath, but a folder takes only CanShare and ReadOnly.
    static CorvaneExtendedAttributes refreshFolder(const std::string& path, const ServerItemFacts& file);
    // As refreshFilePath and refreshFolder, without the save: the caller saves the record once, with
    // whatever it changes besides, so the item never carries a state in between.
    static CorvaneExtendedAttributes refreshedFile(const std::string& path, const ServerItemFacts& file);
    static CorvaneExtendedAttributes refreshedFolder(const std::string& path, const ServerItemFacts& file);
    // State of an "inherit" item: Regular under a Regular (or ErrorRegular) ancestor, else Placeholder.
    static CEAStatus::keys determineInhert(const std::string& path,
                                           CEAStatus::keys status = CEAStatus::keys::Unknown);
    // An item now known to be on the server leaves `Unknown` for the state it inherits (determineInhert);
    // any other state is kept (nothing to write). Saves the record.
    static SaveResult setStatusIfUnknown(const std::string& path);
    // Marks the item LocalOnly (when it is not already) and saves its record.
    static SaveResult setLocal(const std::string& path);

    // Remembers, at a moment the file and the server agree, what identifies that content (size and
    // modification time to the nanosecond). Does not save.
    static void recordSyncedContent(CorvaneExtendedAttributes& record, const platform::FileAttributes& file);
    // Whether the file changed since it last agreed with the server: its size or modification time
    // differ from what was recorded then. A record that never recorded it (written by an earlier version)
    // compares the size with the server's. A file that cannot be examined has not changed.
    static bool hasLocalChanges(const std::string& path, const CorvaneExtendedAttributes& record);
    static bool hasLocalChanges(const platform::FileAttributes& file,
                                const CorvaneExtendedAttributes& record);
    // A placeholder holds no bytes. One that has some was written to while this program was not
    // watching (the in-location folder is a plain folder while it is stopped): the bytes are the
    // user's, and fetching the server's content into the file would overwrite them. The item becomes a
    // conflict with the revision it stood for, shown to the user to resolve. True when the item was
    // such a placeholder: the caller must then not fetch into it.
    static bool keepBytesWrittenToPlaceholder(const std::string& path);

private:
    // The state of an unclassified item, from the entry's mode; does not save.
    static void applyStateRule(CorvaneExtendedAttributes& record, const std::string& path,
                               const ServerItemFacts& file);
};

}  // namespace tw
