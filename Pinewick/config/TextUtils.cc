#include "Pinewick/config/TextUtils.h"

#include <unicode/unistr.h>

#include <string_view>

#include "platform/casefold.h"

namespace tw {

std::string lowercased(const std::string& utf8) {
    std::string out;
    icu::UnicodeString::fromUTF8(utf8).toLower().toUTF8String(out);
    return out;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return platform::foldedName(a) == platform::foldedName(b);
}

std::optional<std::string> restIfUnderIgnoringCase(const std::string& path, const std::string& folder) {
    // Slashes skipped, the next component returned.
    auto next = [](const std::string& s, size_t& i) {
        while (i < s.size() && s[i] == '/') ++i;
        size_t start = i;
        while (i < s.size() && s[i] != '/') ++i;
        return std::string_view(s).substr(start, i - start);
    };
    size_t p = 0, f = 0;
    for (;;) {
        std::string_view wanted = next(folder, f);
        if (wanted.empty()) break;
        std::string_view have = next(path, p);
        if (have.empty() || !platform::sameNameIgnoringCase(have, wanted)) return std::nullopt;
    }
    return path.substr(p);
}

}  // namespace tw
