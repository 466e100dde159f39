// Reads what the shared logger wrote so far (tests that check log lines link tw_config).
#pragma once

#include <string>

#include "Pinewick/config/Logger.h"
#include "support/temp_dir.h"

namespace tw::test {

inline std::string sharedLogText() {
    Logger::sharedInstance().flush();
    return readFile(Logger::sharedInstance().logPath());
}

// True when the shared log holds `needle` somewhere after byte `from`.
inline bool logContains(const std::string& needle, size_t from = 0) {
    std::string text = sharedLogText();
    return text.size() >= from && text.find(needle, from) != std::string::npos;
}

inline size_t logSize() {
    return sharedLogText().size();
}

// How many times `what` stands in `text` (overlapping occurrences counted).
inline size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

}  // namespace tw::test
