// What one run of tidewell-uninstall tells, as lines of its standard output: first what was done, one
// line each, then "Kept N file(s) in FOLDER" when files were moved to the recovery folder, then one
// "Not done: ..." line for each thing that was left. The preferences' Uninstall pane reads the lines
// back to show the user the outcome; someone running it by hand reads the same report.
//
// Header only, so the pane reads the report without linking the uninstaller's work.
#pragma once

#include <charconv>
#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

namespace tw::uninstall {

inline constexpr const char* kNotDonePrefix = "Not done: ";

struct Outcome {
    std::vector<std::string> done;      // what was removed, stopped or is left for the user to do
    std::vector<std::string> problems;  // what could not be done, without the prefix
    std::string recoveredTo;            // the folder the kept files went to; empty when none did
    size_t filesRecovered = 0;
};

inline std::string recoveredLine(size_t count, const std::string& folder) {
    return "Kept " + std::to_string(count) + (count == 1 ? " file" : " files") + " in " + folder;
}

inline std::string problemLine(const std::string& problem) {
    return kNotDonePrefix + problem;
}

// Fills the recovery part of `outcome` from `line` when it is the "Kept N file(s) in FOLDER" line.
inline bool readRecoveredLine(const std::string& line, Outcome& outcome) {
    const std::string kept = "Kept ";
    if (line.rfind(kept, 0) != 0) return false;
    size_t count = 0;
    const char* first = line.data() + kept.size();
    const char* last = line.data() + line.size();
    auto [end, error] = std::from_chars(first, last, count);
    if (error != std::errc() || end == first) return false;
    const std::string rest(end, last);
    for (const std::string middle : {" file in ", " files in "}) {
        if (rest.size() > middle.size() && rest.compare(0, middle.size(), middle) == 0) {
            outcome.filesRecovered = count;
            outcome.recoveredTo = rest.substr(middle.size());
            return true;
        }
    }
    return false;
}

// The report in `output`, line by line. A line the format does not know counts as done, so nothing
// the uninstaller said is dropped.
inline Outcome parseOutcome(const std::string& output) {
    Outcome outcome;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line.rfind(kNotDonePrefix, 0) == 0) {
            outcome.problems.push_back(line.substr(std::char_traits<char>::length(kNotDonePrefix)));
            continue;
        }
        if (readRecoveredLine(line, outcome)) continue;
        outcome.done.push_back(line);
    }
    return outcome;
}

}  // namespace tw::uninstall
