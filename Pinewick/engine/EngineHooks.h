// Connects the server layer to the engine: requests read the run state from the run-state manager, a
// network failure a request sees pauses the timeline through it, the usage report runs after every
// automatic logon (skipping what the timeline ignores), and a client that cannot log on by itself asks
// the user for a password. Called once at start-up, before the first request. A program with its own
// way of asking for the password (a window) installs its `requestCredentials` afterwards.
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

// How the program without a window asks for the password: a warning in the log and, where a
// notification daemon runs, a desktop notification, both saying to run "tidewell login". Returns at
// once; the notification is sent from a background thread.
void requestCredentialsFromTerminal();

}  // namespace tw
