// Base64 (RFC 4648 alphabet, "=" padding) for bytes and text. Text written is wrapped into lines joined
// by CR LF; text read may carry line breaks and other characters outside the alphabet, which are skipped.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Base64 {

// Decodes text, skipping every character outside A-Z a-z 0-9 + / and "=". Nothing for empty text, for
// text whose remaining characters are not whole padded groups, or for an empty result.
std::optional<std::vector<uint8_t>> dataWithBase64EncodedString(std::string_view text);

// Encodes data and breaks it into lines of `width` characters (rounded down to a multiple of 4) joined
// by CR LF, with no break after the last line. Width 0, or a width that rounds to 0, gives one line.
// Nothing for empty data.
std::optional<std::string> base64EncodedStringWithWrapWidth(std::span<const uint8_t> data, unsigned width);

// Encodes data as one line; "" for empty data.
std::string base64EncodedString(std::span<const uint8_t> data);

// Decodes text as dataWithBase64EncodedString does; nothing unless the bytes are valid UTF-8.
std::optional<std::string> stringWithBase64EncodedString(std::string_view text);

// The text's bytes encoded as for data.
std::optional<std::string> base64EncodedStringWithWrapWidth(std::string_view text, unsigned width);
std::string base64EncodedString(std::string_view text);

// The text decoded to UTF-8 text / to bytes.
std::optional<std::string> base64DecodedString(std::string_view text);
std::optional<std::vector<uint8_t>> base64DecodedData(std::string_view text);

}  // namespace Base64
