// What "Resolve Error" does for one item: it reads the item's record and chooses between the conflict
// window, the delete window and a plain alert, and it carries out the resolution the user picks,
// leaving the record, the timeline and the server consistent.
//
// The decisions and their effects live here without any window system, so they are tested on their
// own; a `Presenter` (the Qt windows, or a test's fake) shows what was decided.
//
// Every resolution first reloads the record and compares it with the one the window was opened for:
// when the sync changed the item meanwhile (another upload ran, the server copy came down), the
// resolution is refused with `itemChanged` instead of overwriting a state nobody looked at.
//
// The same choices are offered without a window (`tidewell errors`, `tidewell resolve`): `actionsFor`
// says which choices the window or alert for a record offers, `problemText` what it says, and
// `resolveNow` carries one out through the very operations the windows call.
//
// Thread-safety: `resolveError` may be called from any thread and presents on the main queue. The
// resolution operations run on the calling thread; those that talk to the server (`renameOnServer`,
// `recurseRetryDelete`) must not run on the main queue.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Pinewick/metadata/CorvaneExtendedAttributes.h"

namespace tw {

class TimeLineManager;

class ErrorResolutionManager {
public:
    struct Alert {
        std::string message;
        std::string informative;
        std::vector<std::string> buttons;  // first is the default; empty means one "OK"
    };

    // Shows what `resolveError` decided. Called on the main queue; each call returns when the user is
    // done with the alert or window.
    class Presenter {
    public:
        virtual ~Presenter() = default;
        // The index of the button chosen.
        virtual int runAlert(const Alert& alert) = 0;
        virtual void runConflict(const std::string& path, const CorvaneExtendedAttributes& record) = 0;
        virtual void runDelete(const std::string& path, const CorvaneExtendedAttributes& record) = 0;
    };

    // `notOffered`: the item's error does not offer that choice; `partlyDone`: a delete kept items.
    enum class outcome { done, itemChanged, nameTaken, notOffered, partlyDone };

    // A manager queueing its work on `timeline` (not owned; must outlive it). The program's manager is
    // made by the engine (app/Engine).
    explicit ErrorResolutionManager(TimeLineManager& timeline);

    // Not owned; must outlive its use. Without one, decisions are only logged.
    void setPresenter(Presenter* presenter);

    // Loads the record of `path` and presents the matching window or alert on the main queue.
    void resolveError(const std::string& path);

    // ---- texts
    static std::string conflictHelpText(const std::string& path, const CorvaneExtendedAttributes* record);
    static std::string deleteHelpText(const std::string& path, const CorvaneExtendedAttributes* record);
    // The first free "stem (n).ext" beside `path`, n = 2, 3, ...; its last path component.
    static std::string createConflictFilename(const std::string& path);
    // The "Rename file" alert for a name already taken.
    static Alert nameTakenAlert(const std::string& newName);
    static Alert itemChangedAlert(const std::string& path);

    // ---- conflict resolutions (`seen` is the record the window showed)
    outcome discardLocal(const std::string& path, const CorvaneExtendedAttributes& seen);
    outcome overwriteServer(const std::string& path, const CorvaneExtendedAttributes& seen);
    // The local part of a rename: checks the name and updates the record. On `done`, the caller runs
    // `finishRename` (off the main queue when the server copy is renamed: it is a server request).
    struct RenamePlan {
        std::string path;
        std::string newPath;
        bool localTakesNewName = true;
        std::string serverRevision;  // the server copy's revision, for bringing it down again
        std::optional<uint64_t> serverSize;
    };
    outcome prepareRename(const std::string& path, const std::string& newName, bool localTakesNewName,
                          const CorvaneExtendedAttributes& seen, RenamePlan* plan);
    void finishRename(const RenamePlan& plan);

    // ---- delete resolutions
    outcome ignoreError(const std::string& path, const CorvaneExtendedAttributes& seen);
    // Checks the record, then `recurseRetryDelete` (a server request per item): `partlyDone` when
    // something was kept (listed in `kept` when given).
    outcome retryDelete(const std::string& path, const CorvaneExtendedAttributes& seen,
                        std::vector<std::string>* kept = nullptr);
    // Deletes `path` (a folder depth first) on the server and locally. Items holding changes the
    // server does not have are kept, and so are the folders holding them; false when something was kept
    // (the kept files are added to `kept` when given).
    bool recurseRetryDelete(const std::string& path, std::vector<std::string>* kept = nullptr);

    // ---- quota
    // "Retry" of the quota alert: back to RequireUpload without error, one upload queued.
    outcome retryUpload(const std::string& path, const CorvaneExtendedAttributes& seen);

    // ---- the same choices without a window
    enum class action { keepMine, keepServer, keepBoth, retryDelete, keepServerCopy, retryQuota };
    static constexpr std::array<action, 6> allActions{action::keepMine,       action::keepServer,
                                                      action::keepBoth,       action::retryDelete,
                                                      action::keepServerCopy, action::retryQuota};
    // The command line's word for it: "keep-mine", "keep-server", "keep-both", "retry-delete",
    // "keep-server-copy", "retry-quota".
    static const char* actionName(action a);
    static std::optional<action> actionNamed(const std::string& name);
    // What the window or alert calls the choice ("Keep my version and replace the server's").
    static std::string actionLabel(action a);
    // The choices "Resolve Error" offers for this record, in the window's order; none where it only
    // explains (a read-only volume, an error no window handles, no error at all).
    static std::vector<action> actionsFor(const CorvaneExtendedAttributes& record);
    // What "Resolve Error" says about this record: the window's help text, or the alert's text.
    static std::string problemText(const std::string& path, const CorvaneExtendedAttributes& record);
    // The alert "Resolve Error" shows for this record; none where it shows a window instead.
    static std::optional<Alert> alertFor(const std::string& path, const CorvaneExtendedAttributes& record);

    struct Choice {
        action what = action::keepMine;
        std::string newName;            // keep-both: "" takes the name the window proposes
        bool localTakesNewName = true;  // keep-both: my version takes the new name (else the server's)
    };
    struct Result {
        outcome result = outcome::done;
        std::string text;  // what was done, or why nothing was
    };
    // Carries out `choice` for `path` as the window would for the record it shows, and waits for
    // the server where the window's choice would have. Never on the main queue.
    Result resolveNow(const std::string& path, const Choice& choice);

private:
    void handleTransferErrors(const std::string& path, const CorvaneExtendedAttributes& record);
    void present(std::function<void(Presenter&)> what);
    static bool unchanged(const CorvaneExtendedAttributes& now, const CorvaneExtendedAttributes& seen);
    TimeLineManager& timeline();

    TimeLineManager& timeline_;
    Presenter* presenter_ = nullptr;
};

}  // namespace tw
