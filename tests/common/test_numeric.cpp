#include "numeric.h"

#include <gtest/gtest.h>

using zelk::numericValue;
using zelk::wholeValue;

TEST(NumericRule, ReadsTheLeadingNumberAndStopsAtTheFirstStranger) {
    EXPECT_EQ(wholeValue("5000"), 5000);
    EXPECT_EQ(wholeValue("12abc"), 12);
    EXPECT_EQ(wholeValue("4000abc"), 4000);
    EXPECT_DOUBLE_EQ(numericValue("1.2.3"), 1.2);
    EXPECT_DOUBLE_EQ(numericValue("12E"), 12.0);
    EXPECT_DOUBLE_EQ(numericValue("1e3"), 1000.0);
    EXPECT_DOUBLE_EQ(numericValue("1D2"), 100.0);
    EXPECT_DOUBLE_EQ(numericValue("2.5e-1x"), 0.25);
    EXPECT_EQ(wholeValue("+7"), 7);
    EXPECT_EQ(wholeValue("-3"), -3);
    EXPECT_DOUBLE_EQ(numericValue(".5"), 0.5);
}

TEST(NumericRule, SkipsBlanksTabsAndLineFeedsAnywhere) {
    EXPECT_EQ(wholeValue(" 5000"), 5000);
    EXPECT_EQ(wholeValue("5 0 0 0"), 5000);
    EXPECT_EQ(wholeValue("\t42\n"), 42);
    EXPECT_EQ(wholeValue("- 1 2"), -12);
}

TEST(NumericRule, NoNumberGivesZero) {
    for (const char* text : {"", "   ", "abc", "-", ".", "e5", "&", "&X12", "\r12"}) {
        EXPECT_EQ(numericValue(text), 0.0) << text;
    }
}

TEST(NumericRule, HexadecimalAndOctal) {
    EXPECT_EQ(wholeValue("&H1F"), 31);
    EXPECT_EQ(wholeValue("&h1f"), 31);
    EXPECT_EQ(wholeValue("&O17"), 15);
    EXPECT_EQ(wholeValue("&H1388"), 5000);
    EXPECT_EQ(wholeValue("&HFFFF"), -1); // four hex digits are a 16-bit value
    EXPECT_EQ(wholeValue("&H10000"), 65536);
    EXPECT_EQ(wholeValue("&H1G"), 1);
    EXPECT_EQ(wholeValue("&H"), 0);
}

TEST(NumericRule, RoundsHalfToEven) {
    EXPECT_EQ(wholeValue("5000.5"), 5000);
    EXPECT_EQ(wholeValue("5001.5"), 5002);
    EXPECT_EQ(wholeValue("2.5"), 2);
    EXPECT_EQ(wholeValue("3.5"), 4);
    EXPECT_EQ(wholeValue("-2.5"), -2);
    EXPECT_EQ(wholeValue("-3.5"), -4);
    EXPECT_EQ(wholeValue("2.50001"), 3);
    EXPECT_EQ(wholeValue("0.4"), 0);
    EXPECT_EQ(zelk::roundHalfEven(1e300), INT64_MAX);
    EXPECT_EQ(wholeValue("1e999"), INT64_MAX);
}
