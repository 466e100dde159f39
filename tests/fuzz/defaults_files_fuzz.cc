// Arbitrary bytes as the user's and the administrator's settings files and as the file manager's
// watch-list file. Reading them, and the whole configuration read at start-up, must never crash;
// an administrator value must win; and writing a value must keep everything the user had: the other
// values of a readable file, or the exact bytes of an unreadable one in "<file>.corrupt".
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "Pinewick/config/Logger.h"
#include "Pinewick/config/ServerConfigurationDetails.h"
#include "platform/defaults.h"

using namespace tw;
namespace fs = std::filesystem;

namespace {

void fail(const char* what, const std::string& text) {
    fprintf(stderr, "invariant broken: %s\nfile: %s\n", what, text.c_str());
    abort();
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

void put(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

const fs::path& home() {
    static fs::path dir = [] {
        char t[] = "/tmp/defaults-fuzz.XXXXXX";
        if (!mkdtemp(t)) abort();
        fs::path d = t;
        fs::create_directories(d / "config" / "meridot");
        fs::create_directories(d / "admin" / "meridot");
        setenv("HOME", t, 1);
        setenv("XDG_CONFIG_HOME", (d / "config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (d / "admin").c_str(), 1);
        setenv("XDG_DATA_HOME", (d / "data").c_str(), 1);
        setenv("XDG_STATE_HOME", (d / "state").c_str(), 1);
        return d;
    }();
    return dir;
}

void clearCorrupt(const fs::path& folder) {
    for (auto& e : fs::directory_iterator(folder))
        if (e.path().string().find(".corrupt") != std::string::npos) fs::remove(e.path());
}

// Writes `key` into a domain whose user file holds `before`, and checks that nothing else was lost.
void checkWrite(platform::Defaults& d, const std::string& before, const std::string& key,
                const nlohmann::json& value) {
    const fs::path file = d.userFile();
    auto parsed = nlohmann::ordered_json::parse(before, nullptr, false);
    if (!d.set(key, value)) fail("a write was refused", before);
    auto after = nlohmann::json::parse(slurp(file), nullptr, false);
    if (!after.is_object()) fail("the written file is not a JSON object", before);
    if (after[key] != value) fail("the written value does not read back", before);
    bool aside = false;
    for (auto& e : fs::directory_iterator(file.parent_path()))
        if (e.path().filename().string().rfind(file.filename().string() + ".corrupt", 0) == 0 &&
            slurp(e.path()) == before)
            aside = true;
    if (parsed.is_object()) {
        for (auto it = parsed.begin(); it != parsed.end(); ++it) {
            if (it.key() == key) continue;
            if (!after.contains(it.key()) || after[it.key()] != nlohmann::json(it.value())) {
                if (!aside) fail("a value of the user's was lost by a write", before);
            }
        }
    } else if (before.find_first_not_of(" \t\r\n") != std::string::npos && !aside) {
        // (A file of white space alone holds nothing and counts as empty.)
        fail("an unreadable settings file was replaced without keeping it aside", before);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        Logger::sharedInstance().setLogLevel(Logger::logLevels::off);
        return true;
    }();
    (void)quiet;
    const fs::path& dir = home();
    // The input is three files, separated by zero bytes: the user's, the administrator's, the list.
    std::string parts[3];
    size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        while (at < size && data[at] != 0) parts[i].push_back(static_cast<char>(data[at++]));
        ++at;
    }
    const fs::path user = dir / "config" / "meridot" / "com.meridot.tidewell.json";
    const fs::path admin = dir / "admin" / "meridot" / "com.meridot.tidewell.json";
    const fs::path list = dir / "config" / "meridot" / "group.com.meridot.tidewell.FinderList.json";
    clearCorrupt(user.parent_path());
    put(user, parts[0]);
    put(admin, parts[1]);
    put(list, parts[2]);

    // The start-up read of every setting, from the standard domain.
    ServerConfigurationDetails::sharedInstance().readConfig();

    platform::Defaults d(user.string(), {admin.string()});
    auto adminDoc = nlohmann::json::parse(parts[1], nullptr, false);
    if (adminDoc.is_object()) {
        for (auto it = adminDoc.begin(); it != adminDoc.end(); ++it) {
            auto v = d.object(it.key());
            if (!v || *v != it.value()) fail("an administrator value does not win", parts[1]);
            (void)d.boolValue(it.key());
            (void)d.stringValue(it.key());
            (void)d.stringArray(it.key());
        }
    }
    auto userDoc = nlohmann::json::parse(parts[0], nullptr, false);
    if (userDoc.is_object())
        for (auto it = userDoc.begin(); it != userDoc.end(); ++it) {
            (void)d.orderedObject(it.key());
            (void)d.boolValue(it.key());
        }
    checkWrite(d, parts[0], "serverContact", true);

    // The watch list the volume manager publishes for the file manager.
    platform::Defaults watchList(list.string(), {});
    std::vector<std::string> folders{"/Volumes/Team", "/home/u/Tidewell \xc3\xa9"};
    checkWrite(watchList, parts[2], "FinderWatchList", nlohmann::json(folders));
    auto back = watchList.stringArray("FinderWatchList");
    if (!back) fail("the watch list does not read back", parts[2]);
    return 0;
}
