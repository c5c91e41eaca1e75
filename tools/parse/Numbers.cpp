#include "Numbers.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool ParseWhole(std::string_view text, long long low, long long high, Sign sign, long long* value) {
    const std::size_t first = sign == Sign::Allowed && !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (first == text.size() || !IsDigit(text[first])) return false;
    if (text[0] == '+') text.remove_prefix(1);  // from_chars takes only '-'
    long long number = 0;
    const char* end = text.data() + text.size();
    const std::from_chars_result read = std::from_chars(text.data(), end, number);
    if (read.ec != std::errc() || read.ptr != end || number < low || number > high) return false;
    *value = number;
    return true;
}

bool ParseReal(std::string_view text, double low, double high, double* value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    const std::string terminated(text);  // strtod reads up to a zero
    char* end = nullptr;
    const double number = std::strtod(terminated.c_str(), &end);
    if (end != terminated.c_str() + terminated.size() || !std::isfinite(number) || number < low || number > high) {
        return false;
    }
    *value = number;
    return true;
}

std::string_view SkipSpace(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text[0]))) text.remove_prefix(1);
    return text;
}
