// The process-wide logger under a short name, for code that logs as it goes:
// `log().logWarning("...")`. Code that is handed a logger of its own (tests) uses that one instead.
//
// Thread-safety: as Logger.
#pragma once

#include "Pinewick/config/Logger.h"

namespace tw {

inline Logger& log() {
    return Logger::sharedInstance();
}

}  // namespace tw
