#include "platform/casefold.h"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/ucasemap.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <memory>

namespace tw::platform {

namespace {

bool isAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

std::string asciiFolded(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), asciiLower);
    return out;
}

bool validUtf8(std::string_view s) {
    int32_t i = 0, n = static_cast<int32_t>(s.size());
    while (i < n) {
        UChar32 c;
        U8_NEXT(s.data(), i, n, c);
        if (c < 0) return false;
    }
    return true;
}

}  // namespace

// The composed (NFC) spelling: canonically equivalent names are one name, as the server holds
// them composed. The name itself when it cannot be composed.
static std::string composed(std::string_view utf8) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return std::string(utf8);
    std::string out;
    icu::StringByteSink<std::string> sink(&out);
    nfc->normalizeUTF8(0, icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())), sink, nullptr,
                       status);
    if (U_FAILURE(status)) return std::string(utf8);
    return out;
}

std::string foldedName(std::string_view name) {
    if (isAscii(name)) return asciiFolded(name);
    if (!validUtf8(name) || name.size() > INT32_MAX / 4) return asciiFolded(name);
    const std::string nfc = composed(name);
    const std::string_view utf8 = nfc;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UCaseMap, void (*)(UCaseMap*)> map(ucasemap_open("", U_FOLD_CASE_DEFAULT, &status),
                                                       ucasemap_close);
    if (U_FAILURE(status)) return asciiFolded(utf8);
    // Folding grows a name at most threefold; one retry covers any miscount.
    std::string out(utf8.size() * 3 + 4, '\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        status = U_ZERO_ERROR;
        int32_t len = ucasemap_utf8FoldCase(map.get(), out.data(), static_cast<int32_t>(out.size()),
                                            utf8.data(), static_cast<int32_t>(utf8.size()), &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            out.assign(static_cast<size_t>(len) + 1, '\0');
            continue;
        }
        if (U_FAILURE(status)) return asciiFolded(utf8);
        out.resize(static_cast<size_t>(len));
        return out;
    }
    return asciiFolded(utf8);
}

bool sameNameIgnoringCase(std::string_view a, std::string_view b) {
    // Both ASCII, as nearly every name is: compared in place, nothing folded into a copy.
    if (isAscii(a) && isAscii(b))
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return asciiLower(x) == asciiLower(y);
               });
    return foldedName(a) == foldedName(b);
}

std::optional<std::string_view> restBelowFolderIgnoringCase(std::string_view path, std::string_view folder) {
    // The next name from `i` on, slashes before it skipped; empty at the end.
    auto next = [](std::string_view s, size_t& i) {
        while (i < s.size() && s[i] == '/') ++i;
        const size_t start = i;
        while (i < s.size() && s[i] != '/') ++i;
        return s.substr(start, i - start);
    };
    size_t p = 0, f = 0;
    for (;;) {
        const std::string_view wanted = next(folder, f);
        if (wanted.empty()) break;
        const std::string_view have = next(path, p);
        if (have.empty() || !sameNameIgnoringCase(have, wanted)) return std::nullopt;
    }
    return path.substr(p);
}

CaselessName::CaselessName(std::string_view utf8) : folded_(foldedName(utf8)), ascii_(isAscii(utf8)) {}

bool CaselessName::matches(std::string_view other) const {
    // Both ASCII: folding is ASCII lower-casing. Otherwise fold fully: a name of non-ASCII letters
    // may fold to an ASCII one (the Kelvin sign to "k", "ß" to "ss").
    if (ascii_ && isAscii(other)) {
        return other.size() == folded_.size() &&
               std::equal(other.begin(), other.end(), folded_.begin(),
                          [](char x, char f) { return asciiLower(x) == f; });
    }
    return foldedName(other) == folded_;
}

}  // namespace tw::platform
