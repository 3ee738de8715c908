#pragma once

#include <cstdint>
#include <string_view>

namespace zelk {

// The one rule by which every setting used as a number is read (ports, intervals, piece size):
// a decimal number from the start of the text, blanks, tabs and line feeds skipped anywhere,
// an optional sign, one decimal point, an exponent, "&H" hexadecimal and "&O" octal; reading stops
// at the first character that cannot continue the number; no number gives 0.
double numericValue(std::string_view text);

// Rounds to the nearest whole number, a half going to the even neighbour; saturates at the
// limits of 64 bits (NaN gives 0).
std::int64_t roundHalfEven(double value);

// numericValue rounded half to even, for settings that must be whole numbers.
std::int64_t wholeValue(std::string_view text);

} // namespace zelk
