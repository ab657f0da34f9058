// Numbers read from text the way the server's and the user's texts are read: leading blanks,
// an optional sign, then the longest number that follows; no number gives 0.
#pragma once

#include <cstdint>
#include <string_view>

namespace textnum {

// Whole number; values beyond the 64-bit range saturate.
int64_t integerValue(std::string_view text);

// Whole number clamped to [lo, hi].
int64_t integerValue(std::string_view text, int64_t lo, int64_t hi);

// Decimal number (digits, point, exponent); "inf", "nan" and hexadecimal forms read as 0.
double doubleValue(std::string_view text);

}  // namespace textnum
