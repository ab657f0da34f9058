#include "TextUnits.h"

#include <cstdint>

#include "framework/encoding/Utf8.h"

namespace TextUnits {

std::optional<size_t> utf16Length(std::string_view text) {
    if (!utf8::isValid(text)) return std::nullopt;
    size_t units = 0;
    for (const char c : text) {
        const auto b = static_cast<uint8_t>(c);
        if ((b & 0xC0) == 0x80) continue;  // continuation byte
        units += b >= 0xF0 ? 2 : 1;        // four-byte sequences lie outside the BMP: a surrogate pair
    }
    return units;
}

std::optional<std::u32string> codePoints(std::string_view text) {
    if (!utf8::isValid(text)) return std::nullopt;
    std::u32string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<uint8_t>(text[i]);
        const size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        for (size_t k = 1; k < len; ++k) cp = cp << 6 | (static_cast<uint8_t>(text[i + k]) & 0x3F);
        out.push_back(cp);
        i += len;
    }
    return out;
}

}  // namespace TextUnits
