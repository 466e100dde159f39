// The process-wide parts the client is made of, each made here once, on first use, with the parts it
// works with: the one place that names what each is made with. The engine reaches them through these
// functions; each class's `sharedInstance()` forwards here (for tests of one layer, which take the
// same parts as the program), so no layer below the engine makes or looks up another's instance.
//
// Made on first use, not all at once: the timeline takes over its journal when made and the volume list
// is written when the volumes are made, which `tidewell login`, wiring an engine beside the running
// client, must leave alone. Never destroyed: queues, timers and request threads may still use a part
// while the process exits.
//
// Thread-safety: each function may be called from any thread (the first call makes the part once).
#pragma once

#include "Pinewick/engine/TimeLineManager.h"

namespace tw {

class ConsistencyCheckDataBase;
class ExclusionManager;
class MetadataDataBase;
class RestoreDeletedManager;
class ServerConfigurationDetails;
class ServerCredentials;
struct ServerEnvironment;
class StateManager;
class StatusBarManager;
class VolumeManager;

namespace parts {

// The administrator's exclusion rules, filled in when the configuration is read.
ExclusionManager& exclusions();
// The configuration and the support folder, on the exclusion rules.
ServerConfigurationDetails& configuration();
// What the server layer works in: the engine installs the answers of the parts above at start-up.
ServerEnvironment& serverEnvironment();
// The account every request goes out with, in that environment.
ServerCredentials& credentials();
// Both databases, in the configuration's support folder.
MetadataDataBase& metadataDatabase();
ConsistencyCheckDataBase& consistencyDatabase();
// The tray state, following every transfer of the process.
StatusBarManager& statusBar();
// Puts back items whose server delete was refused.
RestoreDeletedManager& restorer();
// The volume list on the configuration; the records of its volumes mirror into the metadata database
// under their volume's UUID, which the list resolves.
VolumeManager& volumes();
// What the timeline's events act through.
TimeLineManager::Parts timelineParts();
// The timeline, in the support folder.
TimeLineManager& timeline();
// The run state, driving the timeline and the tray and probing the network with the credentials.
StateManager& runState();

}  // namespace parts
}  // namespace tw
