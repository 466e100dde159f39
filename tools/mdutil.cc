// tidewell-mdutil: stands in for the indexing tool. It hands a mounted volume to the desktop's file
// indexer as the application's indexing policy decides:
//
//   tidewell-mdutil [-v] -i on|off PATH
//
// "on" includes PATH in what the indexer crawls, "off" excludes it. Linux indexers do not look at
// mounts outside the folders they are configured with, so each is told through its own configuration,
// where its own settings tools would put the same choice:
//   - localsearch (tracker 3): the GSettings schema org.freedesktop.Tracker3.Miner.Files, keys
//     "index-recursive-directories" and "ignored-directories" (absolute paths are taken as folders
//     there). GSettings writes through the desktop's backend (dconf), and the miner follows changes.
//   - baloo (KDE): $XDG_CONFIG_HOME/baloofilerc, group [General], keys "folders[$e]" and
//     "exclude folders[$e]" (KDE path lists); the running indexer is asked to read it again.
// An indexer counts as installed when GSettings knows its schema (which ships with localsearch), or
// when one of baloo's programs is on the PATH. Other entries of both lists, and the rest of both
// configurations, are kept as they are.
//
// Exit status: 0 when every installed indexer has the choice, 1 when one could not be told, 2 for a
// wrong command line, 3 when no indexer is installed (said on standard error; the application logs it
// once per run).
#include <gio/gio.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fd.h"
#include "platform/keyfile.h"
#include "platform/places.h"

namespace {

constexpr char kTrackerSchema[] = "org.freedesktop.Tracker3.Miner.Files";
constexpr char kTrackerIndexed[] = "index-recursive-directories";
constexpr char kTrackerSingle[] = "index-single-directories";
constexpr char kTrackerIgnored[] = "ignored-directories";

constexpr char kBalooGroup[] = "General";
constexpr char kBalooFolders[] = "folders";
constexpr char kBalooExcluded[] = "exclude folders";
constexpr char kExpand[] = "[$e]";

bool verbose = false;

struct GObjectUnref {
    void operator()(gpointer p) const { g_object_unref(p); }
};
struct SchemaUnref {
    void operator()(GSettingsSchema* s) const { g_settings_schema_unref(s); }
};
struct StrvFree {
    void operator()(gchar** v) const { g_strfreev(v); }
};
struct ErrorFree {
    void operator()(GError* e) const { g_error_free(e); }
};
struct VariantUnref {
    void operator()(GVariant* v) const { g_variant_unref(v); }
};

void say(const std::string& text) {
    if (verbose) printf("tidewell-mdutil: %s\n", text.c_str());
}

void complain(const std::string& text) {
    fprintf(stderr, "tidewell-mdutil: %s\n", text.c_str());
}

// The path without trailing slashes, with a leading "~" or "$HOME" as the home folder: the forms the
// same folder takes in the indexers' lists.
std::string normalised(std::string path) {
    const std::string home = tw::platform::homeFolder();
    if (path == "~" || path.rfind("~/", 0) == 0)
        path = home + path.substr(1);
    else if (path == "$HOME" || path.rfind("$HOME/", 0) == 0)
        path = home + path.substr(5);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// Makes `path` a member of `list` (`present`) or not; `decode` gives the folder an item names, and
// `encoded` is the item added for `path`. Other items, and the item already naming `path`, are kept
// as written; duplicates of it go. True when the list changed.
bool setMembership(std::vector<std::string>& list, const std::string& path, bool present,
                   const std::function<std::string(const std::string&)>& decode, const std::string& encoded) {
    std::vector<std::string> out;
    bool found = false, changed = false;
    for (const auto& item : list) {
        if (normalised(decode(item)) != path) {
            out.push_back(item);
        } else if (present && !found) {
            out.push_back(item);
            found = true;
        } else {
            changed = true;
        }
    }
    if (present && !found) {
        out.push_back(encoded);
        changed = true;
    }
    list = std::move(out);
    return changed;
}

// ---------------------------------------------------------------- localsearch / tracker 3

bool trackerHasKey(const char* key) {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();  // not owned
    if (!source) return false;
    std::unique_ptr<GSettingsSchema, SchemaUnref> schema(
        g_settings_schema_source_lookup(source, kTrackerSchema, TRUE));
    return schema && g_settings_schema_has_key(schema.get(), key);
}

bool trackerInstalled() {
    return trackerHasKey(kTrackerIndexed) && trackerHasKey(kTrackerIgnored);
}

std::vector<std::string> strings(GSettings* settings, const char* key) {
    std::unique_ptr<gchar*, StrvFree> v(g_settings_get_strv(settings, key));
    std::vector<std::string> out;
    for (gchar** s = v.get(); s && *s; ++s) out.emplace_back(*s);
    return out;
}

bool setStrings(GSettings* settings, const char* key, const std::vector<std::string>& values) {
    if (!g_settings_is_writable(settings, key)) {
        complain(std::string("localsearch's setting ") + key + " is locked by the administrator");
        return false;
    }
    std::vector<const gchar*> v;
    for (const auto& s : values) v.push_back(s.c_str());
    v.push_back(nullptr);
    return g_settings_set_strv(settings, key, v.data());
}

bool tellTracker(const std::string& path, bool on) {
    std::unique_ptr<GSettings, GObjectUnref> settings(g_settings_new(kTrackerSchema));
    auto same = [](const std::string& s) { return s; };
    bool ok = true;
    auto indexed = strings(settings.get(), kTrackerIndexed);
    auto ignored = strings(settings.get(), kTrackerIgnored);
    if (setMembership(indexed, path, on, same, path))
        ok = setStrings(settings.get(), kTrackerIndexed, indexed) && ok;
    if (setMembership(ignored, path, !on, same, path))
        ok = setStrings(settings.get(), kTrackerIgnored, ignored) && ok;
    if (!on && trackerHasKey(kTrackerSingle)) {
        auto single = strings(settings.get(), kTrackerSingle);
        if (setMembership(single, path, false, same, path))
            ok = setStrings(settings.get(), kTrackerSingle, single) && ok;
    }
    g_settings_sync();
    if (ok) say(path + ": localsearch (tracker 3) " + (on ? "indexes it" : "leaves it out"));
    return ok;
}

// ---------------------------------------------------------------- baloo

bool onPath(const std::string& program) {
    const char* path = getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0) return true;
    return false;
}

bool balooInstalled() {
    for (const char* program : {"balooctl6", "balooctl", "baloo_file6", "baloo_file"})
        if (onPath(program)) return true;
    return false;
}

std::string balooConfigPath() {
    return tw::platform::configHome() + "/baloofilerc";
}

// KDE writes a list entry with "," between its items; a comma inside an item is escaped ("\,") and
// so is a backslash ("\\"), and the file escapes every backslash once more on top ("\\," in the file
// is a comma of the item). Path entries ("[$e]") also write "$" as "$$" and may start with "$HOME".
// The characters of a value after the file's own escapes, each with where it starts in the file.
struct Unescaped {
    char c;
    size_t at;
};
std::vector<Unescaped> fileUnescaped(const std::string& raw) {
    std::vector<Unescaped> out;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\' || i + 1 == raw.size()) {
            out.push_back({raw[i], i});
            continue;
        }
        char e = raw[i + 1];
        switch (e) {
            case '\\':
                out.push_back({'\\', i});
                break;
            case 's':
                out.push_back({' ', i});
                break;
            case 't':
                out.push_back({'\t', i});
                break;
            case 'n':
                out.push_back({'\n', i});
                break;
            case 'r':
                out.push_back({'\r', i});
                break;
            default:  // "\," and the like: the escape is the list's, kept for it
                out.push_back({'\\', i});
                out.push_back({e, i + 1});
                break;
        }
        ++i;
    }
    return out;
}

// The raw items of a list value, each as the file has it, so items this tool does not touch are
// written back exactly.
std::vector<std::string> splitList(const std::string& raw) {
    std::vector<std::string> items;
    auto chars = fileUnescaped(raw);
    size_t start = 0;
    for (size_t i = 0; i < chars.size(); ++i) {
        if (chars[i].c == '\\') {
            ++i;  // the next character is part of the item
        } else if (chars[i].c == ',') {
            items.push_back(raw.substr(start, chars[i].at - start));
            start = chars[i].at + 1;
        }
    }
    if (start < raw.size() || !items.empty()) items.push_back(raw.substr(start));
    return items;
}

// The folder a raw item of a path list names ("$HOME" is left for `normalised`).
std::string decodePath(const std::string& raw) {
    auto chars = fileUnescaped(raw);
    std::string path;
    for (size_t i = 0; i < chars.size(); ++i) {
        if (chars[i].c == '\\' && i + 1 < chars.size()) {
            path += chars[++i].c;
        } else if (chars[i].c == '$' && i + 1 < chars.size() && chars[i + 1].c == '$') {
            path += '$';
            ++i;
        } else {
            path += chars[i].c;
        }
    }
    return path;
}

// A folder as a raw item of a path list, with the trailing "/" KDE's settings write.
std::string encodePath(const std::string& folder) {
    std::string out;
    for (char c : folder + "/") {
        if (c == '\\')
            out += "\\\\\\\\";
        else if (c == ',')
            out += "\\\\,";
        else if (c == '$')
            out += "$$";
        else if (c == ' ' && out.empty())
            out += "\\s";
        else
            out += c;
    }
    return out;
}

std::string joinList(const std::vector<std::string>& items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out;
}

// The list under `key`, whether written as a path entry ("key[$e]") or a plain one, or `fallback`.
std::vector<std::string> balooList(const std::string& config, const std::string& key,
                                   const std::vector<std::string>& fallback) {
    auto value = tw::platform::keyFileValue(config, kBalooGroup, key + kExpand);
    if (!value) value = tw::platform::keyFileValue(config, kBalooGroup, key);
    return value ? splitList(*value) : fallback;
}

std::string withBalooList(std::string config, const std::string& key, const std::vector<std::string>& items) {
    // One spelling only: KDE would read whichever comes last of the two.
    config = tw::platform::removeKeyFileValue(config, kBalooGroup, key);
    return tw::platform::setKeyFileValue(config, kBalooGroup, key + kExpand, joinList(items));
}

// Asks a running baloo to read its configuration again; one that is not running reads it when it
// starts.
void reloadBaloo() {
    const char* address = getenv("DBUS_SESSION_BUS_ADDRESS");
    std::string runtimeBus = tw::platform::runtimeFolder() + "/bus";
    if ((!address || !*address) && ::access(runtimeBus.c_str(), F_OK) != 0) return;  // no bus to ask on
    GError* raw = nullptr;
    std::unique_ptr<GDBusConnection, GObjectUnref> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
    std::unique_ptr<GError, ErrorFree> error(raw);
    if (!bus) return;
    raw = nullptr;
    std::unique_ptr<GVariant, VariantUnref> reply(
        g_dbus_connection_call_sync(bus.get(), "org.kde.baloo", "/", "org.kde.baloo.main", "updateConfig",
                                    nullptr, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 2000, nullptr, &raw));
    error.reset(raw);
}

bool tellBaloo(const std::string& path, bool on) {
    const std::string file = balooConfigPath();
    std::string config;
    {
        std::ifstream in(file, std::ios::binary);
        if (in) {
            std::ostringstream s;
            s << in.rdbuf();
            config = s.str();
        } else if (errno != ENOENT) {
            complain("cannot read " + file + ": " + strerror(errno));
            return false;
        }
    }
    // Without the key, baloo indexes the home folder: kept, or the volume would replace it.
    auto folders = balooList(config, kBalooFolders, {"$HOME/"});
    auto excluded = balooList(config, kBalooExcluded, {});
    bool changedFolders = setMembership(folders, path, on, decodePath, encodePath(path));
    bool changedExcluded = setMembership(excluded, path, !on, decodePath, encodePath(path));
    if (changedFolders) config = withBalooList(config, kBalooFolders, folders);
    if (changedExcluded) config = withBalooList(config, kBalooExcluded, excluded);
    if (changedFolders || changedExcluded) {
        struct stat st {};
        unsigned mode = ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0600;
        tw::platform::makeFolders(tw::platform::configHome());
        if (!tw::platform::writeFileAtomically(file, config, mode)) {
            complain("cannot write " + file + ": " + strerror(errno));
            return false;
        }
        reloadBaloo();
    }
    say(path + ": baloo " + (on ? "indexes it" : "leaves it out"));
    return true;
}

int usage() {
    fprintf(stderr, "usage: tidewell-mdutil [-v] -i on|off PATH\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<bool> on;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-v") {
            verbose = true;
        } else if (a == "-i" && i + 1 < argc) {
            std::string mode = argv[++i];
            if (mode != "on" && mode != "off") return usage();
            on = mode == "on";
        } else if (!a.empty() && a[0] != '-' && path.empty()) {
            path = a;
        } else {
            return usage();
        }
    }
    if (!on || path.empty() || path[0] != '/') return usage();
    for (unsigned char c : path)
        if (c < 0x20 || c == 0x7f) {
            complain("refusing a path with control characters");
            return 2;
        }
    path = normalised(path);

    bool tracker = trackerInstalled(), baloo = balooInstalled();
    if (!tracker && !baloo) {
        complain("no desktop indexer is installed (localsearch/tracker 3 or baloo); " + path +
                 " is not handed to one");
        return 3;
    }
    bool ok = true;
    if (tracker) ok = tellTracker(path, *on) && ok;
    if (baloo) ok = tellBaloo(path, *on) && ok;
    return ok ? 0 : 1;
}
