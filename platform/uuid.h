// Random (version 4) UUIDs in the upper-case hyphenated form the system writes everywhere: upload
// identifiers, the UUIDs of in-place volumes.
//
// Thread-safety: safe from any thread.
#pragma once

#include <string>

namespace tw::platform {

// "8-4-4-4-12" upper-case hexadecimal digits from the kernel's random source.
std::string newUUID();

}  // namespace tw::platform
