// The engine's parts that the windows and the command line work with, handed down by reference from
// the composition root (app/Engine) through each window's constructor, so that no window reaches for a
// process-wide instance of its own. The parts outlive every window and every command.
//
// Thread-safety: a bundle of references and one function; each part says what it allows.
#pragma once

#include <functional>

namespace tw {

class AttentionList;
class ChangeScan;
class ConsistencyCheckDataBase;
class ContextMenuHandler;
class ErrorResolutionManager;
class ServerConfigurationDetails;
class ServerCredentials;
class StateManager;
class StatusBarManager;
class TimeLineManager;
class TreeSync;
class VolumeManager;

struct EngineParts {
    TimeLineManager& timeline;
    StateManager& runState;
    VolumeManager& volumes;
    ServerCredentials& credentials;
    ServerConfigurationDetails& configuration;
    StatusBarManager& statusBar;
    AttentionList& attention;
    ErrorResolutionManager& errorResolution;
    ContextMenuHandler& contextMenu;
    ChangeScan& changeScan;
    // `tidewell sync`'s listings of whole trees, and when each folder was last compared with the server.
    TreeSync& treeSync;
    ConsistencyCheckDataBase& consistencyDatabase;
    // The synchronisation's shutdown, as the program's exit runs it (the uninstall runs it before its
    // tool); only the first call does anything. Any thread.
    std::function<void()> stopSynchronisation;
};

}  // namespace tw
