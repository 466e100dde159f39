// Feeds arbitrary bytes to the record decoder as an attribute text, then checks that what it decoded
// agrees with a plain line-by-line reading of the same text and that encode/decode is a fixed point.
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Pinewick/config/Logger.h"
#include "Pinewick/metadata/CorvaneExtendedAttributes.h"

using namespace tw;

namespace {

void fail(const char* what, const std::string& text) {
    fprintf(stderr, "invariant broken: %s\ninput: %s\n", what, text.c_str());
    abort();
}

// The reference reading: complete lines only; the first line that starts with "key: " gives the value.
std::vector<std::string_view> completeLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            lines.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return lines;
}

const std::string_view* firstValue(const std::vector<std::string_view>& lines, const std::string& key,
                                   std::string_view* out) {
    std::string prefix = key + ": ";
    for (const auto& line : lines) {
        if (line.substr(0, prefix.size()) == prefix) {
            *out = line.substr(prefix.size());
            return &line;
        }
    }
    return nullptr;
}

bool sameValues(CorvaneExtendedAttributes& a, CorvaneExtendedAttributes& b) {
    return a.ceaStatus.status == b.ceaStatus.status && a.ceaBool.boolValues == b.ceaBool.boolValues &&
           a.ceaString.stringValues == b.ceaString.stringValues &&
           a.ceaLong.longValues == b.ceaLong.longValues && a.ceaDate.dateValues == b.ceaDate.dateValues &&
           a.ceaErrorStatus.status == b.ceaErrorStatus.status &&
           a.ceaErrorStatus.genre == b.ceaErrorStatus.genre;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Keep the logger's file out of the user's real folders, and quiet.
    char templ[] = "/tmp/tw-fuzz-XXXXXX";
    if (mkdtemp(templ)) {
        setenv("HOME", templ, 1);
        setenv("XDG_STATE_HOME", templ, 1);
        setenv("XDG_DATA_HOME", templ, 1);
    }
    Logger::sharedInstance().setLogLevel(Logger::logLevels::off);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    CorvaneExtendedAttributes first("/fuzz/item", text);
    if (first.hasChanges()) fail("decoding marked the record changed", text);

    // Agreement with the reference reading for the keys whose value is taken as is.
    auto lines = completeLines(text);
    for (auto key : CEAString::enumerate) {
        std::string_view expected;
        bool present = firstValue(lines, CEAString::rawValue(key), &expected) != nullptr;
        auto got = first.ceaString.getAttribute(key);
        if (present != got.has_value() || (present && *got != expected)) fail("string value differs", text);
    }
    for (auto key : CEABool::enumerate) {
        std::string_view v;
        bool expected = false;
        if (firstValue(lines, CEABool::rawValue(key), &v) && v.size() == 4) {
            expected =
                (v[0] | 0x20) == 't' && (v[1] | 0x20) == 'r' && (v[2] | 0x20) == 'u' && (v[3] | 0x20) == 'e';
        }
        if (first.ceaBool.getAttribute(key) != expected) fail("flag value differs", text);
    }
    {
        std::string_view v;
        auto expected = CEAStatus::keys::Unknown;
        if (firstValue(lines, "Status", &v)) {
            if (auto k = CEAStatus::fromRaw(std::string(v))) expected = *k;
        }
        if (first.ceaStatus.status != expected) fail("state differs", text);
    }

    // encode -> decode -> encode is a fixed point with the same values.
    std::string encoded = first.encode();
    if (!encoded.empty() && encoded.back() != '\n') fail("encoding does not end with a line feed", text);
    CorvaneExtendedAttributes second("/fuzz/item", encoded);
    if (!sameValues(first, second)) fail("values changed through encode/decode", text);
    if (second.encode() != encoded) fail("encoding is not stable", text);
    return 0;
}
