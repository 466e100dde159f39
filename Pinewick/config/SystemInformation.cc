#include "Pinewick/config/SystemInformation.h"

#include <limits.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace tw {
namespace {

std::string trimmed(std::string s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// The value of KEY in an os-release file: KEY=value, KEY="value" or KEY='value'.
std::optional<std::string> osReleaseValue(const std::string& file, const std::string& key) {
    std::ifstream in(file);
    if (!in) return std::nullopt;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + "=", 0) != 0) continue;
        std::string v = trimmed(line.substr(key.size() + 1));
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
            std::string out;
            for (size_t i = 1; i + 1 < v.size(); ++i) {
                if (v[i] == '\\' && i + 2 < v.size()) ++i;
                out += v[i];
            }
            v = out;
        }
        if (v.empty()) return std::nullopt;
        return v;
    }
    return std::nullopt;
}

}  // namespace

SystemInformation::Sources SystemInformation::builtInSources() {
    Sources s;
#ifdef TIDEWELL_SHORT_VERSION
    s.shortVersion = std::string(TIDEWELL_SHORT_VERSION);
#endif
#ifdef TIDEWELL_BUILD_VERSION
    if (std::string(TIDEWELL_BUILD_VERSION).size() > 0) s.buildVersion = std::string(TIDEWELL_BUILD_VERSION);
#endif
#ifdef TIDEWELL_COPYRIGHT
    s.copyrightText = std::string(TIDEWELL_COPYRIGHT);
#endif
    return s;
}

std::string SystemInformation::productVersion(const Sources& s) {
    return s.shortVersion.value_or("1.0") + "." + s.buildVersion.value_or("Developer build");
}

std::string SystemInformation::computerSerialNumber(const Sources& s) {
    std::ifstream in(s.serialFile);
    if (in) {
        std::stringstream ss;
        ss << in.rdbuf();
        std::string serial = trimmed(ss.str());
        if (!serial.empty()) return serial;
    }
    return "Serial number not detected";
}

std::string SystemInformation::deviceIdentifier(const Sources& s) {
    std::string host = "Tidewell Mac";
    if (s.useHostName) {
        char buf[HOST_NAME_MAX + 1] = {0};
        if (::gethostname(buf, sizeof buf - 1) == 0 && buf[0] != '\0') host = buf;
    }
    return host + " - S/N " + computerSerialNumber(s);
}

std::string SystemInformation::copyright(const Sources& s) {
    return s.copyrightText.value_or("Copyright \xc2\xa9 Meridot. All rights reserved.");
}

std::string SystemInformation::softwarePlatform(const Sources& s) {
    return osReleaseValue(s.osReleaseFile, "NAME").value_or("Platform not detected");
}

std::string SystemInformation::osVersion(const Sources& s) {
    return osReleaseValue(s.osReleaseFile, "VERSION_ID").value_or("O/S version not detected");
}

}  // namespace tw
