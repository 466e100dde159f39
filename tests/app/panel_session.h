// A desktop for the program tests of the tray: an X server of the test's own (Xvfb) with a real panel
// (xfce4-panel with its status tray, which hosts StatusNotifierItem icons and renders their menus) on
// the test's private session bus, and a client that sees the program's tray item as that panel does:
// through org.kde.StatusNotifierWatcher, org.kde.StatusNotifierItem and com.canonical.dbusmenu.
//
// The panel's settings are written into the test's own XDG_CONFIG_HOME before it starts, so it never
// asks its first-start question and never reads the machine's panel layout.
#pragma once

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_bus_peers.h"
#include "support/child_process.h"

namespace tw::test {

// The program `name` found on PATH, or "".
inline std::string programOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty()) continue;
        std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// One item of a com.canonical.dbusmenu layout, with the properties a host draws.
struct MenuEntry {
    int32_t id = 0;
    std::string label;
    std::string type;  // "separator", or "" for a standard item
    bool enabled = true;
    bool visible = true;
    int32_t toggleState = -1;  // 0 off, 1 on; -1 when the item cannot be checked
    std::vector<MenuEntry> children;

    // The first entry, depth first, whose label is `text` (or starts with it when `prefix`).
    const MenuEntry* find(const std::string& text, bool prefix = false) const {
        for (const auto& c : children) {
            if (prefix ? c.label.rfind(text, 0) == 0 : c.label == text) return &c;
            if (const MenuEntry* inner = c.find(text, prefix)) return inner;
        }
        return nullptr;
    }
    // Every visible label of this level, in order, with "-" for a separator: what the host shows.
    std::vector<std::string> shownLabels() const {
        std::vector<std::string> out;
        for (const auto& c : children)
            if (c.visible) out.push_back(c.type == "separator" ? "-" : c.label);
        return out;
    }
};

// A StatusNotifierItem seen from the host's side. Every call waits at most five seconds for its answer.
class TrayItem {
public:
    TrayItem() = default;
    TrayItem(sd_bus* bus, std::string service, std::string path)
        : bus_(bus), service_(std::move(service)), path_(std::move(path)) {}
    explicit operator bool() const { return bus_ != nullptr; }

    std::string stringProperty(const char* name) const {
        char* value = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        int r =
            sd_bus_get_property_string(bus_, service_.c_str(), path_.c_str(), kItem, name, &error, &value);
        sd_bus_error_free(&error);
        std::string out = r >= 0 && value ? value : "";
        std::free(value);
        return out;
    }
    // The title of the tooltip (where Tidewell says what state it is in).
    std::string toolTip() const {
        sd_bus_message* reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        std::string title;
        if (sd_bus_get_property(bus_, service_.c_str(), path_.c_str(), kItem, "ToolTip", &error, &reply,
                                "(sa(iiay)ss)") >= 0 &&
            sd_bus_message_enter_container(reply, 'r', "sa(iiay)ss") >= 0 &&
            sd_bus_message_skip(reply, "sa(iiay)") >= 0) {
            const char* t = nullptr;
            if (sd_bus_message_read(reply, "s", &t) >= 0 && t) title = t;
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        return title;
    }
    // The pixels of the icon as the item offers them (every size, in order); empty without any.
    std::string iconPixels() const {
        sd_bus_message* reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        std::string pixels;
        if (sd_bus_get_property(bus_, service_.c_str(), path_.c_str(), kItem, "IconPixmap", &error, &reply,
                                "a(iiay)") >= 0 &&
            sd_bus_message_enter_container(reply, 'a', "(iiay)") >= 0) {
            while (sd_bus_message_enter_container(reply, 'r', "iiay") > 0) {
                int32_t w = 0, h = 0;
                const void* data = nullptr;
                size_t size = 0;
                if (sd_bus_message_read(reply, "ii", &w, &h) < 0 ||
                    sd_bus_message_read_array(reply, 'y', &data, &size) < 0)
                    break;
                pixels += std::to_string(w) + "x" + std::to_string(h) + ":";
                pixels.append(static_cast<const char*>(data), size);
                sd_bus_message_exit_container(reply);
            }
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        return pixels;
    }
    std::string menuPath() const {
        sd_bus_message* reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        std::string path;
        const char* p = nullptr;
        if (sd_bus_get_property(bus_, service_.c_str(), path_.c_str(), kItem, "Menu", &error, &reply, "o") >=
                0 &&
            sd_bus_message_read(reply, "o", &p) >= 0 && p)
            path = p;
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        return path;
    }

    // What a host does before it shows the menu (or a sub-menu): AboutToShow, then the whole layout.
    // None when the item did not answer.
    std::optional<MenuEntry> openMenu(int32_t id = 0) {
        if (!call("AboutToShow", "i", id)) return std::nullopt;
        sd_bus_message* reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        std::optional<MenuEntry> root;
        sd_bus_message* m = nullptr;
        if (sd_bus_message_new_method_call(bus_, &m, service_.c_str(), menuPath().c_str(), kMenu,
                                           "GetLayout") >= 0 &&
            sd_bus_message_append(m, "ii", id, -1) >= 0 && sd_bus_message_append_strv(m, nullptr) >= 0 &&
            sd_bus_call(bus_, m, kCallTimeoutUsec, &error, &reply) >= 0) {
            uint32_t revision = 0;
            MenuEntry entry;
            if (sd_bus_message_read(reply, "u", &revision) >= 0 && readEntry(reply, entry)) root = entry;
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(m);
        sd_bus_message_unref(reply);
        return root;
    }
    // A click on the menu entry `id`, as the host sends it.
    bool click(int32_t id) {
        sd_bus_message* m = nullptr;
        sd_bus_message* reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        bool ok = sd_bus_message_new_method_call(bus_, &m, service_.c_str(), menuPath().c_str(), kMenu,
                                                 "Event") >= 0 &&
                  sd_bus_message_append(m, "is", id, "clicked") >= 0 &&
                  sd_bus_message_append(m, "v", "i", 0) >= 0 &&
                  sd_bus_message_append(m, "u", static_cast<uint32_t>(::time(nullptr))) >= 0 &&
                  sd_bus_call(bus_, m, kCallTimeoutUsec, &error, &reply) >= 0;
        sd_bus_error_free(&error);
        sd_bus_message_unref(m);
        sd_bus_message_unref(reply);
        return ok;
    }

private:
    static constexpr const char* kItem = "org.kde.StatusNotifierItem";
    static constexpr const char* kMenu = "com.canonical.dbusmenu";
    static constexpr uint64_t kCallTimeoutUsec = 5'000'000;

    bool call(const char* method, const char* types, int32_t id) {
        sd_bus_message* reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        int r = sd_bus_call_method(bus_, service_.c_str(), menuPath().c_str(), kMenu, method, &error, &reply,
                                   types, id);
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        return r >= 0;
    }

    // One "(ia{sv}av)" of the layout, with its children.
    static bool readEntry(sd_bus_message* m, MenuEntry& entry) {
        if (sd_bus_message_enter_container(m, 'r', "ia{sv}av") < 0) return false;
        if (sd_bus_message_read(m, "i", &entry.id) < 0) return false;
        if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return false;
        while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
            const char* key = nullptr;
            char kind = 0;
            const char* contents = nullptr;
            if (sd_bus_message_read(m, "s", &key) < 0 || sd_bus_message_peek_type(m, &kind, &contents) < 0 ||
                sd_bus_message_enter_container(m, 'v', contents) < 0)
                return false;
            std::string name = key, signature = contents;
            if (signature == "s") {
                const char* s = nullptr;
                sd_bus_message_read(m, "s", &s);
                if (name == "label") entry.label = s;
                if (name == "type") entry.type = s;
            } else if (signature == "b") {
                int b = 0;
                sd_bus_message_read(m, "b", &b);
                if (name == "enabled") entry.enabled = b;
                if (name == "visible") entry.visible = b;
            } else if (signature == "i") {
                int32_t i = 0;
                sd_bus_message_read(m, "i", &i);
                if (name == "toggle-state") entry.toggleState = i;
            } else {
                sd_bus_message_skip(m, contents);
            }
            sd_bus_message_exit_container(m);  // v
            sd_bus_message_exit_container(m);  // e
        }
        sd_bus_message_exit_container(m);  // a{sv}
        if (sd_bus_message_enter_container(m, 'a', "v") < 0) return false;
        while (sd_bus_message_enter_container(m, 'v', "(ia{sv}av)") > 0) {
            MenuEntry child;
            if (!readEntry(m, child)) return false;
            entry.children.push_back(std::move(child));
            sd_bus_message_exit_container(m);
        }
        sd_bus_message_exit_container(m);  // av
        return sd_bus_message_exit_container(m) >= 0;
    }

    sd_bus* bus_ = nullptr;
    std::string service_;
    std::string path_;
};

// Xvfb and xfce4-panel for one test. The environment of the test process gets DISPLAY (and what the
// panel's toolkit needs), so every program the test starts afterwards draws there.
class PanelSession {
public:
    // What is missing to run one, or "" when everything is installed.
    static std::string missing() {
        std::string out;
        for (const char* program : {"Xvfb", "xfce4-panel", "xdotool"})
            if (programOnPath(program).empty()) out += std::string(out.empty() ? "" : ", ") + program;
        return out;
    }

    ~PanelSession() { stop(); }

    // Starts both in `folder` (for the logs and the display number) and waits until the panel hosts
    // status items; "" on success, else what went wrong.
    std::string start(const std::filesystem::path& folder) {
        const std::filesystem::path displayFile = folder / "xvfb.display";
        int out = ::open(displayFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        int err = ::open((folder / "xvfb.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ChildOptions xo;
        xo.stdoutFd = out;
        xo.stderrFd = err;
        // -displayfd: Xvfb picks a free display itself and writes its number once it accepts clients.
        bool started = xvfb_.start(
            {programOnPath("Xvfb"), "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"},
            xo);
        ::close(out);
        ::close(err);
        if (!started) return "Xvfb could not be started";
        std::string number;
        for (int i = 0; i < 200 && number.empty(); ++i) {
            std::ifstream in(displayFile);
            std::getline(in, number);
            if (number.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (number.empty()) return "Xvfb did not open a display within 10 s";
        display_ = ":" + number;
        setenv("DISPLAY", display_.c_str(), 1);
        setenv("GDK_BACKEND", "x11", 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        // No accessibility bus is started behind the test's back.
        setenv("NO_AT_BRIDGE", "1", 1);
        // libxkbcommon-x11 hands strndup a keymap name that is not NUL-terminated, as strndup allows;
        // strict string checks would stop the sanitized application there before it draws anything.
        if (const char* asan = std::getenv("ASAN_OPTIONS"))
            setenv("ASAN_OPTIONS", (std::string(asan) + ":strict_string_checks=0").c_str(), 1);

        writePanelSettings();
        int log = ::open((folder / "panel.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ChildOptions po;
        po.stdoutFd = log;
        po.stderrFd = log;
        // No window manager runs here, which the panel would otherwise wait for.
        started = panel_.start({programOnPath("xfce4-panel"), "--disable-wm-check"}, po);
        ::close(log);
        if (!started) return "xfce4-panel could not be started";

        sd_bus* raw = nullptr;
        if (sd_bus_open_user(&raw) < 0) return "no session bus";
        bus_.reset(raw);
        for (int i = 0; i < 300; ++i) {
            int registered = 0;
            sd_bus_error error = SD_BUS_ERROR_NULL;
            if (sd_bus_get_property_trivial(bus_.get(), kWatcher, "/StatusNotifierWatcher", kWatcher,
                                            "IsStatusNotifierHostRegistered", &error, 'b',
                                            &registered) >= 0 &&
                registered) {
                sd_bus_error_free(&error);
                return "";
            }
            sd_bus_error_free(&error);
            if (panel_.wait(std::chrono::milliseconds(0))) return "xfce4-panel ended at once";
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return "the panel registered no status-item host within 30 s";
    }

    void stop() {
        if (panel_.running()) panel_.stop(std::chrono::seconds(10));
        if (xvfb_.running()) xvfb_.stop(std::chrono::seconds(10));
        bus_.reset();
    }

    const std::string& display() const { return display_; }

    // The items the panel hosts ("bus name/object path" each, as the watcher lists them).
    std::vector<std::string> items() {
        char** list = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        std::vector<std::string> out;
        if (sd_bus_get_property_strv(bus_.get(), kWatcher, "/StatusNotifierWatcher", kWatcher,
                                     "RegisteredStatusNotifierItems", &error, &list) >= 0 &&
            list) {
            for (char** s = list; *s; ++s) {
                out.emplace_back(*s);
                std::free(*s);
            }
            std::free(list);
        }
        sd_bus_error_free(&error);
        return out;
    }
    // The item registered as `entry` (one of `items()`).
    TrayItem item(const std::string& entry) {
        size_t slash = entry.find('/');
        if (slash == std::string::npos) return TrayItem(bus_.get(), entry, "/StatusNotifierItem");
        return TrayItem(bus_.get(), entry.substr(0, slash), entry.substr(slash));
    }

    // The visible top-level windows whose title is exactly `title`.
    static std::vector<std::string> windowsTitled(const std::string& title) {
        auto r = runToCompletion(
            {programOnPath("xdotool"), "search", "--onlyvisible", "--name", "^" + title + "$"},
            std::chrono::seconds(10));
        std::vector<std::string> ids;
        std::stringstream lines(r.out);
        std::string line;
        while (std::getline(lines, line))
            if (!line.empty()) ids.push_back(line);
        return ids;
    }
    // Keys typed into the window `id` as a person would: the window takes the focus, then the keys.
    static bool type(const std::string& id, const std::vector<std::string>& keys) {
        if (runToCompletion({programOnPath("xdotool"), "windowfocus", "--sync", id}, std::chrono::seconds(10))
                .exitCode != 0)
            return false;
        std::vector<std::string> argv{programOnPath("xdotool"), "key", "--clearmodifiers"};
        argv.insert(argv.end(), keys.begin(), keys.end());
        return runToCompletion(argv, std::chrono::seconds(10)).exitCode == 0;
    }

private:
    static constexpr const char* kWatcher = "org.kde.StatusNotifierWatcher";

    // One panel along the top: a spacer, the status tray and a clock, as a desktop shows them.
    static void writePanelSettings() {
        const char* config = std::getenv("XDG_CONFIG_HOME");
        std::filesystem::path folder =
            std::filesystem::path(config ? config : ".") / "xfce4" / "xfconf" / "xfce-perchannel-xml";
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "xfce4-panel.xml") << R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="30"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
        <value type="int" value="2"/>
        <value type="int" value="3"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/>
      <property name="style" type="uint" value="0"/>
    </property>
    <property name="plugin-2" type="string" value="systray"/>
    <property name="plugin-3" type="string" value="clock"/>
  </property>
</channel>
)";
    }

    ChildProcess xvfb_;
    ChildProcess panel_;
    BusPtr bus_;
    std::string display_;
};

}  // namespace tw::test
