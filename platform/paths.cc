#include "platform/paths.h"

namespace tw::platform {

std::string parentFolder(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

std::string lastPathComponent(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isInsideFolder(std::string_view path, std::string_view folder) {
    if (path.size() <= folder.size() || !path.starts_with(folder)) return false;
    // A folder spelt with its slash ("/" above all) holds whatever follows it.
    return folder.ends_with('/') || path[folder.size()] == '/';
}

}  // namespace tw::platform
