// What the server and the About pane are told about this installation: product version, device, operating
// system and legal notice. Every answer is read afresh from its source at each call and is never an
// error: a missing or unreadable source gives the fixed fallback text.
//
// Sources on Linux: the version constants compiled in from the build, the host name, the DMI product
// serial (/sys/class/dmi/id/product_serial, readable only by root on many machines) and /etc/os-release
// (NAME and VERSION_ID).
//
// Each answer has a form that reads from other `Sources` (the server layer's environment names the
// ones its logon form uses, so tests can stand in for them).
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <optional>
#include <string>

namespace tw {

class SystemInformation {
public:
    // Where the answers come from; absent optionals mean "source missing".
    struct Sources {
        std::optional<std::string> shortVersion;
        std::optional<std::string> buildVersion;
        std::optional<std::string> copyrightText;
        std::string serialFile = "/sys/class/dmi/id/product_serial";
        std::string osReleaseFile = "/etc/os-release";
        bool useHostName = true;  // false: behave as a host without a name
    };
    // This build's version and legal notice, this machine's files.
    static Sources builtInSources();

    static std::string productVersion(const Sources& sources = builtInSources());
    static std::string computerSerialNumber(const Sources& sources = builtInSources());
    static std::string deviceIdentifier(const Sources& sources = builtInSources());
    static std::string copyright(const Sources& sources = builtInSources());
    static std::string softwarePlatform(const Sources& sources = builtInSources());
    static std::string osVersion(const Sources& sources = builtInSources());
};

}  // namespace tw
