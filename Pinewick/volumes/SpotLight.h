// Desktop indexing of mounted volumes: whether a volume's indexer configuration has a store indexed
// read-write, and asking the indexing tool (tidewell-mdutil) to switch indexing on. The tool hands
// the choice to the desktop's indexer (localsearch/tracker 3, baloo) in that indexer's own settings.
// Static operations only; no state but whether the absence of an indexer was logged.
//
// Thread-safety: safe from any thread; `changeSpotlight` blocks its caller until the tool exits (at
// most one minute).
#pragma once

#include <string>

namespace tw {

class SpotLight {
public:
    // The configuration file inside a volume, after the volume's path.
    static constexpr const char* kConfigurationFile = "/.Spotlight-V100/VolumeConfiguration.plist";
    static constexpr const char* kReadWriteLevel = "kMDConfigSearchLevelReadWrite";
    static constexpr const char* kToolName = "tidewell-mdutil";
    // The tool's exit status when no desktop indexer is installed.
    static constexpr int kNoIndexerInstalled = 3;

    // True when the volume's configuration (binary or XML property list) is a dictionary whose
    // "Stores" is a dictionary of dictionaries, one of which has "PolicyLevel" equal to
    // kMDConfigSearchLevelReadWrite. A missing, unreadable or differently shaped file gives false.
    static bool isSpotlightActive(const std::string& path);
    // Logs the request and runs `tidewell-mdutil -v -i MODE PATH` to completion. A failure is logged
    // (the next mount asks again); that no indexer is installed is logged once per run.
    static void changeSpotlight(const std::string& path, const std::string& mode);
};

}  // namespace tw
