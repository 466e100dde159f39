#include "Pinewick/server/LocalFileDates.h"

#include "platform/files.h"

namespace tw {
namespace {

// A date the file system reports but no Date can hold reads as the epoch.
Date fromSeconds(double s) {
    return dateFromSeconds(s).value_or(Date{});
}

double toSeconds(Date d) {
    return std::chrono::duration<double>(d.time_since_epoch()).count();
}

}  // namespace

std::optional<LocalFileFacts> localFileFacts(const std::string& path) {
    auto a = platform::attributesOfItem(path);
    if (!a) return std::nullopt;
    return LocalFileFacts{static_cast<int64_t>(a->size), fromSeconds(a->creationDate),
                          fromSeconds(a->modificationDate)};
}

std::optional<Date> creationDate(const std::string& path) {
    auto f = localFileFacts(path);
    if (!f) return std::nullopt;
    return f->creationDate;
}

bool setCreationDate(const std::string& path, Date date) {
    return platform::setCreationDate(path, toSeconds(date));
}

}  // namespace tw
