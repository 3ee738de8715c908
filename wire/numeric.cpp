#include "numeric.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

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

// Whether a decimal number that a double cannot hold is too large rather than too small: its count
// of whole digits, once the exponent is applied, is above zero.
bool beyondLargest(std::string_view number) {
    const std::size_t e = std::min(number.find_first_of("eE"), number.size());
    const std::string_view mantissa = number.substr(0, e);
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t first = mantissa.find_first_of("123456789");
    if (first == std::string_view::npos) {
        return false;
    }
    const long long wholeDigits = first < point ? static_cast<long long>(point - first)
                                                : -static_cast<long long>(first - point) + 1;
    std::string_view exponent = e < number.size() ? number.substr(e + 1) : std::string_view("0");
    const bool negative = exponent.starts_with('-');
    if (exponent.starts_with('+') || negative) {
        exponent.remove_prefix(1);
    }
    long long power = 0;
    if (std::from_chars(exponent.data(), exponent.data() + exponent.size(), power).ec ==
        std::errc::result_out_of_range) {
        return !negative; // an exponent of more than 18 digits outweighs any mantissa
    }
    return negative ? wholeDigits > power : power > -wholeDigits;
}

// The decimal number that decimalPrefix found, read with "." as its point whatever the locale of
// the process says (the window toolkit adopts the user's locale, whose point may be ",").
double decimalValue(std::string number) {
    for (char& c : number) {
        if (c == 'd' || c == 'D') {
            c = 'e';
        }
    }
    const std::string_view text =
        number.starts_with('+') ? std::string_view(number).substr(1) : std::string_view(number);
    double value = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)end;
    if (ec != std::errc::result_out_of_range) {
        return value;
    }
    const bool minus = text.starts_with('-');
    if (!beyondLargest(minus ? text.substr(1) : text)) {
        return 0.0;
    }
    return minus ? std::numeric_limits<double>::lowest() : std::numeric_limits<double>::max();
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
    return length == 0 ? 0.0 : decimalValue(s.substr(0, length));
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
