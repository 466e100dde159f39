// Timeline events: every unit of work the timeline runs, one at a time, in the order queued.
// Deletes and moves also have a text record so they survive a restart in Timeline.txt.
//
// Thread-safety: an event is built by its producer, then owned by the timeline's list; `performAction`
// runs on the timeline thread only, with the context of the timeline that runs it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Pinewick/engine/EventContext.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"
#include "Pinewick/metadata/MetadataDataBase.h"
#include "Pinewick/server/ServerFileObject.h"
#include "Pinewick/server/ServerRequests.h"

namespace tw {

// Whether a record describes a folder (its file type; records without one: a missing revision).
bool isFolderRecord(const CorvaneExtendedAttributes& record, const std::string& revision);
// Whether the item a record describes ever reached the server: it has a revision, or a state that only
// an item the server has can reach.
bool onServer(const CorvaneExtendedAttributes& record, const std::string& revision);
// The server entry a local item's record stands for: the item's name, with the revision (which makes it
// a file) and the size the record last had from the server.
ServerFileObject entryFromRecord(const std::string& name, const CorvaneExtendedAttributes& record);

class TLEvent {
public:
    virtual ~TLEvent() = default;

    // Runs the event to completion on the timeline thread; follow-up work goes to `context.timeline`.
    virtual void performAction(EventContext& context);
    // The persistent record, or none when the event is not kept across a restart.
    virtual std::optional<std::string> timelineSave();
    virtual std::string description();

    // "}\n": ends every persistent record.
    static constexpr const char* storeEventEnd = "}\n";

    // How a record indents its header lines ("    Path: /a/b").
    static constexpr const char* kRecordIndent = "    ";
    // The value of the header line `attribute` + ": " (indented as records indent it), up to its line
    // feed; none when there is no such line or it has no line feed.
    static std::optional<std::string> extractLine(const std::string& text, const std::string& attribute);
    // The text after the first `attribute` + ": {\n" up to the next "\n}\n"; none when either is missing.
    static std::optional<std::string> extractBlock(const std::string& text, const std::string& attribute);
    // True when `path` holds a line feed: such a path has no record.
    static bool holdsLineFeed(const std::string& path);

    // Asked by `performAction` when its work could not reach the server, or was cut before the server
    // answered (a pause, a sleep, a network error, a quit): the timeline keeps the event queued (its
    // record stays in Timeline.txt) and runs it again after a pause. An event that asks nothing has
    // finished: it leaves the list and the journal at once, paused or not. Read and cleared by the
    // timeline, on the thread that ran the event.
    void runAgainLater(std::string why = "it could not reach the server") {
        runAgain_ = true;
        handedBack_ = false;
        waitReason_ = std::move(why);
    }
    // Asked by `performAction` when another event running beside it acts on the same item now (a rename
    // moved a file between their paths): the event did nothing, stays queued and runs again once that
    // one is done, without counting as a failed try.
    void handBack(std::string why) {
        runAgain_ = true;
        handedBack_ = true;
        waitReason_ = std::move(why);
    }
    bool takeRunAgain() { return std::exchange(runAgain_, false); }
    // After `takeRunAgain` said yes: whether it was a hand-back rather than a failed try.
    bool takeHandedBack() { return std::exchange(handedBack_, false); }
    // Why the event last asked to run again (shown to the user while it waits).
    const std::string& waitReason() const { return waitReason_; }

private:
    bool runAgain_ = false;
    bool handedBack_ = false;
    std::string waitReason_;
};

class TLDelete : public TLEvent {
public:
    TLDelete(std::string localPath, CorvaneExtendedAttributes xAttrs);
    // Whether the delete is queued: never for ignored paths; a read-only item is not queued but put
    // back (restore manager, PermissionDenied).
    bool precheck(EventContext& context);
    // Deletes the item on the server; a refusal with a server copy restores it locally with an error
    // status, a locked item is tried once more.
    void performAction(EventContext& context) override;
    std::optional<std::string> timelineSave() override;
    std::string description() override;

    std::string localPath;
    CorvaneExtendedAttributes xAttrs;  // the deleted item's record, taken before it disappeared

    // The error status an item comes back with when the server refused its delete and gave its entry
    // to restore it; a reason not foreseen is logged and counts as no permission.
    static CEAErrorStatus::keys formErrorStatus(serverError error);

private:
    // When another item of the same kind took the path since (deleted and made again), hands it the
    // server's item instead of deleting that: true when the delete is no longer to be sent.
    bool handOverToReplacement(EventContext& context);
    // The same for a file that stands in the folder under another spelling of the name (a rename that
    // only changed case, by the user or to follow the server): the server compares names without
    // regard to case, so the delete would take that file's item. True when the delete is not to be
    // sent.
    bool handOverToOtherSpelling(EventContext& context);
    // For an item no record says reached the server: whether the server holds it all the same, made by
    // an upload or a folder creation of this client whose answer it never saw (cut short, or this
    // process killed). A file's server revision is then the one to delete. Nothing when the server
    // could not be asked.
    std::optional<bool> madeByUnansweredExchange(EventContext& context);
    // The revision to delete, settled at the first run (the database rows it comes from are removed
    // then), so a run again after the server could not be reached sends the same one.
    std::optional<std::string> revisionToDelete_;
    // Settled with it: the item reached the server after its record was taken (a folder created
    // while it was being removed).
    bool reachedServerSince_ = false;
    // Sent, handed to its replacement, or found needless: a run after this one does nothing.
    bool settled_ = false;
};

class TLMove : public TLEvent {
public:
    enum class moveActions { upload = 0, delete_ = 1, move = 2 };

    TLMove(std::string localPathFrom, std::string localPathTo, CorvaneExtendedAttributes originalXAttrs);
    // Whether the move is queued (not when both ends are ignored), and as what: an upload for an item
    // moved in from an ignored area, a delete (filling `deleteList`) for one moved out, else a move.
    bool precheck(EventContext& context);
    void performAction(EventContext& context) override;
    std::optional<std::string> timelineSave() override;
    std::string description() override;

    std::string localPathFrom;
    std::string localPathTo;
    CorvaneExtendedAttributes originalXAttrs;  // the item's record before the move
    moveActions moveAction = moveActions::move;
    std::vector<DeleteDetails> deleteList;  // server deletes of an item moved out, filled by precheck

private:
    void performMoveUpload(EventContext& context);
    void performMoveDelete(EventContext& context);
    void performMoveMove(EventContext& context);
    // Queues the creation or upload of everything inside `folder` (which came in as a whole).
    void sendContent(EventContext& context, const std::string& folder);
    // The item's record now if it still stands at the destination, else the record it moved with.
    CorvaneExtendedAttributes currentRecord() const;
    // The record's revision, or the one an upload that finished since left by the item's identity.
    std::string knownRevision(EventContext& context, const CorvaneExtendedAttributes& record) const;
    // The server move; over an item the server has at the destination, that item is deleted first on
    // the revision known for it. (moved, answered, the server's error).
    std::tuple<bool, bool, serverError> moveOnServer(EventContext& context, const std::string& revision);
    // Whether an earlier exchange whose answer never came moved the item after all: the server has it
    // at the destination now (a file with the revision it was moved on, or, right after this event sent
    // the move, a folder).
    bool movedEarlier(EventContext& context, const std::string& revision);
    // Gives the item at the destination the revision it was moved on, when its record lacks it.
    void learnRevision(EventContext& context, const std::string& revision);
    // The metadata database's row of the item the move replaced at the destination (left in place).
    std::optional<Record> replacedRow(EventContext& context);
    void recurseDeleteCorvaneExtentedAttributes(EventContext& context, const std::string& localPath);
    // `contentComingDown`: a folder some of whose files are fetched before they leave the server.
    void addToDeleteListIfRequired(EventContext& context, const std::string& localPath,
                                   bool contentComingDown = false);
    // After a server move: the database rows of the item and of what it holds name the new paths.
    void followInDatabase(EventContext& context);
    // A file renamed over a synchronised one (an editor's safe-save) takes the replaced item's revision,
    // so its upload is a new revision of that server item rather than a conflict with it. Returns the
    // replaced item's row, for the caller to remove once the upload ran.
    std::optional<Record> adoptReplacedRevision(EventContext& context);

    size_t fetches_ = 0;        // items of this move whose content comes down before they leave the server
    bool triedBefore_ = false;  // a run of this event sent the move and got no answer
    // Folders (former path, record) that leave the server only after the files fetched out of them.
    std::vector<std::pair<std::string, CorvaneExtendedAttributes>> foldersAfterFetches_;
};

}  // namespace tw
