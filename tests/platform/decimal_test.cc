#include "platform/decimal.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>

using tw::platform::parseDecimal;
using tw::platform::parseFiniteDecimal;
using tw::platform::shortestDecimal;

// Dates kept in records and attributes must survive a write and a read to the last bit, or an item
// looks changed after every restart.
TEST(Decimal, NumbersReadBackExactly) {
    for (double v : {0.0, 0.42, -1.5e3, 1e300, 5e-324, 1767225600.123456, 788918400.0})
        EXPECT_EQ(parseFiniteDecimal(shortestDecimal(v)), std::optional<double>(v)) << shortestDecimal(v);
    EXPECT_EQ(shortestDecimal(0.42), "0.42");
    EXPECT_EQ(shortestDecimal(788918400.0), "788918400");
}

// A text that is only partly a number (a hand-edited file, a cut-short attribute) is no number at all.
TEST(Decimal, OnlyTheWholeTextIsANumber) {
    EXPECT_EQ(parseDecimal("18446744073709551615"),
              std::optional<uint64_t>(std::numeric_limits<uint64_t>::max()));
    EXPECT_EQ(parseDecimal("0"), std::optional<uint64_t>(0));
    for (const char* text : {"", "18446744073709551616", "+1", "-1", " 1", "1 ", "1a", "0x10"})
        EXPECT_EQ(parseDecimal(text), std::nullopt) << '"' << text << '"';

    EXPECT_EQ(parseFiniteDecimal("-0.5"), std::optional<double>(-0.5));
    for (const char* text : {"", "inf", "nan", "1e400", "1.5x", "+1", " 1"})
        EXPECT_EQ(parseFiniteDecimal(text), std::nullopt) << '"' << text << '"';
}
