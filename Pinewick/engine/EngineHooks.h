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

}  // namespace tw
