// The Nautilus module: one provider object that gives Nautilus emblems (an info provider) and the
// menu items (a menu provider), with every decision left to FinderSync.
//
// It runs inside the user's file manager, so it must never crash it or make it wait:
// - Badges are answered through the provider's update handle; the attribute is read on FinderSync's
//   lock queue and the emblem is added back on Nautilus's main context.
// - Notifications travel on Nautilus's own session-bus connection (GDBus). Its signals are delivered on
//   the main context, where Nautilus objects may be touched, and emitting never waits for the bus. A
//   second library (sd-bus) with its own connection and listener thread would have to hop to the main
//   context for every signal anyway, and would put one more bus client inside the file manager.
// - Nothing throws out of a callback Nautilus makes; a failure is a log line and no badge.
//
// While an item is downloaded or uploaded, its badge is a ring filled as far as the transfer went; the
// application posts "BrindleProgressChange" each time it writes the progress, a few times a second at
// most, and the item is asked about again.
//
// Which items Nautilus shows is learned from its requests: every file it asks about is remembered
// (weakly, until Nautilus drops the file) so that a "BrindleIconChange" can ask Nautilus to ask again,
// and the folders holding those files are the folders being shown.
#include <dlfcn.h>
#include <gio/gio.h>
#include <glib-object.h>

extern "C" {
#include <nautilus-extension.h>
}

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "finder/FinderSync.h"
#include "platform/defaults.h"
#include "platform/diagnostics.h"
#include "platform/overmark.h"
#include "platform/paths.h"

namespace {

using tw::finder::badgeNames;
using tw::finder::FinderSync;
using tw::finder::MenuKind;

constexpr const char* kLogDomain = "Tidewell";

void logMessage(const std::string& message) {
    // MESSAGE, not WARNING: bad input from outside is no programming error, and G_DEBUG=fatal-warnings
    // must not turn it into a crash of the file manager.
    g_log(kLogDomain, G_LOG_LEVEL_MESSAGE, "%s", message.c_str());
}

struct GFreeDeleter {
    void operator()(void* p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

struct GObjectDeleter {
    void operator()(gpointer p) const {
        if (p) g_object_unref(p);
    }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectDeleter>;

struct GClosureDeleter {
    void operator()(GClosure* c) const {
        if (c) g_closure_unref(c);
    }
};
using GClosurePtr = std::unique_ptr<GClosure, GClosureDeleter>;

struct GMainContextDeleter {
    void operator()(GMainContext* c) const {
        if (c) g_main_context_unref(c);
    }
};

struct GErrorDeleter {
    void operator()(GError* e) const {
        if (e) g_error_free(e);
    }
};
using GErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

// The local path of a Nautilus item; none for items that are not local files (trash, network, ...).
std::optional<std::string> localPath(NautilusFileInfo* file) {
    GObjectPtr<GFile> location(nautilus_file_info_get_location(file));
    if (!location) return std::nullopt;
    GCharPtr path(g_file_get_path(location.get()));
    if (!path) return std::nullopt;
    return std::string(path.get());
}

// Runs `fn` when `context` next iterates (never inline, even on its own thread, so callers may hold
// their locks).
void runOnContext(GMainContext* context, std::function<void()> fn) {
    auto box = std::make_unique<std::function<void()>>(std::move(fn));
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            try {
                (*static_cast<std::function<void()>*>(data))();
            } catch (const std::exception& e) {
                logMessage(std::string("Internal error: ") + e.what());
            }
            return G_SOURCE_REMOVE;
        },
        box.release(), [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    g_source_attach(source, context);
    g_source_unref(source);
}

// One badge request Nautilus is waiting for; the handle Nautilus holds is its address.
struct PendingUpdate {
    GObjectPtr<NautilusInfoProvider> provider;
    GObjectPtr<NautilusFileInfo> file;
    GClosurePtr done;
    bool cancelled = false;
};

class Extension;

// Remembered on each Nautilus file the extension was asked about; freed when Nautilus frees the file.
struct Tracked {
    std::weak_ptr<Extension> extension;
    std::string path;
    std::string folder;
    static void destroy(gpointer data);
};

GQuark trackedQuark() {
    static const GQuark quark = g_quark_from_static_string("tidewell-tracked");
    return quark;
}

// What the extension knows of a remembered file: a weak reference (Nautilus owns the file) and which
// tracking it belongs to, so a stale record never removes a newer one.
struct KnownFile {
    GWeakRef ref;
    const Tracked* tracked;
    KnownFile(NautilusFileInfo* file, const Tracked* t) : tracked(t) { g_weak_ref_init(&ref, file); }
    ~KnownFile() { g_weak_ref_clear(&ref); }
    KnownFile(const KnownFile&) = delete;
    KnownFile& operator=(const KnownFile&) = delete;
    // A strong reference, or null once Nautilus is done with the file.
    GObjectPtr<NautilusFileInfo> get() {
        return GObjectPtr<NautilusFileInfo>(static_cast<NautilusFileInfo*>(g_weak_ref_get(&ref)));
    }
};

struct MenuAction {
    std::weak_ptr<Extension> extension;
    int tag = -1;                    // item menus
    std::vector<std::string> paths;  // the selection the menu was built for
    std::string title;               // folder entries: the raw title to match
};

class Extension final : public tw::finder::FinderSyncHost, public std::enable_shared_from_this<Extension> {
public:
    static std::shared_ptr<Extension> create() {
        std::shared_ptr<Extension> extension(new Extension());
        extension->start();
        return extension;
    }
    ~Extension() override;

    NautilusOperationResult updateFileInfo(NautilusInfoProvider* provider, NautilusFileInfo* file,
                                           GClosure* done, NautilusOperationHandle** handle);
    void cancelUpdate(NautilusOperationHandle* handle);
    GList* fileItems(GList* files);
    GList* backgroundItems();
    void menuActivated(const MenuAction& action);
    void forget(const Tracked& tracked);
    void busReady(GDBusConnection* connection);
    void received(GVariant* parameters);

    // FinderSyncHost
    void setDirectoryURLs(const std::vector<std::string>& folders) override;
    void setBadgeIdentifier(badgeNames badge, const std::string& path) override;
    void openFolder(const std::string& folder) override;
    void postNotification(const std::string& name, const std::string& object) override;

private:
    Extension() : context_(g_main_context_ref_thread_default()), cancellable_(g_cancellable_new()) {}
    void start();
    bool isWatched(const std::string& path);
    void track(NautilusFileInfo* file, const std::string& path);
    void finishUpdate(PendingUpdate* key, const tw::finder::ItemLook& look);
    GObjectPtr<GDBusConnection> connection();
    // Asks Nautilus to ask again about these files (their extension info is dropped and redone).
    static void invalidate(std::vector<GObjectPtr<NautilusFileInfo>> files);

    // Nautilus's main context: where Nautilus objects are touched.
    std::unique_ptr<GMainContext, GMainContextDeleter> context_;
    GObjectPtr<GCancellable> cancellable_;

    std::mutex busMutex_;  // guards connection_ and subscription_
    GObjectPtr<GDBusConnection> connection_;
    guint subscription_ = 0;

    std::mutex folderMutex_;  // guards folders_
    std::vector<std::string> folders_;
    bool started_ = false;  // main context only: set once FinderSync is built

    std::mutex trackMutex_;  // guards files_ and shownFolders_; never held while calling into Nautilus
    std::unordered_map<std::string, std::unique_ptr<KnownFile>> files_;
    std::map<std::string, size_t> shownFolders_;  // folder -> how many of its files Nautilus holds

    // Main context only.
    std::map<PendingUpdate*, std::unique_ptr<PendingUpdate>> pending_;

    std::unique_ptr<FinderSync> finder_;  // last: destroyed first, waiting for its queues
};

void Tracked::destroy(gpointer data) {
    std::unique_ptr<Tracked> tracked(static_cast<Tracked*>(data));
    if (auto extension = tracked->extension.lock()) extension->forget(*tracked);
}

Extension::~Extension() {
    // First, while this object is whole: queued posts still reach the bus through it.
    finder_.reset();
    g_cancellable_cancel(cancellable_.get());
    {
        std::lock_guard lock(busMutex_);
        if (connection_ && subscription_)
            g_dbus_connection_signal_unsubscribe(connection_.get(), subscription_);
    }
}

void Extension::start() {
    finder_ = std::make_unique<FinderSync>(*this, tw::platform::Defaults::finderListSuite(),
                                           tw::platform::Defaults::standard());
    started_ = true;
    auto weak = std::make_unique<std::weak_ptr<Extension>>(weak_from_this());
    g_bus_get(
        G_BUS_TYPE_SESSION, cancellable_.get(),
        [](GObject*, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::weak_ptr<Extension>> weak(static_cast<std::weak_ptr<Extension>*>(data));
            GError* raw = nullptr;
            GObjectPtr<GDBusConnection> connection(g_bus_get_finish(result, &raw));
            GErrorPtr error(raw);
            if (!connection) {
                if (!g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED))
                    logMessage(std::string("No session bus; badges stay as they are and menu choices are not "
                                           "sent: ") +
                               (error ? error->message : "unknown error"));
                return;
            }
            if (auto extension = weak->lock()) extension->busReady(connection.release());
        },
        weak.release());
}

void Extension::busReady(GDBusConnection* connection) {
    std::lock_guard lock(busMutex_);
    connection_.reset(connection);
    auto weak = std::make_unique<std::weak_ptr<Extension>>(weak_from_this());
    subscription_ = g_dbus_connection_signal_subscribe(
        connection, nullptr, tw::overmark::kNotificationInterface, tw::overmark::kNotificationMember,
        tw::overmark::kNotificationObjectPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
           gpointer data) {
            try {
                if (auto extension = static_cast<std::weak_ptr<Extension>*>(data)->lock())
                    extension->received(parameters);
            } catch (const std::exception& e) {
                logMessage(std::string("Internal error handling a notification: ") + e.what());
            }
        },
        weak.release(), [](gpointer data) { delete static_cast<std::weak_ptr<Extension>*>(data); });
}

GObjectPtr<GDBusConnection> Extension::connection() {
    std::lock_guard lock(busMutex_);
    if (!connection_) return nullptr;
    return GObjectPtr<GDBusConnection>(G_DBUS_CONNECTION(g_object_ref(connection_.get())));
}

void Extension::received(GVariant* parameters) {
    if (!finder_) return;
    if (g_variant_is_of_type(parameters, G_VARIANT_TYPE(tw::overmark::kNotificationBodyType))) {
        const char* name = nullptr;
        const char* object = nullptr;
        g_variant_get(parameters, "(&s&s)", &name, &object);
        finder_->handleNotification(name, *object ? std::optional<std::string>(object) : std::nullopt);
        return;
    }
    // Only (name, object) is part of the contract; anything else is somebody else's mistake.
    std::string name = "?";
    if (g_variant_is_container(parameters) && g_variant_n_children(parameters) > 0) {
        GVariant* first = g_variant_get_child_value(parameters, 0);
        if (g_variant_is_of_type(first, G_VARIANT_TYPE_STRING)) name = g_variant_get_string(first, nullptr);
        g_variant_unref(first);
    }
    logMessage("Ignored a notification " + name + " of type " + g_variant_get_type_string(parameters) +
               ": its object is not a string.");
}

bool Extension::isWatched(const std::string& path) {
    std::lock_guard lock(folderMutex_);
    return tw::finder::isInsideFolders(path, folders_);
}

void Extension::setDirectoryURLs(const std::vector<std::string>& folders) {
    std::vector<std::string> before;
    {
        std::lock_guard lock(folderMutex_);
        before = std::move(folders_);
        folders_ = folders;
    }
    if (!started_) return;  // the first list: Nautilus has asked about nothing yet
    // Items that came into or left the watched folders show the wrong badge until Nautilus asks again.
    std::vector<GObjectPtr<NautilusFileInfo>> changed;
    {
        std::lock_guard lock(trackMutex_);
        for (auto& [path, known] : files_) {
            if (tw::finder::isInsideFolders(path, before) == tw::finder::isInsideFolders(path, folders))
                continue;
            if (auto file = known->get()) changed.push_back(std::move(file));
        }
    }
    if (changed.empty()) return;
    auto box = std::make_shared<std::vector<GObjectPtr<NautilusFileInfo>>>(std::move(changed));
    runOnContext(context_.get(), [box] { invalidate(std::move(*box)); });
}

void Extension::invalidate(std::vector<GObjectPtr<NautilusFileInfo>> files) {
    for (auto& file : files) nautilus_file_info_invalidate_extension_info(file.get());
}

void Extension::track(NautilusFileInfo* file, const std::string& path) {
    auto* current = static_cast<Tracked*>(g_object_get_qdata(G_OBJECT(file), trackedQuark()));
    if (current && current->path == path && current->extension.lock().get() == this) return;
    auto tracked =
        std::make_unique<Tracked>(Tracked{weak_from_this(), path, tw::platform::parentFolder(path)});
    bool firstInFolder = false;
    {
        std::lock_guard lock(trackMutex_);
        files_[path] = std::make_unique<KnownFile>(file, tracked.get());
        firstInFolder = ++shownFolders_[tracked->folder] == 1;
    }
    if (firstInFolder) finder_->beginObservingDirectory(tracked->folder);
    // Replacing an earlier record (the file was renamed) runs its destroy, which forgets the old path.
    g_object_set_qdata_full(G_OBJECT(file), trackedQuark(), tracked.release(), &Tracked::destroy);
}

void Extension::forget(const Tracked& tracked) {
    bool lastInFolder = false;
    {
        std::lock_guard lock(trackMutex_);
        auto it = files_.find(tracked.path);
        if (it != files_.end() && it->second->tracked == &tracked) files_.erase(it);
        auto folder = shownFolders_.find(tracked.folder);
        if (folder != shownFolders_.end() && --folder->second == 0) {
            shownFolders_.erase(folder);
            lastInFolder = true;
        }
    }
    if (lastInFolder && finder_) finder_->endObservingDirectory(tracked.folder);
}

NautilusOperationResult Extension::updateFileInfo(NautilusInfoProvider* provider, NautilusFileInfo* file,
                                                  GClosure* done, NautilusOperationHandle** handle) {
    auto path = localPath(file);
    if (!path) return NAUTILUS_OPERATION_COMPLETE;
    // Every file is remembered, so one that a new watch list brings in can be asked about again.
    track(file, *path);
    if (!isWatched(*path)) return NAUTILUS_OPERATION_COMPLETE;

    auto request = std::make_unique<PendingUpdate>();
    request->provider.reset(NAUTILUS_INFO_PROVIDER(g_object_ref(provider)));
    request->file.reset(NAUTILUS_FILE_INFO(g_object_ref(file)));
    request->done.reset(g_closure_ref(done));
    PendingUpdate* key = request.get();
    pending_.emplace(key, std::move(request));
    *handle = reinterpret_cast<NautilusOperationHandle*>(key);

    std::weak_ptr<Extension> weak = weak_from_this();
    GMainContext* context = context_.get();
    finder_->requestItemLook(*path, [weak, key, context](tw::finder::ItemLook look) {
        runOnContext(context, [weak, key, look] {
            if (auto extension = weak.lock()) extension->finishUpdate(key, look);
        });
    });
    return NAUTILUS_OPERATION_IN_PROGRESS;
}

void Extension::finishUpdate(PendingUpdate* key, const tw::finder::ItemLook& look) {
    auto it = pending_.find(key);
    if (it == pending_.end()) return;
    std::unique_ptr<PendingUpdate> request = std::move(it->second);
    pending_.erase(it);
    if (request->cancelled) return;  // Nautilus no longer waits; the handle must not be completed
    const std::string emblem = look.emblem();
    if (!emblem.empty()) nautilus_file_info_add_emblem(request->file.get(), emblem.c_str());
    nautilus_info_provider_update_complete_invoke(request->done.get(), request->provider.get(),
                                                  reinterpret_cast<NautilusOperationHandle*>(key),
                                                  NAUTILUS_OPERATION_COMPLETE);
}

void Extension::cancelUpdate(NautilusOperationHandle* handle) {
    auto it = pending_.find(reinterpret_cast<PendingUpdate*>(handle));
    if (it != pending_.end()) it->second->cancelled = true;
}

void Extension::setBadgeIdentifier(badgeNames, const std::string& path) {
    // Nautilus keeps one set of extension emblems per file and redoes it as a whole: asking it to ask
    // again replaces the old badge with the one just decided.
    std::weak_ptr<Extension> weak = weak_from_this();
    runOnContext(context_.get(), [weak, path] {
        auto extension = weak.lock();
        if (!extension) return;
        GObjectPtr<NautilusFileInfo> file;
        {
            std::lock_guard lock(extension->trackMutex_);
            auto it = extension->files_.find(path);
            if (it != extension->files_.end()) file = it->second->get();
        }
        if (!file) return;  // Nautilus dropped it meanwhile
        std::vector<GObjectPtr<NautilusFileInfo>> files;
        files.push_back(std::move(file));
        invalidate(std::move(files));
    });
}

void Extension::postNotification(const std::string& name, const std::string& object) {
    auto bus = connection();
    if (!bus) {
        logMessage("Could not post " + name + " for " + object + ": no session bus.");
        return;
    }
    if (!g_utf8_validate(object.c_str(), static_cast<gssize>(object.size()), nullptr)) {
        logMessage("Did not post " + name + " for a path that is not UTF-8.");
        return;
    }
    GError* raw = nullptr;
    if (!g_dbus_connection_emit_signal(
            bus.get(), nullptr, tw::overmark::kNotificationObjectPath, tw::overmark::kNotificationInterface,
            tw::overmark::kNotificationMember,
            g_variant_new(tw::overmark::kNotificationBodyType, name.c_str(), object.c_str()), &raw)) {
        GErrorPtr error(raw);
        logMessage("Could not post " + name + " for " + object + ": " + (error ? error->message : "?"));
    }
}

void Extension::openFolder(const std::string& folder) {
    auto bus = connection();
    if (!bus) {
        logMessage("Could not open " + folder + ": no session bus.");
        return;
    }
    GObjectPtr<GFile> file(g_file_new_for_path(folder.c_str()));
    GCharPtr uri(g_file_get_uri(file.get()));
    const gchar* uris[] = {uri.get(), nullptr};
    // Through the file manager's own interface: the folder opens in a Nautilus window whether or not
    // Nautilus is the desktop's default for folders. Asynchronous: this is Nautilus calling itself.
    auto what = std::make_unique<std::string>(folder);
    g_dbus_connection_call(
        bus.get(), "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
        "org.freedesktop.FileManager1", "ShowFolders", g_variant_new("(^ass)", uris, ""), nullptr,
        G_DBUS_CALL_FLAGS_NONE, 10000, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::string> folder(static_cast<std::string*>(data));
            GError* raw = nullptr;
            GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &raw);
            GErrorPtr error(raw);
            if (reply)
                g_variant_unref(reply);
            else
                logMessage("Could not open " + *folder + ": " + (error ? error->message : "?"));
        },
        what.release());
}

void connectAction(NautilusMenuItem* item, MenuAction action) {
    auto box = std::make_unique<MenuAction>(std::move(action));
    g_signal_connect_data(
        item, "activate", G_CALLBACK(+[](NautilusMenuItem*, gpointer data) {
            try {
                const auto& action = *static_cast<MenuAction*>(data);
                if (auto extension = action.extension.lock()) extension->menuActivated(action);
            } catch (const std::exception& e) {
                logMessage(std::string("Internal error handling a menu choice: ") + e.what());
            }
        }),
        box.release(), [](gpointer data, GClosure*) { delete static_cast<MenuAction*>(data); },
        GConnectFlags(0));
}

// A menu item whose label is shown as text even when the name it comes from is not UTF-8.
NautilusMenuItem* newItem(const std::string& name, const std::string& label) {
    GCharPtr valid(g_utf8_make_valid(label.c_str(), static_cast<gssize>(label.size())));
    return nautilus_menu_item_new(name.c_str(), valid.get(), nullptr, nullptr);
}

// The items stand in Nautilus's extension section of the menu, not in a "Tidewell" sub-menu: GTK 4.8
// on X11 closes the whole context menu when a nested sub-menu opens, which left the items out of reach.
GList* Extension::fileItems(GList* files) {
    std::vector<std::string> paths;
    for (GList* l = files; l; l = l->next) {
        auto path = localPath(NAUTILUS_FILE_INFO(l->data));
        // The menu is for synchronised items only, as a whole selection.
        if (!path || !isWatched(*path)) return nullptr;
        paths.push_back(*path);
    }
    if (paths.empty()) return nullptr;
    const auto menu = finder_->menu(MenuKind::contextualMenuForItems, paths);
    GList* items = nullptr;
    for (const auto& entry : menu.items) {
        NautilusMenuItem* item = newItem("Tidewell::Item" + std::to_string(entry.tag), entry.title);
        g_object_set(item, "tip", menu.title.c_str(), nullptr);
        connectAction(item, MenuAction{weak_from_this(), entry.tag, paths, ""});
        items = g_list_append(items, item);
    }
    return items;
}

GList* Extension::backgroundItems() {
    const auto menu = finder_->menu(MenuKind::toolbarItemMenu, {});
    // Nautilus has no toolbar place for extensions; the folder list lives in every folder's background
    // menu instead, one entry per synchronised folder.
    GList* items = nullptr;
    for (size_t i = 0; i < menu.items.size(); ++i) {
        NautilusMenuItem* item = newItem("Tidewell::Open" + std::to_string(i), menu.items[i].title);
        g_object_set(item, "tip", finder_->toolbarItemToolTip().c_str(), nullptr);
        connectAction(item, MenuAction{weak_from_this(), -1, {}, menu.items[i].title});
        items = g_list_append(items, item);
    }
    return items;
}

void Extension::menuActivated(const MenuAction& action) {
    if (action.tag >= 0)
        finder_->onClickMenuAction(action.tag, action.paths);
    else
        finder_->onClickOpenAction(action.title);
}

}  // namespace

// ---- GObject glue -------------------------------------------------------------------------------

struct TidewellProvider {
    GObject parent_instance;
    std::shared_ptr<Extension> extension;  // constructed in place in init, destroyed in finalize
};
struct TidewellProviderClass {
    GObjectClass parent_class;
};

static void tidewell_info_provider_iface_init(NautilusInfoProviderInterface* iface);
static void tidewell_menu_provider_iface_init(NautilusMenuProviderInterface* iface);

G_DEFINE_DYNAMIC_TYPE_EXTENDED(TidewellProvider, tidewell_provider, G_TYPE_OBJECT, 0,
                               G_IMPLEMENT_INTERFACE_DYNAMIC(NAUTILUS_TYPE_INFO_PROVIDER,
                                                             tidewell_info_provider_iface_init)
                                   G_IMPLEMENT_INTERFACE_DYNAMIC(NAUTILUS_TYPE_MENU_PROVIDER,
                                                                 tidewell_menu_provider_iface_init))

static Extension* extensionOf(gpointer provider) {
    return reinterpret_cast<TidewellProvider*>(provider)->extension.get();
}

static void tidewell_provider_init(TidewellProvider* self) {
    new (&self->extension) std::shared_ptr<Extension>();
    try {
        self->extension = Extension::create();
    } catch (const std::exception& e) {
        logMessage(std::string("The extension could not start: ") + e.what());
    }
}

static void tidewell_provider_finalize(GObject* object) {
    reinterpret_cast<TidewellProvider*>(object)->extension.~shared_ptr();
    G_OBJECT_CLASS(tidewell_provider_parent_class)->finalize(object);
}

static void tidewell_provider_class_init(TidewellProviderClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = tidewell_provider_finalize;
}

static void tidewell_provider_class_finalize(TidewellProviderClass*) {}

static NautilusOperationResult updateFileInfo(NautilusInfoProvider* provider, NautilusFileInfo* file,
                                              GClosure* done, NautilusOperationHandle** handle) {
    auto* extension = extensionOf(provider);
    if (!extension) return NAUTILUS_OPERATION_COMPLETE;
    try {
        return extension->updateFileInfo(provider, file, done, handle);
    } catch (const std::exception& e) {
        logMessage(std::string("Internal error answering for a file: ") + e.what());
        return NAUTILUS_OPERATION_FAILED;
    }
}

static void cancelUpdate(NautilusInfoProvider* provider, NautilusOperationHandle* handle) {
    if (auto* extension = extensionOf(provider)) extension->cancelUpdate(handle);
}

static GList* getFileItems(NautilusMenuProvider* provider, GList* files) {
    auto* extension = extensionOf(provider);
    if (!extension) return nullptr;
    try {
        return extension->fileItems(files);
    } catch (const std::exception& e) {
        logMessage(std::string("Internal error building the menu: ") + e.what());
        return nullptr;
    }
}

static GList* getBackgroundItems(NautilusMenuProvider* provider, NautilusFileInfo*) {
    auto* extension = extensionOf(provider);
    if (!extension) return nullptr;
    try {
        return extension->backgroundItems();
    } catch (const std::exception& e) {
        logMessage(std::string("Internal error building the folder menu: ") + e.what());
        return nullptr;
    }
}

static void tidewell_info_provider_iface_init(NautilusInfoProviderInterface* iface) {
    iface->update_file_info = updateFileInfo;
    iface->cancel_update = cancelUpdate;
}

static void tidewell_menu_provider_iface_init(NautilusMenuProviderInterface* iface) {
    iface->get_file_items = getFileItems;
    iface->get_background_items = getBackgroundItems;
}

// ---- Module entry points ------------------------------------------------------------------------

static GType g_types[1];

extern "C" __attribute__((visibility("default"))) void nautilus_module_initialize(GTypeModule* module) {
    // Files Nautilus frees late (at exit) still call back into this code; it must stay mapped even if
    // Nautilus closes the module.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&nautilus_module_initialize), &info) && info.dli_fname)
        dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    tw::platform::setDiagnosticSink([](tw::platform::DiagnosticLevel level, const std::string& message) {
        if (level == tw::platform::DiagnosticLevel::debug)
            g_log(kLogDomain, G_LOG_LEVEL_DEBUG, "%s", message.c_str());
        else
            logMessage(message);
    });
    tidewell_provider_register_type(module);
    g_types[0] = tidewell_provider_get_type();
}

extern "C" __attribute__((visibility("default"))) void nautilus_module_shutdown(void) {}

extern "C" __attribute__((visibility("default"))) void nautilus_module_list_types(const GType** types,
                                                                                  int* num_types) {
    *types = g_types;
    *num_types = 1;
}
