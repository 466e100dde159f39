// Names compared without regard to case as the server compares them.
#include "platform/casefold.h"

#include <gtest/gtest.h>

namespace {

using tw::platform::CaselessName;
using tw::platform::foldedName;
using tw::platform::restBelowFolderIgnoringCase;
using tw::platform::sameNameIgnoringCase;

TEST(CaseFolding, AsciiNamesCompareWithoutCase) {
    EXPECT_TRUE(sameNameIgnoringCase("Report.txt", "report.TXT"));
    EXPECT_FALSE(sameNameIgnoringCase("Report.txt", "Report.txt "));
    EXPECT_FALSE(sameNameIgnoringCase("a[", "A{")) << "only letters fold";
    EXPECT_EQ(foldedName("MiXeD-123"), "mixed-123");
}

TEST(CaseFolding, UnicodeLettersFoldFully) {
    EXPECT_TRUE(sameNameIgnoringCase("\xC3\x84rger.txt", "\xC3\xA4rger.txt"));  // Ä, ä
    EXPECT_TRUE(
        sameNameIgnoringCase("Stra\xC3\x9F"
                             "e",
                             "STRASSE"));  // ß folds to "ss"
    EXPECT_TRUE(sameNameIgnoringCase("\xCE\xA3\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1",
                                     "\xCF\x83\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1"));
    EXPECT_TRUE(sameNameIgnoringCase("\xE2\x84\xAA", "k")) << "the Kelvin sign against an ASCII name";
    EXPECT_FALSE(sameNameIgnoringCase("\xC3\x84rger", "Arger"));
    EXPECT_FALSE(sameNameIgnoringCase("caf\xC3\xA9", "cafe"));
}

TEST(CaseFolding, ComposedAndDecomposedSpellingsAreOneName) {
    // "\u00e9t\u00e9" composed and as "e" + combining acute: the server holds names composed.
    EXPECT_EQ(foldedName("e\xcc\x81te\xcc\x81"), foldedName("\xc3\xa9t\xc3\xa9"));
    EXPECT_EQ(foldedName("E\xcc\x81TE\xcc\x81"), foldedName("\xc3\xa9t\xc3\xa9"));
    EXPECT_TRUE(sameNameIgnoringCase("A\xcc\x88rchiv", "\xc3\xa4rchiv"));
    EXPECT_NE(foldedName("e\xcc\x81t\xc3\xa9"), foldedName("ete"));
}

TEST(CaseFolding, InvalidUtf8KeepsItsBytesApart) {
    EXPECT_FALSE(sameNameIgnoringCase("a\xFF", "a\xFE")) << "no common replacement character";
    EXPECT_TRUE(sameNameIgnoringCase("A\xFF", "a\xFF"));
    EXPECT_FALSE(sameNameIgnoringCase("\xC3", "\xC3\x84"));
    EXPECT_EQ(foldedName("X\xC3"), "x\xC3");
}

TEST(CaseFolding, AFoldedNameMatchesMany) {
    CaselessName name("Notes");
    EXPECT_TRUE(name.matches("NOTES"));
    EXPECT_TRUE(name.matches("notes"));
    EXPECT_FALSE(name.matches("Note"));
    EXPECT_FALSE(name.matches("Notes\xC3\xA9"));
    CaselessName greek("\xCF\x82");  // final sigma folds like sigma
    EXPECT_TRUE(greek.matches("\xCE\xA3"));
    EXPECT_TRUE(CaselessName("").matches(""));
}

TEST(CaseFolding, PathsAreComparedNameByName) {
    const std::string strasse =
        "/home/u/Stra\xC3\x9F"
        "e";
    // A name that folds to another length: the rest starts after the path's own spelling of it.
    EXPECT_EQ(restBelowFolderIgnoringCase("/home/u/STRASSE/b\xC3\xA4r.txt", strasse), "/b\xC3\xA4r.txt");
    EXPECT_EQ(restBelowFolderIgnoringCase(strasse + "/Sub/x", "/HOME/u/strasse"), "/Sub/x");
    EXPECT_EQ(restBelowFolderIgnoringCase("/home/u/STRASSE", strasse), "") << "the folder itself";
    EXPECT_EQ(restBelowFolderIgnoringCase("/home/u/STRASSE/", strasse + "/"), "/");
    EXPECT_EQ(restBelowFolderIgnoringCase("/Docs/CAF\xC3\x89/a", "/docs/cafe\xCC\x81"), "/a");
    EXPECT_EQ(restBelowFolderIgnoringCase("//a///b/c", "/A/B"), "/c") << "runs of slashes are one";
    EXPECT_EQ(restBelowFolderIgnoringCase("/a/b", "/"), "/a/b");
    // Whole names only: a folder's name that merely begins another name does not hold it.
    EXPECT_FALSE(restBelowFolderIgnoringCase("/home/u/STRASSEN/x", strasse));
    EXPECT_FALSE(restBelowFolderIgnoringCase("/home/u/Stra", strasse));
    EXPECT_FALSE(restBelowFolderIgnoringCase("/home/u", strasse));
    EXPECT_FALSE(restBelowFolderIgnoringCase("/other/u/STRASSE/x", strasse));
}

}  // namespace
