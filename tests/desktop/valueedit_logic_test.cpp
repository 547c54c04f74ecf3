// The value edit's judgement of typed text, without a window.
#include "UValueEdit.h"

#include <gtest/gtest.h>

#include <climits>

namespace kal {
namespace {

TEST(ValueEditLogic, KeyFilterPassesControlKeysSignAndDigitsOnly) {
    for (unsigned c : {8u, 3u, 22u, 13u, 27u, 31u, unsigned('-'), unsigned('0'), unsigned('9')})
        EXPECT_TRUE(IsValueEditChar(c)) << c;
    for (unsigned c : {32u, unsigned('+'), unsigned('.'), unsigned('/'), unsigned(':'),
                       unsigned('a'), unsigned('Z'), 127u, 0xE9u})
        EXPECT_FALSE(IsValueEditChar(c)) << c;
}

TEST(ValueEditLogic, ParsesSigned64BitDecimalsOnly) {
    EXPECT_EQ(ParseValueText("007"), 7);
    EXPECT_EQ(ParseValueText("-5"), -5);
    EXPECT_EQ(ParseValueText("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(ParseValueText("-9223372036854775808"), INT64_MIN);
    EXPECT_FALSE(ParseValueText("9223372036854775808"));
    EXPECT_FALSE(ParseValueText(""));
    EXPECT_FALSE(ParseValueText("-"));
    EXPECT_FALSE(ParseValueText("12-3"));
    EXPECT_FALSE(ParseValueText("abc"));
    EXPECT_FALSE(ParseValueText("12a"));
    EXPECT_FALSE(ParseValueText(" 12"));
    EXPECT_FALSE(ParseValueText("1234567890123456789012345"));
}

TEST(ValueEditLogic, LeavingTheFieldClampsOrZeroes) {
    const auto check = [](const char* text, std::int32_t min, std::int32_t max, std::int32_t value,
                          bool replace) {
        const TValueExit r = ResolveValueText(text, min, max);
        EXPECT_EQ(r.Value, value) << '"' << text << '"';
        EXPECT_EQ(r.ReplaceText, replace) << '"' << text << '"';
    };
    check("70000", 0, 65535, 65535, true);
    check("-5", 0, 65535, 0, true);
    check("12-3", 0, 65535, 0, true);
    check("", 0, 65535, 0, true);
    check("007", 0, 65535, 7, false);
    check("99999999999", INT32_MIN, INT32_MAX, INT32_MAX, true);
    check("-99999999999", INT32_MIN, INT32_MAX, INT32_MIN, true);
    check("1234567890123456789012345", INT32_MIN, INT32_MAX, 0, true);
    // Unreadable text gives 0 even outside the bounds; a number is clamped.
    check("x", 10, 20, 0, true);
    check("5", 10, 20, 10, true);
    check("20", 10, 20, 20, false);
}

} // namespace
} // namespace kal
