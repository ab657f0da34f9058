#include "Utf8.h"

#include <cstdint>

namespace utf8 {

bool isValid(std::string_view text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const uint8_t b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t extra = 0;
        // Bounds of the first continuation byte exclude overlong forms, surrogates and > U+10FFFF.
        uint8_t lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
        } else if (b == 0xE0) {
            extra = 2, lo = 0xA0;
        } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
            extra = 2;
        } else if (b == 0xED) {
            extra = 2, hi = 0x9F;
        } else if (b == 0xF0) {
            extra = 3, lo = 0x90;
        } else if (b >= 0xF1 && b <= 0xF3) {
            extra = 3;
        } else if (b == 0xF4) {
            extra = 3, hi = 0x8F;
        } else {
            return false;
        }
        if (n - i - 1 < extra) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (size_t k = 2; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
        }
        i += extra + 1;
    }
    return true;
}

}  // namespace utf8
