#include "numeric.h"

#include <cfenv>
#include <cmath>
#include <limits>
#include <string>

namespace zelk {
namespace {

bool isSkipped(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

// The characters of the text that count, in order: blanks, tabs and line feeds removed.
std::string significant(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (!isSkipped(c)) {
            out.push_back(c);
        }
    }
    return out;
}

int digitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return 99;
}

// "&H1F" or "&O17": up to 4 hex (or 6 octal) digits read as a 16-bit signed value, longer ones as
// 32-bit signed, as the numbers of the system's settings always were.
double radixValue(std::string_view digits, int radix) {
    std::uint64_t value = 0;
    std::size_t count = 0;
    for (char c : digits) {
        int d = digitValue(c);
        if (d >= radix) {
            break;
        }
        value = value * static_cast<std::uint64_t>(radix) + static_cast<std::uint64_t>(d);
        ++count;
        if (value > 0xFFFFFFFFull) {
            return static_cast<double>(value);
        }
    }
    if (value <= 0xFFFF && ((radix == 16 && count <= 4) || (radix == 8 && count <= 6))) {
        return static_cast<double>(static_cast<std::int16_t>(static_cast<std::uint16_t>(value)));
    }
    return static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Length of the longest prefix of s that is a decimal number: sign, digits, one point, exponent.
std::size_t decimalPrefix(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        ++i;
    }
    std::size_t mantissaDigits = 0;
    while (i < s.size() && isDigit(s[i])) {
        ++i;
        ++mantissaDigits;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && isDigit(s[i])) {
            ++i;
            ++mantissaDigits;
        }
    }
    if (mantissaDigits == 0) {
        return 0;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) {
            ++j;
        }
        if (j < s.size() && isDigit(s[j])) {
            while (j < s.size() && isDigit(s[j])) {
                ++j;
            }
            i = j;
        }
    }
    return i;
}

} // namespace

double numericValue(std::string_view text) {
    const std::string s = significant(text);
    if (s.size() >= 2 && s[0] == '&') {
        if (s[1] == 'h' || s[1] == 'H') {
            return radixValue(std::string_view(s).substr(2), 16);
        }
        if (s[1] == 'o' || s[1] == 'O') {
            return radixValue(std::string_view(s).substr(2), 8);
        }
        return 0.0;
    }
    const std::size_t length = decimalPrefix(s);
    if (length == 0) {
        return 0.0;
    }
    std::string number = s.substr(0, length);
    for (char& c : number) {
        if (c == 'd' || c == 'D') {
            c = 'e';
        }
    }
    const double value = std::strtod(number.c_str(), nullptr);
    return std::isfinite(value) ? value
                                : (value > 0 ? std::numeric_limits<double>::max()
                                             : std::numeric_limits<double>::lowest());
}

std::int64_t roundHalfEven(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    constexpr double kLimit = 9.2e18;
    if (value >= kLimit) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (value <= -kLimit) {
        return std::numeric_limits<std::int64_t>::min();
    }
    const double floor = std::floor(value);
    const double diff = value - floor;
    auto whole = static_cast<std::int64_t>(floor);
    if (diff > 0.5 || (diff == 0.5 && (whole % 2 != 0))) {
        ++whole;
    }
    return whole;
}

std::int64_t wholeValue(std::string_view text) {
    return roundHalfEven(numericValue(text));
}

} // namespace zelk
