// Lower-casing for command words and file-type keys, which must not depend on the user's language.
#include <gtest/gtest.h>
#include <unicode/locid.h>

#include "Pinewick/config/TextUtils.h"

namespace {

TEST(TextUtils, LowerCasingIgnoresTheUsersLanguage) {
    // In Turkish and Azeri "I" lower-cases to a dotless "\u0131": "IDLE" would be no command at all.
    const icu::Locale before = icu::Locale::getDefault();
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("tr", "TR"), status);
    ASSERT_TRUE(U_SUCCESS(status));
    EXPECT_EQ(tw::lowercased("IDLE"), "idle");
    EXPECT_EQ(tw::lowercased("PDF.ICS"), "pdf.ics");
    EXPECT_EQ(tw::lowercased("\xC3\x84RGER"), "\xC3\xA4rger");
    icu::Locale::setDefault(before, status);
}

}  // namespace
