// Numbers as decimal text, the way records and attributes keep them: exactly, in the C locale, and
// read back only when the whole text is the number.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tw::platform {

// The unsigned number `text` spells in decimal digits and nothing else (no sign, no space); none for
// an empty text, any other character, or a value past 2^64 - 1.
std::optional<uint64_t> parseDecimal(std::string_view text);
// The finite number `text` spells ("0.42", "-1.5e3"; no leading "+", no space); none for anything
// else, infinities and NaN included.
std::optional<double> parseFiniteDecimal(std::string_view text);

// The shortest decimal text that reads back as `value` ("0.42", "1e+300"); "0" should it not fit.
std::string shortestDecimal(double value);

}  // namespace tw::platform
