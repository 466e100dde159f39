#include "platform/keychain.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <libsecret/secret.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>

#include "platform/fd.h"
#include "platform/paths.h"
#include "platform/places.h"

namespace tw::platform::keychain {
namespace {

using platform::UniqueFd;
using platform::writeAll;

// ---------------------------------------------------------------- Secret Service

const SecretSchema* schema() {
    static const SecretSchema s = {"com.meridot.tidewell.GenericPassword",
                                   SECRET_SCHEMA_NONE,
                                   {
                                       {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {"label", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {"description", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                   },
                                   0,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr};
    return &s;
}

// Owners for the GLib objects used here, so every early return releases them.
struct HashTableDeleter {
    void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
using HashTable = std::unique_ptr<GHashTable, HashTableDeleter>;
struct ObjectListDeleter {
    void operator()(GList* l) const { g_list_free_full(l, g_object_unref); }
};
using ObjectList = std::unique_ptr<GList, ObjectListDeleter>;
struct SecretDeleter {
    void operator()(gchar* s) const { secret_password_free(s); }
};
struct ObjectDeleter {
    void operator()(gpointer o) const { g_object_unref(o); }
};
struct VariantDeleter {
    void operator()(GVariant* v) const { g_variant_unref(v); }
};
struct ErrorDeleter {
    void operator()(GError* e) const { g_error_free(e); }
};
using Error = std::unique_ptr<GError, ErrorDeleter>;

HashTable attributes(std::initializer_list<std::pair<const char*, const std::string*>> pairs) {
    HashTable t(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    for (auto& [k, v] : pairs) g_hash_table_insert(t.get(), g_strdup(k), g_strdup(v->c_str()));
    return t;
}

std::string attr(GHashTable* t, const char* key) {
    auto* v = static_cast<const char*>(g_hash_table_lookup(t, key));
    return v ? v : "";
}

class SecretServiceKeychain final : public Keychain {
public:
    Status findItems(const std::string& label, const std::string& description,
                     std::vector<Item>& out) override {
        auto query = attributes({{"label", &label}, {"description", &description}});
        GError* rawError = nullptr;
        ObjectList found(
            secret_password_searchv_sync(schema(), query.get(), SECRET_SEARCH_ALL, nullptr, &rawError));
        Error error(rawError);
        if (error) return Status::failed;
        for (GList* l = found.get(); l; l = l->next) {
            auto* r = SECRET_RETRIEVABLE(l->data);
            HashTable a(secret_retrievable_get_attributes(r));
            if (!a) continue;
            out.push_back(Item{attr(a.get(), "service"), attr(a.get(), "account"), attr(a.get(), "label"),
                               attr(a.get(), "description")});
        }
        return Status::ok;
    }

    std::optional<std::string> password(const std::string& service, const std::string& account) override {
        auto query = attributes({{"service", &service}, {"account", &account}});
        GError* rawError = nullptr;
        std::unique_ptr<gchar, SecretDeleter> secret(
            secret_password_lookupv_sync(schema(), query.get(), nullptr, &rawError));
        Error error(rawError);
        if (!secret) return std::nullopt;
        return std::string(secret.get());
    }

    Status addItem(const Item& item, const std::string& password) override {
        auto a = attributes({{"service", &item.service},
                             {"account", &item.account},
                             {"label", &item.label},
                             {"description", &item.description}});
        // Replacing: the Secret Service matches on every attribute, so clear the old pair first.
        deleteItem(item.service, item.account);
        GError* rawError = nullptr;
        gboolean ok = secret_password_storev_sync(schema(), a.get(), SECRET_COLLECTION_DEFAULT,
                                                  item.label.c_str(), password.c_str(), nullptr, &rawError);
        Error error(rawError);
        return ok ? Status::ok : Status::failed;
    }

    Status deleteItem(const std::string& service, const std::string& account) override {
        auto query = attributes({{"service", &service}, {"account", &account}});
        GError* rawError = nullptr;
        gboolean removed = secret_password_clearv_sync(schema(), query.get(), nullptr, &rawError);
        Error error(rawError);
        if (error) return Status::failed;
        return removed ? Status::ok : Status::notFound;
    }

    const char* kind() const override { return "secret-service"; }
};

bool sessionBusLikely() {
    if (const char* a = getenv("DBUS_SESSION_BUS_ADDRESS"); a && *a) return true;
    struct stat st {};
    std::string bus = platform::runtimeFolder() + "/bus";
    return ::stat(bus.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// Whether a Secret Service is running now. Asking libsecret directly would make the bus start one on
// demand, outside the user's session set-up and with the bus's own environment; a headless process
// must not leave such a daemon behind, so only a service that is already there counts.
bool secretServiceRunning() {
    GError* rawError = nullptr;
    std::unique_ptr<GDBusConnection, ObjectDeleter> bus(
        g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    Error busError(rawError);
    if (!bus) return false;
    rawError = nullptr;
    std::unique_ptr<GVariant, VariantDeleter> reply(g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, &rawError));
    Error callError(rawError);
    gboolean owned = FALSE;
    if (reply) g_variant_get(reply.get(), "(b)", &owned);
    return owned;
}

// ---------------------------------------------------------------- file store

class FileKeychain final : public Keychain {
public:
    explicit FileKeychain(std::string path) : path_(std::move(path)) {}

    Status findItems(const std::string& label, const std::string& description,
                     std::vector<Item>& out) override {
        std::lock_guard lock(mutex_);
        nlohmann::json doc;
        if (!load(doc)) return Status::failed;
        for (auto& e : doc["items"]) {
            Item it = toItem(e);
            if (it.label == label && it.description == description) out.push_back(it);
        }
        return Status::ok;
    }

    std::optional<std::string> password(const std::string& service, const std::string& account) override {
        std::lock_guard lock(mutex_);
        nlohmann::json doc;
        if (!load(doc)) return std::nullopt;
        for (auto& e : doc["items"]) {
            Item it = toItem(e);
            if (it.service == service && it.account == account) {
                auto p = e.find("password");
                if (p != e.end() && p->is_string()) return p->get<std::string>();
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    Status addItem(const Item& item, const std::string& password) override {
        std::lock_guard lock(mutex_);
        nlohmann::json doc;
        if (!load(doc)) return Status::failed;
        auto& items = doc["items"];
        nlohmann::json fresh = nlohmann::json::array();
        for (auto& e : items) {
            Item it = toItem(e);
            if (!(it.service == item.service && it.account == item.account)) fresh.push_back(e);
        }
        fresh.push_back({{"service", item.service},
                         {"account", item.account},
                         {"label", item.label},
                         {"description", item.description},
                         {"password", password}});
        doc["items"] = std::move(fresh);
        return store(doc) ? Status::ok : Status::failed;
    }

    Status deleteItem(const std::string& service, const std::string& account) override {
        std::lock_guard lock(mutex_);
        nlohmann::json doc;
        if (!load(doc)) return Status::failed;
        nlohmann::json fresh = nlohmann::json::array();
        bool removed = false;
        for (auto& e : doc["items"]) {
            Item it = toItem(e);
            if (it.service == service && it.account == account)
                removed = true;
            else
                fresh.push_back(e);
        }
        if (!removed) return Status::notFound;
        doc["items"] = std::move(fresh);
        return store(doc) ? Status::ok : Status::failed;
    }

    const char* kind() const override { return "file"; }

private:
    static Item toItem(const nlohmann::json& e) {
        auto get = [&](const char* k) {
            auto it = e.find(k);
            return it != e.end() && it->is_string() ? it->get<std::string>() : std::string();
        };
        return Item{get("service"), get("account"), get("label"), get("description")};
    }

    // A missing file is an empty store. A file with a mode wider than 0600, or not ours, is refused.
    bool load(nlohmann::json& doc) {
        doc = nlohmann::json{{"items", nlohmann::json::array()}};
        UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!fd) return errno == ENOENT;
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) != 0 ||
            st.st_uid != ::getuid())
            return false;
        std::string text;
        char buf[8192];
        for (;;) {
            ssize_t n = ::read(fd.get(), buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) break;
            text.append(buf, static_cast<size_t>(n));
            if (text.size() > (4u << 20)) return false;
        }
        if (text.empty()) return true;
        auto parsed = nlohmann::json::parse(text, nullptr, false);
        if (parsed.is_discarded() || !parsed.is_object()) return false;
        auto items = parsed.find("items");
        if (items == parsed.end() || !items->is_array()) return false;
        doc = std::move(parsed);
        return true;
    }

    bool store(const nlohmann::json& doc) {
        platform::makeFolders(platform::parentFolder(path_));
        std::string tmp = path_ + ".tmp." + std::to_string(::getpid());
        // A fresh file of our own: a stale temporary (perhaps with a wider mode) is never reused.
        ::unlink(tmp.c_str());
        UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd) return false;
        bool ok = ::fchmod(fd.get(), 0600) == 0;  // the umask must not matter
        ok = ok && writeAll(fd.get(), doc.dump(2)) && ::fsync(fd.get()) == 0;
        ok = fd.close() && ok;
        if (ok && ::rename(tmp.c_str(), path_.c_str()) != 0) ok = false;
        if (!ok) ::unlink(tmp.c_str());
        return ok;
    }

    std::string path_;
    std::mutex mutex_;
};

}  // namespace

std::unique_ptr<Keychain> makeSecretServiceKeychain() {
    if (!sessionBusLikely() || !secretServiceRunning()) return nullptr;
    GError* rawError = nullptr;
    std::unique_ptr<SecretService, ObjectDeleter> service(
        secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &rawError));
    Error error(rawError);
    if (error || !service) return nullptr;
    // A bus without a Secret Service still hands out a proxy; ask it something to be sure it answers.
    rawError = nullptr;
    bool answers = secret_service_load_collections_sync(service.get(), nullptr, &rawError);
    Error listError(rawError);
    if (!answers) return nullptr;
    return std::make_unique<SecretServiceKeychain>();
}

std::unique_ptr<Keychain> makeFileKeychain(std::string path) {
    return std::make_unique<FileKeychain>(std::move(path));
}

std::string defaultCredentialsFile() {
    return platform::configHome() + "/meridot/credentials.json";
}

Keychain& defaultKeychain() {
    static std::unique_ptr<Keychain> chosen = [] {
        auto ss = makeSecretServiceKeychain();
        return ss ? std::move(ss) : makeFileKeychain(defaultCredentialsFile());
    }();
    return *chosen;
}

}  // namespace tw::platform::keychain
