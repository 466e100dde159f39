// Reproducible file contents for transfer tests: every byte value occurs, and the same seed gives the
// same bytes in every test and process.
#pragma once

#include <random>
#include <string>

namespace tw::test {

inline std::string randomBytes(size_t n, unsigned seed = 7) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

}  // namespace tw::test
