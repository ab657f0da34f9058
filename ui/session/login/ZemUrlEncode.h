// Percent-encoding of the QR text, over the utility library's URL codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class ZemUrlEncode {
  public:
    // ASCII letters and digits stay; every other byte becomes "%" and two upper-case hex digits.
    static std::string urlencodWithData(std::span<const uint8_t> data);
    // The same into a buffer ending with a zero byte; length counts the terminator.
    static std::vector<uint8_t> urlencode(std::span<const uint8_t> data, size_t* length);
    // "%" and two hex digits become their byte; the rest is copied. Ends with a zero byte; len
    // counts it.
    static std::vector<uint8_t> urldecode(std::string_view text, size_t* len);
};
