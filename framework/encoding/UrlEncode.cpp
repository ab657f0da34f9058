#include "UrlEncode.h"

#include "Utf8.h"

namespace UrlEncode {

namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";
constexpr char kLowerHex[] = "0123456789abcdef";

bool isAlnum(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

int hexValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string stringURLEncode(std::string_view text) {
    if (!utf8::isValid(text)) return {};
    std::string out;
    out.reserve(text.size() * 3);
    for (const char ch : text) {
        const auto c = static_cast<uint8_t>(ch);
        if (isAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kUpperHex[c >> 4]);
            out.push_back(kUpperHex[c & 0x0F]);
        }
    }
    return out;
}

std::vector<uint8_t> urlencode(std::span<const uint8_t> data, size_t* length) {
    std::vector<uint8_t> out;
    out.reserve(data.size() * 3 + 1);
    for (const uint8_t c : data) {
        if (isAlnum(c)) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(static_cast<uint8_t>(kUpperHex[c >> 4]));
            out.push_back(static_cast<uint8_t>(kUpperHex[c & 0x0F]));
        }
    }
    out.push_back(0);
    if (length) *length = out.size();
    return out;
}

std::vector<uint8_t> urldecode(std::string_view text, size_t* len) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    std::vector<uint8_t> out;
    out.reserve(n + 1);
    size_t i = 0;
    // An escape needs three bytes; the last one or two bytes can never start one and are copied below.
    while (i + 2 < n) {
        const int hi = p[i] == '%' ? hexValue(p[i + 1]) : -1;
        const int lo = hi >= 0 ? hexValue(p[i + 2]) : -1;
        if (lo >= 0) {
            out.push_back(static_cast<uint8_t>(hi << 4 | lo));
            i += 3;
        } else {
            out.push_back(p[i]);
            ++i;
        }
    }
    out.insert(out.end(), p + i, p + n);
    out.push_back(0);
    if (len) *len = out.size();
    return out;
}

std::vector<uint8_t> stringFromHexString(std::string_view hex) {
    std::vector<uint8_t> out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int hi = hexValue(static_cast<uint8_t>(hex[i]));
        const int lo = hexValue(static_cast<uint8_t>(hex[i + 1]));
        if (hi >= 0 && lo >= 0) out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return out;
}

std::string convertDataToHexStr(std::span<const uint8_t> data) {
    std::string out;
    out.reserve(data.size() * 2);
    for (const uint8_t c : data) {
        out.push_back(kLowerHex[c >> 4]);
        out.push_back(kLowerHex[c & 0x0F]);
    }
    return out;
}

}  // namespace UrlEncode
