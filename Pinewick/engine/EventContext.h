// What a timeline event acts through, handed to it when it runs instead of looked up: the timeline that
// runs it (follow-up work is queued there, so an event run by a test's own timeline never reaches the
// process-wide one), the metadata database of item records, the volume list, the server environment,
// the tray state that shows transfers, and the restorer of items whose server delete was refused.
//
// The timeline builds one context and hands the same one to every event it runs; the context refers to
// its parts and owns none of them, so each part must outlive the timeline.
//
// Thread-safety: the context itself is never changed after it is built, so it may be read from any
// thread; each part keeps its own rules (see its header).
#pragma once

namespace tw {

class TimeLineManager;
class MetadataDataBase;
class VolumeManager;
class StatusBarManager;
class RestoreDeletedManager;
struct ServerEnvironment;

// How one listing pass of a folder ended: compared with the server's listing, skipped because the
// folder was listed recently enough, no such folder here (any more), or not compared (no usable answer).
enum class ListingOutcome { compared, fresh, gone, failed };

struct EventContext {
    TimeLineManager& timeline;
    MetadataDataBase& records;
    VolumeManager& volumes;
    ServerEnvironment& server;
    StatusBarManager& statusBar;
    RestoreDeletedManager& restorer;
};

}  // namespace tw
