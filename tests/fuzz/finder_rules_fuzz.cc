// Feeds arbitrary bytes to the file-manager extension's readers: once as an item's attribute value
// (the UTF-8 gate, the badge and the menu decisions) and once as the shared watch-list file (read
// through the defaults layer, then the watch-list rules). Checks the decisions against what they promise
// rather than against a copy of themselves.
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>

#include "finder/BadgeRules.h"
#include "platform/defaults.h"
#include "platform/diagnostics.h"
#include "platform/overmark.h"
#include "platform/utf8.h"

using namespace tw::finder;

namespace {

void fail(const char* what) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

// Well-formed UTF-8 by the table of valid byte sequences (Unicode, table 3-7), independent of the
// validator under test.
bool wellFormed(std::string_view s) {
    auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = b(i);
        auto in = [&](size_t k, unsigned lo, unsigned hi) {
            return i + k < s.size() && b(i + k) >= lo && b(i + k) <= hi;
        };
        if (c <= 0x7F) {
            i += 1;
        } else if (c >= 0xC2 && c <= 0xDF && in(1, 0x80, 0xBF)) {
            i += 2;
        } else if (c == 0xE0 && in(1, 0xA0, 0xBF) && in(2, 0x80, 0xBF)) {
            i += 3;
        } else if (((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) && in(1, 0x80, 0xBF) &&
                   in(2, 0x80, 0xBF)) {
            i += 3;
        } else if (c == 0xED && in(1, 0x80, 0x9F) && in(2, 0x80, 0xBF)) {
            i += 3;
        } else if (c == 0xF0 && in(1, 0x90, 0xBF) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF)) {
            i += 4;
        } else if (c >= 0xF1 && c <= 0xF3 && in(1, 0x80, 0xBF) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF)) {
            i += 4;
        } else if (c == 0xF4 && in(1, 0x80, 0x8F) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF)) {
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

void checkAttributeText(const std::string& raw) {
    if (tw::platform::isValidUtf8(raw) != wellFormed(raw)) fail("UTF-8 validator disagrees with the table");
    // What the extension does with a value it read: unreadable text is no attribute at all.
    std::optional<std::string> text;
    if (raw.size() <= tw::overmark::kItemAttributeMaxSize && tw::platform::isValidUtf8(raw)) text = raw;
    const bool error = text && text->rfind("Status: Error", 0) == 0;
    for (bool off : {false, true}) {
        auto badge = badgeForAttributeText(text, off);
        if (!text && badge) fail("a badge without an attribute");
        if (error && badge != badgeNames::Error) fail("an error item without the error badge");
        if (!error && badge == badgeNames::Error) fail("an error badge on an item not in error");
        if (off && badge && *badge != badgeNames::Error) fail("a badge other than Error with badges off");
        if (badge && (*badge == badgeNames::Calculating || *badge == badgeNames::None))
            fail("a badge never set");

        for (size_t count : {0, 1, 2, 3}) {
            MenuOptions m = menuOptionsFor(count, text, off);
            if (count == 0 && (m.download || m.removeDownload || m.resolveError)) fail("a menu for nothing");
            if (count > 1 && (m.resolveError || m.download != !off || m.removeDownload != !off))
                fail("a multiple selection menu");
            if (count == 1) {
                if (!text && (m.download || m.removeDownload || m.resolveError))
                    fail("a menu without attribute");
                if (error != m.resolveError) fail("Resolve Error offered exactly for error items");
                if (error && (m.download || m.removeDownload))
                    fail("an error item offers more than Resolve Error");
                if (off && !error && (m.download || m.removeDownload)) fail("menu items with the menu off");
            }
        }
    }
}

void checkWatchList(const std::string& raw) {
    static const std::string file = [] {
        const char* tmp = getenv("TMPDIR");
        return std::string(tmp && *tmp ? tmp : "/tmp") + "/finder_rules_fuzz." + std::to_string(getpid()) +
               ".json";
    }();
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(raw.data(), static_cast<std::streamsize>(raw.size()));
    }
    tw::platform::Defaults suite(file, {});  // fresh: its warn-once memory must not grow across inputs
    auto value = suite.object("FinderWatchList");
    auto folders = watchListFromValue(value);
    if (!folders) {
        if (value && value->is_array()) fail("an array read as no list");
        return;
    }
    if (!value || !value->is_array()) fail("a list from something that is not an array");
    size_t next = 0;  // entries come out in the array's order
    for (const auto& folder : *folders) {
        if (folder.empty() || folder.front() != '/') fail("a folder that is not an absolute path");
        if (!isInsideFolders(folder, *folders)) fail("a folder not inside the list it came from");
        bool found = false;
        while (next < value->size() && !found) {
            const auto& e = (*value)[next++];
            found = e.is_string() && e.get<std::string>() == folder;
        }
        if (!found) fail("a folder that is not an entry of the list, in order");
        (void)folderTitle(folder);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tw::platform::setDiagnosticSink([](tw::platform::DiagnosticLevel, const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    checkAttributeText(raw);
    checkWatchList(raw);
    // A watch list is an object; wrap the bytes as the key's value so the array rules get exercised.
    checkWatchList("{\"FinderWatchList\": " + raw + "}");
    return 0;
}
