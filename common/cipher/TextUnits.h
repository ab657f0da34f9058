// Character counts of UTF-8 text as the platform string type counts them (UTF-16 code units), and
// decoding to code points, for the length rules of the cipher and string helpers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace TextUnits {

// Number of UTF-16 code units of the text; nothing when it is not valid UTF-8.
std::optional<size_t> utf16Length(std::string_view text);

// The text's code points; nothing when it is not valid UTF-8.
std::optional<std::u32string> codePoints(std::string_view text);

}  // namespace TextUnits
