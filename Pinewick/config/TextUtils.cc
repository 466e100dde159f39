#include "Pinewick/config/TextUtils.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace tw {

std::string lowercased(const std::string& utf8) {
    std::string out;
    icu::UnicodeString::fromUTF8(utf8).toLower(icu::Locale::getRoot()).toUTF8String(out);
    return out;
}

}  // namespace tw
