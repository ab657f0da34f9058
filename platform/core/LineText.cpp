#include "LineText.h"

#include <cstdint>

namespace linetext {

bool lineSafe(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            if (lead < 0x20 || lead == 0x7f) return false;
            ++i;
            continue;
        }
        // The length of the sequence, the bits its lead byte carries and the smallest code point
        // that needs that length (a smaller one is an overlong form, which decoders disagree on).
        size_t length = 0;
        uint32_t code = 0;
        uint32_t least = 0;
        if ((lead & 0xe0) == 0xc0) {
            length = 2, code = lead & 0x1fu, least = 0x80;
        } else if ((lead & 0xf0) == 0xe0) {
            length = 3, code = lead & 0x0fu, least = 0x800;
        } else if ((lead & 0xf8) == 0xf0) {
            length = 4, code = lead & 0x07u, least = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            code = (code << 6) | (next & 0x3fu);
        }
        if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
        if (code <= 0x9f) return false;                      // C1 controls, NEL among them
        if (code == 0x2028 || code == 0x2029) return false;  // line and paragraph separators
        i += length;
    }
    return true;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

}  // namespace linetext
