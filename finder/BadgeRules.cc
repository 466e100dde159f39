#include "finder/BadgeRules.h"

#include <algorithm>

#include "platform/diagnostics.h"
#include "platform/overmark.h"
#include "platform/paths.h"

namespace tw::finder {

namespace {

constexpr std::string_view kError = overmark::kStatusErrorPrefix;
constexpr std::string_view kRequireUpload = overmark::kStatusRequireUploadLine;
constexpr std::string_view kRequireDownload = overmark::kStatusRequireDownloadLine;
constexpr std::string_view kRegular = overmark::kStatusRegularLine;
constexpr std::string_view kPlaceholder = overmark::kStatusPlaceholderLine;
constexpr std::string_view kRevision = overmark::kRevisionPrefix;

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

}  // namespace

const char* rawValue(badgeNames badge) {
    switch (badge) {
        case badgeNames::Calculating:
            return "Calculating";
        case badgeNames::None:
            return "None";
        case badgeNames::Cloud:
            return "Cloud";
        case badgeNames::Local:
            return "Local";
        case badgeNames::Error:
            return "Error";
        case badgeNames::Download:
            return "Download";
        case badgeNames::Upload:
            return "Upload";
    }
    return "None";
}

std::string emblemName(badgeNames badge) {
    switch (badge) {
        case badgeNames::Cloud:
            return "tidewell-cloud";
        case badgeNames::Local:
            return "tidewell-local";
        case badgeNames::Error:
            return "tidewell-error";
        case badgeNames::Download:
            return "tidewell-download";
        case badgeNames::Upload:
            return "tidewell-upload";
        case badgeNames::Calculating:
        case badgeNames::None:
            break;
    }
    return "";
}

std::optional<int> progressPercent(const std::optional<std::string>& text) {
    // "0.42", "1", "1.00": a whole part of 0 or 1 and optional decimals, read by hand rather than with
    // strtod, whose decimal point is the file manager's locale's.
    if (!text || text->empty() || text->size() > 16) return std::nullopt;
    const std::string& t = *text;
    if (t[0] != '0' && t[0] != '1') return std::nullopt;
    int percent = (t[0] - '0') * 100;
    if (t.size() > 1) {
        if (t[1] != '.') return std::nullopt;
        int scale = 10;
        for (size_t i = 2; i < t.size(); ++i) {
            if (t[i] < '0' || t[i] > '9') return std::nullopt;
            if (scale > 0) percent += (t[i] - '0') * scale;
            scale /= 10;
            // Anything but zeros after a whole one is more than everything.
            if (t[0] == '1' && t[i] != '0') return std::nullopt;
        }
    }
    return percent;
}

std::string progressEmblemName(badgeNames badge, int percent) {
    std::string base;
    if (badge == badgeNames::Download)
        base = "tidewell-download-";
    else if (badge == badgeNames::Upload)
        base = "tidewell-upload-";
    else
        return "";
    int tenths = std::clamp(percent, 0, 99) / 10;
    return base + std::to_string(tenths * 10);
}

std::optional<badgeNames> badgeForAttributeText(const std::optional<std::string>& text,
                                                bool disabledOverlays) {
    if (!text) return std::nullopt;
    const std::string_view t = *text;
    if (t.starts_with(kError)) return badgeNames::Error;
    if (disabledOverlays) return std::nullopt;
    if (t.starts_with(kRequireUpload)) return badgeNames::Upload;
    if (t.starts_with(kRequireDownload)) return badgeNames::Download;
    if (contains(t, kRevision)) return t.starts_with(kRegular) ? badgeNames::Local : badgeNames::Cloud;
    return std::nullopt;
}

MenuOptions menuOptionsFor(size_t selectedCount, const std::optional<std::string>& singleItemText,
                           bool disabledMenu) {
    MenuOptions none;
    if (selectedCount > 1) return disabledMenu ? none : MenuOptions{true, true, false};
    if (selectedCount == 0 || !singleItemText) return none;
    const std::string_view t = *singleItemText;
    if (t.starts_with(kError)) return MenuOptions{false, false, true};
    if (disabledMenu) return none;
    if (contains(t, kRevision))
        return MenuOptions{t.starts_with(kRegular) || t.starts_with(kRequireDownload),
                           t.starts_with(kPlaceholder), false};
    // Never on the server yet: what the user may ask for depends on whether it is waiting to go up.
    const bool offer = !t.starts_with(kRequireUpload);
    return MenuOptions{offer, offer, false};
}

std::optional<std::vector<std::string>> watchListFromValue(const std::optional<nlohmann::json>& value) {
    if (!value) return std::nullopt;
    if (!value->is_array()) {
        platform::reportDiagnostic(platform::DiagnosticLevel::warning,
                                   "The watch list is not an array (" + std::string(value->type_name()) +
                                       "); the watched folders stay as they were.");
        return std::nullopt;
    }
    std::vector<std::string> folders;
    for (const auto& entry : *value) {
        if (!entry.is_string()) {
            platform::reportDiagnostic(
                platform::DiagnosticLevel::warning,
                "Skipped a watch list entry that is not a string (" + std::string(entry.type_name()) + ").");
            continue;
        }
        const auto& folder = entry.get_ref<const std::string&>();
        // A relative or empty entry would match every path or none; neither is a folder we were given.
        if (folder.empty() || folder.front() != '/') {
            platform::reportDiagnostic(
                platform::DiagnosticLevel::warning,
                "Skipped a watch list entry that is not an absolute path: \"" + folder + "\"");
            continue;
        }
        folders.push_back(folder);
    }
    return folders;
}

std::string withoutTrailingSlash(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

bool isInsideFolders(const std::string& path, const std::vector<std::string>& folders) {
    for (const auto& raw : folders) {
        const std::string folder = withoutTrailingSlash(raw);
        if (folder.empty()) continue;
        if (path == folder || platform::isInsideFolder(path, folder)) return true;
    }
    return false;
}

std::string folderTitle(const std::string& folder) {
    return platform::lastPathComponent(withoutTrailingSlash(folder));
}

}  // namespace tw::finder
