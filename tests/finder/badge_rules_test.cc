#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "finder/BadgeRules.h"

using namespace tw::finder;

namespace {

const std::string kPlaceholder = "Status: Placeholder\nRevision: 7\nFileType: NSFileTypeRegular\n";
const std::string kRegular = "Status: Regular\nRevision: 7\nServerFileSize: 12\n";
const std::string kErrorRegular = "Status: ErrorRegular\nRevision: 7\nError Status: Conflict\n";
const std::string kErrorPlaceholder = "Status: ErrorPlaceHolder\nError Status: PermissionDenied\n";
const std::string kUploadNew = "Status: RequireUpload\nFileType: NSFileTypeRegular\n";
const std::string kUploadChanged = "Status: RequireUpload\nRevision: 3\n";
const std::string kDownload = "Status: RequireDownload\nRevision: 3\n";
const std::string kUnknownNoRevision = "Status: Unknown\nFileType: NSFileTypeRegular\n";

struct BadgeCase {
    const char* what;
    std::optional<std::string> text;
    bool overlaysOff;
    std::optional<badgeNames> expected;
};

}  // namespace

TEST(BadgeRules, BadgeForEachStateWithBadgesOnAndOff) {
    const std::vector<BadgeCase> cases = {
        // The states the application writes.
        {"placeholder", kPlaceholder, false, badgeNames::Cloud},
        {"downloaded", kRegular, false, badgeNames::Local},
        {"new upload", kUploadNew, false, badgeNames::Upload},
        {"changed upload (has a revision)", kUploadChanged, false, badgeNames::Upload},
        {"pending download", kDownload, false, badgeNames::Download},
        {"error of a regular file", kErrorRegular, false, badgeNames::Error},
        {"error of a placeholder", kErrorPlaceholder, false, badgeNames::Error},
        // With badges off only the error is shown; the rest is left alone.
        {"error, badges off", kErrorRegular, true, badgeNames::Error},
        {"placeholder, badges off", kPlaceholder, true, std::nullopt},
        {"downloaded, badges off", kRegular, true, std::nullopt},
        {"upload, badges off", kUploadNew, true, std::nullopt},
        // No rule matches: no badge change.
        {"no attribute", std::nullopt, false, std::nullopt},
        {"empty attribute", std::string(), false, std::nullopt},
        {"regular without a revision", "Status: Regular\n", false, std::nullopt},
        {"unknown without a revision", kUnknownNoRevision, false, std::nullopt},
        // A revision without a downloaded state is on the server only.
        {"unknown with a revision", "Status: Unknown\nRevision: 9\n", false, badgeNames::Cloud},
        {"conflict revision counts as a revision", "Status: Regular\nConflictRevision: 2\n", false,
         badgeNames::Local},
        // Prefixes are whole state names with their line end.
        {"state name with a suffix", "Status: RegularX\nRevision: 1\n", false, badgeNames::Cloud},
        {"upload state without its line end", "Status: RequireUpload", false, std::nullopt},
        {"status not on the first line", "Revision: 1\nStatus: Regular\n", false, badgeNames::Cloud},
        {"lower-case status", "status: Error\n", false, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(badgeForAttributeText(c.text, c.overlaysOff), c.expected) << c.what;
}

TEST(BadgeRules, EmblemNamesAreTheThemedIconNamesWithoutPrefix) {
    EXPECT_EQ(emblemName(badgeNames::Cloud), "tidewell-cloud");
    EXPECT_EQ(emblemName(badgeNames::Local), "tidewell-local");
    EXPECT_EQ(emblemName(badgeNames::Error), "tidewell-error");
    EXPECT_EQ(emblemName(badgeNames::Download), "tidewell-download");
    EXPECT_EQ(emblemName(badgeNames::Upload), "tidewell-upload");
    EXPECT_EQ(emblemName(badgeNames::None), "");
    EXPECT_EQ(emblemName(badgeNames::Calculating), "");
    EXPECT_STREQ(rawValue(badgeNames::Calculating), "Calculating");
    EXPECT_STREQ(rawValue(badgeNames::Upload), "Upload");
}

namespace {
struct MenuCase {
    const char* what;
    size_t count;
    std::optional<std::string> text;
    bool menuOff;
    MenuOptions expected;  // removeDownload, download, resolveError
};
}  // namespace

// The progress attribute as the application writes it, and whatever else may be found there: only a
// fraction from 0 to 1 counts, read the same whatever the file manager's locale, and the ring moves in
// tenths of the transfer.
TEST(BadgeRules, ProgressFromTheAttributeAndItsRing) {
    const std::vector<std::pair<std::optional<std::string>, std::optional<int>>> texts = {
        {"0.42", 42},   {"0.01", 1},  {"0.99", 99},  {"0.29", 29}, {"0", 0},     {"1", 100},
        {"1.00", 100},  {"0.5", 50},  {"0.999", 99}, {"0.", 0},    {"1.01", {}}, {"2", {}},
        {"-0.1", {}},   {"0,42", {}}, {".5", {}},    {"", {}},     {{}, {}},     {"0.4a", {}},
        {"0.42\n", {}}, {"1e-1", {}}, {" 0.4", {}},  {"00.4", {}}, {"0x1", {}},  {std::string(40, '0'), {}},
    };
    for (const auto& [text, percent] : texts)
        EXPECT_EQ(progressPercent(text), percent) << (text ? "\"" + *text + "\"" : "none");

    EXPECT_EQ(progressEmblemName(badgeNames::Download, 0), "tidewell-download-0");
    EXPECT_EQ(progressEmblemName(badgeNames::Download, 9), "tidewell-download-0");
    EXPECT_EQ(progressEmblemName(badgeNames::Download, 42), "tidewell-download-40");
    EXPECT_EQ(progressEmblemName(badgeNames::Upload, 99), "tidewell-upload-90");
    // A whole transfer is over: its ring never shows "100", the item is about to change state.
    EXPECT_EQ(progressEmblemName(badgeNames::Upload, 100), "tidewell-upload-90");
    for (auto other : {badgeNames::Cloud, badgeNames::Local, badgeNames::Error, badgeNames::None})
        EXPECT_EQ(progressEmblemName(other, 50), "") << rawValue(other);
}

TEST(BadgeRules, MenuOptionsForSelections) {
    const MenuOptions none{false, false, false};
    const std::vector<MenuCase> cases = {
        {"placeholder offers only Download", 1, kPlaceholder, false, {false, true, false}},
        {"downloaded offers only Remove download", 1, kRegular, false, {true, false, false}},
        {"pending download can be removed", 1, kDownload, false, {true, false, false}},
        {"error offers only Resolve Error", 1, kErrorRegular, false, {false, false, true}},
        {"error with the menu off still offers Resolve Error",
         1,
         kErrorPlaceholder,
         true,
         {false, false, true}},
        {"no revision, not uploading, offers both", 1, kUnknownNoRevision, false, {true, true, false}},
        {"new upload offers nothing", 1, kUploadNew, false, none},
        {"changed upload (revision, not placeholder or regular) offers nothing", 1, kUploadChanged, false,
         none},
        {"no attribute offers nothing", 1, std::nullopt, false, none},
        {"placeholder with the menu off", 1, kPlaceholder, true, none},
        {"no revision with the menu off", 1, kUnknownNoRevision, true, none},
        {"three items offer Download and Remove download", 3, std::nullopt, false, {true, true, false}},
        // A multiple selection is never read, so an error among the items does not change it.
        {"two items, text ignored", 2, kErrorRegular, false, {true, true, false}},
        {"three items with the menu off", 3, std::nullopt, true, none},
        {"nothing selected", 0, kPlaceholder, false, none},
    };
    for (const auto& c : cases) EXPECT_EQ(menuOptionsFor(c.count, c.text, c.menuOff), c.expected) << c.what;
}

TEST(BadgeRules, WatchListValue) {
    EXPECT_EQ(watchListFromValue(std::nullopt), std::nullopt) << "absent key";
    EXPECT_EQ(watchListFromValue(nlohmann::json("/Volumes/Docs")), std::nullopt) << "a string, not an array";
    EXPECT_EQ(watchListFromValue(nlohmann::json::object()), std::nullopt);
    EXPECT_EQ(watchListFromValue(nlohmann::json::array()), std::vector<std::string>{});

    auto mixed = nlohmann::json::parse(R"(["/Volumes/Docs", 3, null, {"a": 1}, ["/x"], "relative/path", "",
                                          "/home/u/Work", true])");
    EXPECT_EQ(watchListFromValue(mixed), (std::vector<std::string>{"/Volumes/Docs", "/home/u/Work"}));
}

TEST(BadgeRules, InsideWatchedFolders) {
    const std::vector<std::string> folders = {"/Volumes/Docs", "/home/u/Work/"};
    EXPECT_TRUE(isInsideFolders("/Volumes/Docs", folders));
    EXPECT_TRUE(isInsideFolders("/Volumes/Docs/a.txt", folders));
    EXPECT_TRUE(isInsideFolders("/Volumes/Docs/sub/deep/b", folders));
    EXPECT_TRUE(isInsideFolders("/home/u/Work/x", folders)) << "trailing slash in the list";
    EXPECT_TRUE(isInsideFolders("/home/u/Work", folders));
    EXPECT_FALSE(isInsideFolders("/Volumes/Docs2/a.txt", folders)) << "a sibling sharing the prefix";
    EXPECT_FALSE(isInsideFolders("/Volumes", folders));
    EXPECT_FALSE(isInsideFolders("", folders));
    EXPECT_FALSE(isInsideFolders("/Volumes/Docs/a", {}));
    EXPECT_TRUE(isInsideFolders("/anything", {"/"}));

    EXPECT_EQ(folderTitle("/Volumes/Docs"), "Docs");
    EXPECT_EQ(folderTitle("/Volumes/Docs/"), "Docs");
    EXPECT_EQ(withoutTrailingSlash("/"), "/");
    EXPECT_EQ(withoutTrailingSlash("/a//"), "/a");
}
