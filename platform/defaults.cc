#include "platform/defaults.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "platform/diagnostics.h"
#include "platform/fd.h"
#include "platform/overmark.h"
#include "platform/paths.h"
#include "platform/places.h"

namespace tw::platform {

namespace {

constexpr const char* kStandardName = "com.meridot.tidewell";

std::string fileName(const char* domain) {
    return std::string("meridot/") + domain + ".json";
}

// The folders of $XDG_CONFIG_DIRS in order; relative entries are not allowed there and are skipped.
std::vector<std::string> configDirs() {
    const char* v = getenv("XDG_CONFIG_DIRS");
    std::string list = (v && *v) ? v : "/etc/xdg";
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        std::string dir = list.substr(start, end - start);
        while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        if (!dir.empty() && dir[0] == '/') out.push_back(dir);
        start = end + 1;
    }
    return out;
}

// What a file holds: absent, readable JSON object, or something else.
struct FileContent {
    bool exists = false;
    bool corrupt = false;  // exists but is not a JSON object (an empty file is not corrupt)
    std::string raw;
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
};

bool onlyWhitespace(const std::string& s) {
    return s.find_first_not_of(" \t\r\n") == std::string::npos;
}

FileContent readContent(const std::string& path) {
    FileContent c;
    std::ifstream in(path, std::ios::binary);
    if (!in) return c;
    std::ostringstream s;
    s << in.rdbuf();
    c.exists = true;
    c.raw = s.str();
    if (onlyWhitespace(c.raw)) return c;
    auto parsed = nlohmann::ordered_json::parse(c.raw, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        c.corrupt = true;
        return c;
    }
    c.object = std::move(parsed);
    return c;
}

std::string errnoText(int code) {
    return strerror(code);
}

}  // namespace

Defaults& Defaults::standard() {
    static Defaults* shared = [] {
        std::vector<std::string> admin;
        for (const auto& dir : configDirs()) admin.push_back(dir + "/" + fileName(kStandardName));
        return new Defaults(configHome() + "/" + fileName(kStandardName), std::move(admin));
    }();
    return *shared;
}

Defaults& Defaults::finderListSuite() {
    static Defaults* shared = new Defaults(configHome() + "/" + fileName(overmark::kFinderListSuite), {});
    return *shared;
}

Defaults::Defaults(std::string userFile, std::vector<std::string> adminFiles)
    : userFile_(std::move(userFile)), adminFiles_(std::move(adminFiles)) {}

nlohmann::ordered_json Defaults::readObject(const std::string& path) const {
    FileContent c = readContent(path);
    if (c.corrupt) {
        std::string tag = path + '\n' + std::to_string(std::hash<std::string>{}(c.raw));
        bool first;
        {
            std::lock_guard<std::mutex> lock(warnMutex_);
            first = warned_.insert(tag).second;
        }
        if (first)
            reportDiagnostic(DiagnosticLevel::warning,
                             "Ignoring settings file " + path + ": it is not a JSON object");
    }
    return std::move(c.object);
}

std::optional<nlohmann::ordered_json> Defaults::orderedAdminObject(const std::string& key) const {
    for (const auto& file : adminFiles_) {
        auto object = readObject(file);
        auto it = object.find(key);
        if (it != object.end()) return std::move(*it);
    }
    return std::nullopt;
}

std::optional<nlohmann::ordered_json> Defaults::orderedUserObject(const std::string& key) const {
    auto object = readObject(userFile_);
    auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    return std::move(*it);
}

std::optional<nlohmann::ordered_json> Defaults::orderedObject(const std::string& key) const {
    if (auto admin = orderedAdminObject(key)) return admin;
    return orderedUserObject(key);
}

std::optional<nlohmann::json> Defaults::object(const std::string& key) const {
    auto v = orderedObject(key);
    if (!v) return std::nullopt;
    return nlohmann::json(*v);
}

std::optional<nlohmann::json> Defaults::adminObject(const std::string& key) const {
    auto v = orderedAdminObject(key);
    if (!v) return std::nullopt;
    return nlohmann::json(*v);
}

std::optional<nlohmann::json> Defaults::userObject(const std::string& key) const {
    auto v = orderedUserObject(key);
    if (!v) return std::nullopt;
    return nlohmann::json(*v);
}

std::optional<bool> Defaults::boolValue(const std::string& key) const {
    auto v = orderedObject(key);
    if (!v) return std::nullopt;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_number_integer()) return v->get<int64_t>() != 0;  // also covers unsigned: any bit set
    if (v->is_number_float()) return v->get<double>() != 0.0;
    return std::nullopt;
}

std::optional<std::string> Defaults::stringValue(const std::string& key) const {
    auto v = orderedObject(key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

std::optional<std::vector<std::string>> Defaults::stringArray(const std::string& key) const {
    auto v = orderedObject(key);
    if (!v || !v->is_array()) return std::nullopt;
    std::vector<std::string> out;
    for (const auto& element : *v) {
        if (!element.is_string()) return std::nullopt;
        out.push_back(element.get<std::string>());
    }
    return out;
}

bool Defaults::set(const std::string& key, const nlohmann::json& value) {
    return update(key, nlohmann::ordered_json(value));
}

bool Defaults::remove(const std::string& key) {
    return update(key, std::nullopt);
}

bool Defaults::update(const std::string& key, const std::optional<nlohmann::ordered_json>& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    FileContent c = readContent(userFile_);
    if (!value && !c.corrupt && !c.object.contains(key)) return true;  // nothing to remove

    std::string folder = parentFolder(userFile_);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        // The domain's own folder holds settings only this user should read.
        makeFolders(parentFolder(folder));
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            reportDiagnostic(DiagnosticLevel::warning,
                             "Could not write settings file " + userFile_ + ": " + errnoText(errno));
            return false;
        }
    }

    if (c.corrupt && !keepAside(c.raw)) return false;

    nlohmann::ordered_json object = c.corrupt ? nlohmann::ordered_json::object() : std::move(c.object);
    if (value)
        object[key] = *value;
    else
        object.erase(key);

    std::string text;
    try {
        text = object.dump(4) + "\n";
    } catch (const nlohmann::json::exception& e) {
        // Texts that are not UTF-8 cannot be written as JSON; refusing keeps the file as it was.
        reportDiagnostic(DiagnosticLevel::warning,
                         "Could not write settings file " + userFile_ + ": " + e.what());
        return false;
    }
    if (!writeFileAtomically(userFile_, text, 0600)) {
        reportDiagnostic(DiagnosticLevel::warning,
                         "Could not write settings file " + userFile_ + ": " + errnoText(errno));
        return false;
    }
    return true;
}

bool Defaults::keepAside(const std::string& raw) const {
    // A new name each time, so an older kept copy is never replaced.
    for (int n = 0; n < 1000; ++n) {
        std::string aside = userFile_ + ".corrupt" + (n == 0 ? "" : "." + std::to_string(n));
        UniqueFd fd(::open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!fd) {
            if (errno == EEXIST) continue;
            reportDiagnostic(DiagnosticLevel::warning, "Could not keep unreadable settings file " +
                                                           userFile_ + " as " + aside + ": " +
                                                           errnoText(errno));
            return false;
        }
        bool ok = writeAll(fd.get(), raw) && ::fsync(fd.get()) == 0;
        ok = fd.close() && ok;
        if (!ok) {
            int code = errno;
            ::unlink(aside.c_str());
            reportDiagnostic(DiagnosticLevel::warning, "Could not keep unreadable settings file " +
                                                           userFile_ + " as " + aside + ": " +
                                                           errnoText(code));
            return false;
        }
        reportDiagnostic(DiagnosticLevel::warning, "Unreadable settings file " + userFile_ + " kept as " +
                                                       aside + " before writing it");
        return true;
    }
    reportDiagnostic(DiagnosticLevel::warning, "Could not keep unreadable settings file " + userFile_ +
                                                   ": too many kept copies already");
    return false;
}

}  // namespace tw::platform
