#include "platform/places.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace tw::platform {
namespace {
std::string envOr(const char* name, const std::string& fallback) {
    const char* v = getenv(name);
    return (v && *v) ? std::string(v) : fallback;
}
}  // namespace

std::string homeFolder() {
    const char* h = getenv("HOME");
    if (h && *h) return h;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::string configHome() {
    return envOr("XDG_CONFIG_HOME", homeFolder() + "/.config");
}
std::string dataHome() {
    return envOr("XDG_DATA_HOME", homeFolder() + "/.local/share");
}
std::string stateHome() {
    return envOr("XDG_STATE_HOME", homeFolder() + "/.local/state");
}

std::string runtimeFolder() {
    const char* r = getenv("XDG_RUNTIME_DIR");
    if (r && *r) return r;
    std::string fallback = "/tmp/tidewell-" + std::to_string(getuid());
    mkdir(fallback.c_str(), 0700);
    return fallback;
}

std::string volumesRoot() {
    std::string root = envOr("TIDEWELL_VOLUMES_ROOT", "/Volumes");
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

std::string expandTilde(const std::string& path) {
    if (path == "~") return homeFolder();
    if (path.rfind("~/", 0) == 0) return homeFolder() + path.substr(1);
    return path;
}

std::string abbreviateTilde(const std::string& path) {
    std::string home = homeFolder();
    if (home.size() > 1 && home.back() == '/') home.pop_back();
    if (path == home) return "~";
    if (path.size() > home.size() && path.compare(0, home.size(), home) == 0 && path[home.size()] == '/')
        return std::string("~").append(path, home.size(), std::string::npos);
    return path;
}

bool makeFolders(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}

}  // namespace tw::platform
