#include "Larkspur/ItemRecord.h"

#include <errno.h>
#include <stdio.h>
#include <sys/xattr.h>

#include <charconv>
#include <string>

#include "Larkspur/Brindle.h"
#include "platform/overmark.h"
#include "platform/utf8.h"

namespace gw {

namespace {

// The record's attribute as the system calls name it, in the "user." namespace.
const std::string kRecordAttribute = std::string("user.") + tw::overmark::kItemAttributeName;
// The application reads no more than this; a longer record is absent to it, so it is to us.
constexpr std::size_t kMaxRecordSize = tw::overmark::kItemAttributeMaxSize;

// The value of the first line "KEY: value"; a last line without its line feed counts too.
std::string_view lineValue(std::string_view text, std::string_view key) {
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find('\n', from);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(from, end - from);
        if (line.size() >= key.size() + 2 && line.substr(0, key.size()) == key &&
            line.substr(key.size(), 2) == ": ")
            return line.substr(key.size() + 2);
        from = end + 1;
    }
    return {};
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

ItemRecord parseItemRecord(std::string_view text) {
    ItemRecord r;
    namespace om = tw::overmark;
    std::string_view status = lineValue(text, om::kStatusKey);
    if (status == om::kStatusPlaceholder || status == om::kStatusErrorPlaceholder ||
        status == om::kStatusRequireDownload)
        r.content = ItemRecord::Content::notLocal;
    else if (status == om::kStatusRegular || status == om::kStatusErrorRegular ||
             status == om::kStatusRequireUpload || status == om::kStatusLocalOnly)
        r.content = ItemRecord::Content::local;
    r.readOnly = equalsIgnoringAsciiCase(lineValue(text, om::kReadOnlyKey), "true");
    std::string_view size = lineValue(text, om::kServerFileSizeKey);
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(size.data(), size.data() + size.size(), value);
    if (ec == std::errc() && end == size.data() + size.size()) r.serverSize = value;
    return r;
}

ItemRecord readItemRecord(int fd) {
    // Through /proc because the attribute calls refuse O_PATH descriptors.
    char path[40];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    char value[kMaxRecordSize];
    ssize_t n;
    do {
        n = ::getxattr(path, kRecordAttribute.c_str(), value, sizeof value);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return {};
    std::string_view text(value, static_cast<std::size_t>(n));
    // The application reads a record that is not UTF-8 as no record.
    if (!tw::platform::isValidUtf8(text)) return {};
    return parseItemRecord(text);
}

}  // namespace gw
