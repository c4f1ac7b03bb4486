// Trimming by Unicode white space: what spreadsheet exports pad cells with, and what must stay.
#include <gtest/gtest.h>

#include <string>

#include "common/unicode_space.h"

namespace {

using vantrel::common::trim_unicode_space;

TEST(UnicodeSpace, TrimsAsciiNoBreakFullWidthAndOtherSpacesOnBothEnds) {
    EXPECT_EQ(trim_unicode_space(" \t T1 \r\n"), "T1");
    EXPECT_EQ(trim_unicode_space("\u3000\u3000锅炉温度\u3000"), "锅炉温度");
    EXPECT_EQ(trim_unicode_space("\u00A0Tank level\u00A0\u00A0"), "Tank level");
    EXPECT_EQ(trim_unicode_space("\u2003\u202F\u205F\u0085T2\u2028\u2029\u1680"), "T2");
    EXPECT_EQ(trim_unicode_space("\u3000 \u00A0"), "");
    EXPECT_EQ(trim_unicode_space(""), "");
}

TEST(UnicodeSpace, InnerSpacesAndLookAlikesStay) {
    EXPECT_EQ(trim_unicode_space(" 1号罐\u3000液位 "), "1号罐\u3000液位");
    // Zero-width space and the byte-order mark are not white space.
    EXPECT_EQ(trim_unicode_space("\u200BT1\uFEFF"), "\u200BT1\uFEFF");
    // Characters whose UTF-8 bytes resemble a space's: U+3001 shares U+3000's lead bytes.
    EXPECT_EQ(trim_unicode_space("\u3001T1\u3001"), "\u3001T1\u3001");
    EXPECT_EQ(trim_unicode_space("\U0001F600 x \U0001F600"), "\U0001F600 x \U0001F600");
}

TEST(UnicodeSpace, MalformedBytesAreNeverTrimmedAway) {
    const std::string lone_continuation = std::string("\x80") + " T1 " + "\xA0";
    EXPECT_EQ(trim_unicode_space(lone_continuation), lone_continuation);
    // A truncated U+3000 at the end, and an overlong encoding of a blank.
    const std::string truncated = "T1\xE3\x80";
    EXPECT_EQ(trim_unicode_space(truncated), truncated);
    const std::string overlong = "\xE0\x80\xA0T1";
    EXPECT_EQ(trim_unicode_space(overlong), overlong);
}

}  // namespace
