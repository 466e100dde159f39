// UTF-8 as the system carries names and records: strict, so that two parts of the system never
// disagree on whether a text is usable.
//
// Thread-safety: a pure function.
#pragma once

#include <string_view>

namespace tw::platform {

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF, no
// sequence cut short. NUL is a character like any other.
bool isValidUtf8(std::string_view bytes);

}  // namespace tw::platform
