#include "cgi/conversions.h"

#include <cmath>
#include <stdlib.h>

#include <string>

#include "platform/failure.h"

namespace trackrelay {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

double NumericValue(std::string_view text) {
  std::string s;
  s.reserve(text.size());
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\n') s += c;
  }
  std::size_t i = 0;
  if (s.size() >= 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h')) {
    double value = 0;
    for (i = 2; i < s.size() && HexDigitValue(s[i]) >= 0; ++i) value = value * 16 + HexDigitValue(s[i]);
    return value;
  }
  // Cut the longest leading decimal number, then let strtod round it correctly; it gives
  // HUGE_VAL beyond the range of a double and zero below it. The program never sets a locale,
  // so the decimal point is always ".".
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return 0;
  if (i < s.size() && (s[i] == 'E' || s[i] == 'e')) {
    std::size_t e = i + 1;
    if (e < s.size() && (s[e] == '+' || s[e] == '-')) ++e;
    if (e < s.size() && IsDigit(s[e])) {
      while (e < s.size() && IsDigit(s[e])) ++e;
      i = e;
    }
  }
  s.resize(i);
  double value = strtod(s.c_str(), nullptr);
  return value;
}

// ToInt16 and RoundToInt32 throw their failures themselves rather than through RaiseFailure: a
// request without a tracking number, and one with an overflowing CONTENT_LENGTH, raise one of
// them, and each frame between the throw and its trap is unwound twice in the start's budget.
std::int16_t ToInt16(std::string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  std::string_view t = text.substr(b, e - b);
  std::size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  std::size_t int_begin = i;
  while (i < t.size() && IsDigit(t[i])) ++i;
  std::string_view whole = t.substr(int_begin, i - int_begin);
  std::string_view fraction;
  if (i < t.size() && t[i] == '.') {
    std::size_t f = ++i;
    while (i < t.size() && IsDigit(t[i])) ++i;
    fraction = t.substr(f, i - f);
  }
  if (i != t.size() || whole.size() + fraction.size() == 0) throw Failure(kTypeMismatch);

  // Exact decimal arithmetic: no digit count can overflow or lose precision.
  while (whole.size() > 1 && whole[0] == '0') whole.remove_prefix(1);
  if (whole.size() > 5) throw Failure(kOverflow);
  std::int32_t magnitude = 0;
  for (char c : whole) magnitude = magnitude * 10 + (c - '0');
  if (!fraction.empty()) {
    bool beyond_half = false;
    for (std::size_t k = 1; k < fraction.size(); ++k) beyond_half = beyond_half || fraction[k] != '0';
    int first = fraction[0] - '0';
    if (first > 5 || (first == 5 && (beyond_half || magnitude % 2 == 1))) ++magnitude;
  }
  std::int32_t value = negative ? -magnitude : magnitude;
  if (value < -32768 || value > 32767) throw Failure(kOverflow);
  return static_cast<std::int16_t>(value);
}

std::int32_t RoundToInt32(double value) {
  if (std::isnan(value)) throw Failure(kOverflow);
  // nearbyint rounds ties to even in the default rounding mode, which the program never changes.
  double rounded = std::nearbyint(value);
  if (rounded < -2147483648.0 || rounded > 2147483647.0) throw Failure(kOverflow);
  return static_cast<std::int32_t>(rounded);
}

}  // namespace trackrelay
