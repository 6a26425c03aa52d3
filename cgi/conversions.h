// Number conversions of form and file text: the lenient NumericValue and the strict ToInt16.
// NumericValue never fails; ToInt16 and RoundToInt32 raise the not-a-number and overflow failures.
#pragma once

#include <cstdint>
#include <string_view>

namespace trackrelay {

// The value of the longest leading number in text once blanks, tabs and line feeds are removed
// from all of it: an optional sign, digits, an optional fraction and an optional exponent (E or
// e), or "&H"/"&h" and hexadecimal digits. No digits give 0. A huge number gives a huge or
// infinite value, which the caller's conversion reports as overflow.
double NumericValue(std::string_view text);

// Strict: blanks around an optional sign, digits and an optional fraction, at least one digit.
// The fraction rounds to the nearest integer, ties to even. Raises kTypeMismatch for anything
// else, kOverflow outside -32768..32767.
std::int16_t ToInt16(std::string_view text);

// value rounded to the nearest integer, ties to even; kOverflow outside the signed 32-bit range.
std::int32_t RoundToInt32(double value);

}  // namespace trackrelay
