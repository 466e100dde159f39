// The Nautilus module as Nautilus sees it: loaded through nautilus_module_initialize and
// nautilus_module_list_types into a GTypeModule, asked about test objects that implement
// NautilusFileInfo, its menus built and activated, and its notifications carried by a private session
// bus to and from the platform's own notification center (the main application's side of the wire).
#include <gio/gio.h>
#include <glib-object.h>
#include <gmodule.h>
#include <gtest/gtest.h>
#include <sys/xattr.h>

extern "C" {
#include <nautilus-extension.h>
}

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "platform/notifications.h"
#include "support/private_bus.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// ---- A NautilusFileInfo of the test's own ------------------------------------------------------

struct TestFileInfo {
    GObject parent_instance;
    GFile* location;
    GPtrArray* emblems;  // of char*, what the extension added since the last invalidation
    int invalidations;
};
struct TestFileInfoClass {
    GObjectClass parent_class;
};

static void test_file_info_iface_init(NautilusFileInfoInterface* iface);
G_DEFINE_TYPE_WITH_CODE(TestFileInfo, test_file_info, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(NAUTILUS_TYPE_FILE_INFO, test_file_info_iface_init))

static void test_file_info_init(TestFileInfo* self) {
    self->emblems = g_ptr_array_new_with_free_func(g_free);
}
static void test_file_info_finalize(GObject* object) {
    auto* self = reinterpret_cast<TestFileInfo*>(object);
    g_clear_object(&self->location);
    g_ptr_array_unref(self->emblems);
    G_OBJECT_CLASS(test_file_info_parent_class)->finalize(object);
}
static void test_file_info_class_init(TestFileInfoClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = test_file_info_finalize;
}
static TestFileInfo* self(NautilusFileInfo* f) {
    return reinterpret_cast<TestFileInfo*>(f);
}
static void test_file_info_iface_init(NautilusFileInfoInterface* iface) {
    iface->get_location = [](NautilusFileInfo* f) -> GFile* {
        return G_FILE(g_object_ref(self(f)->location));
    };
    iface->get_uri = [](NautilusFileInfo* f) -> char* { return g_file_get_uri(self(f)->location); };
    iface->get_name = [](NautilusFileInfo* f) -> char* { return g_file_get_basename(self(f)->location); };
    iface->is_gone = [](NautilusFileInfo*) -> gboolean { return FALSE; };
    iface->add_emblem = [](NautilusFileInfo* f, const char* name) {
        g_ptr_array_add(self(f)->emblems, g_strdup(name));
    };
    // As in Nautilus: the extension's emblems go, and the providers are asked again.
    iface->invalidate_extension_info = [](NautilusFileInfo* f) {
        self(f)->invalidations++;
        g_ptr_array_set_size(self(f)->emblems, 0);
    };
}

static TestFileInfo* newFileInfo(const std::string& path) {
    auto* info = static_cast<TestFileInfo*>(g_object_new(test_file_info_get_type(), nullptr));
    info->location = g_file_new_for_path(path.c_str());
    return info;
}

static std::vector<std::string> emblemsOf(TestFileInfo* info) {
    std::vector<std::string> out;
    for (guint i = 0; i < info->emblems->len; ++i)
        out.emplace_back(static_cast<char*>(info->emblems->pdata[i]));
    return out;
}

// ---- A GTypeModule that loads the extension as Nautilus does ----------------------------------

struct TestModule {
    GTypeModule parent_instance;
};
struct TestModuleClass {
    GTypeModuleClass parent_class;
};
G_DEFINE_TYPE(TestModule, test_module, G_TYPE_TYPE_MODULE)

namespace {
GModule* g_library = nullptr;
void (*g_list_types)(const GType**, int*) = nullptr;
}  // namespace

static gboolean test_module_load(GTypeModule* module) {
    g_library =
        g_module_open(TIDEWELL_NAUTILUS_MODULE, GModuleFlags(G_MODULE_BIND_LAZY | G_MODULE_BIND_LOCAL));
    if (!g_library) return FALSE;
    void (*initialize)(GTypeModule*) = nullptr;
    if (!g_module_symbol(g_library, "nautilus_module_initialize", reinterpret_cast<gpointer*>(&initialize)) ||
        !g_module_symbol(g_library, "nautilus_module_list_types", reinterpret_cast<gpointer*>(&g_list_types)))
        return FALSE;
    initialize(module);
    return TRUE;
}
static void test_module_unload(GTypeModule*) {}
static void test_module_init(TestModule*) {}
static void test_module_class_init(TestModuleClass* klass) {
    G_TYPE_MODULE_CLASS(klass)->load = test_module_load;
    G_TYPE_MODULE_CLASS(klass)->unload = test_module_unload;
}

extern "C" const char* __lsan_default_suppressions() {
    // GLib's type system and D-Bus worker keep their allocations for the life of the process.
    return "leak:libglib-2.0.so\nleak:libgio-2.0.so\nleak:libgobject-2.0.so\n";
}
// The leak checker's walk over thread-local storage crashes (its tracer takes a SIGSEGV) once a module
// has been loaded with dlopen, as this test must; heap and stacks are still searched, so this can only
// add reports, never hide one.
extern "C" const char* __lsan_default_options() {
    return "use_tls=0";
}

namespace {

// Runs the main context (where the module answers) until `done` holds or `timeout` passes.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(2ms);
    }
    return true;
}
void pumpFor(std::chrono::milliseconds span) {
    pumpUntil([] { return false; }, span);
}

const std::string kPlaceholder = "Status: Placeholder\nRevision: 7\nFileType: NSFileTypeRegular\n";
const std::string kRegular = "Status: Regular\nRevision: 7\nFileType: NSFileTypeRegular\n";
const std::string kUpload = "Status: RequireUpload\nFileType: NSFileTypeRegular\n";
const std::string kError = "Status: ErrorRegular\nRevision: 7\nError Status: Conflict\n";
const std::string kDownload = "Status: RequireDownload\nRevision: 7\n";

// Everything the tests share: one bus, one mappoint, one loaded module and its provider, as in Nautilus.
struct World {
    bool ready = false;
    std::string why;
    fs::path docs, other, outside;
    std::map<std::string, TestFileInfo*> files;  // by name; kept for the life of the process
    GDBusConnection* bus = nullptr;
    GObject* provider = nullptr;

    TestFileInfo* file(const std::string& name) { return files.at(name); }
    std::string path(const std::string& name) {
        GCharPtr p(g_file_get_path(file(name)->location));
        return p.get();
    }
    struct GCharPtr : std::unique_ptr<char, decltype(&g_free)> {
        explicit GCharPtr(char* p) : std::unique_ptr<char, decltype(&g_free)>(p, &g_free) {}
    };

    void writeWatchList(const std::vector<std::string>& folders) {
        std::string json = "{\"FinderWatchList\": [";
        for (size_t i = 0; i < folders.size(); ++i) json += (i ? ", \"" : "\"") + folders[i] + "\"";
        json += "]}";
        const auto file =
            fs::path(getenv("XDG_CONFIG_HOME")) / "meridot/group.com.meridot.tidewell.FinderList.json";
        ASSERT_TRUE(tw::test::writeFile(file, json));
    }

    void setUp() {
        if (!tw::test::PrivateSessionBus::start()) {
            why = "no dbus-daemon for a private session bus";
            return;
        }
        const fs::path home = tw::test::testHome();
        docs = home / "Volumes/Docs";
        other = home / "Volumes/Other";
        outside = home / "Outside";
        struct Seed {
            const char* name;
            fs::path folder;
            std::string text;  // empty: no attribute
        };
        const std::vector<Seed> seeds = {
            {"placeholder.txt", docs, kPlaceholder}, {"regular.txt", docs, kRegular},
            {"upload.txt", docs, kUpload},           {"error.txt", docs, kError},
            {"download.txt", docs, kDownload},       {"plain.txt", docs, ""},
            {"outside.txt", outside, kRegular},      {"later.txt", other, kPlaceholder},
        };
        for (const auto& s : seeds) {
            const fs::path p = s.folder / s.name;
            if (!tw::test::writeFile(p, "content")) {
                why = "cannot write test files";
                return;
            }
            if (!s.text.empty() &&
                ::setxattr(p.c_str(), "user.com.meridot.tidewell", s.text.data(), s.text.size(), 0) != 0) {
                why = "this file system has no user extended attributes";
                return;
            }
            files[s.name] = newFileInfo(p.string());
        }
        writeWatchList({docs.string()});

        GError* error = nullptr;
        bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        if (!bus) {
            why = std::string("no session bus: ") + (error ? error->message : "?");
            return;
        }
        auto* module = G_TYPE_MODULE(g_object_new(test_module_get_type(), nullptr));
        if (!g_type_module_use(module)) {
            why = "the module did not load: " + std::string(g_module_error());
            return;
        }
        const GType* types = nullptr;
        int count = 0;
        g_list_types(&types, &count);
        if (count != 1) {
            why = "the module lists " + std::to_string(count) + " types";
            return;
        }
        provider = G_OBJECT(g_object_new(types[0], nullptr));
        if (!NAUTILUS_IS_INFO_PROVIDER(provider) || !NAUTILUS_IS_MENU_PROVIDER(provider)) {
            why = "the provider is not an info and menu provider";
            return;
        }
        settleBus();
        ready = true;
    }

    // Lets the module finish connecting and subscribing, then makes one round trip on the shared
    // connection, so its subscription has reached the bus before anything is posted.
    void settleBus() {
        pumpFor(200ms);
        GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                                      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (reply) g_variant_unref(reply);
    }
};

World& world() {
    static World* w = [] {
        auto* created = new World();
        created->setUp();
        return created;
    }();
    return *w;
}

#define REQUIRE_WORLD() \
    if (!world().ready) GTEST_SKIP() << world().why

struct Update {
    NautilusOperationResult returned = NAUTILUS_OPERATION_FAILED;
    NautilusOperationHandle* handle = nullptr;
    int completions = 0;
    NautilusOperationHandle* completedHandle = nullptr;
    int completedResult = -1;
    GClosure* closure = nullptr;
    ~Update() {
        if (closure) g_closure_unref(closure);
    }
};

// Asks `provider` (the world's unless given) about `info` the way Nautilus does; the closure records
// its completion.
void startUpdate(TestFileInfo* info, Update& u, GObject* provider = nullptr) {
    u.closure = g_closure_new_simple(sizeof(GClosure), &u);
    g_closure_ref(u.closure);
    g_closure_sink(u.closure);
    g_closure_set_marshal(
        u.closure, [](GClosure* closure, GValue*, guint n, const GValue* params, gpointer, gpointer) {
            auto* rec = static_cast<Update*>(closure->data);
            rec->completions++;
            if (n == 3) {
                rec->completedHandle = static_cast<NautilusOperationHandle*>(g_value_get_pointer(&params[1]));
                rec->completedResult = g_value_get_enum(&params[2]);
            }
        });
    u.returned = nautilus_info_provider_update_file_info(
        NAUTILUS_INFO_PROVIDER(provider ? provider : world().provider), NAUTILUS_FILE_INFO(info), u.closure,
        &u.handle);
}

// The emblems `info` shows once `provider` (the world's unless given) has answered.
std::vector<std::string> askEmblems(TestFileInfo* info, GObject* provider = nullptr) {
    char* base = g_file_get_basename(info->location);
    const std::string name = base ? base : "?";
    g_free(base);
    g_ptr_array_set_size(info->emblems, 0);
    Update u;
    startUpdate(info, u, provider);
    if (u.returned == NAUTILUS_OPERATION_IN_PROGRESS) {
        EXPECT_TRUE(pumpUntil([&] { return u.completions > 0; })) << name << ": never completed";
        EXPECT_EQ(u.completions, 1) << name;
        EXPECT_EQ(u.completedHandle, u.handle) << name;
        EXPECT_EQ(u.completedResult, NAUTILUS_OPERATION_COMPLETE) << name;
    } else {
        EXPECT_EQ(u.returned, NAUTILUS_OPERATION_COMPLETE) << name;
    }
    return emblemsOf(info);
}
std::vector<std::string> askEmblems(const std::string& name) {
    return askEmblems(world().file(name));
}

struct MenuEntry {
    std::string name, label;
    std::vector<MenuEntry> children;
    NautilusMenuItem* item = nullptr;  // valid while the list is held
};

std::vector<MenuEntry> describe(GList* items) {
    std::vector<MenuEntry> out;
    for (GList* l = items; l; l = l->next) {
        auto* item = NAUTILUS_MENU_ITEM(l->data);
        MenuEntry e;
        gchar *name = nullptr, *label = nullptr;
        NautilusMenu* menu = nullptr;
        g_object_get(item, "name", &name, "label", &label, "menu", &menu, nullptr);
        e.name = name ? name : "";
        e.label = label ? label : "";
        g_free(name);
        g_free(label);
        e.item = item;
        if (menu) {
            GList* children = nautilus_menu_get_items(menu);
            e.children = describe(children);
            nautilus_menu_item_list_free(children);  // the submenu keeps its own references
            g_object_unref(menu);
        }
        out.push_back(std::move(e));
    }
    return out;
}

// The module's items for a selection, in order; empty when it offers none.
struct ItemMenu {
    GList* list = nullptr;
    std::vector<MenuEntry> entries;
    ~ItemMenu() {
        if (list) nautilus_menu_item_list_free(list);
    }
    std::vector<std::string> labels() const {
        std::vector<std::string> out;
        for (const auto& e : entries) out.push_back(e.label);
        return out;
    }
};
void fileMenu(const std::vector<TestFileInfo*>& infos, ItemMenu& menu, GObject* provider = nullptr) {
    GList* files = nullptr;
    for (auto* info : infos) files = g_list_append(files, info);
    menu.list = nautilus_menu_provider_get_file_items(
        NAUTILUS_MENU_PROVIDER(provider ? provider : world().provider), files);
    g_list_free(files);
    menu.entries = describe(menu.list);
}
void fileMenu(const std::vector<std::string>& names, ItemMenu& menu) {
    std::vector<TestFileInfo*> infos;
    for (const auto& n : names) infos.push_back(world().file(n));
    fileMenu(infos, menu);
}

// Notifications seen on the bus through the platform's center.
struct Seen {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> items;
    tw::platform::NotificationCallback callback() {
        return [this](const std::string& name, const std::string& object) {
            std::lock_guard lock(mutex);
            items.emplace_back(name, object);
        };
    }
    size_t size() {
        std::lock_guard lock(mutex);
        return items.size();
    }
};

// Posts with the application's center and waits until the module has handled it: a later icon change
// for the error item (badged whatever the switches say) must reach it, and notifications from one
// sender arrive in order.
void postAndWait(const std::string& name, const std::string& object) {
    auto* marker = world().file("error.txt");
    askEmblems("error.txt");  // shown, so its folder is
    const int before = marker->invalidations;
    ASSERT_TRUE(tw::platform::postNotification(name, object));
    ASSERT_TRUE(tw::platform::postNotification("BrindleIconChange", world().path("error.txt")));
    ASSERT_TRUE(pumpUntil([&] { return marker->invalidations > before; }))
        << "the module did not hear " << name;
    // It asks again, as Nautilus would after an invalidation.
    askEmblems("error.txt");
}

}  // namespace

TEST(NautilusModule, EmblemsAsDecidedAndOnlyInWatchedFolders) {
    REQUIRE_WORLD();
    using V = std::vector<std::string>;
    EXPECT_EQ(askEmblems("placeholder.txt"), V{"tidewell-cloud"});
    EXPECT_EQ(askEmblems("regular.txt"), V{"tidewell-local"});
    EXPECT_EQ(askEmblems("upload.txt"), V{"tidewell-upload"});
    EXPECT_EQ(askEmblems("error.txt"), V{"tidewell-error"});
    EXPECT_EQ(askEmblems("download.txt"), V{"tidewell-download"});
    EXPECT_EQ(askEmblems("plain.txt"), V{});

    // Outside the watch list the answer is immediate and nothing is read.
    Update u;
    startUpdate(world().file("outside.txt"), u);
    EXPECT_EQ(u.returned, NAUTILUS_OPERATION_COMPLETE);
    EXPECT_EQ(u.handle, nullptr);
    pumpFor(50ms);
    EXPECT_EQ(u.completions, 0);
    EXPECT_TRUE(emblemsOf(world().file("outside.txt")).empty());
}

TEST(NautilusModule, ACancelledRequestIsNeverCompleted) {
    REQUIRE_WORLD();
    auto* info = world().file("placeholder.txt");
    g_ptr_array_set_size(info->emblems, 0);
    Update u;
    startUpdate(info, u);
    ASSERT_EQ(u.returned, NAUTILUS_OPERATION_IN_PROGRESS);
    nautilus_info_provider_cancel_update(NAUTILUS_INFO_PROVIDER(world().provider), u.handle);
    pumpFor(300ms);
    EXPECT_EQ(u.completions, 0);
    EXPECT_TRUE(emblemsOf(info).empty());
}

TEST(NautilusModule, ContextMenuForSelections) {
    REQUIRE_WORLD();
    using V = std::vector<std::string>;
    {
        ItemMenu m;
        fileMenu({"placeholder.txt"}, m);
        ASSERT_EQ(m.entries.size(), 1u);
        EXPECT_EQ(m.entries[0].name, "Tidewell::Item0");
        EXPECT_EQ(m.labels(), V{"Download"});
        EXPECT_TRUE(m.entries[0].children.empty()) << "no sub-menu: GTK on X11 cannot open it";
        gchar* tip = nullptr;
        g_object_get(m.entries[0].item, "tip", &tip, nullptr);
        EXPECT_STREQ(tip, "Tidewell");
        g_free(tip);
    }
    for (const auto& [name, expected] : std::vector<std::pair<std::string, V>>{
             {"regular.txt", {"Remove download"}}, {"error.txt", {"Resolve Error"}}, {"upload.txt", {}}}) {
        ItemMenu m;
        fileMenu({name}, m);
        EXPECT_EQ(m.labels(), expected) << name;
        if (expected.empty()) {
            EXPECT_EQ(m.list, nullptr) << name;
        }
    }
    {
        ItemMenu m;
        fileMenu({"regular.txt", "placeholder.txt", "error.txt"}, m);
        EXPECT_EQ(m.labels(), (V{"Download", "Remove download"}));
    }
    {
        ItemMenu m;
        fileMenu({"outside.txt"}, m);
        EXPECT_TRUE(m.entries.empty()) << "no menu outside the synchronised folders";
    }
}

TEST(NautilusModule, ChoosingDownloadPostsOneNotificationPerItemInOrder) {
    REQUIRE_WORLD();
    Seen seen;
    auto observer = tw::platform::observeNotifications("BrindleDownload", seen.callback());
    ASSERT_TRUE(observer->connected());
    ItemMenu m;
    fileMenu({"regular.txt", "placeholder.txt", "plain.txt"}, m);
    ASSERT_EQ(m.labels(), (std::vector<std::string>{"Download", "Remove download"}));
    nautilus_menu_item_activate(m.entries[0].item);
    ASSERT_TRUE(pumpUntil([&] { return seen.size() >= 3; }));
    pumpFor(100ms);
    std::lock_guard lock(seen.mutex);
    using P = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(seen.items, (P{{"BrindleDownload", world().path("regular.txt")},
                             {"BrindleDownload", world().path("placeholder.txt")},
                             {"BrindleDownload", world().path("plain.txt")}}));
}

TEST(NautilusModule, SwitchesAndIconChangesFromTheApplication) {
    REQUIRE_WORLD();
    using V = std::vector<std::string>;
    // Nautilus has asked about these, so their folder is shown.
    askEmblems("regular.txt");
    askEmblems("error.txt");

    postAndWait("BrindleOverlayIconChange", "off");
    EXPECT_EQ(askEmblems("regular.txt"), V{});
    EXPECT_EQ(askEmblems("error.txt"), V{"tidewell-error"});
    postAndWait("BrindleContextMenuChange", "off");
    {
        ItemMenu m;
        fileMenu({"error.txt"}, m);
        EXPECT_EQ(m.labels(), V{"Resolve Error"});
        ItemMenu p;
        fileMenu({"placeholder.txt"}, p);
        EXPECT_TRUE(p.entries.empty());
    }
    // Objects that are not strings change nothing (and do not take the module down).
    g_dbus_connection_emit_signal(world().bus, nullptr, "/com/meridot/tidewell",
                                  "com.meridot.tidewell.DistributedNotification", "Post",
                                  g_variant_new("(si)", "BrindleOverlayIconChange", 1), nullptr);
    g_dbus_connection_emit_signal(world().bus, nullptr, "/com/meridot/tidewell",
                                  "com.meridot.tidewell.DistributedNotification", "Post",
                                  g_variant_new("(s)", "BrindleIconChange"), nullptr);
    postAndWait("BrindleOverlayIconChange", "");  // no object
    EXPECT_EQ(askEmblems("regular.txt"), V{});

    postAndWait("BrindleOverlayIconChange", "on");
    postAndWait("BrindleContextMenuChange", "on");
    EXPECT_EQ(askEmblems("regular.txt"), V{"tidewell-local"});

    // An icon change for a shown item makes Nautilus ask again; the new state shows.
    auto* regular = world().file("regular.txt");
    const std::string path = world().path("regular.txt");
    ASSERT_EQ(::setxattr(path.c_str(), "user.com.meridot.tidewell", kUpload.data(), kUpload.size(), 0), 0);
    const int before = regular->invalidations;
    ASSERT_TRUE(tw::platform::postNotification("BrindleIconChange", path));
    ASSERT_TRUE(pumpUntil([&] { return regular->invalidations > before; }));
    EXPECT_EQ(askEmblems("regular.txt"), V{"tidewell-upload"});
    ASSERT_EQ(::setxattr(path.c_str(), "user.com.meridot.tidewell", kRegular.data(), kRegular.size(), 0), 0);

    // A file Nautilus was never asked about (its folder is not shown) is left alone.
    auto* unseen = newFileInfo((world().docs / "sub/unseen.txt").string());
    ASSERT_TRUE(tw::test::writeFile(world().docs / "sub/unseen.txt", "x"));
    postAndWait("BrindleIconChange", (world().docs / "sub/unseen.txt").string());
    EXPECT_EQ(unseen->invalidations, 0);
    g_object_unref(unseen);

    // A file Nautilus drops after asking about it is forgotten; a later change for it finds nothing.
    const auto dropped = world().docs / "dropped.txt";
    ASSERT_TRUE(tw::test::writeFile(dropped, "x"));
    ASSERT_EQ(::setxattr(dropped.c_str(), "user.com.meridot.tidewell", kRegular.data(), kRegular.size(), 0),
              0);
    auto* gone = newFileInfo(dropped.string());
    Update u;
    startUpdate(gone, u);
    ASSERT_EQ(u.returned, NAUTILUS_OPERATION_IN_PROGRESS);
    ASSERT_TRUE(pumpUntil([&] { return u.completions > 0; }));
    g_object_unref(gone);
    postAndWait("BrindleIconChange", dropped.string());
    // And one dropped while its badge is still being worked out is let go of only when the answer is in.
    auto* early = newFileInfo(dropped.string());
    Update v;
    startUpdate(early, v);
    ASSERT_EQ(v.returned, NAUTILUS_OPERATION_IN_PROGRESS);
    g_object_unref(early);
    ASSERT_TRUE(pumpUntil([&] { return v.completions > 0; }));
}

// While the application moves an item it writes the fraction done and says so: the item's badge becomes a
// ring filled as far, and goes back to the plain badge once the attribute is gone.
TEST(NautilusModule, ATransferShowsItsProgressOnTheItem) {
    REQUIRE_WORLD();
    using V = std::vector<std::string>;
    auto* item = world().file("download.txt");
    const std::string path = world().path("download.txt");
    EXPECT_EQ(askEmblems("download.txt"), V{"tidewell-download"});

    const std::string fraction = "0.63";
    ASSERT_EQ(::setxattr(path.c_str(), "user.com.apple.progress.fractionCompleted", fraction.data(),
                         fraction.size(), 0),
              0);
    int before = item->invalidations;
    ASSERT_TRUE(tw::platform::postNotification("BrindleProgressChange", path));
    ASSERT_TRUE(pumpUntil([&] { return item->invalidations > before; })) << "the module did not look again";
    EXPECT_EQ(askEmblems("download.txt"), V{"tidewell-download-60"});

    ASSERT_EQ(::removexattr(path.c_str(), "user.com.apple.progress.fractionCompleted"), 0);
    before = item->invalidations;
    ASSERT_TRUE(tw::platform::postNotification("BrindleProgressChange", path));
    ASSERT_TRUE(pumpUntil([&] { return item->invalidations > before; }));
    EXPECT_EQ(askEmblems("download.txt"), V{"tidewell-download"});
}

// Nautilus usually starts after the application, whose notifications of the switches then went out
// before the module listened: a module loaded now starts from the stored choice.
TEST(NautilusModule, AFreshlyLoadedModuleHonoursTheStoredSwitchesWithoutANotification) {
    REQUIRE_WORLD();
    using V = std::vector<std::string>;
    const fs::path settings = fs::path(getenv("XDG_CONFIG_HOME")) / "meridot/com.meridot.tidewell.json";
    ASSERT_TRUE(tw::test::writeFile(settings, R"({"Usericonoverlay": false, "Usercontextmenu": false})"));
    // A provider of its own, as a Nautilus started now makes, asked about files of its own.
    auto* fresh = G_OBJECT(g_object_new(G_OBJECT_TYPE(world().provider), nullptr));
    auto* regular = newFileInfo(world().path("regular.txt"));
    auto* placeholder = newFileInfo(world().path("placeholder.txt"));
    auto* error = newFileInfo(world().path("error.txt"));

    EXPECT_EQ(askEmblems(regular, fresh), V{});
    EXPECT_EQ(askEmblems(placeholder, fresh), V{});
    EXPECT_EQ(askEmblems(error, fresh), V{"tidewell-error"});
    {
        ItemMenu m;
        fileMenu({placeholder}, m, fresh);
        EXPECT_TRUE(m.entries.empty());
        ItemMenu e;
        fileMenu({error}, e, fresh);
        EXPECT_EQ(e.labels(), V{"Resolve Error"});
    }
    // The module loaded before the choice was stored goes by the notifications it heard, as before.
    EXPECT_EQ(askEmblems("regular.txt"), V{"tidewell-local"});

    fs::remove(settings);
    for (auto* info : {regular, placeholder, error}) g_object_unref(info);
    g_object_unref(fresh);
    pumpFor(50ms);
}

TEST(NautilusModule, FolderMenuFollowsTheWatchList) {
    REQUIRE_WORLD();
    auto folderLabels = [] {
        GList* list = nautilus_menu_provider_get_background_items(
            NAUTILUS_MENU_PROVIDER(world().provider), NAUTILUS_FILE_INFO(world().file("plain.txt")));
        std::vector<std::string> labels;
        for (const auto& e : describe(list)) labels.push_back(e.label);
        if (list) nautilus_menu_item_list_free(list);
        return labels;
    };
    EXPECT_EQ(folderLabels(), std::vector<std::string>{"Docs"});

    // A file outside the list, already shown without a badge, is asked about again once the list
    // takes its folder in.
    EXPECT_TRUE(askEmblems("later.txt").empty());
    auto* later = world().file("later.txt");
    const int before = later->invalidations;
    world().writeWatchList({world().docs.string(), world().other.string()});
    ASSERT_TRUE(tw::platform::postNotification("BrindleVolumeChange"));
    ASSERT_TRUE(pumpUntil([&] { return later->invalidations > before; }));
    EXPECT_EQ(askEmblems("later.txt"), std::vector<std::string>{"tidewell-cloud"});
    EXPECT_EQ(folderLabels(), (std::vector<std::string>{"Docs", "Other"}));

    // A list that is not JSON changes nothing.
    ASSERT_TRUE(tw::test::writeFile(
        fs::path(getenv("XDG_CONFIG_HOME")) / "meridot/group.com.meridot.tidewell.FinderList.json",
        "[not json"));
    postAndWait("BrindleVolumeChange", "");
    EXPECT_EQ(folderLabels(), (std::vector<std::string>{"Docs", "Other"}));
    world().writeWatchList({world().docs.string()});
    postAndWait("BrindleVolumeChange", "");
    EXPECT_EQ(folderLabels(), std::vector<std::string>{"Docs"});
}

// Nautilus's folder-opening interface, played by the test on the same bus.
TEST(NautilusModule, ChoosingAFolderAsksTheFileManagerToShowIt) {
    REQUIRE_WORLD();
    static std::vector<std::string> shown;
    static const GDBusInterfaceVTable vtable = {
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
           GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
            if (g_strcmp0(method, "ShowFolders") == 0) {
                GVariantIter* uris = nullptr;
                const gchar* startup = nullptr;
                g_variant_get(parameters, "(as&s)", &uris, &startup);
                const gchar* uri = nullptr;
                while (g_variant_iter_next(uris, "&s", &uri)) shown.emplace_back(uri);
                g_variant_iter_free(uris);
            }
            g_dbus_method_invocation_return_value(invocation, nullptr);
        },
        nullptr,
        nullptr,
        {}};
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(
        "<node><interface name='org.freedesktop.FileManager1'><method name='ShowFolders'>"
        "<arg type='as' direction='in'/><arg type='s' direction='in'/></method></interface></node>",
        nullptr);
    ASSERT_NE(node, nullptr);
    guint object = g_dbus_connection_register_object(world().bus, "/org/freedesktop/FileManager1",
                                                     node->interfaces[0], &vtable, nullptr, nullptr, nullptr);
    ASSERT_NE(object, 0u);
    bool owned = false;
    guint owner = g_bus_own_name_on_connection(
        world().bus, "org.freedesktop.FileManager1", G_BUS_NAME_OWNER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, gpointer data) { *static_cast<bool*>(data) = true; }, nullptr,
        &owned, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return owned; }));

    GList* list = nautilus_menu_provider_get_background_items(NAUTILUS_MENU_PROVIDER(world().provider),
                                                              NAUTILUS_FILE_INFO(world().file("plain.txt")));
    auto entries = describe(list);
    ASSERT_EQ(entries.size(), 1u);
    nautilus_menu_item_activate(entries[0].item);
    EXPECT_TRUE(pumpUntil([&] { return !shown.empty(); }));
    GFile* docs = g_file_new_for_path(world().docs.c_str());
    char* uri = g_file_get_uri(docs);
    EXPECT_EQ(shown, std::vector<std::string>{uri});
    g_free(uri);
    g_object_unref(docs);
    nautilus_menu_item_list_free(list);
    g_bus_unown_name(owner);
    g_dbus_connection_unregister_object(world().bus, object);
    g_dbus_node_info_unref(node);
}
