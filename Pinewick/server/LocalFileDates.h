// Creation and modification dates of local files. Linux cannot set a birth time, so a creation date
// that was set is kept in the extended attribute user.com.meridot.creationdate (seconds since 1970,
// decimal) and takes precedence over the birth time.
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
// False when the attribute cannot be written.
bool setCreationDate(const std::string& path, Date date);

}  // namespace tw
