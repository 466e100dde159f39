#include "platform/places.h"

#include <errno.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/paths.h"

namespace tw::platform {
namespace {
std::string envOr(const char* name, const std::string& fallback) {
    const char* v = getenv(name);
    return (v && *v) ? std::string(v) : fallback;
}
// The account's entry, looked up with the reentrant call: these are asked from many threads at
// once, and getpwuid's shared buffer would be overwritten under a reader.
struct Account {
    std::string name, home;
};
std::optional<Account> account() {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 4096);
    passwd entry{};
    passwd* found = nullptr;
    int rc;
    while ((rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (rc != 0 || !found) return std::nullopt;
    return Account{found->pw_name ? found->pw_name : "", found->pw_dir ? found->pw_dir : ""};
}
}  // namespace

std::string homeFolder() {
    const char* h = getenv("HOME");
    if (h && *h) return h;
    if (auto a = account(); a && !a->home.empty()) return a->home;
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

namespace {
constexpr const char* kSharedVolumes = "/Volumes";

// Looked up once: the volumes root is asked for on every server path, and the account's name does
// not change while the process runs.
const std::string& loginName() {
    static const std::string name = [] {
        if (auto a = account(); a && !a->name.empty()) return a->name;
        return std::to_string(getuid());
    }();
    return name;
}
}  // namespace

std::string volumesRoot() {
    std::string root = envOr("TIDEWELL_VOLUMES_ROOT", std::string(kSharedVolumes) + "/" + loginName());
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

bool prepareVolumesRoot(std::string* why) {
    const std::string root = volumesRoot();
    auto failed = [&](std::string text) {
        if (why) *why = std::move(text);
        return false;
    };
    struct stat st;
    if (::lstat(root.c_str(), &st) < 0) {
        if (errno != ENOENT) return failed(root + ": " + strerror(errno));
        const std::string parent = parentFolder(root);
        if (!parent.empty() && parent != "/" && !std::filesystem::is_directory(parent)) {
            if (parent == kSharedVolumes)
                return failed(std::string(kSharedVolumes) +
                              " is missing; the tidewell package makes it (mode 1777): reinstall the "
                              "package or, as root, mkdir -m 1777 " +
                              kSharedVolumes);
            if (!makeFolders(parent)) return failed("cannot make " + parent);
        }
        if (::mkdir(root.c_str(), 0700) < 0 && errno != EEXIST)
            return failed("cannot make " + root + ": " + strerror(errno));
        if (::lstat(root.c_str(), &st) < 0) return failed(root + ": " + strerror(errno));
    }
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode))
        return failed(root + " is not a folder; remove it so that Tidewell can make its volumes folder");
    if (st.st_uid != getuid() && st.st_uid != 0)
        return failed(root + " belongs to another user (uid " + std::to_string(st.st_uid) +
                      "); an administrator must remove it so that Tidewell can make it for you");
    return true;
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
    if (isInsideFolder(path, home)) return std::string("~").append(path, home.size(), std::string::npos);
    return path;
}

bool makeFolders(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}

}  // namespace tw::platform
