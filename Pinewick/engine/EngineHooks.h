// Connects the server layer to the engine: requests read the run state from the run-state manager, and
// a network failure a request sees pauses the timeline through it. Called once at start-up, before the
// first request.
#pragma once

namespace tw {

void installServerHooks();

}  // namespace tw
