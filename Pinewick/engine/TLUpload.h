// The events that push local changes up: a file's content (TLUpload), a new folder (TLCreateFolder),
// and two files that exchanged contents (TLExchange, both sent as changed files).
//
// Thread-safety: constructors run on the producer's thread and may save the item's record there;
// `performAction` runs on the timeline thread, `performAlongside` on a thread the timeline lends it.
#pragma once

#include <memory>
#include <string>

#include "Pinewick/engine/TLEvent.h"
#include "Pinewick/server/UploadDetails.h"
#include "platform/files.h"

namespace tw {

class TLUpload : public TLEvent {
public:
    // Decides at queueing time whether the file needs sending, marking a synchronised or new file
    // `RequireUpload` at once. A changed file (`fileChanged`) also drops any half-finished resumable upload.
    // When it runs, it sends the file standing at the path then, and its outcome goes to that file's
    // record wherever the file went meanwhile; a conflict with a revision this client itself knows at the
    // path (a file deleted and made again) is no conflict: the upload continues that revision. A path
    // `timeline` never synchronises is left as it is.
    TLUpload(std::string localPath, bool fileChanged, TimeLineManager& timeline);
    void performAction(EventContext& context) override;
    // The same, run beside the upload the tray shows (the timeline sends uploads of distinct files
    // together): the tray keeps showing that one. Safe on any thread while no other thread runs this
    // event.
    void performAlongside(EventContext& context);
    std::string description() override { return "Upload: " + localPath; }

    std::string localPath;
    bool uploadRequired = false;

private:
    void perform(EventContext& context, bool shownInTray);
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
    // Both uploads, in order, whatever the first one did.
    void performAction(EventContext& context) override {
        upload1->performAction(context);
        upload2->performAction(context);
    }
    std::string description() override {
        return "Exchange: " + upload1->description() + " with: " + upload2->description();
    }

    std::shared_ptr<TLUpload> upload1;
    std::shared_ptr<TLUpload> upload2;
};

}  // namespace tw
