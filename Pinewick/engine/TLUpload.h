// The events that push local changes up: a file's content (TLUpload), a new folder (TLCreateFolder),
// and two files that exchanged contents (TLExchange, both sent as changed files).
//
// Thread-safety: constructors run on the producer's thread and may save the item's record there;
// `performAction` runs on a thread of the timeline (uploads of distinct files run side by side), one
// thread at a time for one event.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Pinewick/engine/TLEvent.h"
#include "Pinewick/server/ServerCopy.h"
#include "Pinewick/server/UploadDetails.h"
#include "platform/files.h"

namespace tw {

class TLUpload : public TLEvent {
public:
    // Decides at queueing time whether the file needs sending, marking a synchronised or new file
    // `RequireUpload` at once. A changed file (`fileChanged`) also drops any half-finished resumable upload.
    // When it runs, it sends the file standing at the path then, and its outcome goes to that file's
    // record wherever the file went meanwhile; a conflict with a revision this client itself made (at
    // the path, by an exchange whose answer was lost, or holding this very content) is no conflict: the
    // upload continues that revision, or takes it as the file's. An upload cut before the server
    // answered asks to run again. A path `timeline` never synchronises is left as it is.
    TLUpload(std::string localPath, bool fileChanged, TimeLineManager& timeline);
    void performAction(EventContext& context) override;
    std::string description() override { return "Upload: " + localPath; }

    std::string localPath;
    bool uploadRequired = false;

private:
    // Sends the claimed file `before` until an answer settles it.
    void send(EventContext& context, const platform::FileAttributes& before);
    // Whether the server could be reached now.
    static bool reachable(EventContext& context);
    // Whether the revision the server holds is one this client made: known at the path, or made by an
    // earlier exchange for this path whose answer never came (`sending`: what the refused one sent).
    bool continuesOwnRevision(EventContext& context, const ServerFileObject& held, const SentFacts& sending);
    // Whether the revision the server holds is the file's content as read for this upload.
    bool serverHoldsIt(EventContext& context, const ServerFileObject& held, const SentFacts& facts);
    // The record takes the held revision as the file's (in step, unless written to meanwhile).
    static void adoptHeldRevision(CorvaneExtendedAttributes& record, const ServerFileObject& held,
                                  const platform::FileAttributes& sent);
    // Brings the record of the item that was sent up to date with what the server answered.
    void applyOutcome(EventContext& context, CorvaneExtendedAttributes& record, const UploadDetails& details,
                      normalisedResponse outcome, const platform::FileAttributes& sent);
};

class TLCreateFolder : public TLEvent {
public:
    explicit TLCreateFolder(std::string localPath) : localPath(std::move(localPath)) {}
    // Whether the folder should be created: not ignored by `timeline` and not yet known to the sync.
    bool precheck(TimeLineManager& timeline);
    void performAction(EventContext& context) override;
    std::string description() override { return "Create Folder: " + localPath; }

    std::string localPath;
    // The folder's content arrives by events of its own (the watcher reports each item made in it, or
    // the caller sends it): no listing after the creation.
    bool contentFollows = false;

private:
    void refreshIfRequired(EventContext& context);
};

class TLExchange : public TLEvent {
public:
    TLExchange(std::shared_ptr<TLUpload> upload1, std::shared_ptr<TLUpload> upload2)
        : upload1(std::move(upload1)), upload2(std::move(upload2)) {}
    // Both uploads, in order, whatever the first one did. Either cut short, both run again (one that
    // finished finds nothing left to send).
    void performAction(EventContext& context) override {
        upload1->performAction(context);
        upload2->performAction(context);
        for (auto* upload : {upload1.get(), upload2.get()}) {
            if (!upload->takeRunAgain()) continue;
            upload->takeHandedBack();
            runAgainLater(upload->waitReason());
        }
    }
    std::string description() override {
        return "Exchange: " + upload1->description() + " with: " + upload2->description();
    }

    std::shared_ptr<TLUpload> upload1;
    std::shared_ptr<TLUpload> upload2;
};

}  // namespace tw
