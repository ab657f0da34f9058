#include "ZemHttpFraming.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kLastChunk = "\r\n0\r\n\r\n";

std::string text(std::span<const uint8_t> data) {
    return std::string(reinterpret_cast<const char*>(data.data()), data.size());
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

std::vector<std::string> split(const std::string& s, std::string_view by) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t at = s.find(by); at != std::string::npos; at = s.find(by, from)) {
        parts.push_back(s.substr(from, at - from));
        from = at + by.size();
    }
    parts.push_back(s.substr(from));
    return parts;
}

// The leading decimal integer of a text after blanks (0 when there is none), as text readers do.
int64_t integerValue(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    int64_t value = 0;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
        if (value > (INT64_MAX - 9) / 10) break;
        value = value * 10 + (s[i] - '0');
    }
    return negative ? -value : value;
}

// The leading hexadecimal number of a text (0 when there is none).
int64_t hexValue(std::string_view s) {
    int64_t value = 0;
    for (char c : s) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0 || value > (INT64_MAX >> 4)) break;
        value = value << 4 | digit;
    }
    return value;
}

std::string headOf(const std::string& s) {
    return s.substr(0, s.find(kHeadEnd));
}

}  // namespace

namespace ZemHttpFraming {

int getHTTPParseTypeAndReadHeadLen(std::span<const uint8_t> data, int64_t* headLen, int64_t* bodyLen) {
    const std::string head = headOf(text(data));
    if (headLen) *headLen = static_cast<int64_t>(head.size()) + 4;
    const std::string lowered = lower(head);
    if (lowered.find("transfer-encoding: chunked") != std::string::npos) return kChunked;
    if (lowered.find("content-length:") == std::string::npos) return kNoLength;
    for (const std::string& line : split(lowered, "\r\n")) {
        const size_t at = line.find("content-length:");
        if (at == std::string::npos) continue;
        std::string value = line.substr(0, at) + line.substr(at + std::string_view("content-length:").size());
        value.erase(std::remove(value.begin(), value.end(), ' '), value.end());
        if (bodyLen) *bodyLen = integerValue(value);
        break;
    }
    return kFramedByLength;
}

int64_t getReadDataHeadLength(std::span<const uint8_t> data) {
    return static_cast<int64_t>(headOf(text(data)).size()) + 4;
}

int64_t getReadDataBodyAndHeadlength(std::span<const uint8_t> data, int64_t* headLen) {
    const std::string head = headOf(text(data));
    if (headLen) *headLen = static_cast<int64_t>(head.size()) + 4;
    for (const std::string& line : split(head, "\r\n")) {
        if (line.find("Content-Length:") == std::string::npos) continue;
        const size_t at = line.find("Content-Length: ");
        return at == std::string::npos ? 0 : integerValue(line.substr(at + 16));
    }
    return 0;
}

bool isChunkedData(std::span<const uint8_t> data) {
    return lower(text(data)).find("transfer-encoding: chunked") != std::string::npos;
}

bool isChunkedDataReadEnd(std::span<const uint8_t> data) {
    return endsWith(text(data), kLastChunk);
}

bool isChunkedEndData(std::span<const uint8_t> data) {
    return text(data) == kLastChunk;
}

std::string getChunkedBodyStringWithIsFirst(std::span<const uint8_t> data, bool isFirst) {
    if (!isFirst && isChunkedEndData(data)) return {};
    // ISO Latin-1: one character per byte.
    std::string s = text(data);
    if (isFirst) {
        // The head and the line break after it; the blank line's second break stays in front.
        const size_t at = s.find(kHeadEnd);
        if (at != std::string::npos) s = s.substr(at + 2);
    }
    const std::vector<std::string> lines = split(s, "\r\n");
    if (lines.size() < 2) return {};
    const size_t sizeLineStart = lines[0].size() + 2;
    const size_t payloadStart = sizeLineStart + lines[1].size() + 2;
    if (payloadStart > s.size()) return {};
    const int64_t size = hexValue(lines[1]);
    return s.substr(payloadStart, static_cast<size_t>(std::max<int64_t>(size, 0)));
}

std::optional<std::vector<uint8_t>> getChunkedBodyDataWithIsFirst(std::span<const uint8_t> data, bool isFirst,
                                                                  int64_t* bodyLen, bool* isEnd) {
    std::string s = text(data);
    const bool end = endsWith(s, "0\r\n\r\n");
    if (isEnd) *isEnd = end;
    if (end) s.resize(s.size() - 5);
    const std::vector<std::string> lines = split(s, "\r\n");
    std::string payload;
    if (isFirst) {
        if (bodyLen) *bodyLen = hexValue(lines[0]);
        if (lines.size() > 1) payload = lines[1];
    } else {
        payload = lines[0];
    }
    if (payload.empty()) return std::nullopt;
    return std::vector<uint8_t>(payload.begin(), payload.end());
}

}  // namespace ZemHttpFraming
