// Connects the server layer to the engine: requests read the run state from the run-state manager, and
// a network failure a request sees pauses the timeline through it. Called once at start-up, before the
// first request.
#pragma once

namespace tw {

void installServerHooks();

// Connects the administrator configuration to the rest of the engine: the stored credentials, the
// in-location volumes and the run state's permission to contact the server. Called once at start-up,
// before `ServerConfigurationDetails::loadState`.
void installConfigurationHooks();

// Connects the kernel channel and the volume manager to the timeline, the run state and the item
// records: what a watcher report or a mounted volume asks of the engine. Called once at start-up,
// before the first volume is made.
void installVolumeHooks();

}  // namespace tw
