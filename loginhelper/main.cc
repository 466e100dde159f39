// riseling: started by the desktop at login (XDG autostart), it starts the tidewell program installed
// beside it and exits. A second copy of tidewell is refused by tidewell itself (its single-instance
// lock), so starting it when it already runs is harmless.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/process.h"

int main() {
    std::string program = tw::platform::toolPath("tidewell");
    if (::access(program.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "riseling: cannot start %s: %s\n", program.c_str(), std::strerror(errno));
        return 1;
    }
    std::string error;
    if (!tw::platform::spawnDetached({program}, &error)) {
        std::fprintf(stderr, "riseling: cannot start %s: %s\n", program.c_str(), error.c_str());
        return 1;
    }
    return 0;
}
