// How the client is put together, in one place. The constructor wires the server layer, which asks
// for the run state, the credentials and the volumes before anything else runs. `start` then brings the
// client up (the file watcher's link, handed to the kernel link and the volumes; the configuration,
// read with the calls it makes into the credentials, the volumes and the run state; the first scan; the
// watchers of the run state) and `shutdown` takes it down, handing the run state's shutdown the steps
// that take down what is built above it. The app and the windows reach every part through the accessors
// below, or through the `EngineParts` handed to them.
//
// Every part is made on first use, so that each comes to exist where the start-up first needs it: the
// timeline takes over its journal when made (in `start`, never when merely wired), the kernel link
// connects (and starts the watcher) when made, the volumes come after it. The engine makes the parts
// only the running client has (the kernel link, the file-manager bridge, the change scan, the
// consistency check, the placeholder opens, the attention list, the error resolution), handing each
// the parts it works with; the others are the process-wide parts of `app/Parts.h`, made there with
// theirs, which tests of one layer take too. None is ever destroyed, and the hooks the engine installs reach
// only those parts, never the engine object itself.
//
// Thread-safety: construct, `start` and `shutdown` on the main thread; the accessors may be called
// from any thread.
#pragma once

#include <functional>
#include <memory>

#include "Pinewick/config/ServerConfigurationDetails.h"
#include "Pinewick/ui/EngineParts.h"

namespace tw {

class AttentionList;
class ChangeScan;
class ConsistencyCheck;
class ConsistencyCheckDataBase;
class ContextMenuHandler;
struct EngineLink;
class ErrorResolutionManager;
class KernelCommunicator;
class ListingPace;
class MetadataDataBase;
class PlaceholderOpens;
class ServerCredentials;
class StateManager;
class StatusBarManager;
class TimeLineManager;
class TreeSync;
class VolumeManager;

class Engine {
public:
    // What differs between the desktop application, `--headless`, `tidewell login` and tests.
    struct Options {
        // Asks the user for a password when the client cannot log on by itself; true when it asked.
        // When none is given, or it could not ask (the desktop application before its windows are up),
        // the log and a desktop notification tell the user to run "tidewell login".
        std::function<bool()> requestCredentials;
        // The file watcher can no longer be reached. Default: the program logs why and ends (the main
        // queue stops).
        std::function<void()> watcherUnreachable;
    };

    // Wires the layers; starts nothing.
    explicit Engine(Options options = {});
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // The start-up sequence, in its order. False when the file watcher cannot be reached: the client
    // cannot run without it, and nothing after the kernel link has been started.
    bool start();
    // After a start that could not complete: closes the kernel link if one was made, so that nothing
    // reconnects while the program exits.
    void abandonStart();
    // The shutdown sequence (once; after the uninstall's own shutdown, only what that one leaves).
    void shutdown();

    // ---- the parts
    TimeLineManager& timeline();
    StateManager& runState();
    VolumeManager& volumes();
    KernelCommunicator& kernelLink();
    ServerCredentials& credentials();
    ServerConfigurationDetails& configuration();
    MetadataDataBase& metadataDatabase();
    ConsistencyCheckDataBase& consistencyDatabase();
    StatusBarManager& statusBar();
    AttentionList& attention();
    ErrorResolutionManager& errorResolution();
    ContextMenuHandler& contextMenu();
    ChangeScan& changeScan();
    ConsistencyCheck& consistencyCheck();
    ListingPace& listingPace();
    TreeSync& treeSync();
    PlaceholderOpens& placeholderOpens();
    // The bundle the windows and the command line take (after `start`: it holds the volumes).
    EngineParts parts();

    // ---- the wiring of one layer, as the constructor runs it; on their own for tests of one layer
    // The server layer's view of the run state, the credentials, the volume list and the metadata
    // database, what follows an automatic logon, and how to ask for a password (see
    // Options::requestCredentials). Before the first request.
    static void wireServerLayer(std::function<bool()> requestCredentials = {});
    // The administrator configuration's calls into the credentials, the volumes and the run state, as
    // `start` hands them to its reading.
    static ServerConfigurationDetails::Hooks configurationHooks();
    // What a watcher report or a mounted volume asks of the engine (the `EngineLink`), and what ends
    // the program when the watcher is gone. `start` hands it to the kernel link and the volumes.
    static std::shared_ptr<const EngineLink> volumeLink(std::function<void()> watcherUnreachable = {});

private:
    std::shared_ptr<const EngineLink> volumeLink_;
};

}  // namespace tw
