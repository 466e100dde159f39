#include "platform/reachability.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <sys/socket.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

namespace tw::platform {
namespace {

std::mutex& overrideMutex() {
    static std::mutex m;
    return m;
}
std::shared_ptr<const std::function<bool()>>& overrideSlot() {
    static std::shared_ptr<const std::function<bool()>> slot;
    return slot;
}

std::string readWhole(const char* path) {
    std::ifstream in(path);
    if (!in) return "";
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream s(line);
    std::string f;
    while (s >> f) out.push_back(f);
    return out;
}

unsigned long hexValue(const std::string& text) {
    return std::strtoul(text.c_str(), nullptr, 16);
}

bool interfaceUpWithAddress() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> guard(list, ::freeifaddrs);
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr) continue;
        int family = a->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        if (!(a->ifa_flags & IFF_UP) || (a->ifa_flags & IFF_LOOPBACK)) continue;
        return true;
    }
    return false;
}

}  // namespace

bool ipv4TableHasDefaultRoute(const std::string& table) {
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...; the first line is the header.
    std::istringstream in(table);
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (header) {
            header = false;
            continue;
        }
        auto f = fields(line);
        if (f.size() < 8) continue;
        if (hexValue(f[1]) != 0 || hexValue(f[7]) != 0) continue;
        if (hexValue(f[3]) & RTF_UP) return true;
    }
    return false;
}

bool ipv6TableHasDefaultRoute(const std::string& table) {
    // dest dest_len src src_len next_hop metric refcnt use flags device; no header.
    std::istringstream in(table);
    std::string line;
    while (std::getline(in, line)) {
        auto f = fields(line);
        if (f.size() < 10) continue;
        if (f[0] != std::string(32, '0') || hexValue(f[1]) != 0) continue;
        unsigned long flags = hexValue(f[8]);
        // The kernel keeps an "unreachable" default on the loopback device when no real one exists.
        if (!(flags & RTF_UP) || (flags & RTF_REJECT) || f[9] == "lo") continue;
        return true;
    }
    return false;
}

bool systemNetworkReachable() {
    if (ipv4TableHasDefaultRoute(readWhole("/proc/net/route"))) return true;
    if (ipv6TableHasDefaultRoute(readWhole("/proc/net/ipv6_route"))) return true;
    return interfaceUpWithAddress();
}

bool networkReachable() {
    std::shared_ptr<const std::function<bool()>> answer;
    {
        std::lock_guard lock(overrideMutex());
        answer = overrideSlot();
    }
    return answer ? (*answer)() : systemNetworkReachable();
}

void setReachabilityOverride(std::function<bool()> answer) {
    std::shared_ptr<const std::function<bool()>> next;
    if (answer) next = std::make_shared<const std::function<bool()>>(std::move(answer));
    std::lock_guard lock(overrideMutex());
    overrideSlot() = std::move(next);
}

}  // namespace tw::platform
