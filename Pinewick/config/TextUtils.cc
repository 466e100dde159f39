#include "Pinewick/config/TextUtils.h"

#include <unicode/unistr.h>

namespace tw {

std::string lowercased(const std::string& utf8) {
    std::string out;
    icu::UnicodeString::fromUTF8(utf8).toLower().toUTF8String(out);
    return out;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return lowercased(a) == lowercased(b);
}

bool hasPrefixIgnoringCase(const std::string& text, const std::string& prefix) {
    std::string t = lowercased(text), p = lowercased(prefix);
    return t.compare(0, p.size(), p) == 0;
}

}  // namespace tw
