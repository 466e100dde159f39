// Unicode-aware text helpers for comparisons "without regard to case".
//
// Thread-safety: pure functions.
#pragma once

#include <optional>
#include <string>

namespace tw {

// The UTF-8 text lower-cased by Unicode rules (invalid bytes become U+FFFD).
std::string lowercased(const std::string& utf8);
// Names and paths compared as the server and the mount compare them: full case folding, so "Straße"
// and "STRASSE" are one name; text that is not UTF-8 keeps its bytes apart.
bool equalsIgnoringCase(const std::string& a, const std::string& b);
// When `path` is `folder` or lies in it, component by component without regard to case, the rest of
// `path` after the folder's components, in its own spelling ("" or starting with "/").
std::optional<std::string> restIfUnderIgnoringCase(const std::string& path, const std::string& folder);

}  // namespace tw
