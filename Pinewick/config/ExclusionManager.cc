#include "Pinewick/config/ExclusionManager.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include "Pinewick/config/Log.h"
#include "platform/casefold.h"

namespace tw {
namespace {
constexpr std::string_view kPathPrefix = "filePath= ";
constexpr std::string_view kExtPrefix = "ext= ";
constexpr std::string_view kSizePrefix = "size>= ";
constexpr std::string_view kAnd = " AND ";

std::string valueText(const nlohmann::ordered_json& v) {
    return v.is_string() ? v.get<std::string>()
                         : v.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

ExclusionManager::ExclusionManager() = default;
ExclusionManager::~ExclusionManager() = default;

void ExclusionManager::parseRules(const nlohmann::ordered_json& rules) {
    if (!rules.is_object()) return;
    for (auto it = rules.begin(); it != rules.end(); ++it) {
        const std::string& name = it.key();
        if (!it.value().is_string()) {
            log().logWarning("Cannot resolve rule " + name + ": " + valueText(it.value()));
            continue;
        }
        std::string text = it.value().get<std::string>();
        if (text.starts_with(kPathPrefix)) {
            extractFilePathRule(name, text);
        } else if (text.find(kAnd) != std::string::npos) {
            extractCombineRule(name, text);
        } else if (text.starts_with(kExtPrefix)) {
            extractExtensionRule(name, text);
        } else if (text.starts_with(kSizePrefix)) {
            extractSizeRule(name, text);
        } else {
            log().logWarning("Cannot resolve rule " + name + ": " + text);
        }
    }
}

void ExclusionManager::extractFilePathRule(const std::string& name, const std::string& rule) {
    if (rule.size() <= kPathPrefix.size()) {
        log().logWarning("No expression found for rule " + rule);
        return;
    }
    std::string pattern = rule.substr(kPathPrefix.size());
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8(pattern), UREGEX_CASE_INSENSITIVE, parseError, status));
    if (U_FAILURE(status) || !compiled) {
        log().logWarning("Could not evaluate " + pattern);
        return;
    }
    pathRules_[name] = std::move(compiled);
}

void ExclusionManager::extractExtensionRule(const std::string& name, const std::string& rule) {
    if (rule.size() <= kExtPrefix.size()) {
        log().logWarning("No expression found for rule " + rule);
        return;
    }
    extensionRules_[name] = rule.substr(kExtPrefix.size()) + "/";
}

void ExclusionManager::extractSizeRule(const std::string& name, const std::string& rule) {
    if (rule.size() <= kSizePrefix.size()) {
        log().logWarning("No expression found for rule " + rule);
        return;
    }
    std::string rest = rule.substr(kSizePrefix.size());
    uint64_t value = 0;
    bool ok = !rest.empty();
    for (char c : rest) {
        if (c < '0' || c > '9') {
            ok = false;
            break;
        }
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {  // would not fit 64 bits
            ok = false;
            break;
        }
        value = value * 10 + digit;
    }
    if (!ok) {
        log().logWarning("could not extract a number from " + rest);
        return;
    }
    sizeRules_[name] = value;
}

void ExclusionManager::extractCombineRule(const std::string& name, const std::string& rule) {
    size_t at = rule.find(kAnd);
    std::string rule1 = rule.substr(0, at);
    std::string rule2 = rule.substr(at + kAnd.size());
    bool missing = false;
    if (!existingRule(rule1)) {
        log().logWarning("Rule " + rule1 + " not defined");
        missing = true;
    } else if (!existingRule(rule2)) {
        log().logWarning("Rule " + rule2 + " not defined");
        missing = true;
    }
    if (missing) {
        log().logDebug("AND rules not completed. Ignoring " + rule1 + " and " + rule2);
        return;
    }
    combinedRules_[name] = {rule1, rule2};
}

bool ExclusionManager::existingRule(const std::string& name) const {
    return pathRules_.count(name) || extensionRules_.count(name) || sizeRules_.count(name);
}

void ExclusionManager::parseList(const nlohmann::ordered_json& list, std::vector<std::string>& target) {
    if (!list.is_array()) return;
    for (const auto& element : list) {
        if (!element.is_string()) {
            log().logWarning("Cannot resolve exclusion " + valueText(element));
            continue;
        }
        std::string name = element.get<std::string>();
        if (existingRule(name) || combinedRules_.count(name)) {
            target.push_back(name);
        } else {
            log().logWarning("Mising rule " + name);
        }
    }
}

void ExclusionManager::parseExcludeFiles(const nlohmann::ordered_json& list) {
    parseList(list, excludeFiles_);
}
void ExclusionManager::parseExcludeDirectories(const nlohmann::ordered_json& list) {
    parseList(list, excludeDirectories_);
}

bool ExclusionManager::evaluateRules(const std::string& path, uint64_t fileSize,
                                     const std::vector<std::string>& list) const {
    for (const auto& name : list)
        if (evaluateRule(path, fileSize, name)) return true;
    return false;
}

bool ExclusionManager::evaluateRule(const std::string& path, uint64_t fileSize,
                                    const std::string& rule) const {
    bool match = false;
    if (auto it = pathRules_.find(rule); it != pathRules_.end()) {
        // A matcher per evaluation: patterns are shared across threads, matchers are not.
        UErrorCode status = U_ZERO_ERROR;
        icu::UnicodeString subject = icu::UnicodeString::fromUTF8(path);
        std::unique_ptr<icu::RegexMatcher> matcher(it->second->matcher(subject, status));
        if (U_SUCCESS(status) && matcher && matcher->find(status) && U_SUCCESS(status)) match = true;
    }
    if (auto it = sizeRules_.find(rule); it != sizeRules_.end()) {
        if (it->second <= fileSize) match = true;
    }
    if (auto it = extensionRules_.find(rule); it != extensionRules_.end()) {
        // Folded as names are everywhere else, so the rule's spelling and the path's need not agree.
        if (platform::foldedName(path).ends_with(platform::foldedName(it->second))) match = true;
    }
    if (auto it = combinedRules_.find(rule); it != combinedRules_.end()) {
        if (evaluateRule(path, fileSize, it->second.first) && evaluateRule(path, fileSize, it->second.second))
            match = true;
    }
    return match;
}

std::string ExclusionManager::extensionRule(const std::string& name) const {
    auto it = extensionRules_.find(name);
    return it == extensionRules_.end() ? std::string() : it->second;
}

}  // namespace tw
