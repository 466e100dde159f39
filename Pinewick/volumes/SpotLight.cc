#include "Pinewick/volumes/SpotLight.h"

#include <atomic>
#include <fstream>
#include <optional>
#include <sstream>

#include "Pinewick/config/Log.h"
#include "platform/plist.h"
#include "platform/process.h"

namespace tw {

namespace {
// The indexer's configuration is a few kilobytes; anything far larger is not one.
constexpr std::streamsize kMaxConfigurationSize = 4 << 20;

std::optional<std::string> readSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream out;
    char buffer[16384];
    std::streamsize total = 0;
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        total += in.gcount();
        if (total > kMaxConfigurationSize) return std::nullopt;
        out.write(buffer, in.gcount());
    }
    if (in.bad()) return std::nullopt;
    return out.str();
}
}  // namespace

bool SpotLight::isSpotlightActive(const std::string& path) {
    auto data = readSmallFile(path + kConfigurationFile);
    if (!data) return false;
    auto tree = platform::parsePlistTree(*data);
    if (!tree || !tree->is_object()) return false;
    auto stores = tree->find("Stores");
    if (stores == tree->end() || !stores->is_object()) return false;
    bool readWrite = false;
    for (const auto& store : *stores) {
        // One store of another kind makes the whole layout unknown.
        if (!store.is_object()) return false;
        auto level = store.find("PolicyLevel");
        if (level != store.end() && level->is_string() && level->get<std::string>() == kReadWriteLevel)
            readWrite = true;
    }
    return readWrite;
}

void SpotLight::changeSpotlight(const std::string& path, const std::string& mode) {
    log().logWarning("Changing spotlight policy. " + path + ":" + mode);
    auto result = platform::runProcess({platform::toolPath(kToolName), "-v", "-i", mode, path});
    if (!result.started) {
        log().logDebug("Could not run " + std::string(kToolName) + ": " + result.error);
    } else if (result.exitCode == kNoIndexerInstalled) {
        // The same for every volume of this run: said once.
        static std::atomic<bool> told{false};
        if (!told.exchange(true))
            log().logWarning(
                "No desktop indexer (localsearch/tracker 3 or baloo) is installed: volumes are not "
                "handed to one");
    } else if (!result.succeeded()) {
        log().logWarning(
            "The desktop indexer could not be told about " + path + " (" + kToolName +
            (result.timedOut ? " timed out" : " exit status " + std::to_string(result.exitCode)) +
            "); the next mount asks again");
    }
}

}  // namespace tw
