#include "proto/ZemUrlEncode.h"

#include "encoding/UrlEncode.h"

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
