// The metadata record of one local item: its value groups, read from and written to the extended
// attribute on the item that the file-manager extension reads too, with the item's file identity kept
// current.
//
// A record is short-lived: load it right before a decision, change it, `save()`, drop it. The lasting
// state is the attribute; two records saved for one path close together both write whole texts and
// the last one wins. Saving a changed state tells the file-manager extension,
// keeps the open-with marking of placeholders, and mirrors revision and state into the metadata
// database of the `RecordMirror` that knows the item's volume.
//
// Thread-safety: a record is used by one thread at a time; different records may be used on different
// threads. Mirrors may be made and dropped on any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "Pinewick/metadata/CEAValues.h"
#include "platform/files.h"
#include "platform/overmark.h"

namespace tw {

class MetadataDataBase;

// What a save came to: written (or nothing to write), or the cause of the failure. It tests true when
// the record was written, as the bool it replaces did, so `if (record.save())` keeps its meaning.
// The cause is the failed system call (its name, the path, the errno). Two refusals are this code's own
// and are given as the call would have failed: a record too long to be read back ("setxattr", E2BIG),
// and a record that another item took the path of since it was loaded ("save", ESTALE).
class [[nodiscard]] SaveResult {
public:
    SaveResult() = default;
    explicit SaveResult(platform::SysError cause) : cause_(std::move(cause)) {}
    bool ok() const { return !cause_; }
    explicit operator bool() const { return ok(); }
    const platform::SysError& cause() const { return cause_; }

private:
    platform::SysError cause_;
};

class CorvaneExtendedAttributes {
public:
    static constexpr const char* xAttrName = overmark::kItemAttributeName;
    static constexpr const char* openWithAttrName = "com.apple.LaunchServices.OpenWith";
    // The attribute is read through a buffer of this size; a longer one counts as absent.
    static constexpr size_t kMaxAttributeSize = overmark::kItemAttributeMaxSize;

    // Record of the item at `localPath`, loaded from its attribute (fresh values when it has none).
    explicit CorvaneExtendedAttributes(std::string localPath);
    // Record of the item with file number `fileSystemNumber` on device `volumeSystemNumber`, addressed
    // as "/.vol/DEV/INO" and loaded from its attribute.
    CorvaneExtendedAttributes(uint64_t fileSystemNumber, uint64_t volumeSystemNumber);
    // Record rebuilt from an earlier `encode()` text; touches no file.
    CorvaneExtendedAttributes(std::string internalPath, const std::string& internalDetails);

    // Writes the record if any value changed (see the source for the steps). Fails when the attribute
    // could not be written (a full disk, a file system that refuses it, a record too long to read back):
    // the item keeps its earlier record. Failures are logged with their cause either way, and the result
    // carries it. A record loaded from an item is only ever written to that item: it fails (ESTALE), and
    // nothing is written, when another one stands under its path now. Each caller decides what a failure
    // means for it: the result may not be dropped unread.
    [[nodiscard]] SaveResult save();
    // The attribute text; clears every group's `shouldSave`.
    std::string encode();
    // "Corvane Extended Attributes: " + encode() + "Volume: " + volumeNumber (clears `shouldSave` too).
    std::string description();
    // "/.vol/" + volumeNumber + "/" + fileNumber.
    std::string nodePath() const;
    // The value of the line that starts with `key` and ": ", up to its line feed; none without one.
    static std::optional<std::string> decodeLine(const std::string& text, const std::string& key);
    // The state written in the record of the item at `localPath`, read in one look and without the
    // checks a load makes (whether the record came with a file that replaced its item, which a load
    // reads as Unknown). Nothing when the item or its record is missing or unreadable. For sifting
    // many items; whoever acts on an item loads its record.
    static std::optional<CEAStatus::keys> storedStatus(const std::string& localPath);

    // Marks a placeholder (that has been on the server) to open with this application, and unmarks
    // items in any other known state.
    void setOpenWith();
    // Mirrors identity, path, revision and state into the metadata database (items with a revision on
    // a volume a living mirror knows).
    void updateMetadata();

    // True when some group changed since the last encode.
    bool hasChanges() const;

    std::string localPath;
    uint64_t volumeNumber = 0;  // device of the item's file system; 0 until known
    uint64_t fileNumber = 0;    // inode on that device; 0 until known
    CEABool ceaBool;
    CEAString ceaString;
    CEADate ceaDate;
    CEAStatus ceaStatus;
    CEALong ceaLong;
    CEAErrorStatus ceaErrorStatus;

private:
    void load();
    // Decodes `text` into the groups; logs a malformed text. Never raises `shouldSave`.
    void decode(const std::string& text);
    void grabFileId();
    void grabFileId(const std::optional<platform::FileAttributes>& attributes);

    // (volume number, file number) of the item the record was loaded from; none for a record rebuilt
    // from text or loaded where nothing stood.
    std::optional<std::pair<uint64_t, uint64_t>> loadedFrom_;
};

// How a saved record reaches the metadata database without depending on the volume list (which itself
// uses records): while a mirror lives, the records of the volumes its `resolver` knows (it names their
// volume's UUID, "" for a volume it does not know) go into its `database`, asked for at the first
// mirrored save, so making a mirror opens nothing. A volume list holds one for its volumes; the first
// living mirror that knows a record's volume takes the record. Both calls run on the saving thread,
// and a mirror going waits for a save that is making them.
class RecordMirror {
public:
    RecordMirror(std::function<std::string(uint64_t volumeSystemNumber)> resolver,
                 std::function<MetadataDataBase&()> database);
    ~RecordMirror();
    RecordMirror(const RecordMirror&) = delete;
    RecordMirror& operator=(const RecordMirror&) = delete;

    struct Target;

private:
    std::shared_ptr<Target> target_;
};

// The open-with property list written on placeholders (binary property list of the dictionary
// "bundleidentifier", "path", "version").
const std::string& openWithPropertyList();

}  // namespace tw
