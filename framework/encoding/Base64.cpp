#include "Base64.h"

#include <array>

#include "Utf8.h"

namespace Base64 {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Sextet value of each alphabet character, kPad for "=", kSkip for everything else.
constexpr int8_t kPad = -2;
constexpr int8_t kSkip = -1;

constexpr std::array<int8_t, 256> makeDecodeTable() {
    std::array<int8_t, 256> t{};
    for (auto& v : t) v = kSkip;
    for (int i = 0; i < 64; ++i) t[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
    t['='] = kPad;
    return t;
}

constexpr auto kDecode = makeDecodeTable();

std::string encodeOneLine(std::span<const uint8_t> data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const uint32_t v = uint32_t{data[i]} << 16 | uint32_t{data[i + 1]} << 8 | data[i + 2];
        out.push_back(kAlphabet[v >> 18 & 0x3F]);
        out.push_back(kAlphabet[v >> 12 & 0x3F]);
        out.push_back(kAlphabet[v >> 6 & 0x3F]);
        out.push_back(kAlphabet[v & 0x3F]);
    }
    const size_t rest = data.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t{data[i]} << 16;
        if (rest == 2) v |= uint32_t{data[i + 1]} << 8;
        out.push_back(kAlphabet[v >> 18 & 0x3F]);
        out.push_back(kAlphabet[v >> 12 & 0x3F]);
        out.push_back(rest == 2 ? kAlphabet[v >> 6 & 0x3F] : '=');
        out.push_back('=');
    }
    return out;
}

std::optional<std::string> asUtf8(std::optional<std::vector<uint8_t>> bytes) {
    if (!bytes) return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    if (!utf8::isValid(text)) return std::nullopt;
    return text;
}

std::span<const uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::optional<std::vector<uint8_t>> dataWithBase64EncodedString(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    uint32_t group = 0;
    int sextets = 0;  // alphabet characters in the current group of four
    int pads = 0;     // "=" seen; only the end of the text may follow them
    for (const char ch : text) {
        const int8_t v = kDecode[static_cast<uint8_t>(ch)];
        if (v == kSkip) continue;
        if (v == kPad) {
            // Padding completes a group that has two or three characters.
            if (sextets + pads < 2) return std::nullopt;
            if (++pads + sextets > 4) return std::nullopt;
            continue;
        }
        if (pads > 0) return std::nullopt;
        group = group << 6 | static_cast<uint32_t>(v);
        if (++sextets == 4) {
            out.push_back(static_cast<uint8_t>(group >> 16));
            out.push_back(static_cast<uint8_t>(group >> 8));
            out.push_back(static_cast<uint8_t>(group));
            group = 0;
            sextets = 0;
        }
    }
    if (pads > 0) {
        if (sextets + pads != 4) return std::nullopt;
        if (sextets == 2) {
            out.push_back(static_cast<uint8_t>(group >> 4));
        } else {
            out.push_back(static_cast<uint8_t>(group >> 10));
            out.push_back(static_cast<uint8_t>(group >> 2));
        }
    } else if (sextets != 0) {
        return std::nullopt;
    }
    if (out.empty()) return std::nullopt;
    return out;
}

std::optional<std::string> base64EncodedStringWithWrapWidth(std::span<const uint8_t> data, unsigned width) {
    if (data.empty()) return std::nullopt;
    std::string line = encodeOneLine(data);
    // Whole groups of four per line, so no group is split across a break.
    const size_t lineWidth = width / 4 * 4;
    if (lineWidth == 0 || lineWidth >= line.size()) return line;
    std::string out;
    out.reserve(line.size() + line.size() / lineWidth * 2);
    for (size_t pos = 0; pos < line.size(); pos += lineWidth) {
        if (pos > 0) out.append("\r\n");
        out.append(line, pos, lineWidth);
    }
    return out;
}

std::string base64EncodedString(std::span<const uint8_t> data) {
    return encodeOneLine(data);
}

std::optional<std::string> stringWithBase64EncodedString(std::string_view text) {
    return asUtf8(dataWithBase64EncodedString(text));
}

std::optional<std::string> base64EncodedStringWithWrapWidth(std::string_view text, unsigned width) {
    return base64EncodedStringWithWrapWidth(bytesOf(text), width);
}

std::string base64EncodedString(std::string_view text) {
    return encodeOneLine(bytesOf(text));
}

std::optional<std::string> base64DecodedString(std::string_view text) {
    return stringWithBase64EncodedString(text);
}

std::optional<std::vector<uint8_t>> base64DecodedData(std::string_view text) {
    return dataWithBase64EncodedString(text);
}

}  // namespace Base64
