// Lower-casing for texts that are not names: command words and the keys of tables by file type. Names
// and paths compared without regard to case go through platform/casefold.h instead.
//
// Thread-safety: pure functions.
#pragma once

#include <string>

namespace tw {

// The UTF-8 text lower-cased by Unicode's rules for no language in particular, so that "I" is "i" for a
// Turkish user too (invalid bytes become U+FFFD).
std::string lowercased(const std::string& utf8);

}  // namespace tw
