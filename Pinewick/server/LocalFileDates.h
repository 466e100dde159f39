// Size and dates of local files as the server code uses them (instants rather than seconds).
//
// Thread-safety: plain system calls; callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Pinewick/server/ServerEnvironment.h"

namespace tw {

struct LocalFileFacts {
    int64_t size = 0;
    Date creationDate;
    Date modificationDate;
};

// Size and dates of `path`, or nothing when it cannot be examined.
std::optional<LocalFileFacts> localFileFacts(const std::string& path);
std::optional<Date> creationDate(const std::string& path);
// False when the creation date cannot be recorded.
bool setCreationDate(const std::string& path, Date date);

}  // namespace tw
