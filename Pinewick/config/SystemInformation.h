// What the server and the About pane are told about this installation: product version, device, operating
// system and legal notice. Every answer is read afresh from its source at each call and is never an
// error: a missing or unreadable source gives the fixed fallback text.
//
// Sources on Linux: the version constants compiled in from the build, the host name, the DMI product
// serial (/sys/class/dmi/id/product_serial, readable only by root on many machines) and /etc/os-release
// (NAME and VERSION_ID).
//
// Thread-safety: every operation may be called from any thread. `Sources` is for tests and is set
// before any other thread asks.
#pragma once

#include <optional>
#include <string>

namespace tw {

class SystemInformation {
  public:
    static std::string productVersion();
    static std::string computerSerialNumber();
    static std::string deviceIdentifier();
    static std::string copyright();
    static std::string softwarePlatform();
    static std::string osVersion();

    // Where the answers come from. Tests point these elsewhere; absent optionals mean "source missing".
    struct Sources {
        std::optional<std::string> shortVersion;
        std::optional<std::string> buildVersion;
        std::optional<std::string> copyrightText;
        std::string serialFile = "/sys/class/dmi/id/product_serial";
        std::string osReleaseFile = "/etc/os-release";
        bool useHostName = true;  // false: behave as a host without a name
    };
    static Sources builtInSources();
    static void setSources(const Sources& sources);
    static void resetSources();
};

}  // namespace tw
