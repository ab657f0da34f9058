#include "StringExtension.h"

#include <cstdint>
#include <limits>
#include <regex>
#include <string>
#include <vector>

#include "TextUnits.h"

namespace Extension {

namespace {

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (size_t start = 0;;) {
        const size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

// The leading integer of the text after white space, with an optional sign; 0 when there is none.
// Values beyond the 64-bit range stop at its ends.
int64_t integerValue(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    constexpr uint64_t kMaxMagnitude = uint64_t{std::numeric_limits<int64_t>::max()} + 1;
    uint64_t magnitude = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        const auto digit = static_cast<uint64_t>(s[i] - '0');
        if (magnitude > (kMaxMagnitude - digit) / 10) {
            magnitude = kMaxMagnitude;
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (negative) {
        return magnitude == kMaxMagnitude ? std::numeric_limits<int64_t>::min()
                                          : -static_cast<int64_t>(magnitude);
    }
    return magnitude >= kMaxMagnitude ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(magnitude);
}

// a * 2^24 + b * 2^16 + c * 2^8 + d; 128 bits hold it for any 64-bit parts.
std::optional<__int128> addressNumber(std::string_view address) {
    const auto parts = split(address, '.');
    if (parts.size() != 4) return std::nullopt;
    __int128 n = 0;
    for (const auto part : parts) n = n * 256 + integerValue(part);
    return n;
}

constexpr const char* kPasswordPattern =
    R"re(^(?=.*?[A-Z])(?=.*?[a-z])(?=.*?[0-9])(?=.*?[`~!@#$%^&*()_\-+=|{}':;',\[\].<>/?~！@#￥%……&*（）——+|{}【】‘；：”“’。，、？]).{8,32}$)re";

// Beyond this the pattern's 32-character bound cannot match; checking first also keeps the regex
// engine's recursion short.
constexpr size_t kLongestCandidate = 32;

std::wstring wide(const std::u32string& s) {
    static_assert(sizeof(wchar_t) == sizeof(char32_t), "wchar_t holds one code point");
    return std::wstring(s.begin(), s.end());
}

const std::wregex* passwordRegex() {
    static const std::optional<std::wregex> re = []() -> std::optional<std::wregex> {
        const auto pattern = TextUnits::codePoints(kPasswordPattern);
        if (!pattern) return std::nullopt;
        try {
            return std::wregex(wide(*pattern),
                               std::regex_constants::ECMAScript | std::regex_constants::icase);
        } catch (const std::regex_error&) {
            return std::nullopt;
        }
    }();
    return re ? &*re : nullptr;
}

bool isLineTerminator(char32_t c) {
    return (c >= U'\n' && c <= U'\r') || c == U'\u0085' || c == U'\u2028' || c == U'\u2029';
}

}  // namespace

bool ifINIPSegment(std::string_view range, std::string_view address) {
    const auto ends = split(range, '-');
    if (ends.size() != 2) return false;
    const auto start = addressNumber(ends[0]);
    const auto end = addressNumber(ends[1]);
    const auto value = addressNumber(address);
    if (!start || !end || !value) return false;
    return *start <= *value && *value <= *end;
}

bool confirmPassFormat(std::optional<std::string_view> text) {
    if (!text) return false;
    const auto chars = TextUnits::codePoints(*text);
    if (!chars || chars->size() > kLongestCandidate) return false;
    // "." stops at line terminators, so no text holding one can match as a whole.
    for (const char32_t c : *chars) {
        if (isLineTerminator(c)) return false;
    }
    const std::wregex* re = passwordRegex();
    if (!re) return false;
    try {
        return std::regex_search(wide(*chars), *re);
    } catch (const std::regex_error&) {
        return false;
    }
}

}  // namespace Extension
