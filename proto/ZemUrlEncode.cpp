#include "proto/ZemUrlEncode.h"

#include "framework/encoding/UrlEncode.h"

namespace zem {

namespace {

int hexValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string ZemUrlEncode::urlencodWithData(std::span<const uint8_t> data) {
    size_t length = 0;
    std::vector<uint8_t> encoded = UrlEncode::urlencode(data, &length);
    // The codec ends its output with a zero byte, which is no part of the text.
    if (!encoded.empty()) encoded.pop_back();
    return std::string(encoded.begin(), encoded.end());
}

std::string ZemUrlEncode::urlencodWithData(std::string_view data) {
    return urlencodWithData(std::span(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
}

std::vector<uint8_t> ZemUrlEncode::urldecode(std::string_view text, size_t* len) {
    size_t withTerminator = 0;
    std::vector<uint8_t> decoded = UrlEncode::urldecode(text, &withTerminator);
    // The codec appends a zero byte and counts it; a parser given that byte would read one byte
    // past the message, so only the decoded bytes are handed on.
    if (!decoded.empty()) decoded.pop_back();
    if (len) *len = decoded.size();
    return decoded;
}

void ZemUrlEncode::urldecodeInPlace(std::vector<uint8_t>& bytes) {
    // The rules of urldecode: "%" and two hexadecimal digits is one byte, anything else stays.
    const size_t n = bytes.size();
    size_t read = 0;
    size_t write = 0;
    while (read < n) {
        if (bytes[read] == '%' && read + 2 < n) {
            const int hi = hexValue(bytes[read + 1]);
            const int lo = hi >= 0 ? hexValue(bytes[read + 2]) : -1;
            if (lo >= 0) {
                bytes[write++] = static_cast<uint8_t>(hi << 4 | lo);
                read += 3;
                continue;
            }
        }
        bytes[write++] = bytes[read++];
    }
    bytes.resize(write);
}

}  // namespace zem
