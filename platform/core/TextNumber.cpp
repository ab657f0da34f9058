#include "TextNumber.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <string>

namespace textnum {

namespace {

size_t skipBlanks(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    return i;
}

}  // namespace

int64_t integerValue(std::string_view text) {
    size_t i = skipBlanks(text);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const int digit = text[i] - '0';
        if (value > (kMax - digit) / 10) return negative ? std::numeric_limits<int64_t>::min() : kMax;
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

int64_t integerValue(std::string_view text, int64_t lo, int64_t hi) {
    return std::clamp(integerValue(text), lo, hi);
}

double doubleValue(std::string_view text) {
    size_t i = skipBlanks(text);
    size_t end = i;
    if (end < text.size() && (text[end] == '+' || text[end] == '-')) ++end;
    const size_t digitsStart = end;
    while (end < text.size() && (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == '.'))
        ++end;
    if (end == digitsStart) return 0.0;
    if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
        size_t e = end + 1;
        if (e < text.size() && (text[e] == '+' || text[e] == '-')) ++e;
        if (e < text.size() && std::isdigit(static_cast<unsigned char>(text[e]))) {
            while (e < text.size() && std::isdigit(static_cast<unsigned char>(text[e]))) ++e;
            end = e;
        }
    }
    const std::string number(text.substr(i, end - i));
    char* parsed = nullptr;
    const double v = std::strtod(number.c_str(), &parsed);
    return parsed == number.c_str() ? 0.0 : v;
}

}  // namespace textnum
