// Administrator-defined rules that keep paths out of synchronisation: path patterns (ICU regular
// expressions, case-insensitive), name endings, minimum sizes, and conjunctions of two such rules.
// Filled once at start-up, read-only afterwards.
//
// Thread-safety: parse before any evaluation; evaluation only reads and may run on any thread.
#pragma once

#include <unicode/uversion.h>

#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

U_NAMESPACE_BEGIN
class RegexPattern;
U_NAMESPACE_END

namespace tw {

class ExclusionManager {
public:
    // The process-wide rules, made by the engine.
    static ExclusionManager& sharedInstance();
    ExclusionManager();
    ~ExclusionManager();
    ExclusionManager(const ExclusionManager&) = delete;
    ExclusionManager& operator=(const ExclusionManager&) = delete;

    // The "exclusionRule" value: rule name to rule text, visited in the order the object holds them.
    void parseRules(const nlohmann::ordered_json& rules);
    // The "excludeFile" and "excludeDirectory" values: arrays of rule names.
    void parseExcludeFiles(const nlohmann::ordered_json& list);
    void parseExcludeDirectories(const nlohmann::ordered_json& list);

    // True when any rule named in `list` matches the path.
    bool evaluateRules(const std::string& path, uint64_t fileSize,
                       const std::vector<std::string>& list) const;

    const std::vector<std::string>& excludeFiles() const { return excludeFiles_; }
    const std::vector<std::string>& excludeDirectories() const { return excludeDirectories_; }
    bool hasPathRule(const std::string& name) const { return pathRules_.count(name) != 0; }
    bool hasExtensionRule(const std::string& name) const { return extensionRules_.count(name) != 0; }
    bool hasSizeRule(const std::string& name) const { return sizeRules_.count(name) != 0; }
    bool hasCombinedRule(const std::string& name) const { return combinedRules_.count(name) != 0; }
    // The stored ending of an extension rule (the configured text followed by "/"), or "".
    std::string extensionRule(const std::string& name) const;

private:
    void extractFilePathRule(const std::string& name, const std::string& rule);
    void extractExtensionRule(const std::string& name, const std::string& rule);
    void extractSizeRule(const std::string& name, const std::string& rule);
    void extractCombineRule(const std::string& name, const std::string& rule);
    bool existingRule(const std::string& name) const;
    bool evaluateRule(const std::string& path, uint64_t fileSize, const std::string& rule) const;
    void parseList(const nlohmann::ordered_json& list, std::vector<std::string>& target);

    std::map<std::string, std::unique_ptr<icu::RegexPattern>> pathRules_;
    std::map<std::string, std::string> extensionRules_;
    std::map<std::string, uint64_t> sizeRules_;
    std::map<std::string, std::pair<std::string, std::string>> combinedRules_;
    std::vector<std::string> excludeFiles_;
    std::vector<std::string> excludeDirectories_;
};

}  // namespace tw
