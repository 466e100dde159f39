// Comparing names without regard to case, as the server does: Unicode full case folding of UTF-8.
//
// Thread-safety: pure functions; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tw::platform {

// The case-folded form of a UTF-8 name (full folding: "Straße" and "STRASSE" fold alike), composed
// first, so a decomposed spelling ("e" and a combining accent) folds like the composed one. A name
// that is not valid UTF-8 has only its ASCII letters folded, so distinct bytes stay distinct rather
// than all becoming the same replacement character.
std::string foldedName(std::string_view utf8);

// Whether two names are equal without regard to case; cheap when both are ASCII.
bool sameNameIgnoringCase(std::string_view a, std::string_view b);

// When `path` is `folder` or lies inside it, names compared one by one without regard to case, the rest
// of `path` below the folder in the path's own spelling: "" for the folder itself, else "/" and the
// rest. None when `path` lies elsewhere. Not a byte prefix: a name may fold to another length
// ("Stra\u00dfe", "STRASSE"). Runs of slashes count as one; a slash ending `folder` is ignored.
std::optional<std::string_view> restBelowFolderIgnoringCase(std::string_view path, std::string_view folder);

// A name folded once, to be compared with many (the entries of a folder).
class CaselessName {
public:
    explicit CaselessName(std::string_view utf8);
    // Whether `other` equals this name without regard to case.
    bool matches(std::string_view other) const;

private:
    std::string folded_;
    bool ascii_;
};

}  // namespace tw::platform
