#include <gtest/gtest.h>

#include "platform/plist.h"

using nlohmann::json;
using tw::platform::binaryPlist;
using tw::platform::parsePlistTree;

TEST(PlistTree, XmlPropertyListsReadWholeWithTheirNesting) {
    const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>Stores</key>
  <dict>
    <key>A</key><dict><key>PolicyLevel</key><string>kMDConfigSearchLevelReadWrite</string></dict>
  </dict>
  <key>List</key><array><integer>3</integer><real>1.5</real><true/><data>AAE=</data></array>
</dict>
</plist>)";
    auto tree = parsePlistTree(xml);
    ASSERT_TRUE(tree);
    EXPECT_EQ((*tree)["Stores"]["A"]["PolicyLevel"], "kMDConfigSearchLevelReadWrite");
    EXPECT_EQ((*tree)["List"], json::array({3, 1.5, true, nullptr}));
}

TEST(PlistTree, BinaryListsAndGarbage) {
    auto tree = parsePlistTree(binaryPlist({{"k", std::string("v")}, {"n", uint64_t{7}}}));
    ASSERT_TRUE(tree);
    EXPECT_EQ(*tree, json({{"k", "v"}, {"n", 7}}));
    EXPECT_FALSE(parsePlistTree("not a property list"));
    EXPECT_FALSE(parsePlistTree(""));
}
