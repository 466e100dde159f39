// The executable of a process, for the kernel channel's trust decision on folder listings: only a
// listing by the user's file manager or the desktop's file chooser asks the server for fresh contents.
//
// Thread-safety: safe from any thread; the cache is guarded by a mutex.
#pragma once

#include <string>

namespace tw {

class PIDManager {
public:
    // The executable path of the process whose number is given as hexadecimal text (the watcher's
    // form), from /proc/PID/exe. Cached for the life of the process; empty when the lookup fails (a
    // failure is not cached, so a later lookup of the same number may still succeed).
    static std::string pidName(const std::string& pid);
};

}  // namespace tw
