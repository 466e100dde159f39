// Small text helpers shared by the name mappings between the server's Windows-safe form and local names.
//
// Thread-safety: pure functions.
#pragma once

#include <string>

namespace tw {

// The UTF-8 form of the private-use character U+F0xx (xx < 0x40), which the server uses to stand for
// characters a Windows file system cannot hold.
inline std::string privateUse(unsigned low) {
    std::string s;
    s += static_cast<char>(0xEF);
    s += static_cast<char>(0x80 | ((low >> 6) & 0x03));
    s += static_cast<char>(0x80 | (low & 0x3F));
    return s;
}

// Replaces every occurrence of `from` (literal comparison, left to right, not re-scanning replacements).
inline void replaceAll(std::string& s, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    size_t pos = 0;
    while ((pos = s.find(from, pos)) != std::string::npos) {
        s.replace(pos, from.size(), to);
        pos += to.size();
    }
}

}  // namespace tw
