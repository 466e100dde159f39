#include <gtest/gtest.h>

#include "Pinewick/config/ExclusionManager.h"
#include "support/log_capture.h"

using nlohmann::ordered_json;
using tw::ExclusionManager;
using tw::test::logContains;
using tw::test::logSize;

namespace {
// Decomposed "é" (e + U+0301) as UTF-8.
const std::string kDecomposedE = "e\xCC\x81";
}  // namespace

TEST(ExclusionRules, PathRulesAreCaseInsensitiveIcuPatternsSearchedToTheEnd) {
    ExclusionManager m;
    m.parseRules(
        ordered_json{{"tmp", "filePath= \\.tmp$"}, {"accent", "filePath= caf" + kDecomposedE + "$"}});
    m.parseExcludeFiles(ordered_json::array({"tmp", "accent"}));
    EXPECT_TRUE(m.evaluateRules("Docs/a.tmp", 0, m.excludeFiles()));
    EXPECT_TRUE(m.evaluateRules("Docs/A.TMP", 0, m.excludeFiles()));
    EXPECT_FALSE(m.evaluateRules("Docs/a.tmp.txt", 0, m.excludeFiles()));
    // Decomposed accents make the text longer in code units than in characters; the search must still
    // reach the end of the path, deep paths included.
    std::string deep = "d" + kDecomposedE + "j" + kDecomposedE + "/" + "r" + kDecomposedE + "sum" +
                       kDecomposedE + "/caf" + kDecomposedE;
    EXPECT_TRUE(m.evaluateRules(deep, 0, m.excludeFiles()));
    EXPECT_TRUE(m.evaluateRules("CAF" + std::string("E\xCC\x81"), 0, m.excludeFiles()));
}

TEST(ExclusionRules, ExtensionSizeAndCombinedRules) {
    ExclusionManager m;
    m.parseRules(ordered_json{{"pdf", "ext= pdf"},
                              {"big", "size>= 100"},
                              {"docs", "filePath= ^Docs/"},
                              {"bigdocs", "big AND docs"},
                              {"zero", "size>= 0"}});
    EXPECT_EQ(m.extensionRule("pdf"), "pdf/");
    // An extension rule matches a path ending in the text plus "/", never a plain file ending.
    EXPECT_TRUE(m.evaluateRules("Docs/Bundle.PDF/", 0, {"pdf"}));
    EXPECT_FALSE(m.evaluateRules("Docs/report.pdf", 0, {"pdf"}));
    EXPECT_TRUE(m.evaluateRules("x", 100, {"big"}));
    EXPECT_FALSE(m.evaluateRules("x", 99, {"big"}));
    // Both parts must match; the second is not needed when the first fails.
    EXPECT_TRUE(m.evaluateRules("Docs/x", 500, {"bigdocs"}));
    EXPECT_FALSE(m.evaluateRules("Docs/x", 5, {"bigdocs"}));
    EXPECT_FALSE(m.evaluateRules("Other/x", 500, {"bigdocs"}));
    // Size 0 matches every path, even at file size 0 (which is how the timeline asks).
    EXPECT_TRUE(m.evaluateRules("anything", 0, {"zero"}));
    EXPECT_FALSE(m.evaluateRules("anything", 0, {}));
    EXPECT_FALSE(m.evaluateRules("anything", 0, {"undefined"}));
}

TEST(ExclusionRules, ExtensionRulesCompareNamesAsTheServerDoes) {
    // Full folding after composition, as every other comparison of names: "\u00df" is "ss", and a
    // decomposed accent is the composed one.
    ExclusionManager m;
    m.parseRules(ordered_json{{"street",
                               "ext= Stra\xC3\x9F"
                               "e"},
                              {"cafe", "ext= caf\xC3\xA9"}});
    EXPECT_TRUE(m.evaluateRules("Docs/STRASSE/", 0, {"street"}));
    EXPECT_TRUE(m.evaluateRules("Docs/strasse/", 0, {"street"}));
    EXPECT_FALSE(m.evaluateRules("Docs/STRASE/", 0, {"street"}));
    EXPECT_TRUE(m.evaluateRules("Docs/CAF" + std::string("E\xCC\x81") + "/", 0, {"cafe"}));
    EXPECT_TRUE(m.evaluateRules("Docs/Caf" + kDecomposedE + "/", 0, {"cafe"}));
    EXPECT_FALSE(m.evaluateRules("Docs/cafe/", 0, {"cafe"}));
}

TEST(ExclusionRules, BadRulesAreLoggedAndSkippedWhileTheRestLoad) {
    size_t from = logSize();
    ExclusionManager m;
    m.parseRules(ordered_json{{"empty", "filePath= "},
                              {"badre", "filePath= ([unclosed"},
                              {"unit", "size>= 10K"},
                              {"neg", "size>= -1"},
                              {"huge", "size>= 99999999999999999999999"},
                              {"num", 42},
                              {"odd", "color= red"},
                              {"early", "late AND good"},
                              {"good", "ext= txt"},
                              {"late", "filePath= x"},
                              {"half", "good AND missing"},
                              {"triple", "good AND late AND good"},
                              {"pathand", "filePath= a AND b"}});
    EXPECT_TRUE(logContains("Warning: No expression found for rule filePath= \n", from));
    EXPECT_TRUE(logContains("Warning: Could not evaluate ([unclosed\n", from));
    EXPECT_TRUE(logContains("Warning: could not extract a number from 10K\n", from));
    EXPECT_TRUE(logContains("Warning: could not extract a number from -1\n", from));
    EXPECT_TRUE(logContains("could not extract a number from 99999999999999999999999", from));
    EXPECT_TRUE(logContains("Warning: Cannot resolve rule num: 42\n", from));
    EXPECT_TRUE(logContains("Warning: Cannot resolve rule odd: color= red\n", from));
    // A combined rule met before its parts is not defined.
    EXPECT_TRUE(logContains("Warning: Rule late not defined\n", from));
    EXPECT_TRUE(logContains("Warning: Rule missing not defined\n", from));
    EXPECT_TRUE(logContains("Warning: Rule late AND good not defined\n", from));
    EXPECT_FALSE(m.hasCombinedRule("early"));
    EXPECT_FALSE(m.hasCombinedRule("half"));
    EXPECT_FALSE(m.hasCombinedRule("triple"));
    EXPECT_FALSE(m.hasSizeRule("unit"));
    EXPECT_TRUE(m.hasExtensionRule("good"));
    // The path prefix is tested first, so " AND " inside a pattern stays part of the pattern.
    EXPECT_TRUE(m.hasPathRule("pathand"));

    m.parseExcludeFiles(ordered_json::array({"good", 7, "nosuch", "good", "pathand"}));
    EXPECT_TRUE(logContains("Warning: Cannot resolve exclusion 7\n", from));
    EXPECT_TRUE(logContains("Warning: Mising rule nosuch\n", from));
    EXPECT_EQ(m.excludeFiles(), (std::vector<std::string>{"good", "good", "pathand"}));
    EXPECT_TRUE(m.excludeDirectories().empty());
}
