#include "platform/utf8.h"

#include <gtest/gtest.h>

#include <string>

// One validator for the whole system: the client, the watcher and the file-manager extension must
// never disagree on whether a name or a record is usable.
TEST(Utf8, StrictValidation) {
    EXPECT_TRUE(tw::platform::isValidUtf8(""));
    EXPECT_TRUE(tw::platform::isValidUtf8("Status: Regular\n"));
    EXPECT_TRUE(tw::platform::isValidUtf8(
        "R\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8C\x8A"));      // é, €, a 4-byte wave
    EXPECT_TRUE(tw::platform::isValidUtf8(std::string("a\0b", 3)));  // NUL is a character
    EXPECT_TRUE(tw::platform::isValidUtf8("\xF4\x8F\xBF\xBF"));      // U+10FFFF
    EXPECT_FALSE(tw::platform::isValidUtf8("\xC0\xAF"));             // overlong '/'
    EXPECT_FALSE(tw::platform::isValidUtf8("\xE0\x80\xAF"));         // overlong, 3 bytes
    EXPECT_FALSE(tw::platform::isValidUtf8("\xED\xA0\x80"));         // surrogate
    EXPECT_FALSE(tw::platform::isValidUtf8("\xF4\x90\x80\x80"));     // above U+10FFFF
    EXPECT_FALSE(tw::platform::isValidUtf8("abc\xC3"));              // cut short
    EXPECT_FALSE(tw::platform::isValidUtf8("\x80"));                 // lone continuation
    EXPECT_FALSE(tw::platform::isValidUtf8("\xC3\x28"));             // bad continuation
    EXPECT_FALSE(tw::platform::isValidUtf8("\xFF"));
}
