#include "Pinewick/volumes/VolumeIcon.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "Pinewick/config/Log.h"
#include "platform/fd.h"
#include "platform/files.h"
#include "platform/keyfile.h"
#include "platform/places.h"
#include "platform/process.h"

namespace tw {
namespace {

using namespace std::chrono_literals;

// An icon is a few kilobytes and a folder's desktop entry a few lines; anything far larger is not one
// of ours and is left alone.
constexpr std::streamsize kMaxIconSize = 1 << 20;
constexpr std::streamsize kMaxDirectoryFileSize = 64 << 10;

// The file's content; none when it is missing, unreadable or larger than `limit`.
std::optional<std::string> readSmall(const std::string& path, std::streamsize limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string data(static_cast<size_t>(limit) + 1, '\0');
    in.read(data.data(), limit + 1);
    if (in.bad() || in.gcount() > limit) return std::nullopt;
    data.resize(static_cast<size_t>(in.gcount()));
    return data;
}

// Writes `content` to `path` unless it already holds exactly that.
bool writeIfChanged(const std::string& path, const std::string& content) {
    if (readSmall(path, static_cast<std::streamsize>(content.size())) == content) return true;
    if (platform::writeFileAtomically(path, content)) return true;
    log().logWarning("Could not write " + path + ": " + std::strerror(errno));
    return false;
}

// "file://" and the path, with every byte a URI may not carry as it is percent-encoded.
std::string fileUri(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string uri = "file://";
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 15];
        }
    }
    return uri;
}

// Whether gvfs's metadata daemon is installed: GIO can set "metadata::" attributes only through it.
bool gvfsMetadataInstalled() {
    std::vector<std::string> folders{platform::dataHome()};
    const char* dirs = getenv("XDG_DATA_DIRS");
    std::stringstream list(dirs && *dirs ? dirs : "/usr/local/share:/usr/share");
    for (std::string folder; std::getline(list, folder, ':');)
        if (!folder.empty()) folders.push_back(folder);
    for (const auto& folder : folders)
        if (platform::itemExists(folder + "/" + VolumeIcon::kGvfsMetadataService)) return true;
    return false;
}

// GNOME's custom icon for the folder. Said once when it cannot be had: every mount would say the same.
void setGnomeCustomIcon(const std::string& root, const std::string& icon) {
    static std::atomic<bool> toldAbsent{false}, toldFailed{false};
    if (!gvfsMetadataInstalled()) {
        if (!toldAbsent.exchange(true))
            log().logDebug(
                "GNOME's custom folder icon is not set: it lives in gvfs's metadata store, and gvfs's "
                "metadata service is not installed");
        return;
    }
    auto r = platform::runProcess(
        {"gio", "set", "-t", "string", root, "metadata::custom-icon", fileUri(icon)}, 10s);
    if (!r.succeeded() && !toldFailed.exchange(true)) {
        std::string why = !r.started   ? r.error
                          : r.timedOut ? std::string("timed out")
                                       : "exit status " + std::to_string(r.exitCode);
        log().logWarning("Could not give " + root + " GNOME's custom icon (gio set: " + why + ")");
    }
}

}  // namespace

std::string VolumeIcon::shippedIcon() {
    return platform::executableFolder() + kShippedIcon;
}

bool VolumeIcon::brand(const std::string& root) {
    auto icon = readSmall(shippedIcon(), kMaxIconSize);
    if (!icon || icon->empty()) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true))
            log().logWarning("No volume icon installed at " + shippedIcon() +
                             "; volumes show the default one");
        return false;
    }
    const std::string copy = root + "/" + kIconFile;
    if (!writeIfChanged(copy, *icon)) return false;

    // KDE: the folder's desktop entry, relative to the folder so it holds wherever the volume is mounted.
    const std::string entryPath = root + "/" + kDirectoryFile;
    std::string entry;
    if (platform::itemExists(entryPath)) {
        auto current = readSmall(entryPath, kMaxDirectoryFileSize);
        if (!current) {
            log().logWarning("Leaving " + entryPath + " as it is: it is not a folder's desktop entry");
            return false;
        }
        entry = *current;
    }
    std::string wanted =
        platform::setKeyFileValue(entry, "Desktop Entry", "Icon", std::string("./") + kIconFile);
    if (!writeIfChanged(entryPath, wanted)) return false;

    setGnomeCustomIcon(root, copy);
    return true;
}

}  // namespace tw
