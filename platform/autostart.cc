#include "platform/autostart.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/diagnostics.h"
#include "platform/fd.h"
#include "platform/paths.h"
#include "platform/places.h"

namespace tw::platform {

namespace {

// Characters that make an Exec argument need double quotes.
constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";

std::string readWhole(const std::string& path, bool* exists) {
    std::ifstream in(path, std::ios::binary);
    *exists = static_cast<bool>(in);
    if (!in) return "";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool hasControl(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

std::string lastComponent(const std::string& id) {
    auto dot = id.rfind('.');
    return dot == std::string::npos ? id : id.substr(dot + 1);
}

}  // namespace

std::string loginItemPath(const std::string& id) {
    return configHome() + "/autostart/" + id + ".desktop";
}

std::string desktopExecArgument(const std::string& path) {
    // First the Exec line's own rules: "%" starts a field code, so it is doubled; an argument with a
    // reserved character is quoted, and inside the quotes `"`, `` ` ``, `$` and `\` take a backslash.
    std::string arg;
    bool quote = path.find_first_of(kReserved) != std::string::npos;
    for (char c : path) {
        if (c == '%') {
            arg += "%%";
            continue;
        }
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) arg += '\\';
        arg += c;
    }
    if (quote) arg = "\"" + arg + "\"";
    // Then the value is a desktop-entry string, in which a backslash itself is escaped.
    std::string value;
    for (char c : arg) {
        if (c == '\\') value += '\\';
        value += c;
    }
    return value;
}

bool setLoginItemEnabled(const std::string& id, const std::string& execPath, bool enabled,
                         const std::string& displayName) {
    const std::string path = loginItemPath(id);
    if (!enabled) {
        if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
        reportDiagnostic(DiagnosticLevel::warning,
                         "Could not remove login item " + path + ": " + strerror(errno));
        return false;
    }
    if (execPath.empty() || execPath[0] != '/' || hasControl(execPath) || hasControl(displayName)) {
        reportDiagnostic(DiagnosticLevel::warning, "Login item " + id + " cannot run \"" + execPath + "\"");
        return false;
    }
    std::string name = displayName.empty() ? lastComponent(id) : displayName;
    std::string content =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=" +
        name +
        "\n"
        "Exec=" +
        desktopExecArgument(execPath) +
        "\n"
        "Terminal=false\n"
        "NoDisplay=true\n"
        "X-GNOME-Autostart-enabled=true\n";
    bool exists = false;
    if (readWhole(path, &exists) == content && exists) return true;
    std::string folder = parentFolder(path);
    if (!makeFolders(folder) || !writeFileAtomically(path, content, 0644)) {
        reportDiagnostic(DiagnosticLevel::warning,
                         "Could not write login item " + path + ": " + strerror(errno));
        return false;
    }
    return true;
}

}  // namespace tw::platform
