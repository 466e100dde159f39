// Unicode-aware text helpers for comparisons "without regard to case".
//
// Thread-safety: pure functions.
#pragma once

#include <string>

namespace tw {

// The UTF-8 text lower-cased by Unicode rules (invalid bytes become U+FFFD).
std::string lowercased(const std::string& utf8);
bool equalsIgnoringCase(const std::string& a, const std::string& b);
bool hasPrefixIgnoringCase(const std::string& text, const std::string& prefix);

}  // namespace tw
