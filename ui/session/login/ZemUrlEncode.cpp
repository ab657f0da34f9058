#include "ZemUrlEncode.h"

#include "framework/encoding/UrlEncode.h"

std::string ZemUrlEncode::urlencodWithData(std::span<const uint8_t> data) {
    auto bytes = UrlEncode::urlencode(data, nullptr);
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size() - 1);
}

std::vector<uint8_t> ZemUrlEncode::urlencode(std::span<const uint8_t> data, size_t* length) {
    return UrlEncode::urlencode(data, length);
}

std::vector<uint8_t> ZemUrlEncode::urldecode(std::string_view text, size_t* len) {
    return UrlEncode::urldecode(text, len);
}
