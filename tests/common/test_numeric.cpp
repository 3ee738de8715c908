#include "numeric.h"

#include "testutil.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

using zelk::numericValue;
using zelk::wholeValue;

namespace {

// The process under a locale whose decimal point is "," for the life of the object, as the
// programs are under a French or German user (the window toolkit adopts the user's locale). When
// no such locale is installed, one is compiled into a scratch folder and found through LOCPATH.
class CommaLocale {
public:
    CommaLocale() {
        for (const char* name : {"fr_FR.UTF-8", "de_DE.UTF-8", "fr_FR.utf8", "de_DE.utf8"}) {
            if (adopt(name)) {
                return;
            }
        }
        const std::string command =
            "localedef -i fr_FR -f UTF-8 '" + scratch_.file("fr_FR.UTF-8") + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) {
            why_ = "no fr_FR or de_DE locale is installed and localedef could not make one";
            return;
        }
        if (const char* previous = std::getenv("LOCPATH")) {
            previousLocpath_ = previous;
        }
        ::setenv("LOCPATH", scratch_.path().c_str(), 1);
        if (!adopt("fr_FR.UTF-8")) {
            why_ = "the locale compiled by localedef could not be adopted";
        }
    }
    ~CommaLocale() {
        std::setlocale(LC_ALL, "C");
        if (previousLocpath_) {
            ::setenv("LOCPATH", previousLocpath_->c_str(), 1);
        } else {
            ::unsetenv("LOCPATH");
        }
    }
    CommaLocale(const CommaLocale&) = delete;
    CommaLocale& operator=(const CommaLocale&) = delete;

    bool adopted() const { return why_.empty(); }
    const std::string& why() const { return why_; }

private:
    bool adopt(const char* name) {
        if (!std::setlocale(LC_ALL, name) || std::strcmp(std::localeconv()->decimal_point, ",")) {
            std::setlocale(LC_ALL, "C");
            return false;
        }
        why_.clear();
        return true;
    }

    zelktest::ScratchDir scratch_;
    std::optional<std::string> previousLocpath_;
    std::string why_ = "not adopted";
};

// Numbers whose reading a locale could change: a point, an exponent, a comma, and those beyond
// what a double holds.
void expectPointsAndExponents() {
    struct Case {
        const char* text;
        std::int64_t whole;
    };
    for (const Case& c :
         {Case{"48925.5", 48926}, Case{"48926.5", 48926}, Case{"1.5e3", 1500}, Case{"+2.5E+1", 25},
          Case{"-0.75", -1}, Case{"1,5", 1}, Case{"5 000.9", 5001}, Case{"&H1F.5", 31},
          Case{"1e-999", 0}, Case{"-1e999", INT64_MIN},
          Case{"0.0001e99999999999999999999", INT64_MAX}, Case{"123e-99999999999999999999", 0}}) {
        EXPECT_EQ(wholeValue(c.text), c.whole) << c.text;
    }
    EXPECT_DOUBLE_EQ(numericValue("2.5e-1"), 0.25);
    EXPECT_DOUBLE_EQ(numericValue(".5"), 0.5);
}

} // namespace

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

TEST(NumericRule, ReadsPointsAndExponentsAndNumbersBeyondADouble) {
    expectPointsAndExponents();
}

// Under a French locale "48925.5" once bound port 48925 and "1.5e3" gave 1-byte pieces.
TEST(NumericRule, ThePointIsAPointUnderALocaleWhosePointIsAComma) {
    const CommaLocale comma;
    if (!comma.adopted()) {
        GTEST_SKIP() << comma.why();
    }
    expectPointsAndExponents();
}
