#include "Pinewick/volumes/PIDManager.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>

namespace tw {
namespace {
std::mutex g_mutex;
std::map<std::string, std::string>& pidList() {
    static auto* list = new std::map<std::string, std::string>();
    return *list;
}
}  // namespace

std::string PIDManager::pidName(const std::string& pid) {
    {
        std::lock_guard lock(g_mutex);
        auto it = pidList().find(pid);
        if (it != pidList().end()) return it->second;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long number = std::strtoul(pid.c_str(), &end, 16);
    if (pid.empty() || errno != 0 || end == nullptr || *end != '\0' || number == 0) return "";
    char buf[1024];
    std::string link = "/proc/" + std::to_string(number) + "/exe";
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return "";
    std::string path(buf, static_cast<size_t>(n));
    std::lock_guard lock(g_mutex);
    pidList()[pid] = path;
    return path;
}

}  // namespace tw
