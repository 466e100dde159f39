#include "platform/plist.h"

#include <plist/plist.h>

#include <cstdlib>
#include <limits>
#include <memory>

namespace tw::platform {

namespace {
struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;
}  // namespace

std::string binaryPlist(const PlistDictionary& dictionary) {
    PlistPtr dict(plist_new_dict());
    if (!dict) return "";
    for (const auto& [key, value] : dictionary) {
        plist_t item = nullptr;
        if (auto s = std::get_if<std::string>(&value))
            item = plist_new_string(s->c_str());
        else if (auto u = std::get_if<uint64_t>(&value))
            item = plist_new_uint(*u);
        else
            item = plist_new_bool(std::get<bool>(value) ? 1 : 0);
        plist_dict_set_item(dict.get(), key.c_str(), item);  // the dictionary owns the item now
    }
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict.get(), &bytes, &length);
    if (!bytes) return "";
    std::string out(bytes, length);
    plist_to_bin_free(bytes);
    return out;
}

std::optional<PlistDictionary> parsePlistDictionary(const std::string& data) {
    if (data.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    plist_t raw = nullptr;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &raw);
    PlistPtr root(raw);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
    PlistDictionary out;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(root.get(), &iter);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root.get(), iter, &key, &value);
        if (!key) break;
        std::string k(key);
        free(key);
        switch (plist_get_node_type(value)) {
            case PLIST_STRING: {
                uint64_t len = 0;
                const char* s = plist_get_string_ptr(value, &len);
                out[k] = std::string(s ? s : "", s ? len : 0);
                break;
            }
            case PLIST_UINT: {
                uint64_t u = 0;
                plist_get_uint_val(value, &u);
                out[k] = u;
                break;
            }
            case PLIST_BOOLEAN: {
                uint8_t b = 0;
                plist_get_bool_val(value, &b);
                out[k] = b != 0;
                break;
            }
            default:
                break;
        }
    }
    free(iter);
    return out;
}

}  // namespace tw::platform
