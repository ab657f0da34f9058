// Percent-encoding and decoding of text and bytes, and conversion between bytes and hexadecimal text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace UrlEncode {

// Percent-encodes UTF-8 text for use inside a URL component: only A-Z a-z 0-9 - . _ ~ stay as they
// are, every other byte becomes %XX (upper-case hex). Text that is not valid UTF-8 gives "".
std::string stringURLEncode(std::string_view text);

// Keeps ASCII letters and digits and writes every other byte as %XX (upper-case hex). The result ends
// with a zero byte; *length (when given) receives the encoded length plus one for that byte.
std::vector<uint8_t> urlencode(std::span<const uint8_t> data, size_t* length);

// Turns each "%" followed by two hex digits into one byte and copies everything else ("+" stays).
// The result ends with a zero byte; *len (when given) receives the decoded length plus one.
std::vector<uint8_t> urldecode(std::string_view text, size_t* len);

// Reads the text two characters at a time; each pair of hex digits gives one byte. A pair that is
// not two hex digits adds nothing, and an odd last character is ignored.
std::vector<uint8_t> stringFromHexString(std::string_view hex);

// Lower-case hex, two digits per byte, no separators; "" for empty data.
std::string convertDataToHexStr(std::span<const uint8_t> data);

}  // namespace UrlEncode
