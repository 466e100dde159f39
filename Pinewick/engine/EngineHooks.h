// Connects the server layer to the engine: requests read the run state from the run-state manager, a
// network failure a request sees pauses the timeline through it, the usage report runs after every
// automatic logon (skipping what the timeline ignores), and a client that cannot log on by itself asks
// the user for a password. Called once at start-up, before the first request. A program with its own
// way of asking for the password (a window) installs its `requestCredentials` afterwards.
#pragma once

namespace tw {

void installServerHooks();

// How the program without a window asks for the password: a warning in the log and, where a
// notification daemon runs, a desktop notification, both saying to run "tidewell login". Returns at
// once; the notification is sent from a background thread.
void requestCredentialsFromTerminal();

}  // namespace tw
