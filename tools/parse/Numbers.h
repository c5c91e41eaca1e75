// Numbers that others wrote (command lines, URL queries, files under /sys
// and /proc), read strictly: the whole text is the number, nothing before
// or after it, and a number outside the caller's range is refused like text
// that is not one. Each caller keeps its own message for a refusal.
#ifndef VANTORIX_PARSE_NUMBERS_H
#define VANTORIX_PARSE_NUMBERS_H

#include <string_view>

enum class Sign { Refused, Allowed };

// Decimal digits, after one '+' or '-' where `sign` allows it; no white
// space, no hexadecimal, no exponent. False for anything else, and for a
// number outside [low, high] (one too long for a long long among them).
bool ParseWhole(std::string_view text, long long low, long long high, Sign sign, long long* value);

// A number as C's strtod reads it (a sign, digits with a decimal point, an
// exponent, the hexadecimal form), with nothing around it. False for
// anything else, for infinity and NaN, and for a number outside [low, high].
bool ParseReal(std::string_view text, double low, double high, double* value);

// `text` after the white space that C's number readers skip before a number
// (isspace: \v and \f too), for the formats that allow it there.
std::string_view SkipSpace(std::string_view text);

#endif  // VANTORIX_PARSE_NUMBERS_H
