#include "platform/keyfile.h"

#include <vector>

namespace tw::platform {
namespace {

std::string trimmed(const std::string& s) {
    size_t begin = s.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    size_t end = s.find_last_not_of(" \t\r");
    return s.substr(begin, end - begin + 1);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) out += p + "\n";
    return out;
}

// The group a "[Group]" line opens, or none for any other line.
std::optional<std::string> groupOf(const std::string& line) {
    std::string t = trimmed(line);
    if (t.size() < 2 || t.front() != '[' || t.back() != ']') return std::nullopt;
    return t.substr(1, t.size() - 2);
}

bool isComment(const std::string& line) {
    std::string t = trimmed(line);
    return t.empty() || t[0] == '#' || t[0] == ';';
}

// The key of a "key=value" line, or none.
std::optional<std::string> keyOf(const std::string& line) {
    if (isComment(line) || groupOf(line)) return std::nullopt;
    size_t eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    return trimmed(line.substr(0, eq));
}

}  // namespace

std::optional<std::string> keyFileValue(const std::string& text, const std::string& group,
                                        const std::string& key) {
    std::optional<std::string> current;
    for (const auto& line : lines(text)) {
        if (auto g = groupOf(line)) {
            current = *g;
            continue;
        }
        if (current != group) continue;
        if (keyOf(line) == key) return trimmed(line.substr(line.find('=') + 1));
    }
    return std::nullopt;
}

std::string setKeyFileValue(const std::string& text, const std::string& group, const std::string& key,
                            const std::string& value) {
    const std::string entry = key + "=" + value;
    std::vector<std::string> out;
    std::optional<std::string> current;
    bool written = false;
    std::optional<size_t> lastOfGroup;  // where a new entry of the group goes: after its last line
    for (const auto& line : lines(text)) {
        if (auto g = groupOf(line)) {
            current = *g;
            out.push_back(line);
            if (current == group && !lastOfGroup) lastOfGroup = out.size();
            continue;
        }
        if (current == group) {
            if (keyOf(line) == key) {
                if (written) continue;  // a second entry of the key would be read instead of ours
                out.push_back(entry);
                written = true;
                continue;
            }
            out.push_back(line);
            if (!trimmed(line).empty()) lastOfGroup = out.size();
            continue;
        }
        out.push_back(line);
    }
    if (written) return joined(out);
    if (lastOfGroup) {
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(*lastOfGroup), entry);
        return joined(out);
    }
    if (!out.empty() && !trimmed(out.back()).empty()) out.push_back("");
    out.push_back("[" + group + "]");
    out.push_back(entry);
    return joined(out);
}

std::string removeKeyFileValue(const std::string& text, const std::string& group, const std::string& key) {
    std::vector<std::string> out;
    std::optional<std::string> current;
    for (const auto& line : lines(text)) {
        if (auto g = groupOf(line)) current = *g;
        if (current == group && keyOf(line) == key) continue;
        out.push_back(line);
    }
    return joined(out);
}

}  // namespace tw::platform
